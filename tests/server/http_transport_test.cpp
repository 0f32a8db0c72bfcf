// The worker pool and threads that wait for the disk.
#include <atomic>
#include <chrono>
#include <string>

#include "platform/blocking_scope.h"
#include "server/http_request.h"
#include "server/http_transport.h"
#include "server_test_support.h"
#include "eventually.h"

namespace ZezozuRiziv {
namespace {

using rozeve_test::body_of;
using rozeve_test::Client;

using rozeve_test::eventually;

// A pool of one worker: "/disk" waits, as a change waits for its sync, until
// "/view" has been answered; every other request is answered at once.
class HttpTransportTest : public ::testing::Test {
 protected:
  HttpTransportTest()
      : transport_(0, options(), counters_, [this](HttpExchange& exchange) { dispatch(exchange); }) {}

  static ServerOptions options() {
    ServerOptions o;
    o.bind_address = "127.0.0.1";
    o.worker_count = 1;
    return o;
  }

  void dispatch(HttpExchange& exchange) {
    const std::string target = http::request_target(exchange.reader.request());
    if (target == "/disk") {
      const platform::BlockingScope waiting;
      disk_waiting_ = true;
      if (!eventually([this] { return view_answered_.load(); })) return;
    }
    transport_.send_json(exchange, "\"" + target + "\"");
    if (target == "/view") view_answered_ = true;
  }

  ServerCounters counters_;
  std::atomic<bool> disk_waiting_{false};
  std::atomic<bool> view_answered_{false};
  HttpTransport transport_;
};

TEST_F(HttpTransportTest, AWorkerWaitingForTheDiskLeavesItsPlaceToAnother) {
  ASSERT_TRUE(transport_.start());
  Client writer(transport_.bound_port());
  writer.send("GET /disk HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(eventually([&] { return disk_waiting_.load(); }));

  Client reader(transport_.bound_port());
  reader.send("GET /view HTTP/1.1\r\n\r\n");
  EXPECT_EQ(body_of(reader.read_all()), "\"/view\"");
  EXPECT_EQ(body_of(writer.read_all()), "\"/disk\"");

  // Back to one request at a time once nobody waits.
  Client next(transport_.bound_port());
  next.send("GET /next HTTP/1.1\r\n\r\n");
  EXPECT_EQ(body_of(next.read_all()), "\"/next\"");
  transport_.stop();
}

}  // namespace
}  // namespace ZezozuRiziv
