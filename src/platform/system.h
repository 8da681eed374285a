// What the add-on and its programs ask of the operating system beyond sockets, threads, time and
// files: the last error and its text, where the running module lies, paths and text encodings,
// and the console settings of a command-line tool. One implementation file per system is chosen
// by the build.
//
// Thread-safety: every function may be called from any thread; IgnoreBrokenPipe and
// InstallInterruptHandler change the whole process and belong at the start of main.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace velkaro::platform {

// The calling thread's last system error code (GetLastError / errno).
int LastSystemError();

// The system's message text for a system or socket error code (LastSystemError,
// LastSocketError), in UTF-8. The text ends without a line end,
// trailing blanks or a closing full stop, so callers can write it into a sentence of their own; it
// is empty when the system has no text for the code.
std::string SystemErrorText(int code);

// True for an error code (LastSystemError, or a file function's system_error) that says the file
// or one of its folders does not exist.
bool IsNotFoundError(int code);

// The text for a failed result of a system call that returns an HRESULT (SimConnect_Open's),
// trimmed as SystemErrorText's; empty when the system has none (always, outside Windows).
std::string ResultCodeText(std::int32_t result);

// The full path of the module whose code this is: the add-on's DLL or shared library when
// linked into the add-on, the program's file when linked into a program. It is found from an
// address inside the module (GetModuleHandleExW, dladdr), never from the current directory.
// In UTF-8, as every path the add-on and its programs hold; empty when the system cannot tell.
std::string OwnModulePath();

// The folder of a path, with its trailing separator ("C:\FSX\Modules\" for
// "C:\FSX\Modules\Velkaro.dll"); empty when the path names no folder.
std::string FolderOf(std::string_view path);
// `path` itself when it is absolute, otherwise `path` taken from `folder` (which ends with a
// separator).
std::string PathFrom(std::string_view folder, std::string_view path);

// Text in the system's 8-bit encoding (the ANSI code page on Windows, in which the simulator
// hands over paths and titles) as UTF-8, and back; a character the code page lacks becomes "?".
// Elsewhere the system's encoding is taken to be UTF-8 already and the text is returned as it is.
std::string SystemTextToUtf8(std::string_view text);
std::string Utf8ToSystemText(std::string_view text);

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

// Work that must be done even when a second Ctrl-C ends the process at once: `restore` (or
// nothing, for nullptr) is called there just before the end, on the handler's thread, and may
// only do what a signal handler may (a program that took the terminal over puts its mode back).
void SetInterruptExitWork(void (*restore)());

}  // namespace velkaro::platform
