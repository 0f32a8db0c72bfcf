// The faucet, staking and unstaking over a real server, GET and POST alike:
// the answers, the files behind them, and every refusal changing nothing.
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto_keys.h"
#include "crypto/text.h"
#include "game/model/game_clock.h"
#include "server/account_keys.h"
#include "server_route_fixture.h"
#include "storage/ledger.h"

namespace {

using namespace rozeve_test;
using ZezozuRiziv::Block;
using ZezozuRiziv::State;

constexpr uint64_t kCoin = 1'000'000;
constexpr char kAddrD[] = "0x00000000000000000000000000000000000000d4";
constexpr char kAddrDUpper[] = "0x00000000000000000000000000000000000000D4";

constexpr char kStakeFunds[] = "Saldo spendibile insufficiente per completare lo staking";
constexpr char kUnstakeFunds[] = "Fondi in staking insufficienti per il ritiro";
constexpr char kRateLimited[] =
    "Rate Limit Anti-Abuso attivo: attendi qualche secondo prima di richiedere nuovamente dal "
    "Faucet.";

std::string error_answer(const std::string& message) {
  return "{\"status\":\"error\",\"message\":\"" + message + "\"}";
}
std::string granted(const std::string& address, uint64_t coins) {
  return "{\"status\":\"ok\",\"message\":\"Fondi accreditati dalla Treasury\",\"address\":\"" +
         address + "\",\"amount\":" + std::to_string(coins) + "}";
}
std::string staked_answer(uint64_t coins, bool validator) {
  return "{\"status\":\"ok\",\"staked\":" + std::to_string(coins) +
         ",\"is_validator\":" + (validator ? "true" : "false") + "}";
}

class LedgerWriteRoutesTest : public SmallChainFixture {
 protected:
  void SetUp() override {
    SmallChainFixture::SetUp();
    clock = std::make_shared<ZezozuRiziv::ManualGameClock>(1'700'000'000'000);
    clock_ = clock;
    state_.balances[kAddrD] = 2'500 * kCoin;  // no stake
    ASSERT_TRUE(storage_->save_state(state_));
  }

  // Both files as they are on disk.
  struct Files {
    std::string state, blocks, credits;
    bool operator==(const Files&) const = default;
  };
  Files files() {
    return {read_file_text(storage_->state_path()), read_file_text(storage_->blocks_path()),
            read_file_text(storage_->credits_path())};
  }
  // The state as the server holds it, read under the chain lock.
  State live_state() {
    std::shared_lock lock(chain_lock_);
    return state_;
  }
  size_t rate_entries() {
    platform::ReadLock lock(server_->chain_lock);
    return server_->faucet_rate_map.size();
  }
  // Every coin that exists: balances and stakes.
  uint64_t all_coins() { return live_state().get_total_circulating(); }
  std::vector<std::string> block_lines() { return split(read_file_text(storage_->blocks_path())); }
  static std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  // GET with the parameters in the query, or POST with them as a form.
  std::string ask(bool as_post, const std::string& path, const std::string& params) {
    return as_post ? post(path, params) : get(path + "?" + params);
  }
  // The saved state is the live one.
  void expect_saved() {
    const State saved = saved_state(*storage_);
    const State live = live_state();
    EXPECT_EQ(saved.balances, live.balances);
    EXPECT_EQ(saved.staked, live.staked);
    EXPECT_EQ(saved.nonces, live.nonces);
  }

  std::shared_ptr<ZezozuRiziv::ManualGameClock> clock;
};

// --- faucet -------------------------------------------------------------------

TEST_F(LedgerWriteRoutesTest, FaucetGrantsOncePerTwoSecondsPerAddress) {
  start_server();
  const uint64_t coins_before = all_coins();
  EXPECT_EQ(get(std::string("/api/fund?addr=") + kAddrC), granted(kAddrC, 1000));
  // Another spelling of the same address shares its rate entry.
  EXPECT_EQ(post("/api/fund", std::string("addr=") + "0x00000000000000000000000000000000000000C3"),
            error_answer(kRateLimited));
  clock->advance_ms(1'000);
  EXPECT_EQ(get(std::string("/api/fund?addr=") + kAddrC + "&amt=10"), error_answer(kRateLimited));
  clock->advance_ms(999);  // still within the same whole second
  EXPECT_EQ(get(std::string("/api/fund?addr=") + kAddrC), error_answer(kRateLimited));
  clock->advance_ms(1);
  // Two whole seconds after the first grant: granted, to the same balance.
  EXPECT_EQ(post("/api/fund", "amt=9999&addr=0x00000000000000000000000000000000000000C3"),
            granted("0x00000000000000000000000000000000000000C3", 5000));
  EXPECT_EQ(live_state().get_balance(kAddrC), 1'000 + 6'000 * kCoin);
  EXPECT_EQ(rate_entries(), 1u);
  // Only the faucet minted, exactly what it answered.
  EXPECT_EQ(all_coins(), coins_before + 6'000 * kCoin);
  expect_saved();
}

TEST_F(LedgerWriteRoutesTest, FaucetAmounts) {
  start_server();
  struct Case {
    const char* amt;
    uint64_t coins;
  };
  const Case cases[] = {
      {"", 1000},      {"9999", 5000}, {"5000", 5000}, {"abc", 1000},
      {"-5", 1000},    {"%2B7", 7},      {"12abc", 12},  {"99999999999999999999", 1000},
      {"0", 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string address = "0x00000000000000000000000000000000000001" + std::to_string(10 + n);
    const bool as_post = n++ % 2 == 1;
    const std::string amt = *c.amt ? std::string("&amt=") + c.amt : "";
    EXPECT_EQ(ask(as_post, "/api/fund", "addr=" + address + amt), granted(address, c.coins)) << c.amt;
    EXPECT_EQ(live_state().get_balance(address), c.coins * kCoin) << c.amt;
  }
  // A grant of nothing leaves no empty account behind.
  EXPECT_EQ(live_state().balances.count("0x0000000000000000000000000000000000000118"), 0u);
  expect_saved();
}

TEST_F(LedgerWriteRoutesTest, FaucetWithoutAnAddressIsTheJsonRpcs) {
  start_server();
  const Files before = files();
  EXPECT_EQ(get("/api/fund"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":null}");
  EXPECT_EQ(get("/api/fund?addr=&amt=5"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":null}");
  EXPECT_EQ(server_->counters.rpc_calls.load(), 2u);
  EXPECT_EQ(rate_entries(), 0u);
  EXPECT_EQ(files(), before);
}

// Texts that are not addresses, or that the state text cannot carry as keys.
std::vector<std::string> unusable_addresses() {
  const std::string native = RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '2'));
  std::string bad_checksum = native;
  bad_checksum.back() = bad_checksum.back() == '0' ? '1' : '0';
  return {
      "0xab",
      "0x00000000000000000000000000000000000000a",    // 39 digits
      "0x00000000000000000000000000000000000000a1a",  // 41 digits
      "0x00000000000000000000000000000000000000g1",
      "0xzerirorivi_reward_pool_vault",
      ZezozuRiziv::kFeeTreasuryAddress,  // "ruz" + 40 digits: an account, not an address
      RozeveCrypto::ascii_lower(native),  // a native address is case-exact
      bad_checksum,
      "%22%2C%7D%3A",  // ",}:
      "0x00000000000000000000000000000000000000a%22",
      "%200x00000000000000000000000000000000000000a1",
  };
}

TEST_F(LedgerWriteRoutesTest, EveryWriteRouteRefusesAnAddressThatCannotHoldCoins) {
  start_server();
  const Files before = files();
  const State state_before = live_state();
  const std::string refusal = error_answer(ZezozuRiziv::kUnusableAddressMessage);
  bool as_post = false;
  for (const std::string& address : unusable_addresses()) {
    for (const char* path : {"/api/fund", "/api/stake", "/api/unstake"}) {
      EXPECT_EQ(ask(as_post, path, "addr=" + address + "&amt=1"), refusal) << path << " " << address;
      as_post = !as_post;
    }
  }
  // Nothing was looked up into existence: no rate entry, no account, no file change.
  EXPECT_EQ(rate_entries(), 0u);
  const State after = live_state();
  EXPECT_EQ(after.balances, state_before.balances);
  EXPECT_EQ(after.staked, state_before.staked);
  EXPECT_EQ(after.nonces, state_before.nonces);
  EXPECT_EQ(files(), before);
}

TEST_F(LedgerWriteRoutesTest, FaucetCreditsANativeAddressUnderItsOwnKey) {
  const std::string native = RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '3'));
  start_server();
  EXPECT_EQ(get("/api/fund?addr=" + native + "&amt=2"), granted(native, 2));
  EXPECT_EQ(live_state().get_balance(native), 2 * kCoin);
  EXPECT_EQ(get("/api/info?addr=" + native),
            "{\"block_height\":2,\"total_supply\":21000000,\"total_staked\":1999,\"active_validators\":1,"
            "\"user_balance\":2,\"user_stake\":0,\"is_validator\":false}");
}

TEST_F(LedgerWriteRoutesTest, FaucetCreditThatWouldPassSixtyFourBitsIsRefused) {
  state_.balances[kAddrC] = UINT64_MAX - 999 * kCoin;
  ASSERT_TRUE(storage_->save_state(state_));
  start_server();
  const Files before = files();
  EXPECT_EQ(get(std::string("/api/fund?addr=") + kAddrC),
            error_answer(ZezozuRiziv::kOverflowMessage));
  EXPECT_EQ(live_state().get_balance(kAddrC), UINT64_MAX - 999 * kCoin);
  EXPECT_EQ(files(), before);
  // Nothing was granted, so nothing is rate-limited: a smaller grant fits at once.
  EXPECT_EQ(rate_entries(), 0u);
  EXPECT_EQ(get(std::string("/api/fund?addr=") + kAddrC + "&amt=999"), granted(kAddrC, 999));
  EXPECT_EQ(live_state().get_balance(kAddrC), UINT64_MAX);
}

TEST_F(LedgerWriteRoutesTest, SimultaneousFaucetRequestsForOneAddressGrantOnce) {
  start_server();
  constexpr int kRequests = 24;
  std::atomic<int> grants{0}, refusals{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kRequests; ++i) {
    clients.emplace_back([&, i] {
      const std::string spelling = i % 2 ? kAddrDUpper : kAddrD;
      const std::string answer = get("/api/fund?addr=" + spelling + "&amt=3");
      if (answer == granted(spelling, 3)) ++grants;
      if (answer == error_answer(kRateLimited)) ++refusals;
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(grants.load(), 1);
  EXPECT_EQ(refusals.load(), kRequests - 1);
  EXPECT_EQ(live_state().get_balance(kAddrD), 2'503 * kCoin);
}

// --- staking ------------------------------------------------------------------

TEST_F(LedgerWriteRoutesTest, StakeSealsOneStakeTransactionInANewBlock) {
  start_server();
  const uint64_t coins_before = all_coins();
  EXPECT_EQ(post("/api/stake", std::string("addr=") + kAddrDUpper + "&amt=1000"),
            staked_answer(1000, true));

  const std::vector<std::string> lines = block_lines();
  ASSERT_EQ(lines.size(), 4u);
  const auto block = Block::deserialize(lines[3]);
  ASSERT_TRUE(block.has_value()) << lines[3];
  EXPECT_EQ(block->index, 3u);
  EXPECT_EQ(block->prev_hash, b2.block_hash);
  EXPECT_EQ(block->validator, kAddrD);  // no node validator: the staker
  ASSERT_EQ(block->transactions.size(), 1u);
  const ZezozuRiziv::Transaction& tx = block->transactions[0];
  EXPECT_EQ(tx.type, ZezozuRiziv::TxType::STAKE);
  EXPECT_EQ(tx.sender, kAddrD);
  EXPECT_EQ(tx.recipient, "");
  EXPECT_EQ(tx.amount, 1'000 * kCoin);
  EXPECT_EQ(tx.fee, 0u);
  EXPECT_EQ(tx.nonce, 0u);
  EXPECT_NE(lines[3].find("\"recipient\":\"\""), std::string::npos) << lines[3];

  const State after = live_state();
  EXPECT_EQ(after.get_balance(kAddrD), 1'500 * kCoin);
  EXPECT_EQ(after.get_stake(kAddrD), 1'000 * kCoin);
  EXPECT_EQ(after.get_nonce(kAddrD), 1u);
  EXPECT_EQ(all_coins(), coins_before);
  expect_saved();
  // The explorer sees it at once.
  EXPECT_EQ(get("/api/explorer/block?id=3"), lines[3]);

  EXPECT_EQ(get(std::string("/api/stake?addr=") + kAddrD + "&amt=1"), staked_answer(1001, true));
  EXPECT_EQ(block_lines().size(), 5u);
  EXPECT_EQ(all_coins(), coins_before);
}

TEST_F(LedgerWriteRoutesTest, StakeBlockNamesTheNodeValidatorWhenItQualifies) {
  server_ = std::make_unique<ZezozuRiziv::RPCServer>(state_, mempool_, *storage_, chain_lock_, 0,
                                                     202677, options_, clock_);
  server_->node_validator_address = kAddrA;  // 1,000 RUZ staked: qualifies
  ASSERT_TRUE(server_->start());
  EXPECT_EQ(get(std::string("/api/stake?addr=") + kAddrD), staked_answer(1000, true));
  const auto block = Block::deserialize(block_lines().back());
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->validator, kAddrA);
}

TEST_F(LedgerWriteRoutesTest, UnstakeMovesStakeBackWithoutABlock) {
  start_server();
  const uint64_t coins_before = all_coins();
  const std::string blocks_before = read_file_text(storage_->blocks_path());
  EXPECT_EQ(post("/api/unstake", std::string("addr=") + kAddrA + "&amt=400"),
            staked_answer(600, false));
  EXPECT_EQ(get("/api/unstake?addr=0X00000000000000000000000000000000000000A1&amt=600"),
            staked_answer(0, false));
  const State after = live_state();
  EXPECT_EQ(after.get_stake(kAddrA), 0u);
  EXPECT_EQ(after.get_balance(kAddrA), 20'001'000 * kCoin);
  EXPECT_EQ(after.get_nonce(kAddrA), 2u);
  EXPECT_EQ(read_file_text(storage_->blocks_path()), blocks_before);
  EXPECT_EQ(all_coins(), coins_before);
  expect_saved();
}

struct Refusal {
  const char* path;
  std::string params;
  std::string answer;
};

TEST_F(LedgerWriteRoutesTest, RefusedStakesAndUnstakesChangeNothing) {
  start_server();
  const std::string a = std::string("addr=") + kAddrA;
  const std::string b = std::string("addr=") + kAddrB;
  const std::string c = std::string("addr=") + kAddrC;
  const std::string stake_funds = error_answer(kStakeFunds);
  const std::string unstake_funds = error_answer(kUnstakeFunds);
  const Refusal cases[] = {
      {"/api/stake", b + "&amt=13", stake_funds},  // 12.249 RUZ spendable
      {"/api/stake", b, stake_funds},              // the default 1,000
      {"/api/stake", a + "&amt=0", stake_funds},
      {"/api/stake", "addr=&amt=5", stake_funds},
      {"/api/stake", "amt=5", stake_funds},
      // A sign is refused, never read as the default 1,000 that A could pay.
      {"/api/stake", a + "&amt=-5", stake_funds},
      {"/api/stake", a + "&amt=%20-1000", stake_funds},
      // x 1,000,000 would wrap to 448,384 units, which A could pay.
      {"/api/stake", a + "&amt=18446744073710", stake_funds},
      {"/api/stake", a + "&amt=18446744073709", stake_funds},  // fits, not covered
      {"/api/stake", a + "&amt=99999999999999999999", stake_funds},
      {"/api/unstake", b + "&amt=1000", unstake_funds},  // 999.999999 staked
      {"/api/unstake", c, unstake_funds},                // no stake at all
      {"/api/unstake", a + "&amt=0", unstake_funds},
      {"/api/unstake", "addr=", unstake_funds},
      {"/api/unstake", a + "&amt=-5", unstake_funds},
      {"/api/unstake", a + "&amt=18446744073710", unstake_funds},
      {"/api/unstake", a + "&amt=99999999999999999999", unstake_funds},
  };
  const Files before = files();
  const State state_before = live_state();
  bool as_post = false;
  for (const Refusal& r : cases) {
    EXPECT_EQ(ask(as_post, r.path, r.params), r.answer) << r.path << "?" << r.params;
    EXPECT_EQ(ask(!as_post, r.path, r.params), r.answer) << r.path << "?" << r.params;
    as_post = !as_post;
  }
  const State after = live_state();
  EXPECT_EQ(after.balances, state_before.balances);
  EXPECT_EQ(after.staked, state_before.staked);  // no empty stake for C
  EXPECT_EQ(after.nonces, state_before.nonces);
  EXPECT_EQ(files(), before);
}

// --- failed saves -------------------------------------------------------------

TEST_F(LedgerWriteRoutesTest, WritesWhoseLogsCannotBeSyncedAreUndoneAndAnswered) {
  start_server();
  const Files before = files();
  const State state_before = live_state();
  const std::string stats_before = get("/api/explorer/stats");
  // Every sync of the logs fails until mended.
  storage_->fail_syncs(true);

  const std::string save_failed = error_answer(ZezozuRiziv::kStateSaveFailedMessage);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(get(std::string("/api/fund?addr=") + kAddrC), save_failed);
  // The block reached blocks.dat, its sync failed: taken back.
  EXPECT_EQ(post("/api/stake", std::string("addr=") + kAddrD + "&amt=5"), save_failed);
  EXPECT_EQ(post("/api/unstake", std::string("addr=") + kAddrA + "&amt=5"), save_failed);
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("[STORAGE] Sincronizzazione dei log fallita"), std::string::npos) << console;

  storage_->fail_syncs(false);
  EXPECT_EQ(files(), before);
  const State after = live_state();
  EXPECT_EQ(after.balances, state_before.balances);
  EXPECT_EQ(after.staked, state_before.staked);
  EXPECT_EQ(after.nonces, state_before.nonces);
  EXPECT_EQ(get("/api/explorer/stats"), stats_before);
  EXPECT_EQ(rate_entries(), 0u);

  // Mended: the same requests succeed at once, the stake as block 3.
  EXPECT_EQ(get(std::string("/api/fund?addr=") + kAddrC), granted(kAddrC, 1000));
  EXPECT_EQ(post("/api/stake", std::string("addr=") + kAddrD + "&amt=5"), staked_answer(5, false));
  EXPECT_EQ(Block::deserialize(block_lines().back())->index, 3u);
  EXPECT_EQ(post("/api/unstake", std::string("addr=") + kAddrA + "&amt=5"), staked_answer(995, false));
  expect_saved();
}

// --- the fund command's credit ----------------------------------------------------

TEST_F(LedgerWriteRoutesTest, FundMetamaskAccountCapsAtTenThousandCoins) {
  start_server();
  ZezozuRiziv::FundReceipt receipt;
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(server_->fund_metamask_account(kAddrDUpper, 20'000, receipt));
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(console, std::string("[RPC] Accreditati con successo 10000 RUZ all'indirizzo MetaMask: ") +
                         kAddrDUpper + "\n");
  EXPECT_EQ(receipt.account, kAddrD);
  EXPECT_EQ(receipt.coins, 10'000u);
  EXPECT_EQ(live_state().get_balance(kAddrD), 12'500 * kCoin);
  expect_saved();

  const Files before = files();
  for (const std::string& address : unusable_addresses()) {
    const ZezozuRiziv::LedgerResult refused = server_->fund_metamask_account(address, 1, receipt);
    EXPECT_FALSE(refused) << address;
    EXPECT_EQ(refused.error, ZezozuRiziv::kUnusableAddressMessage);
  }
  EXPECT_EQ(files(), before);
}

}  // namespace
