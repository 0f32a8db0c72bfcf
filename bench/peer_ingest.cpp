// Peer ingest: a loopback client sends 10,000 next-index one-transaction
// blocks to a node's peer port; reports blocks applied per second and the
// node's resident memory afterwards.
//
//   peer_ingest [data_dir_parent]   (default: the system temp directory;
//                                    /dev/shm shows how much is the disk)
//
// A plain program rather than Google Benchmark: the figure is one long run
// of 10,000 blocks through a live node, not a loop that can be repeated on
// the same state, and the result must be checked as a whole before it counts.
//
// The node side is what the node runs: a P2PNode whose block callback is
// handle_peer_block over one Storage, one State and the chain lock, and a
// genesis applied and saved as on a first start. Every block therefore costs
// an fsync of blocks.dat and a crash-safe replacement of state.json (write,
// fsync, rename, directory fsync), so on a real disk the rate is bounded by
// the disk's sync latency rather than by the CPU.
//
// The node's console lines ("[P2P] Sincronizzato blocco #...") are still
// formatted, but go to a sink that counts them instead of the terminal,
// whose speed would otherwise be measured too.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/peer_handlers.h"
#include "chain/accounts.h"
#include "chain/block.h"
#include "chain/chain_lock.h"
#include "chain/state.h"
#include "chain/transaction.h"
#include "chain/wallet.h"
#include "p2p/p2p_node.h"
#include "platform/socket.h"
#include "bench_support.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace fs = std::filesystem;
using namespace ZezozuRiziv;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kBlocks = 10'000;  // sent after the genesis block
constexpr size_t kRecipients = 4;     // transfers rotate over these wallets
constexpr uint64_t kFee = 1'000;      // the network's minimum fee, the fee total of kAmount
constexpr uint64_t kAmount = 1'000;   // atomic units per transfer
// What the sender holds before the run: more than the blocks spend.
constexpr uint64_t kSenderFunds = 2 * kBlocks * (kAmount + kFee);
// The whole run (sending and applying) must end within this.
constexpr auto kRunDeadline = std::chrono::seconds(120);
// How often the waiting client looks at the node's chain.
constexpr auto kPollInterval = std::chrono::milliseconds(2);
// Everything sent and no block applied for this long: the node dropped one
// (it says nothing), and the rest cannot link.
constexpr auto kStallLimit = std::chrono::seconds(10);
constexpr int kConnectTimeoutMs = 5'000;

// Counts the lines written to it and keeps nothing.
class LineCountingSink : public std::streambuf {
 public:
  uint64_t lines() const { return lines_; }

 protected:
  int_type overflow(int_type c) override {
    if (c == '\n') ++lines_;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    lines_ += static_cast<uint64_t>(std::count(s, s + n, '\n'));
    return n;
  }

 private:
  uint64_t lines_ = 0;
};

std::string mib(uint64_t bytes) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / (1024.0 * 1024.0)
      << " MiB";
  return out.str();
}

// "RUZ1", big-endian type, big-endian length, payload: built by hand so that
// the client does not share the node's own framing code.
void append_block_frame(std::string& wire, const std::string& payload) {
  const uint16_t type = 4;
  const auto n = static_cast<uint32_t>(payload.size());
  wire.append("RUZ1", 4);
  wire += static_cast<char>(type >> 8);
  wire += static_cast<char>(type & 0xff);
  wire += static_cast<char>(n >> 24);
  wire += static_cast<char>((n >> 16) & 0xff);
  wire += static_cast<char>((n >> 8) & 0xff);
  wire += static_cast<char>(n & 0xff);
  wire += payload;
}

struct PreparedChain {
  std::string wire;             // every frame, back to back
  std::vector<size_t> offsets;  // where frame i starts; one past the end last
  std::string last_hash;
  uint64_t spent = 0;  // amounts and fees paid by the sender
};

// The blocks are held only as frames: one large buffer that is returned to
// the system when freed, so the memory measured afterwards is the node's.
bool prepare_chain(const Wallet& sender, const std::vector<Wallet>& recipients,
                   const Wallet& validator, const Block& genesis, PreparedChain& out) {
  std::string prev_hash = genesis.block_hash;
  out.offsets.reserve(kBlocks + 1);
  for (uint64_t i = 1; i <= kBlocks; ++i) {
    const Wallet& to = recipients[(i - 1) % recipients.size()];
    const Transaction tx = sender.create_transfer(to.address(), kAmount, kFee, i - 1);
    Block block(i, prev_hash, validator.address(), {tx}, 0);
    block.seal(validator.private_key());
    if (i == 1 && !block.verify()) {
      std::cerr << "the first prepared block does not verify\n";
      return false;
    }
    const std::string payload = block.serialize();
    if (out.wire.empty()) out.wire.reserve((payload.size() + kP2PHeaderBytes + 64) * kBlocks);
    out.offsets.push_back(out.wire.size());
    append_block_frame(out.wire, payload);
    out.spent += kAmount + kFee;
    prev_hash = block.block_hash;
  }
  out.offsets.push_back(out.wire.size());
  out.last_hash = prev_hash;
  return true;
}

// The first start of a node: genesis applied, the pool funded, both saved.
bool first_start(Storage& storage, State& state, const std::string& treasury) {
  CommittedBlock genesis;
  return Ledger(storage, state).commit_genesis(treasury, genesis).ok;
}

size_t chain_length(const Storage& storage, ChainLock& chain_lock) {
  std::shared_lock lock(chain_lock);
  return storage.get_blocks_cached().size();
}

int run_in(const fs::path& data_dir) {
  const Wallet treasury = Wallet::generate();
  const Wallet sender = Wallet::generate();
  const Wallet validator = Wallet::generate();
  std::vector<Wallet> recipients;
  for (size_t i = 0; i < kRecipients; ++i) recipients.push_back(Wallet::generate());
  const Block genesis = Block::create_genesis_block(treasury.address());

  Storage storage(data_dir.string());
  State state;
  ChainLock chain_lock;
  if (!first_start(storage, state, treasury.address())) {
    std::cerr << "peer_ingest: the genesis block could not be written in " << data_dir << "\n";
    return 1;
  }
  // Peers never spend from the genesis treasury: the sender is a native
  // account of its own.
  if (!Ledger(storage, state).credit(sender.address(), kSenderFunds).ok) {
    std::cerr << "peer_ingest: the sender could not be funded in " << data_dir << "\n";
    return 1;
  }
  const uint64_t start_balance = state.get_balance(sender.address());

  P2PNode node(0, "127.0.0.1");
  node.on_block = [&](const Block& block) { handle_peer_block(block, storage, state, chain_lock); };
  if (!node.start_server()) return 1;
  const uint64_t rss_node_started = rozeve_bench::proc_status_bytes("VmRSS");

  PreparedChain prepared;
  if (!prepare_chain(sender, recipients, validator, genesis, prepared)) return 1;
  const uint64_t rss_before = rozeve_bench::proc_status_bytes("VmRSS");

  const platform::SocketHandle client =
      platform::connect_tcp("127.0.0.1", node.bound_port(), kConnectTimeoutMs);
  if (client == platform::kInvalidSocket) {
    std::cerr << "cannot connect to the node's peer port " << node.bound_port() << "\n";
    return 1;
  }

  LineCountingSink sink;
  std::streambuf* const console = std::cout.rdbuf(&sink);

  const auto start = Clock::now();
  const auto deadline = start + kRunDeadline;
  bool sent_all = true;
  for (uint64_t i = 0; i < kBlocks && sent_all; ++i) {
    const std::string_view frame(prepared.wire.data() + prepared.offsets[i],
                                 prepared.offsets[i + 1] - prepared.offsets[i]);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    sent_all = left > 0 && platform::send_all(client, frame, static_cast<int>(left));
  }
  const size_t expected = kBlocks + 1;  // genesis included
  size_t length = chain_length(storage, chain_lock);
  auto last_growth = Clock::now();
  while (sent_all && length < expected && Clock::now() < deadline &&
         Clock::now() - last_growth < kStallLimit) {
    std::this_thread::sleep_for(kPollInterval);
    const size_t now_length = chain_length(storage, chain_lock);
    if (now_length != length) last_growth = Clock::now();
    length = now_length;
  }
  const auto stop = Clock::now();

  platform::close_socket(client);
  node.stop_server();
  // Only now: a reader still inside the callback may be writing to it.
  std::cout.rdbuf(console);

  // Only a correct answer counts.
  std::string fault;
  {
    std::shared_lock lock(chain_lock);
    const std::vector<Block>& chain = storage.get_blocks_cached();
    const uint64_t spent_balance = start_balance - prepared.spent;
    if (!sent_all) {
      fault = "the client could not send every frame";
    } else if (chain.size() != expected) {
      fault = "the chain holds " + std::to_string(chain.size()) + " blocks, expected " +
              std::to_string(expected);
    } else if (chain.back().block_hash != prepared.last_hash) {
      fault = "the last stored hash is not the last block sent";
    } else if (state.get_nonce(sender.address()) != kBlocks) {
      fault = "the sender's nonce is " + std::to_string(state.get_nonce(sender.address()));
    } else if (state.get_balance(sender.address()) != spent_balance) {
      fault = "the sender's balance is " + std::to_string(state.get_balance(sender.address())) +
              ", expected " + std::to_string(spent_balance);
    } else if (sink.lines() != kBlocks) {
      fault = "the node reported " + std::to_string(sink.lines()) + " blocks";
    }
  }

  const uint64_t rss_end_held = rozeve_bench::proc_status_bytes("VmRSS");
  // Freed before the figure so that it is the node's memory alone.
  const std::string prepared_last_hash = prepared.last_hash;
  {
    // Moved out and destroyed: assigning an empty chain would keep the
    // buffer's capacity.
    const PreparedChain discarded = std::move(prepared);
  }
  const uint64_t rss_after = rozeve_bench::proc_status_bytes("VmRSS");
  const uint64_t hwm_after = rozeve_bench::proc_status_bytes("VmHWM");

  // What is on disk must read back as what the node holds.
  if (fault.empty()) {
    Storage reread(data_dir.string());
    State saved;
    if (reread.get_blocks_cached().size() != expected ||
        reread.get_blocks_cached().back().block_hash != prepared_last_hash) {
      fault = "blocks.dat does not read back as the stored chain";
    } else if (reread.load_state(saved) != StateLoad::kLoaded || saved.get_nonce(sender.address()) != kBlocks) {
      fault = "state.json does not read back with the sender's nonce at 10000";
    }
  }

  const double seconds = std::chrono::duration<double>(stop - start).count();
  if (!fault.empty()) {
    std::cout << "peer_ingest FAILED after " << seconds << " s: " << fault << "\n";
    return 1;
  }
  std::cout << "data_dir            " << data_dir.string() << "\n"
            << "blocks              " << kBlocks << "\n"
            << "seconds             " << seconds << "\n"
            << "blocks_per_second   " << static_cast<double>(kBlocks) / seconds << "\n"
            << "vm_rss_started      " << rss_node_started << " (" << mib(rss_node_started)
            << ", genesis applied)\n"
            << "vm_rss_before       " << rss_before << " (" << mib(rss_before)
            << ", frames still held)\n"
            << "vm_rss_end          " << rss_end_held << " (" << mib(rss_end_held)
            << ", frames still held)\n"
            << "vm_rss_after        " << rss_after << " (" << mib(rss_after) << ")\n"
            << "vm_hwm_after        " << hwm_after << " (" << mib(hwm_after) << ")\n"
            << "blocks_dat_bytes    " << rozeve_bench::file_size_or_zero(storage.blocks_path()) << "\n"
            << "state_json_bytes    " << rozeve_bench::file_size_or_zero(storage.state_path()) << "\n";
  return 0;
}

int run(const fs::path& parent) {
  const fs::path data_dir =
      parent / ("rozeve_peer_ingest_" + std::to_string(std::random_device{}()));
  std::error_code ec;
  if (fs::exists(data_dir, ec)) {
    std::cerr << "data directory " << data_dir << " already exists\n";
    return 1;
  }
  const int status = run_in(data_dir);
  fs::remove_all(data_dir, ec);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::cerr << "usage: peer_ingest [data_dir_parent]\n";
    return 1;
  }
  std::error_code ec;
  const fs::path parent = argc == 2 ? fs::path(argv[1]) : fs::temp_directory_path(ec);
  if (ec || !fs::is_directory(parent, ec)) {
    std::cerr << "no directory " << parent << "\n";
    return 1;
  }
  return run(parent);
}
