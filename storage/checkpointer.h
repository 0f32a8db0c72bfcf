// Writes the checkpoint "state.json" in the background once the logs have
// grown enough since the last one, so that no writer waits for it: the
// state is copied into its text under the chain lock held shared, and the
// file is written outside it, once the changes it includes are durable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <thread>

#include "chain/chain_lock.h"
#include "chain/state.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "storage/storage.h"

namespace ZezozuRiziv {

// A checkpoint is due after this many changes at least...
inline constexpr uint64_t kCheckpointMinChanges = 256;
// ...and after one change per this many accounts, so that writing the
// checkpoint costs each change a bounded share whatever the state's size.
inline constexpr uint64_t kAccountsPerCheckpointChange = 4;

// True when a state of `accounts` balances with `changes` logged since the
// last checkpoint should be checkpointed.
[[nodiscard]] bool checkpoint_due(uint64_t changes, uint64_t accounts);

class Checkpointer {
 public:
  // Starts the thread. `storage`, `state` and `chain_lock` must outlive it.
  Checkpointer(Storage& storage, const State& state, ChainLock& chain_lock);
  // Stops and joins the thread (a checkpoint being written is finished).
  ~Checkpointer();
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

 private:
  // The thread: copies the state under the chain lock held shared, writes
  // it without either lock.
  void run() EXCLUDES(mutex_, chain_lock_);

  Storage& storage_;
  const State& state_ GUARDED_BY(chain_lock_);
  ChainLock& chain_lock_;
  platform::Mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace ZezozuRiziv
