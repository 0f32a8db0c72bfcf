#include "game/rules/community_quiz_rules.h"

#include "crypto/text.h"
#include "game/rules/production.h"

namespace ZezozuRiziv {

namespace {

// The digits the id forms leave out at the front of the time.
constexpr size_t kDroppedTimeDigits = 5;
// Random draws of a suffix before the free ones are looked for in turn.
constexpr int kSuffixDraws = 16;

}  // namespace

std::string ms_without_first_digits(uint64_t now_ms) {
  const std::string digits = std::to_string(now_ms);
  return digits.size() > kDroppedTimeDigits ? digits.substr(kDroppedTimeDigits) : std::string();
}

std::optional<std::string> draw_free_id(std::string_view prefix, uint64_t now_ms, const GameRandom& random,
                                        const std::function<bool(const std::string&)>& taken) {
  const std::string head = std::string(prefix) + ms_without_first_digits(now_ms) + "_";
  uint64_t offset = 0;
  for (int draw = 0; draw < kSuffixDraws; ++draw) {
    offset = random.below(kIdSuffixCount);
    std::string id = head + std::to_string(kIdSuffixFirst + offset);
    if (!taken(id)) return id;
  }
  // Many ids of this millisecond are taken: walk on from the last draw.
  for (uint64_t step = 1; step < kIdSuffixCount; ++step) {
    std::string id = head + std::to_string(kIdSuffixFirst + (offset + step) % kIdSuffixCount);
    if (!taken(id)) return id;
  }
  return std::nullopt;
}

std::string text_prefix(std::string_view text, size_t max_bytes) {
  return std::string(text.substr(0, RozeveCrypto::utf8_prefix_length(text, max_bytes)));
}

std::string_view trim_blanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string address_display_name(std::string_view address) { return text_prefix(address, 8); }

std::string quiz_author_fallback_name(std::string_view address) {
  // "0x" and then the six hex digits that follow it.
  constexpr size_t kSkipped = 2;
  constexpr size_t kShown = 6;
  return "Player_" + (address.size() > kSkipped ? text_prefix(address.substr(kSkipped), kShown) : std::string());
}

uint64_t quiz_cycle_remaining_sec(uint64_t now_ms) {
  // The week of production's history: it turns at Monday 00:00 UTC.
  constexpr uint64_t kWeekSec = kWeekMs / 1000;
  const uint64_t shifted = now_ms / 1000 + kWeekShiftMs / 1000;
  return (shifted / kWeekSec) * kWeekSec - shifted + kWeekSec;
}

}  // namespace ZezozuRiziv
