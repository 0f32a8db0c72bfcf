#include "storage/credits_log.h"

#include <array>
#include <exception>

#include "chain/accounts.h"
#include "chain/record_text.h"
#include "crypto/sha256.h"
#include "platform/file_system.h"

namespace ZezozuRiziv {
namespace {

constexpr std::string_view kCheckKey = ",\"check\":\"";
// Hex digits of the SHA-256 kept as a line's checksum.
constexpr size_t kCheckDigits = 8;

struct KindName {
  CreditKind kind;
  std::string_view name;
};
constexpr std::array<KindName, 4> kKindNames{{{CreditKind::kFaucet, "faucet"},
                                              {CreditKind::kWelcome, "welcome"},
                                              {CreditKind::kUnstake, "unstake"},
                                              {CreditKind::kRefill, "refill"}}};

std::string_view kind_name(CreditKind kind) {
  for (const KindName& entry : kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "";
}

std::string check_of(std::string_view checked) {
  return RozeveCrypto::SHA256::hash_string(std::string(checked)).substr(0, kCheckDigits);
}

}  // namespace

std::string format_credit_line(const CreditRecord& record) {
  std::string line = "{\"seq\":";
  append_decimal(line, record.seq);
  append_bare_pair(line, ",\"after_block\":", record.after_block);
  append_quoted_pair(line, ",\"kind\":", kind_name(record.kind));
  append_quoted_pair(line, ",\"account\":", record.account);
  append_bare_pair(line, ",\"amount\":", record.amount);
  const std::string check = check_of(line);
  line += kCheckKey;
  line += check;
  line += "\"}";
  return line;
}

std::optional<CreditRecord> parse_credit_line(std::string_view line) {
  const size_t check_at = line.rfind(kCheckKey);
  if (check_at == std::string_view::npos) return std::nullopt;
  const std::string_view checked = line.substr(0, check_at);
  if (line.substr(check_at + kCheckKey.size()) != check_of(checked) + "\"}") return std::nullopt;

  TextCursor reader(checked);
  CreditRecord record;
  std::optional<uint64_t> seq, after, amount;
  std::optional<std::string_view> kind, account;
  if (!reader.literal("{\"seq\":") || !(seq = reader.number()) ||
      !reader.literal(",\"after_block\":") || !(after = reader.number()) ||
      !reader.literal(",\"kind\":\"") || !(kind = reader.until_quote()) ||
      !reader.literal(",\"account\":\"") || !(account = reader.until_quote()) ||
      !reader.literal(",\"amount\":") || !(amount = reader.number()) || !reader.at_end()) {
    return std::nullopt;
  }
  bool known = false;
  for (const KindName& entry : kKindNames) {
    if (entry.name == *kind) {
      record.kind = entry.kind;
      known = true;
    }
  }
  if (!known || !is_state_key_safe(*account)) return std::nullopt;
  record.seq = *seq;
  record.after_block = *after;
  record.account = std::string(*account);
  record.amount = *amount;
  return record;
}

CreditsRead read_credits_log(const std::string& path, CreditsLogContent& out,
                             std::string& damage) {
  out = CreditsLogContent{};
  std::string text;
  try {
    switch (platform::read_whole_file(path, text)) {
      case platform::ReadResult::kMissing:
        return CreditsRead::kMissing;
      case platform::ReadResult::kFailed:
        damage = "illeggibile";
        return CreditsRead::kDamaged;
      case platform::ReadResult::kRead:
        break;
    }
    size_t start = 0;
    while (start < text.size()) {
      const size_t nl = text.find('\n', start);
      // No line feed: the write of the last line never finished.
      if (nl == std::string::npos) {
        out.torn_tail = true;
        break;
      }
      const std::optional<CreditRecord> record =
          parse_credit_line(std::string_view(text).substr(start, nl - start));
      const uint64_t line_number = out.records.size() + 1;
      if (!record) {
        if (nl + 1 == text.size()) {
          out.torn_tail = true;
          break;
        }
        damage = "riga " + std::to_string(line_number) + " illeggibile";
        return CreditsRead::kDamaged;
      }
      if (record->seq != line_number) {
        damage = "riga " + std::to_string(line_number) + " fuori sequenza";
        return CreditsRead::kDamaged;
      }
      out.records.push_back(std::move(*record));
      out.ends.push_back(nl + 1);
      start = nl + 1;
    }
  } catch (const std::exception&) {
    damage = "illeggibile";
    return CreditsRead::kDamaged;
  }
  return CreditsRead::kRead;
}

LedgerResult apply_credit_rule(const CreditRecord& record, State& state, StateUndo& undo) {
  const std::string& account = record.account;
  if (!is_state_key_safe(account)) return LedgerResult::failure(kUnsafeKeyMessage);
  switch (record.kind) {
    case CreditKind::kFaucet:
    case CreditKind::kWelcome:
      if (state.get_balance(account) > UINT64_MAX - record.amount) {
        return LedgerResult::failure(kOverflowMessage);
      }
      undo.remember(account);
      state.balances[account] += record.amount;
      return LedgerResult::success();
    case CreditKind::kUnstake:
      if (record.amount == 0 || state.get_stake(account) < record.amount) {
        return LedgerResult::failure(kUnstakeFundsMessage);
      }
      if (state.get_balance(account) > UINT64_MAX - record.amount) {
        return LedgerResult::failure(kOverflowMessage);
      }
      undo.remember(account);
      state.staked[account] -= record.amount;
      state.balances[account] += record.amount;
      return LedgerResult::success();
    case CreditKind::kRefill:
      if (account == kRewardPoolAddress || state.get_balance(account) < record.amount) {
        return LedgerResult::failure(kRefillFundsMessage);
      }
      if (state.get_balance(kRewardPoolAddress) > UINT64_MAX - record.amount) {
        return LedgerResult::failure(kOverflowMessage);
      }
      undo.remember(account);
      undo.remember(kRewardPoolAddress);
      state.balances[account] -= record.amount;
      state.balances[kRewardPoolAddress] += record.amount;
      return LedgerResult::success();
  }
  return LedgerResult::failure(kUnsafeKeyMessage);
}

}  // namespace ZezozuRiziv
