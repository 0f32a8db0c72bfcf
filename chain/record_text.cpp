#include "chain/record_text.h"

#include <charconv>

namespace ZezozuRiziv {

namespace {

// White space as std::isspace sees it in the C locale; spelled out so that
// the reader does not depend on the process's locale.
bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<uint64_t> read_decimal_u64(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && is_c_space(text[pos])) ++pos;
  // A sign is refused here: std::stoull would read "-1" as the largest value.
  if (pos == text.size() || !is_digit(text[pos])) return std::nullopt;

  constexpr uint64_t kMax = UINT64_MAX;
  uint64_t value = 0;
  for (; pos < text.size() && is_digit(text[pos]); ++pos) {
    const uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<uint64_t> read_record_number(std::string_view value) {
  if (value.empty()) return uint64_t{0};
  return read_decimal_u64(value);
}

std::string find_record_value(std::string_view text, std::string_view key, bool quoted,
                              std::string_view bare_stops) {
  // The pattern '"' + key + '":' without building a temporary string: look
  // for the key and check the characters around it.
  size_t from = 0;
  size_t start = std::string_view::npos;
  while (true) {
    const size_t at = text.find(key, from);
    if (at == std::string_view::npos) return {};
    const size_t after = at + key.size();
    if (at > 0 && text[at - 1] == '"' && after + 1 < text.size() && text[after] == '"' &&
        text[after + 1] == ':') {
      start = after + 2;
      break;
    }
    from = at + 1;
  }

  if (quoted) {
    if (start < text.size() && text[start] == '"') ++start;
    const size_t end = text.find('"', start);
    if (end == std::string_view::npos) return {};
    return std::string(text.substr(start, end - start));
  }
  const size_t end = text.find_first_of(bare_stops, start);
  if (end == std::string_view::npos) return {};
  return std::string(text.substr(start, end - start));
}

bool read_text_field(std::string_view text, std::string_view key, std::string& field,
                     std::string_view bare_stops) {
  field = find_record_value(text, key, true, bare_stops);
  return !has_control_bytes(field);
}

bool read_number_field(std::string_view text, std::string_view key, uint64_t& field,
                       std::string_view bare_stops) {
  const auto value = read_record_number(find_record_value(text, key, false, bare_stops));
  if (!value) return false;
  field = *value;
  return true;
}

void append_decimal(std::string& out, uint64_t value) {
  char digits[20];  // UINT64_MAX has 20 decimal digits
  const auto result = std::to_chars(digits, digits + sizeof(digits), value);
  out.append(digits, result.ptr);
}

void append_quoted_pair(std::string& out, std::string_view key_with_colon, std::string_view value) {
  out += key_with_colon;
  out += '"';
  out += value;
  out += '"';
}

void append_bare_pair(std::string& out, std::string_view key_with_colon, uint64_t value) {
  out += key_with_colon;
  append_decimal(out, value);
}

bool has_control_bytes(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

bool has_record_breaking_chars(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '{' || c == '}' || c == ',' ||
        c == ':') {
      return true;
    }
  }
  return false;
}

bool TextCursor::literal(std::string_view expected) {
  if (text_.substr(pos_, expected.size()) != expected) return false;
  pos_ += expected.size();
  return true;
}

std::optional<uint64_t> TextCursor::number() {
  const size_t start = pos_;
  while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
  if (pos_ == start) return std::nullopt;
  return read_decimal_u64(text_.substr(start, pos_ - start));
}

std::optional<std::string_view> TextCursor::until_quote() {
  const size_t close = text_.find('"', pos_);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view value = text_.substr(pos_, close - pos_);
  if (has_control_bytes(value)) return std::nullopt;
  pos_ = close + 1;
  return value;
}

bool TextCursor::at_end_after_blanks() {
  while (pos_ < text_.size() &&
         (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n')) {
    ++pos_;
  }
  return pos_ == text_.size();
}

}  // namespace ZezozuRiziv
