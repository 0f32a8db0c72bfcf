// The HTTP port's transport: a fixed pool of worker threads that accept
// connections themselves, a bounded queue of work handed to them, the request
// reader, the answer writer and the request counters. It knows nothing of
// routes: a request read whole goes to the dispatcher it was given.
//
// A worker accepts a connection, reads it and answers it on its own thread:
// no hand-off between accept and answer. An idle worker waits on the
// listener and on the queue's wake-up at once, and each new connection wakes
// one of them. The acceptor thread steps in only when the workers stall (all
// busy, none taking new work for a moment): it then moves the waiting
// connections into the bounded queue, closing those beyond it.
//
// A worker that waits for the disk (a change's sync, marked by a
// platform::BlockingScope) does not count against the pool: a stand-by
// thread, started the first time one is needed, serves meanwhile, so that
// writers waiting for their sync cannot keep reads from being served. Once
// the waiter is back, one thread too many parks as a stand-by again.
//
// A request that does not arrive at once does not hold a worker: it waits in
// the slow lane (one polling thread) until it is complete or its deadline
// passes, so slow or silent clients cannot starve the others.
//
// Changes (the requests the dispatcher's test calls changes: those that
// write) are served a few at a time. One that finds every change slot taken
// waits whole, holding no thread, and takes the slot of the change before it
// as that one ends, in the order they came: the thread that ends a change
// serves the next waiting one itself. A change spends most of its time on
// the CPU the views need too (its connection, its answer, its sync's
// wake-ups); with its slots full, a stream of writers cannot take more than
// its share, and the views keep most of their pace.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/blocking_scope.h"
#include "platform/socket.h"
#include "server/http_request.h"
#include "server/static_pages.h"

namespace ZezozuRiziv {

// Accepted sockets waiting for a worker beyond this many are closed unanswered.
inline constexpr size_t kSocketQueueCapacity = 4096;
// Requests parked in the slow lane beyond this many are closed unanswered.
inline constexpr size_t kSlowLaneCapacity = 4096;
// The worker pool: twice the hardware threads, never fewer than this.
inline constexpr size_t kMinWorkers = 16;
// Stand-by threads per worker at most, serving while workers wait for the
// disk; started only when needed.
inline constexpr size_t kStandbyPerWorker = 1;
// A connection that sends nothing is handed to the workers after about this
// long, and the idle time-out runs from there.
inline constexpr int kDeferAcceptSeconds = 1;
// How long every worker may stay busy without taking new work before the
// acceptor moves waiting connections into the queue.
inline constexpr int kStallMs = 10;
// A silent socket (no byte for this long) ends the reading, and an answer
// that cannot be sent within it is abandoned.
inline constexpr int kSocketTimeoutMs = 5000;
// A request must be whole within this long after its first byte.
inline constexpr int kRequestDeadlineMs = 10000;
// How long a worker keeps a request whose bytes have not all come (serving
// others meanwhile) before it parks it in the slow lane.
inline constexpr int kWorkerReadWaitMs = 20;
// Changes served at once: half the hardware threads, never fewer than this.
inline constexpr size_t kMinChangeSlots = 2;

// Settings the node leaves at their defaults; tests shrink the limits.
struct ServerOptions {
  std::string bind_address = "0.0.0.0";
  std::string dapp_dir = kDappDir;
  std::optional<size_t> worker_count;  // default: default_worker_count()
  std::optional<size_t> change_slots;  // default: default_change_slots()
  size_t queue_capacity = kSocketQueueCapacity;
  size_t slow_lane_capacity = kSlowLaneCapacity;
  int idle_timeout_ms = kSocketTimeoutMs;
  int request_deadline_ms = kRequestDeadlineMs;
  int worker_read_wait_ms = kWorkerReadWaitMs;
  // A socket already listening (platform::listen_tcp) that start() serves
  // instead of opening the port itself: the node opens its ports before it
  // writes anything. The transport owns it (and closes it, started or not).
  platform::SocketHandle listener = platform::kInvalidSocket;
};

// Only ever incremented (active_connections also decremented), never reset;
// read without a lock by the metrics route.
struct ServerCounters {
  std::atomic<uint64_t> total_requests{0};   // requests a worker began
  std::atomic<uint64_t> rpc_calls{0};        // requests that reached the JSON-RPC
  std::atomic<uint64_t> ram_cache_hits{0};   // JSON answers and cached pages sent
  std::atomic<uint64_t> total_latency_us{0};  // of JSON, page and JSON-RPC answers
  std::atomic<uint64_t> active_connections{0};  // requests a worker serves now
  std::atomic<uint64_t> blocked_ddos_requests{0};  // closed unanswered: full queue, too large
};

// One request being read or answered. Owns the socket: it is closed when
// the exchange ends, answered or not.
struct HttpExchange {
  using Clock = std::chrono::steady_clock;

  platform::SocketHandle client = platform::kInvalidSocket;
  Clock::time_point start;  // when a worker began it: answers' latency
  http::RequestReader reader;
  Clock::time_point first_byte;  // valid once the reader is not empty
  Clock::time_point last_byte;   // or the start, before any byte
  bool answered = false;

  HttpExchange(platform::SocketHandle socket, Clock::time_point began);
  ~HttpExchange();
  HttpExchange(const HttpExchange&) = delete;
  HttpExchange& operator=(const HttpExchange&) = delete;
};

class HttpTransport : private platform::BlockingObserver {
 public:
  using Clock = HttpExchange::Clock;
  // Runs on a worker thread for every request read whole (never for a
  // preflight or a dropped one). It answers through send_http_response or
  // send_json, or not at all: the socket is closed when it returns.
  using Dispatcher = std::function<void(HttpExchange&)>;
  // Whether a request read whole is a change; called on a worker thread
  // before the dispatcher. Without one, nothing is.
  using ChangeTest = std::function<bool(const HttpExchange&)>;

  // `counters` must outlive the transport.
  HttpTransport(uint16_t port, ServerOptions options, ServerCounters& counters,
                Dispatcher dispatcher, ChangeTest is_change = {});
  // Stops the transport if it still runs.
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // Listens, then starts the slow lane, the workers and the acceptor. False,
  // with one console line, when the port cannot be opened or a thread cannot
  // start. True at once when already running.
  [[nodiscard]] bool start();
  // Stops accepting, wakes every thread and waits for all of them; requests
  // still queued are served if their bytes are already there. Harmless twice.
  void stop();
  bool running() const { return running_.load(); }
  // The port actually listened on (the one asked for, or the one the system
  // chose for port 0); 0 before start.
  uint16_t bound_port() const { return bound_port_.load(); }

  static size_t default_worker_count(unsigned hardware_threads);
  static size_t default_change_slots(unsigned hardware_threads);
  // What `options` asks for, or the default for this machine.
  static size_t worker_count_for(const ServerOptions& options);
  size_t worker_count() const { return worker_count_; }
  size_t change_slots() const { return change_slots_; }
  // Changes read whole and waiting for a slot now.
  size_t waiting_changes() {
    std::lock_guard lock(change_mutex_);
    return waiting_changes_.size();
  }
  const ServerOptions& options() const { return options_; }

  // The fixed header block and the body, sent whole; the socket is closed by
  // the exchange that owns it.
  void send_http_response(HttpExchange& exchange, int status, std::string_view status_text,
                          std::string_view content_type, std::string_view body,
                          uint64_t latency_us);
  // A JSON answer, timed from the request's start and counted.
  void send_json(HttpExchange& exchange, std::string_view json);
  // Whole microseconds since `start` on the monotonic clock.
  static uint64_t latency_since(Clock::time_point start);

 private:
  // A queued item: a socket accepted by the acceptor, or a request read
  // whole by the slow lane.
  struct Work {
    platform::SocketHandle socket = platform::kInvalidSocket;
    std::unique_ptr<HttpExchange> exchange;
  };
  enum class ReadStep {
    kReady,    // whole (or cut off by the peer, yet dispatchable): answer it
    kWaiting,  // no more bytes for now
    kDone,     // answered (preflight) or dropped
  };
  // Keys of a waiter's shared descriptors; a client socket's key is its handle.
  static constexpr uint64_t kListenerKey = ~uint64_t{0};
  static constexpr uint64_t kQueueKey = ~uint64_t{0} - 1;
  // What one worker thread holds: its waiter, and the connections it
  // accepted whose first bytes had not come yet. It serves others meanwhile
  // and looks at them between requests, for worker_read_wait_ms at most;
  // then they go to the slow lane.
  struct Worker {
    platform::ReadyWaiter& waiter;
    std::vector<std::unique_ptr<HttpExchange>> reading;
  };
  // The worker this thread runs, if any.
  static thread_local Worker* current_worker_;

  void server_loop();
  void worker_loop(size_t index);
  // Serves one item taken from the queue or accepted.
  void serve(Work work, Worker& worker);
  // Reads the worker's connections that `keys` name as ready, answers those
  // now whole, and sends those past their wait to the slow lane.
  void advance_reading(Worker& worker, const uint64_t* keys, int count);
  // How long the worker may wait before one of its connections is due.
  int reading_timeout(const Worker& worker) const;
  // A worker of this pool starts / stops waiting for the disk; the requests
  // it was reading go to the slow lane.
  void begin_blocking() override;
  void end_blocking() override;
  // Starts or wakes a stand-by thread when fewer than worker_count_ threads
  // can take work.
  void call_standby();
  // Parks the calling thread while more than worker_count_ can take work.
  // False when the transport stops meanwhile.
  bool park_if_surplus();
  void slow_lane_loop();
  // One wait on the parked requests and what follows from it.
  void slow_lane_round(std::vector<std::unique_ptr<HttpExchange>>& parked,
                       std::vector<platform::PollItem>& items);

  // Queues work for a worker; false (and the socket closed, counted) when full.
  bool enqueue(Work work);
  // The oldest queued item, if any.
  bool take_queued(Work& work);
  // Hands a request read whole to the dispatcher, or, when it is a change
  // and no change slot is free, leaves it waiting for one. A change's slot
  // passes to the change waiting longest, served on this thread next.
  void dispatch(std::unique_ptr<HttpExchange> exchange);
  // A change ended: the change waiting longest, which now holds its slot, or
  // null when none waits (the slot is free).
  std::unique_ptr<HttpExchange> end_change() noexcept;
  // Reads what has come, then answers the request, or keeps it with the
  // worker while its bytes come.
  void handle_http_client(platform::SocketHandle client, Worker& worker);
  // Answers a request read whole, counted as served.
  void serve_read(std::unique_ptr<HttpExchange> exchange);
  // Takes the bytes that arrive until `wait_until`.
  ReadStep read_available(HttpExchange& exchange, Clock::time_point wait_until);
  // One slow-lane round for a parked request: false when it left the lane
  // (queued for a worker, answered, or closed at its time limit).
  bool advance_parked(std::unique_ptr<HttpExchange>& exchange, bool readable,
                      Clock::time_point now);
  bool park(std::unique_ptr<HttpExchange> exchange);

  const uint16_t port_;
  const ServerOptions options_;
  const size_t worker_count_;
  const size_t change_slots_;
  ServerCounters& counters_;
  const Dispatcher dispatcher_;
  const ChangeTest is_change_;

  std::mutex change_mutex_;
  size_t changes_served_ = 0;  // slots taken; guarded by change_mutex_
  // Changes read whole, waiting for a slot, oldest first; at most
  // options_.queue_capacity. Guarded by change_mutex_.
  std::deque<std::unique_ptr<HttpExchange>> waiting_changes_;

  std::atomic<bool> running_{false};
  std::atomic<uint16_t> bound_port_{0};
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  // options_.listener until start() takes it.
  platform::SocketHandle given_listener_ = platform::kInvalidSocket;
  std::thread acceptor_;
  std::mutex lifecycle_mutex_;  // start and stop

  // One waiter per thread the pool may run (workers first, then stand-by
  // threads), then the acceptor's, filled in that order: a connection wakes
  // the first idle worker, and the acceptor only when none is waiting.
  std::vector<std::unique_ptr<platform::ReadyWaiter>> waiters_;
  std::unique_ptr<platform::ReadyWaiter> acceptor_waiter_;
  platform::WakeEvent queue_event_;  // a signal per item queued while workers idle
  platform::Waker acceptor_waker_;   // ends the acceptor's pauses at stop

  std::mutex queue_mutex_;
  std::deque<Work> queue_;  // guarded by queue_mutex_
  std::atomic<size_t> queued_{0};  // queue_.size(), read without the lock
  std::atomic<size_t> idle_{0};    // workers about to wait or waiting
  std::atomic<uint64_t> taken_{0};  // items workers have taken: their progress

  // Threads that may take work now: the pool's threads less those waiting
  // for the disk and those parked as stand-by.
  std::atomic<size_t> available_{0};
  std::mutex standby_mutex_;
  std::condition_variable standby_cv_;
  std::vector<std::thread> threads_;  // every pool thread; guarded by standby_mutex_
  size_t parked_ = 0;   // stand-by threads waiting; guarded by standby_mutex_
  size_t callups_ = 0;  // parked threads called and not yet up; guarded by standby_mutex_

  std::thread slow_lane_;
  platform::Waker slow_lane_waker_;
  std::mutex slow_lane_mutex_;
  std::vector<std::unique_ptr<HttpExchange>> slow_lane_inbox_;  // guarded by slow_lane_mutex_
  std::atomic<size_t> slow_lane_size_{0};
};

}  // namespace ZezozuRiziv
