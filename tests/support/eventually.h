// Bounded polling: a test waits for what another thread does, never sleeps
// to make it happen.
#pragma once

#include <chrono>
#include <thread>

namespace rozeve_test {

// Polls `done` until it holds or `limit` has passed; false at the limit.
template <typename Done>
bool eventually(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace rozeve_test
