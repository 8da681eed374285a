// Test support: a program built beside the tests, run in the background so that a test can
// interrupt it as a user at the console would (Ctrl-C) and bound how long it takes to end. One
// implementation file per system.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace velkaro::testing {

class ChildProgram {
 public:
  // Starts `name` (e.g. "zelm") with `arguments`, its standard output and error into
  // `output_path`.
  ChildProgram(const std::string& name, const std::vector<std::string>& arguments,
               const std::string& output_path);
  // Ends the program if it still runs.
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool started() const { return started_; }
  // Ctrl-C as at the program's console: SIGINT on POSIX systems; on Windows a Ctrl-C event to
  // the console of its own that the program runs in. False when it could not be delivered.
  bool Interrupt();
  // Waits at most `limit` for the program to end: its exit status, or -1 when it still runs.
  int Wait(std::chrono::milliseconds limit);

 private:
  bool started_ = false;
  bool ended_ = false;
#if defined(_WIN32)
  void* process_ = nullptr;
  unsigned long process_id_ = 0;
#else
  int pid_ = -1;
#endif
};

}  // namespace velkaro::testing
