#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/keyboard.h"
#include "platform/system.h"

namespace velkaro::platform {
namespace {
// The mode to put back should a second Ctrl-C end the program while a Keyboard has the terminal
// (tcsetattr may be called from a signal handler).
termios g_mode_before{};
void PutTerminalBack() {
  tcsetattr(STDIN_FILENO, TCSANOW, &g_mode_before);
}
}  // namespace

struct Keyboard::SavedMode {
  termios mode{};
};

Keyboard::Keyboard() {
  if (isatty(STDIN_FILENO) == 0) return;
  auto saved = std::make_unique<SavedMode>();
  if (tcgetattr(STDIN_FILENO, &saved->mode) != 0) return;
  // Keys one by one, unechoed; signals (Ctrl-C) as before.
  termios mode = saved->mode;
  mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  g_mode_before = saved->mode;
  SetInterruptExitWork(PutTerminalBack);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
    SetInterruptExitWork(nullptr);
    return;
  }
  saved_ = std::move(saved);
  active_ = true;
}

Keyboard::~Keyboard() {
  if (!active_) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_->mode);
  SetInterruptExitWork(nullptr);
}

int Keyboard::ReadKey(int milliseconds) {
  if (!active_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return -1;
  }
  pollfd input{STDIN_FILENO, POLLIN, 0};
  // Nothing, or a wait cut short by a signal (Ctrl-C, which the caller looks at).
  if (poll(&input, 1, milliseconds) <= 0) return -1;
  unsigned char key = 0;
  const ssize_t n = read(STDIN_FILENO, &key, 1);
  if (n == 1) return key;
  if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    // The terminal has gone (hung up): no more keys, and no wait cut short by it again.
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_->mode);
    SetInterruptExitWork(nullptr);
    active_ = false;
  }
  return -1;
}

}  // namespace velkaro::platform
