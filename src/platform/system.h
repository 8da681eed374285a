// What the add-on and its programs ask of the operating system beyond sockets, threads, time and
// files: the last error and its text, and the console settings of a command-line tool. One
// implementation file per system is chosen by the build.
//
// Thread-safety: every function may be called from any thread; IgnoreBrokenPipe and
// InstallInterruptHandler change the whole process and belong at the start of main.
#pragma once

#include <atomic>
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

// Makes `stream` pass bytes through unchanged (Windows' C library otherwise writes each line feed
// as CR LF and reads CR LF as a line feed); nothing to do elsewhere. Before the first byte goes
// through the stream.
void SetBinaryMode(std::FILE* stream);

// Makes a terminal that `stream` writes to act on the cursor and erase sequences of ECMA-48
// ("\x1b[H", "\x1b[K"): on Windows its console is switched to take them, which consoles before
// Windows 10 cannot. False when the stream is not a terminal or its terminal cannot.
bool EnableTerminalControl(std::FILE* stream);

// Makes a write to a pipe or socket whose reader is gone fail with an error instead of ending the
// process (SIGPIPE on POSIX systems; Windows has no such signal).
void IgnoreBrokenPipe();

// Ctrl-C (SIGINT; on Windows Ctrl-C and Ctrl-Break at the console) sets `*interrupted`, for a
// program that polls it. A second one before the program has ended writes `message` and a line
// end to standard error and ends the process at once with status 1, whatever it is blocked in.
// Both must live until the process ends.
void InstallInterruptHandler(std::atomic<bool>* interrupted, const char* message);

}  // namespace velkaro::platform
