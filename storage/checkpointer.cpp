#include "storage/checkpointer.h"

#include <chrono>
#include <iostream>

namespace ZezozuRiziv {
namespace {

// How often the thread looks at the logs' growth.
constexpr std::chrono::milliseconds kPollInterval{200};

}  // namespace

bool checkpoint_due(uint64_t changes, uint64_t accounts) {
  return changes >= kCheckpointMinChanges && changes >= accounts / kAccountsPerCheckpointChange;
}

Checkpointer::Checkpointer(Storage& storage, const State& state, ChainLock& chain_lock)
    : storage_(storage), state_(state), chain_lock_(chain_lock), thread_([this] { run(); }) {}

Checkpointer::~Checkpointer() {
  {
    platform::MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Checkpointer::run() {
  bool failing = false;  // said once per run of failures
  platform::MutexLock lock(mutex_);
  while (!lock.wait_for(wake_, kPollInterval, [this]() REQUIRES(mutex_) { return stopping_; })) {
    lock.unlock();
    Storage::Checkpoint checkpoint;
    bool due = false;
    {
      platform::ReadLock chain(chain_lock_);
      due = checkpoint_due(storage_.changes_since_checkpoint(), state_.balances.size());
      if (due) checkpoint = storage_.take_checkpoint(state_);
    }
    if (due) {
      const bool written = storage_.write_checkpoint(checkpoint, chain_lock_);
      if (!written && !failing) {
        std::cout << "[STORAGE] Checkpoint di " << storage_.state_path()
                  << " non scritto: sara' ritentato" << std::endl;
      }
      failing = !written;
    }
    lock.lock();
  }
}

}  // namespace ZezozuRiziv
