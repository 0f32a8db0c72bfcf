// Small text helpers shared by every layer: ASCII case, hex digits, UTF-8
// and plain decimal numbers.
#pragma once

#include <cstddef>
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

// UTF-8 as RFC 3629 has it: no overlong forms, no surrogates, nothing past
// U+10FFFF.
// The length (1 to 4) of the well-formed character that starts at `at`, or
// 0 when the bytes there are not one (or `at` is past the end).
size_t utf8_sequence(std::string_view text, size_t at);
bool is_valid_utf8(std::string_view text);
// Appends `text` with every ill-formed sequence replaced by U+FFFD, one
// per maximal ill-formed subpart (as the Unicode standard recommends and
// browsers do), so "\xE2\x82" is one U+FFFD and "\xFF\xFE" two.
void append_valid_utf8(std::string& out, std::string_view text);
std::string valid_utf8(std::string_view text);
// The longest prefix of at most `max_bytes` bytes that cuts no well-formed
// character in two; its length.
size_t utf8_prefix_length(std::string_view text, size_t max_bytes);

// A plain decimal number: one or more digits '0'-'9' and nothing else (no
// blank, no sign), within 64 bits; nullopt otherwise.
std::optional<uint64_t> parse_plain_decimal(std::string_view text);

}  // namespace RozeveCrypto
