#include "support/addon_harness.h"

#include <cstdlib>
#include <thread>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "platform/socket.h"
#include "support/test_files.h"

namespace velkaro::testing {

AddOnHarness& AddOnHarness::Instance() {
  static AddOnHarness* harness = new AddOnHarness;
  return *harness;
}

AddOnHarness::AddOnHarness() {
  // The add-on's WSACleanup lowers the process-wide count; the tests hold their own start-up.
  platform::SocketsStartup();
  std::string error;
  if (!standin::LoadAddOn(standin::DefaultAddOnPath(), &addon_, &error)) {
    std::fprintf(stderr, "cannot load the add-on: %s\n", error.c_str());
    std::abort();
  }
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
#endif
  const int status = std::system(command.c_str());
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
