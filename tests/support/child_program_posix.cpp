#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "host/addon_loader.h"
#include "support/child_program.h"

namespace velkaro::testing {

ChildProgram::ChildProgram(const std::string& name, const std::vector<std::string>& arguments,
                           const std::string& output_path) {
  const std::string program = standin::ProgramFolder() + name;
  std::vector<std::string> words = {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(output);
  started_ = pid_ > 0;
}

ChildProgram::~ChildProgram() {
  if (started_ && !ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ChildProgram::Interrupt() {
  return started_ && !ended_ && kill(pid_, SIGINT) == 0;
}

int ChildProgram::Wait(std::chrono::milliseconds limit) {
  if (!started_) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace velkaro::testing
