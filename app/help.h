// "rozeve --help" (also "-h", "help", and "node --help"): every command and
// every node option, printed without starting anything.
#pragma once

#include <ostream>

namespace ZezozuRiziv {

// True for "rozeve --help", "-h" and "help", and for "node" or "rpc" with
// "--help" or "-h" among their arguments.
bool asks_for_help(int argc, char** argv);

void print_help(std::ostream& out);

}  // namespace ZezozuRiziv
