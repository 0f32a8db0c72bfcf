#include "app/commands.h"

#include <iostream>
#include <optional>
#include <shared_mutex>
#include <string>

#include "app/banner.h"
#include "app/console.h"
#include "app/data_lock.h"
#include "app/demo.h"
#include "app/help.h"
#include "app/node.h"
#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "chain/tokenomics.h"
#include "chain/wallet.h"
#include "crypto/text.h"
#include "server/account_keys.h"
#include "server/faucet.h"
#include "server/rpc_server.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 1;

// Whole coins the fund command credits when no amount is given.
constexpr uint64_t kFundDefaultCoins = 1'000;
constexpr char kFundUsage[] = "Uso: rozeve fund <indirizzo_0x_MetaMask> [quantita_RUZ]\n";

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
// changes it lacks, applied in memory only. False, with the damaged file
// named, instead of zero figures. A `writer` also clears the traces of a
// crash from credits.dat, so that it can append.
bool read_ledger(Storage& storage, State& state, bool writer = false) {
  Ledger ledger(storage, state);
  CatchUpReport report;
  LedgerResult read = ledger.load_and_catch_up(report);
  if (read && writer) read = ledger.cut_crash_traces(report);
  if (!read) {
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
  // The key the server reads and credits: a 0x address in any letter case
  // is one account.
  const std::string key = account_key(address);
  std::cout << "\n=== SALDO ROZEVE PER: " << address << " ===\n"
            << "Saldo Spendibile: " << fmt(state.get_balance(key)) << "\n"
            << "Saldo in Staking: " << fmt(state.get_stake(key)) << "\n"
            << "Nonce Account:    " << state.get_nonce(key) << "\n\n";
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
  if (std::optional<std::string> damage = storage.check_block_log()) {
    std::cout << "[STORAGE] " << *damage << "\n";
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

// Mints faucet coins on the node's ledger through the server, as the faucet
// route does. Refused before anything is read: an address that cannot hold
// coins, an amount that is not a plain decimal number. Refused before the
// server (and its game world) is built: damaged ledger files, or no chain at
// all (a state.json without its block log would stop the node's start).
int fund_command(int argc, char** argv) {
  if (argc < 3) {
    std::cout << kFundUsage;
    return kExitUsage;
  }
  const std::string address = argv[2];
  const std::optional<uint64_t> coins =
      argc > 3 ? RozeveCrypto::parse_plain_decimal(argv[3]) : kFundDefaultCoins;
  if (!coins || !writable_account_key(address)) {
    std::cout << kFundUsage;
    return kExitUsage;
  }
  // A running node would overwrite the credit with its next save.
  platform::DirectoryLock data_lock;
  if (!lock_data_dir(kNodeDataDir, data_lock, std::cout)) return kExitFailure;
  Storage storage(kNodeDataDir);
  State state;
  if (!read_ledger(storage, state, true)) return kExitFailure;
  if (storage.get_blocks_cached().empty()) {
    std::cout << "[RPC] Nessuna catena in " << storage.data_dir()
              << ": avvia prima il nodo (rozeve node), che crea il blocco Genesis.\n";
    return kExitFailure;
  }
  Mempool mempool;
  ChainLock chain_lock;
  RPCServer server(state, mempool, storage, chain_lock, kDefaultRpcPort, kChainId);
  // The engine has named the file; nothing is credited next to a world
  // that the node would refuse to start with.
  if (server.game.load_failed()) return kExitFailure;
  FundReceipt receipt;
  if (LedgerResult funded = server.fund_metamask_account(address, *coins, receipt); !funded) {
    std::cout << "[RPC] Accredito non eseguito: " << funded.error << "\n";
    return kExitFailure;
  }
  std::cout << "Accreditati " << receipt.coins << " RUZ all'indirizzo: " << address << "\n"
            << "Nuovo Saldo: " << fmt(state.get_balance(receipt.account)) << "\n\n";
  return kExitOk;
}

// The demonstration empties its directory first: never under another writer.
int demo_command(bool with_usage) {
  platform::DirectoryLock data_lock;
  if (!lock_data_dir(kDemoDataDir, data_lock, std::cout)) return kExitFailure;
  if (with_usage) {
    print_banner(std::cout);
    print_usage();
    std::cout << "Avvio automatico della modalita' DEMO...\n";
  }
  run_demo(std::cout, std::cerr, kDemoDataDir);
  return kExitOk;
}

}  // namespace

int run_command_line(int argc, char** argv) {
  if (argc < 2) return demo_command(true);
  if (asks_for_help(argc, argv)) {
    print_help(std::cout);
    return kExitOk;
  }
  const std::string command = argv[1];
  if (command == "demo") return demo_command(false);
  if (command == "wallet") return wallet_command(argc, argv);
  if (command == "chain") return chain_command(argc, argv);
  if (command == "node" || command == "rpc") return run_node(argc, argv);
  if (command == "fund") return fund_command(argc, argv);
  std::cout << "Comando sconosciuto: " << command << "\n";
  return kExitUsage;
}

}  // namespace ZezozuRiziv
