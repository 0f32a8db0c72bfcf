// The transport: start and stop, the acceptor, the worker pool, the slow
// lane, the request reading and the answer writer.
#include "server/http_transport.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <system_error>
#include <utility>

namespace ZezozuRiziv {

using platform::SocketHandle;

namespace {

// The fixed answer to a CORS preflight: exactly these 257 bytes.
constexpr std::string_view kPreflightAnswer =
    "HTTP/1.1 200 OK\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type, Authorization, User-Agent, "
    "X-Requested-With, X-Session-Token\r\n"
    "Access-Control-Max-Age: 86400\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

}  // namespace

thread_local HttpTransport::Worker* HttpTransport::current_worker_ = nullptr;

HttpExchange::HttpExchange(SocketHandle socket, Clock::time_point began)
    : client(socket), start(began), first_byte(began), last_byte(began) {}

HttpExchange::~HttpExchange() { platform::close_socket(client); }

HttpTransport::HttpTransport(uint16_t port, ServerOptions options, ServerCounters& counters,
                             Dispatcher dispatcher, ChangeTest is_change)
    : port_(port),
      options_(std::move(options)),
      worker_count_(worker_count_for(options_)),
      change_slots_(std::max<size_t>(
          options_.change_slots.value_or(default_change_slots(std::thread::hardware_concurrency())), 1)),
      counters_(counters),
      dispatcher_(std::move(dispatcher)),
      is_change_(std::move(is_change)),
      given_listener_(options_.listener) {
  platform::startup_sockets();
}

HttpTransport::~HttpTransport() {
  stop();
  // A given socket that start() never took.
  if (given_listener_ != platform::kInvalidSocket) platform::close_socket(given_listener_);
}

size_t HttpTransport::default_worker_count(unsigned hardware_threads) {
  if (hardware_threads == 0) return kMinWorkers;
  return std::max<size_t>(2 * static_cast<size_t>(hardware_threads), kMinWorkers);
}

size_t HttpTransport::default_change_slots(unsigned hardware_threads) {
  return std::max<size_t>(static_cast<size_t>(hardware_threads) / 2, kMinChangeSlots);
}

size_t HttpTransport::worker_count_for(const ServerOptions& options) {
  return options.worker_count.value_or(default_worker_count(std::thread::hardware_concurrency()));
}

bool HttpTransport::start() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (running_) return true;
  platform::raise_descriptor_limit();

  std::string error;
  listener_ = given_listener_ != platform::kInvalidSocket
                  ? std::exchange(given_listener_, platform::kInvalidSocket)
                  : platform::listen_tcp(options_.bind_address, port_, error);
  if (listener_ == platform::kInvalidSocket) {
    std::cout << "[RPC] Impossibile aprire la porta HTTP " << port_ << ": " << error << std::endl;
    return false;
  }
  // Inherited by every accepted socket: no option to set per connection.
  platform::set_no_delay(listener_);
  // A connection comes to a worker with its request: no empty first read, no
  // second wake-up for its bytes.
  platform::set_defer_accept(listener_, kDeferAcceptSeconds);
  // Workers try to accept before they wait, and wait only when nothing is there.
  platform::set_nonblocking(listener_);
  bound_port_ = platform::local_port(listener_);

  // The workers' waiters first, the acceptor's last: the kernel wakes the
  // first thread waiting in this order, so the acceptor only when no worker is.
  const size_t most_threads = worker_count_ * (1 + kStandbyPerWorker);
  bool watching = true;
  try {
    waiters_.reserve(most_threads);
    for (size_t i = 0; i < most_threads && watching; ++i) {
      auto waiter = std::make_unique<platform::ReadyWaiter>();
      watching = waiter->add_shared(listener_, kListenerKey) &&
                 waiter->add_shared(queue_event_.handle(), kQueueKey);
      waiters_.push_back(std::move(waiter));
    }
    acceptor_waiter_ = std::make_unique<platform::ReadyWaiter>();
    watching = watching && acceptor_waiter_->add_shared(listener_, kListenerKey) &&
               acceptor_waiter_->add_shared(acceptor_waker_.handle(), kQueueKey);
  } catch (const std::bad_alloc&) {
    watching = false;
  }
  if (!watching) {
    std::cout << "[RPC] Impossibile attendere le connessioni sulla porta HTTP " << port_ << std::endl;
    waiters_.clear();
    acceptor_waiter_.reset();
    platform::close_socket(listener_);
    listener_ = platform::kInvalidSocket;
    bound_port_ = 0;
    return false;
  }

  running_ = true;
  available_ = worker_count_;
  try {
    slow_lane_ = std::thread(&HttpTransport::slow_lane_loop, this);
    {
      std::lock_guard lock(standby_mutex_);
      threads_.reserve(most_threads);
      for (size_t i = 0; i < worker_count_; ++i) {
        threads_.emplace_back(&HttpTransport::worker_loop, this, i);
      }
    }
    acceptor_ = std::thread(&HttpTransport::server_loop, this);
  } catch (const std::system_error& e) {
    std::cout << "[RPC] Impossibile avviare i thread del server: " << e.what() << std::endl;
    lifecycle_mutex_.unlock();
    stop();
    lifecycle_mutex_.lock();
    return false;
  }
  return true;
}

void HttpTransport::stop() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (listener_ == platform::kInvalidSocket) return;
  running_ = false;

  // Wakes every thread waiting on the listener; the descriptor is closed once
  // they are gone.
  platform::shutdown_socket(listener_);
  acceptor_waker_.wake();
  if (acceptor_.joinable()) acceptor_.join();
  slow_lane_waker_.wake();
  if (slow_lane_.joinable()) slow_lane_.join();
  std::vector<std::thread> threads;
  {
    // No stand-by thread starts once running_ is clear (checked under this
    // mutex), and a parked one wakes to leave.
    std::lock_guard lock(standby_mutex_);
    threads.swap(threads_);
    standby_cv_.notify_all();
  }
  queue_event_.signal();  // each thread that leaves wakes the next
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }

  platform::close_socket(listener_);
  listener_ = platform::kInvalidSocket;
  // Whatever no thread took is closed unanswered.
  std::deque<Work> left;
  {
    std::lock_guard lock(queue_mutex_);
    left.swap(queue_);
    queued_ = 0;
  }
  for (Work& work : left) {
    if (!work.exchange) platform::close_socket(work.socket);
  }
  {
    std::lock_guard lock(change_mutex_);
    waiting_changes_.clear();
    changes_served_ = 0;
  }
  {
    std::lock_guard lock(standby_mutex_);
    parked_ = 0;
    callups_ = 0;
  }
  available_ = 0;
  idle_ = 0;
  while (queue_event_.take()) {
  }
  acceptor_waker_.drain();
  waiters_.clear();
  acceptor_waiter_.reset();
  std::lock_guard lock(slow_lane_mutex_);
  slow_lane_inbox_.clear();
  slow_lane_size_ = 0;
}

void HttpTransport::server_loop() {
  // The kernel wakes this thread only for a connection that found no worker
  // waiting. Busy workers take it themselves as they finish; only when none
  // of them has taken new work for a while are the waiting connections
  // moved into the bounded queue, where a flood costs a closed socket.
  platform::ReadyWaiter& waiter = *acceptor_waiter_;
  uint64_t keys[2];
  while (running_) {
    if (waiter.wait(-1, keys, 2) < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    const uint64_t taken = taken_.load();
    std::vector<platform::PollItem> pause{platform::PollItem{acceptor_waker_.handle(), false}};
    platform::wait_readable(pause, kStallMs);
    if (!running_) return;
    if (taken_.load() != taken || idle_.load() > 0) continue;  // the workers are moving
    while (running_) {
      SocketHandle client = platform::kInvalidSocket;
      const platform::AcceptResult result = platform::accept_tcp(listener_, client);
      if (result == platform::AcceptResult::kNone || result == platform::AcceptResult::kClosed) break;
      if (result == platform::AcceptResult::kRetry) {
        // Out of descriptors or an aborted handshake: pause briefly rather
        // than spin, then go on accepting.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      try {
        enqueue(Work{client, nullptr});
      } catch (...) {
        // No memory for one more queued socket: drop it, keep accepting.
        platform::close_socket(client);
        ++counters_.blocked_ddos_requests;
      }
    }
  }
}

bool HttpTransport::enqueue(Work work) {
  bool queued = false;
  {
    std::lock_guard lock(queue_mutex_);
    if (queue_.size() < options_.queue_capacity) {
      queue_.push_back(std::move(work));
      queued_.fetch_add(1);
      queued = true;
    }
  }
  if (queued) {
    // A busy worker looks at the queue before it waits (after counting
    // itself idle), so only waiting ones need a signal.
    if (idle_.load() > 0) queue_event_.signal();
    return true;
  }
  ++counters_.blocked_ddos_requests;
  if (!work.exchange) platform::close_socket(work.socket);
  return false;  // a finished exchange closes its socket as it goes
}

bool HttpTransport::take_queued(Work& work) {
  if (queued_.load() == 0) return false;
  std::lock_guard lock(queue_mutex_);
  if (queue_.empty()) return false;
  work = std::move(queue_.front());
  queue_.pop_front();
  queued_.fetch_sub(1);
  return true;
}

void HttpTransport::worker_loop(size_t index) {
  platform::set_blocking_observer(this);
  Worker worker{*waiters_[index], {}};
  current_worker_ = &worker;
  constexpr int kMostReady = 64;
  uint64_t keys[kMostReady];
  while (running_ && (!worker.reading.empty() || park_if_surplus())) {
    if (!worker.reading.empty()) {
      // Requests whose bytes may have come while this one was served.
      const int ready = worker.waiter.wait(0, keys, kMostReady);
      advance_reading(worker, keys, std::max(ready, 0));
    }
    // What waited in the queue is older than what the listener holds.
    Work work;
    bool got = take_queued(work);
    if (!got) {
      SocketHandle client = platform::kInvalidSocket;
      switch (platform::accept_tcp(listener_, client)) {
        case platform::AcceptResult::kAccepted:
          work.socket = client;
          got = true;
          break;
        case platform::AcceptResult::kRetry:
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        case platform::AcceptResult::kNone:
        case platform::AcceptResult::kClosed:
          break;
      }
    }
    if (got) {
      taken_.fetch_add(1, std::memory_order_relaxed);
      // Every thread is busy now while one waits for the disk: call a
      // stand-by, so that the pool keeps worker_count_ requests moving.
      if (available_.load(std::memory_order_relaxed) < worker_count_ && idle_.load() == 0) {
        call_standby();
      }
      serve(std::move(work), worker);
      continue;
    }
    // Counted idle before the queue is looked at again: an item queued after
    // this look finds the count and signals.
    idle_.fetch_add(1);
    int ready = 0;
    if (queued_.load() == 0 && running_) ready = worker.waiter.wait(reading_timeout(worker), keys, kMostReady);
    idle_.fetch_sub(1);
    if (ready < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ready = 0;
    }
    advance_reading(worker, keys, ready);
  }
  // While stopping, a request whose bytes are all there is still answered,
  // and what is queued is served by every thread there is.
  const auto answer_those_read = [&] {
    std::vector<std::unique_ptr<HttpExchange>> reading;
    reading.swap(worker.reading);  // a change's wait may empty the list meanwhile
    for (auto& exchange : reading) {
      if (read_available(*exchange, Clock::now()) == ReadStep::kReady) serve_read(std::move(exchange));
    }
  };
  answer_those_read();
  Work work;
  while (take_queued(work)) serve(std::move(work), worker);
  answer_those_read();
  current_worker_ = nullptr;
  queue_event_.signal();  // the next thread still waiting leaves too
}

void HttpTransport::serve(Work work, Worker& worker) {
  if (work.exchange) {
    serve_read(std::move(work.exchange));  // read whole already
    return;
  }
  ++counters_.active_connections;
  // Nothing a handler throws may end the worker or the process: the
  // exchange's socket is closed as it unwinds, and the worker goes on.
  try {
    handle_http_client(work.socket, worker);
  } catch (...) {
  }
  --counters_.active_connections;
}

void HttpTransport::serve_read(std::unique_ptr<HttpExchange> exchange) {
  ++counters_.active_connections;
  try {
    dispatch(std::move(exchange));
  } catch (...) {
  }
  --counters_.active_connections;
}

void HttpTransport::advance_reading(Worker& worker, const uint64_t* keys, int count) {
  auto& reading = worker.reading;
  for (int i = 0; i < count; ++i) {
    if (keys[i] == kQueueKey) {
      queue_event_.take();
      continue;
    }
    if (keys[i] == kListenerKey) continue;  // accepted next time round
    const auto found = std::find_if(reading.begin(), reading.end(), [&](const auto& exchange) {
      return static_cast<uint64_t>(exchange->client) == keys[i];
    });
    if (found == reading.end()) continue;
    std::unique_ptr<HttpExchange> exchange = std::move(*found);
    reading.erase(found);
    switch (read_available(*exchange, Clock::now())) {
      case ReadStep::kReady:
        serve_read(std::move(exchange));
        break;
      case ReadStep::kDone:
        break;  // answered (preflight) or dropped
      case ReadStep::kWaiting:
        if (worker.waiter.rearm(exchange->client, keys[i])) {
          reading.push_back(std::move(exchange));
        } else {
          park(std::move(exchange));
        }
        break;
    }
  }
  // Those past their wait leave the worker for the slow lane.
  const auto now = Clock::now();
  const auto wait = std::chrono::milliseconds(options_.worker_read_wait_ms);
  for (size_t i = 0; i < reading.size();) {
    if (now - reading[i]->start < wait) {
      ++i;
      continue;
    }
    std::unique_ptr<HttpExchange> exchange = std::move(reading[i]);
    reading.erase(reading.begin() + static_cast<std::ptrdiff_t>(i));
    worker.waiter.remove(exchange->client);
    park(std::move(exchange));
  }
}

int HttpTransport::reading_timeout(const Worker& worker) const {
  if (worker.reading.empty()) return -1;
  auto due = worker.reading.front()->start;
  for (const auto& exchange : worker.reading) due = std::min(due, exchange->start);
  due += std::chrono::milliseconds(options_.worker_read_wait_ms);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left + 1, 0, options_.worker_read_wait_ms + 1));
}

void HttpTransport::begin_blocking() {
  // The requests this worker was reading would wait for the disk with it:
  // the slow lane takes them, and hands them to any worker once whole.
  if (current_worker_ != nullptr && !current_worker_->reading.empty()) {
    std::vector<std::unique_ptr<HttpExchange>> reading;
    reading.swap(current_worker_->reading);
    for (auto& exchange : reading) {
      current_worker_->waiter.remove(exchange->client);
      park(std::move(exchange));
    }
  }
  if (available_.fetch_sub(1) - 1 < worker_count_ && idle_.load() == 0) call_standby();
}

void HttpTransport::end_blocking() {
  // Back to work at once, even above the pool's size for a moment: a thread
  // too many parks when it next looks for work.
  available_.fetch_add(1);
}

void HttpTransport::call_standby() {
  std::lock_guard lock(standby_mutex_);
  if (!running_ || available_.load() >= worker_count_) return;
  if (parked_ > callups_) {
    ++callups_;
    available_.fetch_add(1);
    standby_cv_.notify_one();
    return;
  }
  if (threads_.size() >= waiters_.size()) return;  // every stand-by is busy
  available_.fetch_add(1);
  try {
    threads_.emplace_back(&HttpTransport::worker_loop, this, threads_.size());
  } catch (...) {
    available_.fetch_sub(1);  // no thread to be had: the pool goes on as it is
  }
}

bool HttpTransport::park_if_surplus() {
  size_t available = available_.load();
  while (available > worker_count_) {
    if (!available_.compare_exchange_weak(available, available - 1)) continue;
    std::unique_lock lock(standby_mutex_);
    ++parked_;
    standby_cv_.wait(lock, [this] { return callups_ > 0 || !running_; });
    --parked_;
    if (callups_ == 0) return false;  // stopping
    --callups_;  // called up: counted available by the caller
    return running_;
  }
  return true;
}

void HttpTransport::handle_http_client(SocketHandle client, Worker& worker) {
  auto exchange = std::make_unique<HttpExchange>(client, Clock::now());
  ++counters_.total_requests;
  // What has come already; a request whose bytes are still on their way is
  // looked at again between the next ones rather than waited for.
  switch (read_available(*exchange, exchange->start)) {
    case ReadStep::kReady:
      dispatch(std::move(exchange));
      return;
    case ReadStep::kDone:
      return;
    case ReadStep::kWaiting:
      break;
  }
  if (options_.worker_read_wait_ms > 0 &&
      worker.waiter.add_once(client, static_cast<uint64_t>(client))) {
    try {
      worker.reading.push_back(std::move(exchange));
      return;
    } catch (...) {
      worker.waiter.remove(client);
    }
  }
  park(std::move(exchange));
}

void HttpTransport::dispatch(std::unique_ptr<HttpExchange> exchange) {
  if (!is_change_ || !is_change_(*exchange)) {
    dispatcher_(*exchange);
    return;
  }
  {
    std::lock_guard lock(change_mutex_);
    if (changes_served_ >= change_slots_) {
      if (waiting_changes_.size() >= options_.queue_capacity) {
        ++counters_.blocked_ddos_requests;
        return;  // closed unanswered, as when the socket queue is full
      }
      waiting_changes_.push_back(std::move(exchange));
      return;
    }
    ++changes_served_;
  }
  // This thread holds a change slot until no change waits for it. A change
  // keeps it while it waits for the disk: the answer it sends after its sync
  // takes as much CPU as its work before.
  while (exchange) {
    try {
      dispatcher_(*exchange);
    } catch (...) {
      // As in serve: the socket closes, and the slot goes on.
    }
    exchange.reset();  // answered: the client is let go before the next one
    exchange = end_change();
  }
}

std::unique_ptr<HttpExchange> HttpTransport::end_change() noexcept {
  std::lock_guard lock(change_mutex_);
  if (waiting_changes_.empty()) {
    --changes_served_;
    return nullptr;
  }
  std::unique_ptr<HttpExchange> next = std::move(waiting_changes_.front());
  waiting_changes_.pop_front();
  return next;
}

HttpTransport::ReadStep HttpTransport::read_available(HttpExchange& exchange,
                                                      Clock::time_point wait_until) {
  char buffer[http::kReceiveChunkBytes];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wait_until - Clock::now());
    const long n = platform::receive(exchange.client, buffer, sizeof buffer,
                                     static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (n == platform::kWouldBlock) return ReadStep::kWaiting;
    if (n <= 0) {
      // The peer closed or failed: what arrived may still be a request.
      return exchange.reader.can_dispatch_incomplete() ? ReadStep::kReady : ReadStep::kDone;
    }
    const auto now = Clock::now();
    if (exchange.reader.empty()) exchange.first_byte = now;
    exchange.last_byte = now;
    switch (exchange.reader.add(std::string_view(buffer, static_cast<size_t>(n)))) {
      case http::RequestReader::Progress::kNeedMore:
        continue;
      case http::RequestReader::Progress::kComplete:
        return ReadStep::kReady;
      case http::RequestReader::Progress::kPreflight:
        platform::send_last(exchange.client, kPreflightAnswer, options_.idle_timeout_ms);
        exchange.answered = true;
        return ReadStep::kDone;
      case http::RequestReader::Progress::kTooLarge:
        ++counters_.blocked_ddos_requests;
        return ReadStep::kDone;
    }
  }
}

bool HttpTransport::park(std::unique_ptr<HttpExchange> exchange) {
  if (!running_ || slow_lane_size_.load() >= options_.slow_lane_capacity) {
    ++counters_.blocked_ddos_requests;
    return false;  // the exchange closes its socket as it goes
  }
  {
    std::lock_guard lock(slow_lane_mutex_);
    slow_lane_inbox_.push_back(std::move(exchange));
    ++slow_lane_size_;
  }
  slow_lane_waker_.wake();
  return true;
}

bool HttpTransport::advance_parked(std::unique_ptr<HttpExchange>& exchange, bool readable,
                                   Clock::time_point now) {
  using std::chrono::milliseconds;
  if (readable) {
    switch (read_available(*exchange, now)) {
      case ReadStep::kReady:
        enqueue(Work{exchange->client, std::move(exchange)});
        return false;
      case ReadStep::kDone:
        return false;
      case ReadStep::kWaiting:
        break;
    }
  }
  if (!exchange->reader.empty() &&
      now - exchange->first_byte >= milliseconds(options_.request_deadline_ms)) {
    return false;  // not whole by its deadline: closed unanswered
  }
  if (now - exchange->last_byte >= milliseconds(options_.idle_timeout_ms)) {
    // A silent peer ends the reading, as a receive time-out would.
    if (exchange->reader.can_dispatch_incomplete()) {
      enqueue(Work{exchange->client, std::move(exchange)});
    }
    return false;
  }
  return true;
}

void HttpTransport::slow_lane_loop() {
  std::vector<std::unique_ptr<HttpExchange>> parked;
  std::vector<platform::PollItem> items;
  while (running_) {
    try {
      slow_lane_round(parked, items);
    } catch (...) {
      // Out of memory while parking or queueing: the requests of this round
      // are closed unanswered; the lane goes on with new ones.
      parked.clear();
      std::lock_guard lock(slow_lane_mutex_);
      slow_lane_size_ = slow_lane_inbox_.size();
    }
  }
}

void HttpTransport::slow_lane_round(std::vector<std::unique_ptr<HttpExchange>>& parked,
                                    std::vector<platform::PollItem>& items) {
  using std::chrono::milliseconds;
  {
    std::lock_guard lock(slow_lane_mutex_);
    for (auto& exchange : slow_lane_inbox_) {
      if (exchange) parked.push_back(std::move(exchange));
    }
    slow_lane_inbox_.clear();
  }

  // Sleep until a byte, a wake-up or the nearest time limit.
  const auto now = Clock::now();
  auto wake_at = now + milliseconds(1000);
  for (const auto& exchange : parked) {
    wake_at = std::min(wake_at, exchange->last_byte + milliseconds(options_.idle_timeout_ms));
    if (!exchange->reader.empty()) {
      wake_at = std::min(wake_at, exchange->first_byte + milliseconds(options_.request_deadline_ms));
    }
  }
  const auto wait = std::chrono::duration_cast<milliseconds>(wake_at - now).count();
  items.assign(1, platform::PollItem{slow_lane_waker_.handle(), false});
  for (const auto& exchange : parked) items.push_back(platform::PollItem{exchange->client, false});
  if (!platform::wait_readable(items, static_cast<int>(std::max<int64_t>(wait, 0)))) {
    std::this_thread::sleep_for(milliseconds(10));
    return;
  }
  if (items[0].ready) slow_lane_waker_.drain();

  const auto after = Clock::now();
  size_t kept = 0;
  for (size_t i = 0; i < parked.size(); ++i) {
    if (advance_parked(parked[i], items[i + 1].ready, after)) {
      parked[kept++] = std::move(parked[i]);
    } else {
      --slow_lane_size_;
    }
  }
  parked.resize(kept);
}

void HttpTransport::send_http_response(HttpExchange& exchange, int status,
                                       std::string_view status_text,
                                       std::string_view content_type, std::string_view body,
                                       uint64_t latency_us) {
  std::string answer;
  answer.reserve(512 + body.size());
  answer += "HTTP/1.1 ";
  answer += std::to_string(status);
  answer += ' ';
  answer += status_text;
  answer += "\r\nContent-Type: ";
  answer += content_type;
  answer +=
      "\r\nAccess-Control-Allow-Origin: *"
      "\r\nAccess-Control-Allow-Methods: POST, GET, OPTIONS"
      "\r\nAccess-Control-Allow-Headers: Content-Type, Authorization, User-Agent, "
      "X-Requested-With, X-Session-Token"
      "\r\nX-Content-Type-Options: nosniff"
      "\r\nX-Frame-Options: SAMEORIGIN"
      "\r\nX-Engine: ZezozuRiziv-Cpp17-Ultra"
      "\r\nX-Response-Time-Us: ";
  answer += std::to_string(latency_us);
  answer += "\r\nConnection: close\r\nContent-Length: ";
  answer += std::to_string(body.size());
  answer += "\r\n\r\n";
  answer += body;
  platform::send_last(exchange.client, answer, options_.idle_timeout_ms);
  exchange.answered = true;
}

uint64_t HttpTransport::latency_since(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count() / 1000);
}

void HttpTransport::send_json(HttpExchange& exchange, std::string_view json) {
  const uint64_t latency = latency_since(exchange.start);
  counters_.total_latency_us += latency;
  ++counters_.ram_cache_hits;
  send_http_response(exchange, 200, "OK", "application/json; charset=utf-8", json, latency);
}

}  // namespace ZezozuRiziv
