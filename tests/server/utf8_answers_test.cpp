// Every answer is UTF-8 JSON that a strict client reads, whatever bytes came
// in: parameters, form bodies, JSON-RPC texts and texts stored before.
#include <fstream>
#include <string>
#include <vector>

#include "crypto/text.h"
#include "json_test_support.h"
#include "server/json_reader.h"
#include "server_test_support.h"

namespace {

using rozeve_test::body_of;
using rozeve_test::json_field;

constexpr char kAnna[] = "0x00000000000000000000000000000000000a11a0";
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// The answer as a strict client takes it: UTF-8, then one JSON value.
::testing::AssertionResult strict_json(const std::string& answer) {
  if (!RozeveCrypto::is_valid_utf8(answer)) return ::testing::AssertionFailure() << "not UTF-8: " << answer;
  if (!ZezozuRiziv::JsonDocument::parse(answer)) return ::testing::AssertionFailure() << "not JSON: " << answer;
  return ::testing::AssertionSuccess();
}

class Utf8Answers : public rozeve_test::ServerFixture {};

TEST_F(Utf8Answers, BadBytesInParametersNeverReachAnAnswer) {
  start_server();
  const std::string created = post("/api/cer/create", "addr=" + std::string(kAnna) + "&name=Tetti%FFSolari&tag=ts");
  ASSERT_TRUE(strict_json(created));
  const std::string id = json_field(created, "cer_id");
  ASSERT_EQ(json_field(created, "status"), "ok") << created;
  EXPECT_EQ(json_field(created, "message"),
            std::string("Comunita Energetica [Tetti") + kReplacement + "Solari] fondata con successo!");

  const std::vector<std::string> answers = {
      get("/api/cer/list"),
      get("/api/cer/detail?id=" + id),
      get("/api/explorer/address?addr=%ff%fe"),
      body_of(exchange("GET /api/explorer/address?addr=\xff\xfe\xC3 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")),
      get("/api/game/state?addr=0x%ff"),
      get("/api/quiz/categories/add?name=Fotovoltaico%E2%82"),
      get("/api/quiz/categories"),
      post("/api/cer/message", "addr=" + std::string(kAnna) + "&text=Ciao%C3%28&emoji=%F0%9F"),
      get("/api/cer/detail?id=" + id),
      get("/api/auth/register?username=Anna%80&email=a%FF@x.it&password=segreta1"),
      get("/api/game/market/bid?addr=" + std::string(kAnna) + "&key=%ff_1&amount=5"),
  };
  for (const std::string& answer : answers) EXPECT_TRUE(strict_json(answer));
  EXPECT_NE(answers[0].find(std::string("Tetti") + kReplacement + "Solari"), std::string::npos) << answers[0];
  EXPECT_NE(answers[6].find(std::string("Fotovoltaico") + kReplacement), std::string::npos) << answers[6];
  EXPECT_NE(answers[8].find(std::string("Ciao") + kReplacement + "("), std::string::npos) << answers[8];
}

TEST_F(Utf8Answers, TextsStoredBeforeAreRepairedOnTheWayOut) {
  // A world file written before texts were checked where they come in.
  std::filesystem::create_directories(root_ / "data");
  std::ofstream(root_ / "data" / "game_world.dat", std::ios::binary)
      << "CER|cer_old|Tetti\xFF" "Solari|TS\xC3|Vecchia\xE2\x82|\xF0\x9F|0xa\xFF|1|5|0.000000\n"
         "CERM|cer_old|0xa\xFF|admin|1|0|0.000000\n"
         "CERMSG|cer_old|msg_1|0xa\xFF|An\xFFna|Ciao\xED\xA0\x80|\xF0|1\n";
  start_server();
  const std::string list = get("/api/cer/list");
  ASSERT_TRUE(strict_json(list));
  EXPECT_NE(list.find(std::string("\"name\":\"Tetti") + kReplacement + "Solari\""), std::string::npos) << list;
  EXPECT_TRUE(strict_json(get("/api/cer/detail?id=cer_old")));
  EXPECT_TRUE(strict_json(get("/api/quiz/leaderboard")));
}

TEST_F(Utf8Answers, JsonRpcTextsWithBadBytesGetAReadableAnswer) {
  start_server();
  const std::vector<std::string> bodies = {
      "{\"jsonrpc\":\"2.0\",\"id\":\"\xff\",\"method\":\"eth_chainId\"}",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"eth_getBalance\",\"params\":[\"0x\xC3\",\"latest\"]}",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"eth_\xFE\"}",
      "[{\"jsonrpc\":\"2.0\",\"id\":\"a\xED\xA0\x80\",\"method\":\"net_version\"}]",
      "\xFF\xFE",
  };
  for (const std::string& body : bodies) {
    const std::string answer = body_of(exchange("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                                "application/json\r\nContent-Length: " +
                                                std::to_string(body.size()) + "\r\n\r\n" + body));
    EXPECT_TRUE(strict_json(answer)) << body;
  }
  // Well-formed texts keep every character they had.
  const std::string id = "{\"jsonrpc\":\"2.0\",\"id\":\"citt\xC3\xA0\",\"method\":\"net_version\"}";
  const std::string answer = body_of(exchange("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                              std::to_string(id.size()) + "\r\n\r\n" + id));
  ASSERT_TRUE(strict_json(answer));
  EXPECT_EQ(json_field(answer, "id"), "citt\xC3\xA0");
}

}  // namespace
