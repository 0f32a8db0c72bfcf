// The peer endpoint: a TCP listener on the peer port and outbound
// connections, one reader thread per connection, framed messages carrying
// one transaction or one block record text, handed to two callbacks.
//
// Frame: "RUZ1", a big-endian 16-bit type, a big-endian 32-bit payload
// length, the payload. No handshake, no reply.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "chain/block.h"
#include "chain/transaction.h"
#include "platform/socket.h"

namespace ZezozuRiziv {

enum class P2PMessageType : uint16_t {
  TRANSACTION = 3,
  BLOCK = 4,
};

inline constexpr char kP2PMagic[] = "RUZ1";
inline constexpr size_t kP2PHeaderBytes = 10;
// A frame announcing more than this closes its connection unread: a peer
// must not make us allocate or wait for gigabytes.
inline constexpr uint32_t kMaxP2PPayloadBytes = 8u << 20;
// Connections beyond this many are accepted and closed at once.
inline constexpr size_t kMaxPeerConnections = 128;
// How long stop_server waits for the threads to end.
inline constexpr int kP2PStopWaitMs = 3000;

class P2PNode {
 public:
  // Listens on every interface unless the node asks for one address.
  explicit P2PNode(uint16_t port, std::string bind_address = "0.0.0.0");
  ~P2PNode();
  P2PNode(const P2PNode&) = delete;
  P2PNode& operator=(const P2PNode&) = delete;

  // Binds and listens, then starts the accept thread. False, with one
  // console line, when the port cannot be opened; true at once when running.
  bool start_server();
  // Shuts every connection down (which wakes its reader), stops accepting
  // and waits, bounded, for every thread to end. Harmless twice.
  void stop_server();
  bool running() const { return running_.load(); }
  uint16_t bound_port() const { return bound_port_.load(); }

  // One attempt to a dotted IPv4 address; false without connecting anywhere
  // for any other host text.
  bool connect_to_peer(const std::string& host, uint16_t port);
  size_t get_peer_count() const;

  // One frame, sent whole; false when the socket failed.
  bool send_raw(platform::SocketHandle socket, P2PMessageType type, std::string_view payload);
  void broadcast_transaction(const Transaction& tx);
  void broadcast_block(const Block& block);

  // Assigned before start_server; run on reader threads, several at once.
  std::function<void(const Transaction&)> on_transaction;
  std::function<void(const Block&)> on_block;

 private:
  void server_loop();
  void handle_client(platform::SocketHandle socket);
  // Lists the socket and starts its reader; closes it when either fails.
  bool adopt(platform::SocketHandle socket);
  void broadcast(P2PMessageType type, const std::string& payload);

  const uint16_t port_;
  const std::string bind_address_;
  std::atomic<bool> running_{false};
  std::atomic<uint16_t> bound_port_{0};
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::thread accept_thread_;
  std::mutex lifecycle_mutex_;

  // Every live connection; a reader removes its own socket and is the only
  // one that closes it.
  mutable std::mutex peers_mutex_;
  std::condition_variable readers_done_;
  std::list<platform::SocketHandle> peer_sockets_;
  size_t live_readers_ = 0;
  std::mutex send_mutex_;  // frames to one socket must not interleave
};

}  // namespace ZezozuRiziv
