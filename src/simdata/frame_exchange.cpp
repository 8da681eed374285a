#include "simdata/frame_exchange.h"

#include <cstring>
#include <thread>

namespace velkaro {

void FrameExchange::CopyIn(const std::uint8_t* frame, std::int32_t sequence) {
  const std::uint32_t v = version_.load(std::memory_order_relaxed);
  version_.store(v + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (std::size_t i = 0; i < kWords; ++i) {
    std::uint32_t word;
    std::memcpy(&word, frame + 4 * i, 4);
    slot_[i].store(word, std::memory_order_relaxed);
  }
  slot_sequence_.store(sequence, std::memory_order_relaxed);
  version_.store(v + 2, std::memory_order_release);
}

void FrameExchange::Store(const std::uint8_t* frame) {
  CopyIn(frame, FrameSequence.load(std::memory_order_relaxed));
}

void FrameExchange::Publish(const std::uint8_t* frame) {
  const std::int32_t next = NextFrameSequence(FrameSequence.load(std::memory_order_relaxed));
  CopyIn(frame, next);
  // Sequentially consistent with the waiter's count and test below: either a waiter sees the
  // new sequence before it sleeps, or this thread sees the waiter and has it woken.
  FrameSequence.store(next, std::memory_order_seq_cst);
  const int waiting = waiters_.load(std::memory_order_seq_cst);
  if (waiting == 0) return;
  // A lone waiter is woken here: that costs a system call, and saves it the hop
  // through the waker. The lock pass is only tried: a waiter holding the lock (for its
  // two-word test) never makes this thread wait; the waker then does the pass instead.
  if (waiting <= kDirectWakeLimit && wait_mutex_.try_lock()) {
    wait_mutex_.unlock();
    changed_.notify_all();
    return;
  }
  if (!wake_pending_.exchange(true, std::memory_order_acq_rel)) wake_request_.Post();
}

void FrameExchange::RunWaker() {
  platform::YieldToOtherThreadsOnWake();
  for (;;) {
    wake_request_.Wait();
    if (waker_stop_.load(std::memory_order_acquire)) break;
    wake_pending_.store(false, std::memory_order_release);
    // A waiter tests the sequence under the mutex before it sleeps; passing through the mutex
    // means it either saw the new value or is asleep and gets the notification.
    { std::lock_guard<std::mutex> pass(wait_mutex_); }
    changed_.notify_all();
  }
  // Ready for the next server run.
  wake_pending_.store(false, std::memory_order_release);
  waker_stop_.store(false, std::memory_order_release);
}

void FrameExchange::StopWaker() {
  waker_stop_.store(true, std::memory_order_release);
  wake_request_.Post();
}

std::int32_t FrameExchange::ReadLatest(std::uint8_t* out) const {
  for (bool first = true;; first = false) {
    // A reader that meets a write under way gives its processor up before it tries again: many
    // readers spinning could otherwise keep the simulator's thread, the writer, from finishing
    // (a machine with fewer processors than clients).
    if (!first) std::this_thread::yield();
    const std::uint32_t before = version_.load(std::memory_order_acquire);
    if (before & 1u) continue;  // a write is under way
    for (std::size_t i = 0; i < kWords; ++i) {
      const std::uint32_t word = slot_[i].load(std::memory_order_relaxed);
      std::memcpy(out + 4 * i, &word, 4);
    }
    const std::int32_t sequence = slot_sequence_.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (version_.load(std::memory_order_relaxed) == before) return sequence;
  }
}

std::int32_t FrameExchange::WaitForChange(std::int32_t seen, std::chrono::milliseconds limit) {
  std::int32_t current = FrameSequence.load(std::memory_order_seq_cst);
  if (current != seen) return current;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const std::uint32_t generation = wake_generation_.load(std::memory_order_acquire);
  std::unique_lock<std::mutex> lock(wait_mutex_);
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  changed_.wait_until(lock, deadline, [&] {
    current = FrameSequence.load(std::memory_order_seq_cst);
    return current != seen || wake_generation_.load(std::memory_order_acquire) != generation;
  });
  waiters_.fetch_sub(1, std::memory_order_relaxed);
  return current;
}

void FrameExchange::WakeAll() {
  {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    wake_generation_.fetch_add(1, std::memory_order_release);
  }
  changed_.notify_all();
}

}  // namespace velkaro
