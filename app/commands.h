// The command line: dispatch of the command word and the one-shot commands.
#pragma once

namespace ZezozuRiziv {

// Runs the command that argv[1] names and returns the exit status: 1 after a
// usage line, 0 otherwise.
int run_command_line(int argc, char** argv);

}  // namespace ZezozuRiziv
