// The operating system's random source, for secrets: passwords, salts,
// session tokens and the random parts of ids.
#pragma once

#include <cstddef>

namespace platform {

// Fills `buffer` with `size` bytes from the kernel's random source. False
// when the source cannot be read (the buffer is then unspecified).
[[nodiscard]] bool fill_random(void* buffer, size_t size);

}  // namespace platform
