// Talking to a running node as wallets and peers do: JSON-RPC over its HTTP
// port and block frames over its peer port, all on 127.0.0.1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "chain/block.h"
#include "chain/tokenomics.h"
#include "chain/transaction.h"
#include "platform/socket.h"

namespace rozeve_test {

inline constexpr int kNodeClientTimeoutMs = 5000;

// One request on a fresh connection; the answer's body, or "" when the node
// did not answer.
inline std::string http_body(uint16_t port, const std::string& request) {
  const platform::SocketHandle s = platform::connect_tcp("127.0.0.1", port, kNodeClientTimeoutMs);
  if (s == platform::kInvalidSocket) return "";
  std::string answer;
  if (platform::send_all(s, request, kNodeClientTimeoutMs)) {
    char buffer[65536];
    while (true) {
      const long n = platform::receive(s, buffer, sizeof buffer, kNodeClientTimeoutMs);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  platform::close_socket(s);
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

// One JSON-RPC call; the whole answer body, or "" when the node did not answer.
inline std::string rpc_call(uint16_t port, const std::string& method, const std::string& params) {
  const std::string body = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"" + method +
                           "\",\"params\":" + params + "}";
  return http_body(port, "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

// A JSON API request as curl sends it: a GET of `target`, or a POST of a
// form to `path`.
inline std::string curl_get(uint16_t port, const std::string& target) {
  return http_body(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n");
}
inline std::string curl_post(uint16_t port, const std::string& path, const std::string& form) {
  return http_body(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\nContent-Length: " +
                             std::to_string(form.size()) +
                             "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + form);
}

// The quoted text after "key": in a JSON answer, or nullopt.
inline std::optional<std::string> json_text(std::string_view answer, std::string_view key) {
  std::string pattern(1, '"');
  pattern.append(key);
  pattern.append("\":\"");
  const size_t at = answer.find(pattern);
  if (at == std::string_view::npos) return std::nullopt;
  const size_t start = at + pattern.size();
  const size_t end = answer.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(answer.substr(start, end - start));
}

inline uint64_t hex_quantity(const std::string& text) {
  return text.size() > 2 ? std::stoull(text.substr(2), nullptr, 16) : 0;
}

// The node's last block, as its JSON-RPC describes it.
struct ChainTip {
  uint64_t index = 0;
  std::string hash;  // without "0x"
};
inline std::optional<ChainTip> chain_tip(uint16_t rpc_port) {
  const std::string answer = rpc_call(rpc_port, "eth_getBlockByNumber", "[\"latest\",false]");
  const auto number = json_text(answer, "number");
  const auto hash = json_text(answer, "hash");
  if (!number || !hash || hash->size() != 66) return std::nullopt;
  return ChainTip{hex_quantity(*number), hash->substr(2)};
}

// A peer connection that sends block frames.
class PeerClient {
 public:
  explicit PeerClient(uint16_t port)
      : socket_(platform::connect_tcp("127.0.0.1", port, kNodeClientTimeoutMs)) {}
  ~PeerClient() { platform::close_socket(socket_); }
  PeerClient(const PeerClient&) = delete;
  PeerClient& operator=(const PeerClient&) = delete;

  bool connected() const { return socket_ != platform::kInvalidSocket; }
  bool send_raw(std::string_view bytes) {
    return platform::send_all(socket_, bytes, kNodeClientTimeoutMs);
  }
  bool send_frame(uint16_t type, std::string_view payload) {
    std::string frame = "RUZ1";
    const auto n = static_cast<uint32_t>(payload.size());
    frame += static_cast<char>(type >> 8);
    frame += static_cast<char>(type & 0xff);
    for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>((n >> shift) & 0xff);
    frame.append(payload);
    return send_raw(frame);
  }
  bool send_block(const ZezozuRiziv::Block& block) { return send_frame(4, block.serialize()); }

 private:
  platform::SocketHandle socket_;
};

// Credits `coins` RUZ from the faucet to `address` (a native address keeps
// its exact text as its account); whether the node granted them.
inline bool faucet(uint16_t rpc_port, const std::string& address, uint64_t coins) {
  const std::string answer =
      curl_get(rpc_port, "/api/fund?addr=" + address + "&amt=" + std::to_string(coins));
  return answer.starts_with("{\"status\":\"ok\"");
}

// A peer's block: one native transfer from `sender` (a valid address that no
// wallet or the node speaks for: the chain's signatures are checked for
// their form only), sealed on `tip`. The fee is the fee total of the amount
// unless `fee` is given.
inline ZezozuRiziv::Block peer_transfer_block(const ChainTip& tip, const std::string& sender,
                                             const std::string& recipient, uint64_t amount,
                                             uint64_t nonce, const std::string& validator,
                                             std::optional<uint64_t> fee = std::nullopt) {
  using namespace ZezozuRiziv;
  Transaction tx(TxType::TRANSFER, sender, recipient, amount,
                 fee.value_or(Tokenomics::calculate_fee_breakdown(amount).total), nonce, 0);
  tx.sign("peer key");
  Block block(tip.index + 1, tip.hash, validator, {tx}, 0);
  block.seal("peer key");
  return block;
}

}  // namespace rozeve_test
