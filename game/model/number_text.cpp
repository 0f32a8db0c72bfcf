#include "game/model/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace ZezozuRiziv {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view skip_blanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  return text.substr(i);
}

// Drops one leading '+', as strto* accepts it; from_chars does not.
bool strip_plus(std::string_view& text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    // "+-5" is no number.
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) return false;
  }
  return true;
}

template <typename T>
bool read_integer(std::string_view text, T& out) {
  text = skip_blanks(text);
  if (!strip_plus(text)) return false;
  if (std::numeric_limits<T>::is_signed == false && !text.empty() && text.front() == '-') return false;
  T value{};
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc()) return false;
  out = value;
  return true;
}

}  // namespace

bool read_double_prefix(std::string_view text, double& out) {
  text = skip_blanks(text);
  if (!strip_plus(text)) return false;
  double value = 0.0;
  const auto [ptr, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || !std::isfinite(value)) return false;
  out = value;
  return true;
}

bool read_u64_prefix(std::string_view text, uint64_t& out) { return read_integer(text, out); }
bool read_u32_prefix(std::string_view text, uint32_t& out) { return read_integer(text, out); }
bool read_i32_prefix(std::string_view text, int32_t& out) { return read_integer(text, out); }

}  // namespace ZezozuRiziv
