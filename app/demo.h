#pragma once

#include <ostream>
#include <string>

namespace ZezozuRiziv {

// The scripted six-phase run of the ledger in its own data directory, which
// it empties first. Only the genesis failure line goes to `err`.
void run_demo(std::ostream& out, std::ostream& err, const std::string& data_dir);

}  // namespace ZezozuRiziv
