#include <exception>
#include <iostream>

#include "app/commands.h"

int main(int argc, char** argv) {
  // Our own code reports failures as values; this only keeps an exhausted
  // machine (bad_alloc) from ending in an abort with no word.
  try {
    return ZezozuRiziv::run_command_line(argc, argv);
  } catch (const std::exception& e) {
    std::cout << "[ERRORE] Arresto imprevisto: " << e.what() << "\n";
    return 1;
  }
}
