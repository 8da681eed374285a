// The diagnostic log: entry layout, verbatim text, length limit, concurrent writers, and that
// nothing at all is written while it is off.
#include "log/log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_files.h"

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
    ResetLog();
  }
  void TearDown() override {
    AddOnLog().FilePath = saved_path_;
    AddOnLog().Enabled = saved_enabled_;
  }
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

TEST_F(LogFileTest, EntriesAreTimestampArrowTextAndOneAddedLineFeed) {
  ::testing::internal::CaptureStdout();
  LogMessage("Zelm Socket: WSA Error code %d: %s", 10054, "reset by peer");
  LogMessage("Create SocketServe thread OK!\n");
  LogMessage("\nSimConnect Connected");
  LogMessage("%s", "100% sure, %d stays as it is");
  const std::string console = ::testing::internal::GetCapturedStdout();

  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 6u);
  const std::vector<std::string> expected_text = {
      "Zelm Socket: WSA Error code 10054: reset by peer",
      "Create SocketServe thread OK!",
      "",  // the message's own line feed leaves an empty line
      "",  // the stamp and arrow alone: the text starts with a line feed
      "SimConnect Connected",
      "100% sure, %d stays as it is"};
  const bool stamped[] = {true, true, false, true, false, true};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    if (stamped[i]) {
      ASSERT_GE(lines[i].size(), 27u);
      EXPECT_TRUE(std::regex_match(lines[i].substr(0, 24), kStamp));
      EXPECT_EQ(lines[i].substr(24, 3), "-->");
      EXPECT_EQ(lines[i].substr(27), expected_text[i]);
    } else {
      EXPECT_EQ(lines[i], expected_text[i]);
    }
  }
  EXPECT_EQ(console,
            "Zelm Socket: WSA Error code 10054: reset by peer\n"
            "Create SocketServe thread OK!\n\n"
            "\nSimConnect Connected\n"
            "100% sure, %d stays as it is\n");
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

TEST_F(LogFileTest, AFileThatCannotBeCreatedSwitchesLoggingOffForGood) {
  AddOnLog().FilePath = folder_.path() + "missing-folder/Velkaro.log";
  ResetLog();
  EXPECT_FALSE(AddOnLog().Enabled);
  AddOnLog().FilePath = folder_.path() + "Velkaro.log";
  ResetLog();  // does not switch it on again
  EXPECT_FALSE(AddOnLog().Enabled);
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
