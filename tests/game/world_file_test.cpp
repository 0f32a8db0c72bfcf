#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "game/engine/game_engine.h"
#include "game/store/world_records.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::count_of;
using game_test::lines_of;
using game_test::lines_tagged;
using game_test::read_file;
using game_test::write_file;
using Peer = GameEngineTestPeer;
namespace fs = std::filesystem;

class GameWorldFile : public game_test::GameFixture {};

PlayerProfile full_player() {
  PlayerProfile p;
  p.address = "0xfull";
  p.coins = 1234;
  p.kwh = 56.789012;
  p.ruz = 3.25;
  p.last_sync_ms = 1'700'000'000'123ULL;
  p.ads_watched = 7;
  p.today_kwh = 1.5;
  p.yesterday_kwh = 2.5;
  p.this_week_kwh = 3.5;
  p.last_week_kwh = 4.5;
  p.this_month_kwh = 5.5;
  p.last_month_kwh = 6.5;
  p.all_time_kwh = 7.5;
  p.solar_kwh = 8.5;
  p.wind_kwh = 9.5;
  p.storage_kwh = 10.5;
  p.hydrogen_kwh = 11.5;
  p.last_wc_ad_ms = 12;
  p.boost_10x_until_ms = 13;
  p.cer_id = "cer_x";
  p.cer_role = "admin";
  p.card_draw_ms = 14;
  p.card_id = "c_solar_30";
  p.card_name = "Insolazione Eccezionale";
  p.card_desc = "+30% produzione";
  p.card_type = "solar_boost";
  p.card_value = 0.3;
  p.card_until_ms = 15;
  p.weekly_quiz_score = 16;
  // Not stored: these come back as defaults.
  p.day_index = 99;
  p.ad_token = "tok";
  p.ad_type = "boost";
  p.answers_correct = 5;
  p.author_tricked = 6;
  p.answered_this_week = {"q"};
  p.last_gps_lat = 1.0;
  p.last_gps_lon = 2.0;
  p.last_gps_ms = 3;
  return p;
}

ParcelRecord full_parcel() {
  ParcelRecord l;
  l.key = "45.12345_9.12345";
  l.lat = 45.12345;
  l.lon = 9.12345;
  l.owner = "0xfull";
  l.plant_type = "storage";
  l.plant_level = 2;
  l.plant_name = "Stazione Accumulo BESS LFP - Impianto Binato Distrettuale (Liv. 2)";
  l.power_kw = 10.8;
  l.storage_boost = 0.3;
  l.updated_ms = 777;  // not stored
  l.for_sale = true;
  l.sale_currency = "RUZ";
  l.min_bid = 1.25;
  l.buyout_price = 9.5;
  l.highest_bid = 2.75;
  l.highest_bidder = "0xbidder";
  l.billboard_active = true;
  l.span_cluster = false;
  l.group_id = "bb_0xfull_1";
  l.title = "Titolo";
  l.image_url = "https://img.example/a.png";
  l.link_url = "https://example.org";
  l.social_type = "instagram";
  return l;
}

UserAccount full_user() {
  UserAccount u;
  u.id = "usr_1234_5678";
  u.username = "Mario Rossi";
  u.email = "mario@example.it";
  u.password_hash = std::string(64, 'a');
  u.salt = std::string(16, 'b');
  u.google_id = "g-123";
  u.avatar_url = "https://avatar";
  u.wallet_address = "0xfull";
  u.session_token = "tok_" + std::string(64, 'c');
  u.created_at = 100;
  u.last_login = 200;
  return u;
}

TEST_F(GameWorldFile, SavedAndReloadedWorldKeepsEveryStoredField) {
  {
    auto engine = make_engine();
    Peer::with_lock(*engine, [&](GameEngine& e) {
      Peer::players_of(e)["0xfull"] = full_player();
      Peer::put_parcel(e, full_parcel());
      Peer::touch_player(e, "0xfull");
      const UserAccount u = full_user();
      Peer::users_of(e)[u.id] = u;
      Peer::touch_user(e, u.id);
      CERCommunity c;
      c.id = "cer_x";
      c.name = "Comunita X";
      c.tag = "CX";
      c.description = "Descrizione";
      c.emblem = "\xF0\x9F\x8C\xB1";
      c.creator = "0xfull";
      c.created_at = 300;
      c.weekly_score = 40;
      c.total_kwh = 123.456789;
      c.members.push_back({"0xfull", "admin", 301, 10, 12.5});
      c.members.push_back({"0xother", "member", 302, 0, 0.5});
      c.messages.push_back({"msg_1", "0xfull", "Admin", "Ciao", "\xE2\x9A\xA1", 303});
      Peer::cers_of(e)[c.id] = c;
      QuizQuestion q;
      q.id = "qq_1";
      q.author_addr = "0xfull";
      q.author_name = "Mario Rossi";
      q.category = "Cat";
      q.question = "Domanda di prova?";
      q.option_a = "A";
      q.option_b = "B";
      q.option_c = "C";
      q.option_d = "D";
      q.correct_option = 2;
      q.times_answered = 4;
      q.times_correct = 3;
      q.times_wrong = 1;
      q.created_at = 400;
      Peer::questions_of(e)[q.id] = q;
      Peer::categories_of(e).push_back("Nuova categoria");
      AdminConfig& a = Peer::admin_of(e);
      a.admin_password_hash = std::string(64, 'd');
      a.super_boost_until_ms = 500;
      a.super_boost_reason = "Perche si";
      a.scheduled_boosts.push_back({"sb_1", 600, 700, 150, "Titolo SB", "Motivo SB", true, 800});
      Peer::ads_config_of(e).google_ad_unit_id = "/1/unit";
      Peer::ads_config_of(e).meta_placement_id = "1_REWARDED_VIDEO";
      Peer::ads_config_of(e).meta_pixel_id = "2";
      Peer::ads_config_of(e).amazon_pub_id = "3";
      Peer::ads_config_of(e).amazon_slot_id = "slot";
      Peer::google_impressions_of(e) = 11;
      Peer::meta_impressions_of(e) = 12;
      Peer::amazon_impressions_of(e) = 13;
      Peer::moloco_impressions_of(e) = 14;  // not stored
      Peer::total_revenue_of(e) = 0.125;
    });
    ASSERT_TRUE(engine->save_world());
  }
  const std::string file = read_file(world_path());
  EXPECT_EQ(lines_of(file).front(), "A|/1/unit|1_REWARDED_VIDEO|2|3|slot|11|12|13|0.125000");
  ASSERT_EQ(lines_tagged(file, "U").size(), 1u);
  EXPECT_EQ(lines_tagged(file, "U")[0], "U|usr_1234_5678|Mario Rossi|mario@example.it|" + std::string(64, 'a') + "|" +
                                           std::string(16, 'b') + "|g-123|https://avatar|0xfull|tok_" +
                                           std::string(64, 'c') + "|100|200");
  EXPECT_NE(file.find("\nP|0xfull|1234|56.789012|3.250000|1700000000123|7|1.500000|2.500000|3.500000|4.500000|"
                      "5.500000|6.500000|7.500000|8.500000|9.500000|10.500000|11.500000|12|13|cer_x|admin|14|"
                      "c_solar_30|Insolazione Eccezionale|+30% produzione|solar_boost|0.300000|15|16\n"),
            std::string::npos);
  EXPECT_NE(file.find("\nL|45.12345_9.12345|45.123450|9.123450|0xfull|storage|2|10.800000|0.300000|Stazione Accumulo "
                      "BESS LFP - Impianto Binato Distrettuale (Liv. 2)|1|RUZ|1.250000|9.500000|2.750000|0xbidder|1|0|"
                      "bb_0xfull_1|Titolo|https://img.example/a.png|https://example.org|instagram\n"),
            std::string::npos);
  EXPECT_NE(file.find("\nADM|" + std::string(64, 'd') + "|500|Perche si|0\nSB|sb_1|600|700|150|1|800|Titolo SB|Motivo SB\n"),
            std::string::npos);
  EXPECT_NE(file.find("\nCER|cer_x|Comunita X|CX|Descrizione|\xF0\x9F\x8C\xB1|0xfull|300|40|123.456789\n"
                      "CERM|cer_x|0xfull|admin|301|10|12.500000\nCERM|cer_x|0xother|member|302|0|0.500000\n"
                      "CERMSG|cer_x|msg_1|0xfull|Admin|Ciao|\xE2\x9A\xA1|303\n"),
            std::string::npos);

  // Kinds in the writer's order.
  std::vector<std::string> order;
  for (const std::string& line : lines_of(file)) {
    const std::string tag = line.substr(0, line.find('|'));
    if (order.empty() || order.back() != tag) order.push_back(tag);
  }
  const std::vector<std::string> kinds = {"A", "U", "P", "L", "ADM", "SB", "QC", "QQ"};
  ASSERT_GE(order.size(), kinds.size());
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 8), kinds);

  auto engine = make_engine();
  ASSERT_FALSE(engine->load_failed());
  const PlayerProfile p = Peer::player(*engine, "0xfull");
  const PlayerProfile w = full_player();
  EXPECT_EQ(p.coins, w.coins);
  EXPECT_DOUBLE_EQ(p.kwh, w.kwh);
  EXPECT_DOUBLE_EQ(p.ruz, w.ruz);
  EXPECT_EQ(p.last_sync_ms, w.last_sync_ms);
  EXPECT_EQ(p.ads_watched, w.ads_watched);
  EXPECT_DOUBLE_EQ(p.today_kwh, w.today_kwh);
  EXPECT_DOUBLE_EQ(p.yesterday_kwh, w.yesterday_kwh);
  EXPECT_DOUBLE_EQ(p.this_week_kwh, w.this_week_kwh);
  EXPECT_DOUBLE_EQ(p.last_week_kwh, w.last_week_kwh);
  EXPECT_DOUBLE_EQ(p.this_month_kwh, w.this_month_kwh);
  EXPECT_DOUBLE_EQ(p.last_month_kwh, w.last_month_kwh);
  EXPECT_DOUBLE_EQ(p.all_time_kwh, w.all_time_kwh);
  EXPECT_DOUBLE_EQ(p.solar_kwh, w.solar_kwh);
  EXPECT_DOUBLE_EQ(p.wind_kwh, w.wind_kwh);
  EXPECT_DOUBLE_EQ(p.storage_kwh, w.storage_kwh);
  EXPECT_DOUBLE_EQ(p.hydrogen_kwh, w.hydrogen_kwh);
  EXPECT_EQ(p.last_wc_ad_ms, w.last_wc_ad_ms);
  EXPECT_EQ(p.boost_10x_until_ms, w.boost_10x_until_ms);
  EXPECT_EQ(p.cer_id, w.cer_id);
  EXPECT_EQ(p.cer_role, w.cer_role);
  EXPECT_EQ(p.card_draw_ms, w.card_draw_ms);
  EXPECT_EQ(p.card_id, w.card_id);
  EXPECT_EQ(p.card_name, w.card_name);
  EXPECT_EQ(p.card_desc, w.card_desc);
  EXPECT_EQ(p.card_type, w.card_type);
  EXPECT_DOUBLE_EQ(p.card_value, w.card_value);
  EXPECT_EQ(p.card_until_ms, w.card_until_ms);
  EXPECT_EQ(p.weekly_quiz_score, w.weekly_quiz_score);
  // Derived or memory-only fields.
  EXPECT_EQ(p.parcels_count, 1u);
  EXPECT_EQ(p.day_index, 0u);
  EXPECT_TRUE(p.ad_token.empty());
  EXPECT_EQ(p.ad_type, "wc");
  EXPECT_EQ(p.answers_correct, 0u);
  EXPECT_EQ(p.author_tricked, 0u);
  EXPECT_TRUE(p.answered_this_week.empty());
  EXPECT_EQ(p.last_gps_ms, 0u);
  EXPECT_DOUBLE_EQ(p.last_gps_lat, 0.0);
  // A storage plant adds its boost to the recomputed multiplier.
  EXPECT_DOUBLE_EQ(p.storage_boost, 1.3);

  const ParcelRecord l = Peer::parcel(*engine, "45.12345_9.12345");
  const ParcelRecord wl = full_parcel();
  EXPECT_DOUBLE_EQ(l.lat, wl.lat);
  EXPECT_DOUBLE_EQ(l.lon, wl.lon);
  EXPECT_EQ(l.owner, wl.owner);
  EXPECT_EQ(l.plant_type, wl.plant_type);
  EXPECT_EQ(l.plant_level, wl.plant_level);
  EXPECT_EQ(l.plant_name, wl.plant_name);
  EXPECT_DOUBLE_EQ(l.power_kw, wl.power_kw);
  EXPECT_DOUBLE_EQ(l.storage_boost, wl.storage_boost);
  EXPECT_EQ(l.updated_ms, 0u);
  EXPECT_EQ(l.for_sale, wl.for_sale);
  EXPECT_EQ(l.sale_currency, wl.sale_currency);
  EXPECT_DOUBLE_EQ(l.min_bid, wl.min_bid);
  EXPECT_DOUBLE_EQ(l.buyout_price, wl.buyout_price);
  EXPECT_DOUBLE_EQ(l.highest_bid, wl.highest_bid);
  EXPECT_EQ(l.highest_bidder, wl.highest_bidder);
  EXPECT_EQ(l.billboard_active, wl.billboard_active);
  EXPECT_EQ(l.span_cluster, wl.span_cluster);
  EXPECT_EQ(l.group_id, wl.group_id);
  EXPECT_EQ(l.title, wl.title);
  EXPECT_EQ(l.image_url, wl.image_url);
  EXPECT_EQ(l.link_url, wl.link_url);
  EXPECT_EQ(l.social_type, wl.social_type);

  Peer::with_lock(*engine, [&](GameEngine& e) {
    const UserAccount& u = Peer::users_of(e).at("usr_1234_5678");
    const UserAccount wu = full_user();
    EXPECT_EQ(u.username, wu.username);
    EXPECT_EQ(u.email, wu.email);
    EXPECT_EQ(u.password_hash, wu.password_hash);
    EXPECT_EQ(u.salt, wu.salt);
    EXPECT_EQ(u.google_id, wu.google_id);
    EXPECT_EQ(u.avatar_url, wu.avatar_url);
    EXPECT_EQ(u.wallet_address, wu.wallet_address);
    EXPECT_EQ(u.session_token, wu.session_token);
    EXPECT_EQ(u.created_at, wu.created_at);
    EXPECT_EQ(u.last_login, wu.last_login);
    // The four indexes are rebuilt from the account.
    EXPECT_EQ(Peer::email_index_of(e).at("mario@example.it"), wu.id);
    EXPECT_EQ(Peer::username_index_of(e).at("mario rossi"), wu.id);
    EXPECT_EQ(Peer::google_index_of(e).at("g-123"), wu.id);
    EXPECT_EQ(Peer::sessions_of(e).at(wu.session_token), wu.id);

    const CERCommunity& c = Peer::cers_of(e).at("cer_x");
    EXPECT_EQ(c.name, "Comunita X");
    EXPECT_EQ(c.tag, "CX");
    EXPECT_EQ(c.description, "Descrizione");
    EXPECT_EQ(c.emblem, "\xF0\x9F\x8C\xB1");
    EXPECT_EQ(c.creator, "0xfull");
    EXPECT_EQ(c.created_at, 300u);
    EXPECT_EQ(c.weekly_score, 40u);
    EXPECT_DOUBLE_EQ(c.total_kwh, 123.456789);
    ASSERT_EQ(c.members.size(), 2u);
    EXPECT_EQ(c.members[1].address, "0xother");
    EXPECT_EQ(c.members[1].role, "member");
    EXPECT_EQ(c.members[1].joined_at, 302u);
    EXPECT_EQ(c.members[0].weekly_points, 10u);
    EXPECT_DOUBLE_EQ(c.members[0].total_kwh, 12.5);
    ASSERT_EQ(c.messages.size(), 1u);
    EXPECT_EQ(c.messages[0].id, "msg_1");
    EXPECT_EQ(c.messages[0].author_addr, "0xfull");
    EXPECT_EQ(c.messages[0].author_name, "Admin");
    EXPECT_EQ(c.messages[0].text, "Ciao");
    EXPECT_EQ(c.messages[0].emoji, "\xE2\x9A\xA1");
    EXPECT_EQ(c.messages[0].timestamp, 303u);

    const QuizQuestion& q = Peer::questions_of(e).at("qq_1");
    EXPECT_EQ(q.author_addr, "0xfull");
    EXPECT_EQ(q.author_name, "Mario Rossi");
    EXPECT_EQ(q.category, "Cat");
    EXPECT_EQ(q.question, "Domanda di prova?");
    EXPECT_EQ(q.option_a + q.option_b + q.option_c + q.option_d, "ABCD");
    EXPECT_EQ(q.correct_option, 2);
    EXPECT_EQ(q.times_answered, 4u);
    EXPECT_EQ(q.times_correct, 3u);
    EXPECT_EQ(q.times_wrong, 1u);
    EXPECT_EQ(q.created_at, 400u);
    EXPECT_EQ(Peer::categories_of(e).back(), "Nuova categoria");

    const AdminConfig& a = Peer::admin_of(e);
    EXPECT_EQ(a.admin_password_hash, std::string(64, 'd'));
    EXPECT_EQ(a.super_boost_until_ms, 500u);
    EXPECT_EQ(a.super_boost_reason, "Perche si");
    ASSERT_EQ(a.scheduled_boosts.size(), 1u);
    const ScheduledSuperBoost& b = a.scheduled_boosts[0];
    EXPECT_EQ(b.id, "sb_1");
    EXPECT_EQ(b.start_ms, 600u);
    EXPECT_EQ(b.end_ms, 700u);
    EXPECT_EQ(b.multiplier, 150u);
    EXPECT_EQ(b.title, "Titolo SB");
    EXPECT_EQ(b.reason, "Motivo SB");
    EXPECT_TRUE(b.cancelled);
    EXPECT_EQ(b.created_ms, 800u);

    EXPECT_EQ(Peer::ads_config_of(e).google_ad_unit_id, "/1/unit");
    EXPECT_EQ(Peer::ads_config_of(e).amazon_slot_id, "slot");
    EXPECT_EQ(Peer::google_impressions_of(e), 11u);
    EXPECT_EQ(Peer::meta_impressions_of(e), 12u);
    EXPECT_EQ(Peer::amazon_impressions_of(e), 13u);
    EXPECT_EQ(Peer::moloco_impressions_of(e), 0u);
    EXPECT_DOUBLE_EQ(Peer::total_revenue_of(e), 0.125);
    // Identifiers the file does not carry keep their built-in defaults.
    EXPECT_EQ(Peer::ads_config_of(e).google_publisher_id, AdNetworksConfig().google_publisher_id);
  });

  // Saving again rewrites the same snapshot.
  ASSERT_TRUE(engine->save_world());
  std::vector<std::string> a = lines_of(file);
  std::vector<std::string> b = lines_of(read_file(world_path()));
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
}

// A world file holding every kind of record as this build writes it (tests/data/
// world_every_record.dat): read and written again, it comes back byte for byte.
TEST_F(GameWorldFile, AWorldOfEveryRecordKindIsWrittenBackByteForByte) {
  const std::string fixture = read_file(ROZEVE_TEST_DATA_DIR "/world_every_record.dat");
  ASSERT_FALSE(fixture.empty());
  plant_world(fixture);
  auto engine = make_engine();
  ASSERT_FALSE(engine->load_failed()) << engine->load_error();
  fs::remove(world_path());  // what follows is written by the save alone
  ASSERT_TRUE(engine->save_world());
  EXPECT_EQ(read_file(world_path()), fixture);
}

TEST_F(GameWorldFile, ShortLinesKeepTheirDefaults) {
  plant_world(
      "P|0xshort|120|30.5|0|1700000000000|3|extra|fields|ok\n"     // 10 fields, ruz 0 -> 5.0
      "L|k1|45.000000|9.000000|0xshort|solar|1|6.000000|0.000000|Solare|1|RUZ\n"  // 12 fields
      "L|k2|45.100000|9.100000|0xshort|wind|1|4.000000|0.000000|Vento|1||1.0|2.0|0.5|0xb\n"
      "SB|sb_a|10|20|7|0|30|Titolo\n"                                // 8 fields: no reason
      "CERMSG|cer_late|m1|0xa|A|testo|x|5\n"                          // before its community
      "CER|cer_late|Nome|TAG|Desc|e|0xa|1|2|3.5\n"
      "CERM|cer_late|0xa|admin|1|2|3.0\n"
      "CERM|cer_none|0xb|member|1|2|3.0\n"
      "U|usr_1|Nome|n@x.it|h|s|||||5|6\n"                               // no session token
      "P|0xr|1|1.0|5.5|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|||0|||||0|0|0\n"   // empty role
      "ZZ|unknown|tag\n"
      "\n");
  auto engine = make_engine();
  ASSERT_FALSE(engine->load_failed());

  const PlayerProfile p = Peer::player(*engine, "0xshort");
  EXPECT_EQ(p.coins, 120u);
  EXPECT_DOUBLE_EQ(p.kwh, 30.5);
  EXPECT_DOUBLE_EQ(p.ruz, 5.0);
  EXPECT_EQ(p.last_sync_ms, 1'700'000'000'000u);
  EXPECT_EQ(p.ads_watched, 3u);
  EXPECT_DOUBLE_EQ(p.all_time_kwh, 25.0);
  EXPECT_EQ(p.cer_role, "member");
  EXPECT_EQ(p.parcels_count, 2u);
  EXPECT_EQ(Peer::player(*engine, "0xr").cer_role, "member");

  const ParcelRecord k1 = Peer::parcel(*engine, "k1");
  EXPECT_EQ(k1.plant_name, "Solare");
  EXPECT_FALSE(k1.for_sale);
  EXPECT_EQ(k1.sale_currency, "WC");
  EXPECT_EQ(k1.social_type, "web");
  const ParcelRecord k2 = Peer::parcel(*engine, "k2");
  EXPECT_TRUE(k2.for_sale);
  EXPECT_EQ(k2.sale_currency, "WC");  // empty in the file
  EXPECT_DOUBLE_EQ(k2.highest_bid, 0.5);
  EXPECT_EQ(k2.highest_bidder, "0xb");
  EXPECT_FALSE(k2.billboard_active);
  EXPECT_TRUE(k2.span_cluster);

  const AdminConfig a = Peer::admin(*engine);
  ASSERT_EQ(a.scheduled_boosts.size(), 1u);
  EXPECT_EQ(a.scheduled_boosts[0].multiplier, 7u);
  EXPECT_EQ(a.scheduled_boosts[0].title, "Titolo");
  EXPECT_TRUE(a.scheduled_boosts[0].reason.empty());

  const auto cers = Peer::cers(*engine);
  ASSERT_EQ(cers.count("cer_late"), 1u);
  EXPECT_TRUE(cers.at("cer_late").messages.empty());
  EXPECT_EQ(cers.at("cer_late").members.size(), 1u);
  EXPECT_EQ(cers.count("cer_none"), 0u);

  Peer::with_lock(*engine, [](GameEngine& e) {
    EXPECT_EQ(Peer::users_of(e).count("usr_1"), 1u);
    EXPECT_TRUE(Peer::sessions_of(e).empty());
    EXPECT_TRUE(Peer::google_index_of(e).empty());
  });

  // The seeded quiz and communities rewrote the file at the start; a
  // change journals whole lines of what it touched, and a rewrite writes
  // every record whole. Either way they read back the same.
  std::string out;
  ASSERT_TRUE(engine->build_plant("0xshort", "k2", "wind", out)) << out;
  std::string file = saved_world();
  const std::vector<std::string> journaled = lines_tagged(file, "L");
  ASSERT_EQ(journaled.size(), 2u);
  const auto k2_line = std::find_if(journaled.begin(), journaled.end(),
                               [](const std::string& line) { return line.starts_with("L|k2|"); });
  ASSERT_NE(k2_line, journaled.end());
  EXPECT_EQ(std::count(k2_line->begin(), k2_line->end(), '|'), 22);
  EXPECT_NE(file.find("\nP|0xshort|40|"), std::string::npos);  // changed: written whole
  ASSERT_TRUE(engine->save_world());
  file = read_file(world_path());
  EXPECT_EQ(lines_tagged(file, "L").size(), 2u);
  for (const std::string& line : lines_tagged(file, "L")) EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 22);
  for (const std::string& line : lines_tagged(file, "P")) EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 29);
  EXPECT_EQ(read_file(journal_path()), "");
  auto again = make_engine();
  EXPECT_EQ(Peer::parcel(*again, "k1").sale_currency, "WC");
  EXPECT_FALSE(Peer::parcel(*again, "k1").for_sale);
  EXPECT_EQ(Peer::parcel(*again, "k2").plant_type, "wind");
  EXPECT_DOUBLE_EQ(Peer::player(*again, "0xshort").ruz, 5.0);
  EXPECT_EQ(Peer::player(*again, "0xshort").coins, 40u);
  EXPECT_EQ(Peer::questions(*again).size(), 6u);  // seeded at the first start, saved with the change
}

TEST_F(GameWorldFile, UnreadableNumbersDropTheWholeLine) {
  plant_world(
      "A|g|m|p|a|s|5|x|7|1.5\n"  // applied up to the bad number
      "ADM|hash|notanumber|reason|0\n"
      "P|0xneg|-5|1.0|1.0|0|0\n"                     // a signed number where an unsigned one goes
      "P|0xbig|18446744073709551616|1.0|1.0|0|0\n"   // out of range
      "P|0xnan|5|nan|1.0|0|0\n"                      // not finite
      "P|0xok|5|1.0|1.0|0|0\n"
      "L|bad|45.0|inf|0xok||0|0|0|x\n"
      "L|big|45.0|9.0|0xok|solar|2147483648|0|0|x\n"
      "SB|sb|1|2|4294967296|0|3|T|R\n"
      "QQ|q|a|n|c|text|1|2|3|4|1|-1|0|0|0\n");
  auto engine = make_engine();
  EXPECT_FALSE(Peer::has_player(*engine, "0xneg"));
  EXPECT_FALSE(Peer::has_player(*engine, "0xbig"));
  EXPECT_FALSE(Peer::has_player(*engine, "0xnan"));
  EXPECT_TRUE(Peer::has_player(*engine, "0xok"));
  EXPECT_FALSE(Peer::has_parcel(*engine, "bad"));
  EXPECT_FALSE(Peer::has_parcel(*engine, "big"));
  EXPECT_TRUE(Peer::admin(*engine).scheduled_boosts.empty());
  EXPECT_EQ(Peer::questions(*engine).count("q"), 0u);
  Peer::with_lock(*engine, [](GameEngine& e) {
    EXPECT_EQ(Peer::ads_config_of(e).google_ad_unit_id, "g");
    EXPECT_EQ(Peer::google_impressions_of(e), 5u);
    EXPECT_EQ(Peer::amazon_impressions_of(e), 0u);  // after the bad field
    EXPECT_EQ(Peer::admin_of(e).admin_password_hash, "hash");
    EXPECT_TRUE(Peer::admin_of(e).super_boost_reason.empty());
  });
}

TEST_F(GameWorldFile, AKeyReadTwiceKeepsTheLaterRecordAndOneLine) {
  plant_world(
      "P|0xdup|1|1.000000|1.000000|0|0\n"
      "L|lot|45.000000|9.000000|0xdup||0|0.000000|0.000000|first\n"
      "P|0xdup|2|2.000000|2.000000|0|0\n"
      "L|lot|45.000000|9.000000|0xdup||0|0.000000|0.000000|second\n");
  auto engine = make_engine();
  EXPECT_EQ(Peer::player(*engine, "0xdup").coins, 2u);
  EXPECT_EQ(Peer::parcel(*engine, "lot").plant_name, "second");
  ASSERT_TRUE(engine->save_world());
  const std::string file = read_file(world_path());
  EXPECT_EQ(lines_tagged(file, "P").size(), 1u);
  EXPECT_EQ(lines_tagged(file, "L").size(), 1u);
  EXPECT_NE(file.find("\nP|0xdup|2|2.000000|"), std::string::npos);
  EXPECT_NE(file.find("|second|"), std::string::npos);
}

// Keys that differ only by a CR would be one key once written (the writer
// drops CR): such lines are refused at once, so no record is lost at the
// second load. An empty category would not read back either.
TEST_F(GameWorldFile, RecordsThatWouldNotReadBackAreRefusedAtTheFirstLoad) {
  plant_world(
      "U|usr_1|anna|a@x.it|h|s||||tok|1|2\n"
      "U|usr_1\r|anna2|b@x.it|h|s||||tok2|1|2\n"
      "P|0xp|7|1.000000|1.000000|0|0\n"
      "P|0xp\r|9|1.000000|1.000000|0|0\n"
      "L|lot|45.000000|9.000000|0xp||0|0.000000|0.000000|uno\n"
      "L|lot\r|45.100000|9.100000|0xp||0|0.000000|0.000000|due\n"
      "QC|Solare\n"
      "QC||\n"
      "QC|Eolico\r\n"
      "QQ|q1|0xp|n|Solare|Domanda uno?|a|b|c|d|0|0|0|0|1\n"
      "QQ|q1\r|0xp|n|Solare|Domanda due?|a|b|c|d|0|0|0|0|1\n"
      "CER|cer_1|Uno|UN|d|e|0xp|1|0|0.000000\n"
      "CER|cer_1\r|Due|DU|d|e|0xp|1|0|0.000000\n");
  std::vector<std::string> categories = {"Solare", "Eolico"};
  for (int load = 1; load <= 3; ++load) {
    auto engine = make_engine();
    EXPECT_EQ(Peer::player(*engine, "0xp").coins, 7u) << load;
    EXPECT_EQ(Peer::parcel(*engine, "lot").plant_name, "uno") << load;
    EXPECT_EQ(engine->get_total_parcels_count(), 1u) << load;
    EXPECT_EQ(engine->get_total_players_count(), 1u) << load;
    EXPECT_EQ(Peer::questions(*engine).size(), 1u) << load;
    EXPECT_EQ(Peer::questions(*engine).at("q1").question, "Domanda uno?") << load;
    EXPECT_EQ(Peer::cers(*engine).size(), 1u) << load;
    EXPECT_EQ(Peer::cers(*engine).at("cer_1").name, "Uno") << load;
    EXPECT_EQ(Peer::categories(*engine), categories) << load;
    // Every load after the first reads what the previous one saved.
    std::string out;
    categories.push_back("Nuova" + std::to_string(load));
    ASSERT_TRUE(engine->add_quiz_category(categories.back(), out)) << out;
    // A rewrite of the whole file writes the one account once.
    ASSERT_TRUE(engine->save_world());
    EXPECT_EQ(lines_tagged(read_file(world_path()), "U").size(), 1u) << load;
  }
}

// A rewrite of a world that did not change writes the same records, the
// quiz and the communities in the same order whatever the order of the maps
// that hold them.
TEST_F(GameWorldFile, RewritingAnUnchangedWorldWritesTheSameRecords) {
  {
    auto engine = make_engine();
    std::string out;
    for (int i = 0; i < 12; ++i) {
      ASSERT_TRUE(engine->submit_quiz_question("0xautore" + std::to_string(i), "Energia",
                                               "Quanto produce un pannello? " + std::to_string(i), "a", "b",
                                               "c", "d", 1, out))
          << out;
      ASSERT_TRUE(engine->create_cer_community("0xfondatore" + std::to_string(i), "Comunita " + std::to_string(i),
                                               "C" + std::to_string(i), "", "", out))
          << out;
    }
    ASSERT_TRUE(engine->save_world());
  }
  const std::string first = read_file(world_path());
  std::vector<std::string> ids;
  for (const std::string& line : lines_tagged(first, "QQ")) ids.push_back(line.substr(3, line.find('|', 3) - 3));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  ids.clear();
  for (const std::string& line : lines_tagged(first, "CER")) ids.push_back(line.substr(4, line.find('|', 4) - 4));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_EQ(ids.size(), 15u);
  // The quiz and the communities in the same order; the records of the
  // big maps (written in the maps' own order, piece by piece) the same.
  const auto quiz_and_communities = [](const std::string& text) {
    std::vector<std::string> kept;
    for (const char* tag : {"QC", "QQ", "CER", "CERM", "CERMSG"}) {
      for (std::string& line : lines_tagged(text, tag)) kept.push_back(std::move(line));
    }
    return kept;
  };
  const auto sorted = [](const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t lf = text.find('\n', pos);
      lines.push_back(text.substr(pos, lf - pos));
      pos = lf == std::string::npos ? text.size() : lf + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  for (int round = 0; round < 3; ++round) {
    auto engine = make_engine();
    ASSERT_TRUE(engine->save_world());
    ASSERT_TRUE(engine->save_world());
    const std::string again = read_file(world_path());
    EXPECT_EQ(quiz_and_communities(again), quiz_and_communities(first)) << round;
    EXPECT_EQ(sorted(again), sorted(first)) << round;
  }
}

TEST_F(GameWorldFile, PendingClaimsAreKeptUntilSettledAndBadOnesSkipped) {
  const std::string hash(64, 'e');
  const std::string pending = "CLAIM|" + hash + "|7|0xpay|KWH|300|2940000";
  plant_world(
      "P|0xpay|1|1.000000|1.000000|0|0\n" + pending + "\n"
      "CLAIM|" + hash + "|7|0xpay|RUZ|300|2940000\n"  // no such source
      "CLAIM|" + hash + "|7|0xpay|WC|0|2940000\n"     // nothing debited
      "CLAIM|" + hash + "|x|0xpay|WC|300|2940000\n"   // not a number
      "CLAIM|" + hash + "|7|0xpay|WC|300\n"           // short
      "CLAIM||7|0xpay|WC|300|2940000\n");             // no hash
  testing::internal::CaptureStdout();
  auto engine = make_engine();
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Ignorate 5 righe illeggibili"), std::string::npos);
  const std::vector<ClaimIntent> claims = Peer::pending_claims(*engine);
  ASSERT_EQ(claims.size(), 1u);
  EXPECT_EQ(claims[0].tx_hash, hash);
  EXPECT_EQ(claims[0].block_index, 7u);
  EXPECT_EQ(claims[0].player, "0xpay");
  EXPECT_EQ(claims[0].source, "KWH");
  EXPECT_EQ(claims[0].units, 300u);
  EXPECT_EQ(claims[0].net_atomic, 2'940'000u);
  // Any other save writes it back as it was read, once.
  ASSERT_TRUE(engine->save_world());
  EXPECT_EQ(lines_tagged(read_file(world_path()), "CLAIM"), std::vector<std::string>{pending});
  EXPECT_EQ(Peer::pending_claims(*make_engine()).size(), 1u);
}

TEST_F(GameWorldFile, OnlyAdsAndAdminLinesYieldASeededWorldInMemory) {
  plant_world("A|g|m|p|a|s|1|2|3|4.000000\nADM|hash|0||0\n");
  auto engine = make_engine();
  EXPECT_EQ(engine->get_total_parcels_count(), 19u);
  EXPECT_EQ(engine->get_total_players_count(), 4u);
  EXPECT_EQ(Peer::questions(*engine).size(), 6u);
  EXPECT_EQ(Peer::cers(*engine).size(), 3u);
  EXPECT_EQ(Peer::categories(*engine).size(), 6u);
  EXPECT_EQ(Peer::admin(*engine).admin_password_hash, "hash");
}

TEST_F(GameWorldFile, MissingFileIsSeededAndWrittenAtOnce) {
  auto engine = make_engine();
  const std::string file = read_file(world_path());
  EXPECT_EQ(lines_tagged(file, "A").size(), 1u);
  EXPECT_EQ(lines_tagged(file, "P").size(), 4u);
  EXPECT_EQ(lines_tagged(file, "L").size(), 19u);
  EXPECT_EQ(lines_tagged(file, "ADM").size(), 1u);
  EXPECT_EQ(lines_tagged(file, "QC").size(), 6u);
  EXPECT_EQ(lines_tagged(file, "QQ").size(), 6u);
  EXPECT_EQ(lines_tagged(file, "CER").size(), 3u);
  EXPECT_EQ(lines_tagged(file, "CERM").size(), 3u);
  EXPECT_EQ(lines_tagged(file, "CERMSG").size(), 3u);
  // The mark of the last change the file holds.
  EXPECT_EQ(lines_tagged(file, "J").size(), 1u);
  EXPECT_EQ(lines_of(file).size(), 1u + 4 + 19 + 1 + 6 + 6 + 9 + 1);
  EXPECT_FALSE(fs::exists(world_path() + ".tmp"));
}

TEST_F(GameWorldFile, AWorldFileThatCannotBeReadIsNeverReplaced) {
  // A directory where the file should be: it exists, it cannot be read.
  fs::create_directories(world_path());
  write_file(world_path() + "/keep", "x");
  auto engine = make_engine();
  EXPECT_TRUE(engine->load_failed());
  EXPECT_NE(engine->load_error().find("game_world.dat"), std::string::npos) << engine->load_error();
  EXPECT_EQ(engine->get_total_parcels_count(), 0u);

  // Nothing is ever written over it; actions are refused and undone.
  EXPECT_FALSE(engine->save_world());
  std::string out;
  EXPECT_FALSE(engine->buy_parcel("0xa", "45.0_9.0", 45.0, 9.0, out, 0, 0, false));
  EXPECT_EQ(out, "{\"status\":\"error\",\"message\":\"Salvataggio del mondo di gioco non riuscito: operazione "
                 "annullata.\"}");
  EXPECT_EQ(engine->get_total_parcels_count(), 0u);
  EXPECT_TRUE(fs::is_directory(world_path()));
  EXPECT_EQ(read_file(world_path() + "/keep"), "x");
  EXPECT_FALSE(fs::exists(world_path() + ".tmp"));
}

TEST_F(GameWorldFile, AFailedSaveLeavesTheOldFileAndUndoesTheChange) {
  auto engine = make_engine();
  const std::string before = read_file(world_path());
  // The disk takes no write.
  block_saves(*engine);
  std::string out;
  EXPECT_FALSE(engine->buy_parcel("0xbuyer", "45.0_9.0", 45.0, 9.0, out, 0, 0, false));
  EXPECT_EQ(out, "{\"status\":\"error\",\"message\":\"Salvataggio del mondo di gioco non riuscito: operazione "
                 "annullata.\"}");
  EXPECT_EQ(read_file(world_path()), before);
  EXPECT_FALSE(Peer::has_parcel(*engine, "45.0_9.0"));
  EXPECT_FALSE(Peer::has_player(*engine, "0xbuyer"));  // created by this action, gone with it

  // Once the disk takes writes again the same purchase goes through.
  allow_saves(*engine);
  EXPECT_TRUE(engine->buy_parcel("0xbuyer", "45.0_9.0", 45.0, 9.0, out, 0, 0, false)) << out;
  EXPECT_EQ(lines_tagged(saved_world(), "L").size(), 20u);
}

TEST_F(GameWorldFile, ForgedLinesNeverReachTheFile) {
  auto engine = make_engine();
  const std::string before = read_file(world_path());
  const std::string forged_player = "P|0xevil|999999999|1|1|1|1";
  const std::string forged_user = "U|usr_evil|evil|e@x.it|" + std::string(64, '0') + "|salt||||tok_evil|1|1";
  std::string out;

  // A lot key or an address carrying a line break and a record.
  EXPECT_FALSE(engine->buy_parcel("0xa", "45.0_9.0\n" + forged_player, 45.0, 9.0, out, 0, 0, false));
  EXPECT_EQ(out, "{\"status\":\"error\",\"message\":\"Coordinate GPS catastali non valide\"}");
  EXPECT_FALSE(engine->buy_parcel("0xa\n" + forged_user, "45.0_9.0", 45.0, 9.0, out, 0, 0, false));
  EXPECT_EQ(out, "{\"status\":\"error\",\"message\":\"Indirizzo wallet non valido.\"}");
  EXPECT_FALSE(engine->buy_parcel("0xa|b", "k", 45.0, 9.0, out, 0, 0, false));
  EXPECT_FALSE(engine->build_plant("0xa", "k\r\nP|x", "solar", out));
  EXPECT_FALSE(engine->upgrade_plant("0x\"a", "k", out));
  EXPECT_NE(engine->get_player_state_json("0xa\nP|x").find("Indirizzo wallet non valido."), std::string::npos);
  EXPECT_NE(engine->get_production_history_json("0xa\\").find("\"status\":\"error\""), std::string::npos);
  EXPECT_NE(engine->get_viewport_parcels_json(0, 1, 0, 1, "a\nb").find("\"status\":\"error\""), std::string::npos);
  EXPECT_EQ(engine->get_total_players_count(), 4u);  // no player was created
  EXPECT_EQ(read_file(world_path()), before);

  // Stored text with separators and breaks is written without them, and a
  // real save keeps exactly the world's own records.
  Peer::with_lock(*engine, [&](GameEngine& e) {
    Peer::touch_cer(e, "cer_solare_italia");
    Peer::cers_of(e)["cer_solare_italia"].name = "Nome|con\nP|0xevil|1|1|1|1|1\r";
  });
  ASSERT_TRUE(engine->buy_parcel("0xa", "45.0_9.0", 45.0, 9.0, out, 0, 0, false)) << out;
  EXPECT_EQ(saved_world().find("0xevil|"), std::string::npos);
  ASSERT_TRUE(engine->save_world());
  const std::string file = read_file(world_path());
  EXPECT_EQ(file.find("0xevil|"), std::string::npos);
  EXPECT_EQ(count_of(file, "\n"), lines_of(before).size() + 2);  // one player and one lot more
  EXPECT_EQ(lines_tagged(file, "P").size(), 5u);
  EXPECT_EQ(lines_tagged(file, "U").size(), 0u);
  EXPECT_NE(file.find("|NomeconP0xevil11111|"), std::string::npos);

  auto reloaded = make_engine();
  EXPECT_EQ(reloaded->get_total_players_count(), 5u);
  EXPECT_EQ(Peer::cers(*reloaded).at("cer_solare_italia").name, "NomeconP0xevil11111");
}

}  // namespace
}  // namespace ZezozuRiziv
