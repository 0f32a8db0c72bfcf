// Runs the node's HTTP server alone, for load tests of its static pages:
//   http_server <port> <dapp_dir> <data_dir>
// Listens on 127.0.0.1 only, prints "ready" once it accepts connections and
// stops when its standard input reaches end of file.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "chain/mempool.h"
#include "chain/state.h"
#include "server/rpc_server.h"
#include "storage/storage.h"

namespace {

// The chain id the node announces.
constexpr uint64_t kChainId = 202677;

bool parse_port(std::string_view text, uint16_t& port) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, port);
  return ec == std::errc() && ptr == end;
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 0;
  if (argc != 4 || !parse_port(argv[1], port)) {
    std::fprintf(stderr, "uso: %s <porta> <cartella_dapp> <cartella_dati>\n", argv[0]);
    return 1;
  }
  using namespace ZezozuRiziv;
  Storage storage(argv[3]);
  State state;
  Mempool mempool;
  std::shared_mutex chain_lock;
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
