// Joinable threads with a chosen stack size (std::thread cannot set one, and the add-on lives in
// a 32-bit process whose address space is scarce). One implementation file per system.
//
// A Thread is owned by the thread that started it, which alone joins it.
#pragma once

#include <cstddef>

namespace velkaro::platform {

class Thread {
 public:
  using Entry = void (*)(void* argument);

  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // A thread still running when its object is destroyed is joined first.
  ~Thread();

  // Starts entry(argument) on a new thread with the given stack size (0: the system default).
  // False when the thread cannot be created (out of memory included), with the reason in
  // LastSystemError() (platform/system.h); throws nothing.
  bool Start(Entry entry, void* argument, std::size_t stack_bytes);
  // Waits for the thread to end. Does nothing when no thread was started.
  void Join();
  // Waits at most `milliseconds` for the thread to end; true when it has ended and was joined
  // (or none was started).
  bool JoinFor(int milliseconds);
  bool Started() const { return started_; }

 private:
  bool started_ = false;
#if defined(_WIN32)
  void* handle_ = nullptr;
  unsigned id_ = 0;
#else
  unsigned long handle_ = 0;               // pthread_t
#endif
};

}  // namespace velkaro::platform

namespace velkaro::platform {

// Asks the scheduler not to let the calling thread preempt a running thread when it is woken
// (a batch thread on Linux; on Windows normal priority without the boost on wake-up): the
// thread that woke it, the simulator's, keeps its processor; the woken thread runs on a free one
// or after it. Its priority is not lowered.
void YieldToOtherThreadsOnWake();

// A counting semaphore whose Post never blocks the caller (sem_post / ReleaseSemaphore): the
// simulator's thread uses it to hand work to another thread without waiting on that thread.
class Semaphore {
 public:
  Semaphore();
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void Post();
  void Wait();

 private:
#if defined(_WIN32)
  void* handle_;
#else
  alignas(16) unsigned char storage_[64];  // sem_t
#endif
};

}  // namespace velkaro::platform
