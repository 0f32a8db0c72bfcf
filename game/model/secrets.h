// Secrets of the game (session tokens, salts, the random parts of account
// ids, the master administrator password), drawn from the operating
// system's random source. Each returns nullopt when that source fails, so
// that no secret is ever made from a predictable fallback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ZezozuRiziv {

// The refusal of an action that could not draw its secret (or found no
// free id); nothing was changed.
inline constexpr char kRetryLaterMessage[] =
    "Servizio temporaneamente non disponibile: riprova tra un istante.";

// Length of the master administrator password.
inline constexpr size_t kMasterPasswordLength = 22;

// `bytes` random bytes written as 2 x `bytes` lower-case hex digits.
std::optional<std::string> random_hex(size_t bytes);
// A uniform number in [0, bound); `bound` must be positive.
std::optional<uint64_t> random_below(uint64_t bound);
// A password of `length` characters, each uniform over the 62 ASCII letters
// and digits.
std::optional<std::string> random_password(size_t length);
// True when `text` has the master password's form: kMasterPasswordLength
// ASCII letters and digits.
bool is_master_password_form(std::string_view text);

}  // namespace ZezozuRiziv
