#include "app/node.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <utility>

#include "app/console.h"
#include "app/data_lock.h"
#include "app/peer_handlers.h"
#include "chain/accounts.h"
#include "chain/block.h"
#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "chain/wallet.h"
#include "crypto/text.h"
#include "p2p/p2p_node.h"
#include "platform/process.h"
#include "server/rpc_server.h"
#include "platform/directory_lock.h"
#include "platform/file_system.h"
#include "platform/socket.h"
#include "storage/checkpointer.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

constexpr int kWaitPollMs = 500;
constexpr char kPublicRpcUrl[] = "https://rpc.rozeve.network";
constexpr int kExitFailure = 1;

// Cleared by the stop signal; the wait loop watches it.
std::atomic<bool> g_rpc_server_running{true};
static_assert(std::atomic<bool>::is_always_lock_free);

void sigint_handler(int) { g_rpc_server_running.exchange(false); }

// What this start itself created before it could write anything: the
// data directory and its LOCK, when they were not there. A refusal names
// them, so that "nothing was changed" is never said of a directory that
// the start did change.
struct StartTraces {
  bool created_dir = false;
  bool created_lock = false;

  // Looked at before the lock is taken.
  static StartTraces before_lock(const std::string& dir) {
    StartTraces traces;
    traces.created_dir = platform::path_kind(dir) == platform::PathKind::kMissing;
    traces.created_lock =
        platform::path_kind(dir + "/" + platform::kLockFileName) == platform::PathKind::kMissing;
    return traces;
  }
  // After "nessun file ... modificato": what was created all the same.
  std::string note(const std::string& dir) const {
    const std::string lock = dir + "/" + platform::kLockFileName;
    if (created_dir) return " (creati solo la cartella " + dir + " e il file di blocco " + lock + ")";
    if (created_lock) return " (creato solo il file di blocco " + lock + ")";
    return "";
  }
};

void refuse_start(const std::string& reason, const std::string& note) {
  std::cout << "[NODO] " << reason << ". Avvio interrotto: nessun file di dati e' stato modificato"
            << note << "." << std::endl;
}

// Brings the ledger up before any other thread exists: reads state.json and
// the two logs (stopping on a damaged one), applies the logged changes the
// state lacks, creates the chain on a first start and refills an empty pool.
// False, with the reason printed, when the node must not run.
bool open_ledger(Storage& storage, State& state, const std::string& note) {
  Ledger ledger(storage, state);
  CatchUpReport report;
  LedgerResult opened = ledger.load_and_catch_up(report);
  if (opened) opened = ledger.cut_crash_traces(report);
  if (!opened) {
    refuse_start(opened.error, note);
    return false;
  }
  // Checked before the first write, so that a read-only or full disk stops
  // the start instead of acknowledging what it cannot keep.
  if (!platform::probe_writable_directory(storage.data_dir())) {
    refuse_start("La cartella dati " + storage.data_dir() + " non e' scrivibile", note);
    return false;
  }
  if (storage.get_blocks_cached().empty()) {
    // A state without its log would get a second supply on top of it.
    if (!report.state_missing) {
      refuse_start(storage.state_path() + " esiste ma " + storage.blocks_path() +
                   " non contiene blocchi", note);
      return false;
    }
    std::cout << "[INIT] Generazione del blocco Genesis ufficiale della rete Rozeve...\n";
    const Wallet treasury = Wallet::generate();
    CommittedBlock genesis;
    LedgerResult created = ledger.commit_genesis(treasury.address(), genesis);
    if (!created) {
      std::cout << "[INIT] Impossibile creare il blocco Genesis: " << created.error << std::endl;
      return false;
    }
    if (LedgerResult saved = ledger.checkpoint(); !saved) {
      // A genesis whose state cannot be kept is taken out of the log again:
      // a failed first start leaves no chain behind.
      const bool undone = genesis.undo && static_cast<bool>(ledger.undo_block(*genesis.undo));
      std::cout << "[INIT] Impossibile creare il blocco Genesis: " << storage.state_path()
                << " non si lascia scrivere. "
                << (undone ? "Il blocco Genesis e' stato tolto da " + storage.blocks_path() +
                                 ": nessuna catena creata."
                           : "Il blocco Genesis resta in " + storage.blocks_path() +
                                 " (il file non si lascia accorciare): al prossimo avvio lo stato "
                                 "sara' ricostruito da esso.")
                << std::endl;
      return false;
    }
    std::cout << "[INIT] Genesis Block creato! Indirizzo Treasury: " << treasury.address() << "\n"
              << "[INIT] Dotato Game Reward Pool (" << kRewardPoolAddress << ") con 500.000 RUZ.\n";
    return true;
  }
  if (report.replayed_any()) {
    if (!ledger.checkpoint()) {
      refuse_start("Impossibile salvare " + storage.state_path(), note);
      return false;
    }
    std::cout << "[INIT] " << (report.state_missing ? "Stato ricostruito: applicati " : "Applicati ")
              << report.replayed << " blocchi di " << storage.blocks_path() << " e "
              << report.credits_replayed << " righe di " << storage.credits_path()
              << " non inclusi in " << storage.state_path() << std::endl;
  }
  bool refilled = false;
  if (LedgerResult refill = ledger.refill_reward_pool(refilled); !refill) {
    refuse_start(refill.error, note);
    return false;
  }
  if (refilled) {
    std::cout << "[INIT] Dotato Game Reward Pool (" << kRewardPoolAddress
              << ") con 500.000 RUZ dalla riserva!\n";
  }
  return true;
}

void print_validator_box(const NodeOptions& options, const std::string& address, uint64_t stake,
                         bool qualified) {
  if (address.empty()) {
    std::cout << "\n[INFO NODO] Nessun validator.json rilevato. Avvio come Full Node sentinella.\n";
    return;
  }
  const uint64_t coins = stake / kAtomicPerCoin;
  if (qualified) {
    std::error_code ec;
    const bool from_file = std::filesystem::exists(options.validator_file, ec);
    std::cout << "\n" << kRule << "\n"
              << "  \u2605 NODO VALIDATORE AUTORIZZATO ATTIVO (ZEZOZURIZIV PoS) \u2605            \n"
              << kRule << "\n"
              << "  * Configurazione:       " << (from_file ? options.validator_file : "CLI flag") << "\n"
              << "  * Indirizzo Validatore: " << address << "\n"
              << "  * Saldo in Staking:     " << coins << " RUZ\n"
              << "  * Stato Protocollo:     \U0001F7E2 QUALIFICATO & ATTIVO AL CONIO\n"
              << "  * Beneficiario Fee PoS: " << address << " (0.4% Fee di Rete)\n"
              << kRule << "\n";
  } else {
    std::cout << "\n" << kRule << "\n"
              << "  [ATTENZIONE VALIDATORE] Indirizzo in configurazione non idoneo:     \n"
              << "  * Indirizzo:            " << address << "\n"
              << "  * Staking Registrato:   " << coins << " RUZ (Richiesti: 1.000 RUZ)\n"
              << "  * Il nodo operera' come Full Node in attesa dello staking minimo.   \n"
              << kRule << "\n";
  }
}

// The plain HTTP address is the one the server listens on, port included.
void print_wallet_box(const std::string& http_address, uint16_t http_port, uint16_t p2p_port) {
  std::cout << "\n" << kRule << "\n"
            << "       NODO ROZEVE CHAIN ATTIVO - COMPATIBILE CON METAMASK            \n"
            << kRule << "\n"
            << " Configura MetaMask aggiungendo una nuova rete personalizzata:\n"
            << "   * Nome Rete:       Rozeve Network\n"
            << "   * Nuovo URL RPC:   " << kPublicRpcUrl << " (o http://" << http_address << ":"
            << http_port << ")\n"
            << "   * ID Catena:       202677\n"
            << "   * Simbolo Valuta:  RUZ\n"
            << "   * Server P2P:      Porta TCP " << p2p_port << "\n"
            << kRule << "\n"
            << " Suggerimento: appena colleghi il tuo indirizzo MetaMask, riceverai    \n"
            << " automaticamente 100 RUZ gratuiti di benvenuto per fare test!          \n"
            << kRule << "\n";
}

void connect_seed(P2PNode& p2p, const std::string& host, uint16_t port) {
  std::cout << "[P2P] Connessione al peer seed: " << host << ":" << port << "...\n";
  if (p2p.connect_to_peer(host, port)) {
    std::cout << "[P2P CONNESSO] Collegato con successo al peer " << host << ":" << port << "!\n";
  } else {
    std::cout << "[P2P ATTENZIONE] Impossibile contattare il peer " << host << ":" << port
              << " (nodo in modalita standalone).\n";
  }
}

// A decimal port from 1 to 65535 into `port`; false, with the reason, otherwise.
bool set_port(const std::string& option, const std::string& text, uint16_t& port,
              std::string& error) {
  const auto parsed = parse_port(text);
  if (!parsed) {
    error = "Porta non valida per " + option + ": \"" + text + "\" (serve un numero da 1 a 65535)";
    return false;
  }
  port = *parsed;
  return true;
}

bool set_ipv4(const std::string& option, const std::string& text, std::string& address,
              std::string& error) {
  if (!platform::is_ipv4_address(text)) {
    error = "Indirizzo non valido per " + option + ": \"" + text +
            "\" (serve un indirizzo IPv4 come 127.0.0.1)";
    return false;
  }
  address = text;
  return true;
}

// An option that takes a value, "--name value" or "--name=value".
struct ValueOption {
  const char* name;
  const char* short_name;  // "" when it has none
  // False, with the reason in `error`, for a value the option refuses.
  bool (*set)(const std::string& option, const std::string& value, NodeOptions& options,
              std::string& error);
};

const ValueOption kValueOptions[] = {
    {"--peer", "-p",
     [](const std::string&, const std::string& v, NodeOptions& o, std::string&) {
       o.seed_peer = v;
       return true;
     }},
    {"--validator", "-v",
     [](const std::string&, const std::string& v, NodeOptions& o, std::string&) {
       o.validator_address = v;
       return true;
     }},
    {"--validator-config", "",
     [](const std::string&, const std::string& v, NodeOptions& o, std::string&) {
       o.validator_file = v;
       return true;
     }},
    {"--p2p-port", "",
     [](const std::string& n, const std::string& v, NodeOptions& o, std::string& e) {
       return set_port(n, v, o.p2p_port, e);
     }},
    {"--rpc-port", "",
     [](const std::string& n, const std::string& v, NodeOptions& o, std::string& e) {
       return set_port(n, v, o.rpc_port, e);
     }},
    {"--bind", "",
     [](const std::string& n, const std::string& v, NodeOptions& o, std::string& e) {
       return set_ipv4(n, v, o.bind_address, e);
     }},
    {"--p2p-bind", "",
     [](const std::string& n, const std::string& v, NodeOptions& o, std::string& e) {
       return set_ipv4(n, v, o.p2p_bind_address, e);
     }},
};

std::string ignored_line(const std::string& arg, const std::string& why) {
  return "[NODO] Argomento ignorato: \"" + arg + "\" (" + why + ")";
}

// The node's two listening sockets, opened before anything is written so
// that a port that will not open stops a first start with no chain, world
// or password behind it. Each is closed here unless handed to its server.
struct NodePorts {
  platform::SocketHandle http = platform::kInvalidSocket;
  platform::SocketHandle peers = platform::kInvalidSocket;

  NodePorts() = default;
  NodePorts(const NodePorts&) = delete;
  NodePorts& operator=(const NodePorts&) = delete;
  ~NodePorts() {
    if (http != platform::kInvalidSocket) platform::close_socket(http);
    if (peers != platform::kInvalidSocket) platform::close_socket(peers);
  }

  // False, with the port that failed named on the console.
  bool open(const NodeOptions& options) {
    std::string error;
    http = platform::listen_tcp(options.bind_address, options.rpc_port, error);
    if (http == platform::kInvalidSocket) {
      std::cout << "[RPC] Impossibile aprire la porta HTTP " << options.rpc_port << " su "
                << options.bind_address << ": " << error << std::endl;
      return false;
    }
    peers = platform::listen_tcp(options.p2p_bind_address, options.p2p_port, error);
    if (peers == platform::kInvalidSocket) {
      std::cout << "[P2P] Impossibile aprire la porta P2P " << options.p2p_port << " su "
                << options.p2p_bind_address << ": " << error << std::endl;
      return false;
    }
    return true;
  }
};

void wait_for_stop(bool daemon) {
  using std::chrono::milliseconds;
  if (!daemon) {
    std::cout << "[NODO IN ESECUZIONE] Premi Invio per arrestare il server (o segnale di stop)...\n";
    if (platform::wait_for_console_line(g_rpc_server_running, kWaitPollMs) !=
        platform::ConsoleWait::kClosed) {
      return;
    }
    // No console to read: run until a stop signal, as a daemon does.
  } else {
    std::cout << "[NODO IN MODALITA DAEMON] Server RPC in esecuzione continua in background...\n";
  }
  while (g_rpc_server_running.load()) std::this_thread::sleep_for(milliseconds(kWaitPollMs));
}

}  // namespace

std::string peer_port_lines(const std::string& address, uint16_t port) {
  std::string lines = "[P2P] Server P2P in ascolto su " + address + ":" + std::to_string(port) + "\n";
  // 127.0.0.0/8; the address passed is_ipv4_address, so it has four decimal parts.
  if (!address.starts_with("127.")) {
    lines += "[P2P ATTENZIONE] Porta P2P aperta oltre il loopback: le transazioni e i blocchi dei "
             "peer non sono autenticati (chiunque raggiunga la porta puo' inviarli).\n";
  }
  return lines;
}

std::optional<uint16_t> parse_port(const std::string& text) {
  if (text.size() > 5) return std::nullopt;
  const std::optional<uint64_t> value = RozeveCrypto::parse_plain_decimal(text);
  if (!value || *value < 1 || *value > 65535) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

std::optional<NodeOptions> parse_node_options(int argc, char** argv, std::string& error) {
  NodeOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--daemon" || arg == "-d") {
      options.daemon = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    const auto option = std::find_if(std::begin(kValueOptions), std::end(kValueOptions),
                                      [&name](const ValueOption& o) {
                                        return name == o.name ||
                                               (*o.short_name != '\0' && name == o.short_name);
                                      });
    if (option == std::end(kValueOptions)) {
      options.ignored.push_back(ignored_line(arg, "opzione sconosciuta"));
      continue;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        options.ignored.push_back(ignored_line(arg, "manca il valore"));
        continue;
      }
      value = argv[++i];
    }
    if (!option->set(option->name, value, options, error)) return std::nullopt;
  }
  // The seed's host and port are checked now, before anything starts: a
  // host name would never be reached (peers are dialled by address only).
  if (!options.seed_peer.empty()) {
    const size_t colon = options.seed_peer.find(':');
    std::string host;
    if (!set_ipv4("--peer", options.seed_peer.substr(0, colon), host, error)) return std::nullopt;
    uint16_t ignored;
    if (colon != std::string::npos &&
        !set_port("--peer", options.seed_peer.substr(colon + 1), ignored, error)) {
      return std::nullopt;
    }
  }
  return options;
}

std::string read_validator_file(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) || ec) return "";
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  size_t key = text.find("\"validator_address\"");
  if (key == std::string::npos) key = text.find("\"address\"");
  if (key == std::string::npos) return "";
  const size_t colon = text.find(':', key);
  if (colon == std::string::npos) return "";
  const size_t open = text.find('"', colon);
  if (open == std::string::npos) return "";
  const size_t close = text.find('"', open + 1);
  if (close == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

int run_node(int argc, char** argv) {
  // A running node's console is read by operators and scripts as it goes.
  std::cout << std::unitbuf;
  std::string error;
  const std::optional<NodeOptions> parsed = parse_node_options(argc, argv, error);
  if (!parsed) {
    std::cout << "[NODO] " << error << "\n";
    return 1;
  }
  const NodeOptions& options = *parsed;
  for (const std::string& line : options.ignored) std::cerr << line << std::endl;

  // One writer per data directory, taken before anything is written in it
  // and held until the node ends.
  platform::DirectoryLock data_lock;
  const StartTraces traces = StartTraces::before_lock(kNodeDataDir);
  if (!lock_data_dir(kNodeDataDir, data_lock, std::cout)) return kExitFailure;
  NodePorts ports;
  if (!ports.open(options)) {
    std::cout << "[NODO] Avvio interrotto: il nodo non puo' servire senza le sue porte; "
                 "nessun blocco, stato, mondo di gioco o password e' stato scritto."
              << std::endl;
    return kExitFailure;
  }
  Storage storage(kNodeDataDir);
  State state;
  Mempool mempool;
  ChainLock chain_lock;
  if (!open_ledger(storage, state, traces.note(kNodeDataDir))) return kExitFailure;
  // Stopped (and joined) after the server and the peer node, which write.
  Checkpointer checkpointer(storage, state, chain_lock);

  std::string validator = options.validator_address;
  if (validator.empty()) validator = read_validator_file(options.validator_file);
  validator = RozeveCrypto::ascii_lower(validator);

  P2PNode p2p(options.p2p_port, options.p2p_bind_address);
  p2p.on_transaction = [&](const Transaction& tx) {
    handle_peer_transaction(tx, mempool, storage, state, chain_lock);
  };
  p2p.on_block = [&](const Block& block) { handle_peer_block(block, storage, state, chain_lock); };
  if (!p2p.start_server(std::exchange(ports.peers, platform::kInvalidSocket))) return kExitFailure;
  std::cout << peer_port_lines(options.p2p_bind_address, p2p.bound_port());

  ServerOptions server_options;
  server_options.bind_address = options.bind_address;
  server_options.listener = std::exchange(ports.http, platform::kInvalidSocket);
  RPCServer server(state, mempool, storage, chain_lock, options.rpc_port, kChainId,
                   server_options);
  // A game file that exists but cannot be read is never replaced by a
  // fresh one: the node stops before it answers anyone.
  if (server.game.load_failed()) {
    std::cout << "[NODO] " << server.game.load_error() << " Avvio interrotto." << std::endl;
    p2p.stop_server();
    return kExitFailure;
  }
  // Claims a crash cut short are settled against the log, now caught up,
  // before anyone is answered.
  {
    platform::ReadLock lock(chain_lock);
    if (std::string settle_error; !server.game.settle_pending_claims(storage, settle_error)) {
      std::cout << "[NODO] " << settle_error << ". Avvio interrotto." << std::endl;
      p2p.stop_server();
      return kExitFailure;
    }
  }
  uint64_t stake = 0;
  if (!validator.empty()) {
    platform::ReadLock lock(chain_lock);
    stake = state.get_stake(validator);
  }
  const bool qualified = !validator.empty() && stake >= kMinValidatorStake;
  if (qualified) server.node_validator_address = validator;
  if (!server.start()) {
    std::cout << "[NODO] Server HTTP non avviato: il nodo si arresta." << std::endl;
    p2p.stop_server();
    return kExitFailure;
  }

  print_validator_box(options, validator, stake, qualified);
  print_wallet_box(options.bind_address, server.bound_port(), p2p.bound_port());

  if (!options.seed_peer.empty()) {
    const size_t colon = options.seed_peer.find(':');
    const std::string host = options.seed_peer.substr(0, colon);
    const uint16_t port = colon == std::string::npos
                              ? kDefaultP2PPort
                              : parse_port(options.seed_peer.substr(colon + 1)).value_or(kDefaultP2PPort);
    connect_seed(p2p, host, port);
  }

  platform::install_stop_handler(sigint_handler);
  wait_for_stop(options.daemon);

  server.stop();
  p2p.stop_server();
  std::cout << "[NODO] Server arrestato correttamente.\n";
  return 0;
}

}  // namespace ZezozuRiziv
