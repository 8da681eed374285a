// Where the add-on meets code that is not its own: the simulator calls DLLStart, DLLStop and the
// dispatch procedure, and the system runs the entry function of each thread the add-on starts.
// A C++ exception that crossed such a boundary would end the simulator's process
// (std::terminate). CatchAtBoundary runs one piece of work and stops every exception there: the
// work ends where it threw, its state is what the work left (each piece of work is written to
// leave the state it found, or a consistent one), a log line names the exception the first time,
// and the caller carries on.
//
// Thread-safety: any thread; a Boundary may be shared by threads.
#pragma once

#include <exception>
#include <utility>

#include "log/log.h"

namespace velkaro {

// One boundary: its name for the log line, and whether that line has been written.
class Boundary {
 public:
  explicit Boundary(const char* name) : name_(name) {}
  Boundary(const Boundary&) = delete;
  Boundary& operator=(const Boundary&) = delete;

  // Logs "<name>: exception caught (<what>)" for the first exception only; later ones are
  // stopped without a line, so one that repeats every frame cannot flood the log.
  void Report(const char* what) noexcept;
  // The next exception is logged again (a new start of the add-on).
  void Rearm() noexcept { logged_.Rearm(); }

 private:
  const char* name_;
  LogOnce logged_;
};

// Runs work(); true when it returned, false when an exception stopped it at `boundary`.
template <typename Work>
bool CatchAtBoundary(Boundary& boundary, Work&& work) noexcept {
  try {
    std::forward<Work>(work)();
    return true;
  } catch (const std::exception& exception) {
    boundary.Report(exception.what());
  } catch (...) {
    boundary.Report("not a standard exception");
  }
  return false;
}

}  // namespace velkaro
