#include "app/help.h"

#include <string_view>

namespace ZezozuRiziv {
namespace {

bool is_help_word(std::string_view arg) { return arg == "--help" || arg == "-h"; }

}  // namespace

bool asks_for_help(int argc, char** argv) {
  if (argc < 2) return false;
  const std::string_view command = argv[1];
  if (command == "help" || is_help_word(command)) return true;
  if (command != "node" && command != "rpc") return false;
  for (int i = 2; i < argc; ++i) {
    if (is_help_word(argv[i])) return true;
  }
  return false;
}

void print_help(std::ostream& out) {
  out << "Utilizzo della CLI Rozeve Blockchain:\n"
      << "  rozeve                               - Banner, questo elenco e la modalita' DEMO\n"
      << "  rozeve demo                          - Esegue test end-to-end completo della catena\n"
      << "  rozeve wallet new                    - Crea una nuova coppia di chiavi e indirizzo RUZ\n"
      << "  rozeve wallet balance <indirizzo>    - Controlla saldo disponibile e in stake\n"
      << "  rozeve chain info                    - Mostra lo stato e l'altezza della blockchain\n"
      << "  rozeve chain dump                    - Stampa tutti i blocchi presenti su disco\n"
      << "  rozeve node [opzioni]                - Avvia il nodo completo (anche: rozeve rpc)\n"
      << "  rozeve fund <indirizzo> [quantita]   - Accredita RUZ di test in data/ a nodo fermo\n"
      << "                                         (1000 se omessa, al massimo 10000)\n"
      << "  rozeve help | --help | -h            - Mostra questo aiuto\n"
      << "\n"
      << "Opzioni di rozeve node:\n"
      << "  --rpc-port <n>                 Porta HTTP (predefinita 8545)\n"
      << "  --bind <ipv4>                  Indirizzo della porta HTTP (predefinito 0.0.0.0)\n"
      << "  --p2p-port <n>                 Porta P2P (predefinita 8888)\n"
      << "  --p2p-bind <ipv4>              Indirizzo della porta P2P (predefinito 127.0.0.1)\n"
      << "  --peer, -p <ipv4[:porta]>      Peer seed da contattare all'avvio (porta 8888 se omessa)\n"
      << "  --validator, -v <indirizzo>    Indirizzo validatore del nodo\n"
      << "  --validator-config <file>      File con \"validator_address\" o \"address\"\n"
      << "                                 (predefinito validator.json)\n"
      << "  --daemon, -d                   Non legge la console: si arresta solo con un segnale\n"
      << "  --help, -h                     Mostra questo aiuto senza avviare il nodo\n"
      << "Le opzioni con un valore accettano anche la forma --opzione=valore.\n";
}

}  // namespace ZezozuRiziv
