#include "crypto/text.h"

#include <charconv>

namespace RozeveCrypto {

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_hex_text(std::string_view text) {
  for (char c : text) {
    if (hex_digit_value(c) < 0) return false;
  }
  return true;
}

namespace {

// U+FFFD REPLACEMENT CHARACTER.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

int byte_at(std::string_view text, size_t i) {
  return i < text.size() ? static_cast<unsigned char>(text[i]) : -1;
}

// The character's length as its lead byte announces it (0 for a byte that
// cannot lead), and the range its second byte must fall in: the narrower
// ranges rule out overlong forms, surrogates and code points past U+10FFFF.
struct Lead {
  size_t length;
  int second_low;
  int second_high;
};

Lead lead_of(int lead) {
  if (lead >= 0 && lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// How many bytes from `at` belong to the character there: its length when
// it is well formed (`valid` true); else the maximal ill-formed subpart,
// the lead and the continuation bytes that could still have followed it
// (at least one byte).
size_t utf8_step(std::string_view text, size_t at, bool& valid) {
  const Lead lead = lead_of(byte_at(text, at));
  valid = false;
  if (lead.length == 0) return 1;
  size_t taken = 1;
  for (; taken < lead.length; ++taken) {
    const int b = byte_at(text, at + taken);
    const int low = taken == 1 ? lead.second_low : 0x80;
    const int high = taken == 1 ? lead.second_high : 0xBF;
    if (b < low || b > high) return taken;
  }
  valid = true;
  return taken;
}

}  // namespace

size_t utf8_sequence(std::string_view text, size_t at) {
  if (at >= text.size()) return 0;
  bool valid = false;
  const size_t length = utf8_step(text, at, valid);
  return valid ? length : 0;
}

bool is_valid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t length = utf8_sequence(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

void append_valid_utf8(std::string& out, std::string_view text) {
  size_t plain_from = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    bool valid = false;
    const size_t length = utf8_step(text, i, valid);
    if (!valid) {
      out.append(text.data() + plain_from, i - plain_from);
      out += kReplacement;
      plain_from = i + length;
    }
    i += length;
  }
  out.append(text.data() + plain_from, text.size() - plain_from);
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_valid_utf8(out, text);
  return out;
}

size_t utf8_prefix_length(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  // Back from the cut to the start of the character it falls in: at most
  // three continuation bytes.
  size_t start = max_bytes;
  while (start > 0 && max_bytes - start < 3 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  const size_t length = utf8_sequence(text, start);
  return length != 0 && start + length > max_bytes ? start : max_bytes;
}

std::optional<uint64_t> parse_plain_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace RozeveCrypto
