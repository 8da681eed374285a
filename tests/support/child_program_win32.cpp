#include <windows.h>

#include <atomic>

#include "host/addon_loader.h"
#include "support/child_program.h"

namespace velkaro::testing {

namespace {
// While a test interrupts a program, the Ctrl-C it sends reaches the test program too (it shares
// the program's console for the moment): that one is swallowed.
std::atomic<int> g_interrupting{0};
BOOL WINAPI SwallowInterrupt(DWORD event) {
  return event == CTRL_C_EVENT && g_interrupting.load() > 0;
}
}  // namespace

ChildProgram::ChildProgram(const std::string& name, const std::vector<std::string>& arguments,
                           const std::string& output_path) {
  std::string command = "\"";
  command.append(standin::ProgramFolder()).append(name).append(".exe\"");
  for (const std::string& a : arguments) command.append(" \"").append(a).append("\"");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE output = CreateFileA(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  // A console of its own, so that a Ctrl-C can be sent to it alone (and a test run without a
  // console, as under ctest, can send one at all).
  started_ = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE,
                            nullptr, nullptr, &startup, &info) != 0;
  CloseHandle(output);
  if (!started_) return;
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  process_id_ = info.dwProcessId;
}

ChildProgram::~ChildProgram() {
  if (!started_) return;
  if (!ended_) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, INFINITE);
  }
  CloseHandle(process_);
}

bool ChildProgram::Interrupt() {
  if (!started_ || ended_) return false;
  static const bool swallowing = SetConsoleCtrlHandler(SwallowInterrupt, TRUE) != 0;
  if (!swallowing) return false;
  // Ctrl-C goes to every process of a console: join the program's for the moment and send it.
  ++g_interrupting;
  FreeConsole();
  bool sent = AttachConsole(process_id_) && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  Sleep(200);  // the event reaches this process too, on a thread of its own
  FreeConsole();
  AttachConsole(ATTACH_PARENT_PROCESS);
  --g_interrupting;
  return sent;
}

int ChildProgram::Wait(std::chrono::milliseconds limit) {
  if (!started_) return -1;
  if (WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return -1;
  ended_ = true;
  DWORD status = 0;
  GetExitCodeProcess(process_, &status);
  return static_cast<int>(status);
}

}  // namespace velkaro::testing
