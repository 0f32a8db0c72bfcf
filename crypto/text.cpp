#include "crypto/text.h"

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

}  // namespace RozeveCrypto
