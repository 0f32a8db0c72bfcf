// A node whose ports do not open stops with status 1 before it writes
// anything: no genesis, no world, no administrator password.
#include <filesystem>
#include <string>

#include "app_node_process.h"
#include "platform/socket.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::BinaryFixture;
using rozeve_test::free_port;
using rozeve_test::NodeProcess;
using rozeve_test::read_text;

// A port held by this test for its whole life.
class TakenPort {
 public:
  TakenPort() {
    std::string error;
    socket_ = platform::listen_tcp("127.0.0.1", 0, error);
    EXPECT_NE(socket_, platform::kInvalidSocket) << error;
  }
  ~TakenPort() { platform::close_socket(socket_); }
  uint16_t port() const { return platform::local_port(socket_); }

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};

struct PortCase {
  const char* name;
  bool http_taken;
  const char* failure;  // the console line's beginning, the port appended
};
const PortCase kPortCases[] = {
    {"http", true, "[RPC] Impossibile aprire la porta HTTP "},
    {"peers", false, "[P2P] Impossibile aprire la porta P2P "},
};

class NodePortsTest : public BinaryFixture {
 protected:
  fs::path data() const { return dir_ / "data"; }

  // The node's arguments with one of its two ports taken by `taken`.
  static std::string args(const PortCase& c, const TakenPort& taken) {
    const uint16_t rpc = c.http_taken ? taken.port() : free_port();
    const uint16_t p2p = c.http_taken ? free_port() : taken.port();
    return "--bind 127.0.0.1 --rpc-port " + std::to_string(rpc) + " --p2p-port " +
           std::to_string(p2p);
  }
};

TEST_F(NodePortsTest, AFirstStartWhosePortIsTakenLeavesNoChainAndNoPassword) {
  for (const PortCase& c : kPortCases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(data());
    TakenPort taken;
    NodeProcess node(dir_, args(c, taken));
    EXPECT_EQ(node.wait_exit(10000), 1);
    const std::string console = node.output();
    EXPECT_NE(console.find(c.failure + std::to_string(taken.port()) + " su 127.0.0.1: "),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("[NODO] Avvio interrotto"), std::string::npos) << console;
    EXPECT_EQ(console.find("NODO ROZEVE CHAIN ATTIVO"), std::string::npos) << console;
    EXPECT_EQ(console.find("Genesis"), std::string::npos) << console;
    EXPECT_EQ(console.find("[ADMIN]"), std::string::npos) << console;
    EXPECT_EQ(console.find(rozeve_test::kNodeRunning), std::string::npos) << console;
    for (const char* file : {"blocks.dat", "state.json", "credits.dat", "game_world.dat",
                             "admin_master_password.txt"}) {
      EXPECT_FALSE(fs::exists(data() / file)) << file;
    }
  }
}

TEST_F(NodePortsTest, ARestartWhosePortIsTakenChangesNoFile) {
  {
    uint16_t rpc = 0, p2p = 0;
    NodeProcess first(dir_, rozeve_test::local_node_args(rpc, p2p));
    ASSERT_TRUE(first.wait_for_output(rozeve_test::kNodeRunning)) << first.output();
    first.type_line();
    ASSERT_EQ(first.wait_exit(10000), 0);
  }
  const std::string blocks = read_text(data() / "blocks.dat");
  const std::string world = read_text(data() / "game_world.dat");
  for (const PortCase& c : kPortCases) {
    SCOPED_TRACE(c.name);
    TakenPort taken;
    NodeProcess node(dir_, args(c, taken));
    EXPECT_EQ(node.wait_exit(10000), 1);
    EXPECT_NE(node.output().find(c.failure + std::to_string(taken.port())), std::string::npos)
        << node.output();
    EXPECT_EQ(node.output().find("NODO ROZEVE CHAIN ATTIVO"), std::string::npos) << node.output();
    EXPECT_EQ(read_text(data() / "blocks.dat"), blocks);
    EXPECT_EQ(read_text(data() / "game_world.dat"), world);
  }
}

}  // namespace
