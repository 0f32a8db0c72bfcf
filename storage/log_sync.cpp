// Storage: the group commit of the two logs. Writers append under the chain
// lock and register the change; then, outside it, the first waiter syncs
// both logs for everyone who appended before it started, while the next
// writers append behind it. Nobody is answered before their change is
// durable; a failed sync undoes every change not yet durable.
#include <iostream>

#include "storage/storage.h"

namespace ZezozuRiziv {

uint64_t Storage::add_pending(bool is_block, uint64_t size_before, StateUndo undo) {
  platform::MutexLock lock(sync_mutex_);
  const uint64_t ticket = ++issued_;
  (is_block ? blocks_dirty_ : credits_dirty_) = true;
  pending_.push_back(PendingChange{ticket, is_block, size_before, std::move(undo)});
  return ticket;
}

uint64_t Storage::last_ticket() const {
  platform::MutexLock lock(sync_mutex_);
  return issued_;
}

bool Storage::is_undone(uint64_t ticket) const {
  for (const auto& [first, last] : undone_) {
    if (ticket >= first && ticket <= last) return true;
  }
  return false;
}

bool Storage::wait_durable(uint64_t ticket, ChainLock* chain_lock) {
  platform::MutexLock lock(sync_mutex_);
  while (true) {
    if (ticket <= settled_) return !is_undone(ticket);
    if (sync_failed_) {
      if (chain_lock == nullptr) {
        undo_pending();
        continue;
      }
      // Undoing needs the chain lock, which comes before this one.
      lock.unlock();
      {
        platform::WriteLock chain(*chain_lock);
        platform::MutexLock again(sync_mutex_);
        if (sync_failed_) undo_pending();
      }
      lock.lock();
      continue;
    }
    if (leading_) {
      lock.wait(sync_cv_);
      continue;
    }
    // Lead one sync for every change appended so far.
    leading_ = true;
    const uint64_t target = issued_;
    const bool blocks = blocks_dirty_;
    const bool credits = credits_dirty_;
    blocks_dirty_ = credits_dirty_ = false;
    lock.unlock();
    // Credits first: a block may spend a credit, never the reverse, so a
    // crash between the two syncs leaves nothing a replay cannot apply.
    const bool synced = !fail_syncs_.load() && (!credits || credits_file_.sync()) &&
                        (!blocks || blocks_file_.sync());
    log_syncs_.fetch_add(1);
    lock.lock();
    leading_ = false;
    if (synced) {
      if (target > settled_) settled_ = target;
      while (!pending_.empty() && pending_.front().ticket <= settled_) pending_.pop_front();
    } else {
      sync_failed_ = true;
    }
    sync_cv_.notify_all();
  }
}

void Storage::undo_pending() {
  std::cout << "[STORAGE] Sincronizzazione dei log fallita: annullate " << pending_.size()
            << " modifiche non ancora registrate" << std::endl;
  bool cut = true;
  for (auto change = pending_.rbegin(); change != pending_.rend(); ++change) {
    if (change->is_block) {
      cut = undo_last_block(change->size_before) && cut;
    } else {
      cut = credits_file_.truncate(change->size_before) && cut;
      if (credit_lines_ && *credit_lines_ > 0) --*credit_lines_;
    }
    change->undo.restore();
  }
  if (!cut) {
    // What the logs still hold could reach the disk later and be replayed:
    // no change may be written on top of it.
    logs_broken_ = true;
    std::cout << "[STORAGE] Impossibile annullare le modifiche nei log: scritture sospese"
              << std::endl;
  }
  if (issued_ > settled_) undone_.emplace_back(settled_ + 1, issued_);
  settled_ = issued_;
  pending_.clear();
  sync_failed_ = false;
  sync_cv_.notify_all();
}

}  // namespace ZezozuRiziv
