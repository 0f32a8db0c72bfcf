// Shared pieces of the node's console output.
#pragma once

#include <string>

namespace ZezozuRiziv {

// Boxes are ruled with 70 '=' characters.
inline constexpr size_t kConsoleWidth = 70;
inline const std::string kRule(kConsoleWidth, '=');

// Data directories: the node's own, and the demonstration's (also the
// read-only commands' fallback when the node's holds no chain).
inline constexpr char kNodeDataDir[] = "data";
inline constexpr char kDemoDataDir[] = "data_demo";

}  // namespace ZezozuRiziv
