#include "app/commands.h"

#include <iostream>
#include <string>

#include "app/banner.h"
#include "app/console.h"
#include "app/demo.h"
#include "app/node.h"
#include "chain/state.h"
#include "chain/tokenomics.h"
#include "chain/wallet.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 1;

std::string fmt(uint64_t amount) { return Tokenomics::format_amount(amount); }

// The read-only commands look at the node's chain, or at the demonstration's
// when the node has none. A damaged block log is the node's, to be reported.
std::string choose_data_dir() {
  Storage node(kNodeDataDir);
  return node.has_persisted_chain() || node.blocks_file_health() == FileHealth::kDamaged
             ? kNodeDataDir
             : kDemoDataDir;
}

// The state as the node would start from it: state.json plus the logged
// blocks it lacks, applied in memory only. False, with the damaged file
// named, instead of zero figures.
bool read_ledger(Storage& storage, State& state) {
  CatchUpReport report;
  if (LedgerResult read = Ledger(storage, state).load_and_catch_up(report, false); !read) {
    std::cout << "[STORAGE] " << read.error << "\n";
    return false;
  }
  return true;
}

// "abc" cut to `n` characters, always followed by "...".
std::string cut(const std::string& text, size_t n) { return text.substr(0, n) + "..."; }

void print_usage() {
  std::cout << "Utilizzo della CLI Rozeve Blockchain:\n"
            << "  rozeve demo                          - Esegue test end-to-end completo della catena\n"
            << "  rozeve wallet new                    - Crea una nuova coppia di chiavi e indirizzo RUZ\n"
            << "  rozeve wallet balance <indirizzo>    - Controlla saldo disponibile e in stake\n"
            << "  rozeve chain info                    - Mostra lo stato e l'altezza della blockchain\n"
            << "  rozeve chain dump                    - Stampa tutti i blocchi presenti su disco\n"
            << "\n";
}

int wallet_new() {
  const Wallet wallet = Wallet::generate();
  std::cout << "\n=== NUOVO PORTAFOGLIO ROZEVE CREATO ===\n"
            << "Indirizzo Pubblico (RUZ): " << wallet.address() << "\n"
            << "Chiave Privata (Hex):     " << wallet.private_key() << "\n"
            << "ATTENZIONE: Conserva la chiave privata in un luogo sicuro!\n\n";
  return kExitOk;
}

int wallet_balance(const std::string& address) {
  Storage storage(choose_data_dir());
  State state;
  if (!read_ledger(storage, state)) return kExitFailure;
  std::cout << "\n=== SALDO ROZEVE PER: " << address << " ===\n"
            << "Saldo Spendibile: " << fmt(state.get_balance(address)) << "\n"
            << "Saldo in Staking: " << fmt(state.get_stake(address)) << "\n"
            << "Nonce Account:    " << state.get_nonce(address) << "\n\n";
  return kExitOk;
}

int chain_info() {
  Storage storage(choose_data_dir());
  State state;
  if (!read_ledger(storage, state)) return kExitFailure;
  const std::vector<Block>& blocks = storage.get_blocks_cached();
  std::cout << "\n=== STATO DELLA BLOCKCHAIN ROZEVE ===\n"
            << "Altezza Catena:     " << blocks.size() << " blocchi\n"
            << "Supply Circolante:  " << fmt(state.get_total_circulating()) << "\n"
            << "Totale in Staking:  " << fmt(state.get_total_staked()) << "\n"
            << "Validatori Attivi:  " << state.get_active_validators().size() << "\n";
  if (!blocks.empty()) std::cout << "Ultimo Blocco Hash: " << blocks.back().block_hash << "\n";
  std::cout << "\n";
  return kExitOk;
}

int chain_dump() {
  Storage storage(choose_data_dir());
  if (storage.blocks_file_health() == FileHealth::kDamaged) {
    std::cout << "[STORAGE] File danneggiato: " << storage.blocks_path() << " (illeggibile)\n";
    return kExitFailure;
  }
  const std::vector<Block>& blocks = storage.get_blocks_cached();
  std::cout << "\n=== REGISTRO COMPLETO BLOCCHI ROZEVE (" << blocks.size() << " blocchi) ===\n";
  for (const Block& block : blocks) {
    std::cout << "#" << block.index << " | Hash: " << cut(block.block_hash, 16)
              << " | Tx: " << block.transactions.size()
              << " | Validatore: " << cut(block.validator, 12)
              << " | Merkle: " << cut(block.merkle_root, 12) << "\n";
  }
  std::cout << "\n";
  return kExitOk;
}

int wallet_command(int argc, char** argv) {
  if (argc < 3) {
    std::cout << "Uso: rozeve wallet <new|balance <addr>>\n";
    return kExitUsage;
  }
  const std::string sub = argv[2];
  if (sub == "new") return wallet_new();
  if (sub == "balance") {
    if (argc < 4) {
      std::cout << "Uso: rozeve wallet balance <indirizzo_RUZ>\n";
      return kExitUsage;
    }
    return wallet_balance(argv[3]);
  }
  return kExitOk;
}

int chain_command(int argc, char** argv) {
  if (argc < 3) {
    std::cout << "Uso: rozeve chain <info|dump>\n";
    return kExitUsage;
  }
  const std::string sub = argv[2];
  if (sub == "info") return chain_info();
  if (sub == "dump") return chain_dump();
  return kExitOk;
}

}  // namespace

int run_command_line(int argc, char** argv) {
  if (argc < 2) {
    print_banner(std::cout);
    print_usage();
    std::cout << "Avvio automatico della modalita' DEMO...\n";
    run_demo(std::cout, std::cerr, kDemoDataDir);
    return kExitOk;
  }
  const std::string command = argv[1];
  if (command == "demo") {
    run_demo(std::cout, std::cerr, kDemoDataDir);
    return kExitOk;
  }
  if (command == "wallet") return wallet_command(argc, argv);
  if (command == "chain") return chain_command(argc, argv);
  if (command == "node" || command == "rpc") return run_node(argc, argv);
  std::cout << "Comando sconosciuto: " << command << "\n";
  return kExitOk;
}

}  // namespace ZezozuRiziv
