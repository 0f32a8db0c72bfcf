#include "server/static_pages.h"

#include <array>
#include <utility>

namespace ZezozuRiziv {
namespace {

constexpr char kHtml[] = "text/html; charset=utf-8";

struct Alias {
  std::string_view path;
  std::string_view file;  // after the dapp directory
  std::string_view content_type;
};

// Exact page names, in the order they are matched.
constexpr std::array<Alias, 16> kAliases = {{
    {"/", "/index.html", kHtml},
    {"/index.html", "/index.html", kHtml},
    {"/dapp", "/index.html", kHtml},
    {"/vetrina", "/showcase.html", kHtml},
    {"/showcase", "/showcase.html", kHtml},
    {"/showcase.html", "/showcase.html", kHtml},
    {"/explorer", "/explorer.html", kHtml},
    {"/explorer.html", "/explorer.html", kHtml},
    {"/game", "/game.html", kHtml},
    {"/game.html", "/game.html", kHtml},
    {"/admin", "/admin.html", kHtml},
    {"/admin.html", "/admin.html", kHtml},
    {"/sw.js", "/sw.js", "application/javascript; charset=utf-8"},
    {"/manifest.json", "/manifest.json", "application/manifest+json; charset=utf-8"},
    {"/ads.txt", "/ads.txt", "text/plain; charset=utf-8"},
    {"/app-ads.txt", "/ads.txt", "text/plain; charset=utf-8"},
}};

// The explorer is one page whose script reads the rest of the path.
constexpr std::array<std::string_view, 5> kExplorerPrefixes = {
    "/explorer/", "/explorer.html/", "/address/", "/tx/", "/block/"};

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Tested by containment, so ".json" must come before ".js".
std::string_view asset_content_type(std::string_view path) {
  if (contains(path, ".css")) return "text/css; charset=utf-8";
  if (contains(path, ".json")) return "application/json; charset=utf-8";
  if (contains(path, ".js")) return "application/javascript; charset=utf-8";
  if (contains(path, ".svg")) return "image/svg+xml";
  return "text/plain; charset=utf-8";
}

PageTarget target(std::string_view dapp_dir, std::string_view rest, std::string_view type) {
  std::string file(dapp_dir);
  file += rest;
  return PageTarget{std::move(file), std::string(type)};
}

}  // namespace

std::optional<PageTarget> resolve_page(std::string_view path, std::string_view dapp_dir) {
  // Aliases before prefixes, and prefixes before the catch-all for ".html":
  // "/explorer/x.html" is the explorer and "/assets/x.html" an asset.
  for (const Alias& alias : kAliases) {
    if (path == alias.path) return target(dapp_dir, alias.file, alias.content_type);
  }
  for (std::string_view prefix : kExplorerPrefixes) {
    if (path.starts_with(prefix)) return target(dapp_dir, "/explorer.html", kHtml);
  }
  if (path.starts_with("/assets/")) return target(dapp_dir, path, asset_content_type(path));
  if (path.starts_with("/download/")) {
    return target(dapp_dir, path,
                  contains(path, ".zip") ? "application/zip" : "application/octet-stream");
  }
  if (path.ends_with(".html")) {
    PageTarget page = target(dapp_dir, "/", kHtml);
    page.file += path.starts_with('/') ? path.substr(1) : path;
    return page;
  }
  return std::nullopt;
}

bool is_unsafe_file_path(std::string_view path) {
  if (contains(path, "..")) return true;
  for (char c : path) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
  }
  return false;
}

}  // namespace ZezozuRiziv
