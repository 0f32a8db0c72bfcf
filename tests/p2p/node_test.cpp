// The peer endpoint over real loopback sockets: frames in, callbacks out,
// limits, the peer list and stopping.
#include "p2p/p2p_node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/socket.h"

namespace ZezozuRiziv {
namespace {

using namespace std::chrono_literals;

// Every wait in these tests is bounded by this: generous, since 128
// connections under ThreadSanitizer on a busy machine take seconds.
constexpr auto kWait = 10s;
constexpr int kWaitMs = 10000;

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The wire header as a peer writes it: four magic bytes, then the type and
// the length, most significant byte first.
std::string header(std::string_view magic, uint16_t type, uint32_t length) {
  std::string h(magic);
  h += static_cast<char>(type >> 8);
  h += static_cast<char>(type & 0xff);
  h += static_cast<char>(length >> 24);
  h += static_cast<char>((length >> 16) & 0xff);
  h += static_cast<char>((length >> 8) & 0xff);
  h += static_cast<char>(length & 0xff);
  return h;
}

std::string frame(uint16_t type, std::string_view payload) {
  return header("RUZ1", type, static_cast<uint32_t>(payload.size())) + std::string(payload);
}

// A transfer record whose only interesting field is its amount.
std::string tx_text(uint64_t amount) {
  return "{\"type\":\"TRANSFER\",\"sender\":\"a\",\"recipient\":\"b\",\"amount\":" +
         std::to_string(amount) + ",\"fee\":1}";
}

// The amount of a transaction sent after the frames under test: its arrival
// on the same connection shows that the reader stayed aligned.
constexpr uint64_t kSentinelAmount = 999;

class Client {
 public:
  explicit Client(uint16_t port) : socket_(platform::connect_tcp("127.0.0.1", port, kWaitMs)) {}
  ~Client() { close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return socket_ != platform::kInvalidSocket; }
  bool send(std::string_view bytes) { return platform::send_all(socket_, bytes, kWaitMs); }
  void close() {
    platform::close_socket(socket_);
    socket_ = platform::kInvalidSocket;
  }
  // True when the node ends the connection within the wait.
  bool sees_close() {
    char byte;
    const long n = platform::receive(socket_, &byte, 1, kWaitMs);
    return n == 0 || n == platform::kFailed;
  }
  bool silent_for(int ms) {
    char byte;
    return platform::receive(socket_, &byte, 1, ms) == platform::kWouldBlock;
  }
  // Up to `n` bytes, whatever arrives before the wait ends.
  std::string receive(size_t n) {
    std::string got;
    char buffer[4096];
    while (got.size() < n) {
      const long k = platform::receive(socket_, buffer, std::min(sizeof buffer, n - got.size()),
                                       kWaitMs);
      if (k <= 0) break;
      got.append(buffer, static_cast<size_t>(k));
    }
    return got;
  }

 private:
  platform::SocketHandle socket_;
};

// What the callbacks saw, from several reader threads.
class Inbox {
 public:
  void add(const Transaction& tx) {
    std::lock_guard<std::mutex> lock(mutex_);
    txs_.push_back(tx);
    arrived_.notify_all();
  }
  void add(const Block& block) {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.push_back(block);
    arrived_.notify_all();
  }
  bool wait_for_txs(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, kWait, [&] { return txs_.size() >= n; });
  }
  bool wait_for_blocks(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, kWait, [&] { return blocks_.size() >= n; });
  }
  std::vector<Transaction> txs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return txs_;
  }
  std::vector<Block> blocks() {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_;
  }
  std::vector<uint64_t> amounts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint64_t> out;
    for (const Transaction& tx : txs_) out.push_back(tx.amount);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    txs_.clear();
    blocks_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Transaction> txs_;
  std::vector<Block> blocks_;
};

class P2PNodeTest : public ::testing::Test {
 protected:
  void TearDown() override { node_.reset(); }

  // A node on a free loopback port whose callbacks fill the inbox; tests
  // may replace the callbacks before starting it.
  void make_node(P2PLimits limits = {}) {
    node_ = std::make_unique<P2PNode>(0, "127.0.0.1", limits);
    node_->on_transaction = [this](const Transaction& tx) { inbox_.add(tx); };
    node_->on_block = [this](const Block& block) { inbox_.add(block); };
  }
  void start() {
    if (!node_) make_node();
    ASSERT_TRUE(node_->start_server());
    ASSERT_NE(port(), 0);
  }
  uint16_t port() const { return node_->bound_port(); }
  bool count_becomes(size_t n) {
    return eventually([&] { return node_->get_peer_count() == n; });
  }

  Inbox inbox_;  // outlives the node, whose readers write to it
  std::unique_ptr<P2PNode> node_;
};

TEST_F(P2PNodeTest, ConstructionOpensNothing) {
  P2PNode node(0, "127.0.0.1");
  EXPECT_FALSE(node.running());
  EXPECT_EQ(node.bound_port(), 0);
  EXPECT_EQ(node.get_peer_count(), 0u);
  node.stop_server();  // never started: nothing to do
}

TEST_F(P2PNodeTest, HandWrittenFrameReachesTheTransactionCallback) {
  start();
  const std::string payload =
      "{\"type\":\"STAKE\",\"sender\":\"RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e\","
      "\"recipient\":\"RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e\",\"amount\":1500000,"
      "\"fee\":1000,\"nonce\":7,\"timestamp\":1700000123,\"tx_hash\":\"h1\",\"signature\":\"s1\"}";
  ASSERT_EQ(payload.size(), 0xdeu);
  Client client(port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send(std::string("RUZ1\x00\x03\x00\x00\x00\xde", 10) + payload));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  const Transaction tx = inbox_.txs()[0];
  EXPECT_EQ(tx.type, TxType::STAKE);
  EXPECT_EQ(tx.sender, "RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e");
  EXPECT_EQ(tx.recipient, "RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e");
  EXPECT_EQ(tx.amount, 1500000u);
  EXPECT_EQ(tx.fee, 1000u);
  EXPECT_EQ(tx.nonce, 7u);
  EXPECT_EQ(tx.timestamp, 1700000123u);
  EXPECT_EQ(tx.tx_hash, "h1");
  EXPECT_EQ(tx.signature, "s1");
  EXPECT_TRUE(inbox_.blocks().empty());
}

TEST_F(P2PNodeTest, RecordsArriveAsTheyWereSent) {
  start();
  Transaction tx(TxType::TRANSFER, "RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e",
                 "RUZe304167b9aa8e6cb67d982188b1978c5a196db7b", 2500000, 1000, 3, 1700000200);
  tx.sign("key");
  const Block genesis = Block::create_genesis_block("RUZtreasury");
  Client client(port());
  ASSERT_TRUE(client.send(frame(3, tx.serialize()) + frame(4, genesis.serialize())));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  ASSERT_TRUE(inbox_.wait_for_blocks(1));
  EXPECT_EQ(inbox_.txs()[0].serialize(), tx.serialize());
  const Block got = inbox_.blocks()[0];
  EXPECT_EQ(got.serialize(), genesis.serialize());
  // Worked out with an independent SHA-256 for this treasury text.
  EXPECT_EQ(got.block_hash, "3d3fbdd6082a189d7ff15e0490ff399c9a7432cb16579d5bbba9cc3ac07c49f0");
  EXPECT_EQ(got.index, 0u);
  ASSERT_EQ(got.transactions.size(), 1u);
  EXPECT_EQ(got.transactions[0].type, TxType::GENESIS);
}

// Each case is sent on a fresh connection and followed by a sentinel
// transaction frame, which must still arrive: the reader stayed aligned.
TEST_F(P2PNodeTest, FramesAreConsumedWholeAndTheStreamStaysAligned) {
  struct Case {
    std::string name;
    std::string bytes;
    std::vector<uint64_t> amounts;  // delivered before the sentinel
    size_t blocks;
  };
  const std::string genesis = Block::create_genesis_block("RUZtreasury").serialize();
  const std::vector<Case> cases = {
      {"transaction that does not parse", frame(3, "{\"amount\":x1}"), {}, 0},
      {"block that does not parse", frame(4, "{\"index\":abc}"), {}, 0},
      {"unknown type 7 with 5 bytes", frame(7, "abcde"), {}, 0},
      {"unknown type carrying a whole frame", frame(7, frame(3, tx_text(5))), {}, 0},
      {"type 0", frame(0, tx_text(5)), {}, 0},
      {"type 0xffff", frame(0xffff, tx_text(5)), {}, 0},
      {"type bytes swapped (0x0300)", frame(0x0300, tx_text(5)), {}, 0},
      {"empty transaction payload", frame(3, ""), {0}, 0},
      {"empty unknown payload", frame(9, ""), {}, 0},
      {"two frames in one send", frame(3, tx_text(1)) + frame(3, tx_text(2)), {1, 2}, 0},
      {"bad record between good ones",
       frame(3, tx_text(1)) + frame(3, "{\"fee\":-1}") + frame(3, tx_text(2)), {1, 2}, 0},
      {"block then transaction", frame(4, genesis) + frame(3, tx_text(4)), {4}, 1},
      {"payload exactly at the cap", frame(7, std::string(kMaxP2PPayloadBytes, 'x')), {}, 0},
  };
  start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inbox_.clear();
    Client client(port());
    ASSERT_TRUE(client.send(c.bytes + frame(3, tx_text(kSentinelAmount))));
    ASSERT_TRUE(inbox_.wait_for_txs(c.amounts.size() + 1));
    std::vector<uint64_t> expected = c.amounts;
    expected.push_back(kSentinelAmount);
    EXPECT_EQ(inbox_.amounts(), expected);
    EXPECT_EQ(inbox_.blocks().size(), c.blocks);
    EXPECT_TRUE(client.silent_for(0));  // the connection is still open
  }
}

TEST_F(P2PNodeTest, EmptyTransactionPayloadGivesTheDefaultRecord) {
  start();
  Client client(port());
  ASSERT_TRUE(client.send(std::string("RUZ1\x00\x03\x00\x00\x00\x00", 10)));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  const Transaction tx = inbox_.txs()[0];
  EXPECT_EQ(tx.type, TxType::TRANSFER);
  EXPECT_EQ(tx.sender, "");
  EXPECT_EQ(tx.recipient, "");
  EXPECT_EQ(tx.amount, 0u);
  EXPECT_EQ(tx.tx_hash, "");
  EXPECT_EQ(tx.serialize(), Transaction().serialize());
}

TEST_F(P2PNodeTest, FrameSplitAcrossSendsIsReassembled) {
  start();
  const std::string bytes = frame(3, tx_text(42));
  Client client(port());
  // Cut inside the magic, inside the length and inside the payload.
  const std::vector<std::pair<size_t, size_t>> pieces = {{0, 3}, {3, 8}, {8, 15}, {15, bytes.size()}};
  for (const auto& [from, to] : pieces) {
    ASSERT_TRUE(client.send(bytes.substr(from, to - from)));
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  EXPECT_EQ(inbox_.amounts(), std::vector<uint64_t>{42});
}

TEST_F(P2PNodeTest, WrongMagicClosesOnlyThatConnection) {
  start();
  Client good(port());
  ASSERT_TRUE(count_becomes(1));
  const std::vector<std::string> magics = {"RUZ2", "ruz1", std::string(4, '\0'), "XRUZ", "1ZUR"};
  for (const std::string& magic : magics) {
    SCOPED_TRACE(magic);
    inbox_.clear();
    Client bad(port());
    ASSERT_TRUE(count_becomes(2));
    ASSERT_TRUE(bad.send(header(magic, 3, 0)));
    EXPECT_TRUE(bad.sees_close());
    EXPECT_TRUE(count_becomes(1));
    ASSERT_TRUE(good.send(frame(3, tx_text(7))));
    ASSERT_TRUE(inbox_.wait_for_txs(1));
    EXPECT_EQ(inbox_.amounts(), std::vector<uint64_t>{7});
  }
}

TEST_F(P2PNodeTest, LengthAboveTheCapClosesWithoutReadingOrCalling) {
  start();
  for (const uint32_t length : {kMaxP2PPayloadBytes + 1, 0x01000000u, 0xffffffffu}) {
    SCOPED_TRACE(length);
    Client client(port());
    ASSERT_TRUE(count_becomes(1));
    ASSERT_TRUE(client.send(header("RUZ1", 3, length)));
    EXPECT_TRUE(client.sees_close());
    EXPECT_TRUE(count_becomes(0));
  }
  // The cap itself, written out: 8 MiB + 1 = 0x00800001.
  Client client(port());
  ASSERT_TRUE(client.send(std::string("RUZ1\x00\x03\x00\x80\x00\x01", 10)));
  EXPECT_TRUE(client.sees_close());
  EXPECT_TRUE(inbox_.txs().empty());
}

TEST_F(P2PNodeTest, TornFrameThenCloseEndsTheReaderWithoutCallback) {
  const std::string payload = tx_text(5);
  const std::string whole = frame(3, payload);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"header only", whole.substr(0, kP2PHeaderBytes)},
      {"part of the header", whole.substr(0, 4)},
      {"header and part of the payload", whole.substr(0, whole.size() - 1)},
  };
  start();
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    Client client(port());
    ASSERT_TRUE(count_becomes(1));
    ASSERT_TRUE(client.send(bytes));
    client.close();
    EXPECT_TRUE(count_becomes(0));
  }
  EXPECT_TRUE(inbox_.txs().empty());
}

TEST_F(P2PNodeTest, EmptyBlockCallbackDropsBlockFrames) {
  make_node();
  node_->on_block = nullptr;
  start();
  Client client(port());
  ASSERT_TRUE(client.send(frame(4, Block::create_genesis_block("RUZtreasury").serialize()) +
                          frame(4, "{\"index\":abc}") + frame(3, tx_text(kSentinelAmount))));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  EXPECT_EQ(inbox_.amounts(), std::vector<uint64_t>{kSentinelAmount});
  EXPECT_TRUE(inbox_.blocks().empty());
}

TEST_F(P2PNodeTest, ThrowingCallbackDoesNotEndTheReader) {
  make_node();
  node_->on_transaction = [this](const Transaction& tx) {
    if (tx.amount == 1) throw std::runtime_error("rifiutata");
    if (tx.amount == 2) throw 2;
    inbox_.add(tx);
  };
  start();
  Client client(port());
  ASSERT_TRUE(client.send(frame(3, tx_text(1)) + frame(3, tx_text(2)) + frame(3, tx_text(3))));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  EXPECT_EQ(inbox_.amounts(), std::vector<uint64_t>{3});
  EXPECT_EQ(node_->get_peer_count(), 1u);
  EXPECT_TRUE(client.silent_for(0));
}

TEST_F(P2PNodeTest, PeerCountHoldsInboundAndOutbound) {
  start();
  Inbox other_inbox;
  P2PNode other(0, "127.0.0.1");
  other.on_transaction = [&](const Transaction& tx) { other_inbox.add(tx); };
  ASSERT_TRUE(other.start_server());

  ASSERT_TRUE(other.connect_to_peer("127.0.0.1", port()));
  EXPECT_EQ(other.get_peer_count(), 1u);  // outbound, listed at once
  EXPECT_TRUE(count_becomes(1));          // inbound on our side

  Client client(other.bound_port());
  EXPECT_TRUE(eventually([&] { return other.get_peer_count() == 2; }));

  // Both directions of the peer connection carry frames.
  node_->broadcast_transaction(Transaction(TxType::TRANSFER, "a", "b", 11, 0, 0, 1));
  ASSERT_TRUE(other_inbox.wait_for_txs(1));
  EXPECT_EQ(other_inbox.amounts(), std::vector<uint64_t>{11});
  EXPECT_TRUE(client.silent_for(100));  // ours sent nothing to the raw client
  other.broadcast_transaction(Transaction(TxType::TRANSFER, "a", "b", 12, 0, 0, 1));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  EXPECT_EQ(inbox_.amounts(), std::vector<uint64_t>{12});

  client.close();
  EXPECT_TRUE(eventually([&] { return other.get_peer_count() == 1; }));
  node_->stop_server();  // the peer sees its outbound connection end
  EXPECT_TRUE(eventually([&] { return other.get_peer_count() == 0; }));
}

TEST_F(P2PNodeTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
  start();
  std::vector<std::unique_ptr<Client>> clients;
  for (size_t i = 0; i < kMaxPeerConnections; ++i) {
    clients.push_back(std::make_unique<Client>(port()));
    ASSERT_TRUE(clients.back()->connected()) << i;
  }
  ASSERT_TRUE(count_becomes(kMaxPeerConnections));

  Client extra(port());
  ASSERT_TRUE(extra.connected());
  EXPECT_TRUE(extra.sees_close());
  EXPECT_EQ(node_->get_peer_count(), kMaxPeerConnections);

  // A freed place is taken by the next connection, which then works.
  clients.front()->close();
  ASSERT_TRUE(count_becomes(kMaxPeerConnections - 1));
  Client next(port());
  ASSERT_TRUE(count_becomes(kMaxPeerConnections));
  ASSERT_TRUE(next.send(frame(3, tx_text(8))));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  EXPECT_TRUE(next.silent_for(0));

  clients.clear();
  extra.close();
  next.close();
  EXPECT_TRUE(count_becomes(0));
}

TEST_F(P2PNodeTest, ConnectToPeerTakesOnlyDottedAddresses) {
  start();
  // Each would reach our own listener if it were looked up or guessed.
  for (const std::string host :
       {"localhost", "", "127.1", "127.0.0.1.1", "256.0.0.1", "::1", "127.0.0.1 ", "example.com"}) {
    EXPECT_FALSE(node_->connect_to_peer(host, port())) << "'" << host << "'";
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(node_->get_peer_count(), 0u);
}

TEST_F(P2PNodeTest, ConnectToPeerFailsWhereNobodyListens) {
  P2PNode gone(0, "127.0.0.1");
  ASSERT_TRUE(gone.start_server());
  const uint16_t gone_port = gone.bound_port();
  gone.stop_server();
  start();
  EXPECT_FALSE(node_->connect_to_peer("127.0.0.1", gone_port));
  EXPECT_EQ(node_->get_peer_count(), 0u);
}

TEST_F(P2PNodeTest, NodeThatIsNotRunningKeepsNoConnection) {
  start();
  P2PNode idle(0, "127.0.0.1");
  EXPECT_FALSE(idle.connect_to_peer("127.0.0.1", port()));
  EXPECT_EQ(idle.get_peer_count(), 0u);
}

TEST_F(P2PNodeTest, StopWakesBlockedReadersWithinTheBound) {
  start();
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(std::make_unique<Client>(port()));
  Client mid_payload(port());
  ASSERT_TRUE(mid_payload.send(header("RUZ1", 3, 100) + "abc"));
  ASSERT_TRUE(count_becomes(4));

  const auto begin = std::chrono::steady_clock::now();
  node_->stop_server();
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(took, std::chrono::milliseconds(kP2PStopWaitMs));
  EXPECT_FALSE(node_->running());
  EXPECT_EQ(node_->get_peer_count(), 0u);
  for (auto& client : idle) EXPECT_TRUE(client->sees_close());
  EXPECT_TRUE(mid_payload.sees_close());

  node_->stop_server();  // harmless twice
  Client late(port());
  EXPECT_FALSE(late.connected());
  EXPECT_TRUE(inbox_.txs().empty());
}

TEST_F(P2PNodeTest, StopWaitsForACallbackInProgress) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool finished = false;
  make_node();
  node_->on_transaction = [&](const Transaction&) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      entered = true;
    }
    changed.notify_all();
    std::this_thread::sleep_for(300ms);
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  };
  start();
  Client client(port());
  ASSERT_TRUE(client.send(frame(3, tx_text(1))));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kWait, [&] { return entered; }));
  }
  node_->stop_server();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_TRUE(finished);
}

TEST_F(P2PNodeTest, StartServerOnceAndReportsAPortItCannotOpen) {
  start();
  EXPECT_TRUE(node_->start_server());  // already running
  EXPECT_TRUE(node_->running());

  P2PNode clash(port(), "127.0.0.1");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(clash.start_server());
  const std::string said = testing::internal::GetCapturedStdout();
  ASSERT_FALSE(said.empty());
  EXPECT_EQ(said.rfind("[P2P] Impossibile aprire la porta P2P " + std::to_string(port()) + ": ", 0),
            0u)
      << said;
  EXPECT_EQ(said.back(), '\n');
  EXPECT_EQ(said.find('\n'), said.size() - 1);  // one line
  EXPECT_FALSE(clash.running());

  P2PNode nowhere(0, "999.0.0.1");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(nowhere.start_server());
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("[P2P] Impossibile aprire la porta P2P 0: ",
                                                         0),
            0u);
}

TEST_F(P2PNodeTest, SendRawWritesOneFrame) {
  std::string error;
  const platform::SocketHandle listener = platform::listen_tcp("127.0.0.1", 0, error);
  ASSERT_NE(listener, platform::kInvalidSocket) << error;
  const platform::SocketHandle out =
      platform::connect_tcp("127.0.0.1", platform::local_port(listener), kWaitMs);
  ASSERT_NE(out, platform::kInvalidSocket);
  platform::SocketHandle in = platform::kInvalidSocket;
  ASSERT_EQ(platform::accept_tcp(listener, in), platform::AcceptResult::kAccepted);

  P2PNode node(0, "127.0.0.1");  // sending needs no listener
  EXPECT_TRUE(node.send_raw(out, P2PMessageType::TRANSACTION, "hello"));
  EXPECT_TRUE(node.send_raw(out, P2PMessageType::BLOCK, ""));
  EXPECT_FALSE(node.send_raw(out, P2PMessageType::BLOCK,
                             std::string(kMaxP2PPayloadBytes + 1, 'x')));
  EXPECT_FALSE(node.send_raw(platform::kInvalidSocket, P2PMessageType::BLOCK, "x"));
  platform::shutdown_sending(out);

  std::string got;
  char buffer[64];
  long n;
  while ((n = platform::receive(in, buffer, sizeof buffer, kWaitMs)) > 0) {
    got.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, std::string("RUZ1\x00\x03\x00\x00\x00\x05hello"
                             "RUZ1\x00\x04\x00\x00\x00\x00",
                             25));
  platform::close_socket(in);
  platform::close_socket(out);
  platform::close_socket(listener);
}

TEST_F(P2PNodeTest, BroadcastSendsOneFrameToEveryListedPeer) {
  start();
  Client first(port());
  Client second(port());
  ASSERT_TRUE(count_becomes(2));

  const Transaction tx(TxType::STAKE, "a", "a", 5, 0, 1, 2);
  const std::string tx_frame = header("RUZ1", 3, tx.serialize().size()) + tx.serialize();
  node_->broadcast_transaction(tx);
  EXPECT_EQ(first.receive(tx_frame.size()), tx_frame);
  EXPECT_EQ(second.receive(tx_frame.size()), tx_frame);

  // A peer that left is no longer sent to; the other still is.
  first.close();
  ASSERT_TRUE(count_becomes(1));
  const Block block = Block::create_genesis_block("RUZtreasury");
  const std::string block_frame =
      header("RUZ1", 4, block.serialize().size()) + block.serialize();
  node_->broadcast_block(block);
  EXPECT_EQ(second.receive(block_frame.size()), block_frame);
  EXPECT_TRUE(second.silent_for(50));
}

// ---- silent and slow peers, with the limits made small ----

constexpr int kSmallIdleMs = 200;

TEST_F(P2PNodeTest, ASilentConnectionGivesItsSlotToANewcomer) {
  make_node(P2PLimits{4, 60'000, kSmallIdleMs});
  start();
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(std::make_unique<Client>(port()));
    ASSERT_TRUE(count_becomes(static_cast<size_t>(i + 1)));
  }
  // The first one speaks: it is no longer the one silent longest.
  ASSERT_TRUE(silent[0]->send(frame(3, tx_text(1))));
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  // Nobody has been silent long enough yet: the newcomer is turned away.
  {
    Client early(port());
    EXPECT_TRUE(early.sees_close());
  }
  // Once the silence is long enough, a newcomer gets in (retried, bounded).
  std::unique_ptr<Client> newcomer;
  const bool admitted = eventually([&] {
    newcomer = std::make_unique<Client>(port());
    return newcomer->silent_for(kSmallIdleMs / 2);  // a turned-away one is closed at once
  });
  ASSERT_TRUE(admitted);
  ASSERT_TRUE(newcomer->send(frame(3, tx_text(kSentinelAmount))));
  ASSERT_TRUE(inbox_.wait_for_txs(2));
  EXPECT_EQ(inbox_.amounts().back(), kSentinelAmount);
  EXPECT_TRUE(silent[1]->sees_close());  // the longest silent, not the one that spoke
  EXPECT_TRUE(silent[0]->silent_for(50));
  EXPECT_TRUE(count_becomes(4));
}

TEST_F(P2PNodeTest, AFrameMustBeWholeWithinItsDeadline) {
  make_node(P2PLimits{kMaxPeerConnections, 300, 60'000});
  start();
  Client header_only(port());
  ASSERT_TRUE(header_only.send(header("RUZ1", 3, 10).substr(0, 5)));
  Client half_payload(port());
  ASSERT_TRUE(half_payload.send(header("RUZ1", 3, 1'000) + std::string(400, 'x')));
  EXPECT_TRUE(header_only.sees_close());
  EXPECT_TRUE(half_payload.sees_close());
  // Idle time between frames is not a frame: a quiet peer stays.
  Client idle(port());
  ASSERT_TRUE(count_becomes(1));
  EXPECT_TRUE(idle.silent_for(500));
  ASSERT_TRUE(idle.send(frame(3, tx_text(kSentinelAmount))));
  EXPECT_TRUE(inbox_.wait_for_txs(1));
}

TEST_F(P2PNodeTest, APayloadSentInPiecesArrivesWhole) {
  start();
  const std::string payload = tx_text(kSentinelAmount) + std::string(300'000, ' ');
  const std::string whole = frame(3, payload);
  Client client(port());
  for (size_t at = 0; at < whole.size(); at += 70'001) {
    ASSERT_TRUE(client.send(std::string_view(whole).substr(at, 70'001)));
  }
  ASSERT_TRUE(inbox_.wait_for_txs(1));
  EXPECT_EQ(inbox_.amounts(), std::vector<uint64_t>{kSentinelAmount});
}

}  // namespace
}  // namespace ZezozuRiziv
