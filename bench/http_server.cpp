// Runs the node's HTTP server alone, for load tests of its pages and routes:
//   http_server <port> <dapp_dir> <data_dir> [chain_blocks]
// With chain_blocks, blocks.dat in the data directory is first replaced by a
// chain of that many blocks with one watched address (bench/chain_fixture.h)
// and the watched account is funded. Listens on 127.0.0.1 only, prints
// "ready" once it accepts connections and stops when its standard input
// reaches end of file.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "chain_fixture.h"
#include "platform/process.h"
#include "server/rpc_server.h"
#include "storage/storage.h"

namespace {

// The chain id the node announces.
constexpr uint64_t kChainId = 202677;

template <typename Number>
bool parse_number(std::string_view text, Number& number) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, number);
  return ec == std::errc() && ptr == end;
}

bool parse_port(std::string_view text, uint16_t& port) { return parse_number(text, port); }

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 0;
  uint64_t chain_blocks = 0;
  if ((argc != 4 && argc != 5) || !parse_port(argv[1], port) ||
      (argc == 5 && !parse_number(argv[4], chain_blocks))) {
    std::fprintf(stderr, "uso: %s <porta> <cartella_dapp> <cartella_dati> [blocchi]\n", argv[0]);
    return 1;
  }
  using namespace ZezozuRiziv;
  platform::settle_time_zone();  // as the node does
  if (chain_blocks > 0 && !rozeve_bench::write_watched_chain(argv[3], chain_blocks)) {
    std::fprintf(stderr, "impossibile scrivere la catena in %s\n", argv[3]);
    return 1;
  }
  Storage storage(argv[3]);
  State state;
  if (chain_blocks > 0) rozeve_bench::fund_watched_account(state);
  Mempool mempool;
  ChainLock chain_lock;
  ServerOptions options;
  options.bind_address = "127.0.0.1";
  options.dapp_dir = argv[2];

  RPCServer server(state, mempool, storage, chain_lock, port, kChainId, options);
  if (!server.start()) return 1;
  std::cout << "ready" << std::endl;

  // The caller ends the server by closing our standard input.
  while (std::cin.get() != std::char_traits<char>::eof()) {
  }
  server.stop();
  return 0;
}
