// The add-on's lifecycle inside the stand-in simulator: what DLLStart sets up, how each SimConnect
// message is dispatched, when the server starts and records are converted, and what DLLStop
// undoes. The add-on is the built library, loaded as the simulator loads it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "simconnect/simconnect.h"
#include "simdata/record_layout.h"
#include "support/addon_harness.h"
#include "support/record_message.h"
#include "support/test_files.h"

namespace velkaro::testing {
namespace {

using LifecycleTest = AddOnTest;

std::vector<std::uint8_t> CurrentRecord(const StandInApi& sim) {
  std::vector<std::uint8_t> record(kRecordSize);
  EXPECT_EQ(sim.BuildRecord(0, record.data(), static_cast<std::uint32_t>(record.size())),
            kRecordSize);
  return record;
}

void DeliverRecord(const StandInApi& sim, const std::vector<std::uint8_t>& record,
                   std::uint32_t request_id = 1) {
  RecordMessage message(request_id);
  message.SetRecord(record);
  sim.Deliver(message.message(), message.size());
  sim.Pump();
}

void DeliverEvent(const StandInApi& sim, SIMCONNECT_DWORD message_id, SIMCONNECT_DWORD event_id) {
  SIMCONNECT_RECV_EVENT_FRAME event{};  // large enough for both event messages
  event.dwID = message_id;
  event.uEventID = event_id;
  event.dwSize = message_id == SIMCONNECT_RECV_ID_EVENT_FRAME ? sizeof(SIMCONNECT_RECV_EVENT_FRAME)
                                                              : sizeof(SIMCONNECT_RECV_EVENT);
  sim.Deliver(&event, event.dwSize);
  sim.Pump();
}

zelm::Frame Fetch(zelm::Connection& connection) {
  zelm::Frame frame;
  EXPECT_TRUE(connection.FetchFrame(&frame)) << connection.error();
  return frame;
}

// Writes the latitude into a record, to tell whether it was converted.
void SetLatitude(std::vector<std::uint8_t>& record, double degrees) {
  EncodeF64(record.data() + RecordDatum("PLANE LATITUDE").offset, degrees);
}

TEST_F(LifecycleTest, StartOpensRegistersSubscribesDispatchesAndMapsInThatOrder) {
  const std::vector<StandInCall> calls = addon.Calls();
  ASSERT_GE(calls.size(), 1u + 182 + 3 + 1 + 17);
  std::size_t i = 0;
  EXPECT_STREQ(calls[i].function, "SimConnect_Open");
  EXPECT_STREQ(calls[i].text, "Velkaro");
  // user event 0, configuration 0, no window, no event handle
  EXPECT_EQ(std::vector<std::uint32_t>(calls[i].args, calls[i].args + 4),
            (std::vector<std::uint32_t>{0, 0, 0, 0}));
  ++i;
  for (int n = 0; n < 182; ++n, ++i) {
    EXPECT_STREQ(calls[i].function, "SimConnect_AddToDataDefinition") << "call " << i;
  }
  const char* kEvents[] = {"Frame", "AircraftLoaded", "SimStart"};
  for (std::uint32_t id = 0; id < 3; ++id, ++i) {
    EXPECT_STREQ(calls[i].function, "SimConnect_SubscribeToSystemEvent");
    EXPECT_EQ(calls[i].args[0], id);
    EXPECT_STREQ(calls[i].text, kEvents[id]);
  }
  EXPECT_STREQ(calls[i].function, "SimConnect_CallDispatch");
  EXPECT_EQ(calls[i].args[0], 1u) << "a dispatch procedure";
  EXPECT_EQ(calls[i].args[1], 0u) << "no context";
  ++i;
  for (std::uint32_t id = 3; id <= 19; ++id, ++i) {
    EXPECT_STREQ(calls[i].function, "SimConnect_MapClientEventToSimEvent");
    EXPECT_EQ(calls[i].args[0], id);
  }
  // "SimStart" then asked for the loaded aircraft.
  EXPECT_STREQ(calls[i].function, "SimConnect_RequestSystemState");
  EXPECT_EQ(calls[i].args[0], 2u);
  EXPECT_STREQ(calls[i].text, "AircraftLoaded");
}

TEST_F(LifecycleTest, FirstRecordStartsTheServerAndOnlyLaterRecordsAreConverted) {
  EXPECT_EQ(zelm::Connection::Open("127.0.0.1", 5193, nullptr, 1000), nullptr)
      << "nothing listens before the first record";

  addon.Frames(1);
  auto client = ConnectToAddOn();
  ASSERT_NE(client, nullptr);
  zelm::Frame frame = Fetch(*client);
  EXPECT_EQ(frame.Text("magic"), "ZELM30");
  EXPECT_EQ(frame.Text("simulatorName"), "") << "the start-up frame";
  EXPECT_EQ(frame.Number("fixed40"), 1013.0);

  addon.Frames(1);
  frame = Fetch(*client);
  EXPECT_EQ(frame.Text("simulatorName"), "FSX");
  EXPECT_EQ(frame.Number("fixed40"), 1013.2);
}

TEST_F(LifecycleTest, FrameEventsRequestTheUserAircraftWhateverMessageCarriesThem) {
  struct Case {
    SIMCONNECT_DWORD message_id;
    SIMCONNECT_DWORD event_id;
    bool requests;
  };
  const Case kCases[] = {
      {SIMCONNECT_RECV_ID_EVENT, 0, true},        // "Frame" as a plain event
      {SIMCONNECT_RECV_ID_EVENT_FRAME, 0, true},  // "Frame" as a frame event
      {SIMCONNECT_RECV_ID_EVENT, 1, false},       // "AircraftLoaded" comes only with a file name
      {SIMCONNECT_RECV_ID_EVENT_FRAME, 5, false}, {SIMCONNECT_RECV_ID_QUIT, 0, false},
  };
  for (const Case& c : kCases) {
    addon.sim().ClearCalls();
    DeliverEvent(addon.sim(), c.message_id, c.event_id);
    const std::vector<StandInCall> requests = addon.Calls("SimConnect_RequestDataOnSimObjectType");
    SCOPED_TRACE(::testing::Message() << "message " << c.message_id << " event " << c.event_id);
    ASSERT_EQ(requests.size(), c.requests ? 1u : 0u);
    if (c.requests) {
      // request 1, definition 0, radius 0, the user aircraft
      EXPECT_EQ(std::vector<std::uint32_t>(requests[0].args, requests[0].args + 4),
                (std::vector<std::uint32_t>{1, 0, 0, SIMCONNECT_SIMOBJECT_TYPE_USER}));
    }
    EXPECT_TRUE(addon.Calls("SimConnect_RequestSystemState").empty());
  }
}

TEST_F(LifecycleTest, TitleMustEndWithinItsFieldForTheRecordToBeConverted) {
  addon.Frames(2);
  auto client = ConnectToAddOn();
  ASSERT_NE(client, nullptr);

  std::vector<std::uint8_t> record = CurrentRecord(addon.sim());
  std::memset(record.data(), 'T', 255);
  record[255] = 0;
  SetLatitude(record, 12.5);
  DeliverRecord(addon.sim(), record);
  EXPECT_EQ(Fetch(*client).Number("latitude"), 12.5) << "255 characters and a NUL";

  std::memset(record.data(), 'T', 256);
  SetLatitude(record, 33.25);
  DeliverRecord(addon.sim(), record);
  EXPECT_EQ(Fetch(*client).Number("latitude"), 12.5) << "256 bytes without a NUL: ignored";

  DeliverRecord(addon.sim(), CurrentRecord(addon.sim()), /*request_id=*/2);
  EXPECT_EQ(Fetch(*client).Number("latitude"), 12.5) << "another request id: ignored";
}

TEST_F(LifecycleTest, ARecordShorterThanTheDefinitionIsIgnored) {
  addon.Frames(2);
  auto client = ConnectToAddOn();
  ASSERT_NE(client, nullptr);
  std::vector<std::uint8_t> record = CurrentRecord(addon.sim());
  SetLatitude(record, 12.5);
  DeliverRecord(addon.sim(), record);
  ASSERT_EQ(Fetch(*client).Number("latitude"), 12.5);

  // A simulator that refused a variable sends every record short of it. The message's length
  // is both what the dispatch is passed and what the message states (dwSize); neither may be
  // overrun.
  struct Case {
    const char* name;
    std::size_t passed;  // record bytes in the message
    std::size_t stated;  // record bytes dwSize claims
  };
  const Case kCases[] = {
      {"no record at all", 0, 0},
      {"the title alone", 256, 256},
      {"one datum short", kRecordSize - 8, kRecordSize - 8},
      {"one byte short", kRecordSize - 1, kRecordSize - 1},
      {"a whole record stated, less passed", kRecordSize - 8, kRecordSize},
      {"a whole record passed, less stated", kRecordSize, kRecordSize - 8},
  };
  SetLatitude(record, 33.25);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    RecordMessage message(1, c.passed);
    message.SetRecord(record);
    message.SetStatedSize(static_cast<SIMCONNECT_DWORD>(RecordMessage::kHeaderSize + c.stated));
    addon.sim().Deliver(message.message(), message.size());
    addon.sim().Pump();
    EXPECT_EQ(Fetch(*client).Number("latitude"), 12.5) << "not converted";
  }
  DeliverRecord(addon.sim(), record);
  EXPECT_EQ(Fetch(*client).Number("latitude"), 33.25) << "a whole record is converted";
}

// Aircraft changes are noticed through the detent angles the frames carry afterwards.
class AircraftChangeTest : public LifecycleTest {
 protected:
  std::string Aircraft(const std::string& name, int detent2) {
    return folder.Write(
               name + "/aircraft.cfg",
               "[flaps.0]\ntype=1\nflaps-position.2=" + std::to_string(detent2) + ",200\n") +
           ".air";  // a file beside aircraft.cfg
  }
  double DetentAngle() {
    auto client = ConnectToAddOn();
    return client ? Fetch(*client).Number("flapDetentAngle").value_or(-1) : -1;
  }
  ScratchFolder folder;
};

TEST_F(AircraftChangeTest, TheLoadedAircraftStateAndTheFileNameEventBothChangeTheAircraft) {
  addon.sim().SetVariable("FLAPS HANDLE INDEX", 2);
  addon.Frames(2);
  EXPECT_EQ(DetentAngle(), 5.0) << "the sample aircraft, from the reply to \"SimStart\"";

  addon.sim().LoadAircraft(Aircraft("first", 11).c_str());
  addon.Frames(1);
  EXPECT_EQ(DetentAngle(), 11.0);

  // Two changes before the next record: the later one counts.
  addon.sim().LoadAircraft(Aircraft("second", 22).c_str());
  addon.sim().LoadAircraft(Aircraft("third", 33).c_str());
  addon.Frames(1);
  EXPECT_EQ(DetentAngle(), 33.0);
}

TEST_F(AircraftChangeTest, AChangeWaitsForARecordThatIsConverted) {
  addon.sim().SetVariable("FLAPS HANDLE INDEX", 2);
  addon.Frames(2);
  addon.sim().LoadAircraft(Aircraft("next", 17).c_str());
  std::vector<std::uint8_t> record = CurrentRecord(addon.sim());
  std::memset(record.data(), 'T', 256);  // ignored record: the reader does not run for it
  DeliverRecord(addon.sim(), record);
  EXPECT_EQ(DetentAngle(), 5.0);
  addon.Frames(1);
  EXPECT_EQ(DetentAngle(), 17.0);
}

// A file name that fills the message's 260-byte field without an end has been cut: what is left
// may name an ancestor folder, whose aircraft.cfg belongs to another aircraft.
TEST_F(AircraftChangeTest, ACutFileNameChangesNoDetents) {
  addon.sim().SetVariable("FLAPS HANDLE INDEX", 2);
  addon.Frames(2);
  ASSERT_EQ(DetentAngle(), 5.0);

  folder.Write("parent/aircraft.cfg", "[flaps.0]\ntype=1\nflaps-position.2=67,200\n");
  const std::string name = folder.path() + "parent/" + std::string(300, 'x') + "/plane.air";
  ASSERT_LT(folder.path().size() + 7, std::size_t{SIMCONNECT_MAX_PATH}) << "cut inside 'x...'";

  SIMCONNECT_RECV_EVENT_FILENAME loaded{};
  loaded.dwSize = sizeof loaded;
  loaded.dwID = SIMCONNECT_RECV_ID_EVENT_FILENAME;
  loaded.uEventID = 1;
  std::memcpy(loaded.szFileName, name.data(), sizeof loaded.szFileName);
  SIMCONNECT_RECV_SYSTEM_STATE state{};
  state.dwSize = sizeof state;
  state.dwID = SIMCONNECT_RECV_ID_SYSTEM_STATE;
  state.dwRequestID = 2;
  std::memcpy(state.szString, name.data(), sizeof state.szString);
  const StandInApi& sim = addon.sim();
  const std::pair<const char*, std::function<void()>> kDeliveries[] = {
      {"the file-name event", [&] { sim.Deliver(&loaded, loaded.dwSize); }},
      {"the loaded-aircraft state", [&] { sim.Deliver(&state, state.dwSize); }},
      // The stand-in fills its fields as the simulator does, whole and without an end.
      {"the stand-in's file-name event", [&] { sim.LoadAircraft(name.c_str()); }},
      {"the stand-in's loaded-aircraft state",
       [&] {
         sim.SetAircraftPath(name.c_str());
         sim.RaiseSimStart();  // the add-on asks for the state
       }},
  };
  for (const auto& [what, deliver] : kDeliveries) {
    SCOPED_TRACE(what);
    deliver();
    addon.sim().Pump();
    addon.Frames(1);
    EXPECT_EQ(DetentAngle(), 5.0) << "the detents stay those of the aircraft before";
  }

  addon.sim().LoadAircraft((folder.path() + "parent/plane.air").c_str());
  addon.Frames(1);
  EXPECT_EQ(DetentAngle(), 67.0) << "a whole name of the same folder is read";
}

TEST(LifecycleServerTest, WhenThePortIsTakenNoServerRunsAndNoneIsRetried) {
  AddOnHarness& addon = AddOnHarness::Instance();
  const platform::SocketHandle squatter = platform::OpenTcpSocket();
  ASSERT_EQ(platform::BindIpv4(squatter, platform::kIpv4Any, 5193), 0);
  ASSERT_EQ(platform::Listen(squatter, 1), 0);
  addon.Start();
  addon.Frames(3);  // the server starts, cannot bind, and ends
  // Its bind comes within moments of its start; nothing outside shows when it has failed.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  platform::CloseSocket(squatter);
  addon.Frames(3);  // later records start no second server
  EXPECT_EQ(zelm::Connection::Open("127.0.0.1", 5193, nullptr, 1000), nullptr);
  addon.Stop();  // joins the ended server at once
}

TEST(LifecycleFailedOpenTest, WithoutAConnectionNothingFollowsAndStopOnlyCleansUp) {
  AddOnHarness& addon = AddOnHarness::Instance();
  addon.Start(/*simconnect_opens=*/false);
  addon.Frames(3);
  addon.Stop();
  const std::vector<StandInCall> calls = addon.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_STREQ(calls[0].function, "SimConnect_Open");
  EXPECT_EQ(zelm::Connection::Open("127.0.0.1", 5193, nullptr, 1000), nullptr);
}

// A second client of each run sends nothing after the stop and keeps its connection open
// through the next start: the port is bound again while the last run's connection lingers,
// closed by the add-on but not yet by the client.
TEST(LifecycleStopTest, StopClosesTheConnectionAndTheServerAndAStartAfterwardsWorksAgain) {
  AddOnHarness& addon = AddOnHarness::Instance();
  std::unique_ptr<zelm::Connection> lingering;
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    addon.Start();
    addon.Frames(2);
    auto client = ConnectToAddOn();
    ASSERT_NE(client, nullptr) << "the server listens again";
    EXPECT_EQ(Fetch(*client).Text("simulatorName"), "FSX");
    auto idle = ConnectToAddOn();
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(Fetch(*idle).Text("simulatorName"), "FSX");
    addon.Stop();

    EXPECT_EQ(addon.Calls("SimConnect_Close").size(), 1u);
    EXPECT_FALSE(addon.sim().IsOpen());
    zelm::Frame frame;
    EXPECT_FALSE(client->FetchFrame(&frame)) << "the session ended with the add-on";
    EXPECT_EQ(zelm::Connection::Open("127.0.0.1", 5193, nullptr, 1000), nullptr);
    lingering = std::move(idle);
  }
}

}  // namespace
}  // namespace velkaro::testing
