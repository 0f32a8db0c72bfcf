// The process's console, stop signals and memory tuning.
#pragma once

#include <atomic>

namespace platform {

// Installs `handler` for SIGINT and SIGTERM without SA_RESTART, so that a
// blocked read of standard input is interrupted too.
void install_stop_handler(void (*handler)(int));

enum class ConsoleWait {
  kLine,     // a line (an empty one too) was read
  kClosed,   // standard input is at its end or failed
  kStopped,  // `running` became false
};
// Waits for one line on standard input while `running` holds, looking at
// the flag every `poll_ms`.
ConsoleWait wait_for_console_line(const std::atomic<bool>& running, int poll_ms);

// Runs the program again, once, with the C library's allocator asking the
// kernel for transparent huge pages: a world of a million lots is millions
// of small allocations, and faulting them in 2 MB at a time instead of 4 kB
// shortens the start severalfold where the kernel allows it (madvise mode).
// Does nothing when the environment already tunes the allocator or the
// program cannot be run again; returns only then.
void reexec_with_huge_page_heap(char** argv);

// Names the machine's zone file in TZ when TZ is unset, so that the C
// library reads the zone once instead of checking the file (a stat) on every
// local-time conversion, as it does without TZ: the game's sun reads local
// time on every view. A change of the machine's zone is then seen at the next
// start. Leaves a TZ that is set as it is. Call before any thread starts: the
// environment is not safe to change once they run.
void settle_time_zone();

// Hands the memory the allocator holds free back to the kernel: after a
// bulk job (reading a large world) whose scratch was freed, so that the
// resident size is what stays in use.
void release_free_memory();

}  // namespace platform
