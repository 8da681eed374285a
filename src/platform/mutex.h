// A mutex whose lock contract the compiler checks. With clang (-Wthread-safety) a member marked
// VELKARO_GUARDED_BY(mutex_) cannot be touched without holding mutex_, and a function marked
// VELKARO_REQUIRES(mutex_) cannot be called without it; other compilers read the marks as
// nothing. The same std::mutex underneath on every system.
#pragma once

#include <mutex>

#if defined(__clang__)
#define VELKARO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELKARO_THREAD_ANNOTATION(x)
#endif

#define VELKARO_CAPABILITY(name) VELKARO_THREAD_ANNOTATION(capability(name))
#define VELKARO_SCOPED_CAPABILITY VELKARO_THREAD_ANNOTATION(scoped_lockable)
#define VELKARO_GUARDED_BY(x) VELKARO_THREAD_ANNOTATION(guarded_by(x))
#define VELKARO_REQUIRES(...) VELKARO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VELKARO_EXCLUDES(...) VELKARO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VELKARO_ACQUIRE(...) VELKARO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VELKARO_RELEASE(...) VELKARO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace velkaro::platform {

class VELKARO_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() VELKARO_ACQUIRE() { mutex_.lock(); }
  void Unlock() VELKARO_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for the lifetime of the object.
class VELKARO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) VELKARO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() VELKARO_RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace velkaro::platform
