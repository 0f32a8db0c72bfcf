// The state text: the one-line snapshot stored as "state.json", its
// lenient section reader and the strict reader of a saved file.
#include <string_view>

#include "chain/record_text.h"
#include "chain/state.h"

namespace ZezozuRiziv {
namespace {

void append_section(std::string& out, const std::map<std::string, uint64_t>& map) {
  bool first = true;
  for (const auto& [address, value] : map) {
    if (!first) out += ',';
    first = false;
    out += '"';
    out += address;
    out += "\":";
    append_decimal(out, value);
  }
}

// Room for one entry of the state text: an address, quotes, colon, comma and
// a number. A guess, not a bound: a second walk to measure would cost as
// much as writing.
constexpr size_t kStateEntryGuess = 64;

// Fills `out` with the pairs of the section named `key`; unreadable pairs are
// dropped, everything else survives.
void parse_json_kv(const std::string& text, const std::string& key,
                   std::map<std::string, uint64_t>& out) {
  out.clear();
  const std::string quoted_key = "\"" + key + "\"";
  size_t key_pos = text.find(quoted_key);
  if (key_pos == std::string::npos) return;
  size_t open = text.find('{', key_pos + quoted_key.size());
  if (open == std::string::npos) return;
  size_t close = text.find('}', open + 1);
  if (close == std::string::npos) return;
  const std::string_view body = std::string_view(text).substr(open + 1, close - open - 1);

  size_t pos = 0;
  while (pos < body.size()) {
    size_t name_open = body.find('"', pos);
    if (name_open == std::string_view::npos) break;
    size_t name_close = body.find('"', name_open + 1);
    if (name_close == std::string_view::npos) break;
    size_t colon = body.find(':', name_close + 1);
    if (colon == std::string_view::npos) break;

    const size_t value_start = colon + 1;
    size_t value_end = body.find_first_of(",}", value_start);
    bool last = value_end == std::string_view::npos;
    if (last) value_end = body.size();
    const std::string_view value = body.substr(value_start, value_end - value_start);
    if (!value.empty()) {
      if (auto number = read_decimal_u64(value)) {
        out[std::string(body.substr(name_open + 1, name_close - name_open - 1))] = *number;
      }
    }
    if (last) break;
    pos = value_end + 1;
  }
}

constexpr std::string_view kTipOpening = ",\"last_block\":{\"index\":";
constexpr std::string_view kTipHash = ",\"hash\":\"";
constexpr std::string_view kTipCredits = ",\"last_credit\":";

// The strict reader of a saved state text.
class StrictReader : public TextCursor {
 public:
  using TextCursor::TextCursor;

  // One section body up to its closing '}' (consumed): "name":N pairs.
  bool section(std::map<std::string, uint64_t>& out) {
    if (literal("}")) return true;
    while (true) {
      if (!literal("\"")) return false;
      const auto name = until_quote();
      if (!name || !literal(":")) return false;
      const auto value = number();
      if (!value) return false;
      out.insert_or_assign(std::string(*name), *value);
      if (literal("}")) return true;
      if (!literal(",")) return false;
    }
  }
};

}  // namespace

std::string State::serialize() const {
  std::string out;
  out.reserve(64 + kStateEntryGuess * (balances.size() + staked.size() + nonces.size()));
  out += "{\"balances\":{";
  append_section(out, balances);
  out += "},\"staked\":{";
  append_section(out, staked);
  out += "},\"nonces\":{";
  append_section(out, nonces);
  out += "}}";
  return out;
}

State State::deserialize(const std::string& text) {
  State state;
  parse_json_kv(text, "balances", state.balances);
  parse_json_kv(text, "staked", state.staked);
  parse_json_kv(text, "nonces", state.nonces);
  return state;
}

std::string State::serialize_with_tip(const std::optional<StateTip>& tip) const {
  std::string out = serialize();
  if (!tip) return out;
  out.pop_back();  // the closing '}' of the whole text
  out += kTipOpening;
  append_decimal(out, tip->index);
  out += kTipHash;
  out += tip->hash;
  out += "\"}";
  out += kTipCredits;
  append_decimal(out, tip->credits);
  out += '}';
  return out;
}

std::optional<State> State::parse_saved(std::string_view text, std::optional<StateTip>& tip) {
  tip.reset();
  StrictReader reader(text);
  State state;
  if (!reader.literal("{\"balances\":{") || !reader.section(state.balances) ||
      !reader.literal(",\"staked\":{") || !reader.section(state.staked) ||
      !reader.literal(",\"nonces\":{") || !reader.section(state.nonces)) {
    return std::nullopt;
  }
  if (reader.peek(',')) {
    StateTip named;
    if (!reader.literal(kTipOpening)) return std::nullopt;
    const auto index = reader.number();
    if (!index || !reader.literal(kTipHash)) return std::nullopt;
    const auto hash = reader.until_quote();
    if (!hash || !reader.literal("}")) return std::nullopt;
    named.index = *index;
    named.hash = std::string(*hash);
    // A file from before the credits log names no position in it.
    if (reader.peek(',')) {
      if (!reader.literal(kTipCredits)) return std::nullopt;
      const auto credits = reader.number();
      if (!credits) return std::nullopt;
      named.credits = *credits;
    }
    tip = std::move(named);
  }
  if (!reader.literal("}") || !reader.at_end_after_blanks()) {
    tip.reset();
    return std::nullopt;
  }
  return state;
}

}  // namespace ZezozuRiziv
