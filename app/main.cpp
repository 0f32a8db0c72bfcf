#include <cstring>
#include <exception>
#include <iostream>

#include "app/commands.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::settle_time_zone();
  // The node loads the whole game world at start.
  if (argc > 1 && std::strcmp(argv[1], "node") == 0) platform::reexec_with_huge_page_heap(argv);
  // Our own code reports failures as values; this only keeps an exhausted
  // machine (bad_alloc) from ending in an abort with no word.
  try {
    return ZezozuRiziv::run_command_line(argc, argv);
  } catch (const std::exception& e) {
    std::cout << "[ERRORE] Arresto imprevisto: " << e.what() << "\n";
    return 1;
  }
}
