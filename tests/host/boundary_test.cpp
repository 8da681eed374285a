// Nothing crosses into the host. The add-on's code runs here against memory that runs out on
// demand (this program's operator new throws std::bad_alloc on the simulator's thread, or on
// every thread the add-on starts) and against records shorter than the definition: the
// simulator's thread always gets control back, the previous state stays, the add-on's threads
// end cleanly, and each failure is logged once however often it repeats.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/coding.h"
#include "host/addon.h"
#include "host/addon_state.h"
#include "log/log.h"
#include "simconnect/standin_api.h"
#include "simdata/record_layout.h"
#include "support/addon_harness.h"
#include "support/record_message.h"
#include "support/test_files.h"

namespace {

enum class FailOn { kNothing, kSimulatorThread, kAddOnThreads };
std::atomic<FailOn> g_fail_on{FailOn::kNothing};
// Allocations on the simulator's thread that still succeed before they start failing.
std::atomic<long> g_allocations_before_failing{0};
thread_local bool t_simulator_thread = false;

bool AllocationFails() {
  switch (g_fail_on.load(std::memory_order_relaxed)) {
    case FailOn::kNothing:
      return false;
    case FailOn::kSimulatorThread:
      return t_simulator_thread && g_allocations_before_failing.fetch_sub(1) <= 0;
    case FailOn::kAddOnThreads:
      return !t_simulator_thread;
  }
  return false;
}

}  // namespace

// The replacements allocate with malloc and free with free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (AllocationFails()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (AllocationFails()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace velkaro {
namespace {

using testing::ScratchFolder;

// Allocations fail while one lives.
class FailingAllocations {
 public:
  explicit FailingAllocations(FailOn where, long succeeding_first = 0) {
    g_allocations_before_failing.store(succeeding_first);
    g_fail_on.store(where);
  }
  ~FailingAllocations() { g_fail_on.store(FailOn::kNothing); }
};

// Runs `work` on a thread of its own; work that has not come back within seconds would have
// stopped the simulator for good, and cannot be taken back: the program ends with the failure.
void WithinSeconds(const char* what, const std::function<void()>& work) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread runner([&] {
    t_simulator_thread = true;
    work();
    done.set_value();
  });
  if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s did not return within 20 s\n", what);
    std::fflush(stderr);
    std::_Exit(1);
  }
  runner.join();
}

class BoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t_simulator_thread = true;
    saved_log_enabled_ = AddOnLog().Enabled;
    saved_log_path_ = AddOnLog().FilePath;
    // The log is switched on as a user does, by the settings file.
    addon_state::SetSettingsFolder(folder_.path());
    folder_.Write("Velkaro.ini", "[log]\nenabled = true\n");
    sim_.Reset();
    DLLStart();
    ASSERT_TRUE(AddOnLog().Enabled);
    ASSERT_EQ(AddOnLog().FilePath, folder_.path() + "Velkaro.log");
    std::memcpy(record_.record(), "Velkaro Trainer", 16);
  }
  void TearDown() override {
    g_fail_on.store(FailOn::kNothing);
    WithinSeconds("DLLStop", [] { DLLStop(); });
    addon_state::SetServerRunning(false);
    AddOnLog().Enabled = saved_log_enabled_;
    AddOnLog().FilePath = saved_log_path_;
    addon_state::SetSettingsFolder("");
  }

  // Records are converted without starting the server (its thread is not wanted here).
  void WithoutServer() { addon_state::SetServerRunning(true); }

  // An aircraft folder whose aircraft.cfg gives detent 1 the angle `detent1`; returns the path
  // of an aircraft file in it.
  std::string Aircraft(const std::string& name, int detent1) {
    return folder_.Write(name + "/aircraft.cfg",
                         "[flaps.0]\ntype=1\nflaps-position.1=" + std::to_string(detent1) +
                             ",200\nflaps-position.2=" + std::to_string(detent1 + 1) + "\n") +
           ".air";
  }
  void LoadAircraft(const std::string& path) {
    SIMCONNECT_RECV_EVENT_FILENAME event{};
    event.dwSize = sizeof event;
    event.dwID = SIMCONNECT_RECV_ID_EVENT_FILENAME;
    event.uEventID = kAircraftLoadedEvent;
    std::snprintf(event.szFileName, sizeof event.szFileName, "%s", path.c_str());
    DispatchCallback(&event, sizeof event, nullptr);
  }
  // A user-aircraft record (made beforehand: making it takes memory).
  void Record() { DispatchCallback(record_.message(), record_.size(), nullptr); }
  // The log lines that contain `text`.
  int LogLines(const std::string& text) const {
    const std::string log = testing::ReadWholeFile(AddOnLog().FilePath);
    int count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  const StandInApi& sim_ = *StandIn_GetApi();
  testing::RecordMessage record_;
  ScratchFolder folder_;
  bool saved_log_enabled_ = false;
  std::string saved_log_path_;
};

TEST_F(BoundaryTest, AFlapsReaderOutOfMemoryKeepsThePreviousTableAndTheFramesGoOn) {
  WithoutServer();
  LoadAircraft(Aircraft("first", 11));
  Record();
  const FlapsTable first = addon_state::AircraftFlaps();
  ASSERT_EQ(first[1], 11.0f);
  const std::string second = Aircraft("second", 22);

  // The reader fails at each of its allocations in turn, until it has enough to finish: the
  // table is then either the first aircraft's, whole, or the second's, never a mixture.
  bool read_second = false;
  for (long succeeding = 0; succeeding < 200 && !read_second; ++succeeding) {
    SCOPED_TRACE(::testing::Message() << succeeding << " allocations succeed");
    addon_state::AircraftFlaps() = first;
    LoadAircraft(second);
    const std::int32_t sequence = addon_state::Frames().Sequence();
    {
      FailingAllocations fail(FailOn::kSimulatorThread, succeeding);
      Record();
    }
    EXPECT_FALSE(addon_state::AircraftChanged()) << "the change was dealt with";
    EXPECT_EQ(addon_state::Frames().Sequence(), sequence + 1) << "the record was converted";
    read_second = addon_state::AircraftFlaps()[1] == 22.0f;
    if (!read_second) {
      ASSERT_EQ(addon_state::AircraftFlaps(), first);
    }
  }
  EXPECT_TRUE(read_second) << "the reader finishes once it has the memory";
  EXPECT_EQ(addon_state::AircraftFlaps()[2], 23.0f);
  EXPECT_EQ(LogLines("Flaps reader: exception caught (std::bad_alloc)"), 1);
}

TEST_F(BoundaryTest, AnAircraftPathThatCannotBeStoredLeavesThePreviousOne) {
  WithoutServer();
  addon_state::AircraftPath().clear();
  addon_state::AircraftPath().shrink_to_fit();  // storing a longer path then takes memory
  const std::string first = Aircraft("first", 11);
  LoadAircraft(first);
  Record();
  const std::string longer = Aircraft(std::string(100, 's'), 22);
  {
    FailingAllocations fail(FailOn::kSimulatorThread);
    for (int i = 0; i < 3; ++i) {
      LoadAircraft(longer);
      Record();
    }
  }
  EXPECT_EQ(addon_state::AircraftPath(), first);
  EXPECT_FALSE(addon_state::AircraftChanged());
  EXPECT_EQ(addon_state::AircraftFlaps()[1], 11.0f);
  EXPECT_EQ(LogLines("DispatchCallback: exception caught (std::bad_alloc)"), 1);
}

TEST_F(BoundaryTest, RecordsShorterThanTheDefinitionAreIgnoredAndLoggedOnce) {
  WithoutServer();
  const std::int32_t sequence = addon_state::Frames().Sequence();
  for (int i = 0; i < 5; ++i) {
    testing::RecordMessage message(kUserAircraftRequest, kRecordSize - 8);
    std::memcpy(message.record(), "Velkaro Trainer", 16);
    DispatchCallback(message.message(), message.size(), nullptr);
  }
  EXPECT_EQ(addon_state::Frames().Sequence(), sequence);
  EXPECT_EQ(LogLines("SimConnect record of 1680 bytes is shorter than the 1688 registered"), 1);
}

// The tests below run the socket server on the protocol's port.

TEST_F(BoundaryTest, AServerStartOutOfMemoryIsTriedAgainWithTheNextRecord) {
  {
    FailingAllocations fail(FailOn::kSimulatorThread);
    Record();
  }
  EXPECT_FALSE(addon_state::ServerRunning());
  Record();
  EXPECT_TRUE(addon_state::ServerRunning());
  auto client = testing::ConnectToAddOn();
  ASSERT_NE(client, nullptr);
  zelm::Frame frame;
  EXPECT_TRUE(client->FetchFrame(&frame)) << client->error();
}

TEST_F(BoundaryTest, ASessionOutOfMemoryEndsItsConnectionAndTheServerServesOn) {
  Record();  // starts the server
  // Replies are awaited long enough that a session left hanging shows: only a closed connection
  // ends the wait early.
  constexpr int kReplyWaitMs = 60000;
  auto client = testing::ConnectToAddOn(kReplyWaitMs);
  ASSERT_NE(client, nullptr);
  zelm::Frame frame;
  ASSERT_TRUE(client->FetchFrame(&frame)) << client->error();
  for (int i = 0; i < 3; ++i) {
    bool answered;
    const auto asked = std::chrono::steady_clock::now();
    {
      // The session's first step on an upload empties the store, which takes memory.
      FailingAllocations fail(FailOn::kAddOnThreads);
      const std::uint8_t data[] = {1, 2, 3};
      client->StoreFmc(data, 7);
      answered = client->FetchFrame(&frame);
    }
    EXPECT_FALSE(answered);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(30))
        << "the session closed its connection";
    client = testing::ConnectToAddOn(kReplyWaitMs);  // the server's next session
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->FetchFrame(&frame)) << client->error();
  }
  // The session meets the failed allocation itself (an upload without memory ends its session),
  // so nothing reaches its thread's boundary; were it to, the boundary would close the
  // connection the same way.
}

TEST_F(BoundaryTest, AServerOutOfMemoryRefusesOneClientAndServesOn) {
  Record();  // starts the server
  constexpr int kReplyWaitMs = 60000;
  auto first = testing::ConnectToAddOn(kReplyWaitMs);
  ASSERT_NE(first, nullptr);
  zelm::Frame frame;
  ASSERT_TRUE(first->FetchFrame(&frame)) << first->error();
  bool refused;
  const auto asked = std::chrono::steady_clock::now();
  {
    // The server cannot make the next client's session: it closes that connection.
    FailingAllocations fail(FailOn::kAddOnThreads);
    auto second = zelm::Connection::Open("127.0.0.1", 5193, nullptr, kReplyWaitMs);
    refused = second == nullptr || !second->FetchFrame(&frame);
  }
  EXPECT_TRUE(refused);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(30))
      << "the refused connection was closed, not left open";
  EXPECT_TRUE(first->FetchFrame(&frame)) << "the first client is served on";
  auto third = testing::ConnectToAddOn(kReplyWaitMs);
  ASSERT_NE(third, nullptr);
  EXPECT_TRUE(third->FetchFrame(&frame)) << "and the next one too";
  EXPECT_EQ(LogLines("Zelm Socket: server thread: exception caught (std::bad_alloc)"), 1);
}

TEST_F(BoundaryTest, TheEntryPointsReturnWhateverTheirCallsThrow) {
#if defined(_WIN32)
  GTEST_SKIP() << "the stand-in simulator's allocations are its own DLL's here";
#endif
  // Reading the settings allocates: out of memory there, the add-on starts all the same (with the
  // settings it had) and goes on to connect. The stand-in simulator's calls allocate too, and
  // their exceptions reach the entry points.
  DLLStop();
  int started;
  {
    FailingAllocations fail(FailOn::kSimulatorThread);
    started = DLLStart();
    DLLStop();
  }
  EXPECT_EQ(started, 0);
  EXPECT_EQ(LogLines("Settings: exception caught (std::bad_alloc)"), 1);
  EXPECT_EQ(LogLines("DLLStart: exception caught (std::bad_alloc)"), 1) << "it went on to connect";
  DLLStart();  // for TearDown
}

}  // namespace
}  // namespace velkaro
