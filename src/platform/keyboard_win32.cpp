#include <windows.h>

#include "platform/keyboard.h"
#include "platform/system.h"

namespace velkaro::platform {
namespace {
// The console's mode to put back should a second Ctrl-C end the program while a Keyboard has it.
HANDLE g_console_input = nullptr;
DWORD g_mode_before = 0;
void PutConsoleBack() {
  SetConsoleMode(g_console_input, g_mode_before);
}
}  // namespace

struct Keyboard::SavedMode {
  HANDLE input = nullptr;
  DWORD mode = 0;
};

Keyboard::Keyboard() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  // GetConsoleMode fails for a file or a pipe: only a console is taken over.
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
  // Keys one by one, unechoed; Ctrl-C still goes to the console handler (processed input).
  const DWORD keys =
      (mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT;
  g_console_input = input;
  g_mode_before = mode;
  SetInterruptExitWork(PutConsoleBack);
  if (!SetConsoleMode(input, keys)) {
    SetInterruptExitWork(nullptr);
    return;
  }
  saved_ = std::make_unique<SavedMode>(SavedMode{input, mode});
  active_ = true;
}

Keyboard::~Keyboard() {
  if (!active_) return;
  SetConsoleMode(saved_->input, saved_->mode);
  SetInterruptExitWork(nullptr);
}

int Keyboard::ReadKey(int milliseconds) {
  if (!active_) {
    Sleep(static_cast<DWORD>(milliseconds));
    return -1;
  }
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= until) return -1;
    if (WaitForSingleObject(saved_->input, static_cast<DWORD>(until - now)) != WAIT_OBJECT_0) {
      return -1;
    }
    // The console's input also carries mouse, focus and size events, and key releases: they are
    // read and passed over.
    INPUT_RECORD record{};
    DWORD read = 0;
    if (!ReadConsoleInputA(saved_->input, &record, 1, &read) || read == 0) return -1;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0) {
      return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
    }
  }
}

}  // namespace velkaro::platform
