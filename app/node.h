// The long-running node: "rozeve node" (or "rpc").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ZezozuRiziv {

inline constexpr uint16_t kDefaultP2PPort = 8888;
inline constexpr uint16_t kDefaultRpcPort = 8545;
inline constexpr uint64_t kChainId = 202677;
inline constexpr char kDefaultValidatorFile[] = "validator.json";

struct NodeOptions {
  bool daemon = false;
  std::string seed_peer;  // host[:port]
  std::string validator_file = kDefaultValidatorFile;
  std::string validator_address;
  uint16_t p2p_port = kDefaultP2PPort;
  uint16_t rpc_port = kDefaultRpcPort;
  std::string bind_address = "0.0.0.0";  // both listeners
};

// Reads the options from argv[2] on. A later occurrence overrides an earlier
// one; an option missing its value and any other argument are ignored.
// nullopt, with the reason in `error`, for a port that is not a decimal
// number from 1 to 65535.
std::optional<NodeOptions> parse_node_options(int argc, char** argv, std::string& error);

// A decimal port from 1 to 65535.
std::optional<uint16_t> parse_port(const std::string& text);

// The address under "validator_address" (else "address") in the file, or
// empty when the file is missing or holds neither.
std::string read_validator_file(const std::string& path);

// Runs the node until a line on standard input or a stop signal; the exit status.
int run_node(int argc, char** argv);

}  // namespace ZezozuRiziv
