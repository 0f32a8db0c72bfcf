// The JSON-RPC as wallets use it, answered by a real server object.
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "chain/accounts.h"
#include "eth_signing_support.h"
#include "server/json_rpc.h"
#include "server_test_support.h"
#include "small_tmpfs.h"

namespace {

using rozeve_test::read_file_text;
using rozeve_test::saved_state;
using rozeve_test::ServerFixture;
using ZezozuRiziv::Block;
using ZezozuRiziv::RPCServer;

// A signed transaction of tests/data/signed_transactions.tsv, with what
// ethers read from it.
struct SignedTx {
  std::string raw, hash, from, to;
  uint64_t nonce = 0;
  std::string value_wei;
  uint64_t chain_id = 0;
};

std::map<std::string, SignedTx> load_signed() {
  std::map<std::string, SignedTx> out;
  std::ifstream in(ROZEVE_TEST_DATA_DIR "/signed_transactions.tsv");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) f.push_back(cell);
    if (f.size() < 9) continue;
    out[f[0]] = SignedTx{f[1], f[2], f[3], f[4], std::stoull(f[5]), f[6], std::stoull(f[7])};
  }
  return out;
}

const SignedTx& signed_tx(const std::string& name) {
  static const std::map<std::string, SignedTx> all = load_signed();
  const auto it = all.find(name);
  EXPECT_NE(it, all.end()) << name;
  static const SignedTx none;
  return it == all.end() ? none : it->second;
}

std::string call(const std::string& method, const std::string& params = "[]",
                 const std::string& id = "1") {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"" + method +
         "\",\"params\":" + params + "}";
}

class JsonRpcTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    server_ = std::make_unique<RPCServer>(state_, mempool_, *storage_, chain_lock_, 0, 202677,
                                          options_);
  }
  std::string rpc(const std::string& request) { return server_->process_json_rpc(request); }
  std::string result_of(const std::string& request) {
    const std::string answer = rpc(request);
    const std::string head = "\"result\":";
    const size_t at = answer.find(head);
    return at == std::string::npos ? "<" + answer + ">" : answer.substr(at + head.size(), answer.size() - at - head.size() - 1);
  }
  // Genesis and `more` one-transaction blocks, stored and cached.
  void store_chain(int more) {
    Block block = Block::create_genesis_block("RUZtreasury");
    ASSERT_TRUE(storage_->save_block(block));
    for (int i = 1; i <= more; ++i) {
      Block next(static_cast<uint64_t>(i), block.block_hash, "RUZv", {}, 1'700'000'000 + i);
      next.seal("");
      ASSERT_TRUE(storage_->save_block(next));
      block = next;
    }
  }
  std::string state_file() { return read_file_text(storage_->state_path()); }
  // The server again, on the data directory `dir`, with an empty state.
  void restart_on(const std::filesystem::path& dir) {
    server_.reset();
    storage_ = std::make_unique<ZezozuRiziv::Storage>(dir.string());
    state_ = ZezozuRiziv::State();
    server_ = std::make_unique<RPCServer>(state_, mempool_, *storage_, chain_lock_, 0, 202677, options_);
  }
  size_t log_lines() {
    std::ifstream in(storage_->blocks_path());
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += !line.empty();
    return n;
  }
};

std::string error_answer(const std::string& id, int code, const std::string& message) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + std::to_string(code) +
         ",\"message\":\"" + message + "\"}}";
}

const std::string kNotJson = error_answer("null", -32700, "Richiesta JSON non valida");
const std::string kNotAnObject =
    error_answer("null", -32600, "Richiesta JSON-RPC non valida: serve un oggetto");
const std::string kBadId = error_answer(
    "null", -32600, "Richiesta JSON-RPC non valida: l'id deve essere una stringa, un numero o null");

TEST_F(JsonRpcTest, IdIsEchoedInTheFormItCame) {
  const std::string chain_id = ",\"result\":\"0x317b5\"}";
  const struct {
    std::string id_text;  // as written in the request; empty: no id
    std::string answer;
  } cases[] = {
      {"\"abc\"", "{\"jsonrpc\":\"2.0\",\"id\":\"abc\"" + chain_id},
      {"7", "{\"jsonrpc\":\"2.0\",\"id\":7" + chain_id},
      {"\"7\"", "{\"jsonrpc\":\"2.0\",\"id\":\"7\"" + chain_id},
      {"", "{\"jsonrpc\":\"2.0\",\"id\":1" + chain_id},
      {"null", "{\"jsonrpc\":\"2.0\",\"id\":null" + chain_id},
      {"-1.5e3", "{\"jsonrpc\":\"2.0\",\"id\":-1.5e3" + chain_id},
      {"18446744073709551616", "{\"jsonrpc\":\"2.0\",\"id\":18446744073709551616" + chain_id},
      // Escapes come back exactly as they came.
      {"\"a\\\"b\"", "{\"jsonrpc\":\"2.0\",\"id\":\"a\\\"b\"" + chain_id},
      {"\"a\\\\b\"", "{\"jsonrpc\":\"2.0\",\"id\":\"a\\\\b\"" + chain_id},
      {"\"\\u00e9\\ud83d\\ude00\"", "{\"jsonrpc\":\"2.0\",\"id\":\"\\u00e9\\ud83d\\ude00\"" + chain_id},
      {"\"\xc3\xa9\"", "{\"jsonrpc\":\"2.0\",\"id\":\"\xc3\xa9\"" + chain_id},
      {"\"}\"", "{\"jsonrpc\":\"2.0\",\"id\":\"}\"" + chain_id},
      // Not JSON: no id can be read.
      {"abc", kNotJson},
      {"\"\xff\"", kNotJson},
      {"\"\xc3\"", kNotJson},
      {"\"\x01\"", kNotJson},
      {"\"\\ud800\"", kNotJson},
      {"01", kNotJson},
      // JSON, but no id a JSON-RPC request may carry.
      {"{}", kBadId},
      {"[1,\"a\"]", kBadId},
      {"true", kBadId},
  };
  for (const auto& c : cases) {
    const std::string request =
        c.id_text.empty() ? "{\"jsonrpc\":\"2.0\",\"method\":\"eth_chainId\"}"
                          : "{\"jsonrpc\":\"2.0\",\"id\":" + c.id_text + ",\"method\":\"eth_chainId\"}";
    EXPECT_EQ(rpc(request), c.answer) << request;
  }
  // Only the top-level id counts, whatever the text holds elsewhere.
  EXPECT_EQ(rpc("{\"params\":[{\"id\":5}],\"method\":\"eth_chainId\",\"note\":\"\\\"id\\\":6\",\"id\":\"x\"}"),
            "{\"jsonrpc\":\"2.0\",\"id\":\"x\"" + chain_id);
}

TEST_F(JsonRpcTest, WhatIsNotARequestGetsAnErrorObject) {
  const std::string too_deep =
      error_answer("null", -32700, "Richiesta JSON troppo annidata (massimo 64 livelli)");
  const auto nested_params = [](int levels) {
    return "{\"id\":1,\"method\":\"eth_chainId\",\"params\":" + std::string(levels, '[') +
           std::string(levels, ']') + "}";
  };
  const std::pair<std::string, std::string> cases[] = {
      {"xy", kNotJson},
      {"{", kNotJson},
      {"{\"id\":1,\"method\":\"eth_chainId\"} x", kNotJson},
      {"{\"id\":1,\"method\":\"eth_chainId\",}", kNotJson},
      {"{'id':1}", kNotJson},
      {nested_params(ZezozuRiziv::kMaxJsonDepth), too_deep},
      {"5", kNotAnObject},
      {"\"eth_chainId\"", kNotAnObject},
      {"null", kNotAnObject},
      {"{\"id\":3,\"method\":5}",
       error_answer("3", -32600, "Richiesta JSON-RPC non valida: il metodo deve essere una stringa")},
      {"{\"id\":3,\"method\":null}",
       error_answer("3", -32600, "Richiesta JSON-RPC non valida: il metodo deve essere una stringa")},
      // Well-formed requests keep their answers: no method, or an unknown
      // one, is a null result; no text at all is a request without an id.
      {"{\"id\":3}", "{\"jsonrpc\":\"2.0\",\"id\":3,\"result\":null}"},
      {"{\"id\":3,\"method\":\"eth_mining\"}", "{\"jsonrpc\":\"2.0\",\"id\":3,\"result\":null}"},
      {"", "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":null}"},
      {" \r\n", "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":null}"},
      {nested_params(ZezozuRiziv::kMaxJsonDepth - 1), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":\"0x317b5\"}"},
  };
  for (const auto& [request, answer] : cases) EXPECT_EQ(rpc(request), answer) << request.substr(0, 80);
  EXPECT_EQ(rpc("{\"id\":1,\"method\":\"eth_chainId\",\"params\":\"" +
                std::string(ZezozuRiziv::kMaxJsonBytes, 'a') + "\"}"),
            error_answer("null", -32700, "Richiesta JSON troppo grande"));
}

TEST_F(JsonRpcTest, EveryAnswerIsStrictJsonWhateverTheBytes) {
  store_chain(1);
  const std::string seeds[] = {
      call("eth_chainId", "[]", "\"a\\\"b\""),
      call("eth_getBlockByNumber", "[\"0x1\",false]", "7"),
      call("eth_getTransactionByHash", "[\"0x" + std::string(64, 'a') + "\"]", "\"\\u00e9\""),
      call("eth_getTransactionReceipt", "[\"0x" + std::string(64, 'b') + "\"]"),
      call("eth_call", "[{\"to\":\"0x1000000000000000000000000000000000000001\",\"data\":\"0x70a08231\"}]"),
      call("eth_sendRawTransaction", "[\"" + signed_tx("type 2, chain 202677, 1 RUZ").raw + "\"]", "null"),
      "[" + call("eth_chainId", "[]", "1") + "," + call("net_version", "[]", "\"x\"") + "]",
  };
  // Deterministic damage: a byte replaced, a byte inserted, or the text cut.
  std::mt19937 random(20260406);
  for (int round = 0; round < 3000; ++round) {
    std::string request = seeds[random() % std::size(seeds)];
    const size_t at = random() % request.size();
    const char byte = static_cast<char>(random() % 256);
    switch (random() % 3) {
      case 0: request[at] = byte; break;
      case 1: request.insert(request.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
      default: request.resize(at); break;
    }
    const std::string answer = rpc(request);
    ASSERT_TRUE(ZezozuRiziv::JsonDocument::parse(answer).has_value()) << request << "\n" << answer;
  }
  EXPECT_TRUE(state_.nonces.empty());  // no damaged transfer was taken
}

TEST_F(JsonRpcTest, FixedAnswers) {
  const std::pair<std::string, std::string> cases[] = {
      {"net_version", "\"202677\""},
      {"eth_syncing", "false"},
      {"net_listening", "true"},
      {"eth_accounts", "[]"},
      {"eth_gasPrice", "\"0x3b9aca00\""},
      {"eth_maxPriorityFeePerGas", "\"0x3b9aca00\""},
      {"eth_estimateGas", "\"0x5208\""},
      {"web3_clientVersion", "\"ZezozuRiziv/v2.0.0-cpp17-ultra/windows\""},
      {"eth_blockNumber", "\"0x0\""},
      {"eth_mining", "null"},
  };
  for (const auto& [method, result] : cases) EXPECT_EQ(result_of(call(method)), result) << method;
  EXPECT_EQ(result_of(call("eth_getCode", "[\"0x1000000000000000000000000000000000000001\"]")),
            "\"0x608060405234801561001057600080fd5b50\"");
  EXPECT_EQ(result_of(call("eth_getCode", "[\"0x3535353535353535353535353535353535353535\"]")),
            "\"0x\"");
}

TEST_F(JsonRpcTest, FirstBalanceQueryCreditsOneHundredRuzOnce) {
  store_chain(0);
  const std::string address = "0x00000000000000000000000000000000000000AB";
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(result_of(call("eth_getBalance", "[\"" + address + "\",\"latest\"]")),
            "\"0x56bc75e2d63100000\"");  // 10^20 wei
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("[FAUCET AUTOMATICO] Nuovo wallet MetaMask "
                         "0x00000000000000000000000000000000000000ab -> 100 RUZ accreditati!"),
            std::string::npos);
  EXPECT_EQ(saved_state(*storage_).get_balance("0x00000000000000000000000000000000000000ab"),
            100'000'000u);

  const std::string credits = read_file_text(storage_->credits_path());
  EXPECT_EQ(result_of(call("eth_getBalance", "[\"" + address + "\"]")), "\"0x56bc75e2d63100000\"");
  EXPECT_EQ(read_file_text(storage_->credits_path()), credits);  // nothing written again
}

TEST_F(JsonRpcTest, OnlyRealAddressesBecomeAccounts) {
  const std::string bad[] = {
      "[\"0x1234\"]",
      "[\"0x12345678901234567890123456789012345678\\\",\\\"\"]",
      "[\"0xZZ345678901234567890123456789012345678ab\"]",
      "[]",
  };
  for (const std::string& params : bad) {
    EXPECT_EQ(result_of(call("eth_getBalance", params)), "\"0x0\"") << params;
    EXPECT_EQ(result_of(call("eth_getTransactionCount", params)), "\"0x0\"") << params;
  }
  EXPECT_TRUE(state_.balances.empty());
  EXPECT_FALSE(std::filesystem::exists(storage_->state_path()));
}

TEST_F(JsonRpcTest, BlocksAreDescribedAsAsked) {
  store_chain(2);
  const auto& chain = storage_->get_blocks_cached();
  const auto number_of = [&](const std::string& params) {
    const std::string block = result_of(call("eth_getBlockByNumber", params));
    const size_t at = block.find("\"number\":\"");
    return at == std::string::npos ? block : block.substr(at + 10, block.find('"', at + 10) - at - 10);
  };
  EXPECT_EQ(number_of("[\"0x0\",false]"), "0x0");
  EXPECT_EQ(number_of("[\"0x1\",false]"), "0x1");
  EXPECT_EQ(number_of("[\"latest\",false]"), "0x2");
  EXPECT_EQ(number_of("[\"finalized\"]"), "0x2");
  EXPECT_EQ(number_of("[\"earliest\"]"), "0x0");
  EXPECT_EQ(number_of("[\"0x7\"]"), "null");
  EXPECT_EQ(number_of("[\"soon\"]"), "null");

  const Block& middle = chain[1];
  EXPECT_EQ(result_of(call("eth_getBlockByHash", "[\"0x" + middle.block_hash + "\",false]")),
            "{\"number\":\"0x1\",\"hash\":\"0x" + middle.block_hash + "\",\"parentHash\":\"0x" +
                chain[0].block_hash +
                "\",\"nonce\":\"0x0000000000000042\","
                "\"sha3Uncles\":\"0x1dcc4de8dec75d7aab85b567b6ccd41ad312451b948a7413f0a142fd40d49347\","
                "\"logsBloom\":\"0x00000000000000000000000000000000000000000000000000000000000000000000000000000000\","
                "\"transactionsRoot\":\"0x56e81f171bcc55a6ff8345e692c0f86e5b48e01b996cadc001622fb5e363b421\","
                "\"stateRoot\":\"0x56e81f171bcc55a6ff8345e692c0f86e5b48e01b996cadc001622fb5e363b421\","
                "\"miner\":\"0x0000000000000000000000000000000000000000\",\"difficulty\":\"0x1\","
                "\"totalDifficulty\":\"0x1\",\"extraData\":\"0x526f7a657665\",\"size\":\"0x100\","
                "\"gasLimit\":\"0x1fffffffffffff\",\"gasUsed\":\"0x5208\","
                "\"baseFeePerGas\":\"0x3b9aca00\","
                "\"timestamp\":\"0x6553f101\",\"transactions\":[]}");
  EXPECT_EQ(result_of(call("eth_getBlockByHash", "[\"0x" + std::string(64, 'a') + "\"]")), "null");
  EXPECT_EQ(result_of(call("eth_blockNumber")), "\"0x2\"");
}

TEST_F(JsonRpcTest, EveryBlockCarriesTheBaseFeeOfTheFeeHistory) {
  store_chain(1);
  const std::string history = result_of(call("eth_feeHistory", "[\"0x1\",\"latest\",[]]"));
  EXPECT_NE(history.find("\"baseFeePerGas\":[\"0x3b9aca00\",\"0x3b9aca00\"]"), std::string::npos)
      << history;
  for (const std::string params : {"[\"latest\",false]", "[\"0x0\",true]", "[\"earliest\"]"}) {
    const std::string block = result_of(call("eth_getBlockByNumber", params));
    EXPECT_NE(block.find(",\"baseFeePerGas\":\"0x3b9aca00\","), std::string::npos) << block;
  }
  const std::string hash = storage_->get_blocks_cached().back().block_hash;
  EXPECT_NE(result_of(call("eth_getBlockByHash", "[\"0x" + hash + "\",false]"))
                .find(",\"baseFeePerGas\":\"0x3b9aca00\","),
            std::string::npos);
}

TEST_F(JsonRpcTest, BlockParameterMustBeAString) {
  store_chain(2);
  const std::string refused = error_answer(
      "4", -32602,
      "Parametro del blocco non valido: serve una stringa con un numero esadecimale, "
      "un'etichetta (latest, earliest, pending, safe, finalized) o l'hash del blocco");
  for (const std::string method : {"eth_getBlockByNumber", "eth_getBlockByHash"}) {
    for (const std::string params : {"[0,false]", "[]", "[null]", "[{}]", "[[\"latest\"]]", "{}",
                                     "{\"0\":\"latest\"}", "\"latest\""}) {
      EXPECT_EQ(rpc(call(method, params, "4")), refused) << method << " " << params;
    }
    EXPECT_EQ(rpc("{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"" + method + "\"}"), refused) << method;
  }
}

TEST_F(JsonRpcTest, BatchesAnswerEachElementInOrder) {
  EXPECT_EQ(rpc("[" + call("eth_chainId", "[]", "1") + " , " + call("net_version", "[]", "\"b\"") + "]"),
            "[{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":\"0x317b5\"},"
            "{\"jsonrpc\":\"2.0\",\"id\":\"b\",\"result\":\"202677\"}]");
  EXPECT_EQ(rpc(" [ ] "),
            "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32600,\"message\":"
            "\"Richiesta batch vuota\"}}");
  // An element that is not a request gets its own error, in its place.
  EXPECT_EQ(rpc("[1," + call("eth_chainId", "[]", "2") + ",{\"id\":[],\"method\":\"eth_chainId\"}]"),
            "[" + kNotAnObject + ",{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":\"0x317b5\"}," + kBadId + "]");
}

// n distinct addresses nobody holds yet, as balance queries.
std::string fresh_balance_batch(size_t n) {
  std::string batch = "[";
  for (size_t i = 0; i < n; ++i) {
    char address[43];
    std::snprintf(address, sizeof address, "0x%040zx", i + 1);
    if (i > 0) batch += ',';
    batch += call("eth_getBalance", std::string("[\"") + address + "\",\"latest\"]", std::to_string(i));
  }
  return batch + "]";
}

TEST_F(JsonRpcTest, BatchesAreCappedAtOneThousandRequests) {
  ::testing::internal::CaptureStdout();
  const std::string too_many = rpc(fresh_balance_batch(ZezozuRiziv::json_rpc::kMaxBatchRequests + 1));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(too_many, error_answer("null", -32600,
                                   "Richiesta batch troppo grande (massimo 1000 richieste)"));
  EXPECT_TRUE(state_.balances.empty());  // nothing credited
  EXPECT_FALSE(std::filesystem::exists(storage_->state_path()));
  EXPECT_EQ(storage_->state_saves(), 0u);
  EXPECT_FALSE(std::filesystem::exists(storage_->credits_path()));

  store_chain(0);
  ::testing::internal::CaptureStdout();
  const std::string answers = rpc(fresh_balance_batch(ZezozuRiziv::json_rpc::kMaxBatchRequests));
  ::testing::internal::GetCapturedStdout();
  const auto document = ZezozuRiziv::JsonDocument::parse(answers);
  ASSERT_TRUE(document.has_value());
  ASSERT_EQ(document->root().size(), 1000u);
  for (size_t i = 0; i < 1000; ++i) {
    const auto answer = *document->root().at(i);
    ASSERT_EQ(answer.find("id")->raw(), std::to_string(i));
    ASSERT_EQ(answer.find("result")->string(), "0x56bc75e2d63100000") << i;
  }
  EXPECT_EQ(state_.balances.size(), 1000u);
}

// --- one save per request -----------------------------------------------------

const std::string kSaveFailed = "Impossibile salvare lo stato del ledger su disco: operazione annullata";

// Every answer of a batch: the id as written, and the result or the error message.
std::vector<std::pair<std::string, std::string>> batch_answers(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  const auto document = ZezozuRiziv::JsonDocument::parse(text);
  EXPECT_TRUE(document.has_value()) << text.substr(0, 200);
  if (!document) return out;
  for (const auto& answer : document->root().elements()) {
    const auto result = answer.find("result");
    const auto error = answer.find("error");
    out.emplace_back(std::string(answer.find("id")->raw()),
                     result ? std::string(result->raw())
                            : error ? "error " + std::string(error->find("code")->raw()) + " " +
                                          error->find("message")->string().value_or("")
                                    : "?");
  }
  return out;
}

TEST_F(JsonRpcTest, TheCreditsOfOneRequestShareOneSyncBeforeItIsAnswered) {
  store_chain(0);
  ASSERT_TRUE(storage_->save_state(state_));
  const uint64_t syncs = storage_->log_syncs();
  ::testing::internal::CaptureStdout();
  const std::string answers = rpc(fresh_balance_batch(ZezozuRiziv::json_rpc::kMaxBatchRequests));
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(batch_answers(answers).size(), 1000u);
  EXPECT_EQ(storage_->log_syncs(), syncs + 1);
  EXPECT_EQ(storage_->state_saves(), 1u);  // state.json is a checkpoint, not rewritten per change
  // What was answered is on disk.
  const ZezozuRiziv::State saved = saved_state(*storage_);
  EXPECT_EQ(saved.balances, state_.balances);
  EXPECT_EQ(saved.balances.size(), 1000u);
  EXPECT_EQ(saved.get_balance("0x00000000000000000000000000000000000003e8"), 100'000'000u);

  // The same addresses again: nothing new, nothing written.
  EXPECT_EQ(batch_answers(rpc(fresh_balance_batch(1000))).size(), 1000u);
  EXPECT_EQ(storage_->log_syncs(), syncs + 1);
  // Reads alone never write; one fresh address alone is one write.
  rpc("[" + call("eth_chainId") + "," + call("eth_blockNumber") + "]");
  EXPECT_EQ(storage_->log_syncs(), syncs + 1);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(result_of(call("eth_getBalance", "[\"0x00000000000000000000000000000000000f0001\"]")),
            "\"0x56bc75e2d63100000\"");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(storage_->log_syncs(), syncs + 2);
}

TEST_F(JsonRpcTest, AFailedSyncUndoesTheRequestsChangesAndAnswersErrors) {
  store_chain(0);
  state_.balances["0x00000000000000000000000000000000000f00aa"] = 7;
  ASSERT_TRUE(storage_->save_state(state_));
  const ZezozuRiziv::State before = state_;
  const std::string files_before = state_file() + read_file_text(storage_->credits_path());
  storage_->fail_syncs(true);

  ::testing::internal::CaptureStdout();
  const auto failed = batch_answers(rpc(fresh_balance_batch(1000)));
  const std::string console = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(failed.size(), 1000u);
  for (size_t i = 0; i < failed.size(); ++i) {
    ASSERT_EQ(failed[i], std::make_pair(std::to_string(i), "error -32000 " + kSaveFailed)) << i;
  }
  EXPECT_NE(console.find("[RPC] " + kSaveFailed + ": modifiche della richiesta annullate"),
            std::string::npos)
      << console.substr(console.size() - std::min<size_t>(console.size(), 300));
  EXPECT_EQ(state_.balances, before.balances);
  EXPECT_EQ(state_file() + read_file_text(storage_->credits_path()), files_before);

  // Answers given before the first credit stand; the credit and all after it
  // become the error.
  const std::string fresh = "[\"0x00000000000000000000000000000000000f0002\"]";
  const std::string known = "[\"0x00000000000000000000000000000000000f00aa\"]";
  ::testing::internal::CaptureStdout();
  const auto mixed = batch_answers(
      rpc(std::string("[") + call("eth_chainId", "[]", "1") + "," + call("eth_getBalance", known, "2") + "," +
          call("eth_getBalance", fresh, "3") + "," + call("eth_getBalance", fresh, "4") + "," +
          call("eth_blockNumber", "[]", "5") + "," + call("eth_getBalance", "[]", "6") + "]"));
  ::testing::internal::GetCapturedStdout();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"1", "\"0x317b5\""},
      {"2", "\"0x65dd0837000\""},  // 7 atomic units
      {"3", "error -32000 " + kSaveFailed},
      {"4", "error -32000 " + kSaveFailed},
      {"5", "error -32000 " + kSaveFailed},
      {"6", "error -32000 " + kSaveFailed},
  };
  EXPECT_EQ(mixed, expected);
  // One request alone is answered with the error object.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(rpc(call("eth_getBalance", fresh, "\"x\"")), error_answer("\"x\"", -32000, kSaveFailed));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(state_.balances, before.balances);
  EXPECT_EQ(state_file() + read_file_text(storage_->credits_path()), files_before);

  // Mended: the same request is credited, and durable.
  storage_->fail_syncs(false);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(rpc(call("eth_getBalance", fresh, "\"x\"")),
            "{\"jsonrpc\":\"2.0\",\"id\":\"x\",\"result\":\"0x56bc75e2d63100000\"}");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(saved_state(*storage_).balances, state_.balances);
}

TEST_F(JsonRpcTest, TokenCalls) {
  EXPECT_EQ(result_of(call("eth_call", "[{\"data\":\"0x313ce567\"}]")),
            "\"0x0000000000000000000000000000000000000000000000000000000000000012\"");
  EXPECT_EQ(result_of(call("eth_call", "[{\"data\":\"0x95d89b41\"}]")),
            "\"0x0000000000000000000000000000000000000000000000000000000000000020"
            "0000000000000000000000000000000000000000000000000000000000000003"
            "52555a0000000000000000000000000000000000000000000000000000000000\"");
  state_.balances["0x3535353535353535353535353535353535353535"] = 2'500'000;
  EXPECT_EQ(result_of(call("eth_call", "[{\"data\":\"0x70a08231"
                                       "0000000000000000000000003535353535353535353535353535353535353535\"}]")),
            "\"0x00000000000000000000000000000000000000000000000022b1c8c1227a0000\"");  // 2.5e18
  EXPECT_EQ(result_of(call("eth_call", "[{\"input\":\"0x70A08231"
                                       "0000000000000000000000003535353535353535353535353535353535353535\"}]")),
            "\"0x00000000000000000000000000000000000000000000000022b1c8c1227a0000\"");
  EXPECT_EQ(result_of(call("eth_call", "[{\"data\":\"0x18160ddd\"},\"latest\"]")),
            "\"0x000000000000000000000000000000000000000000115eec47f6cf7e35000000\"");  // 21e24
  EXPECT_EQ(result_of(call("eth_call", "[{\"data\":\"0x06fdde03\"}]")),
            "\"0x0000000000000000000000000000000000000000000000000000000000000020"
            "0000000000000000000000000000000000000000000000000000000000000006"
            "526f7a6576650000000000000000000000000000000000000000000000000000\"");

  // Only the call's data decides: the digits of a selector elsewhere in the
  // request (an owner, the contract, the id) change nothing.
  const std::string owner = "0x000000000000000000000000000000318160ddd0";
  state_.balances[owner] = 1'000'000;
  EXPECT_EQ(result_of(call("eth_call", "[{\"from\":\"0x00000000000000000000000000000000313ce567\","
                                       "\"to\":\"0x1000000000000000000000000000000000000001\","
                                       "\"data\":\"0x70a08231000000000000000000000000" +
                                           owner.substr(2) + "\"},\"latest\"]",
                           "\"95d89b41\"")),
            "\"0x0000000000000000000000000000000000000000000000000de0b6b3a7640000\"");  // 1e18
  EXPECT_EQ(result_of(call("eth_call", "[{\"to\":\"0x18160ddd00000000000000000000000000000000\"}]")),
            "\"0x0000000000000000000000000000000000000000000000000000000000000001\"");
  EXPECT_EQ(result_of(call("eth_getCode", "[\"0x3535353535353535353535353535353535353535\","
                                          "\"0x1000000000000000000000000000000000000001\"]")),
            "\"0x\"");
}

TEST_F(JsonRpcTest, OnAFullDiskTheChangesThatDoNotFitAreRefusedAndTheOthersStand) {
  rozeve_test::SmallTmpfs disk(root_ / "small", "256k");
  ROZEVE_REQUIRE_TMPFS(disk);
  restart_on(root_ / "small" / "data");
  store_chain(0);
  const rozeve_test::EthKey signer(0x52);
  const std::string recipient = "0x" + std::string(40, '7');
  state_.balances[signer.address()] = 10'000'000;
  ASSERT_TRUE(storage_->save_state(state_));
  // Full but for three pages: room for some credit lines, not for 500.
  disk.fill();
  const auto filler = root_ / "small" / "filler";
  std::filesystem::resize_file(filler, std::filesystem::file_size(filler) - 3 * 4096);

  const std::string transfer = signer.legacy_transfer(0, recipient, 1'000'000'000'000'000'000ULL);
  const std::string early = "[\"0x00000000000000000000000000000000000f0003\"]";
  ::testing::internal::CaptureStdout();
  const auto answers = batch_answers(
      rpc("[" + call("eth_getBalance", early, "\"early\"") + "," +
          call("eth_sendRawTransaction", "[\"" + transfer + "\"]", "\"transfer\"") + "," +
          fresh_balance_batch(500).substr(1)));
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(answers.size(), 502u);
  EXPECT_EQ(answers[0], std::make_pair(std::string("\"early\""), std::string("\"0x56bc75e2d63100000\"")));
  EXPECT_EQ(answers[1].second.substr(0, 3), "\"0x") << answers[1].second;
  // Whatever fitted stands; from the first line that did not, each is refused.
  size_t fitted = 2;
  while (fitted < answers.size() && answers[fitted].second == "\"0x56bc75e2d63100000\"") ++fitted;
  EXPECT_LT(fitted, answers.size());
  for (size_t i = fitted; i < answers.size(); ++i) {
    ASSERT_EQ(answers[i].second, "error -32000 " + kSaveFailed) << i;
  }
  EXPECT_EQ(log_lines(), 2u);
  EXPECT_EQ(state_.get_balance("0x00000000000000000000000000000000000f0003"), 100'000'000u);
  EXPECT_EQ(state_.get_balance(recipient), 980'000u);
  EXPECT_EQ(state_.balances.count("0x00000000000000000000000000000000000001f4"), 0u);
  const ZezozuRiziv::State saved = saved_state(*storage_);
  EXPECT_EQ(saved.balances, state_.balances);
  EXPECT_EQ(saved.nonces, state_.nonces);

  // With room again, the same addresses are credited and durable.
  disk.unfill();
  ::testing::internal::CaptureStdout();
  const auto again = batch_answers(rpc(fresh_balance_batch(500)));
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(again.size(), 500u);
  EXPECT_EQ(again.back().second, "\"0x56bc75e2d63100000\"");
  EXPECT_EQ(saved_state(*storage_).balances, state_.balances);
  restart_on(root_ / "data");  // the logs' files are closed before the disk goes
}

// --- wallet transfers ---------------------------------------------------------

class WalletTransferTest : public JsonRpcTest {
 protected:
  void SetUp() override {
    JsonRpcTest::SetUp();
    store_chain(0);
  }
  std::string send(const SignedTx& tx) { return send(tx.raw); }
  std::string send(const std::string& raw) {
    return rpc(call("eth_sendRawTransaction", "[\"" + raw + "\"]", "9"));
  }
  std::string error_answer(int code, const std::string& message) {
    return "{\"jsonrpc\":\"2.0\",\"id\":9,\"error\":{\"code\":" + std::to_string(code) +
           ",\"message\":\"" + message + "\"}}";
  }
  // The transfers the server keeps by hash, read under the chain lock.
  size_t stored_transfers() {
    platform::ReadLock lock(server_->chain_lock);
    return server_->evm_transactions.size();
  }
};

TEST_F(WalletTransferTest, SignedTransfersMoveCoinsFromTheirSigner) {
  const SignedTx& legacy = signed_tx("legacy, EIP-155 chain 202677, 1 RUZ");
  const SignedTx& type1 = signed_tx("type 1, chain 202677, 2 RUZ");
  const SignedTx& type2 = signed_tx("type 2, chain 202677, 1 RUZ");
  state_.balances[legacy.from] = 10'000'000;  // 10 RUZ
  ASSERT_TRUE(storage_->save_state(state_));
  // Somebody else asking for a balance must not become the sender.
  result_of(call("eth_getBalance", "[\"0x00000000000000000000000000000000000000cd\"]"));

  for (const SignedTx* tx : {&legacy, &type1, &type2}) {
    EXPECT_EQ(send(*tx), "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":\"" + tx->hash + "\"}");
  }
  // 1 + 2 + 1 RUZ left the signer; the recipient got each less its 2% fee.
  // With no staked node validator the signer takes the 0.4% validator share.
  EXPECT_EQ(state_.get_balance(legacy.from), 6'000'000u + 4'000u + 8'000u + 4'000u);
  EXPECT_EQ(state_.get_nonce(legacy.from), 3u);
  EXPECT_EQ(state_.get_balance(legacy.to), 980'000u + 1'960'000u + 980'000u);
  EXPECT_EQ(state_.get_balance("0x00000000000000000000000000000000000000cd"), 100'000'000u);
  EXPECT_EQ(log_lines(), 4u);
  EXPECT_EQ(saved_state(*storage_).get_balance(legacy.from), 6'016'000u);

  const std::string record = result_of(call("eth_getTransactionByHash", "[\"" + type2.hash + "\"]"));
  EXPECT_NE(record.find("\"hash\":\"" + type2.hash + "\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"from\":\"" + type2.from + "\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"nonce\":\"0x2\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"value\":\"0xd99a8cec7e20000\""), std::string::npos) << record;  // 0.98e18
  EXPECT_NE(record.find("\"type\":\"0x2\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"yParity\":"), std::string::npos) << record;
  const std::string receipt = result_of(call("eth_getTransactionReceipt", "[\"" + legacy.hash + "\"]"));
  EXPECT_NE(receipt.find("\"to\":\"" + legacy.to + "\",\"contractAddress\":null"), std::string::npos)
      << receipt;
  EXPECT_NE(receipt.find("\"status\":\"0x1\""), std::string::npos);
}

TEST_F(WalletTransferTest, StoredTransfersAreFoundAfterARestart) {
  const SignedTx& legacy = signed_tx("legacy, EIP-155 chain 202677, 1 RUZ");
  state_.balances[legacy.from] = 10'000'000;
  ASSERT_NE(send(legacy).find("\"result\""), std::string::npos);
  server_.reset();
  storage_ = std::make_unique<ZezozuRiziv::Storage>((root_ / "data").string());
  server_ = std::make_unique<RPCServer>(state_, mempool_, *storage_, chain_lock_, 0, 202677, options_);

  const std::string record = result_of(call("eth_getTransactionByHash", "[\"" + legacy.hash + "\"]"));
  EXPECT_NE(record.find("\"from\":\"" + legacy.from + "\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"type\":\"0x0\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"v\":\"0x62f8"), std::string::npos) << record;  // 2 x 202677 + 35 or 36
  EXPECT_NE(result_of(call("eth_getTransactionReceipt", "[\"" + legacy.hash + "\"]")), "null");
  // Never seen: no fabricated receipt.
  EXPECT_EQ(result_of(call("eth_getTransactionReceipt", "[\"0x" + std::string(64, '1') + "\"]")),
            "null");
  EXPECT_EQ(result_of(call("eth_getTransactionByHash", "[\"0x" + std::string(64, '1') + "\"]")),
            "null");
}

TEST_F(WalletTransferTest, RefusalsChangeNothing) {
  const SignedTx& legacy = signed_tx("legacy, EIP-155 chain 202677, 1 RUZ");
  const SignedTx& type2 = signed_tx("type 2, chain 202677, 1 RUZ");
  const SignedTx& other_chain = signed_tx("legacy, chain 1 (wrong chain for this node)");

  // Not funded yet.
  EXPECT_EQ(send(legacy), error_answer(-32000, "Saldo insufficiente per il trasferimento"));
  state_.balances[legacy.from] = 10'000'000;
  const auto before = state_.balances;
  const std::string saved = state_file();

  EXPECT_EQ(send(type2), error_answer(-32000, "Nonce non valido (atteso: 0, fornito: 2)"));
  EXPECT_EQ(send(other_chain), error_answer(-32000, "Chain ID non valido (atteso: 202677)"));
  EXPECT_EQ(rpc(call("eth_sendRawTransaction", "[\"0xf86e80zz\"]", "9")),
            error_answer(-32602, "Transazione grezza non decodificabile"));
  EXPECT_EQ(rpc(call("eth_sendRawTransaction", "[]", "9")),
            error_answer(-32602, "Transazione grezza non decodificabile"));
  // A changed byte inside the signed fields: someone else (unfunded) signed it.
  std::string tampered = legacy.raw;
  tampered[tampered.size() - 70] = tampered[tampered.size() - 70] == '1' ? '2' : '1';
  const std::string tampered_answer = rpc(call("eth_sendRawTransaction", "[\"" + tampered + "\"]", "9"));
  EXPECT_NE(tampered_answer.find("\"error\""), std::string::npos) << tampered_answer;

  EXPECT_EQ(state_.balances, before);
  EXPECT_EQ(state_.get_nonce(legacy.from), 0u);
  EXPECT_EQ(state_file(), saved);
  EXPECT_EQ(log_lines(), 1u);
  EXPECT_EQ(stored_transfers(), 0u);

  // The same transfer is applied once: a replay meets a used nonce.
  ASSERT_NE(send(legacy).find("\"result\""), std::string::npos);
  EXPECT_EQ(send(legacy), error_answer(-32000, "Nonce non valido (atteso: 1, fornito: 0)"));
  EXPECT_EQ(log_lines(), 2u);
}

TEST_F(WalletTransferTest, ReEncodedCopiesAreRefusedAndChangeNothing) {
  // The same signed transfers with their outer length written in a longer
  // form: each once decoded to the same signer under another hash.
  const SignedTx& legacy = signed_tx("legacy, EIP-155 chain 202677, 1 RUZ");
  const SignedTx& type2 = signed_tx("type 2, chain 202677, 1 RUZ");
  ASSERT_EQ(legacy.raw.substr(0, 6), "0xf86e");
  ASSERT_EQ(type2.raw.substr(0, 8), "0x02f875");
  state_.balances[legacy.from] = 10'000'000;
  // Nonce 2 for the type-2 one: two transfers go first.
  const SignedTx& type1 = signed_tx("type 1, chain 202677, 2 RUZ");
  const std::string legacy_body = legacy.raw.substr(6);
  const std::string type2_body = type2.raw.substr(8);
  // Inside too: the nonce 0 as a zero byte, v in the long form, r in the
  // long form (each with the outer length one more).
  ASSERT_EQ(legacy_body.substr(0, 2), "80");
  ASSERT_EQ(legacy_body.substr(legacy_body.size() - 140, 8), "83062f8d");
  const size_t r_at = type2_body.size() - 132;
  ASSERT_EQ(type2_body.substr(r_at, 2), "a0");
  const std::vector<std::string> legacy_copies = {
      "0xf9006e" + legacy_body, "0xfa00006e" + legacy_body, "0xfb0000006e" + legacy_body,
      legacy.raw + "00", "0xf86f8100" + legacy_body.substr(2),
      "0xf86f" + legacy_body.substr(0, legacy_body.size() - 140) + "b803062f8d" +
          legacy_body.substr(legacy_body.size() - 132)};
  const std::vector<std::string> type2_copies = {
      "0x02f90075" + type2_body, "0x02fa000075" + type2_body, "0x02fb00000075" + type2_body,
      type2.raw + "80", "0x02f876" + type2_body.substr(0, r_at) + "b820" + type2_body.substr(r_at + 2)};
  const auto refuse_all = [&](const std::vector<std::string>& copies) {
    const auto balances = state_.balances;
    const auto nonces = state_.nonces;
    const size_t lines = log_lines();
    const std::string saved = state_file();
    for (const std::string& raw : copies) {
      EXPECT_EQ(rpc(call("eth_sendRawTransaction", "[\"" + raw + "\"]", "9")),
                error_answer(-32602, "Transazione grezza non decodificabile"))
          << raw.substr(0, 14);
    }
    EXPECT_EQ(state_.balances, balances);
    EXPECT_EQ(state_.nonces, nonces);
    EXPECT_EQ(log_lines(), lines);
    EXPECT_EQ(state_file(), saved);
  };

  refuse_all(legacy_copies);
  EXPECT_EQ(stored_transfers(), 0u);
  EXPECT_EQ(send(legacy), "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":\"" + legacy.hash + "\"}");
  ASSERT_NE(send(type1).find("\"result\""), std::string::npos);
  refuse_all(type2_copies);
  EXPECT_EQ(send(type2), "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":\"" + type2.hash + "\"}");
  EXPECT_EQ(state_.get_nonce(legacy.from), 3u);
  EXPECT_EQ(stored_transfers(), 3u);
}

// Every coin the ledger holds: balances and stakes.
unsigned __int128 all_coins(const ZezozuRiziv::State& state) {
  unsigned __int128 total = 0;
  for (const auto& [account, balance] : state.balances) total += balance;
  for (const auto& [account, stake] : state.staked) total += stake;
  return total;
}

TEST_F(WalletTransferTest, TransfersThatWouldMintAreRefusedAndAcceptedOnesOnlyMoveCoins) {
  const rozeve_test::EthKey signer(0x53);
  const std::string recipient = "0x" + std::string(40, '7');
  const std::string validator = "0x" + std::string(40, '8');
  constexpr unsigned __int128 kWei = 1'000'000'000'000ULL;  // per atomic unit
  state_.balances[signer.address()] = 10'000'000;
  state_.staked[validator] = 1'000'000'000;  // a qualified node validator takes its share
  server_->node_validator_address = validator;
  ASSERT_TRUE(storage_->save_state(state_));
  const unsigned __int128 coins = all_coins(state_);
  const ZezozuRiziv::State before = state_;
  const std::string file_before = state_file();

  // At 1 to 1,000 atomic units the fee (1,000 at least) is not below the
  // amount: taking them would create coins.
  const std::string refused = error_answer(
      -32000, "Importo minimo: 0.001001 RUZ (la commissione di rete deve restare sotto l'importo)");
  for (const uint64_t atomic : {1ULL, 2ULL, 999ULL, 1'000ULL}) {
    EXPECT_EQ(send(signer.legacy_transfer(0, recipient, atomic * kWei)), refused) << atomic;
  }
  EXPECT_EQ(state_.balances, before.balances);
  EXPECT_EQ(state_.staked, before.staked);
  EXPECT_EQ(state_.nonces, before.nonces);
  EXPECT_EQ(all_coins(state_), coins);
  EXPECT_EQ(state_file(), file_before);
  EXPECT_EQ(log_lines(), 1u);
  EXPECT_EQ(stored_transfers(), 0u);

  // The smallest amount taken, and an ordinary one: coins move, none appear.
  uint64_t nonce = 0;
  for (const uint64_t atomic : {1'001ULL, 1'000'000ULL}) {
    const std::string answer = send(signer.legacy_transfer(nonce++, recipient, atomic * kWei));
    EXPECT_NE(answer.find("\"result\":\"0x"), std::string::npos) << atomic << " " << answer;
    EXPECT_EQ(all_coins(state_), coins) << atomic;
  }
  EXPECT_EQ(state_.get_balance(recipient), 1u + 980'000u);
  EXPECT_EQ(state_.get_balance(signer.address()), 10'000'000u - 1'001u - 1'000'000u);
  EXPECT_GT(state_.get_balance(validator), 0u);
  EXPECT_EQ(all_coins(saved_state(*storage_)), coins);
  EXPECT_EQ(log_lines(), 3u);
}

TEST_F(WalletTransferTest, LessThanOneAtomicUnitIsRefused) {
  const SignedTx& legacy = signed_tx("legacy, EIP-155 chain 202677, 1 RUZ");
  const SignedTx& type1 = signed_tx("type 1, chain 202677, 2 RUZ");
  const SignedTx& type2 = signed_tx("type 2, chain 202677, 1 RUZ");
  const SignedTx& one_wei = signed_tx("type 2, chain 202677, 1 wei");
  state_.balances[legacy.from] = 10'000'000;
  for (const SignedTx* tx : {&legacy, &type1, &type2}) ASSERT_NE(send(*tx).find("result"), std::string::npos);
  EXPECT_EQ(send(one_wei),
            error_answer(-32000, "Importo minimo: 0.001001 RUZ (la commissione di rete deve "
                                 "restare sotto l'importo)"));
  EXPECT_EQ(state_.get_nonce(legacy.from), 3u);
}

}  // namespace
