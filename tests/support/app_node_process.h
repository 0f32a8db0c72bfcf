// The real rozeve binary running as a node in the background, its standard
// input a FIFO that the test holds, its console captured in a file.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app_test_support.h"
#include "platform/directory_lock.h"
#include "platform/socket.h"

namespace rozeve_test {

// The console line of a node that has started and waits for its stop.
inline constexpr char kNodeRunning[] =
    "[NODO IN ESECUZIONE] Premi Invio per arrestare il server (o segnale di stop)...";

// Ports handed to nodes lie below the system's ephemeral range (32768 and
// up on Linux): a port the system chose would be free again once probed,
// and the system could give it to another test's outgoing connection
// before the node binds it.
inline constexpr uint16_t kFirstNodePort = 20000;
inline constexpr uint16_t kNodePortSpan = 12000;

// A port that was free a moment ago on 127.0.0.1. Test processes run at
// once, and a port probed free stays open to the others until the node binds
// it (a crash test's node is down between rounds), so each port is first
// claimed by a lock that this process holds until it ends: no two running
// tests are handed the same port.
inline uint16_t free_port() {
  static std::mutex mu;
  static std::vector<std::unique_ptr<platform::DirectoryLock>> claims;
  static uint32_t next = std::random_device()() % kNodePortSpan;
  const std::filesystem::path root = std::filesystem::temp_directory_path() / "rozeve-test-ports";
  std::lock_guard<std::mutex> lock(mu);
  for (uint32_t tries = 0; tries < kNodePortSpan; ++tries) {
    const uint16_t port = static_cast<uint16_t>(kFirstNodePort + next++ % kNodePortSpan);
    auto claim = std::make_unique<platform::DirectoryLock>();
    std::string error;
    if (claim->acquire((root / std::to_string(port)).string(), error) != platform::LockResult::kLocked)
      continue;
    const auto listener = platform::listen_tcp("127.0.0.1", port, error);
    if (listener == platform::kInvalidSocket) continue;
    platform::close_socket(listener);
    claims.push_back(std::move(claim));
    return port;
  }
  ADD_FAILURE() << "no free port on 127.0.0.1";
  return 0;
}

// The node's options for two free ports on 127.0.0.1, which it sets.
inline std::string local_node_args(uint16_t& rpc_port, uint16_t& p2p_port) {
  rpc_port = free_port();
  p2p_port = free_port();
  return "--bind 127.0.0.1 --rpc-port " + std::to_string(rpc_port) + " --p2p-port " +
         std::to_string(p2p_port);
}

class NodeProcess {
 public:
  NodeProcess(const std::filesystem::path& dir, const std::string& args) : dir_(dir) {
    std::filesystem::remove(dir / "node.rc");
    std::filesystem::remove(dir / "node.out");
    std::filesystem::remove(dir / "node.in");
    const std::string fifo = (dir / "node.in").string();
    EXPECT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
    const std::string command = "cd '" + dir.string() + "' && ( '" ROZEVE_BINARY "' node " + args +
                                " > node.out 2>&1 < node.in & echo $! > node.pid; wait $!;"
                                " echo $? > node.rc ) > /dev/null 2>&1 &";
    EXPECT_EQ(std::system(command.c_str()), 0);
    // Opening the writer waits for the node to open its end.
    console_ = std::make_unique<std::ofstream>(fifo);
  }

  ~NodeProcess() {
    if (!exited()) {
      signal("KILL");
      wait_exit(5000);
    }
  }

  // Standard input: a line, or its end.
  void type_line() {
    *console_ << "\n";
    console_->flush();
  }
  // Text on standard input, as it is (no line feed added).
  void type(const std::string& text) {
    *console_ << text;
    console_->flush();
  }
  void close_console() { console_.reset(); }

  void signal(const std::string& name) {
    std::system(("kill -" + name + " $(cat '" + (dir_ / "node.pid").string() + "') 2>/dev/null").c_str());
  }

  std::string output() const { return read_text(dir_ / "node.out"); }

  // Polls the console until `text` appears (true) or the time runs out.
  bool wait_for_output(const std::string& text, int timeout_ms = 10000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (output().find(text) != std::string::npos) return true;
      if (exited()) return output().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool exited() const {
    const std::string rc = read_text(dir_ / "node.rc");
    return !rc.empty() && rc.back() == '\n';
  }

  // The exit status, or nullopt when the node is still running after `timeout_ms`.
  std::optional<int> wait_exit(int timeout_ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (exited()) return std::stoi(read_text(dir_ / "node.rc"));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<std::ofstream> console_;
};

}  // namespace rozeve_test
