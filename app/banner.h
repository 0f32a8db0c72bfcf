#pragma once

#include <ostream>

namespace ZezozuRiziv {

// The start-up banner of the command line and the demonstration.
void print_banner(std::ostream& out);

}  // namespace ZezozuRiziv
