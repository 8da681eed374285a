// The simulator thread's per-record path allocates nothing: dispatching a user-aircraft record
// (title check, conversion, publication with sessions waiting, autopilot application) is run
// under an allocator that counts what this thread allocates.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "common/mcp_block.h"
#include "host/addon.h"
#include "host/addon_state.h"
#include "simdata/record_layout.h"
#include "support/record_message.h"
#include "support/waiting_sessions.h"

namespace {
thread_local bool g_counting = false;
thread_local long g_allocations = 0;
}  // namespace

// The replacement pair allocates with malloc and frees with free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace velkaro {
namespace {

TEST(PerRecordPathTest, DispatchingARecordAllocatesNothing) {
  // The add-on as DLLStart leaves it, its server marked running (without its thread: no socket
  // is needed here) and sessions waiting for the next frame, so that publication has someone to
  // wake.
  const testing::WaitingSessions sessions(4);

  testing::RecordMessage message;
  std::uint8_t* record = message.record();
  std::memcpy(record, "Velkaro Trainer", 16);

  g_counting = true;
  for (int i = 0; i < 1000; ++i) {
    EncodeF64(record + RecordDatum("PLANE LATITUDE").offset, 47.0 + i * 1e-4);
    DispatchCallback(message.message(), message.size(), nullptr);
  }
  g_counting = false;
  EXPECT_EQ(g_allocations, 0);
  EXPECT_EQ(addon_state::Frames().Sequence(), 1000);
}

}  // namespace
}  // namespace velkaro
