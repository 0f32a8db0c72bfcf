// The game routes of a real "rozeve node", asked as curl asks, and its world
// file across restarts. Every answer must be JSON.
#include <chrono>
#include <initializer_list>
#include <iterator>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "node_client_support.h"
#include "app_node_process.h"
#include "world_file_support.h"
#include "game/rules/hex_grid.h"
#include "server/json_reader.h"

namespace {

using rozeve_test::BinaryFixture;
using rozeve_test::NodeProcess;
using rozeve_test::read_text;
using rozeve_test::split_lines;
using ZezozuRiziv::JsonDocument;
namespace fs = std::filesystem;

constexpr char kRunning[] =
    "[NODO IN ESECUZIONE] Premi Invio per arrestare il server (o segnale di stop)...";
constexpr char kSolarKing[] = "0xsolarking_it_milano_cer01";
constexpr double kEarthRadiusM = 6'371'000.0;
constexpr double kPi = 3.14159265358979323846;
// Two requests sent within this time reach the node less than a second apart.
constexpr auto kQuickPair = std::chrono::milliseconds(800);

constexpr char kBought[] = "{\"status\":\"ok\",\"message\":\"Lotto 100 m2 acquistato e registrato sul server!\",";
constexpr char kBadLotKey[] = "{\"status\":\"error\",\"message\":\"Coordinate GPS catastali non valide\"}";
constexpr char kBadAddress[] = "{\"status\":\"error\",\"message\":\"Indirizzo wallet non valido.\"}";
constexpr char kTeleport[] =
    "{\"status\":\"error\",\"message\":\"Anomalia telemetria GPS: teletrasporto istantaneo rilevato. Software "
    "di spoofing bloccato.\"}";
constexpr char kTooFast[] =
    "{\"status\":\"error\",\"message\":\"Anomalia telemetria GPS: velocita' di spostamento non plausibile (";
constexpr char kMocked[] =
    "{\"status\":\"error\",\"message\":\"Rilevata applicazione di Fake GPS / Posizione Fittizia attiva sul "
    "dispositivo. L'acquisizione e' stata bloccata dal sistema anti-cheat.\"}";

// The latitude `meters` north of `lat` along its meridian (the haversine
// distance of the two points is exactly that).
double meters_north(double lat, double meters) { return lat + meters / kEarthRadiusM * 180.0 / kPi; }

std::string number(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.12f", v);
  return buffer;
}

std::string lot_key(double lat, double lon) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.5f_%.5f", lat, lon);
  return buffer;
}

// A lot's purchase form, the device standing at (user_lat, user_lon).
std::string buy_form(const std::string& addr, double lat, double lon, double user_lat, double user_lon) {
  return "addr=" + addr + "&key=" + lot_key(lat, lon) + "&lat=" + number(lat) + "&lon=" + number(lon) +
         "&user_lat=" + number(user_lat) + "&user_lon=" + number(user_lon);
}

// The centre of the hex cell (q, r).
void cell_centre(int64_t q, int64_t r, double& lat, double& lon) {
  lat = 1.5 * static_cast<double>(r) * ZezozuRiziv::kHexLatStep;
  lon = (static_cast<double>(q) + static_cast<double>(r) / 2.0) * std::sqrt(3.0) * ZezozuRiziv::kHexLonStep;
}

std::vector<std::string> lines_tagged(const std::string& text, const std::string& tag) {
  std::vector<std::string> out;
  for (const std::string& line : split_lines(text)) {
    if (line.rfind(tag + "|", 0) == 0) out.push_back(line);
  }
  return out;
}

class NodeGameTest : public BinaryFixture {
 protected:
  void TearDown() override {
    if (node_) stop_node();
    BinaryFixture::TearDown();
  }

  void start_node() {
    node_ = std::make_unique<NodeProcess>(dir_, rozeve_test::local_node_args(rpc_port_, p2p_port_));
    ASSERT_TRUE(node_->wait_for_output(kRunning)) << node_->output();
  }
  void stop_node() {
    node_->type_line();
    EXPECT_EQ(node_->wait_exit(5000), 0) << node_->output();
    node_.reset();
  }

  // An answer of the node, which must be one JSON object.
  std::string checked(std::string answer) {
    const std::optional<JsonDocument> doc = JsonDocument::parse(answer);
    EXPECT_TRUE(doc && doc->root().is_object()) << answer;
    return answer;
  }
  std::string get(const std::string& target) { return checked(rozeve_test::curl_get(rpc_port_, target)); }
  std::string post(const std::string& path, const std::string& form) {
    return checked(rozeve_test::curl_post(rpc_port_, path, form));
  }

  std::string world_path() const { return (dir_ / "data" / "game_world.dat").string(); }
  // The world as a start reads it: the file and then the journal.
  std::string world() const { return rozeve_test::saved_world_text((dir_ / "data").string()); }

  uint16_t rpc_port_ = 0;
  uint16_t p2p_port_ = 0;
  std::unique_ptr<NodeProcess> node_;
};

// The raw text of the value at `path` in a JSON answer (a string with its
// quotes), or "<missing>".
std::string field(const std::string& answer, std::initializer_list<std::string_view> path) {
  const std::optional<JsonDocument> doc = JsonDocument::parse(answer);
  if (!doc) return "<missing>";
  std::optional<ZezozuRiziv::JsonValue> value = doc->root();
  for (const std::string_view key : path) {
    value = value->find(key);
    if (!value) return "<missing>";
  }
  return std::string(value->raw());
}

// The keys of the lots a viewport answer lists, and their owners.
struct MapLots {
  std::set<std::string> keys;
  std::set<std::string> owners;
};
MapLots lots_of(const std::string& viewport) {
  MapLots lots;
  const std::optional<JsonDocument> doc = JsonDocument::parse(viewport);
  if (!doc) return lots;
  const auto parcels = doc->root().find("parcels");
  if (!parcels) return lots;
  for (const auto& lot : parcels->elements()) {
    const auto key = lot.find("key");
    const auto owner = lot.find("owner");
    lots.keys.insert(key ? key->string().value_or("") : "<missing>");
    lots.owners.insert(owner ? owner->string().value_or("") : "<missing>");
  }
  return lots;
}

TEST_F(NodeGameTest, AFreshWorldOnTheMapAndUnderTheSun) {
  start_node();
  const std::string milan = get("/api/game/viewport?minLat=45.464&maxLat=45.465&minLon=9.1895&maxLon=9.1905");
  const MapLots lots = lots_of(milan);
  EXPECT_EQ(lots.keys, (std::set<std::string>{"45.46415_9.18999", "45.46424_9.19012", "45.46433_9.18999",
                                              "45.46442_9.19012", "45.46451_9.18999", "45.46460_9.19012"}))
      << milan;
  EXPECT_EQ(lots.owners, std::set<std::string>{kSolarKing});
  EXPECT_NE(milan.find("\"owner\":\"0xsolarking_it_milano_cer01\",\"is_mine\":false,\"plantType\":\"hydrogen\","
                       "\"plantLevel\":3,\"plantName\":\"Reattore Idrogeno Verde PEM - Polo Energetico di "
                       "Quartiere (Liv. 3)\",\"powerKw\":27.80,\"effectivePowerKw\":27.80,\"isProducing\":true"),
            std::string::npos)
      << milan;
  // The seeded owner sees its own lots wherever the map looks, GET and POST
  // alike; the address is compared lower-cased.
  const std::string own =
      get("/api/game/viewport?minLat=1&maxLat=0&minLon=1&maxLon=0&addr=0xSolarKing_IT_milano_cer01");
  EXPECT_EQ(lots_of(own).keys, lots.keys);
  const std::regex mine("\"is_mine\":true");
  EXPECT_EQ(std::distance(std::sregex_iterator(own.begin(), own.end(), mine), std::sregex_iterator()), 6) << own;
  EXPECT_EQ(lots_of(post("/api/game/viewport", "minLat=1&maxLat=0&minLon=1&maxLon=0&addr=" + std::string(kSolarKing))).keys,
            lots.keys);
  // No rectangle: 41.89 to 41.91 and 12.48 to 12.51, the five lots in Rome.
  EXPECT_EQ(lots_of(get("/api/game/viewport")).keys,
            (std::set<std::string>{"41.90266_12.49623", "41.90275_12.49635", "41.90284_12.49623",
                                   "41.90293_12.49635", "41.90302_12.49623"}));
  EXPECT_EQ(lots_of(get("/api/game/viewport?minLat=abc&maxLat=&minLon=nan&maxLon=inf")).keys.size(), 5u);
  // The whole world in view; a rectangle whose centre is beyond every number
  // still answers (with no lot).
  EXPECT_EQ(lots_of(get("/api/game/viewport?minLat=-1e308&maxLat=1.7e308&minLon=-1e308&maxLon=1.7e308")).keys.size(),
            19u);
  EXPECT_NE(get("/api/game/viewport?minLat=1e308&maxLat=1.7e308&minLon=1e308&maxLon=1.7e308")
                .find("{\"status\":\"ok\",\"env\":{\"is_day\":"),
            std::string::npos);

  // Milan, 21 June 2024 at 10:00 UTC; sunrise and sunset follow the machine's zone.
  const std::string sun = get("/api/game/weather?lat=45.4642&lon=9.19&ts=1718964000");
  EXPECT_TRUE(std::regex_match(
      sun, std::regex("\\{\"status\":\"ok\",\"is_day\":true,\"solar_factor\":0\\.8421,\"wind_factor\":1\\.0000,"
                      "\"solar_elevation\":62\\.0594,\"solar_declination\":23\\.4480,\"season\":\"estate\","
                      "\"season_name\":\"Estate\",\"sunrise\":\"[0-2][0-9]:[0-5][0-9]\",\"sunset\":\"[0-2][0-9]:"
                      "[0-5][0-9]\",\"weather_desc\":\"Giorno \\(Produzione Fotovoltaica a pieno regime\\)\","
                      "\"weather_icon\":\"\xE2\x98\x80\xEF\xB8\x8F\"\\}")))
      << sun;
  EXPECT_EQ(get("/api/game/env?lat=45.4642&lon=9.19&ts=1718964000"), sun);
  EXPECT_EQ(post("/api/game/env", "lat=45.4642&lon=9.19&ts=1718964000"), sun);
  // Missing or unreadable places are Palermo; a far longitude still answers.
  const std::string palermo = get("/api/game/weather?lat=38.1402&lon=13.3574&ts=1718964000");
  EXPECT_EQ(get("/api/game/weather?ts=1718964000"), palermo);
  EXPECT_EQ(get("/api/game/env?lat=nan&lon=x&ts=1718964000"), palermo);
  EXPECT_NE(get("/api/game/weather?lon=1e300&ts=1718964000").find("{\"status\":\"ok\","), std::string::npos);
}

TEST_F(NodeGameTest, ALotIsBoughtOnlyWhereThePlayerStands) {
  start_node();
  const double lat = 45.47;
  const double lon = 9.2;
  // Within 50 m, and a tenth of a metre beyond.
  EXPECT_EQ(post("/api/game/buy", buy_form("0xa1", lat, lon, meters_north(lat, 49.99999), lon)),
            std::string(kBought) + "\"coins\":250,\"parcels_count\":1}");
  const double far_lat = 45.48;
  EXPECT_EQ(get("/api/game/buy?" + buy_form("0xa2", far_lat, lon, meters_north(far_lat, 50.1), lon)),
            "{\"status\":\"error\",\"message\":\"Lotto fuori raggio! L'acquisizione e' consentita solo entro 50 "
            "metri dalla tua posizione reale (distanza attuale: 50.1 m).\"}");

  // Only "1" and "true" report a simulated position.
  const std::string unread_lot = "/api/game/buy?addr=0xa3&key=45.49000_9.20000&lat=45.49";
  for (const std::string mocked : {"1", "true"}) {
    EXPECT_EQ(get(unread_lot + "&is_mocked=" + mocked), kMocked) << mocked;
  }
  for (const std::string other : {"TRUE", "True", "yes", "0", "", "1+", "%31%0A"}) {
    EXPECT_EQ(get(unread_lot + "&is_mocked=" + other), kBadLotKey) << other;
  }
  // A lot centre missing one side, or no number, is no place (not (0, 0));
  // a device position that is present but no finite number is refused, not
  // taken for the (0, 0) that skips every distance test.
  const std::string lot = "addr=0xa4&key=45.50000_9.20000";
  for (const std::string coords :
       {"&lat=45.5", "&lon=9.2", "", "&lat=45.5&lon=nan", "&lat=inf&lon=9.2", "&lat=45.5&lon=1e999",
        "&lat=45.5&lon=9.2&user_lat=nan&user_lon=nan", "&lat=45.5&lon=9.2&user_lat=inf&user_lon=0",
        "&lat=45.5&lon=9.2&user_lat=45.5&user_lon=-1e400", "&lat=45.5&lon=9.2&user_lat=abc&user_lon=9.2",
        "&lat=45.5&lon=9.2&user_lat=%20&user_lon=9.2"}) {
    EXPECT_EQ(post("/api/game/buy", lot + coords), kBadLotKey) << coords;
  }
  // No device position at all buys anywhere, as the text allows.
  EXPECT_EQ(post("/api/game/buy", lot + "&lat=45.5&lon=9.2"), std::string(kBought) + "\"coins\":250,\"parcels_count\":1}");

  // Two purchases in quick succession: 39 m apart passes whenever it
  // arrives; 41 m is a teleport; 400 m is a teleport, or too fast for a
  // person when a second has passed.
  struct Pair {
    std::string answer;
    bool quick;
  };
  int player = 0;
  const auto second_purchase = [&](double base_lat, double meters) {
    const std::string addr = "0xb" + std::to_string(++player);
    const double next_lat = meters_north(base_lat, meters);
    const auto start = std::chrono::steady_clock::now();
    const std::string first = post("/api/game/buy", buy_form(addr, base_lat, lon, base_lat, lon));
    const std::string second = post("/api/game/buy", buy_form(addr, next_lat, lon, next_lat, lon));
    EXPECT_EQ(first.rfind(kBought, 0), 0u) << first;
    return Pair{second, std::chrono::steady_clock::now() - start < kQuickPair};
  };
  EXPECT_EQ(second_purchase(45.51, 39.0).answer, std::string(kBought) + "\"coins\":200,\"parcels_count\":2}");
  const Pair teleport = second_purchase(45.52, 41.0);
  if (teleport.quick) {
    EXPECT_EQ(teleport.answer, kTeleport);
  }
  const Pair jump = second_purchase(45.53, 400.0);
  if (jump.quick) {
    EXPECT_EQ(jump.answer, kTeleport);
  } else {
    EXPECT_EQ(jump.answer.rfind(kTooFast, 0), 0u) << jump.answer;
  }
  EXPECT_TRUE(teleport.quick) << "the two requests took a second or more: no teleport to see";
  // Refused purchases stored nothing: the bought lots alone are in the file.
  const std::string file = world();
  for (const std::string key : {"45.47000_9.20000", "45.50000_9.20000", "45.51000_9.20000", "45.52000_9.20000",
                                "45.53000_9.20000"}) {
    EXPECT_NE(file.find("\nL|" + key + "|"), std::string::npos) << key;
  }
  EXPECT_EQ(lines_tagged(file, "L").size(), 19u + 6);
}

TEST_F(NodeGameTest, BuildUpgradeAndTheViewsSurviveARestart) {
  start_node();
  // Two touching cells near Milan.
  const int64_t r = std::llround(45.47 / (1.5 * ZezozuRiziv::kHexLatStep));
  const int64_t q = std::llround(9.2 / (std::sqrt(3.0) * ZezozuRiziv::kHexLonStep) - static_cast<double>(r) / 2.0);
  double a_lat = 0, a_lon = 0, b_lat = 0, b_lon = 0;
  cell_centre(q, r, a_lat, a_lon);
  cell_centre(q + 1, r, b_lat, b_lon);
  ASSERT_EQ(ZezozuRiziv::hex_cell_of(a_lat, a_lon), (ZezozuRiziv::HexCell{q, r}));
  ASSERT_EQ(ZezozuRiziv::hex_cell_of(b_lat, b_lon), (ZezozuRiziv::HexCell{q + 1, r}));
  const std::string addr = "0xc0ffee00000000000000000000000000000000c1";
  const std::string a = lot_key(a_lat, a_lon);
  const std::string b = lot_key(b_lat, b_lon);

  EXPECT_EQ(post("/api/game/buy", buy_form(addr, a_lat, a_lon, a_lat, a_lon)),
            std::string(kBought) + "\"coins\":250,\"parcels_count\":1}");
  EXPECT_EQ(post("/api/game/build", "addr=" + addr + "&key=" + a + "&type=Solar"),
            "{\"status\":\"error\",\"message\":\"Tipologia di impianto energetico non riconosciuta\"}");
  EXPECT_EQ(post("/api/game/build", "addr=0xc2&key=" + a + "&type=solar"),
            "{\"status\":\"error\",\"message\":\"Non sei il proprietario certificato di questo lotto!\"}");
  const std::regex built("\\{\"status\":\"ok\",\"message\":\"Impianto Livello 1 installato con successo!\","
                         "\"coins\":190,\"power_kw\":[0-9]+\\.[0-9]{2},\"storage_boost\":1\\.00\\}");
  const std::string build = get("/api/game/build?addr=" + addr + "&key=" + a + "&type=solar");
  EXPECT_TRUE(std::regex_match(build, built)) << build;
  EXPECT_EQ(get("/api/game/upgrade?addr=" + addr + "&key=" + a),
            "{\"status\":\"error\",\"message\":\"Relazione Diretta Lotti Contigui: per potenziare al Livello 2 "
            "servono almeno 2 lotti esagonali contigui (il tuo distretto attuale ne ha 1).\"}");
  EXPECT_EQ(post("/api/game/buy", buy_form(addr, b_lat, b_lon, b_lat, b_lon)),
            std::string(kBought) + "\"coins\":140,\"parcels_count\":2}");
  const std::string upgrade = post("/api/game/upgrade", "addr=" + addr + "&key=" + a);
  EXPECT_TRUE(std::regex_match(upgrade, std::regex("\\{\"status\":\"ok\",\"message\":\"Upgrade Livello 2 "
                                                   "completato!\",\"coins\":0,\"power_kw\":[0-9]+\\.[0-9]{2},"
                                                   "\"storage_boost\":1\\.00\\}")))
      << upgrade;

  const auto check_views = [&] {
    const std::string state = get("/api/game/state?addr=" + addr);
    EXPECT_EQ(field(state, {"status"}), "\"ok\"");
    EXPECT_EQ(field(state, {"address"}), "\"" + addr + "\"");
    EXPECT_EQ(field(state, {"coins"}), "0");
    EXPECT_EQ(field(state, {"parcels_count"}), "2");
    EXPECT_EQ(field(state, {"parcels", a, "plantType"}), "\"solar\"");
    EXPECT_EQ(field(state, {"parcels", a, "plantLevel"}), "2");
    EXPECT_EQ(field(state, {"parcels", a, "powerKw"}), "13.00");
    EXPECT_EQ(field(state, {"parcels", b, "plantName"}), "\"Micro-Lotto Libero (100 m2)\"");
    EXPECT_EQ(field(state, {"parcels", b, "owner"}), "\"" + addr + "\"");
    EXPECT_EQ(field(state, {"cer", "role"}), "\"member\"");
    EXPECT_NE(field(state, {"env", "season"}), "<missing>");
    EXPECT_NE(field(state, {"history", "all_time_kwh"}), "<missing>");

    const std::string history = post("/api/game/stats/history", "addr=" + addr);
    EXPECT_TRUE(std::regex_match(
        history,
        std::regex("\\{\"status\":\"ok\",\"address\":\"" + addr + "\",\"current_power_kw\":[0-9]+\\.[0-9]{2},"
                   "\"storage_boost\":1\\.00,\"periods\":\\{\"today_kwh\":[0-9.]+,\"yesterday_kwh\":[0-9.]+,"
                   "\"this_week_kwh\":[0-9.]+,\"last_week_kwh\":[0-9.]+,\"this_month_kwh\":[0-9.]+,"
                   "\"last_month_kwh\":[0-9.]+,\"all_time_kwh\":[0-9.]+\\},\"sources\":\\{\"solar_kwh\":[0-9.]+,"
                   "\"wind_kwh\":[0-9.]+,\"storage_kwh\":[0-9.]+,\"hydrogen_kwh\":[0-9.]+\\}\\}")))
        << history;
    const MapLots mine = lots_of(get("/api/game/viewport?minLat=1&maxLat=0&minLon=1&maxLon=0&addr=" + addr));
    EXPECT_EQ(mine.keys, (std::set<std::string>{a, b}));
  };
  check_views();

  // A player never seen: a full new state, nothing owned.
  const std::string fresh = get("/api/game/state?addr=0xnew");
  EXPECT_EQ(fresh.rfind("{\"status\":\"ok\",\"server_authoritative\":true,\"address\":\"0xnew\",\"coins\":300,"
                        "\"kwh\":25.0000,",
                        0),
            0u)
      << fresh;
  EXPECT_NE(fresh.find(",\"parcels\":{}}"), std::string::npos) << fresh;

  stop_node();
  const std::string file = world();
  const std::vector<std::string> lots = lines_tagged(file, "L");
  const auto line_of = [&](const std::string& key) {
    for (const std::string& line : lots) {
      if (line.rfind("L|" + key + "|", 0) == 0) return line;
    }
    return std::string();
  };
  EXPECT_NE(line_of(a).find("|" + addr + "|solar|2|13.000000|0.000000|Centrale Fotovoltaica TOPCon - Impianto "
                                         "Binato Distrettuale (Liv. 2)|"),
            std::string::npos)
      << line_of(a);
  EXPECT_NE(line_of(b).find("|" + addr + "||0|0.000000|0.000000|Micro-Lotto Libero (100 m2)|"), std::string::npos)
      << line_of(b);
  EXPECT_EQ(lots.size(), 19u + 2);
  bool player_line = false;
  for (const std::string& line : lines_tagged(file, "P")) player_line |= line.rfind("P|" + addr + "|0|", 0) == 0;
  EXPECT_TRUE(player_line) << file;
  // The player who was only looked at is not kept.
  EXPECT_EQ(file.find("0xnew"), std::string::npos);

  start_node();
  check_views();
}

TEST_F(NodeGameTest, ForgedKeysAndAddressesNeverReachTheWorldFile) {
  start_node();
  const std::string place = "&lat=45.6&lon=9.3&user_lat=45.6&user_lon=9.3";
  const std::string good_key = "&key=45.60000_9.30000";
  struct Forged {
    std::string path;
    std::string form;
    const char* answer;
  };
  const std::vector<Forged> forged = {
      {"/api/game/buy", "addr=0xe1%0AP%7C0xforged%7C999999%7C25.000000%7C5.000000%7C0%7C0" + good_key + place,
       kBadAddress},
      {"/api/game/buy", "addr=0xe1%7Cx" + good_key + place, kBadAddress},
      {"/api/game/buy", "addr=0xe1%22" + good_key + place, kBadAddress},
      {"/api/game/buy", "addr=0xe1&key=45.60000_9.30000%0AL%7Cforged%7C45.6%7C9.3%7C0xe1%7Chydrogen%7C100" + place,
       kBadLotKey},
      {"/api/game/buy", "addr=0xe1&key=45.60000%7C9.30000" + place, kBadLotKey},
      {"/api/game/buy", "addr=0xe1&key=45.60000_9.30000%22" + place, kBadLotKey},
      {"/api/game/build", "addr=0xe1%0A&key=45.60000_9.30000&type=solar", kBadAddress},
      {"/api/game/build", "addr=0xe1&key=45.60000_9.30000%0A&type=solar", kBadLotKey},
      {"/api/game/upgrade", "addr=0xe1&key=%22", kBadLotKey},
      {"/api/game/upgrade", "addr=%7C&key=45.60000_9.30000", kBadAddress},
      {"/api/game/state", "addr=0xe1%0AP%7C0xforged", kBadAddress},
      {"/api/game/stats/history", "addr=0xe1%7C", kBadAddress},
      {"/api/game/viewport", "addr=0xe1%22", kBadAddress},
  };
  for (const Forged& f : forged) {
    EXPECT_EQ(post(f.path, f.form), f.answer) << f.path << "?" << f.form;
    EXPECT_EQ(get(f.path + "?" + f.form), f.answer) << f.path << "?" << f.form;
  }
  // The same player, honest, buys there: the file is written again.
  EXPECT_EQ(post("/api/game/buy", "addr=0xe1" + good_key + place),
            std::string(kBought) + "\"coins\":250,\"parcels_count\":1}");
  stop_node();

  const std::string file = world();
  EXPECT_EQ(file.find("forged"), std::string::npos);
  EXPECT_EQ(file.find('"'), std::string::npos);
  EXPECT_EQ(lines_tagged(file, "P").size(), 4u + 1);
  EXPECT_EQ(lines_tagged(file, "L").size(), 19u + 1);
  EXPECT_NE(file.find("\nL|45.60000_9.30000|45.600000|9.300000|0xe1||0|"), std::string::npos) << file;

  // A restart reads exactly these records and writes nothing.
  start_node();
  const std::string metrics = get("/api/system/metrics");
  EXPECT_NE(metrics.find("\"multiplayer_parcels\":20,\"multiplayer_players\":5}"), std::string::npos) << metrics;
  stop_node();
  EXPECT_EQ(world(), file);
}

TEST_F(NodeGameTest, AWorldFileThatCannotBeReadStopsTheNodeUntouched) {
  std::string binary;
  for (int i = 0; i < 512; ++i) binary += static_cast<char>(i * 7 % 256);
  struct Case {
    const char* name;
    std::string bytes;  // empty: a directory stands in the file's place
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"a directory", "", "non e' un file"},
      {"binary bytes", binary, "nessun record leggibile"},
      {"zeros left by a crash", std::string(4096, '\0'), "nessun record leggibile"},
      {"records whose numbers are gone", "P|0xa|-5|x|y|z|w\nL|k|x|y|0xa|solar|1|z|w|n\n", "nessun record leggibile"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "data");
    fs::create_directories(dir_ / "data");
    if (c.bytes.empty()) {
      fs::create_directories(world_path());
      std::ofstream(world_path() + "/keep") << "x";
    } else {
      std::ofstream(world_path(), std::ios::binary) << c.bytes;
    }
    uint16_t rpc = 0;
    uint16_t p2p = 0;
    NodeProcess node(dir_, rozeve_test::local_node_args(rpc, p2p));
    EXPECT_EQ(node.wait_exit(10000), 1) << node.output();
    EXPECT_NE(node.output().find(std::string("[NODO] Impossibile leggere il mondo di gioco data/game_world.dat (") +
                                 c.reason + "): il file resta com'e' e il nodo non puo' partire. Avvio interrotto.\n"),
              std::string::npos)
        << node.output();
    if (c.bytes.empty()) {
      EXPECT_TRUE(fs::is_directory(world_path()));
      EXPECT_EQ(read_text(world_path() + "/keep"), "x");
    } else {
      EXPECT_EQ(read_text(world_path()), c.bytes);
    }
    EXPECT_FALSE(fs::exists(world_path() + ".tmp"));
  }
}

}  // namespace
