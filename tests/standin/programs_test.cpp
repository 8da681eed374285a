// SimConnect programs outside the simulator's process: this test is one, linked against the
// stand-in SimConnect library as velkaro-bridge is, against velkaro-sim --no-addon started here
// on a port of its own. Records with the model's values, events that change the model, refused
// names, the quit message, a killed and restarted velkaro-sim, and Open with nothing listening;
// and the link's parsers against malformed bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include "common/coding.h"
#include "platform/socket.h"
#include "simconnect/program_link.h"
#include "simconnect/simconnect.h"
#include "support/child_program.h"
#include "support/test_files.h"

namespace velkaro::standin {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr SIMCONNECT_HRESULT kFailed = static_cast<SIMCONNECT_HRESULT>(0x80004005u);
constexpr SIMCONNECT_DWORD kDefinition = 1;
constexpr SIMCONNECT_DWORD kRequest = 7;
constexpr SIMCONNECT_DWORD kStateRequest = 8;
constexpr SIMCONNECT_DWORD kFrameEvent = 1;
constexpr SIMCONNECT_DWORD kApMasterEvent = 10;
constexpr SIMCONNECT_DWORD kHeadingBugEvent = 11;
constexpr SIMCONNECT_DWORD kRefusedEvent = 12;

// A loopback port nobody listens on now.
std::uint16_t FreePort() {
  const platform::SocketHandle s = platform::OpenTcpSocket();
  platform::BindIpv4(s, platform::Ipv4FromText("127.0.0.1"), 0);
  const int port = platform::LocalPort(s);
  platform::CloseSocket(s);
  return static_cast<std::uint16_t>(port);
}

void SetSimAddress(std::uint16_t port) {
  const std::string address = "127.0.0.1:" + std::to_string(port);
#if defined(_WIN32)
  _putenv_s(link::kSimAddressVariable, address.c_str());
#else
  setenv(link::kSimAddressVariable, address.c_str(), 1);
#endif
}

// The event handle a program gives SimConnect_Open: an auto-reset event on Windows, an eventfd
// elsewhere.
class EventHandle {
 public:
#if defined(_WIN32)
  EventHandle() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~EventHandle() {
    CloseHandle(event_);
  }
  void* handle() const {
    return event_;
  }
  bool Wait(milliseconds limit) {
    return WaitForSingleObject(event_, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  }

 private:
  HANDLE event_;
#else
  EventHandle() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~EventHandle() {
    close(fd_);
  }
  void* handle() const {
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd_));
  }
  bool Wait(milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
    std::uint64_t count = 0;
    return read(fd_, &count, sizeof count) == sizeof count && count > 0;
  }

 private:
  int fd_;
#endif
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
};

// One SimConnect connection of this program's, with every message dispatched to it kept.
struct Program {
  SIMCONNECT_HANDLE handle = nullptr;
  EventHandle event;
  std::vector<std::vector<std::uint8_t>> received;
  SIMCONNECT_HRESULT last_dispatch = 0;
  bool request_on_frame = false;

  ~Program() {
    if (handle != nullptr) SimConnect_Close(handle);
  }

  static void SIMCONNECT_CALL Collect(SIMCONNECT_RECV* message, SIMCONNECT_DWORD size,
                                      void* context) {
    auto* self = static_cast<Program*>(context);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message);
    self->received.emplace_back(bytes, bytes + size);
    if (self->request_on_frame && message->dwID == SIMCONNECT_RECV_ID_EVENT_FRAME) {
      SimConnect_RequestDataOnSimObjectType(self->handle, kRequest, kDefinition, 0,
                                            SIMCONNECT_SIMOBJECT_TYPE_USER);
    }
  }

  void Dispatch() { last_dispatch = SimConnect_CallDispatch(handle, Collect, this); }

  // Dispatches, waking on the event handle, until `done` holds or `limit` runs out.
  bool DispatchUntil(const std::function<bool()>& done, milliseconds limit = milliseconds(10000)) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      Dispatch();
      if (done()) return true;
      if (Clock::now() >= deadline) return false;
      event.Wait(milliseconds(200));
    }
  }

  // The newest message of kind `id` received, with at least `size` bytes; empty when none.
  std::vector<std::uint8_t> Newest(SIMCONNECT_RECV_ID id) const {
    for (auto it = received.rbegin(); it != received.rend(); ++it) {
      if (DecodeU32(it->data() + 8) == id) return *it;
    }
    return {};
  }
  std::size_t Count(SIMCONNECT_RECV_ID id) const {
    std::size_t n = 0;
    for (const auto& m : received) n += DecodeU32(m.data() + 8) == id ? 1 : 0;
    return n;
  }
};

// velkaro-sim --no-addon on its own port, with `extra` options.
class SimProcess {
 public:
  SimProcess(std::uint16_t port, const std::vector<std::string>& extra, const std::string& log)
      : log_(log) {
    std::vector<std::string> arguments = {"--no-addon", "--rate", "60", "--listen",
                                          "127.0.0.1:" + std::to_string(port)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    child_ = std::make_unique<testing::ChildProgram>("velkaro-sim", arguments, log);
  }
  testing::ChildProgram& child() { return *child_; }
  void Kill() { child_.reset(); }
  std::string Log() const { return testing::ReadWholeFile(log_); }

 private:
  std::string log_;
  std::unique_ptr<testing::ChildProgram> child_;
};

// Opens `program` against velkaro-sim, retrying while it starts up.
void OpenWhenListening(Program* program, const SimProcess& sim) {
  const auto deadline = Clock::now() + seconds(30);
  while (SimConnect_Open(&program->handle, "programs_test", nullptr, 0, program->event.handle(),
                         0) != 0) {
    ASSERT_LT(Clock::now(), deadline) << "velkaro-sim never listened:\n" << sim.Log();
    std::this_thread::sleep_for(milliseconds(100));
  }
}

struct Values {
  double heading_bug = 0;
  std::int32_t ap_master = -1;
  double altitude_lock = 0;
  std::uint32_t count = 0;
};

Values ReadRecord(const std::vector<std::uint8_t>& message, bool with_altitude_lock) {
  Values v;
  v.count = DecodeU32(message.data() + 36);
  const std::uint8_t* record = message.data() + 40;
  v.heading_bug = DecodeF64(record);
  v.ap_master = DecodeI32(record + 8);
  if (with_altitude_lock) v.altitude_lock = DecodeF64(record + 12);
  return v;
}

class ProgramsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SocketsStartup();
    port_ = FreePort();
    SetSimAddress(port_);
  }
  void TearDown() override { platform::SocketsCleanup(); }

  std::unique_ptr<SimProcess> StartSim(const std::vector<std::string>& extra = {}) {
    return std::make_unique<SimProcess>(port_, extra,
                                        files_.path() + "sim" + std::to_string(++starts_) + ".log");
  }

  // The definition every test registers: HEADING BUG (FLOAT64), AP MASTER (INT32), and ALTITUDE
  // LOCK (FLOAT64) when `third` is true; in between, `middle` when given (a refused name).
  void Register(Program* p, const char* middle, bool third) {
    ASSERT_EQ(SimConnect_AddToDataDefinition(p->handle, kDefinition, "AUTOPILOT HEADING LOCK DIR",
                                             "Degrees", SIMCONNECT_DATATYPE_FLOAT64, 0, 0),
              0);
    ASSERT_EQ(SimConnect_AddToDataDefinition(p->handle, kDefinition, "AUTOPILOT MASTER", "Bool",
                                             SIMCONNECT_DATATYPE_INT32, 0, 1),
              0);
    if (middle != nullptr) {
      ASSERT_EQ(SimConnect_AddToDataDefinition(p->handle, kDefinition, middle, "Feet",
                                               SIMCONNECT_DATATYPE_FLOAT64, 0, 2),
                0);
      ASSERT_EQ(SimConnect_GetLastSentPacketID(p->handle, &refused_send_id_), 0);
    }
    if (third) {
      ASSERT_EQ(
          SimConnect_AddToDataDefinition(p->handle, kDefinition, "AUTOPILOT ALTITUDE LOCK VAR",
                                         "Feet", SIMCONNECT_DATATYPE_FLOAT64, 0, 3),
          0);
    }
    ASSERT_EQ(SimConnect_MapClientEventToSimEvent(p->handle, kApMasterEvent, "AP_MASTER"), 0);
    ASSERT_EQ(SimConnect_MapClientEventToSimEvent(p->handle, kHeadingBugEvent, "HEADING_BUG_SET"),
              0);
    p->request_on_frame = true;
    ASSERT_EQ(SimConnect_SubscribeToSystemEvent(p->handle, kFrameEvent, "Frame"), 0);
  }

  testing::ScratchFolder files_;
  std::uint16_t port_ = 0;
  int starts_ = 0;
  SIMCONNECT_DWORD refused_send_id_ = 0;
};

TEST_F(ProgramsTest, RecordsCarryTheModelAndEventsChangeIt) {
  auto sim = StartSim();
  Program p;
  OpenWhenListening(&p, *sim);
  // The event was signalled for the open message, which comes first.
  ASSERT_TRUE(p.event.Wait(milliseconds(5000)));
  p.Dispatch();
  ASSERT_FALSE(p.received.empty());
  EXPECT_EQ(DecodeU32(p.received[0].data() + 8), SIMCONNECT_RECV_ID_OPEN);
  EXPECT_EQ(DecodeU32(p.received[0].data()), sizeof(SIMCONNECT_RECV_OPEN));

  Register(&p, nullptr, true);
  ASSERT_EQ(SimConnect_RequestSystemState(p.handle, kStateRequest, "AircraftLoaded"), 0);
  ASSERT_TRUE(p.DispatchUntil([&] {
    return p.Count(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE) >= 3 &&
           p.Count(SIMCONNECT_RECV_ID_SYSTEM_STATE) == 1;
  })) << sim->Log();
  const std::vector<std::uint8_t> record = p.Newest(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE);
  ASSERT_EQ(record.size(), 40u + 8 + 4 + 8);
  EXPECT_EQ(DecodeU32(record.data()), record.size());
  EXPECT_EQ(DecodeU32(record.data() + 12), kRequest);
  const Values start = ReadRecord(record, true);
  EXPECT_EQ(start.count, 3u);
  EXPECT_DOUBLE_EQ(start.heading_bug, 90.0);
  EXPECT_EQ(start.ap_master, 0);
  EXPECT_DOUBLE_EQ(start.altitude_lock, 8000.0);
  const std::vector<std::uint8_t> state = p.Newest(SIMCONNECT_RECV_ID_SYSTEM_STATE);
  EXPECT_EQ(DecodeU32(state.data() + 12), kStateRequest);
  EXPECT_NE(std::string(reinterpret_cast<const char*>(state.data() + 24)).find("velkaro_trainer"),
            std::string::npos);

  ASSERT_EQ(SimConnect_TransmitClientEvent(p.handle, SIMCONNECT_OBJECT_ID_USER, kApMasterEvent, 0,
                                           SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                           SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY),
            0);
  ASSERT_EQ(SimConnect_TransmitClientEvent(p.handle, SIMCONNECT_OBJECT_ID_USER, kHeadingBugEvent,
                                           270, SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                           SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY),
            0);
  p.received.clear();
  ASSERT_TRUE(p.DispatchUntil([&] {
    const auto newest = p.Newest(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE);
    return !newest.empty() && ReadRecord(newest, true).ap_master == 1;
  })) << sim->Log();
  const Values changed = ReadRecord(p.Newest(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE), true);
  EXPECT_DOUBLE_EQ(changed.heading_bug, 270.0);
  EXPECT_EQ(p.Count(SIMCONNECT_RECV_ID_EXCEPTION), 0u);
  EXPECT_EQ(p.last_dispatch, 0);
}

TEST_F(ProgramsTest, ARefusedNameIsAnExceptionForItsCallAndTheRestFlows) {
  auto sim = StartSim({"--refuse", "PLANE ALTITUDE", "--refuse", "AP_NO_SUCH_EVENT"});
  Program p;
  OpenWhenListening(&p, *sim);
  Register(&p, "PLANE ALTITUDE", true);
  ASSERT_EQ(SimConnect_MapClientEventToSimEvent(p.handle, kRefusedEvent, "ap_no_such_event"), 0);
  SIMCONNECT_DWORD event_send_id = 0;
  ASSERT_EQ(SimConnect_GetLastSentPacketID(p.handle, &event_send_id), 0);
  EXPECT_GT(event_send_id, refused_send_id_);
  ASSERT_EQ(SimConnect_TransmitClientEvent(p.handle, SIMCONNECT_OBJECT_ID_USER, kApMasterEvent, 0,
                                           SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                           SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY),
            0);

  ASSERT_TRUE(p.DispatchUntil([&] {
    const auto newest = p.Newest(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE);
    return p.Count(SIMCONNECT_RECV_ID_EXCEPTION) >= 2 && !newest.empty() &&
           ReadRecord(newest, true).ap_master == 1;
  })) << sim->Log();
  std::vector<std::vector<std::uint32_t>> exceptions;  // exception, send id, index
  for (const auto& m : p.received) {
    if (DecodeU32(m.data() + 8) != SIMCONNECT_RECV_ID_EXCEPTION) continue;
    ASSERT_EQ(m.size(), sizeof(SIMCONNECT_RECV_EXCEPTION));
    exceptions.push_back(
        {DecodeU32(m.data() + 12), DecodeU32(m.data() + 16), DecodeU32(m.data() + 20)});
  }
  const std::vector<std::vector<std::uint32_t>> expected = {
      {SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, refused_send_id_, 2},
      {SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, event_send_id, 2}};
  EXPECT_EQ(exceptions, expected);
  // The refused datum is left out of the definition: the record holds the three others.
  const std::vector<std::uint8_t> record = p.Newest(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE);
  ASSERT_EQ(record.size(), 40u + 8 + 4 + 8);
  const Values v = ReadRecord(record, true);
  EXPECT_EQ(v.count, 3u);
  EXPECT_DOUBLE_EQ(v.heading_bug, 90.0);
  EXPECT_DOUBLE_EQ(v.altitude_lock, 8000.0);
}

TEST_F(ProgramsTest, StoppingSendsQuitThenTheConnectionEnds) {
  auto sim = StartSim();
  Program p;
  OpenWhenListening(&p, *sim);
  Register(&p, nullptr, false);
  ASSERT_TRUE(
      p.DispatchUntil([&] { return p.Count(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE) > 0; }));
  ASSERT_TRUE(sim->child().Interrupt());
  ASSERT_TRUE(p.DispatchUntil([&] { return p.last_dispatch == kFailed; })) << sim->Log();
  ASSERT_FALSE(p.received.empty());
  EXPECT_EQ(DecodeU32(p.received.back().data() + 8), SIMCONNECT_RECV_ID_QUIT);
  EXPECT_EQ(p.Count(SIMCONNECT_RECV_ID_QUIT), 1u);
  EXPECT_EQ(sim->child().Wait(seconds(20)), 0) << sim->Log();
  EXPECT_EQ(SimConnect_Close(p.handle), 0);
  p.handle = nullptr;
}

TEST_F(ProgramsTest, AKilledSimulatorFailsTheDispatchAndARestartedOneServesAgain) {
  auto sim = StartSim();
  Program p;
  OpenWhenListening(&p, *sim);
  Register(&p, nullptr, false);
  ASSERT_TRUE(
      p.DispatchUntil([&] { return p.Count(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE) > 0; }));
  sim->Kill();
  ASSERT_TRUE(p.DispatchUntil([&] { return p.last_dispatch == kFailed; }));
  EXPECT_EQ(p.Count(SIMCONNECT_RECV_ID_QUIT), 0u);
  EXPECT_EQ(SimConnect_RequestDataOnSimObjectType(p.handle, kRequest, kDefinition, 0,
                                                  SIMCONNECT_SIMOBJECT_TYPE_USER),
            kFailed);
  EXPECT_EQ(SimConnect_Close(p.handle), 0);
  p.handle = nullptr;

  auto restarted = StartSim();
  Program again;
  OpenWhenListening(&again, *restarted);
  Register(&again, nullptr, false);
  ASSERT_TRUE(again.DispatchUntil([&] {
    return again.Count(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE) > 0;
  })) << restarted->Log();
}

TEST_F(ProgramsTest, OpenFailsPromptlyWhenNothingListens) {
  SIMCONNECT_HANDLE handle = reinterpret_cast<SIMCONNECT_HANDLE>(1);
  const auto started = Clock::now();
  EXPECT_NE(SimConnect_Open(&handle, "programs_test", nullptr, 0, nullptr, 0), 0);
  EXPECT_LT(Clock::now() - started, milliseconds(1500));
  EXPECT_EQ(handle, nullptr);
}

// Bytes no program sends, each on a connection of its own: velkaro-sim closes that connection
// and goes on serving the others.
TEST_F(ProgramsTest, MalformedMessagesCloseOnlyTheirConnection) {
  auto sim = StartSim();
  Program p;
  OpenWhenListening(&p, *sim);

  const auto hello = link::EncodeCall({link::LinkKind::kHello, 1, {link::kLinkVersion}, {"raw"}});
  auto with = [](std::vector<std::uint8_t> bytes, std::size_t at, std::uint32_t word) {
    EncodeU32(bytes.data() + at, word);
    return bytes;
  };
  struct Row {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  const Row rows[] = {
      {"size below the header", with(hello, 0, 4)},
      {"size above the bound", with(hello, 0, 1u << 30)},
      {"unknown kind", with(hello, 4, 99)},
      {"a call before the hello",
       link::EncodeCall({link::LinkKind::kTransmitClientEvent, 1, {0, 1, 2, 3, 4}, {}})},
      {"another link version", with(hello, 16, 99)},
      {"a text longer than it says", with(hello, 24, 1000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    const platform::SocketHandle s = platform::ConnectTcp("127.0.0.1", port_, &error, 5000);
    ASSERT_NE(s, platform::kInvalidSocket) << error;
    ASSERT_TRUE(link::SendAll(s, row.bytes));
    platform::SetReceiveTimeout(s, 10000);
    std::uint8_t byte;
    EXPECT_EQ(platform::Receive(s, &byte, 1), 0) << "the connection was not closed";
    platform::CloseSocket(s);
  }
  Register(&p, nullptr, false);
  ASSERT_TRUE(p.DispatchUntil([&] {
    return p.Count(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE) > 0;
  })) << sim->Log();
}

// The program's side of the parsing, and the bound on what waits.
TEST(ProgramLinkTest, MessagesFromTheSimulatorAreCheckedWhole) {
  std::vector<std::uint8_t> quit(12);
  EncodeU32(quit.data(), 12);
  EncodeU32(quit.data() + 8, SIMCONNECT_RECV_ID_QUIT);
  const std::vector<std::uint8_t> good = link::EncodeSimConnectMessage(quit);
  ASSERT_EQ(good.size(), 24u);
  EXPECT_EQ(link::DecodeSimConnectMessage(good), quit);
  auto with = [&good](std::size_t at, std::uint32_t word) {
    std::vector<std::uint8_t> bytes = good;
    EncodeU32(bytes.data() + at, word);
    return bytes;
  };
  EXPECT_FALSE(link::DecodeSimConnectMessage(with(0, 25)));   // size disagrees
  EXPECT_FALSE(link::DecodeSimConnectMessage(with(4, 1)));    // a call's kind
  EXPECT_FALSE(link::DecodeSimConnectMessage(with(12, 16)));  // dwSize past the end
  EXPECT_FALSE(link::DecodeSimConnectMessage(with(12, 8)));   // dwSize short of it
  EXPECT_FALSE(
      link::DecodeSimConnectMessage(std::vector<std::uint8_t>(good.begin(), good.end() - 4)));
}

TEST(ProgramLinkTest, AFullQueueDropsTheOldestRecordsNeverTheQuit) {
  auto message = [](SIMCONNECT_RECV_ID id, std::uint32_t tag) {
    std::vector<std::uint8_t> bytes(16);
    EncodeU32(bytes.data(), 16);
    EncodeU32(bytes.data() + 8, id);
    EncodeU32(bytes.data() + 12, tag);
    return bytes;
  };
  link::QueueOfMessages queue;
  queue.Push(message(SIMCONNECT_RECV_ID_OPEN, 0));
  for (std::uint32_t i = 1; i < link::kMaxQueuedMessages; ++i) {
    queue.Push(message(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE, i));
  }
  queue.Push(message(SIMCONNECT_RECV_ID_QUIT, 0));
  queue.Push(message(SIMCONNECT_RECV_ID_EVENT_FRAME, 0));
  EXPECT_EQ(queue.Size(), link::kMaxQueuedMessages);
  EXPECT_EQ(queue.Dropped(), 2u);
  const auto all = queue.TakeAll();
  EXPECT_EQ(DecodeU32(all[0].data() + 8), SIMCONNECT_RECV_ID_OPEN);
  EXPECT_EQ(DecodeU32(all[1].data() + 12), 3u) << "records 1 and 2 made way";
  EXPECT_EQ(DecodeU32(all[all.size() - 2].data() + 8), SIMCONNECT_RECV_ID_QUIT);
}

}  // namespace
}  // namespace velkaro::standin
