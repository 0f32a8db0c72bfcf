// eth_sendRawTransaction: a wallet-signed transfer becomes a native TRANSFER
// sealed alone in a block. The sender is whoever signed it; every refusal
// comes before anything changes.
#include <iostream>
#include <map>
#include <mutex>

#include "chain/accounts.h"
#include "chain/tokenomics.h"
#include "crypto/sha256.h"
#include "server/eth_transaction.h"
#include "server/json_rpc.h"
#include "server/rpc_server.h"

namespace ZezozuRiziv::json_rpc {
namespace {

constexpr uint64_t kWeiPerAtomic = 1'000'000'000'000ULL;
constexpr size_t kAddressBytes = 20;

// Balances as they will be after the transfer, checked before any is written.
class BalanceChanges {
 public:
  explicit BalanceChanges(const State& state) : state_(state) {}

  bool debit(const std::string& account, uint64_t amount) {
    uint64_t& balance = entry(account);
    if (balance < amount) return false;
    balance -= amount;
    return true;
  }
  bool credit(const std::string& account, uint64_t amount) {
    uint64_t& balance = entry(account);
    if (balance > UINT64_MAX - amount) return false;
    balance += amount;
    return true;
  }
  void apply(State& state) const {
    for (const auto& [account, balance] : changed_) state.balances[account] = balance;
  }

 private:
  uint64_t& entry(const std::string& account) {
    const auto [it, inserted] = changed_.try_emplace(account, 0);
    if (inserted) it->second = state_.get_balance(account);
    return it->second;
  }
  const State& state_;
  std::map<std::string, uint64_t> changed_;
};

}  // namespace

Answer send_raw_transaction(RPCServer& server, std::string_view request) {
  const std::string raw = hash_param(request);
  EthDecodeError decode_error = EthDecodeError::kNone;
  const std::optional<EthTransaction> tx = decode_eth_transaction(raw, decode_error);
  if (!tx) {
    if (decode_error == EthDecodeError::kBadSignature) {
      return Answer::error(kServerError, "Firma della transazione non valida");
    }
    return Answer::error(kInvalidParams, "Transazione grezza non decodificabile");
  }
  if (tx->type == 0 && tx->chain_id == 0) {
    return Answer::error(kServerError,
                         "Transazione senza chain ID rifiutata: potrebbe essere ripetuta su altre reti");
  }
  if (!tx->chain_id_fits || tx->chain_id != server.chain_id) {
    return Answer::error(kServerError,
                         "Chain ID non valido (atteso: " + std::to_string(server.chain_id) + ")");
  }
  if (tx->to.size() != kAddressBytes) {
    return Answer::error(kServerError, "Destinatario non valido: serve un indirizzo di 20 byte");
  }
  if (!tx->value_fits || tx->value_wei / kWeiPerAtomic > UINT64_MAX) {
    return Answer::error(kServerError, "Importo troppo grande");
  }
  const uint64_t amount = static_cast<uint64_t>(tx->value_wei / kWeiPerAtomic);
  if (amount == 0) {
    return Answer::error(kServerError, "Importo minimo: 0.000001 RUZ (10^12 wei)");
  }
  const std::string& sender = tx->from;
  const std::string recipient = "0x" + RozeveCrypto::bytes_to_hex(tx->to);

  std::unique_lock lock(server.chain_lock);
  State& state = server.state;
  const uint64_t nonce = state.get_nonce(sender);
  if (!tx->nonce_fits || tx->nonce != nonce) {
    return Answer::error(kServerError, "Nonce non valido (atteso: " + std::to_string(nonce) +
                                           ", fornito: " +
                                           (tx->nonce_fits ? std::to_string(tx->nonce) : "?") + ")");
  }
  if (nonce == UINT64_MAX) return Answer::error(kServerError, "Nonce esaurito per questo indirizzo");

  const FeeBreakdown fee = Tokenomics::calculate_fee_breakdown(amount);
  const uint64_t net = fee.total < amount ? amount - fee.total : amount;
  const bool staked_validator = !server.node_validator_address.empty() &&
                                state.get_stake(server.node_validator_address) >= kMinValidatorStake;
  const std::string validator = staked_validator ? server.node_validator_address : sender;

  BalanceChanges changes(state);
  if (!changes.debit(sender, amount)) {
    return Answer::error(kServerError, "Saldo insufficiente per il trasferimento");
  }
  if (!changes.credit(recipient, net) || !changes.credit(kFeeTreasuryAddress, fee.treasury) ||
      !changes.credit(kIncubatorAddress, fee.incubator) ||
      !changes.credit(kBurnAddress, fee.burn) || !changes.credit(validator, fee.validator)) {
    return Answer::error(kServerError, "Saldo di destinazione oltre il limite consentito");
  }

  Transaction native(TxType::TRANSFER, sender, recipient, net, fee.total, nonce, 0);
  native.tx_hash = tx->hash;
  native.signature = encode_wallet_signature(tx->type, tx->r, tx->s, tx->v);
  const std::vector<Block>& chain = server.storage.get_blocks_cached();
  Block block(chain.size(), chain.empty() ? std::string(64, '0') : chain.back().block_hash,
              validator, {native}, 0);
  block.seal("");
  // The block goes to disk first: if it cannot, nothing has changed.
  if (!server.storage.save_block(block)) {
    return Answer::error(kServerError, "Impossibile registrare il blocco: trasferimento annullato");
  }
  changes.apply(state);
  state.nonces[sender] = nonce + 1;
  if (!server.storage.save_state(state)) {
    std::cout << "[RPC] Attenzione: state.json non aggiornato dopo il blocco #" << block.index
              << std::endl;
  }
  server.evm_transactions[tx->hash] = RPCServer::StoredEvmTx{
      tx->hash,  sender, recipient, net, nonce, block.index, "0x" + block.block_hash,
      block.timestamp, native.signature};
  return Answer::ok("\"" + tx->hash + "\"");
}

}  // namespace ZezozuRiziv::json_rpc
