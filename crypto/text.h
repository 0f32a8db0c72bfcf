// Small text helpers shared by every layer: ASCII case, hex digits and
// plain decimal numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace RozeveCrypto {

// ASCII letters only: the bytes of other (UTF-8) letters are left as they are.
inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string ascii_lower(std::string_view text);

// The value of a hex digit of either case, or -1.
int hex_digit_value(char c);
// True when every character is a hex digit (and so for the empty text).
bool is_hex_text(std::string_view text);

// A plain decimal number: one or more digits '0'-'9' and nothing else (no
// blank, no sign), within 64 bits; nullopt otherwise.
std::optional<uint64_t> parse_plain_decimal(std::string_view text);

}  // namespace RozeveCrypto
