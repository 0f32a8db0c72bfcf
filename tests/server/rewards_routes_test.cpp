// Rewarded ads, daily cards, the on-chain claim and the reward-pool view over
// a real server.
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "chain/accounts.h"
#include "json_test_support.h"
#include "server/json_reader.h"
#include "server_route_fixture.h"

namespace {

using namespace rozeve_test;

constexpr char kAdConfigRefusal[] =
    "{\"status\":\"error\",\"message\":\"Accesso negato: la configurazione Publisher e' riservata "
    "all'amministratore sul server (config/ads_publisher.conf).\"}";

// A 0x address of 40 hex digits ending in `tail`.
std::string wallet(const std::string& tail) { return "0x" + std::string(40 - tail.size(), '0') + tail; }

class RewardsRoutesTest : public SmallChainFixture {
 protected:
  std::string post(const std::string& path, const std::string& form) {
    return body_of(exchange("POST " + path + " HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form));
  }
  // Every answer of these routes is one JSON object.
  std::string json_get(const std::string& target) {
    const std::string answer = get(target);
    EXPECT_TRUE(ZezozuRiziv::JsonDocument::parse(answer).has_value()) << answer;
    return answer;
  }
};

TEST_F(RewardsRoutesTest, AdConfigurationIsRefusedWhateverTheParameters) {
  start_server();
  EXPECT_EQ(get("/api/game/ad/config"), kAdConfigRefusal);
  EXPECT_EQ(get("/api/game/ad/config?google_ad_unit_id=/1/x&token=admin"), kAdConfigRefusal);
  EXPECT_EQ(post("/api/game/ad/config", "meta_pixel_id=1"), kAdConfigRefusal);
  EXPECT_NE(get("/api/game/ad/status").find("\"google_ad_unit_id\":\"/22914365087/zerirorivi_rewarded_video\""),
            std::string::npos);
}

TEST_F(RewardsRoutesTest, RewardPoolView) {
  state_.balances[ZezozuRiziv::kRewardPoolAddress] = 0;
  state_.balances[ZezozuRiziv::kFeeTreasuryAddress] = 1'234'567;
  state_.balances[ZezozuRiziv::kIncubatorAddress] = 7'000;
  state_.balances[ZezozuRiziv::kBurnAddress] = 2'500'000;
  start_server();
  // An empty pool is shown with 500,000 coins.
  EXPECT_EQ(get("/api/game/reward-pool"),
            "{\"status\":\"ok\",\"reward_pool_wallet\":\"0xzerirorivi_reward_pool_vault\",\"reward_pool_ruz\":"
            "500000.00,\"srl_treasury_ruz\":1.23,\"coop_oasis_ruz\":0.01,\"burned_ruz\":2.50}");
  {
    std::unique_lock lock(chain_lock_);
    state_.balances[ZezozuRiziv::kRewardPoolAddress] = 123'456'789;
  }
  EXPECT_EQ(json_field(post("/api/game/reward-pool", "x=1"), "reward_pool_ruz"), "123.46");
}

TEST_F(RewardsRoutesTest, ClaimRuzRoute) {
  start_server();
  // No source: the kWh road (a new player holds 25 kWh).
  EXPECT_EQ(json_get("/api/game/claim-ruz?addr=" + wallet("aa")),
            "{\"status\":\"error\",\"message\":\"Servono almeno 100 kWh certificati sul server per coniare 1 RUZ "
            "on-chain\"}");
  // No amount: no cap, the whole 300 WC of a new player.
  const std::string paid = json_get("/api/game/claim-ruz?addr=" + wallet("BB") + "&source=WC");
  EXPECT_EQ(json_field(paid, "status"), "ok") << paid;
  EXPECT_EQ(json_field(paid, "gross_ruz"), "3");
  EXPECT_EQ(json_field(paid, "block_index"), "3");
  {
    std::shared_lock lock(chain_lock_);
    const auto& chain = storage_->get_blocks_cached();
    ASSERT_EQ(chain.size(), 4u);
    EXPECT_EQ(chain.back().transactions.at(0).tx_hash, json_field(paid, "tx_hash"));
    EXPECT_EQ(chain.back().transactions.at(0).recipient, wallet("bb"));
    // The empty pool was topped up from the genesis recipient (A).
    EXPECT_EQ(state_.get_balance(kAddrA), 20'000'000'000'000 - 500'000'000'000);
    EXPECT_EQ(state_.get_balance(wallet("bb")), 2'940'000u);
  }
  // An amount that does not convert is refused; an empty one is no cap; a number is.
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=" + wallet("cc") + "&source=wc&amount=abc"), "status"), "error");
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=" + wallet("cc") + "&source=wc&amount="), "gross_ruz"), "3");
  EXPECT_EQ(json_field(post("/api/game/claim-ruz", "addr=" + wallet("dd") + "&source=WC&amount=2"), "gross_ruz"), "2");
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=" + wallet("dd") + "&source=WC"), "remaining_coins"), "0");
  // Texts a claimant key cannot hold are refused, the answer still JSON.
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=0x%22bb%22&source=WC"), "message"),
            "Indirizzo wallet non valido.");
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=0xbb:cc&source=WC"), "message"),
            "Indirizzo non utilizzabile come conto: contiene caratteri non ammessi");
  // Text that is no address would be paid to an account no key controls.
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=0xab&source=WC"), "message"),
            "Indirizzo non valido per il riscatto: i RUZ si ricevono solo su un indirizzo 0x con 40 cifre "
            "esadecimali o su un indirizzo RUZ con il suo codice di controllo");
}

TEST_F(RewardsRoutesTest, ConcurrentClaimsEachGetABlockOfTheirOwn) {
  start_server();
  constexpr int kClients = 8;
  constexpr int kClaimsEach = 3;  // a new player's 300 WC, 1 RUZ at a time
  std::vector<std::vector<std::string>> answers(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < kClaimsEach; ++i) {
        answers[c].push_back(get("/api/game/claim-ruz?addr=" + wallet("ce" + std::to_string(c)) + "&source=WC&amount=1"));
      }
    });
  }
  for (std::thread& t : clients) t.join();
  std::set<std::string> indexes;
  for (const auto& mine : answers) {
    for (const std::string& answer : mine) {
      ASSERT_EQ(json_field(answer, "status"), "ok") << answer;
      indexes.insert(json_field(answer, "block_index"));
    }
    EXPECT_EQ(json_field(mine.back(), "remaining_coins"), "0");
  }
  EXPECT_EQ(indexes.size(), static_cast<size_t>(kClients * kClaimsEach));
  std::shared_lock lock(chain_lock_);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 3u + kClients * kClaimsEach);
  EXPECT_EQ(state_.get_nonce(ZezozuRiziv::kRewardPoolAddress), static_cast<uint64_t>(kClients * kClaimsEach));
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(state_.get_balance(wallet("ce" + std::to_string(c))), 3 * 980'000u);
}

TEST_F(RewardsRoutesTest, AdAndCardRoutes) {
  start_server();
  const std::string started = json_get("/api/game/ad/start?addr=0xab&sponsor=Meta%20Audience");
  EXPECT_EQ(json_field(started, "network"), "meta");
  EXPECT_EQ(json_field(started, "ad_type"), "wc");  // no type: "wc"
  const std::string token = json_field(started, "ad_token");
  ASSERT_EQ(token.size(), 32u) << started;
  EXPECT_EQ(get("/api/game/ad/quartile?addr=0xab&token=" + token + "&q=50"),
            "{\"status\":\"ok\",\"quartile\":50,\"mask\":2}");
  EXPECT_EQ(get("/api/game/ad/quartile?addr=0xab&token=" + token + "&q=x"),
            "{\"status\":\"ok\",\"quartile\":0,\"mask\":2}");
  EXPECT_EQ(json_field(post("/api/game/ad/quartile", "addr=0xab&token=nope&q=1"), "message"),
            "Sessione SSV non valida per il tracking quartile");
  EXPECT_EQ(json_field(get("/api/game/ad/claim?addr=0xab&token=" + token), "message"),
            "Anti-Cheat Server SSV: riproduzione dello spot non ancora completata!");
  EXPECT_EQ(json_field(json_get("/api/game/ad/start?addr=0xcd&type=boost"), "ad_type"), "boost");
  EXPECT_EQ(json_get("/api/game/ad/status"), server_->game.get_ads_status_json());

  EXPECT_EQ(json_get("/api/game/card/status?addr=0xef"),
            "{\"status\":\"ok\",\"can_draw\":true,\"cooldown_sec\":0,\"is_active\":false,\"card\":null}");
  const std::string drawn = json_get("/api/game/card/draw?addr=0xEF");
  EXPECT_EQ(json_field(drawn, "message"), "Carta bonus pescata con successo!");
  const std::string status = json_get("/api/game/card/status?addr=0xef");
  EXPECT_EQ(json_field(status, "is_active"), "true");
  EXPECT_EQ(json_field(status, "can_draw"), "false");
  EXPECT_EQ(json_field(json_get("/api/game/card/draw?addr=0xef"), "message"),
            "Hai gia' pescato la tua carta bonus nelle ultime 24 ore!");
}

TEST_F(RewardsRoutesTest, AClaimAmountThatIsNotAWholeNumberIsRefusedAndSpendsNothing) {
  start_server();
  size_t blocks = 0;
  {
    std::shared_lock lock(chain_lock_);
    blocks = storage_->get_blocks_cached().size();
  }
  const std::string player = wallet("e1");
  for (const char* amount : {"-1", "-2", "abc", "1.5", "%201", "+1", "1e2", "0x2", "3abc",
                             "99999999999999999999999"}) {
    for (const char* source : {"WC", "KWH"}) {
      const std::string answer = json_get("/api/game/claim-ruz?addr=" + player + "&source=" + source +
                                          "&amount=" + amount);
      EXPECT_EQ(answer,
                "{\"status\":\"error\",\"message\":\"Quantita' RUZ non valida: indica un numero intero "
                "di RUZ (0 o nessuna quantita' per convertire tutto).\"}")
          << amount;
    }
  }
  {
    std::shared_lock lock(chain_lock_);
    EXPECT_EQ(storage_->get_blocks_cached().size(), blocks);
  }
  // The player's 300 WC are all still there: 1 RUZ leaves 200.
  const std::string one = json_get("/api/game/claim-ruz?addr=" + player + "&source=WC&amount=1");
  EXPECT_EQ(json_field(one, "gross_ruz"), "1") << one;
  EXPECT_EQ(json_field(one, "remaining_coins"), "200") << one;
  // 0, and a number with leading zeros, keep their meaning.
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=" + player + "&source=WC&amount=01"),
                       "remaining_coins"),
            "100");
  EXPECT_EQ(json_field(json_get("/api/game/claim-ruz?addr=" + player + "&source=WC&amount=0"),
                       "remaining_coins"),
            "0");
}

}  // namespace
