// The method table of the JSON-RPC, the fixed answers and the account
// reads, with the welcome credit a new wallet gets on its first balance query.
#include <iostream>
#include <mutex>

#include "crypto/json_writer.h"
#include "server/json_rpc.h"
#include "server/rpc_server.h"
#include "storage/ledger.h"

namespace ZezozuRiziv::json_rpc {
namespace {

// What a new wallet finds on its first balance query: 100 RUZ.
constexpr uint64_t kWelcomeCredit = 100'000'000;

std::string quoted(std::string_view text) { return json_string(text); }

Answer get_balance(RPCServer& server, const JsonValue& request) {
  const std::string address = address_param(request);
  if (address.empty()) return Answer::ok("\"0x0\"");
  uint64_t balance;
  {
    platform::ReadLock lock(server.chain_lock);
    balance = server.state.get_balance(address);
  }
  if (balance == 0) {
    platform::WriteLock lock(server.chain_lock);
    server.current_wallet_address = address;
    balance = server.state.get_balance(address);
    // Checked again under the exclusive lock: another request may have credited it.
    if (balance == 0) {
      // Durable with the rest of the request, before its answer is sent.
      if (LedgerResult credited = Ledger(server.storage, server.state)
                                      .credit_in_request(address, kWelcomeCredit);
          !credited) {
        return Answer::error(kServerError, credited.error);
      }
      std::cout << "[FAUCET AUTOMATICO] Nuovo wallet MetaMask " << address
                << " -> 100 RUZ accreditati!" << std::endl;
      balance = server.state.get_balance(address);
    }
  }
  return Answer::ok(quoted(to_hex_wei(balance)));
}

Answer block_number(RPCServer& server) {
  platform::ReadLock lock(server.chain_lock);
  const auto& chain = server.storage.get_blocks_cached();
  return Answer::ok(quoted(to_hex_quantity(chain.empty() ? 0 : chain.back().index)));
}

Answer transaction_count(RPCServer& server, const JsonValue& request) {
  const std::string address = address_param(request);
  platform::ReadLock lock(server.chain_lock);
  return Answer::ok(quoted(to_hex_quantity(address.empty() ? 0 : server.state.get_nonce(address))));
}

}  // namespace

Answer answer_method(RPCServer& server, std::string_view method, const JsonValue& request) {
  if (method == "eth_chainId") return Answer::ok(quoted(to_hex_quantity(server.chain_id)));
  if (method == "net_version") return Answer::ok(quoted(std::to_string(server.chain_id)));
  if (method == "eth_syncing") return Answer::ok("false");
  if (method == "net_listening") return Answer::ok("true");
  if (method == "eth_accounts") return Answer::ok("[]");
  if (method == "eth_gasPrice" || method == "eth_maxPriorityFeePerGas") return Answer::ok(kFeeQuote);
  if (method == "eth_estimateGas") return Answer::ok("\"0x5208\"");
  if (method == "eth_feeHistory") {
    return Answer::ok(std::string("{\"oldestBlock\":\"0x0\",\"reward\":[[") + kFeeQuote +
                      "]],\"baseFeePerGas\":[" + kFeeQuote + "," + kFeeQuote +
                      "],\"gasUsedRatio\":[0.0]}");
  }
  if (method == "web3_clientVersion") return Answer::ok("\"ZezozuRiziv/v2.0.0-cpp17-ultra/windows\"");
  if (method == "eth_getCode") return token_code(request);
  if (method == "eth_blockNumber") return block_number(server);
  if (method == "eth_getTransactionCount") return transaction_count(server, request);
  if (method == "eth_getBalance") return get_balance(server, request);
  if (method == "eth_getBlockByNumber" || method == "eth_getBlockByHash") {
    return block_view(server, request);
  }
  if (method == "eth_getTransactionByHash") return transaction_view(server, request);
  if (method == "eth_getTransactionReceipt") return receipt_view(server, request);
  if (method == "eth_call") return token_call(server, request);
  if (method == "eth_sendRawTransaction") return send_raw_transaction(server, request);
  return Answer::ok("null");
}

}  // namespace ZezozuRiziv::json_rpc
