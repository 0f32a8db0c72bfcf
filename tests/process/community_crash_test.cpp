// The real node killed with SIGKILL while 16 clients live as community
// members: they join, post, buy, claim, leave and join another. After every
// kill the world read back holds, for every player, exactly its acknowledged
// changes (and perhaps the one it was waiting for): its community and its
// entry there, its coins and lots, its posts; every community's members and
// production total add up; nothing is torn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_node_process.h"
#include "app_test_support.h"
#include "app_world_peer.h"
#include "game/engine/game_engine.h"
#include "game/store/world_journal.h"
#include "node_client_support.h"

namespace ZezozuRiziv {

namespace {

namespace fs = std::filesystem;
using rozeve_test::NodeProcess;
using Peer = GameEngineTestPeer;

constexpr int kRounds = 12;
constexpr int kClients = 16;
constexpr int kMaxKillDelayUs = 80'000;
constexpr uint64_t kStartCoins = 300;
constexpr uint64_t kLotPrice = 50;
constexpr uint64_t kClaimCoins = 100;  // 1 RUZ
constexpr double kStartKwh = 25.0;
const std::vector<std::string> kCommunities = {"cer_solare_italia", "cer_vento_sicilia", "cer_idrogeno_verde"};

enum class Kind { kJoin, kPost, kBuy, kClaim, kLeave };
struct Step {
  Kind kind;
  std::string arg;  // the community joined, the text posted, the lot bought
};
enum class Outcome { kAcknowledged, kRefused, kUnknown };

// One player of one round: a script it follows until the node is killed.
struct Life {
  std::string address;
  std::vector<Step> script;
  std::vector<Outcome> outcomes;  // of the steps taken, in order
};

std::string address_of(int client, int round) {
  char text[48];
  std::snprintf(text, sizeof text, "0x%020x%020x", client + 1, round + 1);
  return text;
}

Life life_of(int client, int round) {
  Life life;
  life.address = address_of(client, round);
  std::string tag = "c";
  tag += std::to_string(client);
  tag += 'r';
  tag += std::to_string(round);
  int posts = 0;
  int lots = 0;
  const auto post = [&] { life.script.push_back({Kind::kPost, tag + "p" + std::to_string(posts++)}); };
  const auto buy = [&] {
    char key[64];
    std::snprintf(key, sizeof key, "%.5f_%.5f", 20.0 + client * 0.5 + round * 0.01, 20.0 + lots++ * 0.01);
    life.script.push_back({Kind::kBuy, key});
  };
  for (int lap = 0; lap < 3; ++lap) {
    life.script.push_back({Kind::kJoin, kCommunities[(client + round + lap) % kCommunities.size()]});
    post();
    if (lap < 2) buy();
    post();
    if (lap == 0) life.script.push_back({Kind::kClaim, ""});
    post();
    life.script.push_back({Kind::kLeave, ""});
  }
  for (int i = 0; i < 40; ++i) post();
  return life;
}

// What a life's first `n` steps leave, where applied steps are those acknowledged.
struct Expected {
  std::string community;  // empty: none
  uint64_t coins = kStartCoins;
  std::set<std::string> lots;
  std::map<std::string, std::vector<std::string>> posts;  // by community, in order
  std::map<std::string, int> joins;                       // by community
};

Expected expected_after(const Life& life, size_t n) {
  Expected e;
  for (size_t i = 0; i < n && i < life.outcomes.size(); ++i) {
    if (life.outcomes[i] == Outcome::kRefused) continue;
    const Step& s = life.script[i];
    switch (s.kind) {
      case Kind::kJoin:
        e.community = s.arg;
        ++e.joins[s.arg];
        break;
      case Kind::kPost:
        e.posts[e.community].push_back(s.arg);
        break;
      case Kind::kBuy:
        e.coins -= kLotPrice;
        e.lots.insert(s.arg);
        break;
      case Kind::kClaim:
        e.coins -= kClaimCoins;
        break;
      case Kind::kLeave:
        e.community.clear();
        break;
    }
  }
  return e;
}

class CommunityCrashTest : public rozeve_test::BinaryFixture {
 protected:
  std::string args() { return "--daemon " + rozeve_test::local_node_args(rpc_port_, p2p_port_); }

  Outcome take(const Life& life, const Step& s) {
    const std::string& a = life.address;
    std::string answer;
    switch (s.kind) {
      case Kind::kJoin:
        answer = rozeve_test::curl_get(rpc_port_, "/api/cer/join?addr=" + a + "&id=" + s.arg);
        break;
      case Kind::kPost:
        answer = rozeve_test::curl_get(rpc_port_, "/api/cer/message?addr=" + a + "&text=" + s.arg);
        break;
      case Kind::kBuy: {
        const std::string lat = s.arg.substr(0, s.arg.find('_'));
        const std::string lon = s.arg.substr(s.arg.find('_') + 1);
        answer = rozeve_test::curl_get(rpc_port_, "/api/game/buy?addr=" + a + "&key=" + s.arg + "&lat=" + lat +
                                                      "&lon=" + lon + "&user_lat=" + lat + "&user_lon=" + lon);
        break;
      }
      case Kind::kClaim:
        answer = rozeve_test::curl_get(rpc_port_, "/api/game/claim-ruz?addr=" + a + "&source=WC&amount=1");
        break;
      case Kind::kLeave:
        answer = rozeve_test::curl_get(rpc_port_, "/api/cer/leave?addr=" + a);
        break;
    }
    if (answer.find("\"status\":\"ok\"") != std::string::npos) return Outcome::kAcknowledged;
    if (answer.find("\"status\":\"error\"") != std::string::npos) return Outcome::kRefused;
    return Outcome::kUnknown;
  }

  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(CommunityCrashTest, KillsWhileSixteenMembersWriteLoseNothingAndTearNothing) {
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::string data = (dir_ / "data").string();

  // The communities as the world starts them.
  std::map<std::string, CERCommunity> start;
  {
    GameEngine engine(data);
    ASSERT_FALSE(engine.load_failed()) << engine.load_error();
    for (const auto& [id, c] : Peer::cers(engine)) start[id] = c;
  }
  for (const std::string& id : kCommunities) ASSERT_EQ(start.count(id), 1u) << id;

  std::vector<Life> lives;
  uint64_t acknowledged = 0;
  for (int round = 0; round < kRounds; ++round) {
    const size_t first = lives.size();
    for (int c = 0; c < kClients; ++c) lives.push_back(life_of(c, round));
    {
      NodeProcess node(dir_, args());
      ASSERT_TRUE(node.wait_for_output("[NODO IN MODALITA DAEMON]")) << node.output();
      std::atomic<bool> killed{false};
      std::vector<std::thread> clients;
      for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
          Life& life = lives[first + c];
          for (const Step& s : life.script) {
            if (killed.load()) break;
            const Outcome o = take(life, s);
            life.outcomes.push_back(o);
            if (o == Outcome::kUnknown) break;  // the answer that never came: its step is the last
          }
        });
      }
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % kMaxKillDelayUs));
      node.signal("KILL");
      killed = true;
      ASSERT_TRUE(node.wait_exit(5000).has_value());
      for (std::thread& t : clients) t.join();
    }

    // No line of the journal is damaged: a torn tail at most.
    const JournalScan scan = scan_journal(rozeve_test::read_text(dir_ / "data" / kJournalFileName));
    ASSERT_FALSE(scan.damaged) << "round " << round << ", line " << scan.damaged_line;

    GameEngine engine(data);
    ASSERT_FALSE(engine.load_failed()) << engine.load_error();
    const auto players = Peer::players(engine);
    const auto parcels = Peer::parcels(engine);
    const auto cers = Peer::cers(engine);
    std::map<std::string, int> joins;
    std::map<std::string, std::set<std::string>> members;  // by community, the lives' own
    std::map<std::string, std::string> post_of;            // post text -> its community, where it may be
    for (const Life& life : lives) {
      SCOPED_TRACE(life.address + " round " + std::to_string(round));
      size_t taken = life.outcomes.size();
      size_t known = taken;
      while (known > 0 && life.outcomes[known - 1] == Outcome::kUnknown) --known;
      const auto player = players.find(life.address);
      // Which of the two the world holds: without the step whose answer
      // never came, or with it. Coins, community and lots must agree.
      const auto matches = [&](const Expected& e) {
        if (player == players.end()) return e.coins == kStartCoins && e.community.empty() && e.lots.empty() &&
                                            e.joins.empty();
        if (player->second.coins != e.coins || player->second.cer_id != e.community) return false;
        for (const std::string& lot : e.lots) {
          const auto it = parcels.find(lot);
          if (it == parcels.end() || it->second.owner != life.address) return false;
        }
        return true;
      };
      const Expected without = expected_after(life, known);
      const Expected with = expected_after(life, taken);
      const bool is_without = matches(without);
      ASSERT_TRUE(is_without || (taken > known && matches(with)))
          << "coins " << (player == players.end() ? 0 : player->second.coins) << ", community "
          << (player == players.end() ? "" : player->second.cer_id);
      const Expected& e = is_without ? without : with;
      for (const auto& [id, n] : e.joins) joins[id] += n;
      if (!e.community.empty()) members[e.community].insert(life.address);
      if (player != players.end()) {
        EXPECT_EQ(player->second.kwh, kStartKwh);
        EXPECT_EQ(player->second.cer_role, "member");
      }
      // Posts: every one the world shows was written by this life, in
      // that community; an acknowledged one is gone only off a full board,
      // oldest first.
      for (const auto& [id, texts] : with.posts) {
        for (const std::string& text : texts) post_of[text] = id;
      }
      for (const auto& [id, texts] : e.posts) {
        const auto c = cers.find(id);
        ASSERT_NE(c, cers.end()) << id;
        bool seen_later = false;
        for (auto text = texts.rbegin(); text != texts.rend(); ++text) {
          size_t count = 0;
          for (const CERMessage& m : c->second.messages) count += m.text == *text ? 1 : 0;
          EXPECT_LE(count, 1u) << *text;
          if (count == 0) {
            EXPECT_EQ(c->second.messages.size(), kBoardMessages) << *text << " missing from " << id;
            seen_later = true;
          } else {
            EXPECT_FALSE(seen_later) << *text << " kept while a later post of its author is gone";
          }
        }
      }
    }
    for (const std::string& id : kCommunities) {
      SCOPED_TRACE(id + " round " + std::to_string(round));
      const CERCommunity& now = cers.at(id);
      const CERCommunity& before = start.at(id);
      EXPECT_DOUBLE_EQ(now.total_kwh, before.total_kwh + kStartKwh * joins[id]);
      std::set<std::string> listed;
      for (const CERMember& m : now.members) {
        if (!m.address.starts_with("0x000")) continue;  // a seeded member
        EXPECT_TRUE(listed.insert(m.address).second) << m.address << " listed twice";
        EXPECT_EQ(m.total_kwh, kStartKwh) << m.address;
      }
      EXPECT_EQ(listed, members[id]);
      EXPECT_LE(now.messages.size(), kBoardMessages);
      for (const CERMessage& m : now.messages) {
        if (m.author_name == "Sistema" || m.author_addr == before.creator) continue;
        const auto where = post_of.find(m.text);
        ASSERT_NE(where, post_of.end()) << m.text << " was never posted";
        EXPECT_EQ(where->second, id) << m.text;
      }
    }
  }
  for (const Life& life : lives) {
    for (const Outcome o : life.outcomes) acknowledged += o == Outcome::kAcknowledged ? 1 : 0;
  }
  EXPECT_GE(acknowledged, 200u) << "too few writes were acknowledged to mean anything";
  RecordProperty("acknowledged_changes", static_cast<int>(acknowledged));
  std::cout << "[TEST] " << acknowledged << " changes acknowledged over " << kRounds << " kills" << std::endl;
}

}  // namespace
}  // namespace ZezozuRiziv
