// Runs independent pieces of work at once, for the few bulk jobs that a
// start-up does on an otherwise idle machine (reading a large world).
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

// Threads worth starting for a bulk job: the hardware's, within 1..limit.
inline size_t bulk_threads(size_t limit) {
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, std::max<size_t>(limit, 1));
}

// Calls work(i) for every i in [0, count), each on a thread of its own (the
// last one on the calling thread); a piece whose thread cannot start runs
// on the calling thread instead. Returns once every piece is done; the
// first exception a piece threw is thrown again here.
template <typename Work>
void run_in_parallel(size_t count, Work work) {
  std::vector<std::exception_ptr> failures(count);
  const auto run = [&](size_t i) {
    try {
      work(i);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(count);
  for (size_t i = 0; i + 1 < count; ++i) {
    try {
      threads.emplace_back(run, i);
    } catch (const std::system_error&) {
      run(i);
    }
  }
  if (count > 0) run(count - 1);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// Calls visit(value) for every element of the hash map `map`, on `threads`
// threads, each taking a range of its buckets. `visit` may change the
// element it is given and nothing another element's visit touches.
template <typename Map, typename Visit>
void visit_in_parallel(Map& map, size_t threads, Visit visit) {
  const size_t buckets = map.bucket_count();
  threads = std::max<size_t>(threads, 1);
  run_in_parallel(threads, [&](size_t t) {
    for (size_t b = buckets * t / threads; b < buckets * (t + 1) / threads; ++b) {
      for (auto it = map.begin(b); it != map.end(b); ++it) visit(it->second);
    }
  });
}

}  // namespace platform
