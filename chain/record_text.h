// Helpers for the hand-written record texts (compact JSON with a fixed key
// order, no escaping) and the minimal readers that find keys in them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ZezozuRiziv {

// Reads an unsigned decimal as std::stoull does in base 10 (leading white
// space skipped, digits up to the first non-digit, the rest ignored), but
// refuses a sign: nullopt when the first non-blank character is not a digit
// or the number does not fit in 64 bits.
[[nodiscard]] std::optional<uint64_t> read_decimal_u64(std::string_view text);

// A bare record number: an empty value text reads as 0, otherwise as
// read_decimal_u64 (nullopt fails the record).
[[nodiscard]] std::optional<uint64_t> read_record_number(std::string_view value);

// The value of the first '"' + key + '":' anywhere in `text`; empty when the
// key is missing. A quoted value steps over its opening quote and runs to the
// next '"' (empty when there is none). A bare value runs to the first of
// `bare_stops` (empty when there is none).
std::string find_record_value(std::string_view text, std::string_view key, bool quoted,
                              std::string_view bare_stops = ",}");

// Writers of record texts: plain decimal digits, and "key": pairs whose key
// text carries its own leading comma when it needs one.
void append_decimal(std::string& out, uint64_t value);
void append_quoted_pair(std::string& out, std::string_view key_with_colon, std::string_view value);
void append_bare_pair(std::string& out, std::string_view key_with_colon, uint64_t value);

// The record reader's two field kinds. A quoted field holding a control byte
// fails (it would break the one-line record it came from); a bare field
// fails as read_record_number does. On failure `field` may hold the text read.
[[nodiscard]] bool read_text_field(std::string_view text, std::string_view key, std::string& field,
                     std::string_view bare_stops = ",}");
[[nodiscard]] bool read_number_field(std::string_view text, std::string_view key, uint64_t& field,
                       std::string_view bare_stops = ",}");

// True when the text holds a byte below 0x20 (line breaks included).
[[nodiscard]] bool has_control_bytes(std::string_view text);

// True when the text could break a record or a state key: '"', '{', '}',
// ',', ':' or a control byte.
[[nodiscard]] bool has_record_breaking_chars(std::string_view text);

// Walks a stored text front to back; every step either matches exactly or
// fails, so nothing in the text is skipped unread. The strict readers of the
// saved state and of the credits log are built on it.
class TextCursor {
 public:
  explicit TextCursor(std::string_view text) : text_(text) {}

  // Consumes `expected` when the text goes on with it.
  bool literal(std::string_view expected);
  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  // Decimal digits that fit in 64 bits; no sign, no blanks.
  std::optional<uint64_t> number();
  // The text up to the next '"' (consumed); no control byte inside.
  std::optional<std::string_view> until_quote();
  bool at_end() const { return pos_ == text_.size(); }
  // Steps over blanks and line breaks, then tells whether the text ended.
  bool at_end_after_blanks();

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace ZezozuRiziv
