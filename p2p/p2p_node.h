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
// Connections beyond this many are accepted and closed at once, unless one
// of them has been silent long enough to give its slot up.
inline constexpr size_t kMaxPeerConnections = 128;
// A frame whose first byte has arrived must be whole within this, so that a
// half-sent frame cannot hold its slot (or a payload buffer) for ever.
inline constexpr int kP2PFrameDeadlineMs = 30'000;
// When every slot is taken, a new connection takes the slot of the one that
// has been silent longest, if it has been silent for more than this.
inline constexpr int kP2PIdleEvictionMs = 30'000;
// The payload is read in pieces of this size and its buffer grows only as
// bytes really arrive: an announced length costs nothing until it is sent.
inline constexpr size_t kP2PReadChunkBytes = 64 * 1024;
// How long stop_server waits for the threads to end.
inline constexpr int kP2PStopWaitMs = 3000;

// The limits that keep peers from holding the node's slots; tests make them small.
struct P2PLimits {
  size_t max_connections = kMaxPeerConnections;
  int frame_deadline_ms = kP2PFrameDeadlineMs;
  int idle_eviction_ms = kP2PIdleEvictionMs;
};

class P2PNode {
 public:
  // Listens on every interface unless the node asks for one address.
  explicit P2PNode(uint16_t port, std::string bind_address = "0.0.0.0", P2PLimits limits = {});
  ~P2PNode();
  P2PNode(const P2PNode&) = delete;
  P2PNode& operator=(const P2PNode&) = delete;

  // Binds and listens, then starts the accept thread. False, with one
  // console line, when the port cannot be opened; true at once when running.
  bool start_server();
  // The same on a socket already listening (platform::listen_tcp), which the
  // node opens before it writes anything; owned by this object from now on.
  bool start_server(platform::SocketHandle listening);
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
  // One live connection. Listed in a std::list, so its address is stable
  // for its reader.
  struct Peer {
    explicit Peer(platform::SocketHandle s, int64_t now_ms) : socket(s), last_heard_ms(now_ms) {}
    const platform::SocketHandle socket;
    std::atomic<int64_t> last_heard_ms;  // steady clock: when bytes last came in
    bool evicted = false;                // shut down to free its slot (under peers_mutex_)
  };

  void server_loop();
  void handle_client(Peer* peer);
  // Reads one frame (the first byte already waited for); false ends the connection.
  bool read_frame(Peer& peer);
  // Receives exactly `len` bytes before `deadline_ms` (steady clock).
  bool receive_before(Peer& peer, char* data, size_t len, int64_t deadline_ms);
  // Lists the socket and starts its reader; closes it when either fails.
  bool adopt(platform::SocketHandle socket);
  // REQUIRES peers_mutex_: frees the slot of the longest-silent connection
  // when it has been silent long enough; false when none qualifies.
  bool evict_idle_peer();
  void broadcast(P2PMessageType type, const std::string& payload);

  const uint16_t port_;
  const std::string bind_address_;
  const P2PLimits limits_;
  std::atomic<bool> running_{false};
  std::atomic<uint16_t> bound_port_{0};
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::thread accept_thread_;
  std::mutex lifecycle_mutex_;

  // Every live connection; a reader removes its own socket and is the only
  // one that closes it.
  mutable std::mutex peers_mutex_;
  std::condition_variable readers_done_;
  std::list<Peer> peers_;
  size_t evicted_ = 0;  // listed peers already shut down for their slot
  size_t live_readers_ = 0;
  std::mutex send_mutex_;  // frames to one socket must not interleave
};

}  // namespace ZezozuRiziv
