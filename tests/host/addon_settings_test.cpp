// The add-on with a Velkaro.ini beside it: a copy of the built add-on in a folder of its own
// (with a Cyrillic name), loaded as the simulator loads it, run from another current directory
// (whose own Velkaro.ini it must not read). Port, bind, max_clients and allow as clients over
// loopback see them, and mistakes in bind and allow narrowing the add-on to this computer; the log
// switched on by the file, its first lines and a failure line with the system's code; the status
// reply against the running stand-in; and velkaro-sim's report on the server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "common/coding.h"
#include "common/version.h"
#include "host/server_report.h"
#include "platform/path_text.h"
#include "platform/socket.h"
#include "support/addon_harness.h"
#include "support/loopback.h"
#include "support/test_files.h"

namespace velkaro::testing {
namespace {

using nlohmann::json;
using standin::ReportAddOnServer;
using std::chrono::milliseconds;

// A port nothing listens on just now.
std::uint16_t FreePort() {
  LoopbackListener probe;
  EXPECT_TRUE(probe.ok());
  return probe.port();
}

bool ReceiveAll(platform::SocketHandle s, void* data, std::size_t length) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  for (std::size_t got = 0; got < length;) {
    const int n = platform::Receive(s, bytes + got, static_cast<int>(length - got));
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// The status over a connection of the caller's ("rSTATUS010": u32 length, JSON); null when it
// does not come within a few seconds.
json StatusOver(platform::SocketHandle s) {
  platform::SetReceiveTimeout(s, 5000);
  std::uint8_t length[4];
  if (platform::Send(s, "rSTATUS010", 10) != 10 || !ReceiveAll(s, length, sizeof length)) {
    return nullptr;
  }
  std::string text(DecodeU32(length), '\0');
  if (!ReceiveAll(s, text.data(), text.size())) return nullptr;
  return json::parse(text);
}

// The status over a connection of libzelm's; null when it does not come.
json StatusOver(zelm::Connection& c) {
  std::string text;
  return c.FetchStatus(&text) ? json::parse(text) : json(nullptr);
}

json StatusFrom(const char* host, std::uint16_t port) {
  std::string error;
  std::unique_ptr<zelm::Connection> c;
  WaitUntil([&] { return (c = zelm::Connection::Open(host, port, &error, 5000)) != nullptr; });
  if (c == nullptr) {
    ADD_FAILURE() << "no connection to " << host << ":" << port << ": " << error;
    return nullptr;
  }
  return StatusOver(*c);
}

// A reply to "vFMCDATA20" came.
bool Served(platform::SocketHandle s) {
  platform::SetReceiveTimeout(s, 5000);
  std::uint8_t head[8];
  return platform::Send(s, "vFMCDATA20", 10) == 10 && ReceiveAll(s, head, sizeof head);
}

// The add-on closed the connection (a close or a reset) without serving anything, rather than
// stay silent.
bool ClosedAtOnce(platform::SocketHandle s) {
  platform::SetReceiveTimeout(s, 5000);
  std::uint8_t byte;
  const int n = platform::Receive(s, &byte, 1);
  return n == 0 || (n < 0 && !platform::IsTimeoutError(platform::LastSocketError()));
}
bool ClosedAtOnce(zelm::Connection& c) {
  std::uint8_t byte;
  return !c.ReceiveAll(&byte, 1) && c.error_kind() != zelm::ErrorKind::kTimedOut;
}

// Closes a socket when the test is done with it.
struct Socket {
  platform::SocketHandle handle;
  ~Socket() { platform::CloseSocket(handle); }
};

class AddOnSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The add-on must read the file beside itself, never one in the current directory.
    saved_directory_ = std::filesystem::current_path();
    here_.Write("Velkaro.ini", "[server]\nport = 5394\n[log]\nenabled = true\n");
    std::filesystem::current_path(platform::PathFromUtf8(here_.path()));
    std::error_code ignored;
    std::filesystem::remove(platform::PathFromUtf8(addon.folder() + "Velkaro.log"), ignored);
  }
  void TearDown() override {
    addon.Stop();
    addon.WriteSettings("");
    std::filesystem::current_path(saved_directory_);
  }
  void Start(const std::string& ini, bool simconnect_opens = true) {
    addon.WriteSettings(ini);
    addon.Start(simconnect_opens);
  }
  std::string Log(const std::string& name = "Velkaro.log") const {
    return ReadWholeFile(addon.folder() + name);
  }

  // A folder named outside the Western code pages, as under a Cyrillic user name: the add-on
  // finds itself, its settings and its log there all the same.
  AddOnHarness& addon = AddOnHarness::Copy("Пилот/Velkaro");

 private:
  ScratchFolder here_;
  std::filesystem::path saved_directory_;
};

TEST_F(AddOnSettingsTest, WithoutASettingsFileItServesAsBefore) {
  Start("");
  addon.Frames(1);
  const json status = StatusFrom("127.0.0.1", 5193);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["server"], true);
  EXPECT_EQ(status["port"], 5193);
  EXPECT_EQ(status["bind"], "ANY");
  EXPECT_EQ(status["max_clients"], 64);
  EXPECT_EQ(status["allow"], "ANY");
  EXPECT_EQ(status["log_enabled"], false);
  EXPECT_TRUE(status["config_file"].is_null());
  EXPECT_EQ(status["warnings"], json::array());
  EXPECT_FALSE(FileExists(addon.folder() + "Velkaro.log"));
  EXPECT_FALSE(FileExists("Velkaro.log")) << "nor in the current directory";
  EXPECT_EQ(ReportAddOnServer(addon.path()), "velkaro-sim: clients connect to TCP port 5193.\n");
}

TEST_F(AddOnSettingsTest, PortBindAndMaxClientsAreHonoured) {
  const std::uint16_t port = FreePort();
  Start("[server]\nport = " + std::to_string(port) + "\nbind = 127.0.0.1\nmax_clients = 2\n");
  addon.Frames(1);
  EXPECT_EQ(ReportAddOnServer(addon.path()), "velkaro-sim: clients connect to TCP port " +
                                                 std::to_string(port) + " on 127.0.0.1.\n");

  auto first = zelm::Connection::Open("127.0.0.1", port, nullptr, 5000);
  auto second = zelm::Connection::Open("127.0.0.1", port, nullptr, 5000);
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->Sync() && second->Sync());
  auto third = zelm::Connection::Open("127.0.0.1", port, nullptr, 5000);
  ASSERT_NE(third, nullptr);
  EXPECT_TRUE(ClosedAtOnce(*third)) << "two places only";

  const json status = StatusOver(*first);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["port"], port);
  EXPECT_EQ(status["bind"], "127.0.0.1");
  EXPECT_EQ(status["max_clients"], 2);
  EXPECT_EQ(status["clients"], 2);

  EXPECT_EQ(zelm::Connection::Open("127.0.0.1", 5193, nullptr, 1000), nullptr) << "not 5193";
  const Socket elsewhere{ConnectFrom("127.0.0.1", "127.0.0.2", port)};
  EXPECT_EQ(elsewhere.handle, platform::kInvalidSocket) << "bound to 127.0.0.1 alone";
}

TEST_F(AddOnSettingsTest, AllowLetsInOnlyTheAddressesItHolds) {
  struct Row {
    const char* allow;
    const char* from;
    bool served;
  };
  const Row rows[] = {
      {"127.0.0.1", "127.0.0.2", false},
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.0/8", "127.0.0.2", true},
      {"10.0.0.0/8, 127.0.0.2", "127.0.0.1", false},
      {"10.0.0.0/8, 127.0.0.2", "127.0.0.2", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("allow = ") + row.allow + ", from " + row.from);
    Start(std::string("[server]\nallow = ") + row.allow + "\n[log]\nenabled = true\n");
    addon.Frames(1);
    // Whoever is allowed asks for the status afterwards.
    const char* allowed = row.served                             ? row.from
                          : std::string(row.from) == "127.0.0.1" ? "127.0.0.2"
                                                                 : "127.0.0.1";
    Socket client{platform::kInvalidSocket};
    ASSERT_TRUE(WaitUntil([&] {
      return (client.handle = ConnectFrom(row.from, "127.0.0.1", 5193)) != platform::kInvalidSocket;
    })) << "no connection from "
        << row.from;
    EXPECT_EQ(Served(client.handle), row.served);
    if (!row.served) {
      EXPECT_TRUE(ClosedAtOnce(client.handle));
    }

    const Socket asking{ConnectFrom(allowed, "127.0.0.1", 5193)};
    const json status = StatusOver(asking.handle);
    ASSERT_TRUE(status.is_object());
    EXPECT_EQ(status["refused_connections"], row.served ? 0 : 1);
    const std::string refusal =
        std::string("Zelm Socket: refused connection from ") + row.from + " (not in allow)";
    EXPECT_EQ(Log().find(refusal) != std::string::npos, !row.served) << Log();
    addon.Stop();
  }
}

// A client the add-on refuses (no place left, or its address not allowed) is told that the
// add-on closed the connection at once and why that may be, whatever it asked first; never that
// the add-on may be older than 1.1.
TEST_F(AddOnSettingsTest, ARefusedClientIsToldWhy) {
  struct Row {
    const char* name;
    const char* ini;
  };
  const Row rows[] = {
      {"every place taken", "[server]\nmax_clients = 1\n"},
      {"not in allow", "[server]\nallow = 127.0.0.2\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Start(row.ini);
    addon.Frames(1);
    // A client from 127.0.0.2 is served (and, with one place, takes it).
    Socket occupant{platform::kInvalidSocket};
    ASSERT_TRUE(WaitUntil([&] {
      return (occupant.handle = ConnectFrom("127.0.0.2", "127.0.0.1", 5193)) !=
             platform::kInvalidSocket;
    }));
    ASSERT_TRUE(Served(occupant.handle));
    for (const bool status : {true, false}) {
      auto c = zelm::Connection::Open("127.0.0.1", 5193, nullptr, 5000);
      ASSERT_NE(c, nullptr);
      zelm::Frame frame;
      std::string json;
      EXPECT_FALSE(status ? c->FetchStatus(&json) : c->FetchFrame(&frame));
      EXPECT_EQ(c->error_kind(), zelm::ErrorKind::kClosed);
      EXPECT_NE(c->error().find("the add-on closed the connection at once, before answering"),
                std::string::npos)
          << c->error();
      EXPECT_EQ(c->error().find("1.1"), std::string::npos) << c->error();
    }
    addon.Stop();
  }
}

TEST_F(AddOnSettingsTest, BadValuesKeepTheirDefaultsAndAreLoggedAndReported) {
  Start(
      "[server]\nport = abc\nmax_clients = 0\ncolour = blue\n"
      "[log]\nenabled = true\npath = beside.log\n");
  addon.Frames(1);
  const json status = StatusFrom("127.0.0.1", 5193);
  ASSERT_TRUE(status.is_object());
  const json warnings = {
      "[server] port = abc is not a port from 1 to 65535; the default is in force",
      "[server] max_clients = 0 is not 1 to 64; the default is in force",
      "unknown key [server] colour, ignored",
  };
  EXPECT_EQ(status["warnings"], warnings);
  EXPECT_EQ(status["max_clients"], 64);
  EXPECT_EQ(status["log_enabled"], true);
  EXPECT_EQ(status["log_path"], addon.folder() + "beside.log");
  EXPECT_EQ(status["config_file"], addon.folder() + "Velkaro.ini");

  // The log lies beside the add-on (the path is relative), not in the current directory. Its
  // first line: version, settings, file; then a line per warning.
  EXPECT_FALSE(FileExists("beside.log"));
  const std::string log = Log("beside.log");
  const std::string stamp = "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9:]{8} [0-9]{4}-->";
  const std::string first = "Velkaro " VELKARO_VERSION_TEXT
                            " started with port 5193, bind ANY, max_clients 64, allow ANY, log on "
                            "(beside.log); configuration file " +
                            addon.folder() + "Velkaro.ini";
  const auto literal = [](const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.()\\\[\]])"), R"(\$&)");
  };
  std::string expected = stamp + literal(first);
  for (const json& warning : warnings) {
    expected += "\\r?\\n" + stamp + "Configuration: " + literal(warning.get<std::string>());
  }
  EXPECT_TRUE(std::regex_search(log, std::regex("^" + expected))) << log;
}

// The simulator names the aircraft file in the system's code page, which holds "ü" on the
// machines the tests run on (Windows-1252 under Wine's default locale, UTF-8 elsewhere): its
// aircraft.cfg is read, and the status gives the path in UTF-8.
TEST_F(AddOnSettingsTest, AnAircraftFolderNamedBeyondAsciiIsRead) {
  const std::uint16_t port = FreePort();
  Start("[server]\nport = " + std::to_string(port) + "\n");
  const ScratchFolder fleet;
  const std::string config =
      fleet.Write("Flügel/aircraft.cfg", "[flaps.0]\ntype=1\nflaps-position.1=12\n");
  const std::string aircraft = config.substr(0, config.size() - 12) + "flügel.air";
  addon.Frames(1);
  addon.sim().LoadAircraft(aircraft.c_str());
  addon.Frames(1);
  const json status = StatusFrom("127.0.0.1", port);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["aircraft_path"], aircraft);
  EXPECT_EQ(status["flaps_detents"], json::parse("[null, 12.0]"));
}

// Mistakes in bind and allow narrow the add-on to this computer instead of opening it to all: it
// listens on 127.0.0.1 alone and lets only 127.0.0.1 in, and the log and the status name the
// mistaken values.
TEST_F(AddOnSettingsTest, ABadAllowEntryOrBindServesThisComputerOnly) {
  Start(
      "[server]\nbind = localhost\nallow = 192.168.1.0/24, 192.168.1.300\n[log]\nenabled = true\n");
  addon.Frames(1);
  Socket elsewhere{platform::kInvalidSocket};
  ASSERT_TRUE(WaitUntil([&] {
    return (elsewhere.handle = ConnectFrom("127.0.0.2", "127.0.0.1", 5193)) !=
           platform::kInvalidSocket;
  })) << "no connection from 127.0.0.2";
  EXPECT_FALSE(Served(elsewhere.handle));
  EXPECT_TRUE(ClosedAtOnce(elsewhere.handle));
  const Socket here{ConnectFrom("127.0.0.1", "127.0.0.1", 5193)};
  EXPECT_TRUE(Served(here.handle));
  const Socket other_interface{ConnectFrom("127.0.0.1", "127.0.0.2", 5193)};
  EXPECT_EQ(other_interface.handle, platform::kInvalidSocket) << "bound to 127.0.0.1 alone";

  const json status = StatusOver(here.handle);
  ASSERT_TRUE(status.is_object());
  const json warnings = {
      "[server] bind = localhost is not ANY or an IPv4 address; only this computer (127.0.0.1) "
      "is served until it is fixed",
      "[server] allow: entry 2, \"192.168.1.300\", is not an IPv4 address; only this computer "
      "(127.0.0.1) may connect until it is fixed",
  };
  EXPECT_EQ(status["warnings"], warnings);
  EXPECT_EQ(status["bind"], "127.0.0.1");
  EXPECT_EQ(status["allow"], "127.0.0.1");
  EXPECT_EQ(status["refused_connections"], 1);
  const std::string log = Log();
  for (const json& warning : warnings) {
    EXPECT_NE(log.find("Configuration: " + warning.get<std::string>()), std::string::npos) << log;
  }
  EXPECT_NE(log.find("Zelm Socket: refused connection from 127.0.0.2 (not in allow)"),
            std::string::npos)
      << log;
}

// With nothing to log to, the status says why the log is off.
TEST_F(AddOnSettingsTest, ALogFileThatCannotBeCreatedIsReportedInTheStatus) {
  Start("[log]\nenabled = true\npath = no-such-folder/v.log\n");
  addon.Frames(1);
  const json status = StatusFrom("127.0.0.1", 5193);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["log_enabled"], false);
  ASSERT_EQ(status["warnings"].size(), 1u) << status.dump();
  EXPECT_TRUE(std::regex_match(
      status["warnings"][0].get<std::string>(),
      std::regex("the log file .*no-such-folder.v\\.log cannot be created: error [0-9]+, .+; "
                 "the log is off")))
      << status.dump();
}

// Someone else's file at the log's path is left as it is: the log goes beside it and says so,
// in the status and in its own first lines.
TEST_F(AddOnSettingsTest, SomeoneElsesFileAtTheLogsPathIsLeftAsItIs) {
  const std::string notes = addon.folder() + "notes.txt";
  std::filesystem::remove(platform::PathFromUtf8(notes + ".1"));
  WriteWholeFile(notes, "my notes\n");
  Start("[log]\nenabled = true\npath = notes.txt\n");
  addon.Frames(1);
  const json status = StatusFrom("127.0.0.1", 5193);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["log_enabled"], true);
  EXPECT_EQ(status["log_path"], notes + ".1");
  ASSERT_EQ(status["warnings"].size(), 1u) << status.dump();
  const std::string warning = status["warnings"][0].get<std::string>();
  EXPECT_EQ(warning, "the log file " + notes +
                         " holds something other than a log and is left as it is; the log is "
                         "written to " +
                         notes + ".1");
  EXPECT_EQ(ReadWholeFile(notes), "my notes\n");
  EXPECT_NE(Log("notes.txt.1").find("Configuration: " + warning), std::string::npos);
  std::filesystem::remove(platform::PathFromUtf8(notes));
  std::filesystem::remove(platform::PathFromUtf8(notes + ".1"));
}

#if !defined(_WIN32)
// A FIFO at the log's path would block the start until something read it: the add-on starts and
// serves, with the log off and the status saying why.
TEST_F(AddOnSettingsTest, AFifoAtTheLogsPathLeavesTheLogOffAndTheStartUnblocked) {
  const std::string fifo = addon.folder() + "fifo.log";
  std::filesystem::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  Start("[log]\nenabled = true\npath = fifo.log\n");
  addon.Frames(1);
  const json status = StatusFrom("127.0.0.1", 5193);
  std::filesystem::remove(fifo);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["log_enabled"], false);
  EXPECT_EQ(status["warnings"],
            json::array({"the log file " + fifo + " is not a regular file; the log is off"}));
}
#endif

TEST_F(AddOnSettingsTest, WhenThePortIsTakenTheLogAndTheReportSayWhy) {
  LoopbackListener squatter;  // on 127.0.0.1
  ASSERT_TRUE(squatter.ok());
  const std::string port = std::to_string(squatter.port());
  Start("[server]\nport = " + port + "\nbind = 127.0.0.1\n[log]\nenabled = true\n");
  addon.Frames(1);
  const std::string report = ReportAddOnServer(addon.path());

  const std::string failure =
      "Zelm Socket: bind failed on 127\\.0\\.0\\.1:" + port + ": error [0-9]+, [^\\r\\n]+";
  EXPECT_TRUE(std::regex_search(Log(), std::regex(failure))) << Log();
  EXPECT_TRUE(std::regex_search(
      report, std::regex("^velkaro-sim: the add-on has no server: nothing answers on port " + port +
                         " .*the add-on's log says why\n")))
      << report;
  EXPECT_TRUE(std::regex_search(
      report, std::regex("velkaro-sim: its log \\(.*Velkaro\\.log\\): " + failure + "\n$")))
      << report;
}

TEST_F(AddOnSettingsTest, AFailedConnectionToTheSimulatorIsLoggedWithItsResult) {
  Start("[log]\nenabled = true\n", /*simconnect_opens=*/false);
  EXPECT_NE(Log().find("SimConnect Connection failed! HRESULT 0x80004005"), std::string::npos)
      << Log();
}

TEST_F(AddOnSettingsTest, TheStatusFollowsTheRunningSimulator) {
  Start("");
  addon.Frames(1);  // starts the server
  constexpr int kRateHz = 50;
  constexpr int kFrames = 75;
  // The simulator's frames at their pace, on a thread of their own as in the simulator.
  std::thread simulator([&] {
    const auto period = std::chrono::microseconds(1000000 / kRateHz);
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
      addon.Frames(1, 1.0 / kRateHz);
      next += period;
      std::this_thread::sleep_until(next);
    }
  });
  std::this_thread::sleep_for(milliseconds(1200));
  const json running = StatusFrom("127.0.0.1", 5193);
  simulator.join();
  ASSERT_TRUE(running.is_object());
  EXPECT_NEAR(running["frame_rate_hz"].get<double>(), kRateHz, 15) << running.dump();

  auto second = ConnectToAddOn();
  auto third = ConnectToAddOn();
  ASSERT_TRUE(second && third && second->Sync() && third->Sync());
  const json stopped = StatusFrom("127.0.0.1", 5193);
  std::this_thread::sleep_for(milliseconds(400));
  const json later = StatusOver(*second);
  ASSERT_TRUE(stopped.is_object() && later.is_object());
  EXPECT_GE(later["frame_age_ms"].get<int>(), stopped["frame_age_ms"].get<int>() + 350)
      << "no records: the newest frame ages";
  EXPECT_EQ(stopped["frames"], kFrames) << "every record after the first";
  EXPECT_TRUE(WaitUntil([&] { return StatusOver(*second)["clients"] == 2; }))
      << "the two connected (the sessions of those that asked before have ended)";
  EXPECT_EQ(stopped["simconnect"], true);
  EXPECT_EQ(stopped["server"], true);
  EXPECT_EQ(stopped["aircraft_title"], "Velkaro Trainer");
  EXPECT_EQ(stopped["aircraft_path"], standin::DefaultAircraftPath());
  EXPECT_EQ(stopped["flaps_detents"], json::parse("[0.0, 1.0, 5.0, 15.0, 25.0, 40.0]"));
  EXPECT_GE(stopped["uptime_s"].get<int>(), 1);
}

}  // namespace
}  // namespace velkaro::testing
