// Tells a thread pool that one of its threads waits for something that needs
// no CPU (the disk's sync of a change), so that the pool can put another
// thread to work meanwhile: a pool of N threads then keeps N requests moving
// however many of its threads wait for the disk. The code that waits only
// opens a BlockingScope; the pool sets the observer of its own threads.
#pragma once

namespace platform {

class BlockingObserver {
 public:
  // The calling thread starts / stops waiting.
  virtual void begin_blocking() = 0;
  virtual void end_blocking() = 0;

 protected:
  ~BlockingObserver() = default;
};

namespace detail {
inline thread_local BlockingObserver* blocking_observer = nullptr;
}  // namespace detail

// Sets the observer of the calling thread (null: none, the default). It must
// outlive every scope opened on the thread.
inline void set_blocking_observer(BlockingObserver* observer) { detail::blocking_observer = observer; }

// The calling thread waits while the scope lives; nothing happens on a
// thread without an observer.
class BlockingScope {
 public:
  BlockingScope() : observer_(detail::blocking_observer) {
    if (observer_ != nullptr) observer_->begin_blocking();
  }
  ~BlockingScope() {
    if (observer_ != nullptr) observer_->end_blocking();
  }
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  BlockingObserver* const observer_;
};

}  // namespace platform
