// eth_sendRawTransaction: a wallet-signed transfer becomes a native TRANSFER
// sealed alone in a block. The sender is whoever signed it; every refusal
// comes before anything changes.
#include <mutex>

#include "chain/accounts.h"
#include "crypto/sha256.h"
#include "server/eth_transaction.h"
#include "server/json_rpc.h"
#include "server/rpc_server.h"
#include "storage/ledger.h"

namespace ZezozuRiziv::json_rpc {
namespace {

constexpr size_t kAddressBytes = 20;

}  // namespace

Answer send_raw_transaction(RPCServer& server, const JsonValue& request) {
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
  // The fee must stay below the amount, or the recipient would get nothing
  // and the fee shares would be coins from nowhere.
  if (amount < Ledger::min_wallet_transfer()) {
    return Answer::error(kServerError, Ledger::min_wallet_transfer_message());
  }
  const std::string& sender = tx->from;
  const std::string recipient = "0x" + RozeveCrypto::bytes_to_hex(tx->to);

  platform::WriteLock lock(server.chain_lock);
  State& state = server.state;
  const uint64_t nonce = state.get_nonce(sender);
  if (!tx->nonce_fits || tx->nonce != nonce) {
    return Answer::error(kServerError, "Nonce non valido (atteso: " + std::to_string(nonce) +
                                           ", fornito: " +
                                           (tx->nonce_fits ? std::to_string(tx->nonce) : "?") + ")");
  }
  if (nonce == UINT64_MAX) return Answer::error(kServerError, "Nonce esaurito per questo indirizzo");

  const bool staked_validator = !server.node_validator_address.empty() &&
                                state.get_stake(server.node_validator_address) >= kMinValidatorStake;
  WalletTransfer transfer;
  transfer.sender = sender;
  transfer.recipient = recipient;
  transfer.amount = amount;
  transfer.nonce = nonce;
  transfer.validator = staked_validator ? server.node_validator_address : sender;
  transfer.tx_hash = tx->hash;
  transfer.signature = encode_wallet_signature(tx->type, tx->r, tx->s, tx->v);
  // The ledger checks the balance and appends the block, durable before the
  // request's answer is sent; whatever it refuses has changed nothing.
  CommittedBlock committed;
  if (LedgerResult done = Ledger(server.storage, state).commit_wallet_transfer(transfer, committed);
      !done) {
    return Answer::error(kServerError, done.error);
  }
  const Block& block = committed.block;
  const Transaction& native = block.transactions.front();
  server.evm_transactions[tx->hash] = RPCServer::StoredEvmTx{
      tx->hash,  sender, recipient, native.amount, nonce, block.index, "0x" + block.block_hash,
      block.timestamp, native.signature};
  return Answer::ok("\"" + tx->hash + "\"");
}

}  // namespace ZezozuRiziv::json_rpc
