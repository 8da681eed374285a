// The autopilot exchange: the two autopilot blocks and the lock that guards them. McpRequest is
// the block as last received from any client; McpPending holds the accepted changes waiting for
// the next simulator record. Client sessions store what they receive, the simulator's thread
// takes the pending changes; nothing else reaches either block.
//
// It also remembers which fields the application has refused since Reset, so that each is
// logged once.
//
// Thread-safety: every operation takes the lock for a 144-byte copy, check or merge and never
// for anything that waits, so the simulator's thread is never held up by a client. A merge is
// one step for the application: it lands whole in the next TakePending, never half, and no
// merge is lost to a reset.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/mcp_block.h"
#include "platform/mutex.h"

namespace velkaro {

class McpExchange {
 public:
  McpExchange() = default;
  McpExchange(const McpExchange&) = delete;
  McpExchange& operator=(const McpExchange&) = delete;

  // Both blocks to their start values, nothing refused yet (DLLStart).
  void Reset() VELKARO_EXCLUDES(mutex_);

  // A session received a whole block and its check value: the block becomes McpRequest and,
  // when the check value matches, is merged into McpPending. True when merged.
  bool StoreAndMerge(const McpBlock& block, std::uint32_t check) VELKARO_EXCLUDES(mutex_);
  // A session received only the first `count` bytes of a block (or the whole block without its
  // check value): they overwrite the start of McpRequest; nothing is merged.
  void StorePartial(const std::uint8_t* bytes, std::size_t count) VELKARO_EXCLUDES(mutex_);

  // Simulator's thread: copies McpPending out into `pending` and resets it, as one step. False,
  // without touching the lock, when no block was merged since the last take: the pending block
  // then holds its start values, which ask for nothing.
  bool TakePending(McpBlock* pending) VELKARO_EXCLUDES(mutex_);

  // Simulator's thread: of the refused fields in `fields`, those not refused before since Reset;
  // from now on they all count as refused before. A field is logged once, not with every block
  // that repeats it.
  McpFieldSet FirstRefusals(McpFieldSet fields) VELKARO_EXCLUDES(mutex_);

  // Copies, for diagnostics and tests.
  McpBlock Request() const VELKARO_EXCLUDES(mutex_);
  McpBlock Pending() const VELKARO_EXCLUDES(mutex_);

 private:
  mutable platform::Mutex mutex_;
  McpBlock request_ VELKARO_GUARDED_BY(mutex_){};
  McpBlock pending_ VELKARO_GUARDED_BY(mutex_){};
  // Set with every merge, cleared by the take that empties pending_; read without the lock so
  // that a frame with nothing pending (nearly every frame) costs one load.
  std::atomic<bool> merged_{false};
  McpFieldSet refused_ VELKARO_GUARDED_BY(mutex_) = 0;
};

}  // namespace velkaro
