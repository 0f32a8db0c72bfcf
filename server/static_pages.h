// Which file and content type answer a page path.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ZezozuRiziv {

// Pages are served from this directory, relative to the working directory.
inline constexpr char kDappDir[] = "dapp";

struct PageTarget {
  std::string file;  // e.g. "dapp/index.html"
  std::string content_type;
};

// The page aliases and file prefixes; nullopt for a path that names no page.
// `dapp_dir` replaces "dapp" at the front of the file path.
[[nodiscard]] std::optional<PageTarget> resolve_page(std::string_view path,
                                                   std::string_view dapp_dir = kDappDir);

// A file path that must never be opened: it holds "..", a NUL or a control byte.
[[nodiscard]] bool is_unsafe_file_path(std::string_view path);

}  // namespace ZezozuRiziv
