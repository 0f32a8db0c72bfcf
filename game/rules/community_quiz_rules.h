// Pure rules shared by the communities and the quiz: id forms, text cuts
// and the quiz week. No engine state; no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "game/model/game_random.h"

namespace ZezozuRiziv {

// Suffixes of community and question ids: a three-digit number.
inline constexpr uint64_t kIdSuffixFirst = 100;
inline constexpr uint64_t kIdSuffixCount = 900;

// The decimal Unix time in ms without its first five digits (empty for a
// time of five digits or fewer).
std::string ms_without_first_digits(uint64_t now_ms);

// "<prefix><ms without its first five digits>_<suffix>" with a suffix drawn
// from 100..999 that `taken` does not refuse: drawn again while the id is
// taken, then, after a few draws, the free suffixes are looked for in turn.
// nullopt when all 900 ids of this millisecond are taken.
std::optional<std::string> draw_free_id(std::string_view prefix, uint64_t now_ms, const GameRandom& random,
                                        const std::function<bool(const std::string&)>& taken);

// At most `max_bytes` of `text`, cut before a UTF-8 character that would
// not fit whole.
std::string text_prefix(std::string_view text, size_t max_bytes);

// `text` without the spaces and tabs at both ends.
std::string_view trim_blanks(std::string_view text);

// ASCII letters upper-cased; other bytes kept.
std::string ascii_upper(std::string_view text);

// A player without an account: the first 8 characters of its address.
std::string address_display_name(std::string_view address);

// The author name of a question whose author has no account: "Player_"
// and up to six characters of the address from its third on (none when
// the address is shorter).
std::string quiz_author_fallback_name(std::string_view address);

// Seconds until the quiz week turns, at Monday 00:00 UTC (a whole week,
// 604,800, exactly at that instant).
uint64_t quiz_cycle_remaining_sec(uint64_t now_ms);

}  // namespace ZezozuRiziv
