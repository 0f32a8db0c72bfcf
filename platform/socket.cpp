#include "platform/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

int fd(SocketHandle socket) { return static_cast<int>(socket); }

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until the descriptor is ready for `events`; false on time-out or error.
bool wait_for(int descriptor, short events, int timeout_ms) {
  pollfd item{descriptor, events, 0};
  while (true) {
    const int n = ::poll(&item, 1, timeout_ms);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool parse_ipv4(const std::string& ipv4, uint16_t port, sockaddr_in& address) {
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  return ::inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) == 1;
}

}  // namespace

bool is_ipv4_address(const std::string& text) {
  sockaddr_in address;
  return parse_ipv4(text, 0, address);
}

void startup_sockets() { std::signal(SIGPIPE, SIG_IGN); }

void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

SocketHandle listen_tcp(const std::string& ipv4, uint16_t port, std::string& error) {
  sockaddr_in address;
  if (!parse_ipv4(ipv4, port, address)) {
    error = "indirizzo non valido";
    return kInvalidSocket;
  }
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) {
    error = std::strerror(errno);
    return kInvalidSocket;
  }
  const int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, SOMAXCONN) != 0) {
    error = std::strerror(errno);
    ::close(s);
    return kInvalidSocket;
  }
  return s;
}

uint16_t local_port(SocketHandle socket) {
  sockaddr_in address{};
  socklen_t len = sizeof address;
  if (::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&address), &len) != 0) return 0;
  return ntohs(address.sin_port);
}

AcceptResult accept_tcp(SocketHandle listener, SocketHandle& client) {
  const int s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (s >= 0) {
    client = s;
    return AcceptResult::kAccepted;
  }
  switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return AcceptResult::kNone;
    // The connection or the moment failed, not the listener.
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case ENONET:
    case EOPNOTSUPP:
      return AcceptResult::kRetry;
    default:
      return AcceptResult::kClosed;
  }
}

void set_nonblocking(SocketHandle listener) {
  ::fcntl(fd(listener), F_SETFL, ::fcntl(fd(listener), F_GETFL) | O_NONBLOCK);
}

SocketHandle connect_tcp(const std::string& ipv4, uint16_t port, int timeout_ms) {
  sockaddr_in address;
  if (!parse_ipv4(ipv4, port, address)) return kInvalidSocket;
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (s < 0) return kInvalidSocket;
  bool connected = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected && errno == EINPROGRESS && wait_for(s, POLLOUT, timeout_ms)) {
    int error = 0;
    socklen_t len = sizeof error;
    connected = ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
  // Back to a blocking socket, as every user of this layer expects.
  if (!connected || ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(s);
    return kInvalidSocket;
  }
  return s;
}

void set_no_delay(SocketHandle socket) {
  const int one = 1;
  ::setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_defer_accept(SocketHandle listener, int seconds) {
  ::setsockopt(fd(listener), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

void set_io_timeouts(SocketHandle socket, int timeout_ms) {
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  ::setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd(socket), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

long receive(SocketHandle socket, char* data, size_t len, int timeout_ms) {
  while (true) {
    const ssize_t n = ::recv(fd(socket), data, len, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return kFailed;
    if (timeout_ms <= 0 || !wait_for(fd(socket), POLLIN, timeout_ms)) return kWouldBlock;
    timeout_ms = 0;  // ready now: the next recv answers at once
  }
}

bool receive_exact(SocketHandle socket, char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::recv(fd(socket), data, len, MSG_WAITALL);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

namespace {

bool send_with_flags(SocketHandle socket, std::string_view data, int timeout_ms, int flags) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::send(fd(socket), p, left, MSG_NOSIGNAL | MSG_DONTWAIT | flags);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A client that stops reading holds us only until the deadline.
      const int wait = remaining_ms(deadline);
      if (wait > 0 && wait_for(fd(socket), POLLOUT, wait)) continue;
    }
    return false;
  }
  return true;
}

}  // namespace

bool send_all(SocketHandle socket, std::string_view data, int timeout_ms) {
  return send_with_flags(socket, data, timeout_ms, 0);
}

bool send_last(SocketHandle socket, std::string_view data, int timeout_ms) {
  // The tail held back (MSG_MORE) leaves with the FIN the shutdown adds: one
  // packet less for both ends of every one-answer connection.
  const bool sent = send_with_flags(socket, data, timeout_ms, MSG_MORE);
  shutdown_sending(socket);
  return sent;
}

void shutdown_socket(SocketHandle socket) { ::shutdown(fd(socket), SHUT_RDWR); }

void shutdown_sending(SocketHandle socket) { ::shutdown(fd(socket), SHUT_WR); }

void close_socket(SocketHandle socket) {
  if (socket != kInvalidSocket) ::close(fd(socket));
}

bool wait_readable(std::vector<PollItem>& items, int timeout_ms) {
  std::vector<pollfd> fds(items.size());
  for (size_t i = 0; i < items.size(); ++i) fds[i] = pollfd{fd(items[i].socket), POLLIN, 0};
  int n;
  do {
    n = ::poll(fds.data(), fds.size(), timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  for (size_t i = 0; i < items.size(); ++i) items[i].ready = fds[i].revents != 0;
  return true;
}

Waker::Waker() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    read_end_ = ends[0];
    write_end_ = ends[1];
  }
}

Waker::~Waker() {
  close_socket(read_end_);
  close_socket(write_end_);
}

void Waker::wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up: nothing is lost.
  [[maybe_unused]] const ssize_t n = ::write(fd(write_end_), &byte, 1);
}

void Waker::drain() {
  char buffer[256];
  while (::read(fd(read_end_), buffer, sizeof buffer) > 0) {
  }
}

WakeEvent::WakeEvent() {
  const int e = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  if (e >= 0) handle_ = e;
}

WakeEvent::~WakeEvent() { close_socket(handle_); }

void WakeEvent::signal() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd(handle_), &one, sizeof one);
}

bool WakeEvent::take() {
  uint64_t value = 0;
  return ::read(fd(handle_), &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

ReadyWaiter::ReadyWaiter() {
  const int e = ::epoll_create1(EPOLL_CLOEXEC);
  if (e >= 0) handle_ = e;
}

ReadyWaiter::~ReadyWaiter() { close_socket(handle_); }

namespace {

bool watch(SocketHandle set, int operation, SocketHandle socket, uint32_t events, uint64_t key) {
  if (set == kInvalidSocket) return false;
  epoll_event event{};
  event.events = events;
  event.data.u64 = key;
  return ::epoll_ctl(fd(set), operation, fd(socket), &event) == 0;
}

}  // namespace

bool ReadyWaiter::add_shared(SocketHandle socket, uint64_t key) {
  // EPOLLEXCLUSIVE: one waiter per event, not every thread that watches it.
  return watch(handle_, EPOLL_CTL_ADD, socket, EPOLLIN | EPOLLET | EPOLLEXCLUSIVE, key);
}

bool ReadyWaiter::add_once(SocketHandle socket, uint64_t key) {
  return watch(handle_, EPOLL_CTL_ADD, socket, EPOLLIN | EPOLLRDHUP | EPOLLONESHOT, key);
}

bool ReadyWaiter::rearm(SocketHandle socket, uint64_t key) {
  return watch(handle_, EPOLL_CTL_MOD, socket, EPOLLIN | EPOLLRDHUP | EPOLLONESHOT, key);
}

void ReadyWaiter::remove(SocketHandle socket) {
  if (handle_ != kInvalidSocket) ::epoll_ctl(fd(handle_), EPOLL_CTL_DEL, fd(socket), nullptr);
}

int ReadyWaiter::wait(int timeout_ms, uint64_t* keys, int max) {
  constexpr int kMostEvents = 64;
  epoll_event events[kMostEvents];
  int n;
  do {
    n = ::epoll_wait(fd(handle_), events, std::min(max, kMostEvents), timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  for (int i = 0; i < n; ++i) keys[i] = events[i].data.u64;
  return n;
}

}  // namespace platform
