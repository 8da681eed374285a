// The diagnostic log: entry layout, one line per entry, length limit, concurrent writers, that
// nothing at all is written while it is off, and what it does to the files at its path (pipes,
// devices and other people's files left alone), its size bound, repeated lines and failed writes.
#include "log/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_files.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace velkaro {
namespace {

using testing::ReadWholeFile;
using testing::ScratchFolder;

#if defined(_WIN32)
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

// Must run first: the log as the library is loaded, before any test changes it. Only DLLStart,
// from the settings, switches it on.
TEST(LogTest, IsOffUntilTheSettingsSwitchItOn) {
  EXPECT_TRUE(kLogAvailable) << "the default build has the log";
  EXPECT_FALSE(AddOnLog().Enabled);
  EXPECT_EQ(AddOnLog().FilePath, "Velkaro.log");
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = AddOnLog().FilePath;
    saved_enabled_ = AddOnLog().Enabled;
    AddOnLog().FilePath = folder_.path() + "Velkaro.log";
    AddOnLog().Enabled = true;
    AddOnLog().RepeatLimit = kUnlimited;  // these tests write many lines of one kind
    ResetLog();
  }
  void TearDown() override {
    AddOnLog().FilePath = saved_path_;
    AddOnLog().Enabled = saved_enabled_;
    AddOnLog().RepeatLimit = kLogRepeatLimit;
  }
  static constexpr int kUnlimited = 1 << 30;
  std::string Contents() const { return ReadWholeFile(AddOnLog().FilePath); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    const std::string text = Contents();
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(kLineEnd, start)) != std::string::npos;
         start = end + std::strlen(kLineEnd)) {
      lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "the file ends with a line end";
    return lines;
  }

  ScratchFolder folder_;

 private:
  std::string saved_path_;
  bool saved_enabled_ = false;
};

const std::regex kStamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");

TEST_F(LogFileTest, EveryEntryIsOneLineOfTimestampArrowAndText) {
  ::testing::internal::CaptureStdout();
  LogMessage("Zelm Socket: WSA Error code %d: %s", 10054, "reset by peer");
  LogMessage("Create SocketServe thread OK!\n");
  LogMessage("\nSimConnect Connected");
  LogMessage("Aircraft config %s cannot be opened", "C:\\a\r\nb.cfg");
  LogMessage("%s", "100% sure, %d stays as it is");
  const std::string console = ::testing::internal::GetCapturedStdout();

  const std::vector<std::string> lines = Lines();
  const std::vector<std::string> expected_text = {
      "Zelm Socket: WSA Error code 10054: reset by peer", "Create SocketServe thread OK!",
      "SimConnect Connected",
      "Aircraft config C:\\a  b.cfg cannot be opened",  // a text from outside cannot add a line
      "100% sure, %d stays as it is"};
  ASSERT_EQ(lines.size(), expected_text.size()) << Contents();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    ASSERT_GE(lines[i].size(), 27u);
    EXPECT_TRUE(std::regex_match(lines[i].substr(0, 24), kStamp));
    EXPECT_EQ(lines[i].substr(24, 3), "-->");
    EXPECT_EQ(lines[i].substr(27), expected_text[i]);
  }
  std::string expected_console;
  for (const std::string& text : expected_text) expected_console += text + "\n";
  EXPECT_EQ(console, expected_console);
}

TEST_F(LogFileTest, TimestampHasEnglishNamesAndATwoDigitDay) {
  char stamp[25];
  FormatLogTimestamp(0, 11, 6, 14, 56, 29, 2026, stamp);
  EXPECT_STREQ(stamp, "Sun Dec 06 14:56:29 2026");
  FormatLogTimestamp(3, 0, 31, 0, 0, 5, 1999, stamp);
  EXPECT_STREQ(stamp, "Wed Jan 31 00:00:05 1999");
}

TEST_F(LogFileTest, MessagesAreKeptWholeUpTo2047CharactersAndCutBeyond) {
  const std::string longest(2047, 'x');
  const std::string longer(5000, 'y');
  ::testing::internal::CaptureStdout();
  LogMessage("%s", longest.c_str());
  LogMessage("%s", longer.c_str());
  ::testing::internal::GetCapturedStdout();
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(27), longest);
  EXPECT_EQ(lines[1].substr(27), std::string(2047, 'y'));
}

TEST_F(LogFileTest, ResetEmptiesTheFile) {
  ::testing::internal::CaptureStdout();
  LogMessage("before");
  ResetLog();
  LogMessage("after");
  ::testing::internal::GetCapturedStdout();
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(27), "after");
}

TEST_F(LogFileTest, EntriesOfConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 200;
  ::testing::internal::CaptureStdout();
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      const std::string text(100 + 50 * t, static_cast<char>('a' + t));
      for (int i = 0; i < kEntries; ++i) LogMessage("%d:%s", t, text.c_str());
    });
  }
  for (std::thread& w : writers) w.join();
  ::testing::internal::GetCapturedStdout();
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEntries));
  for (const std::string& line : lines) {
    ASSERT_GE(line.size(), 29u);
    const int t = line[27] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line.substr(28), ":" + std::string(100 + 50 * t, static_cast<char>('a' + t)));
  }
}

// What Reset does with whatever is at the log's path: it never waits, writes only a regular file,
// and empties only a file of its own (or an empty one); someone else's file is left as it is and
// the log goes beside it.
TEST_F(LogFileTest, ResetUsesOnlyARegularFileOfItsOwnAndNeverWaits) {
  const std::string kLogLine = "Sun Dec 06 14:56:29 2026-->Velkaro 1.0 started\n";
  const std::string kNotes = "[server]\nport = 5193\n";
  struct Row {
    const char* name;
    // Makes what is at the path in `folder` and returns the path.
    std::function<std::string(const ScratchFolder& folder)> make;
    bool enabled;
    const char* used;     // the file written, relative to the path asked for ("" for itself)
    const char* warning;  // a regular expression; empty for no warning
  };
  const std::vector<Row> rows = {
    {"missing", [](const ScratchFolder& f) { return f.path() + "new.log"; }, true, "", ""},
    {"an earlier log", [&](const ScratchFolder& f) { return f.Write("old.log", kLogLine); }, true,
     "", ""},
    {"an empty file", [](const ScratchFolder& f) { return f.Write("empty.log", ""); }, true, "",
     ""},
    {"someone else's file", [&](const ScratchFolder& f) { return f.Write("Velkaro.ini", kNotes); },
     true, ".1",
     "the log file .*Velkaro\\.ini holds something other than a log and is left as it is; the "
     "log is written to .*Velkaro\\.ini\\.1"},
    {"someone else's file, with an earlier log beside it",
     [&](const ScratchFolder& f) {
       f.Write("notes.txt.1", kLogLine);
       return f.Write("notes.txt", kNotes);
     },
     true, ".1", "the log file .*notes\\.txt holds something other than a log.*"},
    {"someone else's file twice",
     [&](const ScratchFolder& f) {
       f.Write("notes.txt.1", "more notes\n");
       return f.Write("notes.txt", kNotes);
     },
     false, "",
     "the log file .*notes\\.txt holds something other than a log and is left as it is, and so "
     "is .*notes\\.txt\\.1; the log is off"},
    {"a file that looks like a log only at first sight",
     [](const ScratchFolder& f) {
       return f.Write("almost.log", "Sun Dec 06 14:56:29 2026 -- Velkaro started\n");
     },
     true, ".1", ".*holds something other than a log.*"},
    {"a folder",
     [](const ScratchFolder& f) {
       std::filesystem::create_directory(f.path() + "folder.log");
       return f.path() + "folder.log";
     },
     false, "", "the log file .*folder\\.log .*; the log is off"},
    {"a missing folder", [](const ScratchFolder& f) { return f.path() + "none/Velkaro.log"; },
     false, "", "the log file .*Velkaro\\.log cannot be created: error [0-9]+, .+; the log is off"},
#if !defined(_WIN32)
    // Opening a FIFO for writing would wait for a reader for ever.
    {"a FIFO",
     [](const ScratchFolder& f) {
       const std::string path = f.path() + "fifo.log";
       EXPECT_EQ(mkfifo(path.c_str(), 0644), 0);
       return path;
     },
     false, "", "the log file .*fifo\\.log is not a regular file; the log is off"},
    {"a device that takes nothing", [](const ScratchFolder&) { return std::string("/dev/full"); },
     false, "", "the log file /dev/full is not a regular file; the log is off"},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ScratchFolder folder;
    const std::string path = row.make(folder);
    const bool was_file = std::filesystem::is_regular_file(path);
    const std::string before = was_file ? ReadWholeFile(path) : "";
    AddOnLog().Enabled = true;
    AddOnLog().FilePath = path;
    const std::string warning = ResetLog();
    if (*row.warning == '\0') {
      EXPECT_EQ(warning, "");
    } else {
      EXPECT_TRUE(std::regex_match(warning, std::regex(row.warning))) << warning;
    }
    EXPECT_EQ(AddOnLog().Enabled, row.enabled);
    if (row.enabled) {
      EXPECT_EQ(AddOnLog().FilePath, path + row.used);
      ::testing::internal::CaptureStdout();
      LogMessage("written");
      ::testing::internal::GetCapturedStdout();
      const std::string log = ReadWholeFile(AddOnLog().FilePath);
      EXPECT_EQ(log.substr(std::min<std::size_t>(log.size(), 27)),
                std::string("written") + kLineEnd);
    } else {
      EXPECT_EQ(AddOnLog().FilePath, path);
    }
    if (was_file && (*row.used != '\0' || !row.enabled)) {
      EXPECT_EQ(ReadWholeFile(path), before) << "left as it was";
    }
  }
}

TEST_F(LogFileTest, AFileThatCannotBeCreatedSwitchesLoggingOffForGood) {
  AddOnLog().FilePath = folder_.path() + "missing-folder/Velkaro.log";
  ResetLog();
  EXPECT_FALSE(AddOnLog().Enabled);
  AddOnLog().FilePath = folder_.path() + "Velkaro.log";
  ResetLog();  // does not switch it on again
  EXPECT_FALSE(AddOnLog().Enabled);
}

// A failed write is reported once, whatever number of entries fail; writing goes on, and entries
// are written again once the file can be.
TEST_F(LogFileTest, AFailedWriteIsReportedOnceAndTheLogGoesOn) {
  DiagnosticLog log;
  std::vector<std::string> reports;
  log.OnWriteFailure = [](void* context, const std::string& warning) {
    static_cast<std::vector<std::string>*>(context)->push_back(warning);
  };
  log.OnWriteFailureContext = &reports;
  log.Enabled = true;
  log.FilePath = folder_.path() + "gone/Velkaro.log";
  std::filesystem::create_directory(folder_.path() + "gone");
  EXPECT_EQ(log.Reset(), "");
  std::filesystem::remove_all(folder_.path() + "gone");  // as a disk taken away
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) log.Write("entry %d", i);
  std::filesystem::create_directory(folder_.path() + "gone");
  log.Write("back");
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      reports[0], std::regex("the log file .*Velkaro\\.log cannot be opened: error [0-9]+, .+; its "
                             "entries are dropped while this lasts")))
      << reports[0];
  EXPECT_EQ(ReadWholeFile(log.FilePath).substr(27), std::string("back") + kLineEnd);
}

#if !defined(_WIN32)
TEST_F(LogFileTest, AFifoPutInPlaceOfTheFileLaterIsReportedNotWaitedFor) {
  DiagnosticLog log;
  std::string report;
  log.OnWriteFailure = [](void* context, const std::string& warning) {
    *static_cast<std::string*>(context) = warning;
  };
  log.OnWriteFailureContext = &report;
  log.Enabled = true;
  log.FilePath = folder_.path() + "swapped.log";
  EXPECT_EQ(log.Reset(), "");
  // Replaced after the start: a FIFO, which would block a writer that waited for a reader.
  std::filesystem::remove(log.FilePath);
  ASSERT_EQ(mkfifo(log.FilePath.c_str(), 0644), 0);
  ::testing::internal::CaptureStdout();
  log.Write("entry");
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(
      std::regex_match(report, std::regex("the log file .*swapped\\.log (is no longer a regular "
                                          "file|cannot be opened: error [0-9]+, .+); its "
                                          "entries are dropped.*")))
      << report;
}
#endif

// At MaxBytes the file moves to "<path>.1", replacing the one before: the two hold the latest
// entries, whole, and neither grows past the bound by more than an entry.
TEST_F(LogFileTest, AtItsBoundTheFileMovesToItsPredecessorsPlace) {
  DiagnosticLog log;
  log.Enabled = true;
  log.FilePath = folder_.path() + "capped.log";
  log.MaxBytes = 4096;
  log.RepeatLimit = kUnlimited;
  folder_.Write("capped.log.1", "Sun Dec 06 14:56:29 2026-->an older log\n");
  EXPECT_EQ(log.Reset(), "");
  constexpr int kEntries = 500;  // of about 60 bytes: the file moves several times
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < kEntries; ++i) log.Write("entry %04d of a log that is written on and on", i);
  ::testing::internal::GetCapturedStdout();

  const std::string current = ReadWholeFile(log.FilePath);
  const std::string previous = ReadWholeFile(log.FilePath + ".1");
  EXPECT_LE(current.size(), log.MaxBytes);
  EXPECT_LE(previous.size(), log.MaxBytes);
  EXPECT_GT(previous.size(), log.MaxBytes - 100) << "moved only when full";
  // Together, the latest entries in order, with none missing between the two files.
  const std::regex entry("-->entry ([0-9]{4}) of a log");
  std::vector<int> numbers;
  const std::string both = previous + current;
  for (auto it = std::sregex_iterator(both.begin(), both.end(), entry);
       it != std::sregex_iterator(); ++it) {
    numbers.push_back(std::stoi((*it)[1]));
  }
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), kEntries - 1);
  for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
  EXPECT_TRUE(IsLogEntryStart(previous.data(), previous.size()));
}

// When "<path>.1" is someone else's file it is not replaced: the log starts again in place.
TEST_F(LogFileTest, AtItsBoundSomeoneElsesFileBesideItIsLeftAsItIs) {
  DiagnosticLog log;
  log.Enabled = true;
  log.FilePath = folder_.path() + "capped.log";
  log.MaxBytes = 4096;
  log.RepeatLimit = kUnlimited;
  const std::string notes = folder_.Write("capped.log.1", "notes of someone else\n");
  EXPECT_EQ(log.Reset(), "");
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 500; ++i) log.Write("entry %04d of a log that is written on and on", i);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadWholeFile(notes), "notes of someone else\n");
  const std::string current = ReadWholeFile(log.FilePath);
  EXPECT_LE(current.size(), log.MaxBytes);
  EXPECT_NE(current.find("entry 0499"), std::string::npos);
}

// Lines of one kind beyond the limit in a window are counted, not written; the next one written
// after the window says how many; other kinds are not held back meanwhile.
TEST_F(LogFileTest, RepeatedLinesAreCountedNotWritten) {
  DiagnosticLog log;
  log.Enabled = true;
  log.FilePath = folder_.path() + "flood.log";
  log.RepeatLimit = 5;
  log.RepeatWindowMs = 500;
  EXPECT_EQ(log.Reset(), "");
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 5000; ++i) {
    log.Write("Zelm Socket: refused connection from %s (not in allow)", "10.0.0.9");
    if (i % 1000 == 0) log.Write("Zelm Socket: ended client serving thread for %s", "127.0.0.1");
  }
  const std::size_t flooded = ReadWholeFile(log.FilePath).size();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  log.Write("Zelm Socket: refused connection from %s (not in allow)", "10.0.0.9");
  ::testing::internal::GetCapturedStdout();

  const std::string text = ReadWholeFile(log.FilePath);
  EXPECT_LT(flooded, 1024u) << "5000 repeated lines cost a few lines";
  auto count = [&text](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
      ++n;
    return n;
  };
  EXPECT_EQ(count("refused connection from 10.0.0.9 (not in allow)"), 6u);
  EXPECT_EQ(count("ended client serving thread for 127.0.0.1"), 5u);
  EXPECT_EQ(count("refused connection from 10.0.0.9 (not in allow) [4995 more like this "
                  "suppressed]" +
                  std::string(kLineEnd)),
            1u)
      << text;
}

TEST_F(LogFileTest, WhileOffNothingIsWrittenAnywhere) {
  AddOnLog().Enabled = false;
  AddOnLog().FilePath = folder_.path() + "off.log";
  ::testing::internal::CaptureStdout();
  ResetLog();
  LogMessage("not %s", "written");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(testing::FileExists(AddOnLog().FilePath));
}

}  // namespace
}  // namespace velkaro
