// The state key of an address, for reads and for the changes the server
// makes outside the JSON-RPC (faucet, stake, unstake, the fund command).
#pragma once

#include <optional>
#include <string>

namespace ZezozuRiziv {

// The answer to an address that cannot hold coins.
inline constexpr char kUnusableAddressMessage[] =
    "Indirizzo non valido: serve un indirizzo 0x con 40 cifre esadecimali o un indirizzo RUZ "
    "con il suo codice di controllo";

// The state key read for an address (CryptoKeys::address_key): lower-cased,
// except a valid native address, kept as written.
std::string account_key(const std::string& address);

// The key that may be credited, staked or unstaked for `address`: only an
// address that CryptoKeys::is_valid_address accepts and whose key the state
// text can carry; nullopt otherwise. Looks nothing up.
[[nodiscard]] std::optional<std::string> writable_account_key(const std::string& address);

}  // namespace ZezozuRiziv
