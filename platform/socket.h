// TCP sockets over POSIX: the small set of calls the HTTP server and the
// peer network need (blocking IPv4 sockets, numeric addresses only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using SocketHandle = int64_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// Called once before any socket is used: a peer that hangs up mid-answer
// must not end the process with SIGPIPE. Harmless when called again.
void startup_sockets();

// Raises the soft limit of open descriptors to the hard limit, so that a
// full queue of accepted sockets cannot exhaust it.
void raise_descriptor_limit();

// True when `text` is a dotted IPv4 address (what --bind accepts).
[[nodiscard]] bool is_ipv4_address(const std::string& text);

// A listening IPv4 socket with SO_REUSEADDR, bound to `ipv4` (dotted form,
// "0.0.0.0" for every interface) and listening with SOMAXCONN. On failure
// returns kInvalidSocket and a short reason in `error`.
SocketHandle listen_tcp(const std::string& ipv4, uint16_t port, std::string& error);
// The port a socket is bound to (useful after binding port 0).
uint16_t local_port(SocketHandle socket);

enum class AcceptResult {
  kAccepted,
  kRetry,   // a transient failure (signal, aborted handshake, no descriptor left)
  kClosed,  // the listener was shut down or is unusable
  kNone,    // a non-blocking listener has no connection waiting
};
AcceptResult accept_tcp(SocketHandle listener, SocketHandle& client);
// Makes accept_tcp on `listener` return kNone instead of waiting.
void set_nonblocking(SocketHandle listener);

// Opens a connection to a dotted IPv4 address within `timeout_ms`; a host
// that is not a dotted IPv4 address fails without connecting anywhere.
SocketHandle connect_tcp(const std::string& ipv4, uint16_t port, int timeout_ms);

// TCP_NODELAY; set on a listener, every socket it accepts has it too.
void set_no_delay(SocketHandle socket);
// On a listener: a connection reaches accept only once its first bytes have
// come, or after about `seconds` (a silent client then comes as before), so
// a server that reads at once does not find it empty.
void set_defer_accept(SocketHandle listener, int seconds);
// SO_RCVTIMEO and SO_SNDTIMEO in milliseconds.
void set_io_timeouts(SocketHandle socket, int timeout_ms);

// Receives up to `len` bytes, waiting at most `timeout_ms` (0: do not wait).
// Returns the byte count, 0 when the peer closed, kWouldBlock when nothing
// came in time, kFailed on an error.
inline constexpr long kWouldBlock = -2;
inline constexpr long kFailed = -1;
long receive(SocketHandle socket, char* data, size_t len, int timeout_ms);
// Receives exactly `len` bytes (fewer only when the peer closes or fails).
[[nodiscard]] bool receive_exact(SocketHandle socket, char* data, size_t len);

// Sends all of `data`, resuming after partial writes, for at most
// `timeout_ms` in all. Never raises SIGPIPE. False when the socket failed.
bool send_all(SocketHandle socket, std::string_view data, int timeout_ms);
// send_all for the last bytes a connection carries, then the sending side is
// shut: the peer reads them and then the end of the stream. Nothing more may
// be sent on the socket.
bool send_last(SocketHandle socket, std::string_view data, int timeout_ms);

// Ends both directions: wakes a thread blocked in accept or receive on the
// socket. The descriptor stays open until close_socket.
void shutdown_socket(SocketHandle socket);
// Ends only our sending direction: the peer reads the end of the stream.
void shutdown_sending(SocketHandle socket);
void close_socket(SocketHandle socket);

// Readiness of several sockets at once.
struct PollItem {
  SocketHandle socket = kInvalidSocket;
  bool ready = false;  // readable, closed or failed: a receive will not block
};
// Waits up to `timeout_ms` for any item to be ready; false on a poll failure.
bool wait_readable(std::vector<PollItem>& items, int timeout_ms);

// Wakes a thread waiting in wait_readable: its read end is polled like a socket.
class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  SocketHandle handle() const { return read_end_; }
  void wake();
  void drain();

 private:
  SocketHandle read_end_ = kInvalidSocket;
  SocketHandle write_end_ = kInvalidSocket;
};

// A counter that wakes a waiter per signal (an eventfd in semaphore mode):
// each signal lets one take() succeed. Its handle is watched like a socket.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  SocketHandle handle() const { return handle_; }
  void signal();
  // Takes one signal; false when none is pending (never waits).
  bool take();

 private:
  SocketHandle handle_ = kInvalidSocket;
};

// One thread's wait for any of several descriptors (an epoll set), each
// reported by the key it was added with.
//
// Descriptors added as shared may sit in the sets of several threads at
// once: each event on one wakes a single thread among those waiting on it,
// the first in the order the sets were filled, and nobody when none waits.
// Each such event is told once (edge-triggered): after a wake-up the thread
// takes what is ready until none is left before it waits again.
//
// A descriptor added once is told when it is readable (or closed) and then
// no more until it is armed again; closing it takes it out of the set.
class ReadyWaiter {
 public:
  ReadyWaiter();
  ~ReadyWaiter();
  ReadyWaiter(const ReadyWaiter&) = delete;
  ReadyWaiter& operator=(const ReadyWaiter&) = delete;

  // False on failure.
  [[nodiscard]] bool add_shared(SocketHandle socket, uint64_t key);
  [[nodiscard]] bool add_once(SocketHandle socket, uint64_t key);
  [[nodiscard]] bool rearm(SocketHandle socket, uint64_t key);
  void remove(SocketHandle socket);
  // Waits up to `timeout_ms` (0: not at all, -1: no limit) and puts the keys
  // of what is ready in `keys` (at most `max`). Their number (0 on time-out),
  // or -1 when the wait itself failed.
  int wait(int timeout_ms, uint64_t* keys, int max);

 private:
  SocketHandle handle_ = kInvalidSocket;
};

}  // namespace platform
