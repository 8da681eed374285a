// zelm replay: a recording served as the add-on serves the simulator.
//
// A recording of frames from the add-on in the stand-in (some values pinned, the rest driven by
// the stand-in's aircraft model), written with the recording writer, is replayed by the zelm
// program: every frame comes back byte for byte and on time at two speeds, and the protocol
// behaves as the add-on's (tags split and unknown, upload bounds, the stores, autopilot blocks).
// The replay's controls (pause, step, the end, a loop) are driven through the player itself, on
// frames held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_layout.h"
#include "common/mcp_block.h"
#include "recording.h"
#include "replay_player.h"
#include "support/addon_harness.h"
#include "support/child_program.h"
#include "support/test_files.h"
#include "support/wire_bytes.h"
#include "support/zelm_wire.h"
#include "zelm_client.h"

namespace velkaro::testing {
namespace {

using Clock = std::chrono::steady_clock;
using FrameBytes = std::array<std::uint8_t, kFrameSize>;
using zelm::replay::Player;

constexpr std::size_t kLatitudeAt = 96;  // f64 (the frame layout's "latitude")

double Latitude(const FrameBytes& frame) {
  return DecodeF64(frame.data() + kLatitudeAt);
}

std::unique_ptr<zelm::Connection> ConnectTo(std::uint16_t port) {
  std::string error;
  auto c = zelm::Connection::Open("127.0.0.1", port, &error, 5000);
  EXPECT_TRUE(c) << error;
  return c;
}

// ---------------------------------------------------------------------------------------------
// The player on frames in memory: frame i has latitude i and time i * step.

class MemorySource : public zelm::replay::FrameSource {
 public:
  MemorySource(int count, std::int64_t step_us) {
    for (int i = 0; i < count; ++i) {
      FrameBytes frame{};
      InitFrame(frame.data());
      EncodeF64(frame.data() + kLatitudeAt, i);
      frames_.push_back({i * step_us, frame});
    }
  }
  std::int64_t DurationUs() const override { return frames_.back().first; }
  bool Seek(std::int64_t time_us, std::string*) override {
    next_ = 0;
    while (next_ < frames_.size() && frames_[next_].first < time_us) ++next_;
    return true;
  }
  bool Next(std::int64_t* time_us, std::uint8_t* frame, std::string*) override {
    if (next_ == frames_.size()) return false;
    *time_us = frames_[next_].first;
    std::memcpy(frame, frames_[next_].second.data(), kFrameSize);
    ++next_;
    return true;
  }

 private:
  std::vector<std::pair<std::int64_t, FrameBytes>> frames_;
  std::size_t next_ = 0;
};

std::unique_ptr<Player> StartPlayer(int count, std::int64_t step_us, bool loop = false) {
  zelm::replay::ReplaySettings settings;
  settings.file = "memory.vrec";
  settings.loop = loop;
  settings.server.bind = "127.0.0.1";
  settings.server.port = 0;
  auto player = std::make_unique<Player>(std::make_unique<MemorySource>(count, step_us), settings);
  std::string error;
  EXPECT_TRUE(player->Start(&error)) << error;
  return player;
}

double FetchLatitude(zelm::Connection& c) {
  zelm::Frame frame;
  EXPECT_TRUE(c.FetchFrame(&frame)) << c.error();
  return Latitude(frame.bytes);
}

TEST(ReplayPlayerTest, PauseHoldsTheFrameAndStepServesTheNextOne) {
  auto player = StartPlayer(200, 20000);
  auto c = ConnectTo(player->port());
  FetchLatitude(*c);
  player->TogglePause();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double held = FetchLatitude(*c);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(FetchLatitude(*c), held) << "paused: the same frame after the fresh-frame wait";
  }
  EXPECT_TRUE(player->Now().paused);
  player->Step();
  EXPECT_EQ(FetchLatitude(*c), held + 1);
  player->Step();
  EXPECT_EQ(FetchLatitude(*c), held + 2);
  EXPECT_EQ(player->Now().position_us, static_cast<std::int64_t>(held + 2) * 20000);

  player->TogglePause();
  EXPECT_GT(FetchLatitude(*c), held + 2) << "plays on";
  EXPECT_FALSE(player->Now().paused);
}

TEST(ReplayPlayerTest, AtTheEndTheLastFrameIsServedOn) {
  auto player = StartPlayer(5, 10000);
  ASSERT_TRUE(WaitUntil([&] { return player->Now().ended; }));
  auto c = ConnectTo(player->port());
  EXPECT_EQ(FetchLatitude(*c), 4);
  EXPECT_EQ(FetchLatitude(*c), 4) << "again after the fresh-frame wait";
  const std::vector<std::string> said = player->TakeMessages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("end of the recording at 0.0 s: serving its last frame"),
            std::string::npos)
      << said[0];
}

TEST(ReplayPlayerTest, ALoopStartsAgainFromTheFirstFrame) {
  auto player = StartPlayer(5, 10000, /*loop=*/true);
  auto c = ConnectTo(player->port());
  std::vector<double> seen;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(400);
  while (Clock::now() < until) seen.push_back(FetchLatitude(*c));
  const auto wrapped =
      std::adjacent_find(seen.begin(), seen.end(), [](double a, double b) { return b < a; });
  ASSERT_NE(wrapped, seen.end()) << "never went back";
  EXPECT_EQ(*wrapped, 4);
  EXPECT_EQ(*(wrapped + 1), 0);
  EXPECT_FALSE(player->Now().ended);
}

// ---------------------------------------------------------------------------------------------
// zelm replay on a recording of the add-on's frames.

struct Recorded {
  std::int64_t time_us;
  FrameBytes bytes;
};

// 60 frames from the add-on at 30 Hz, written with the recording writer as a client received
// them. The altitude is pinned, the latitude set anew for every frame (so that no two frames are
// alike), the rest as the stand-in's model has it.
class ReplayTest : public ::testing::Test {
 protected:
  static constexpr int kFrames = 60;
  static constexpr std::int64_t kStepUs = 33333;

  static void SetUpTestSuite() {
    folder_ = new ScratchFolder;
    path_ = folder_->path() + "flight.vrec";
    AddOnHarness& addon = AddOnHarness::Instance();
    addon.Start();
    addon.sim().SetVariable("PLANE ALTITUDE", 12000);
    addon.Frames(2);
    std::string error;
    auto writer = zelm::RecordingWriter::Create(path_, &error);
    ASSERT_TRUE(writer) << error;
    auto c = ConnectToAddOn();
    const std::int64_t start_unix_us = 1'796'000'000'000'000;
    for (int i = 0; i < kFrames; ++i) {
      addon.sim().SetVariable("PLANE LATITUDE", 47.0 + i * 1e-4);
      addon.Frames(1);
      zelm::Frame frame;
      ASSERT_TRUE(c->FetchFrame(&frame)) << c->error();
      const std::int64_t time_us = i * kStepUs;
      ASSERT_TRUE(writer->Append(frame.bytes, start_unix_us + time_us)) << writer->error();
      frames_.push_back({time_us, frame.bytes});
    }
    ASSERT_TRUE(writer->Finish()) << writer->error();
    c.reset();
    addon.Stop();
  }
  static void TearDownTestSuite() {
    delete folder_;
    frames_.clear();
  }

  // Starts zelm replay on the recording with `arguments`, on a port the system picks.
  void StartReplay(const std::vector<std::string>& arguments) {
    output_ = folder_->path() + "replay.txt";
    std::vector<std::string> words = {"replay", path_, "--port", "0", "--bind", "127.0.0.1"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    replay_ = std::make_unique<ChildProgram>("zelm", words, output_);
    ASSERT_TRUE(replay_->started());
    const std::regex serving("on port ([0-9]+) of 127\\.0\\.0\\.1");
    // The match points into `text`, which outlives it.
    std::string text;
    std::smatch match;
    ASSERT_TRUE(WaitUntil([&] {
      text = ReadWholeFile(output_);
      return std::regex_search(text, match, serving);
    })) << text;
    port_ = static_cast<std::uint16_t>(std::stoi(match[1].str()));
  }
  // Ctrl-C ends it with status 0; what it wrote.
  std::string StopReplay() {
    EXPECT_TRUE(replay_->Interrupt());
    EXPECT_EQ(replay_->Wait(std::chrono::seconds(10)), 0);
    return ReadWholeFile(output_);
  }


  static ScratchFolder* folder_;
  static std::string path_;
  static std::vector<Recorded> frames_;
  std::string output_;
  std::unique_ptr<ChildProgram> replay_;
  std::uint16_t port_ = 0;
};

ScratchFolder* ReplayTest::folder_ = nullptr;
std::string ReplayTest::path_;
std::vector<Recorded> ReplayTest::frames_;

TEST_F(ReplayTest, EveryFrameComesBackByteForByteAndOnTime) {
  ASSERT_EQ(frames_.size(), static_cast<std::size_t>(kFrames));
  EXPECT_EQ(zelm::Frame{frames_[0].bytes}.Number("altitude"), 12000);
  EXPECT_NEAR(*zelm::Frame{frames_[59].bytes}.Number("latitude"), 47.0 + 59 * 1e-4, 1e-9);
  const auto index_of = [](const FrameBytes& bytes) {
    return std::find_if(frames_.begin(), frames_.end(),
                        [&](const Recorded& r) { return r.bytes == bytes; }) -
           frames_.begin();
  };
  for (const double speed : {1.0, 4.0}) {
    SCOPED_TRACE("speed " + std::to_string(speed));
    // Looping, so that a whole pass is seen from its first frame, whenever the client came.
    StartReplay({"--speed", std::to_string(speed), "--loop"});
    auto c = ConnectTo(port_);
    // Each frame as it arrives, by its place in the recording, with its time, from the first
    // frame of a pass to its last. Every frame received must be the recording's, byte for byte,
    // in order. A client waiting in "rSIMDATA30" gets every frame published unless the machine
    // keeps it from asking again in time: at speed 1 (33 ms apart) it gets them all; at speed 4
    // (8 ms apart) a loaded machine may make it miss one now and then, as with the add-on.
    std::vector<std::pair<std::ptrdiff_t, Clock::time_point>> got;
    std::ptrdiff_t previous = -1;
    const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
      zelm::Frame frame;
      ASSERT_TRUE(c->FetchFrame(&frame)) << c->error();
      const Clock::time_point at = Clock::now();
      const std::ptrdiff_t index = index_of(frame.bytes);
      ASSERT_LT(index, kFrames) << "a frame that is not the recording's";
      if (index < previous) got.clear();  // a pass begins
      if (index != previous) got.push_back({index, at});
      previous = index;
      if (index == kFrames - 1 && !got.empty() && got.front().first == 0) break;
    }
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().first, 0);
    EXPECT_EQ(got.back().first, kFrames - 1);
    EXPECT_GE(got.size(), speed == 1.0 ? frames_.size() : frames_.size() * 9 / 10)
        << "frames missed";
    // How far each frame is from its recorded time at the speed, counted from the frame that
    // came closest to its time (the first frame may itself come late on a loaded machine, which
    // must not make the others look early): a replay at the wrong pace, too fast or too slow,
    // spreads these apart by hundreds of milliseconds within a pass.
    std::vector<double> off_ms;
    for (const auto& [index, at] : got) {
      const Recorded& recorded = frames_[static_cast<std::size_t>(index)];
      const double due_ms = (recorded.time_us - frames_[0].time_us) / 1000.0 / speed;
      off_ms.push_back(std::chrono::duration<double, std::milli>(at - got[0].second).count() -
                       due_ms);
    }
    std::sort(off_ms.begin(), off_ms.end());
    std::vector<double> late_ms;
    for (const double off : off_ms) late_ms.push_back(off - off_ms.front());
    // Late only by a loaded machine's scheduling.
    EXPECT_LT(late_ms[late_ms.size() / 2], 20.0) << "median";
    EXPECT_LT(late_ms.back(), 250.0) << "latest";
    EXPECT_NE(StopReplay().find("from the start again"), std::string::npos);
  }
}

TEST_F(ReplayTest, TheProtocolIsTheAddOns) {
  StartReplay({"--loop"});
  auto c = ConnectTo(port_);
  // A tag split across sends.
  ASSERT_TRUE(Send(*c, Text("rSIM")));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(Send(*c, Text("DATA30")));
  zelm::Frame frame;
  ASSERT_TRUE(c->ReceiveAll(frame.bytes.data(), frame.bytes.size()));
  EXPECT_EQ(frame.Text("magic"), "ZELM30");
  EXPECT_NE(std::find_if(frames_.begin(), frames_.end(),
                         [&](const Recorded& r) { return r.bytes == frame.bytes; }),
            frames_.end())
      << "a frame of the recording";

  // The FMC store, seen by other clients; unknown tags are passed over.
  ASSERT_TRUE(Send(*c, Text("vFMCDATA20")));
  EXPECT_EQ(Receive(*c, 8), Bytes(8, 0xFF)) << "empty at the start";
  ASSERT_TRUE(c->StoreFmc(Text("0123456789"), 0xA1B2C3D4u) && c->Sync()) << c->error();
  ASSERT_TRUE(Send(*c, Text("rSIMDATA31xFMCDATA20GARBAGE!!!vFMCDATA20")));
  EXPECT_EQ(Receive(*c, 8), Text("01234567"));
  {
    auto other = ConnectTo(port_);
    Bytes data;
    std::uint32_t version = 0;
    ASSERT_TRUE(other->FetchFmc(&data, &version)) << other->error();
    EXPECT_EQ(data, Text("0123456789"));
    EXPECT_EQ(version, 0xA1B2C3D4u);
  }

  // Uploads out of bounds close the connection and leave the stores as they were.
  const struct {
    const char* name;
    Bytes sent;
  } refused[] = {
      {"FMC length 0", Concat({Text("sFMCDATA20"), U32(0)})},
      {"FMC length over 16 MiB", Concat({Text("sFMCDATA20"), U32(16u * 1024 * 1024 + 1)})},
      {"flight plan length 0", Concat({Text("sFPLDATA10"), U32(0)})},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(row.name);
    auto bad = ConnectTo(port_);
    ASSERT_TRUE(Send(*bad, row.sent));
    EXPECT_TRUE(Closed(*bad));
  }
  // As in the add-on, an FMC upload empties the store as it begins; the version word stays.
  Bytes data;
  std::uint32_t version = 0;
  ASSERT_TRUE(c->FetchFmc(&data, &version)) << c->error();
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(version, 0xA1B2C3D4u);

  // Autopilot blocks: checked as the add-on checks them; one accepted is told, not applied.
  zelm::McpRequestBuilder block;
  block.ApMaster(true).HeadingBug(270);
  const McpBlock& bytes = block.block();
  ASSERT_TRUE(Send(*c, Concat({Text("sMCPDATA20"), Bytes(bytes.begin(), bytes.end()),
                               U32(block.CheckValue() + 1)})));
  ASSERT_TRUE(c->Sync()) << "a refused block gets no reply either";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(c->UploadMcp(block.block()) && c->Sync()) << c->error();
  zelm::Frame after;
  ASSERT_TRUE(c->FetchFrame(&after));
  EXPECT_NE(std::find_if(frames_.begin(), frames_.end(),
                         [&](const Recorded& r) { return r.bytes == after.bytes; }),
            frames_.end())
      << "the frames stay the recording's";

  std::string status;
  ASSERT_TRUE(c->FetchStatus(&status)) << c->error();
  const nlohmann::json reply = nlohmann::json::parse(status);
  EXPECT_EQ(reply["simconnect"], false);
  EXPECT_EQ(reply["replay"]["file"], path_);
  EXPECT_NEAR(reply["replay"]["duration_s"].get<double>(), (kFrames - 1) * kStepUs / 1e6, 0.001);
  EXPECT_EQ(reply["replay"]["loop"], true);

  ASSERT_TRUE(
      WaitUntil([&] { return ReadWholeFile(output_).find("apMaster") != std::string::npos; }));
  const std::string said = StopReplay();
  EXPECT_NE(said.find("autopilot block accepted but not applied (a replay does not fly): "
                      "headingBug 270, apMaster on"),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find("apMaster"), said.rfind("apMaster")) << "the refused block is not told";
}

}  // namespace
}  // namespace velkaro::testing
