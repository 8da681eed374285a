#include <process.h>
#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/thread.h"

namespace velkaro::platform {

namespace {
struct StartBlock {
  Thread::Entry entry;
  void* argument;
};

unsigned __stdcall Trampoline(void* raw) {
  StartBlock block = *static_cast<StartBlock*>(raw);
  delete static_cast<StartBlock*>(raw);
  block.entry(block.argument);
  return 0;
}
}  // namespace

Thread::~Thread() {
  Join();
}

bool Thread::Start(Entry entry, void* argument, std::size_t stack_bytes) {
  if (started_) return false;
  auto* block = new (std::nothrow) StartBlock{entry, argument};
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  // The size is a reservation of address space, which is what a 32-bit host runs short of.
  const std::uintptr_t handle =
      _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), Trampoline, block,
                     STACK_SIZE_PARAM_IS_A_RESERVATION, &id_);
  if (handle == 0) {
    const DWORD reason = GetLastError();  // CreateThread's, kept across the delete
    delete block;
    SetLastError(reason);
    return false;
  }
  handle_ = reinterpret_cast<void*>(handle);
  started_ = true;
  return true;
}

void Thread::Join() {
  JoinFor(-1);
}

bool Thread::JoinFor(int milliseconds) {
  if (!started_) return true;
  const DWORD limit = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
  if (WaitForSingleObject(static_cast<HANDLE>(handle_), limit) != WAIT_OBJECT_0) return false;
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  started_ = false;
  return true;
}

}  // namespace velkaro::platform

namespace velkaro::platform {

void YieldToOtherThreadsOnWake() {
  // Normal priority without the boost a woken thread gets: a lower priority would let any busy
  // program on the machine hold back replies that are due within a frame.
  SetThreadPriorityBoost(GetCurrentThread(), TRUE);
}

Semaphore::Semaphore() : handle_(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr)) {}
Semaphore::~Semaphore() {
  CloseHandle(static_cast<HANDLE>(handle_));
}
void Semaphore::Post() {
  ReleaseSemaphore(static_cast<HANDLE>(handle_), 1, nullptr);
}
void Semaphore::Wait() {
  WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
}

}  // namespace velkaro::platform
