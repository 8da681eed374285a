// What the add-on and its programs ask of the operating system beyond sockets, threads, time and
// files: the last error and its text, and the two console settings of a command-line tool. One
// implementation file per system is chosen by the build.
//
// Thread-safety: every function may be called from any thread; IgnoreBrokenPipe changes the
// whole process and belongs at the start of main.
#pragma once

#include <cstdio>
#include <string>

namespace velkaro::platform {

// The calling thread's last system error code (GetLastError / errno).
int LastSystemError();

// The system's message text for a system or socket error code (LastSystemError,
// LastSocketError), as 8-bit text in the system's code page. The text ends without a line end,
// trailing blanks or a closing full stop, so callers can write it into a sentence of their own; it
// is empty when the system has no text for the code.
std::string SystemErrorText(int code);

// True when `stream` writes to a terminal (a console on Windows) rather than a file or a pipe.
bool IsTerminal(std::FILE* stream);

// Makes a write to a pipe or socket whose reader is gone fail with an error instead of ending the
// process (SIGPIPE on POSIX systems; Windows has no such signal).
void IgnoreBrokenPipe();

}  // namespace velkaro::platform
