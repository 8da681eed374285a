// Hands the latest converted frame from the simulator's thread to the client sessions.
//
// The simulator's thread publishes: it copies the frame into a shared slot guarded by a sequence
// lock (readers retry instead of blocking the writer) and then advances the frame sequence. It
// never waits on a reader. A lone waiting session it wakes itself; when more are waiting it
// posts a semaphore (which never blocks) to the waker thread, and that thread wakes them all:
// waking dozens of threads costs a system call per thread, which the simulator's frame does
// not carry, nor can it stall behind a waiter that holds the wait lock. The waker and the
// sessions do not preempt the simulator's thread when woken.
//
// Sessions read: a consistent copy of the latest frame together with the sequence value it was
// published under, and a bounded wait for a sequence value they have not seen, which a
// publication (or a stop) ends at once.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "common/frame_layout.h"
#include "platform/thread.h"

namespace velkaro {

// The frame sequence: 0 before the first publication, then 1, 2, ... 0x7FFFFFFE, 0, 1, ...
// It never holds 0x7FFFFFFF or a negative value.
inline constexpr std::int32_t NextFrameSequence(std::int32_t sequence) {
  return sequence + 1 == 0x7FFFFFFF ? 0 : sequence + 1;
}

class FrameExchange {
 public:
  FrameExchange() = default;
  // Starts as if the last publication had been under `sequence` (0 to 0x7FFFFFFE), so that the
  // wrap-around can be exercised without publishing two thousand million frames first.
  explicit FrameExchange(std::int32_t sequence) : FrameSequence(sequence) {}
  FrameExchange(const FrameExchange&) = delete;
  FrameExchange& operator=(const FrameExchange&) = delete;

  // Simulator's thread. Places a frame in the slot without advancing the sequence (the start-up
  // frame).
  void Store(const std::uint8_t* frame);
  // Simulator's thread. Places a new frame in the slot, advances the sequence, wakes waiters.
  void Publish(const std::uint8_t* frame);

  // Any thread. Copies the latest frame into `out` and returns the sequence value it was
  // published under.
  std::int32_t ReadLatest(std::uint8_t* out) const;

  // Any thread. Waits until the sequence differs from `seen`, at most `limit`, or until
  // WakeAll() is called. Returns the sequence value last read.
  std::int32_t WaitForChange(std::int32_t seen, std::chrono::milliseconds limit);

  // Ends every wait now (on stop).
  void WakeAll();

  // The waker thread's body: wakes the waiting sessions after each publication, until
  // StopWaker(). The thread that starts the sessions runs it (the socket server).
  void RunWaker();
  void StopWaker();

  std::int32_t Sequence() const { return FrameSequence.load(std::memory_order_acquire); }

 private:
  static constexpr std::size_t kWords = kFrameSize / 4;
  // Up to this many waiters the publisher wakes itself (one: a lone client gets its frame
  // without the hop through the waker; more are cheaper for this thread through the waker).
  static constexpr int kDirectWakeLimit = 1;
  static_assert(kFrameSize % 4 == 0);

  void CopyIn(const std::uint8_t* frame, std::int32_t sequence);

  // The frame sequence, advanced after each publication once the whole frame is readable.
  std::atomic<std::int32_t> FrameSequence{0};

  // Sequence lock: odd while the slot is being written. The slot is held as relaxed atomic
  // words so that a reader racing a writer is well defined; it then sees the lock move and
  // retries.
  std::atomic<std::uint32_t> version_{0};
  std::array<std::atomic<std::uint32_t>, kWords> slot_{};
  std::atomic<std::int32_t> slot_sequence_{0};

  std::mutex wait_mutex_;
  std::condition_variable changed_;
  std::atomic<int> waiters_{0};
  std::atomic<std::uint32_t> wake_generation_{0};

  platform::Semaphore wake_request_;
  std::atomic<bool> wake_pending_{false};
  std::atomic<bool> waker_stop_{false};
};

}  // namespace velkaro
