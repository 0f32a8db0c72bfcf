#include "server/static_pages.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace ZezozuRiziv {
namespace {

const char kHtml[] = "text/html; charset=utf-8";
const char kJs[] = "application/javascript; charset=utf-8";
const char kPlain[] = "text/plain; charset=utf-8";

struct PageCase {
  std::string path;
  std::string file;
  std::string content_type;
};

// Every alias and prefix with the file and type it answers, written out by hand.
const std::vector<PageCase> kPages = {
    {"/", "dapp/index.html", kHtml},
    {"/index.html", "dapp/index.html", kHtml},
    {"/dapp", "dapp/index.html", kHtml},
    {"/vetrina", "dapp/showcase.html", kHtml},
    {"/showcase", "dapp/showcase.html", kHtml},
    {"/showcase.html", "dapp/showcase.html", kHtml},
    {"/explorer", "dapp/explorer.html", kHtml},
    {"/explorer.html", "dapp/explorer.html", kHtml},
    {"/explorer/", "dapp/explorer.html", kHtml},
    {"/explorer/blocks", "dapp/explorer.html", kHtml},
    {"/explorer.html/tx/0xabc", "dapp/explorer.html", kHtml},
    {"/address/0xabc", "dapp/explorer.html", kHtml},
    {"/tx/0xabc", "dapp/explorer.html", kHtml},
    {"/block/12", "dapp/explorer.html", kHtml},
    // A prefix wins over the ".html" catch-all.
    {"/explorer/page.html", "dapp/explorer.html", kHtml},
    {"/game", "dapp/game.html", kHtml},
    {"/game.html", "dapp/game.html", kHtml},
    {"/admin", "dapp/admin.html", kHtml},
    {"/admin.html", "dapp/admin.html", kHtml},
    {"/sw.js", "dapp/sw.js", kJs},
    {"/manifest.json", "dapp/manifest.json", "application/manifest+json; charset=utf-8"},
    {"/ads.txt", "dapp/ads.txt", kPlain},
    {"/app-ads.txt", "dapp/ads.txt", kPlain},
    {"/assets/style.css", "dapp/assets/style.css", "text/css; charset=utf-8"},
    {"/assets/app.json", "dapp/assets/app.json", "application/json; charset=utf-8"},
    {"/assets/app.js", "dapp/assets/app.js", kJs},
    {"/assets/logo.svg", "dapp/assets/logo.svg", "image/svg+xml"},
    {"/assets/readme", "dapp/assets/readme", kPlain},
    {"/assets/img/photo.png", "dapp/assets/img/photo.png", kPlain},
    // Types go by containment, in order: ".css" anywhere beats the rest.
    {"/assets/theme.css.js", "dapp/assets/theme.css.js", "text/css; charset=utf-8"},
    {"/assets/page.html", "dapp/assets/page.html", kPlain},
    {"/download/app.zip", "dapp/download/app.zip", "application/zip"},
    {"/download/app.apk", "dapp/download/app.apk", "application/octet-stream"},
    {"/download/page.html", "dapp/download/page.html", "application/octet-stream"},
    {"/foo.html", "dapp/foo.html", kHtml},
    {"/docs/guida.html", "dapp/docs/guida.html", kHtml},
};

TEST(StaticPagesTest, EveryAliasAndPrefixNamesItsFileAndType) {
  for (const PageCase& c : kPages) {
    SCOPED_TRACE(c.path);
    const std::optional<PageTarget> page = resolve_page(c.path);
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->file, c.file);
    EXPECT_EQ(page->content_type, c.content_type);
  }
}

TEST(StaticPagesTest, DappDirReplacesTheDefaultDirectory) {
  for (const PageCase& c : kPages) {
    SCOPED_TRACE(c.path);
    const std::optional<PageTarget> page = resolve_page(c.path, "/tmp/x");
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->file, "/tmp/x" + c.file.substr(4));
    EXPECT_EQ(page->content_type, c.content_type);
  }
}

TEST(StaticPagesTest, PathsThatNameNoPage) {
  const std::vector<std::string> paths = {
      "/api/info", "/nothing", "", "/index", "/INDEX.HTML", "/explorerx", "/assets",
      "/download", "/txs/0xabc", "/game/", "/foo.htm", "/sw.js/", "/page.html?x=1"};
  for (const std::string& path : paths) {
    EXPECT_FALSE(resolve_page(path).has_value()) << path;
  }
}

TEST(StaticPagesTest, UnsafeFilePaths) {
  struct Case {
    std::string path;
    bool unsafe;
  };
  const std::vector<Case> cases = {
      {"dapp/index.html", false},
      {"dapp/assets/app.v2.js", false},
      {"dapp/assets/caffè.txt", false},  // UTF-8 bytes are above 0x7f
      {"", false},
      {"dapp/assets/../secret", true},
      {"dapp/assets/..", true},
      {"../etc/passwd", true},
      {"dapp/assets/app..js", true},
      {std::string("dapp/index.html\0.png", 20), true},
      {"dapp/assets/a\nb", true},
      {"dapp/assets/a\rb", true},
      {"dapp/assets/a\tb", true},
      {"dapp/assets/a\x1f" "b", true},
      {"dapp/assets/a\x7f" "b", true},
      {"dapp/assets/a b", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_unsafe_file_path(c.path), c.unsafe) << c.path;
  }
}

}  // namespace
}  // namespace ZezozuRiziv
