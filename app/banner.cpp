#include "app/banner.h"

#include "app/console.h"

namespace ZezozuRiziv {

void print_banner(std::ostream& out) {
  out << "\n"
      << kRule << "\n"
      << "      ROZEVE BLOCKCHAIN (RUZ) - Layer 1 Sovereign PoS Protocol        \n"
      << "   Eredita' di progetto: Bitcoin (SHA-256d) + Ethereum (JSON-RPC)     \n"
      << kRule << "\n"
      << " Max Supply: 21,000,000 RUZ | Consenso: Proof-of-Stake Modulare       \n"
      << " Algoritmo Hash: SHA-256d   | Slot Time: 5s | Decimali: 6             \n"
      << kRule << "\n\n";
}

}  // namespace ZezozuRiziv
