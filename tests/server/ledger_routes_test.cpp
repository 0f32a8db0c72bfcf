// The node and address summary over a real server, GET and POST alike
// (the write routes: ledger_write_routes_test.cpp).
#include <string>
#include <vector>

#include "crypto/crypto_keys.h"
#include "server_route_fixture.h"

namespace {

using namespace rozeve_test;

class LedgerRoutesTest : public SmallChainFixture {};

TEST_F(LedgerRoutesTest, InfoSummarisesTheNodeAndOneAddress) {
  start_server();
  // Stakes 1,000 + 999.999999 RUZ: 1,999 whole coins, one validator.
  const std::string head =
      "{\"block_height\":2,\"total_supply\":21000000,\"total_staked\":1999,\"active_validators\":1,";
  struct Case {
    std::string addr;
    std::string tail;
  };
  const std::vector<Case> cases = {
      {kAddrA, "\"user_balance\":20000000,\"user_stake\":1000,\"is_validator\":true}"},
      {"0X00000000000000000000000000000000000000A1",
       "\"user_balance\":20000000,\"user_stake\":1000,\"is_validator\":true}"},
      {kAddrB, "\"user_balance\":12,\"user_stake\":999,\"is_validator\":false}"},
      {kAddrC, "\"user_balance\":0,\"user_stake\":0,\"is_validator\":false}"},
      {"", "\"user_balance\":0,\"user_stake\":0,\"is_validator\":false}"},
      {"%22%5C", "\"user_balance\":0,\"user_stake\":0,\"is_validator\":false}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(get("/api/info?addr=" + c.addr), head + c.tail) << c.addr;
    const std::string body = "addr=" + c.addr;
    EXPECT_EQ(body_of(exchange("POST /api/info HTTP/1.1\r\nContent-Type: "
                               "application/x-www-form-urlencoded\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body)),
              head + c.tail)
        << c.addr;
  }
  EXPECT_EQ(get("/api/info"), head + "\"user_balance\":0,\"user_stake\":0,\"is_validator\":false}");
  // Reading never creates an account.
  EXPECT_EQ(state_.balances.size(), 6u);
  EXPECT_EQ(state_.staked.size(), 2u);
}

TEST_F(LedgerRoutesTest, NativeAddressesKeepTheirCase) {
  // Wallet addresses are kept lower-cased; a native one is case-exact.
  const std::string native = RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '1'));
  ASSERT_TRUE(RozeveCrypto::CryptoKeys::is_valid_address(native));
  state_.balances[native] = 5'000'000;
  start_server();
  const std::string expected =
      "{\"block_height\":2,\"total_supply\":21000000,\"total_staked\":1999,\"active_validators\":1,"
      "\"user_balance\":5,\"user_stake\":0,\"is_validator\":false}";
  EXPECT_EQ(get("/api/info?addr=" + native), expected);
  EXPECT_NE(get("/api/explorer/address?addr=" + native).find("\"balance_atomic\":5000000,"),
            std::string::npos);
}

}  // namespace
