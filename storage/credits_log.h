// The credits log "credits.dat": every change of the state made without a
// block (faucet and welcome credits, unstaking, the pool's refill at start),
// one self-checking line each, appended in the order the changes were made.
// With "blocks.dat" it is all the state is made of: "state.json" is only a
// checkpoint of both.
//
// Line: {"seq":S,"after_block":H,"kind":"K","account":"A","amount":N,"check":"C"}
// - S counts the lines from 1; H is the index of the last block written
//   before the change (the change falls between block H and block H+1);
// - K is "faucet", "welcome" (coins minted to A), "unstake" (N from A's
//   stake to its balance) or "refill" (N from A, the genesis treasury, to
//   the reward pool);
// - C is the first 8 hex digits of the SHA-256 of the line up to, not
//   including, ',"check"', so that a garbled line is told from a torn one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chain/state.h"
#include "chain/state_undo.h"
#include "storage/block_rules.h"

namespace ZezozuRiziv {

enum class CreditKind { kFaucet, kWelcome, kUnstake, kRefill };

struct CreditRecord {
  uint64_t seq = 0;
  uint64_t after_block = 0;
  CreditKind kind = CreditKind::kFaucet;
  std::string account;  // a safe state key
  uint64_t amount = 0;  // atomic units
  bool operator==(const CreditRecord&) const = default;
};

// The line of `record`, without its line feed.
std::string format_credit_line(const CreditRecord& record);
// Nullopt unless `line` is exactly one line as format_credit_line writes it,
// checksum included.
[[nodiscard]] std::optional<CreditRecord> parse_credit_line(std::string_view line);

// What a read of the credits log found.
struct CreditsLogContent {
  std::vector<CreditRecord> records;  // in file order, seq 1, 2, ...
  std::vector<uint64_t> ends;         // byte offset just after each record's line feed
  bool torn_tail = false;             // a last line cut or garbled by a crash was dropped
};

enum class CreditsRead {
  kMissing,  // no file: no credits
  kRead,
  kDamaged,  // unreadable, or a bad line before the last: `damage` says where
};
// Reads the whole log. Only the last line may be bad (the trace of a crash);
// any other bad line, or a line out of sequence, damages the log.
[[nodiscard]] CreditsRead read_credits_log(const std::string& path, CreditsLogContent& out,
                                           std::string& damage);

// The Italian refusal of an unstake the stake does not cover.
inline constexpr char kUnstakeFundsMessage[] = "Fondi in staking insufficienti per il ritiro";
// The refusal of a refill the treasury cannot pay.
inline constexpr char kRefillFundsMessage[] =
    "Tesoreria Genesis insufficiente per dotare il Game Reward Pool";

// Applies one change by the rule of its kind, for the live path and the
// catch-up alike. Every entry it changes is saved in `undo` first; on
// failure nothing changed and the Italian reason is returned.
// REQUIRES: the chain lock held exclusively.
LedgerResult apply_credit_rule(const CreditRecord& record, State& state, StateUndo& undo);

}  // namespace ZezozuRiziv
