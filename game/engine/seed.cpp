// The starting world of a node without one: four owners with their plants
// in four Italian cities, the quiz categories and questions, and three
// communities.
#include <array>
#include <cmath>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"

namespace ZezozuRiziv {

namespace {

// 10 m of latitude in degrees: the seeded lots' row height.
constexpr double kSeedLatStep = 8.997741566866717e-05;
constexpr double kPi = 3.14159265358979323846;

struct SeedOwner {
  const char* key;
  const char* plant_type;
  int level;
  int lots;
  uint64_t coins;
  double kwh;
  double ruz;
  double base_lat;
  double base_lon;
};

constexpr std::array<SeedOwner, 4> kSeedOwners = {{
    {"0xsolarking_it_milano_cer01", "hydrogen", 3, 6, 1450, 890.5, 42.0, 45.4642, 9.19},
    {"0xgreenpower_99_roma_hub02", "solar", 3, 5, 920, 540.2, 28.0, 41.9027, 12.4963},
    {"0xecoempire_dao_torino_03", "wind", 3, 4, 680, 310.0, 19.0, 45.0703, 7.6869},
    {"0xcer_solidale_napoli_04", "storage", 2, 4, 510, 215.4, 12.0, 40.8518, 14.2681},
}};

constexpr char kSolarKing[] = "0xsolarking_it_milano_cer01";
constexpr char kGreenPower[] = "0xgreenpower_99_roma_hub02";
constexpr char kEcoEmpire[] = "0xecoempire_dao_torino_03";

constexpr std::array<const char*, 6> kSeedCategories = {
    "Fotovoltaico & Solare",       "Eolico & Aerogeneratori",    "Accumulo BESS & Batterie",
    "Idrogeno Verde & Fuel Cells", "CER & Comunita Energetiche", "Mercato Elettrico & Risparmio"};

struct SeedCommunity {
  const char* id;
  const char* name;
  const char* tag;
  const char* emblem;
  const char* founder;
  const char* founder_name;
  uint64_t weekly_score;
  double total_kwh;
  const char* description;
  const char* message_id;
  const char* message_text;
  const char* message_emoji;
};

constexpr std::array<SeedCommunity, 3> kSeedCommunities = {{
    {"cer_solare_italia", "Comunita Solare Italia", "SOL", "\xE2\x98\x80\xEF\xB8\x8F", kSolarKing, "SolarKing",
     420, 12500.0, "La piu grande CER d'Italia per l'autoconsumo diffuso e l'energia solare.", "msg_seed_1",
     "Benvenuti nella prima CER d'Italia! Produciamo insieme energia pulita.", "\xE2\x98\x80\xEF\xB8\x8F"},
    {"cer_vento_sicilia", "CER Eolica del Mediterraneo", "AERO", "\xF0\x9F\x8C\x80", kEcoEmpire, "EcoEmpireDAO",
     380, 9800.0, "Sfruttiamo i venti marini per alimentare la transizione ecologica delle isole.", "msg_seed_2",
     "Vento in poppa! Questa settimana puntiamo alla vittoria del torneo quiz.", "\xE2\x9A\xA1"},
    {"cer_idrogeno_verde", "Idrogeno Valle Verde", "H2V", "\xF0\x9F\x94\x8B", kGreenPower, "GreenPower99", 290,
     7400.0, "Pionieri dell'idrogeno verde e dello stoccaggio stagionale a zero emissioni.", "msg_seed_3",
     "Elettrolisi attiva a pieno regime. Massimizziamo l'accumulo!", "\xF0\x9F\x92\xA7"},
}};

struct SeedQuestion {
  const char* id;
  const char* author;
  const char* author_name;
  const char* category;
  uint64_t answered;
  uint64_t correct;
  uint64_t wrong;
  int32_t right_option;
  const char* question;
  std::array<const char*, 4> options;
};

const std::array<SeedQuestion, 6> kSeedQuestions = {{
    {"quiz_seed_1", kSolarKing, "SolarKing", "Fotovoltaico & Solare", 25, 22, 3, 1,
     "Cosa accade alla produzione di un modulo fotovoltaico durante la notte in assenza di luce?",
     {"Genera energia dal calore dell'aria circostante", "La produzione elettrica scende rigorosamente a 0 kW",
      "Assorbe elettricita dalla rete per scaldarsi", "Produce solo se la luna e piena"}},
    {"quiz_seed_2", kEcoEmpire, "EcoEmpireDAO", "Eolico & Aerogeneratori", 19, 16, 3, 0,
     "Qual e il vantaggio operativo fondamentale di un aerogeneratore eolico rispetto a un impianto solare?",
     {"Puo produrre energia anche di notte purche ci sia vento", "Non ha bisogno di cavi di connessione alla rete",
      "Funziona al massimo rendimento solo con la nebbia", "Non produce mai corrente alternata"}},
    {"quiz_seed_3", kGreenPower, "GreenPower99", "Accumulo BESS & Batterie", 15, 14, 1, 1,
     "Qual e la missione primaria di un sistema BESS (Battery Energy Storage System) nella transizione "
     "energetica?",
     {"Sostituire integralmente le linee elettriche nazionali",
      "Accumulare l'energia rinnovabile prodotta in eccesso per erogarla nei picchi serali e notturni",
      "Aumentare la frequenza elettrica oltre i 100 Hz", "Riscaldare l'ambiente urbano circostante"}},
    {"quiz_seed_4", kSolarKing, "SolarKing", "CER & Comunita Energetiche", 18, 15, 3, 0,
     "Cosa definisce l'autoconsumo diffuso all'interno di una Comunita Energetica Rinnovabile (CER)?",
     {"La condivisione virtuale di energia pulita tra produttori e consumatori sottesi alla stessa cabina "
      "primaria",
      "L'obbligo di consumare solo energia prodotta nel proprio singolo appartamento",
      "La vendita esclusiva dell'energia alle multinazionali del petrolio",
      "Il distacco definitivo e permanente dalla rete elettrica di distribuzione"}},
    {"quiz_seed_5", kGreenPower, "GreenPower99", "Idrogeno Verde & Fuel Cells", 22, 20, 2, 1,
     "Come viene generato l'Idrogeno classificato rigorosamente come 'Idrogeno Verde'?",
     {"Dalla combustione di carbone fossile con filtri",
      "Tramite elettrolisi dell'acqua alimentata al 100% da fonti energetiche rinnovabili",
      "Estraendolo direttamente da giacimenti di gas naturale",
      "Con processi chimici a base di solventi organici derivati dal petrolio"}},
    {"quiz_seed_6", kEcoEmpire, "EcoEmpireDAO", "Mercato Elettrico & Risparmio", 14, 12, 2, 1,
     "Cosa rappresenta l'acronimo PUN nel mercato elettrico italiano all'ingrosso?",
     {"Polo Unico Nucleare", "Prezzo Unico Nazionale di riferimento per la borsa elettrica",
      "Percentuale Unitaria Negativa", "Piano Urbano Nazionale"}},
}};

}  // namespace

void GameEngine::seed_initial_multiplayer_world_unlocked() {
  if (!parcels.empty()) return;
  const uint64_t now = now_ms();
  for (const SeedOwner& owner : kSeedOwners) {
    touch_player_unlocked(owner.key);
    PlayerProfile& player = players[owner.key];
    player.coins = owner.coins;
    player.kwh = owner.kwh;
    player.ruz = owner.ruz;
    player.address = owner.key;
    player.last_sync_ms = now;

    const double dlon = kSeedLatStep / std::cos(owner.base_lat * kPi / 180.0);
    const PlantLevelSpec* spec = get_plant_spec(owner.plant_type, owner.level);
    for (int i = 0; i < owner.lots; ++i) {
      // Lots climb north one row at a time and alternate between two columns.
      ParcelRecord lot;
      lot.lat = std::floor((owner.base_lat + i * kSeedLatStep) / kSeedLatStep) * kSeedLatStep;
      lot.lon = std::floor((owner.base_lon + (i % 2) * dlon) / dlon) * dlon;
      lot.key = fixed_text(lot.lat, 5) + "_" + fixed_text(lot.lon, 5);
      lot.owner = owner.key;
      lot.plant_type = owner.plant_type;
      lot.plant_level = owner.level;
      lot.plant_name = spec != nullptr ? spec->name : "Impianto CER";
      lot.power_kw = spec != nullptr ? spec->power_kw : 10.0;
      lot.storage_boost = spec != nullptr ? spec->storage_boost : 0.0;
      lot.updated_ms = now;
      put_parcel_unlocked(std::move(lot));
    }
    recalculate_player_power_unlocked(player);
  }
}

void GameEngine::seed_default_quiz_and_cer_unlocked() {
  const uint64_t now = now_ms();
  if (quiz_categories.empty()) {
    touch_quiz_categories_unlocked();
    quiz_categories.assign(kSeedCategories.begin(), kSeedCategories.end());
  }
  if (cers.empty()) {
    for (const SeedCommunity& seed : kSeedCommunities) {
      touch_cer_unlocked(seed.id);
      CERCommunity& c = cers[seed.id];
      c = CERCommunity();
      c.id = seed.id;
      c.name = seed.name;
      c.tag = seed.tag;
      c.description = seed.description;
      c.emblem = seed.emblem;
      c.creator = seed.founder;
      c.created_at = now;
      c.weekly_score = seed.weekly_score;
      c.total_kwh = seed.total_kwh;
      c.members.push_back({seed.founder, "admin", now, seed.weekly_score, seed.total_kwh});
      c.messages.push_back({seed.message_id, seed.founder, seed.founder_name, seed.message_text,
                            seed.message_emoji, now});
      // Founders without a profile stay without one.
      const auto founder = players.find(seed.founder);
      if (founder != players.end()) {
        touch_player_unlocked(seed.founder);
        founder->second.cer_id = seed.id;
        founder->second.cer_role = "admin";
      }
    }
  }
  if (quiz_questions.empty()) {
    for (const SeedQuestion& seed : kSeedQuestions) {
      touch_quiz_question_unlocked(seed.id);
      QuizQuestion& q = quiz_questions[seed.id];
      q.id = seed.id;
      q.author_addr = seed.author;
      q.author_name = seed.author_name;
      q.category = seed.category;
      q.question = seed.question;
      q.option_a = seed.options[0];
      q.option_b = seed.options[1];
      q.option_c = seed.options[2];
      q.option_d = seed.options[3];
      q.correct_option = seed.right_option;
      q.times_answered = seed.answered;
      q.times_correct = seed.correct;
      q.times_wrong = seed.wrong;
      q.created_at = now;
    }
  }
}

}  // namespace ZezozuRiziv
