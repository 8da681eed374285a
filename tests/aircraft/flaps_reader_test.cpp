// The flaps reader: detent angles from small aircraft.cfg files, the lines it uses and the lines
// it must pass over, what the table holds when there is no file to read, and the paths that must
// never be read: pipes, devices, folders and files too large for the simulator's frame.
#include "aircraft/flaps_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/test_files.h"

namespace velkaro {
namespace platform {
void PrintTo(FileReadResult result, std::ostream* out) {
  *out << FileReadResultText(result);
}
}  // namespace platform

namespace {

using testing::ScratchFolder;

struct Case {
  const char* name;
  const char* file;
  std::map<int, float> detents;  // every other entry -1.0
};

const Case kCases[] = {
    {"a flaps section with comments",
     "[flaps.0]\ntype= 1 // 1 - tail, 2 - lead\nflaps-position.0= 0, 0\nflaps-position.1= 1, 250\n"
     "flaps-position.2= 5, 250\n",
     {{0, 0.0f}, {1, 1.0f}, {2, 5.0f}}},
    {"position lines before the type line",
     "[flaps.0]\nflaps-position.1= 1, 250\ntype=1\nflaps-position.2=5\n",
     {{2, 5.0f}}},
    {"type 2 is not trailing-edge flaps", "[flaps.0]\ntype=2\nflaps-position.1=10\n", {}},
    {"system_type is not the type",
     "[flaps.0]\ntype=1\nsystem_type= 0\nflaps-position.1=10\n",
     {{1, 10.0f}}},
    {"two type-1 sections: the first value wins",
     "[flaps.0]\ntype=1\nflaps-position.1=10\n[flaps.1]\ntype=1\nflaps-position.1=20\nflaps-"
     "position.2=30\n",
     {{1, 10.0f}, {2, 30.0f}}},
    {"angles from 0 to 90 only, detents from 0 to 19 only",
     "[flaps.0]\ntype=1\nflaps-position.3=95\nflaps-position.3=90\nflaps-position.20=5\n"
     "flaps-position.-1=5\nflaps-position.19=-0.5\nflaps-position.19=0\n",
     {{3, 90.0f}, {19, 0.0f}}},
    {"keys and headers in any case", "[FLAPS.1]\nTYPE = 1\nFLAPS-POSITION.4 = 10\n", {{4, 10.0f}}},
    {"an indented header opens no section", "  [flaps.0]\ntype=1\nflaps-position.1=10\n", {}},
    {"an indented header closes none either",
     "[flaps.0]\ntype=1\n  [other]\nflaps-position.1=10\n",
     {{1, 10.0f}}},
    {"other sections are passed over",
     "[general]\ntype=1\nflaps-position.1=10\n[flaps.0]\ntype=1\n",
     {}},
    {"a new header resets the type", "[flaps.0]\ntype=1\n[flaps.1]\nflaps-position.1=10\n", {}},
    {"malformed lines are skipped one by one",
     "[flaps.0]\ntype=1\nflaps-position.1\nflaps-position.2=\n=5\nflaps-position.3=abc\n"
     "flaps-position.x=7\nflaps-position.4=1.2.3, 200\nflaps-position.5 = 12.5 , 180\n",
     {{4, 1.2f}, {5, 12.5f}}},
    {"a type that is not a number leaves the type",
     "[flaps.0]\ntype=1\ntype=one\nflaps-position.1=10\n",
     {{1, 10.0f}}},
    {"CR LF line ends", "[flaps.0]\r\ntype=1\r\nflaps-position.1=15\r\n", {{1, 15.0f}}},
    {"the last line without a line end is read",
     "[flaps.0]\ntype=1\nflaps-position.1=25",
     {{1, 25.0f}}},
    {"huge numbers are rejected, not overflowed",
     "[flaps.0]\ntype=99999999999999999999\nflaps-position.1=10\n[flaps.1]\ntype=1\n"
     "flaps-position.99999999999999999999=10\nflaps-position.2="
     "1000000000000000000000000000000000000000000000000\n",
     {}},
    {"a file without flaps", "[general]\natc_type=VELKARO\n", {}},
};

TEST(FlapsReaderTest, DetentAnglesFromAircraftConfigFiles) {
  ScratchFolder folder;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder.Write("aircraft.cfg", c.file);
    FlapsTable table;
    table.fill(123.0f);
    ASSERT_EQ(ReadFlapsTable(path, table), platform::FileReadResult::kRead);
    for (int i = 0; i < 20; ++i) {
      const auto expected = c.detents.find(i);
      EXPECT_EQ(table[static_cast<std::size_t>(i)],
                expected == c.detents.end() ? -1.0f : expected->second)
          << "detent " << i;
    }
  }
}

TEST(FlapsReaderTest, ALineLongerThanAnyBufferIsExaminedOnceWhole) {
  ScratchFolder folder;
  // 600 spaces before the key: the position line must be read as one line, not split where a
  // 499-character read would end and its second half taken for a line of its own.
  const std::string padding(600, ' ');
  // The comment's second piece would start with a header of another section.
  const std::string comment = "flaps-position.2=20 //" + std::string(499 - 22, 'x') + "[other]\n";
  const std::string file =
      "[flaps.0]\ntype=1\n" + padding + "flaps-position.1=10\n" + comment + "flaps-position.3=30\n";
  FlapsTable table;
  ASSERT_EQ(ReadFlapsTable(folder.Write("aircraft.cfg", file), table),
            platform::FileReadResult::kRead);
  EXPECT_EQ(table[1], 10.0f);
  EXPECT_EQ(table[2], 20.0f);
  EXPECT_EQ(table[3], 30.0f) << "the header inside the comment did not start a section";
}

TEST(FlapsReaderTest, ARunawayLineIsCutShortNotSplit) {
  // Both lines run far past what the reader keeps of a line: what lies beyond is dropped, so
  // neither the header nor the position line at their ends counts.
  const std::string padding(100000, ' ');
  const std::string file = "[flaps.0]\ntype=1\n" + padding + "[other]\n" + padding +
                           "flaps-position.2=20\nflaps-position.1=10\n";
  ScratchFolder folder;
  FlapsTable table;
  ASSERT_EQ(ReadFlapsTable(folder.Write("aircraft.cfg", file), table),
            platform::FileReadResult::kRead);
  EXPECT_EQ(table[1], 10.0f) << "the flaps section is still open";
  EXPECT_EQ(table[2], -1.0f) << "the position line's key lay beyond the kept part";
}

// Reads on a thread of its own. A read that has not come back within seconds would have stopped
// the simulator's thread; it cannot be taken back, so the test program ends with the failure.
platform::FileReadResult ReadWithinSeconds(const std::string& path, FlapsTable& table) {
  std::promise<platform::FileReadResult> done;
  std::future<platform::FileReadResult> result = done.get_future();
  std::thread reader([&] { done.set_value(ReadFlapsTable(path, table)); });
  if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: reading %s did not return within 10 s\n", path.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }
  reader.join();
  return result.get();
}

// A folder holding a valid aircraft.cfg of `bytes` bytes: a flaps section, then comment lines.
std::string ConfigOfSize(std::size_t bytes) {
  std::string text = "[flaps.0]\ntype=1\nflaps-position.1=11\n";
  while (text.size() < bytes)
    text += std::string(std::min<std::size_t>(99, bytes - text.size() - 1), '/') + "\n";
  text.resize(bytes);
  return text;
}

TEST(FlapsReaderTest, OnlyARegularFileWithinTheBoundIsRead) {
  namespace fs = std::filesystem;
  using platform::FileReadResult;
  ScratchFolder folder;
  struct Case {
    std::string name;
    std::string path;
    FileReadResult result;
  };
  std::vector<Case> cases = {
      {"a file at the bound", folder.Write("exact.cfg", ConfigOfSize(kMaxAircraftConfigBytes)),
       FileReadResult::kRead},
      {"one byte over the bound",
       folder.Write("over.cfg", ConfigOfSize(kMaxAircraftConfigBytes + 1)),
       FileReadResult::kTooLarge},
      {"a missing file", folder.path() + "missing.cfg", FileReadResult::kCannotOpen},
  };
  // 300 MB without writing them: a sparse file.
  const std::string huge = folder.Write("huge.cfg", "[flaps.0]\ntype=1\nflaps-position.1=11\n");
  fs::resize_file(huge, 300u * 1024 * 1024);
  cases.push_back({"a 300 MB file", huge, FileReadResult::kTooLarge});
  fs::create_directories(folder.path() + "folder.cfg");
#if defined(_WIN32)
  // A folder does not open as a file at all on Windows.
  cases.push_back({"a folder", folder.path() + "folder.cfg", FileReadResult::kCannotOpen});
  // A named pipe with an instance waiting: opening it connects at once.
  const std::string pipe_name =
      "\\\\.\\pipe\\velkaro-flaps-" + std::to_string(GetCurrentProcessId()) + "\\aircraft.cfg";
  const HANDLE pipe = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  cases.push_back({"a named pipe", pipe_name, FileReadResult::kNotRegularFile});
  cases.push_back({"a device", "\\\\.\\NUL", FileReadResult::kNotRegularFile});
#else
  cases.push_back({"a folder", folder.path() + "folder.cfg", FileReadResult::kNotRegularFile});
  // A FIFO without a writer: an ordinary open would wait for one for ever.
  const std::string fifo = folder.path() + "fifo.cfg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  cases.push_back({"a FIFO", fifo, FileReadResult::kNotRegularFile});
  // A link to an endless device: reading it would never end.
  const std::string zero = folder.path() + "zero.cfg";
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  cases.push_back({"a link to /dev/zero", zero, FileReadResult::kNotRegularFile});
#endif

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlapsTable table;
    table.fill(7.0f);
    EXPECT_EQ(ReadWithinSeconds(c.path, table), c.result);
    if (c.result == FileReadResult::kRead) {
      EXPECT_EQ(table[1], 11.0f);
      EXPECT_EQ(table[2], -1.0f);
    } else {
      FlapsTable untouched;
      untouched.fill(7.0f);
      EXPECT_EQ(table, untouched);
    }
  }
#if defined(_WIN32)
  CloseHandle(pipe);
#endif
}

TEST(FlapsReaderTest, TheConfigFileLiesBesideTheAircraftFile) {
  EXPECT_EQ(AircraftConfigPath("D:\\Sim\\Planes\\Example\\Example.air"),
            "D:\\Sim\\Planes\\Example\\aircraft.cfg");
  EXPECT_EQ(AircraftConfigPath("Planes\\Example\\Example.air"), "Planes\\Example\\aircraft.cfg");
  EXPECT_EQ(AircraftConfigPath("/sim/planes/example/example.air"),
            "/sim/planes/example/aircraft.cfg");
  EXPECT_EQ(AircraftConfigPath("C:\\Sim/Planes\\Mixed/mixed.air"),
            "C:\\Sim/Planes\\Mixed/aircraft.cfg");
  EXPECT_EQ(AircraftConfigPath("Example.air"), "");
  EXPECT_EQ(AircraftConfigPath(""), "");
}

TEST(FlapsReaderTest, TrimAndNumericText) {
  EXPECT_EQ(TrimText(" \t 12 5 \r\n"), "12 5");
  EXPECT_EQ(TrimText(" \t\r\n"), "");
  EXPECT_TRUE(IsNumericText("-1.5"));
  EXPECT_TRUE(IsNumericText("1 2"));
  EXPECT_TRUE(IsNumericText("1.2.3"));
  EXPECT_FALSE(IsNumericText(""));
  EXPECT_FALSE(IsNumericText("1-2"));
  EXPECT_FALSE(IsNumericText("+1"));
  EXPECT_FALSE(IsNumericText("1e5"));
}

// The add-on's reading on an aircraft change: what stays when a file cannot be read.
TEST(FlapsReaderTest, WithoutAReadableFileTheTableKeepsWhatItHeld) {
  ScratchFolder folder;
  DiagnosticLog log;  // off
  FlapsTable table{};
  // A folder name beyond the system's code page (Cyrillic) is read all the same.
  folder.Write("Пример/aircraft.cfg", "[flaps.0]\ntype=1\nflaps-position.1=7\n");
  ReadAircraftFlaps(folder.path() + "Пример/Example.air", table, log);
  EXPECT_EQ(table[1], 7.0f);
  EXPECT_EQ(table[0], -1.0f);

  const FlapsTable before = table;
  ReadAircraftFlaps(folder.path() + "Missing/Missing.air", table, log);
  EXPECT_EQ(table, before) << "no aircraft.cfg";
  ReadAircraftFlaps("Example.air", table, log);
  EXPECT_EQ(table, before) << "no folder in the path";
}

// A file that is not read leaves the table as it was and says why in the log.
TEST(FlapsReaderTest, AConfigThatIsNotReadIsLogged) {
  ScratchFolder folder;
  DiagnosticLog log;
  log.Enabled = true;
  log.FilePath = folder.path() + "Velkaro.log";
  FlapsTable table{};

  folder.Write("Good/aircraft.cfg", "[flaps.0]\ntype=1\nflaps-position.1=7\n");
  ReadAircraftFlaps(folder.path() + "Good/good.air", table, log);
  const FlapsTable before = table;
  ASSERT_EQ(before[1], 7.0f);

  std::filesystem::create_directories(folder.path() + "Odd/aircraft.cfg");
  ReadAircraftFlaps(folder.path() + "Odd/odd.air", table, log);
  EXPECT_EQ(table, before);
  // And one the system cannot open, with its code and text.
  ReadAircraftFlaps(folder.path() + "Missing/missing.air", table, log);
  const std::string text = testing::ReadWholeFile(log.FilePath);
  EXPECT_NE(text.find("Odd/aircraft.cfg"), std::string::npos) << text;
  EXPECT_NE(text.find("; flap detents unchanged"), std::string::npos) << text;
  EXPECT_TRUE(std::regex_search(
      text, std::regex("Missing.aircraft\\.cfg cannot be opened; flap detents unchanged: "
                       "error [0-9]+, [^\r\n]+")))
      << text;
}

}  // namespace
}  // namespace velkaro
