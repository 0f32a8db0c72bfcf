// The long-running node: "rozeve node" (or "rpc").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZezozuRiziv {

inline constexpr uint16_t kDefaultP2PPort = 8888;
inline constexpr uint16_t kDefaultRpcPort = 8545;
inline constexpr uint64_t kChainId = 202677;
inline constexpr char kDefaultValidatorFile[] = "validator.json";
// Peers are not authenticated: their port stays on the loopback unless the
// operator names an address for it.
inline constexpr char kDefaultP2PBindAddress[] = "127.0.0.1";
inline constexpr char kDefaultRpcBindAddress[] = "0.0.0.0";

struct NodeOptions {
  bool daemon = false;
  std::string seed_peer;  // host[:port]
  std::string validator_file = kDefaultValidatorFile;
  std::string validator_address;
  uint16_t p2p_port = kDefaultP2PPort;
  uint16_t rpc_port = kDefaultRpcPort;
  std::string bind_address = kDefaultRpcBindAddress;       // the HTTP port ("--bind")
  std::string p2p_bind_address = kDefaultP2PBindAddress;  // the peer port ("--p2p-bind")
  // One console line for each argument that was ignored, and why.
  std::vector<std::string> ignored;
};

// Reads the options from argv[2] on. Every option that takes a value takes
// it as the next argument or after '=' ("--rpc-port=8545"). A later
// occurrence overrides an earlier one; an unknown argument, and an option
// missing its value, are ignored and listed in `ignored`. nullopt, with the
// reason in `error`, for a port that is not a decimal number from 1 to 65535
// or an address that is not a dotted IPv4 address.
std::optional<NodeOptions> parse_node_options(int argc, char** argv, std::string& error);

// The start-up lines of a peer port that listens on `address`: where, and,
// beyond the loopback, that what peers send is not authenticated.
std::string peer_port_lines(const std::string& address, uint16_t port);

// A decimal port from 1 to 65535.
std::optional<uint16_t> parse_port(const std::string& text);

// The address under "validator_address" (else "address") in the file, or
// empty when the file is missing or holds neither.
std::string read_validator_file(const std::string& path);

// Runs the node until a line on standard input or a stop signal; the exit status.
int run_node(int argc, char** argv);

}  // namespace ZezozuRiziv
