// The rule of each kind of block the ledger writes. The live path and the
// start-up catch-up apply a block through the same function, so a replayed
// block changes the state exactly as it did when it was first written.
#pragma once

#include <cstdint>
#include <string>

#include "chain/block.h"
#include "chain/state.h"
#include "chain/state_undo.h"

namespace ZezozuRiziv {

// What a ledger operation reports: done, or refused with an Italian message.
struct [[nodiscard]] LedgerResult {
  bool ok = false;
  std::string error;  // Italian, set when !ok

  static LedgerResult success() { return {true, {}}; }
  static LedgerResult failure(std::string message) { return {false, std::move(message)}; }
  explicit operator bool() const { return ok; }
};

// The kinds of block, told apart from the stored block alone:
// - kGenesis: index 0 holding one GENESIS transaction;
// - kWalletTransfer: one TRANSFER whose signature starts with "eth" (a
//   wallet's signature, kept in the record by the JSON-RPC);
// - kStake: one STAKE with fee 0 and an empty recipient (the stake route's);
// - kGameClaim: one TRANSFER from the reward pool in a block whose validator
//   is the game's validator account;
// - kPeer: anything else.
// A peer block can never be applied as one of the other kinds: the peer
// rule refuses every block that classifies otherwise or carries a
// transaction signed "eth…".
enum class BlockKind { kGenesis, kWalletTransfer, kStake, kGameClaim, kPeer };
BlockKind classify_block(const Block& block);

// What the rules need besides the state: the recipient of block 0's GENESIS
// transaction (the genesis treasury), empty when unknown.
struct RuleContext {
  std::string genesis_treasury;
};

// Admission of what a peer sends (a block for the ledger, a transaction
// for the mempool). A peer's signature proves nothing: signatures are
// checked for their form only. So a peer never spends from an account
// someone else speaks for, and pays exactly the fee whose split
// apply_block credits, which is worked out from the amount: any other
// fee would create or destroy coins. Looks at no state; admission only, so
// a block logged before these checks replays as it was applied.

// Every "0x" account (its owner's only word is a wallet signature over the
// JSON-RPC; the incubator, burn, game validator and reward pool accounts
// are "0x" keys too), the fee treasury and the genesis treasury, whatever
// the letter case of `account`.
[[nodiscard]] bool is_peer_protected_account(const std::string& account,
                                             const RuleContext& context);

// Refuses a minting transaction, a spend from a protected account, an
// account in other than the letter case its owner's wallet reads it in (a
// key that differs only in case would be a second account no wallet
// reaches), and a fee other than the fee total of the amount.
LedgerResult check_peer_transaction(const Transaction& tx, const RuleContext& context);

// Every transaction by check_peer_transaction, and a validator (it gets the
// validator shares) in its wallet's letter case.
LedgerResult check_peer_block(const Block& block, const RuleContext& context);

// Whether `error` is one of the refusals above that the operator hears of.
[[nodiscard]] bool is_peer_admission_refusal(const std::string& error);

// Pool funding at genesis and at a start that finds the pool empty: 500,000 RUZ.
inline constexpr uint64_t kRewardPoolFunding = 500'000ULL * 1'000'000ULL;
// Supply cap under which a claim's pool top-up may be minted: 21,000,000 RUZ.
inline constexpr uint64_t kMaxSupply = 21'000'000ULL * 1'000'000ULL;

// Applies `block` to `state` by the rule of `kind`. Every entry it changes is
// saved in `undo` before it changes; on failure `undo` is restored
// (the state is exactly as before) and the Italian reason returned.
// REQUIRES: the chain lock held exclusively.
LedgerResult apply_block_rule(BlockKind kind, const Block& block, State& state,
                              StateUndo& undo, const RuleContext& context);

// The Italian messages the rules answer with, shared with their callers.
inline constexpr char kUnsafeKeyMessage[] =
    "Indirizzo non utilizzabile come conto: contiene caratteri non ammessi";
inline constexpr char kPoolExhaustedMessage[] =
    "Riserva operativa del Game Reward Pool esaurita: in attesa di rifornimento dalla "
    "Tesoreria Genesis.";
inline constexpr char kStakeFundsMessage[] =
    "Saldo spendibile insufficiente per completare lo staking";
inline constexpr char kWalletFundsMessage[] = "Saldo insufficiente per il trasferimento";
inline constexpr char kPrivilegedRefused[] =
    "Blocco rifiutato: riproduce un blocco che solo questo nodo puo' scrivere";
inline constexpr char kOverflowMessage[] = "Saldo di destinazione oltre il limite consentito";
inline constexpr char kPeerProtectedSpendMessage[] =
    "Un peer non puo' spendere i fondi di un wallet 0x, della tesoreria Genesis o di un conto "
    "di sistema";
inline constexpr char kPeerAccountCaseMessage[] =
    "Indirizzo non in forma canonica: lettere maiuscole non ammesse (salvo il prefisso RUZ)";
inline constexpr char kPeerFeeMessage[] =
    "La commissione deve essere pari alla commissione di rete sull'importo (2%, minimo "
    "0.001000 RUZ)";

}  // namespace ZezozuRiziv
