#include "game/model/secrets.h"

#include <algorithm>
#include <vector>

#include "crypto/sha256.h"
#include "platform/random.h"

namespace ZezozuRiziv {

namespace {

constexpr std::string_view kPasswordAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool is_alphabet_char(char c) { return kPasswordAlphabet.find(c) != std::string_view::npos; }

}  // namespace

std::optional<std::string> random_hex(size_t bytes) {
  std::vector<uint8_t> buffer(bytes);
  if (!platform::fill_random(buffer.data(), buffer.size())) return std::nullopt;
  return RozeveCrypto::bytes_to_hex(buffer);
}

std::optional<uint64_t> random_below(uint64_t bound) {
  // Draws above the largest multiple of `bound` are thrown away, so that
  // every remainder is equally likely.
  const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  while (true) {
    uint64_t value = 0;
    if (!platform::fill_random(&value, sizeof value)) return std::nullopt;
    if (value < limit) return value % bound;
  }
}

std::optional<std::string> random_password(size_t length) {
  std::string password;
  password.reserve(length);
  while (password.size() < length) {
    const std::optional<uint64_t> index = random_below(kPasswordAlphabet.size());
    if (!index) return std::nullopt;
    password += kPasswordAlphabet[static_cast<size_t>(*index)];
  }
  return password;
}

bool is_master_password_form(std::string_view text) {
  return text.size() == kMasterPasswordLength && std::all_of(text.begin(), text.end(), is_alphabet_char);
}

}  // namespace ZezozuRiziv
