// A small chain and account book behind a running server, for the JSON API
// route tests: three blocks, four transactions, six funded accounts.
#pragma once

#include <string>

#include "chain/accounts.h"
#include "server_test_support.h"

namespace rozeve_test {

inline constexpr char kAddrA[] = "0x00000000000000000000000000000000000000a1";
inline constexpr char kAddrB[] = "0x00000000000000000000000000000000000000b2";
inline constexpr char kAddrC[] = "0x00000000000000000000000000000000000000c3";
inline constexpr char kAddrV[] = "0x00000000000000000000000000000000000000f4";

class SmallChainFixture : public ServerFixture {
 protected:
  void SetUp() override {
    using ZezozuRiziv::TxType;
    ServerFixture::SetUp();
    // Block 0: the genesis credit to A.
    b0 = ZezozuRiziv::Block::create_genesis_block(kAddrA);
    // Block 1: 12.5 RUZ from A to B, then 0.001 RUZ from B to C with no time of its own.
    tx1 = fixture_tx(TxType::TRANSFER, kAddrA, kAddrB, 12'500'000, 250'000, 0, 1'700'000'090);
    tx2 = fixture_tx(TxType::TRANSFER, kAddrB, kAddrC, 1'000, 1'000, 0, 0);
    b1 = fixture_block(b0, kAddrV, {tx1, tx2}, 1'700'000'100);
    // Block 2: A stakes 1,000 RUZ.
    stake = fixture_tx(TxType::STAKE, kAddrA, "", 1'000'000'000, 0, 1, 1'700'000'195);
    b2 = fixture_block(b1, kAddrA, {stake}, 1'700'000'200);
    write_chain({b0, b1, b2});

    state_.balances[kAddrA] = 20'000'000'000'000;  // 20,000,000 RUZ
    state_.balances[kAddrB] = 12'249'000;          // 12.249 RUZ
    state_.balances[kAddrC] = 1'000;               // 0.001 RUZ
    state_.balances[ZezozuRiziv::kBurnAddress] = 25'000;
    state_.balances[ZezozuRiziv::kFeeTreasuryAddress] = 100'000;
    state_.balances[ZezozuRiziv::kIncubatorAddress] = 75'000;
    state_.staked[kAddrA] = 1'000'000'000;  // exactly the validator minimum
    state_.staked[kAddrB] = 999'999'999;    // one unit short of it
    state_.nonces[kAddrA] = 2;
    state_.nonces[kAddrB] = 1;
  }

  ZezozuRiziv::Block b0, b1, b2;
  ZezozuRiziv::Transaction tx1, tx2, stake;
};

}  // namespace rozeve_test
