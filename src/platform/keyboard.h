// Single keys from the console, for a program that takes commands as keys while it runs (zelm
// replay: space, s, q): while a Keyboard exists, standard input that is a terminal (a console on
// Windows) delivers each key as it is pressed, without echo and without waiting for Enter; Ctrl-C
// still interrupts the program as usual. The terminal's previous mode is put back when the
// Keyboard goes. One implementation file per system; for programs, not the add-on.
//
// Thread-safety: one thread creates, reads and destroys a Keyboard.
#pragma once

#include <memory>

namespace velkaro::platform {

class Keyboard {
 public:
  // Takes the terminal over when standard input is one; otherwise does nothing (active() false).
  Keyboard();
  ~Keyboard();
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  // Standard input is a terminal and delivers keys one by one.
  bool active() const { return active_; }

  // The next key pressed, as its character (a byte; keys without one, such as the arrows, are
  // passed over), waiting at most `milliseconds`; -1 when none came (or the Keyboard is not
  // active, which then waits the whole time).
  int ReadKey(int milliseconds);

 private:
  struct SavedMode;  // the terminal's mode before, put back at the end
  bool active_ = false;
  std::unique_ptr<SavedMode> saved_;
};

}  // namespace velkaro::platform
