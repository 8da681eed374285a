// The platform's system services: error texts that fit into a sentence of the caller's, the
// running module's own path whatever the current directory, paths taken from a folder, a
// terminal told apart from a file, a write to a pipe nobody reads that fails instead of ending
// the program, and the priority of the add-on's threads.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "host/addon_loader.h"
#include "platform/thread.h"
#include "support/test_files.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winsock2.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace velkaro::platform {
namespace {

TEST(SystemErrorTextTest, TextsEndWithoutLineEndBlankOrFullStop) {
  struct Row {
    const char* what;
    int code;
  };
  const Row rows[] = {
#if defined(_WIN32)
    {"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
    {"ERROR_MOD_NOT_FOUND", ERROR_MOD_NOT_FOUND},
    {"ERROR_BAD_EXE_FORMAT (a text with an insert)", ERROR_BAD_EXE_FORMAT},
    {"WSAECONNRESET", WSAECONNRESET},
    {"WSAECONNREFUSED", WSAECONNREFUSED},
#else
    {"ENOENT", ENOENT},
    {"EPIPE", EPIPE},
    {"ECONNRESET", ECONNRESET},
    {"ECONNREFUSED", ECONNREFUSED},
#endif
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string text = SystemErrorText(r.code);
    ASSERT_FALSE(text.empty());
    const char last = text.back();
    EXPECT_NE(last, '\n') << text;
    EXPECT_NE(last, '\r') << text;
    EXPECT_NE(last, ' ') << text;
    EXPECT_NE(last, '.') << text;
  }
}

// Linked into this program, the module is the program: found from the code's own address, not
// from the current directory (nor from the name the program was started by).
TEST(OwnModulePathTest, IsTheModuleFileWhateverTheCurrentDirectory) {
  const std::filesystem::path before = std::filesystem::current_path();
  testing::ScratchFolder elsewhere;
  std::filesystem::current_path(elsewhere.path());
  const std::string path = OwnModulePath();
  std::filesystem::current_path(before);
  EXPECT_EQ(FolderOf(path), standin::ProgramFolder());
  EXPECT_NE(path.find("system_test"), std::string::npos) << path;
  EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
}

TEST(PathFromTest, RelativePathsAreTakenFromTheFolder) {
  struct Row {
    const char* path;
    const char* expected;
  };
#if defined(_WIN32)
  const char* folder = "C:\\FSX\\Modules\\";
  const Row rows[] = {
      {"Velkaro.log", "C:\\FSX\\Modules\\Velkaro.log"},
      {"logs\\v.log", "C:\\FSX\\Modules\\logs\\v.log"},
      {"D:\\logs\\v.log", "D:\\logs\\v.log"},
      {"\\\\server\\share\\v.log", "\\\\server\\share\\v.log"},
      {"/logs/v.log", "/logs/v.log"},
  };
  EXPECT_EQ(FolderOf("C:\\FSX\\Modules\\Velkaro.dll"), folder);
  EXPECT_EQ(FolderOf("C:/FSX/Velkaro.dll"), "C:/FSX/");
#else
  const char* folder = "/sim/Modules/";
  const Row rows[] = {
      {"Velkaro.log", "/sim/Modules/Velkaro.log"},
      {"logs/v.log", "/sim/Modules/logs/v.log"},
      {"/var/log/v.log", "/var/log/v.log"},
  };
  EXPECT_EQ(FolderOf("/sim/Modules/Velkaro.so"), folder);
#endif
  EXPECT_EQ(FolderOf("Velkaro.so"), "");
  for (const Row& row : rows) EXPECT_EQ(PathFrom(folder, row.path), row.expected) << row.path;
}

TEST(IsTerminalTest, AFileIsNotATerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(file));
  std::fclose(file);
}

#if !defined(_WIN32)
TEST(IsTerminalTest, APseudoTerminalIsOne) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminals here";
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const char* name = ptsname(master);
  ASSERT_NE(name, nullptr);
  std::FILE* terminal = std::fopen(name, "w");
  ASSERT_NE(terminal, nullptr);
  EXPECT_TRUE(IsTerminal(terminal));
  std::fclose(terminal);
  close(master);
}
#endif

TEST(IgnoreBrokenPipeTest, AWriteToAPipeWithoutReaderFails) {
  IgnoreBrokenPipe();
  int ends[2];
#if defined(_WIN32)
  ASSERT_EQ(_pipe(ends, 256, _O_BINARY), 0);
  _close(ends[0]);
  EXPECT_EQ(_write(ends[1], "x", 1), -1);
  _close(ends[1]);
#else
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  // Without IgnoreBrokenPipe the signal would end this program here.
  EXPECT_EQ(write(ends[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(ends[1]);
#endif
}

#if defined(_WIN32)
// Sessions and the waker must not lose the processor to every busy program on the machine:
// they give up only the boost a woken thread gets (which Wine does not show), not their
// priority.
TEST(ThreadPriorityTest, AThreadThatYieldsOnWakeKeepsNormalPriority) {
  int priority = THREAD_PRIORITY_ERROR_RETURN;
  std::thread([&] {
    YieldToOtherThreadsOnWake();
    priority = GetThreadPriority(GetCurrentThread());
  }).join();
  EXPECT_EQ(priority, THREAD_PRIORITY_NORMAL);
}
#endif

}  // namespace
}  // namespace velkaro::platform
