// The server object: what it owns, the start-up lines, start and stop.
#include "server/rpc_server.h"

#include <iostream>
#include <mutex>
#include <thread>

namespace ZezozuRiziv {

RPCServer::RPCServer(State& state, Mempool& mempool, Storage& storage,
                     ChainLock& chain_lock, uint16_t port, uint64_t chain_id,
                     ServerOptions options, std::shared_ptr<const GameClock> clock)
    : state(state),
      mempool(mempool),
      storage(storage),
      game(std::string(storage.data_dir()), clock ? clock : system_game_clock()),
      port(port),
      chain_id(chain_id),
      chain_lock(chain_lock),
      clock_(clock ? std::move(clock) : system_game_clock()),
      router_(Router::api()),
      route_context_{state,
                     storage,
                     chain_lock,
                     mempool,
                     game,
                     faucet_rate_map,
                     node_validator_address,
                     counters,
                     HttpTransport::worker_count_for(options),
                     *clock_},
      transport_(
          port, std::move(options), counters, [this](HttpExchange& exchange) { dispatch(exchange); },
          [this](const HttpExchange& exchange) { return router_.is_change_request(exchange.reader.request()); }) {
  // Loaded now, before any worker can read it concurrently; under the chain
  // lock, because the peer listener may already be appending blocks.
  platform::WriteLock lock(chain_lock);
  storage.get_blocks_cached();
}

RPCServer::~RPCServer() { stop(); }

bool RPCServer::start() {
  if (transport_.running()) return true;
  if (!transport_.start()) return false;
  // The address really listened on: 0.0.0.0 is every interface, not the loopback.
  std::cout << "[RPC SERVER ULTRA] Motore C++17 Multi-Thread attivo su http://"
            << transport_.options().bind_address << ":" << transport_.bound_port() << "\n"
            << "[RPC SERVER ULTRA] Thread Pool: " << transport_.worker_count()
            << " Worker concorrenti | Cache RAM O(1) Attiva | Chain ID: " << chain_id << std::endl;
  return true;
}

void RPCServer::stop() { transport_.stop(); }

LedgerResult RPCServer::fund_metamask_account(const std::string& address, uint64_t coins,
                                              FundReceipt& receipt) {
  return fund_account(route_context_, address, coins, receipt);
}

}  // namespace ZezozuRiziv
