// The entries of a State that a change may touch, as they were before it,
// so that the change can be undone exactly without copying whole maps. It
// lives in memory only, beside the change it undoes; nothing of it is written.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "chain/block.h"
#include "chain/state.h"

namespace ZezozuRiziv {

// Holds a pointer to the State it saves from: the State must outlive it.
// Holds no lock: the caller holds the chain lock exclusively.
class StateUndo {
 public:
  explicit StateUndo(State& state) : state_(&state) {}

  // Saves the key's entries in the three maps as they are now. Call it for
  // every key before changing it; saving a key twice is harmless.
  void remember(const std::string& key);
  // The accounts a block can touch: its transactions' senders and
  // recipients, the three fee accounts and its validator.
  void remember_block_accounts(const Block& block);
  // Puts every saved entry back (absent entries are erased again).
  void restore();
  bool empty() const { return saved_.empty(); }

 private:
  struct Saved {
    std::map<std::string, uint64_t>* map;
    std::string key;
    std::optional<uint64_t> value;  // nullopt: the entry did not exist
  };
  State* state_;
  std::vector<Saved> saved_;
};

}  // namespace ZezozuRiziv
