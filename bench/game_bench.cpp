// Game engine benchmarks on worlds that grow with their players: 10,000
// players owning 100,000 lots (10 each), then 1,000,000 lots (100 each),
// each player's lots a compact district of touching cells somewhere in
// Italy.
//
//   LoadWorld/N        building an engine on a world file of N lots (the
//                      load recomputes every player's power)
//   SaveWorld/N        one save of the full snapshot, fsync included, after
//                      one player and one lot changed
//   BuyWithSave/N      a purchase as a player makes it, its journal write
//                      and sync included
//   Viewport600/N, ViewportSparse/N, ViewportWorld/N, ViewportSea/N,
//   StateView/N,
//   Buy/N, Build/N, Upgrade/N
//                      the operations without the save: the engine refuses
//                      every save (as after a failed load), so each action
//                      runs all its checks and changes and is then undone
//   Telemetry/N        the administrator's telemetry, which sums over every
//                      player (10,000) and counts the N lots
//   LoginWithSave      a password login as the route makes it: a new
//                      session token, and the account's line journaled and
//                      synced
//
//   Leaderboard/P     the ranking view over P players with scattered powers
//   LeaderboardCopySort/P
//                      for comparison: every player copied and sorted, as
//                      a straightforward ranking would
//   Auctions/L         the market view of the 100,000-lot world with L lots
//                      on the market
//
//   BuyUnderViewports/N
//                      a purchase's p99 (save refused, as Buy) with no other
//                      traffic, then while 8 clients loop a wide viewport
//                      over empty sea; ratio = busy p99 / idle p99, in the
//                      same run, counting only buys that reached their save
//                      and viewports that answered "ok"
//
//   game_bench --generate <dir> <lots> writes such a world file and exits.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench_support.h"
#include "game/engine/game_engine.h"
#include "game/model/game_clock.h"
#include "game/rules/hex_grid.h"
#include "game/rules/market_rules.h"
#include "game/rules/plant_table.h"

namespace fs = std::filesystem;
using namespace ZezozuRiziv;

namespace ZezozuRiziv {
// The engine's test door, used here only to make saves fail at once.
class GameEngineTestPeer {
 public:
  static void refuse_saves(GameEngine& engine) {
    platform::WriteLock lock(engine.game_mutex);
    engine.load_failed_ = true;
  }
  // Runs `change(players, parcels)` under the game lock, then files the
  // lots it put on the market.
  template <typename Change>
  static void change_world(GameEngine& engine, Change change) {
    platform::WriteLock lock(engine.game_mutex);
    change(engine.players, engine.parcels);
    for (auto& [key, lot] : engine.parcels) engine.parcel_index_.refile_market(lot);
  }
  // The players copied and sorted, read under the shared game lock.
  static std::vector<PlayerProfile> sorted_players(const GameEngine& engine) {
    platform::ReadLock lock(engine.game_mutex);
    std::vector<PlayerProfile> all;
    all.reserve(engine.players.size());
    for (const auto& [key, p] : engine.players) all.push_back(p);
    std::stable_sort(all.begin(), all.end(), ranks_before);
    return all;
  }
};
}  // namespace ZezozuRiziv

namespace {

constexpr uint64_t kPlayers = 10'000;
constexpr int kRowCells = 10;  // a district is rows of this many touching cells
// 2024-06-21 10:00 UTC: the sun is up over Italy.
constexpr uint64_t kBenchNowMs = 1'718'964'000'000ULL;

std::string address_of(uint64_t i) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "0x%040llx", static_cast<unsigned long long>(i * 2654435761ULL + 1));
  return buffer;
}

void cell_centre(int64_t q, int64_t r, double& lat, double& lon) {
  const double y = 1.5 * static_cast<double>(r);
  const double x = (static_cast<double>(q) + static_cast<double>(r) / 2.0) * std::sqrt(3.0);
  lat = y * kHexLatStep;
  lon = x * kHexLonStep;
}

// A player's home cell.
void home_of(uint64_t player, int64_t& q, int64_t& r) {
  std::mt19937_64 rng(player * 7919 + 13);
  std::uniform_real_distribution<double> lat(37.0, 46.0);
  std::uniform_real_distribution<double> lon(7.0, 18.0);
  const double y = lat(rng) / kHexLatStep;
  const double x = lon(rng) / kHexLonStep;
  r = static_cast<int64_t>(std::llround(y / 1.5));
  q = static_cast<int64_t>(std::llround(x / std::sqrt(3.0) - static_cast<double>(r) / 2.0));
}

std::string world_text(uint64_t parcels) {
  const uint64_t per_player = parcels / kPlayers;
  const PlantLevelSpec* solar = get_plant_spec("solar", 1);
  std::string out;
  out.reserve(parcels * 230 + kPlayers * 120);
  char line[512];
  for (uint64_t p = 0; p < kPlayers; ++p) {
    std::snprintf(line, sizeof line, "P|%s|1000000000000|25.000000|5.000000|%llu|0\n", address_of(p).c_str(),
                  static_cast<unsigned long long>(kBenchNowMs - 1000));
    out += line;
  }
  for (uint64_t p = 0; p < kPlayers; ++p) {
    int64_t q0 = 0;
    int64_t r0 = 0;
    home_of(p, q0, r0);
    const std::string owner = address_of(p);
    for (uint64_t j = 0; j < per_player; ++j) {
      double lat = 0;
      double lon = 0;
      cell_centre(q0 + static_cast<int64_t>(j % kRowCells), r0 + static_cast<int64_t>(j / kRowCells), lat, lon);
      std::snprintf(line, sizeof line,
                    "L|%.5f_%.5f|%.6f|%.6f|%s|solar|1|%.6f|0.000000|%s|0|WC|0.000000|0.000000|0.000000||0|1|||||"
                    "|web\n",
                    lat, lon, lat, lon, owner.c_str(), solar->power_kw, solar->name.c_str());
      out += line;
    }
  }
  return out;
}

fs::path bench_root() {
  static const fs::path root =
      fs::temp_directory_path() /
      ("rozeve_game_bench_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  return root;
}

// The data directory of a world of `parcels` lots, written once.
std::string world_dir(uint64_t parcels) {
  static std::map<uint64_t, std::string> dirs;
  auto it = dirs.find(parcels);
  if (it != dirs.end()) return it->second;
  const fs::path dir = bench_root() / ("world_" + std::to_string(parcels));
  fs::create_directories(dir);
  std::ofstream(dir / "game_world.dat", std::ios::binary) << world_text(parcels);
  return dirs.emplace(parcels, dir.string()).first->second;
}

std::shared_ptr<ManualGameClock> bench_clock() {
  static const auto clock = std::make_shared<ManualGameClock>(kBenchNowMs);
  return clock;
}

// One engine per size that saves (for the save figures), one that refuses
// every save (for the operations alone).
GameEngine& engine_for(uint64_t parcels, bool saving) {
  static std::map<std::pair<uint64_t, bool>, std::unique_ptr<GameEngine>> engines;
  auto& slot = engines[{parcels, saving}];
  if (!slot) {
    const std::string src = world_dir(parcels);
    const fs::path copy = bench_root() / ("engine_" + std::to_string(parcels) + (saving ? "_s" : "_r"));
    fs::create_directories(copy);
    fs::copy_file(src + "/game_world.dat", copy / "game_world.dat", fs::copy_options::overwrite_existing);
    slot = std::make_unique<GameEngine>(copy.string(), bench_clock());
    if (!saving) GameEngineTestPeer::refuse_saves(*slot);
  }
  return *slot;
}

// The operations without their save end in the refused save: anything else
// means the benchmark measured an earlier refusal.
void expect_refused_save(benchmark::State& state, const std::string& out) {
  if (out.find("Salvataggio del mondo di gioco non riuscito") == std::string::npos) state.SkipWithError(out.c_str());
}

// Keeps the refused-save console lines out of the benchmark's output.
class QuietConsole {
 public:
  QuietConsole() : saved_(std::cout.rdbuf(nullptr)) {}
  ~QuietConsole() {
    std::cout.rdbuf(saved_);
    std::cout.clear();
  }

 private:
  std::streambuf* saved_;
};

// A free spot next to player 0's district, and a lot of player 0's.
void player_zero_spots(std::string& lot_key, double& free_lat, double& free_lon) {
  int64_t q0 = 0;
  int64_t r0 = 0;
  home_of(0, q0, r0);
  double lat = 0;
  double lon = 0;
  cell_centre(q0, r0, lat, lon);
  char key[64];
  std::snprintf(key, sizeof key, "%.5f_%.5f", lat, lon);
  lot_key = key;
  cell_centre(q0 - 2, r0, free_lat, free_lon);
}

// Player 0 buys the free spot next to its district.
void buy_next_to_player_zero(GameEngine& engine, std::string& out) {
  static const auto spot = [] {
    std::string key;
    double lat = 0;
    double lon = 0;
    player_zero_spots(key, lat, lon);
    char free_key[64];
    std::snprintf(free_key, sizeof free_key, "%.5f_%.5f", lat, lon);
    return std::tuple<std::string, double, double>(free_key, lat, lon);
  }();
  engine.buy_parcel(address_of(0), std::get<0>(spot), std::get<1>(spot), std::get<2>(spot), out, 0.0, 0.0, false);
}

void LoadWorld(benchmark::State& state) {
  const uint64_t parcels = static_cast<uint64_t>(state.range(0));
  const std::string dir = world_dir(parcels);
  for (auto _ : state) {
    auto engine = std::make_unique<GameEngine>(dir, bench_clock());
    benchmark::DoNotOptimize(engine->get_total_parcels_count());
    // Taking the world down is not part of loading it.
    state.PauseTiming();
    engine.reset();
    state.ResumeTiming();
  }
  state.counters["file_MB"] =
      static_cast<double>(rozeve_bench::file_size_or_zero(fs::path(dir) / "game_world.dat")) / 1e6;
}

void SaveWorld(benchmark::State& state) {
  GameEngine& engine = engine_for(static_cast<uint64_t>(state.range(0)), true);
  std::string key;
  double lat = 0;
  double lon = 0;
  player_zero_spots(key, lat, lon);
  const std::string owner = address_of(0);
  std::string out;
  int flip = 0;
  for (auto _ : state) {
    // One player and one lot change (a build alternating plants), then the
    // measured save.
    state.PauseTiming();
    if (!engine.build_plant(owner, key, ++flip % 2 ? "wind" : "solar", out)) state.SkipWithError(out.c_str());
    state.ResumeTiming();
    if (!engine.save_world()) state.SkipWithError("save failed");
  }
  state.counters["file_MB"] = static_cast<double>(rozeve_bench::file_size_or_zero(
                                  bench_root() / ("engine_" + std::to_string(state.range(0)) + "_s") /
                                  "game_world.dat")) /
                              1e6;
}

void BuyWithSave(benchmark::State& state) {
  GameEngine& engine = engine_for(static_cast<uint64_t>(state.range(0)), true);
  std::string out;
  uint64_t n = 0;
  for (auto _ : state) {
    // Each purchase a new lot of a new buyer, far from every district.
    const double lat = 30.0 + static_cast<double>(n / 1000) * 1e-3;
    const double lon = 30.0 + static_cast<double>(n % 1000) * 1e-3;
    char key[64];
    std::snprintf(key, sizeof key, "%.5f_%.5f", lat, lon);
    if (!engine.buy_parcel("0xbuyer" + std::to_string(n++), key, lat, lon, out, 0.0, 0.0, false)) {
      state.SkipWithError(out.c_str());
    }
  }
}

void Viewport(benchmark::State& state, double lat_min, double lat_max, double lon_min, double lon_max,
              const std::string& viewer = address_of(1)) {
  GameEngine& engine = engine_for(static_cast<uint64_t>(state.range(0)), false);
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string json = engine.get_viewport_parcels_json(lat_min, lat_max, lon_min, lon_max, viewer);
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  state.counters["answer_KB"] = static_cast<double>(bytes) / 1e3;
}

// 0.3 x 0.3 degrees in the middle of the lots: more than 600 in view.
void Viewport600(benchmark::State& state) { Viewport(state, 41.35, 41.65, 12.35, 12.65); }
// A map screen in a quiet corner: a few lots.
void ViewportSparse(benchmark::State& state) { Viewport(state, 41.500, 41.505, 12.500, 12.505); }
// The whole world in one rectangle: the cap stops it.
void ViewportWorld(benchmark::State& state) { Viewport(state, -90, 90, -180, 180); }
// West of every lot, on the same latitudes: 6 x 4.5 degrees of sea.
constexpr double kSeaLatMin = 38.0;
constexpr double kSeaLatMax = 44.0;
constexpr double kSeaLonMin = 2.0;
constexpr double kSeaLonMax = 6.5;
// A viewer without lots: nothing but the sea is looked at.
void ViewportSea(benchmark::State& state) {
  Viewport(state, kSeaLatMin, kSeaLatMax, kSeaLonMin, kSeaLonMax, address_of(kPlayers));
}

constexpr int kViewportClients = 8;
constexpr int kMeasuredBuys = 20000;

// The p99 of `buys` purchases by player 0 next to its district, in
// microseconds; `correct` counts those that got as far as their save.
double buy_p99_us(GameEngine& engine, int buys, uint64_t& correct) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(buys));
  std::string out;
  for (int i = 0; i < buys; ++i) {
    const auto start = std::chrono::steady_clock::now();
    buy_next_to_player_zero(engine, out);
    const auto end = std::chrono::steady_clock::now();
    if (out.find("Salvataggio del mondo di gioco non riuscito") == std::string::npos) continue;
    ++correct;
    us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  if (us.empty()) return 0.0;
  std::sort(us.begin(), us.end());
  return us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Runs `kViewportClients` threads looping `client(c)` (true: a correct
// answer) while `measure()` runs; counts the answers.
template <typename Client, typename Measure>
void with_clients(Client client, Measure measure, std::atomic<uint64_t>& answers, std::atomic<uint64_t>& bad) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < kViewportClients; ++c) {
    clients.emplace_back([&, c] {
      while (!stop) ++(client(c) ? answers : bad);
    });
  }
  // Every client at work before the measure starts.
  const uint64_t before = answers + bad;
  while (answers + bad < before + 10 * kViewportClients) std::this_thread::yield();
  measure();
  stop = true;
  for (std::thread& t : clients) t.join();
}

void BuyUnderViewports(benchmark::State& state) {
  GameEngine& engine = engine_for(static_cast<uint64_t>(state.range(0)), false);
  QuietConsole quiet;
  double idle = 0;
  double busy = 0;
  double cpu_only = 0;
  uint64_t correct = 0;
  std::atomic<uint64_t> views{0};
  std::atomic<uint64_t> suns{0};
  std::atomic<uint64_t> bad{0};
  const auto viewport = [&](int c) {
    return engine.get_viewport_parcels_json(kSeaLatMin, kSeaLatMax, kSeaLonMin, kSeaLonMax, address_of(kPlayers + c))
               .rfind("{\"status\":\"ok\"", 0) == 0;
  };
  // The same threads busy without the game lock: what the machine's own
  // sharing of its cores costs a buy.
  const auto sun = [&](int) { return !engine.get_weather_env_json(41.0, 4.0, 0).empty(); };
  for (auto _ : state) {
    idle = buy_p99_us(engine, kMeasuredBuys, correct);
    with_clients(viewport, [&] { busy = buy_p99_us(engine, kMeasuredBuys, correct); }, views, bad);
    with_clients(sun, [&] { cpu_only = buy_p99_us(engine, kMeasuredBuys, correct); }, suns, bad);
  }
  if (correct != 3 * kMeasuredBuys * static_cast<uint64_t>(state.iterations()) || bad != 0) {
    state.SkipWithError("a buy or a viewport did not answer as it should");
  }
  state.counters["buy_p99_idle_us"] = idle;
  state.counters["buy_p99_viewports_us"] = busy;
  state.counters["buy_p99_cpu_only_us"] = cpu_only;
  state.counters["ratio"] = idle > 0 ? busy / idle : 0.0;
  state.counters["viewports"] = static_cast<double>(views.load());
}

void StateView(benchmark::State& state) {
  GameEngine& engine = engine_for(static_cast<uint64_t>(state.range(0)), false);
  const std::string who = address_of(2);
  for (auto _ : state) {
    const std::string json = engine.get_player_state_json(who);
    benchmark::DoNotOptimize(json.data());
  }
}

// Runs `action(engine, out)` against player 0's district with saves
// refused, and checks that it got as far as its save.
template <typename Action>
void RefusedSaveAction(benchmark::State& state, Action action) {
  GameEngine& engine = engine_for(static_cast<uint64_t>(state.range(0)), false);
  std::string out;
  QuietConsole quiet;
  for (auto _ : state) {
    action(engine, out);
    benchmark::DoNotOptimize(out.data());
  }
  expect_refused_save(state, out);
}

void Buy(benchmark::State& state) { RefusedSaveAction(state, buy_next_to_player_zero); }

void Build(benchmark::State& state) {
  std::string key;
  double lat = 0;
  double lon = 0;
  player_zero_spots(key, lat, lon);
  RefusedSaveAction(state, [&](GameEngine& engine, std::string& out) {
    engine.build_plant(address_of(0), key, "hydrogen", out);
  });
}

void Upgrade(benchmark::State& state) {
  std::string key;
  double lat = 0;
  double lon = 0;
  player_zero_spots(key, lat, lon);
  RefusedSaveAction(state, [&](GameEngine& engine, std::string& out) { engine.upgrade_plant(address_of(0), key, out); });
}

// A live administrator token of `engine`, from the master password its
// first start stored beside the world file.
std::string admin_token(GameEngine& engine, const fs::path& dir) {
  std::ifstream in(dir / kMasterPasswordFileName);
  std::string password;
  std::getline(in, password);
  std::string token;
  std::string out;
  if (!engine.admin_authenticate(password, token, out)) return "";
  return token;
}

void Telemetry(benchmark::State& state) {
  const uint64_t parcels = static_cast<uint64_t>(state.range(0));
  GameEngine& engine = engine_for(parcels, false);
  const std::string token = admin_token(engine, bench_root() / ("engine_" + std::to_string(parcels) + "_r"));
  std::string json;
  for (auto _ : state) {
    json = engine.admin_get_full_telemetry_json(token);
    benchmark::DoNotOptimize(json.data());
  }
  if (json.find("\"total_players\":10000,\"total_parcels\":" + std::to_string(parcels) + ",") == std::string::npos) {
    state.SkipWithError(json.c_str());
  }
  state.counters["answer_B"] = static_cast<double>(json.size());
}

void LoginWithSave(benchmark::State& state) {
  const fs::path dir = bench_root() / "login";
  fs::create_directories(dir);
  GameEngine engine(dir.string(), bench_clock());
  std::string out;
  // A repetition finds the account already there.
  static_cast<void>(engine.register_user("bench", "bench@rozeve.it", "segreta1", out));
  for (auto _ : state) {
    if (!engine.login_user("bench@rozeve.it", "segreta1", out)) state.SkipWithError(out.c_str());
  }
  state.counters["file_KB"] = static_cast<double>(rozeve_bench::file_size_or_zero(dir / "game_world.dat")) / 1e3;
}

BENCHMARK(LoadWorld)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(SaveWorld)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BuyWithSave)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(Viewport600)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(ViewportSparse)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(ViewportWorld)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(ViewportSea)->Arg(300'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(StateView)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(Buy)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(Build)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(Upgrade)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(Telemetry)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(LoginWithSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BuyUnderViewports)->Arg(300'000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// ---- Market and leaderboard ----------------------------------------------

// An engine on a fresh directory whose players map holds `players` players
// (the four seeded sellers among them) with scattered powers and lots.
GameEngine& ranking_engine(uint64_t players) {
  static std::map<uint64_t, std::unique_ptr<GameEngine>> engines;
  auto& slot = engines[players];
  if (!slot) {
    const fs::path dir = bench_root() / ("ranking_" + std::to_string(players));
    slot = std::make_unique<GameEngine>(dir.string(), bench_clock());
    GameEngineTestPeer::change_world(*slot, [&](auto& all, auto&) {
      std::mt19937_64 rng(players);
      for (uint64_t i = all.size(); i < players; ++i) {
        PlayerProfile& p = all[address_of(i)];
        p.address = address_of(i);
        p.power_kw = static_cast<double>(rng() % 1'000'000) / 100.0;
        p.parcels_count = rng() % 50;
      }
    });
  }
  return *slot;
}

void Leaderboard(benchmark::State& state) {
  const GameEngine& engine = ranking_engine(static_cast<uint64_t>(state.range(0)));
  for (auto _ : state) {
    const std::string json = engine.get_leaderboard_json();
    benchmark::DoNotOptimize(json.data());
  }
}

void LeaderboardCopySort(benchmark::State& state) {
  const GameEngine& engine = ranking_engine(static_cast<uint64_t>(state.range(0)));
  for (auto _ : state) {
    const std::vector<PlayerProfile> sorted = GameEngineTestPeer::sorted_players(engine);
    benchmark::DoNotOptimize(sorted.data());
  }
}

// The 100,000-lot world with its first `listed` lots (in map order) on the
// market, one in ten of them holding a bid.
GameEngine& auction_engine(uint64_t listed) {
  static std::map<uint64_t, std::unique_ptr<GameEngine>> engines;
  auto& slot = engines[listed];
  if (!slot) {
    const fs::path copy = bench_root() / ("auctions_" + std::to_string(listed));
    fs::create_directories(copy);
    fs::copy_file(world_dir(100'000) + "/game_world.dat", copy / "game_world.dat",
                  fs::copy_options::overwrite_existing);
    slot = std::make_unique<GameEngine>(copy.string(), bench_clock());
    GameEngineTestPeer::change_world(*slot, [&](auto&, auto& lots) {
      uint64_t n = 0;
      for (auto& [key, lot] : lots) {
        if (n == listed) break;
        lot.for_sale = true;
        lot.min_bid = 10.0;
        lot.buyout_price = 100.0;
        if (n % 10 == 0) {
          lot.highest_bid = 20.0;
          lot.highest_bidder = address_of(n + 1);
        }
        ++n;
      }
    });
  }
  return *slot;
}

void Auctions(benchmark::State& state) {
  const GameEngine& engine = auction_engine(static_cast<uint64_t>(state.range(0)));
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string json = engine.get_active_auctions_json();
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  state.counters["answer_KB"] = static_cast<double>(bytes) / 1e3;
}

BENCHMARK(Leaderboard)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(LeaderboardCopySort)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(Auctions)->Arg(0)->Arg(1'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // game_bench --generate <dir> <lots>: writes <dir>/game_world.dat and exits.
  if (argc == 4 && std::string(argv[1]) == "--generate") {
    fs::create_directories(argv[2]);
    std::ofstream(fs::path(argv[2]) / "game_world.dat", std::ios::binary) << world_text(std::stoull(argv[3]));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(bench_root(), ec);
  return 0;
}
