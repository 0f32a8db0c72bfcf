// The chain lock: one per ledger, beside the State and the Storage it
// guards, owned by whoever owns those two (the node's run_node, a command,
// a test) and handed by reference to every thread that reads or changes
// them. Readers (the explorer, the JSON-RPC views, the checkpoint's copy)
// hold it shared; every change of the ledger (storage/ledger.h) holds it
// exclusively. It is phase-fair (platform/phase_fair_mutex.h), so a stream
// of readers never keeps a writer out, nor writers the readers.
//
// Lock order: the chain lock first; inside it the game lock, the mempool's
// lock and the storage's own locks may be taken, never the other way round
// (docs/ARCHITECTURE.md, "Lock order").
#pragma once

#include "platform/phase_fair_mutex.h"
#include "platform/thread_annotations.h"

namespace ZezozuRiziv {

// Held through platform::ReadLock and platform::WriteLock, which clang's
// thread-safety analysis checks against the members GUARDED_BY it.
class CAPABILITY("mutex") ChainLock : public platform::PhaseFairMutex {
 public:
  ChainLock() = default;
};

}  // namespace ZezozuRiziv
