// The last answer a connection carries arrives whole, then the end of the
// stream, however large it is.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace {

using namespace std::chrono_literals;
using platform::SocketHandle;

class SocketTest : public ::testing::Test {
 protected:
  SocketTest() {
    platform::startup_sockets();
    std::string error;
    listener_ = platform::listen_tcp("127.0.0.1", 0, error);
    EXPECT_NE(listener_, platform::kInvalidSocket) << error;
    platform::set_nonblocking(listener_);
    port_ = platform::local_port(listener_);
  }
  ~SocketTest() override { platform::close_socket(listener_); }

  // Accepts within `wait`, polling; kInvalidSocket when nothing came.
  SocketHandle accept_within(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    do {
      SocketHandle client = platform::kInvalidSocket;
      if (platform::accept_tcp(listener_, client) == platform::AcceptResult::kAccepted) return client;
      std::vector<platform::PollItem> items{platform::PollItem{listener_, false}};
      platform::wait_readable(items, 10);
    } while (std::chrono::steady_clock::now() < until);
    return platform::kInvalidSocket;
  }

  SocketHandle listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
};

// Everything the peer sends until it ends the stream; false on a time-out.
bool read_to_end(SocketHandle socket, std::string& read) {
  char buffer[65536];
  while (true) {
    const long n = platform::receive(socket, buffer, sizeof buffer, 5000);
    if (n == 0) return true;
    if (n < 0) return false;
    read.append(buffer, static_cast<size_t>(n));
  }
}

TEST_F(SocketTest, LastBytesArriveWholeThenTheStreamEnds) {
  for (const size_t size : {size_t{0}, size_t{1}, size_t{4096}, size_t{3} << 20}) {
    const SocketHandle client = platform::connect_tcp("127.0.0.1", port_, 2000);
    ASSERT_NE(client, platform::kInvalidSocket);
    const SocketHandle served = accept_within(5s);
    ASSERT_NE(served, platform::kInvalidSocket);
    std::string answer(size, 'x');
    for (size_t i = 0; i < size; i += 1000) answer[i] = static_cast<char>('a' + i % 26);
    std::string read;
    // The peer reads while the answer goes out: larger than the socket buffers.
    bool sent = false;
    std::thread sender([&] { sent = platform::send_last(served, answer, 5000); });
    const bool ended = read_to_end(client, read);
    sender.join();
    EXPECT_TRUE(sent) << size;
    EXPECT_TRUE(ended) << size;
    EXPECT_EQ(read, answer) << size;
    platform::close_socket(served);
    platform::close_socket(client);
  }
}

}  // namespace
