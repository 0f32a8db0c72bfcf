// Changes served a few at a time: one that finds every slot taken waits
// whole without a thread, and they go on in the order they came, while
// views are served at once.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "server/http_request.h"
#include "server/http_transport.h"
#include "server_test_support.h"
#include "eventually.h"

namespace ZezozuRiziv {
namespace {

using rozeve_test::body_of;
using rozeve_test::Client;

using rozeve_test::eventually;

// Two workers and one change slot. Targets under "/change" are changes;
// "/change/hold" keeps its slot (and a worker) until released.
class ChangeSlotsTest : public ::testing::Test {
 protected:
  explicit ChangeSlotsTest(size_t queue_capacity = kSocketQueueCapacity)
      : transport_(
            0, options(queue_capacity), counters_, [this](HttpExchange& exchange) { dispatch(exchange); },
            [](const HttpExchange& exchange) {
              return http::request_target(exchange.reader.request()).starts_with("/change");
            }) {}

  static ServerOptions options(size_t queue_capacity) {
    ServerOptions o;
    o.bind_address = "127.0.0.1";
    o.worker_count = 2;
    o.change_slots = 1;
    o.queue_capacity = queue_capacity;
    return o;
  }

  void dispatch(HttpExchange& exchange) {
    const std::string target = http::request_target(exchange.reader.request());
    const bool change = target.starts_with("/change");
    const int now = change ? ++changes_inside_ : changes_inside_.load();
    if (now > most_changes_inside_) most_changes_inside_ = now;
    {
      std::lock_guard lock(mutex_);
      dispatched_.push_back(target);
    }
    if (target == "/change/hold") {
      holding_ = true;
      eventually([this] { return released_.load(); });
    }
    transport_.send_json(exchange, "\"" + target + "\"");
    if (change) --changes_inside_;
  }
  std::vector<std::string> dispatched() {
    std::lock_guard lock(mutex_);
    return dispatched_;
  }

  ServerCounters counters_;
  std::atomic<bool> holding_{false};
  std::atomic<bool> released_{false};
  std::atomic<int> changes_inside_{0};
  std::atomic<int> most_changes_inside_{0};
  std::mutex mutex_;
  std::vector<std::string> dispatched_;  // guarded by mutex_
  HttpTransport transport_;
};

TEST_F(ChangeSlotsTest, WaitingChangesHoldNoThreadAndGoOnInTheOrderTheyCame) {
  ASSERT_TRUE(transport_.start());
  Client holder(transport_.bound_port());
  holder.send("GET /change/hold HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(eventually([&] { return holding_.load(); }));

  // Three changes wait for the slot; they take neither it nor the one free
  // worker, which serves a view meanwhile.
  std::vector<std::unique_ptr<Client>> waiting;
  for (int i = 1; i <= 3; ++i) {
    waiting.push_back(std::make_unique<Client>(transport_.bound_port()));
    waiting.back()->send("GET /change/" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(eventually([&] { return transport_.waiting_changes() == static_cast<size_t>(i); }));
  }
  Client view(transport_.bound_port());
  view.send("GET /view HTTP/1.1\r\n\r\n");
  EXPECT_EQ(body_of(view.read_all()), "\"/view\"");
  EXPECT_EQ(dispatched(), (std::vector<std::string>{"/change/hold", "/view"}));

  released_ = true;
  EXPECT_EQ(body_of(holder.read_all()), "\"/change/hold\"");
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(body_of(waiting[i - 1]->read_all()), "\"/change/" + std::to_string(i) + "\"");
  }
  EXPECT_EQ(dispatched(), (std::vector<std::string>{"/change/hold", "/view", "/change/1", "/change/2", "/change/3"}));
  EXPECT_EQ(most_changes_inside_.load(), 1);
  EXPECT_EQ(transport_.waiting_changes(), 0u);

  // The slot is free again: a change goes straight in.
  Client next(transport_.bound_port());
  next.send("GET /change/next HTTP/1.1\r\n\r\n");
  EXPECT_EQ(body_of(next.read_all()), "\"/change/next\"");
  transport_.stop();
}

class SmallWaitingRoom : public ChangeSlotsTest {
 protected:
  SmallWaitingRoom() : ChangeSlotsTest(2) {}
};

TEST_F(SmallWaitingRoom, AChangeBeyondItIsClosedUnansweredAndCounted) {
  ASSERT_TRUE(transport_.start());
  Client holder(transport_.bound_port());
  holder.send("GET /change/hold HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(eventually([&] { return holding_.load(); }));
  Client first(transport_.bound_port());
  first.send("GET /change/1 HTTP/1.1\r\n\r\n");
  Client second(transport_.bound_port());
  second.send("GET /change/2 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(eventually([&] { return transport_.waiting_changes() == 2; }));

  const uint64_t dropped = counters_.blocked_ddos_requests.load();
  Client third(transport_.bound_port());
  third.send("GET /change/3 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(third.read_all(), "");
  EXPECT_EQ(counters_.blocked_ddos_requests.load(), dropped + 1);

  released_ = true;
  EXPECT_EQ(body_of(holder.read_all()), "\"/change/hold\"");
  EXPECT_EQ(body_of(first.read_all()), "\"/change/1\"");
  EXPECT_EQ(body_of(second.read_all()), "\"/change/2\"");
  transport_.stop();
}

}  // namespace
}  // namespace ZezozuRiziv
