// The process's console and stop signals.
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

}  // namespace platform
