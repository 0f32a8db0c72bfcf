// Counts that a peer or a file could otherwise make unbounded.
#pragma once

#include <cstddef>

namespace ZezozuRiziv {

// The mempool refuses further transactions beyond this many pending ones, so
// a peer cannot grow it without bound.
inline constexpr size_t kMaxPendingTransactions = 10'000;
// A block holds at most this many transactions: no more than the mempool
// could ever hand to one block. The block reader refuses a longer one
// before it builds a single record.
inline constexpr size_t kMaxBlockTransactions = 10'000;

}  // namespace ZezozuRiziv
