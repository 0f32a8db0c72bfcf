#include "server/account_keys.h"

#include "chain/state.h"
#include "crypto/crypto_keys.h"

namespace ZezozuRiziv {

std::string account_key(const std::string& address) { return RozeveCrypto::CryptoKeys::address_key(address); }

std::optional<std::string> writable_account_key(const std::string& address) {
  if (!RozeveCrypto::CryptoKeys::is_valid_address(address)) return std::nullopt;
  std::string key = account_key(address);
  // A valid address always makes a safe key; checked all the same, since a
  // key the state text cannot carry would damage state.json.
  if (!is_state_key_safe(key)) return std::nullopt;
  return key;
}

}  // namespace ZezozuRiziv
