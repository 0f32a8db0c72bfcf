// Prefix readers for the numbers of the world file and of lot keys. Each
// skips leading blanks, reads the longest number it can and ignores what
// follows it (as the C library's strto* functions do), and fails when no
// number starts there or the number does not fit.
#pragma once

#include <cstdint>
#include <string_view>

namespace ZezozuRiziv {

// A finite double; "nan", "inf" and out-of-range values fail.
bool read_double_prefix(std::string_view text, double& out);
// An unsigned number; a minus sign fails instead of wrapping around.
bool read_u64_prefix(std::string_view text, uint64_t& out);
bool read_u32_prefix(std::string_view text, uint32_t& out);
// A signed 32-bit number.
bool read_i32_prefix(std::string_view text, int32_t& out);

}  // namespace ZezozuRiziv
