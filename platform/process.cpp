#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

void install_stop_handler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a read in progress returns EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

ConsoleWait wait_for_console_line(const std::atomic<bool>& running, int poll_ms) {
  while (running.load()) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&in, 1, poll_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return ConsoleWait::kClosed;
    }
    if (ready == 0) continue;
    // Read what is there, one byte at a time, up to the end of the line.
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ConsoleWait::kClosed;
    if (c == '\n') return ConsoleWait::kLine;
  }
  return ConsoleWait::kStopped;
}

void reexec_with_huge_page_heap(char** argv) {
  constexpr char kTunables[] = "GLIBC_TUNABLES";
  if (std::getenv(kTunables) != nullptr) return;  // the operator's, or ours after the first run
  // The program's own path, not /proc/self/exe: the process keeps its name
  // for ps, pidof and killall.
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path - 1) return;
  path[n] = '\0';
  if (::setenv(kTunables, "glibc.malloc.hugetlb=1", 1) != 0) return;
  ::execv(path, argv);
  ::unsetenv(kTunables);  // the run goes on as it is
}

void settle_time_zone() {
  // ":" plus a path is a zone file to glibc: the one it reads without TZ.
  if (std::getenv("TZ") == nullptr) ::setenv("TZ", ":/etc/localtime", 0);
}

void release_free_memory() { ::malloc_trim(0); }

}  // namespace platform
