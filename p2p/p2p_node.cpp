#include "p2p/p2p_node.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <system_error>
#include <utility>

namespace ZezozuRiziv {
namespace {

// One outbound connection attempt waits this long for the peer to answer.
constexpr int kP2PConnectTimeoutMs = 5000;
// A peer that stops reading holds one send at most this long.
constexpr int kP2PSendTimeoutMs = 5000;
// Pause after a transient accept failure (no descriptor left, aborted
// handshake) so that the loop does not spin.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(10);

int64_t steady_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint16_t read_u16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read_u32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

std::string frame_of(P2PMessageType type, std::string_view payload) {
  const auto t = static_cast<uint16_t>(type);
  const auto n = static_cast<uint32_t>(payload.size());
  std::string frame;
  frame.reserve(kP2PHeaderBytes + payload.size());
  frame.append(kP2PMagic, 4);
  frame += static_cast<char>(t >> 8);
  frame += static_cast<char>(t & 0xff);
  frame += static_cast<char>(n >> 24);
  frame += static_cast<char>((n >> 16) & 0xff);
  frame += static_cast<char>((n >> 8) & 0xff);
  frame += static_cast<char>(n & 0xff);
  frame.append(payload);
  return frame;
}

// Parses the payload and hands it to the callback; a payload that does not
// parse is dropped, so a callback never sees a half-read record.
template <typename Record, typename Callback>
void deliver(const std::string& payload, const Callback& callback) {
  if (!callback) return;
  const std::optional<Record> record = Record::deserialize(payload);
  if (record) callback(*record);
}

}  // namespace

P2PNode::P2PNode(uint16_t port, std::string bind_address, P2PLimits limits)
    : port_(port), bind_address_(std::move(bind_address)), limits_(limits) {
  platform::startup_sockets();
}

P2PNode::~P2PNode() { stop_server(); }

bool P2PNode::start_server() {
  if (running_) return true;
  std::string error;
  const platform::SocketHandle listener = platform::listen_tcp(bind_address_, port_, error);
  if (listener == platform::kInvalidSocket) {
    std::cout << "[P2P] Impossibile aprire la porta P2P " << port_ << ": " << error << std::endl;
    return false;
  }
  return start_server(listener);
}

bool P2PNode::start_server(platform::SocketHandle listening) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (running_) {
    if (listening != listener_) platform::close_socket(listening);
    return true;
  }
  listener_ = listening;
  bound_port_ = platform::local_port(listener_);
  running_ = true;
  try {
    accept_thread_ = std::thread([this] { server_loop(); });
  } catch (const std::system_error& e) {
    running_ = false;
    platform::close_socket(listener_);
    listener_ = platform::kInvalidSocket;
    std::cout << "[P2P] Impossibile avviare il thread di ascolto P2P: " << e.what() << std::endl;
    return false;
  }
  return true;
}

void P2PNode::server_loop() {
  while (running_) {
    platform::SocketHandle client = platform::kInvalidSocket;
    const platform::AcceptResult result = platform::accept_tcp(listener_, client);
    if (result == platform::AcceptResult::kRetry) {
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    if (result == platform::AcceptResult::kClosed) return;
    if (!running_) {
      platform::close_socket(client);
      return;
    }
    adopt(client);
  }
}

bool P2PNode::evict_idle_peer() {
  Peer* quietest = nullptr;
  for (Peer& peer : peers_) {
    if (peer.evicted) continue;
    if (quietest == nullptr || peer.last_heard_ms.load() < quietest->last_heard_ms.load()) {
      quietest = &peer;
    }
  }
  if (quietest == nullptr ||
      steady_now_ms() - quietest->last_heard_ms.load() <= limits_.idle_eviction_ms) {
    return false;
  }
  // Its reader wakes, delists and closes it; the slot is free from now.
  quietest->evicted = true;
  ++evicted_;
  platform::shutdown_socket(quietest->socket);
  return true;
}

bool P2PNode::adopt(platform::SocketHandle socket) {
  std::lock_guard<std::mutex> lock(peers_mutex_);
  // Once stop_server has set running_ false it shuts down only what is
  // listed; a socket listed later would outlive its wait, so refuse it.
  const bool full = peers_.size() - evicted_ >= limits_.max_connections;
  if (!running_ || (full && !evict_idle_peer())) {
    platform::close_socket(socket);
    return false;
  }
  Peer* peer = &peers_.emplace_back(socket, steady_now_ms());
  ++live_readers_;
  try {
    std::thread([this, peer] { handle_client(peer); }).detach();
  } catch (const std::system_error&) {
    peers_.pop_back();
    --live_readers_;
    readers_done_.notify_all();
    platform::close_socket(socket);
    return false;
  }
  return true;
}

bool P2PNode::connect_to_peer(const std::string& host, uint16_t port) {
  const platform::SocketHandle socket = platform::connect_tcp(host, port, kP2PConnectTimeoutMs);
  if (socket == platform::kInvalidSocket) return false;
  return adopt(socket);
}

bool P2PNode::receive_before(Peer& peer, char* data, size_t len, int64_t deadline_ms) {
  while (len > 0) {
    const int64_t left = deadline_ms - steady_now_ms();
    if (left <= 0) return false;
    const long n = platform::receive(peer.socket, data, len, static_cast<int>(left));
    if (n == platform::kWouldBlock) continue;  // the deadline decides
    if (n <= 0) return false;
    peer.last_heard_ms = steady_now_ms();
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool P2PNode::read_frame(Peer& peer) {
  unsigned char header[kP2PHeaderBytes];
  // Idle time before a frame is not bounded here: an idle peer keeps its
  // slot until a newcomer needs it. A begun frame must end in time.
  if (!platform::receive_exact(peer.socket, reinterpret_cast<char*>(header), 1)) return false;
  peer.last_heard_ms = steady_now_ms();
  const int64_t deadline = peer.last_heard_ms.load() + limits_.frame_deadline_ms;
  if (!receive_before(peer, reinterpret_cast<char*>(header) + 1, sizeof header - 1, deadline)) {
    return false;
  }
  if (!std::equal(header, header + 4, kP2PMagic)) return false;
  const uint16_t type = read_u16(header + 4);
  const uint32_t length = read_u32(header + 6);
  // Checked before anything is allocated or waited for.
  if (length > kMaxP2PPayloadBytes) return false;
  std::string payload;
  while (payload.size() < length) {
    const size_t piece = std::min<size_t>(kP2PReadChunkBytes, length - payload.size());
    const size_t have = payload.size();
    if (payload.capacity() < have + piece) {
      // Doubling, but never past the announced length.
      payload.reserve(std::min<size_t>(length, std::max(2 * payload.capacity(), have + piece)));
    }
    payload.resize(have + piece);
    if (!receive_before(peer, payload.data() + have, piece, deadline)) return false;
  }
  try {
    if (type == static_cast<uint16_t>(P2PMessageType::TRANSACTION)) {
      deliver<Transaction>(payload, on_transaction);
    } else if (type == static_cast<uint16_t>(P2PMessageType::BLOCK)) {
      deliver<Block>(payload, on_block);
    }
    // Other types were read whole and are ignored: the stream stays aligned.
  } catch (...) {
    // A failing callback costs its own frame, not the connection.
  }
  return true;
}

void P2PNode::handle_client(Peer* peer) {
  try {
    while (running_ && read_frame(*peer)) {
    }
  } catch (...) {
    // Out of memory for a payload: end this connection only.
  }
  // Delisted before it is closed, under the lock: a listed socket is always
  // open, so no send, count or shutdown meets a closed or reused descriptor.
  // This is the reader's last touch of the node: stop_server may return, and
  // the node be destroyed, as soon as the lock is released.
  std::lock_guard<std::mutex> lock(peers_mutex_);
  const platform::SocketHandle socket = peer->socket;
  if (peer->evicted) --evicted_;
  const auto it = std::find_if(peers_.begin(), peers_.end(),
                               [peer](const Peer& listed) { return &listed == peer; });
  if (it != peers_.end()) peers_.erase(it);
  platform::close_socket(socket);
  --live_readers_;
  readers_done_.notify_all();
}

void P2PNode::stop_server() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (listener_ == platform::kInvalidSocket) return;
  running_ = false;
  platform::shutdown_socket(listener_);
  if (accept_thread_.joinable()) accept_thread_.join();
  {
    std::unique_lock<std::mutex> lock(peers_mutex_);
    // Shut down, never closed: the readers wake, delist and close their own.
    for (const Peer& peer : peers_) platform::shutdown_socket(peer.socket);
    readers_done_.wait_for(lock, std::chrono::milliseconds(kP2PStopWaitMs),
                           [this] { return live_readers_ == 0; });
  }
  platform::close_socket(listener_);
  listener_ = platform::kInvalidSocket;
}

size_t P2PNode::get_peer_count() const {
  std::lock_guard<std::mutex> lock(peers_mutex_);
  return peers_.size() - evicted_;
}

bool P2PNode::send_raw(platform::SocketHandle socket, P2PMessageType type,
                       std::string_view payload) {
  // A peer would close the connection on a larger frame.
  if (payload.size() > kMaxP2PPayloadBytes) return false;
  const std::string frame = frame_of(type, payload);
  std::lock_guard<std::mutex> lock(send_mutex_);
  return platform::send_all(socket, frame, kP2PSendTimeoutMs);
}

void P2PNode::broadcast_transaction(const Transaction& tx) {
  broadcast(P2PMessageType::TRANSACTION, tx.serialize());
}

void P2PNode::broadcast_block(const Block& block) {
  broadcast(P2PMessageType::BLOCK, block.serialize());
}

void P2PNode::broadcast(P2PMessageType type, const std::string& payload) {
  if (payload.size() > kMaxP2PPayloadBytes) return;
  const std::string frame = frame_of(type, payload);
  // Sent under the list lock: a reader delists its socket under it before
  // closing, so every socket seen here is still open.
  std::lock_guard<std::mutex> lock(peers_mutex_);
  std::lock_guard<std::mutex> send_lock(send_mutex_);
  for (const Peer& peer : peers_) {
    if (!peer.evicted) platform::send_all(peer.socket, frame, kP2PSendTimeoutMs);
  }
}

}  // namespace ZezozuRiziv
