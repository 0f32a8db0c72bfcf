// The one-writer rule of a data directory, as the commands that write
// ("node", "fund", the demonstration) apply it.
#pragma once

#include <ostream>
#include <string>

#include "platform/directory_lock.h"

namespace ZezozuRiziv {

// Takes the lock of `dir` into `lock`, before the command writes anything
// there. False, with one line on `out` naming the directory, when another
// writer holds it or it cannot be taken; the command then ends with
// status 1, having changed nothing.
[[nodiscard]] bool lock_data_dir(const std::string& dir, platform::DirectoryLock& lock,
                                 std::ostream& out);

}  // namespace ZezozuRiziv
