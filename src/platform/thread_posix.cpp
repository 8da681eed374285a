#include <pthread.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include "platform/thread.h"

namespace velkaro::platform {

namespace {
struct StartBlock {
  Thread::Entry entry;
  void* argument;
};

void* Trampoline(void* raw) {
  StartBlock block = *static_cast<StartBlock*>(raw);
  delete static_cast<StartBlock*>(raw);
  block.entry(block.argument);
  return nullptr;
}
}  // namespace

Thread::~Thread() {
  Join();
}

bool Thread::Start(Entry entry, void* argument, std::size_t stack_bytes) {
  if (started_) return false;
  pthread_attr_t attributes;
  if (const int rc = pthread_attr_init(&attributes); rc != 0) {
    errno = rc;
    return false;
  }
  if (stack_bytes != 0) {
    const auto minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attributes, stack_bytes < minimum ? minimum : stack_bytes);
  }
  auto* block = new (std::nothrow) StartBlock{entry, argument};
  if (block == nullptr) {
    pthread_attr_destroy(&attributes);
    errno = ENOMEM;
    return false;
  }
  pthread_t handle;
  const int rc = pthread_create(&handle, &attributes, Trampoline, block);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    delete block;
    errno = rc;  // pthread_create reports its reason as its result
    return false;
  }
  handle_ = static_cast<unsigned long>(handle);
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

bool Thread::JoinFor(int milliseconds) {
  if (!started_) return true;
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  if (pthread_timedjoin_np(static_cast<pthread_t>(handle_), nullptr, &deadline) != 0) return false;
  started_ = false;
  return true;
}

}  // namespace velkaro::platform

#include <sched.h>
#include <semaphore.h>

#include <cerrno>

namespace velkaro::platform {

static_assert(sizeof(sem_t) <= 64);

void YieldToOtherThreadsOnWake() {
  sched_param parameter{};
  parameter.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameter);
}

Semaphore::Semaphore() {
  sem_init(reinterpret_cast<sem_t*>(storage_), 0, 0);
}
Semaphore::~Semaphore() {
  sem_destroy(reinterpret_cast<sem_t*>(storage_));
}
void Semaphore::Post() {
  sem_post(reinterpret_cast<sem_t*>(storage_));
}
void Semaphore::Wait() {
  while (sem_wait(reinterpret_cast<sem_t*>(storage_)) != 0 && errno == EINTR) {
  }
}

}  // namespace velkaro::platform
