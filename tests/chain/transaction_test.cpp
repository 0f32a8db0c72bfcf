#include "chain/transaction.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ZezozuRiziv {
namespace {

// Native addresses with correct checksums, and an Ethereum-style one.
const std::string kAlice = "RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e";
const std::string kBob = "RUZe304167b9aa8e6cb67d982188b1978c5a196db7b";
const std::string kEth = "0x52908400098527886E0F7030069857D2E4169EE7";

// Worked out with an independent SHA-256: the double hash of
// "TRANSFER:a:b:1:2:3:4", and its signature with the key "k".
const std::string kFixedHash = "f121f4e8accaa572222a7a6d50a0f2cab788ba564c1db1a310c8f4ea340f9203";
const std::string kFixedSignature =
    "2033f630f74e89d77f193bd9603c77996526133645bb64088fab1fc0101c283d";

Transaction fixed_transaction() { return Transaction(TxType::TRANSFER, "a", "b", 1, 2, 3, 4); }

Transaction signed_transfer() {
  Transaction tx(TxType::TRANSFER, kAlice, kBob, 5'000'000, 1'000, 7, 1'700'000'123);
  tx.sign("any private key");
  return tx;
}

uint64_t now_seconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

void expect_same(const Transaction& a, const Transaction& b) {
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.sender, b.sender);
  EXPECT_EQ(a.recipient, b.recipient);
  EXPECT_EQ(a.amount, b.amount);
  EXPECT_EQ(a.fee, b.fee);
  EXPECT_EQ(a.nonce, b.nonce);
  EXPECT_EQ(a.timestamp, b.timestamp);
  EXPECT_EQ(a.tx_hash, b.tx_hash);
  EXPECT_EQ(a.signature, b.signature);
}

TEST(TxTypeTest, NamesBothWays) {
  EXPECT_EQ(tx_type_to_string(TxType::TRANSFER), "TRANSFER");
  EXPECT_EQ(tx_type_to_string(TxType::STAKE), "STAKE");
  EXPECT_EQ(tx_type_to_string(TxType::UNSTAKE), "UNSTAKE");
  EXPECT_EQ(tx_type_to_string(TxType::COINBASE_REWARD), "COINBASE_REWARD");
  EXPECT_EQ(tx_type_to_string(TxType::GENESIS), "GENESIS");
  EXPECT_EQ(tx_type_to_string(static_cast<TxType>(5)), "UNKNOWN");
  EXPECT_EQ(tx_type_to_string(static_cast<TxType>(7)), "UNKNOWN");

  struct Case {
    std::string name;
    TxType type;
  };
  const std::vector<Case> cases = {
      {"STAKE", TxType::STAKE},
      {"UNSTAKE", TxType::UNSTAKE},
      {"COINBASE_REWARD", TxType::COINBASE_REWARD},
      {"GENESIS", TxType::GENESIS},
      {"TRANSFER", TxType::TRANSFER},
      {"UNKNOWN", TxType::TRANSFER},
      {"", TxType::TRANSFER},
      {"stake", TxType::TRANSFER},
      {"Stake", TxType::TRANSFER},
      {" STAKE", TxType::TRANSFER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(string_to_tx_type(c.name), c.type) << c.name;
  }
}

TEST(TransactionTest, DefaultRecord) {
  const Transaction tx;
  EXPECT_EQ(tx.type, TxType::TRANSFER);
  EXPECT_TRUE(tx.sender.empty());
  EXPECT_TRUE(tx.recipient.empty());
  EXPECT_EQ(tx.amount, 0u);
  EXPECT_EQ(tx.fee, 0u);
  EXPECT_EQ(tx.nonce, 0u);
  EXPECT_EQ(tx.timestamp, 0u);
  EXPECT_TRUE(tx.signature.empty());
  EXPECT_TRUE(tx.tx_hash.empty());
}

TEST(TransactionTest, HashIsTheDoubleHashOfTheColonText) {
  const Transaction tx = fixed_transaction();
  EXPECT_EQ(tx.tx_hash, kFixedHash);
  EXPECT_EQ(tx.calculate_hash(), kFixedHash);
  EXPECT_TRUE(tx.signature.empty());
}

TEST(TransactionTest, ZeroTimestampMeansNow) {
  const uint64_t before = now_seconds();
  const Transaction tx(TxType::TRANSFER, kAlice, kBob, 1, 0, 0, 0);
  const uint64_t after = now_seconds();
  EXPECT_GE(tx.timestamp, before);
  EXPECT_LE(tx.timestamp, after);
  EXPECT_EQ(tx.tx_hash, tx.calculate_hash());
}

TEST(TransactionTest, SignRecomputesTheHashFirst) {
  Transaction tx;
  tx.sender = "a";
  tx.recipient = "b";
  tx.amount = 1;
  tx.fee = 2;
  tx.nonce = 3;
  tx.timestamp = 4;
  tx.sign("k");
  EXPECT_EQ(tx.tx_hash, kFixedHash);
  EXPECT_EQ(tx.signature, kFixedSignature);
}

TEST(TransactionTest, SignedTransferVerifies) {
  EXPECT_TRUE(signed_transfer().verify());

  Transaction to_eth(TxType::TRANSFER, kEth, kAlice, 1, 0, 0, 10);
  to_eth.sign("");
  EXPECT_TRUE(to_eth.verify());
}

TEST(TransactionTest, ChangingAHashedFieldBreaksVerify) {
  const std::vector<std::pair<std::string, std::function<void(Transaction&)>>> changes = {
      {"type", [](Transaction& tx) { tx.type = TxType::STAKE; }},
      {"sender", [](Transaction& tx) { tx.sender = kEth; }},
      {"recipient", [](Transaction& tx) { tx.recipient = kEth; }},
      {"amount", [](Transaction& tx) { tx.amount += 1; }},
      {"fee", [](Transaction& tx) { tx.fee += 1; }},
      {"nonce", [](Transaction& tx) { tx.nonce += 1; }},
      {"timestamp", [](Transaction& tx) { tx.timestamp += 1; }},
      {"tx_hash", [](Transaction& tx) { tx.tx_hash[0] = tx.tx_hash[0] == '0' ? '1' : '0'; }},
  };
  for (const auto& [name, change] : changes) {
    Transaction tx = signed_transfer();
    change(tx);
    EXPECT_FALSE(tx.verify()) << name;
  }
}

TEST(TransactionTest, SignatureIsCheckedForItsFormOnly) {
  Transaction tx = signed_transfer();
  tx.signature = std::string(64, 'z');
  EXPECT_TRUE(tx.verify());
  tx.signature = std::string(63, 'a');
  EXPECT_FALSE(tx.verify());
  tx.signature = std::string(65, 'a');
  EXPECT_FALSE(tx.verify());
  tx.signature.clear();
  EXPECT_FALSE(tx.verify());
}

TEST(TransactionTest, AddressRulesByType) {
  struct Case {
    std::string name;
    TxType type;
    std::string sender;
    std::string recipient;
    bool sign;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"coinbase, any sender, unsigned", TxType::COINBASE_REWARD, "NETWORK", "x", false, true},
      {"genesis, any sender, unsigned", TxType::GENESIS, "GENESIS", "", false, true},
      {"stake, arbitrary recipient", TxType::STAKE, kAlice, "not an address", true, true},
      {"unstake, arbitrary recipient", TxType::UNSTAKE, kAlice, "", true, true},
      {"stake, invalid sender", TxType::STAKE, "alice", kAlice, true, false},
      {"transfer, invalid recipient", TxType::TRANSFER, kAlice, "bob", true, false},
      {"transfer, invalid sender", TxType::TRANSFER, "ruz62821a58c6384fb176b0840d2e0ff0b2e042756e",
       kBob, true, false},
      {"transfer, unsigned", TxType::TRANSFER, kAlice, kBob, false, false},
      // A type outside the table: sender and signature rules only.
      {"unknown type, any recipient", static_cast<TxType>(7), kAlice, "whatever", true, true},
      {"unknown type, invalid sender", static_cast<TxType>(7), "x", kBob, true, false},
  };
  for (const Case& c : cases) {
    Transaction tx(c.type, c.sender, c.recipient, 10, 1, 0, 1'700'000'000);
    if (c.sign) tx.sign("key");
    EXPECT_EQ(tx.verify(), c.valid) << c.name;
  }
}

TEST(TransactionTest, SerializeWritesTheKeysInOrder) {
  Transaction tx = fixed_transaction();
  EXPECT_EQ(tx.serialize(),
            "{\"type\":\"TRANSFER\",\"sender\":\"a\",\"recipient\":\"b\",\"amount\":1,\"fee\":2,"
            "\"nonce\":3,\"timestamp\":4,\"tx_hash\":\"" +
                kFixedHash + "\",\"signature\":\"\"}");

  tx.sign("k");
  tx.type = TxType::GENESIS;
  tx.amount = UINT64_MAX;
  EXPECT_EQ(tx.serialize(),
            "{\"type\":\"GENESIS\",\"sender\":\"a\",\"recipient\":\"b\","
            "\"amount\":18446744073709551615,\"fee\":2,\"nonce\":3,\"timestamp\":4,"
            "\"tx_hash\":\"" +
                kFixedHash + "\",\"signature\":\"" + kFixedSignature + "\"}");
}

TEST(TransactionTest, RoundTrip) {
  std::vector<Transaction> records = {fixed_transaction(), signed_transfer(), Transaction()};
  Transaction genesis(TxType::GENESIS, "GENESIS", kAlice, 21'000'000'000'000, 0, 0, 1'700'000'000);
  genesis.signature = "GENESIS_VALIDATED";
  records.push_back(genesis);
  records.push_back(Transaction(TxType::STAKE, kEth, kEth, UINT64_MAX, UINT64_MAX, UINT64_MAX,
                                UINT64_MAX));
  records.push_back(Transaction(TxType::UNSTAKE, "with space", "{odd:chars,}", 1, 2, 3, 4));
  records.push_back(Transaction(TxType::COINBASE_REWARD, "", "", 0, 0, 0, 1));
  for (const Transaction& tx : records) {
    const auto back = Transaction::deserialize(tx.serialize());
    ASSERT_TRUE(back.has_value()) << tx.serialize();
    expect_same(*back, tx);
    EXPECT_EQ(back->serialize(), tx.serialize());
  }
}

TEST(TransactionTest, UnknownTypeReadsBackAsTransfer) {
  Transaction tx(static_cast<TxType>(7), kAlice, kBob, 1, 0, 0, 5);
  tx.sign("key");
  ASSERT_TRUE(tx.verify());
  const std::string text = tx.serialize();
  EXPECT_NE(text.find("\"type\":\"UNKNOWN\""), std::string::npos);
  const auto back = Transaction::deserialize(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->type, TxType::TRANSFER);
  EXPECT_FALSE(back->verify());
}

TEST(TransactionTest, ReaderToleratesOrderExtrasAndMissingKeys) {
  const auto reordered = Transaction::deserialize(
      "{\"signature\":\"s\",\"extra\":99,\"nonce\":3,\"tx_hash\":\"h\",\"timestamp\":4,"
      "\"fee\":2,\"amount\":1,\"recipient\":\"b\",\"sender\":\"a\",\"type\":\"STAKE\"}");
  ASSERT_TRUE(reordered.has_value());
  EXPECT_EQ(reordered->type, TxType::STAKE);
  EXPECT_EQ(reordered->sender, "a");
  EXPECT_EQ(reordered->recipient, "b");
  EXPECT_EQ(reordered->amount, 1u);
  EXPECT_EQ(reordered->fee, 2u);
  EXPECT_EQ(reordered->nonce, 3u);
  EXPECT_EQ(reordered->timestamp, 4u);
  EXPECT_EQ(reordered->tx_hash, "h");
  EXPECT_EQ(reordered->signature, "s");

  // A key with a space before its colon is not found.
  const auto spaced = Transaction::deserialize("{\"amount\" :5,\"sender\" :\"a\",\"fee\":6}");
  ASSERT_TRUE(spaced.has_value());
  EXPECT_EQ(spaced->amount, 0u);
  EXPECT_EQ(spaced->sender, "");
  EXPECT_EQ(spaced->fee, 6u);

  for (const std::string text : {"", "{}", "garbage", "{\"other\":1}"}) {
    const auto empty = Transaction::deserialize(text);
    ASSERT_TRUE(empty.has_value()) << text;
    expect_same(*empty, Transaction());
  }
}

TEST(TransactionTest, ReaderNumbers) {
  struct Case {
    std::string value;  // as written after "amount":
    std::optional<uint64_t> amount;
  };
  const std::vector<Case> cases = {
      {"12abc", 12},
      {" 12", 12},
      {"", 0},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"\"5\"", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {" ", std::nullopt},
      {"x1", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string text = "{\"type\":\"TRANSFER\",\"amount\":" + c.value + ",\"fee\":1}";
    const auto tx = Transaction::deserialize(text);
    ASSERT_EQ(tx.has_value(), c.amount.has_value()) << text;
    if (tx) {
      EXPECT_EQ(tx->amount, *c.amount) << text;
    }
  }
}

TEST(TransactionTest, ReaderFailsOnABadNumberInAnyNumericField) {
  for (const std::string key : {"amount", "fee", "nonce", "timestamp"}) {
    const std::string good = "{\"" + key + "\":7}";
    EXPECT_TRUE(Transaction::deserialize(good).has_value()) << key;
    EXPECT_FALSE(Transaction::deserialize("{\"" + key + "\":-7}").has_value()) << key;
    EXPECT_FALSE(Transaction::deserialize("{\"" + key + "\":\"7\"}").has_value()) << key;
  }
}

TEST(TransactionTest, ReaderFailsOnControlBytesInATextField) {
  const std::string base = fixed_transaction().serialize();
  ASSERT_TRUE(Transaction::deserialize(base).has_value());
  for (const std::string key : {"type", "sender", "recipient", "tx_hash", "signature"}) {
    for (const char bad : {'\n', '\r', '\t', '\x01', '\x1f'}) {
      const std::string text = "{\"" + key + "\":\"ab" + std::string(1, bad) + "c\"}";
      EXPECT_FALSE(Transaction::deserialize(text).has_value())
          << key << " with byte " << static_cast<int>(bad);
    }
    // Bytes from 0x20 up are kept as they stand.
    EXPECT_TRUE(Transaction::deserialize("{\"" + key + "\":\"a b~\x7f\"}").has_value()) << key;
  }
}

}  // namespace
}  // namespace ZezozuRiziv
