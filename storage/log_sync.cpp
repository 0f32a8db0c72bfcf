// Storage: the group commit of the two logs (platform/group_commit.h).
// Writers append under the chain lock and register the change; then,
// outside it, one waiter syncs both logs for everyone who appended before
// it started, while the next writers append behind it. Nobody is answered
// before their change is durable; a failed sync undoes every change not yet
// durable.
#include <iostream>

#include "storage/storage.h"

namespace ZezozuRiziv {

uint64_t Storage::add_pending(bool is_block, uint64_t size_before, StateUndo undo) {
  const uint64_t ticket = commit_.add([is_block](LogsToSync& logs, uint64_t) {
    (is_block ? logs.blocks : logs.credits) = true;
  });
  // The undo of a change already durable is no longer needed.
  const uint64_t settled = commit_.settled();
  while (!pending_.empty() && pending_.front().ticket <= settled) pending_.pop_front();
  pending_.push_back(PendingChange{ticket, is_block, size_before, std::move(undo)});
  return ticket;
}

bool Storage::wait_durable(uint64_t ticket, ChainLock* chain_lock) {
  const auto sync_logs = [this](const LogsToSync& logs) {
    // Credits first: a block may spend a credit, never the reverse, so a
    // crash between the two syncs leaves nothing a replay cannot apply.
    const bool synced = !fail_syncs_.load() && (!logs.credits || credits_file_.sync()) &&
                        (!logs.blocks || blocks_file_.sync());
    log_syncs_.fetch_add(1);
    return synced;
  };
  if (commit_.wait(ticket, sync_logs) == platform::CommitOutcome::kDurable) return true;
  if (chain_lock == nullptr) {
    undo_failed();
  } else if (commit_.failed_from() != 0) {
    // Undoing needs the chain lock, which comes before the commit's own.
    platform::WriteLock chain(*chain_lock);
    undo_failed();
  }
  return false;
}

void Storage::undo_failed() {
  const uint64_t from = commit_.failed_from();
  if (from == 0) return;
  uint64_t undone = 0;
  for (auto change = pending_.rbegin(); change != pending_.rend() && change->ticket >= from; ++change) ++undone;
  std::cout << "[STORAGE] Sincronizzazione dei log fallita: annullate " << undone
            << " modifiche non ancora registrate" << std::endl;
  bool cut = true;
  for (; undone > 0; --undone) {
    PendingChange& change = pending_.back();
    if (change.is_block) {
      cut = undo_last_block(change.size_before) && cut;
    } else {
      cut = credits_file_.truncate(change.size_before) && cut;
      if (credit_lines_ && *credit_lines_ > 0) --*credit_lines_;
    }
    change.undo.restore();
    pending_.pop_back();
  }
  if (!cut) {
    // What the logs still hold could reach the disk later and be replayed:
    // no change may be written on top of it.
    logs_broken_ = true;
    std::cout << "[STORAGE] Impossibile annullare le modifiche nei log: scritture sospese"
              << std::endl;
  }
  commit_.recover();
}

}  // namespace ZezozuRiziv
