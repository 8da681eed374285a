#include "support/addon_harness.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "platform/path_text.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "support/test_files.h"

namespace velkaro::testing {

namespace {
AddOnHarness* loaded = nullptr;
}  // namespace

AddOnHarness& AddOnHarness::Instance() {
  if (loaded == nullptr) loaded = new AddOnHarness(standin::DefaultAddOnPath());
  return *loaded;
}

AddOnHarness& AddOnHarness::Copy(const std::string& name) {
  if (loaded != nullptr) return *loaded;
  namespace fs = std::filesystem;
  const fs::path built = platform::PathFromUtf8(standin::ProgramFolder());
  const fs::path folder = built / "copied-addons" / platform::PathFromUtf8(name);
  // A fresh copy every time (MinGW's copy does not overwrite an existing file).
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder);
  const auto options = fs::copy_options::recursive;
#if defined(_WIN32)
  // The add-on binds to the SimConnect assembly in its own folder.
  const char* kFiles[] = {"Velkaro.dll", "Microsoft.FlightSimulator.SimConnect"};
#else
  const char* kFiles[] = {"Velkaro.so", "libSimConnect.so"};
#endif
  for (const char* file : kFiles) fs::copy(built / file, folder / file, options);
  loaded = new AddOnHarness(platform::Utf8FromPath(folder / kFiles[0]));
  return *loaded;
}

AddOnHarness::AddOnHarness(const std::string& path) {
  // The add-on's WSACleanup lowers the process-wide count; the tests hold their own start-up.
  platform::SocketsStartup();
  std::string error;
  if (!standin::LoadAddOn(path, &addon_, &error)) {
    std::fprintf(stderr, "cannot load the add-on: %s\n", error.c_str());
    std::abort();
  }
}

std::string AddOnHarness::folder() const {
  return platform::FolderOf(
      platform::Utf8FromPath(std::filesystem::absolute(platform::PathFromUtf8(addon_.path))));
}

void AddOnHarness::WriteSettings(const std::string& ini) const {
  const std::string file = folder() + "Velkaro.ini";
  if (ini.empty()) {
    std::error_code ignored;
    std::filesystem::remove(platform::PathFromUtf8(file), ignored);
    return;
  }
  WriteWholeFile(file, ini);
}

void AddOnHarness::Start(bool simconnect_opens) {
  sim().Reset();
  sim().SetOpenFails(simconnect_opens ? 0 : 1);
  sim().SetAircraftPath(standin::DefaultAircraftPath().c_str());
  addon_.Start();
  started_ = true;
  sim().RaiseSimStart();
}

void AddOnHarness::Stop() {
  if (!started_) return;
  addon_.Stop();
  started_ = false;
}

void AddOnHarness::Frames(int count, double seconds) {
  for (int i = 0; i < count; ++i) sim().Step(seconds);
}

std::vector<StandInCall> AddOnHarness::Calls(std::string_view function) const {
  std::vector<StandInCall> calls;
  const int count = sim().CallCount();
  for (int i = 0; i < count; ++i) {
    StandInCall call;
    if (sim().GetCall(i, &call) && (function.empty() || function == call.function)) {
      calls.push_back(call);
    }
  }
  return calls;
}

std::unique_ptr<zelm::Connection> ConnectToAddOn(int timeout_ms) {
  std::string error;
  std::unique_ptr<zelm::Connection> connection;
  WaitUntil([&] {
    connection = zelm::Connection::Open("127.0.0.1", 5193, &error, timeout_ms);
    return connection != nullptr;
  });
  EXPECT_NE(connection, nullptr) << error;
  return connection;
}

int RunProgram(const std::string& name, const std::string& arguments, std::string* output) {
#if defined(_WIN32)
  const std::string program = standin::ProgramFolder() + name + ".exe";
#else
  const std::string program = standin::ProgramFolder() + name;
#endif
  const std::string capture =
      output != nullptr ? ScratchFolder::SharedPath("program-output.txt") : "";
  std::string command = "\"" + program + "\" " + arguments;
  if (output != nullptr) command += " > \"" + capture + "\" 2>&1";
#if defined(_WIN32)
  command = "\"" + command + "\"";  // cmd /c takes the whole line in quotes
  // In UTF-16: the narrow call would pass the line through the system's code page. -1 is the
  // command interpreter itself failing to start, which Wine on a loaded machine now and then
  // does: that says nothing of the program, so it is tried again a few times.
  int status = -1;
  int start_error = 0;
  for (int attempt = 0; attempt < 3 && status == -1; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    errno = 0;
    status = _wsystem(platform::PathFromUtf8(command).c_str());
    start_error = errno;
  }
  if (status == -1 && output != nullptr) {
    *output = "the command interpreter could not be started: " +
              std::string(std::strerror(start_error)) + "\n";
    return status;
  }
#else
  const int status = std::system(command.c_str());
#endif
  if (output != nullptr) *output = ReadWholeFile(capture);
#if defined(_WIN32)
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace velkaro::testing
