#include "platform/random.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace platform {

namespace {

// Kernels without getrandom: the same pool through its device.
bool fill_from_device(uint8_t* out, size_t size) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (size > 0) {
    const ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return ::close(fd) == 0;
}

}  // namespace

bool fill_random(void* buffer, size_t size) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    // Blocks only until the pool is first seeded at boot, never after.
    const ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return fill_from_device(out, size);
      return false;
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform
