// The diagnostic log: one timestamped line per notable event (start-up, the server, client
// threads, failures with the system's code and text). It is off unless Velkaro.ini switches it on
// ([log] enabled = true); it is then written to [log] path, "Velkaro.log" in the add-on's folder
// unless said otherwise. While it is off both operations do nothing at all. A build with
// VELKARO_WITH_LOG=OFF leaves the log out altogether (kLogAvailable false): nothing switches it on.
//
// The log is written for the day something goes wrong inside someone else's process, so it may
// not harm that process or the files around it:
//   - Only a regular file is ever written, and opening it never waits: a path naming a pipe, a
//     device or a folder leaves the log off (Reset says why).
//   - A file that is there and does not start with a log entry (someone else's file) is left as
//     it is: the log goes to "<path>.1" beside it instead.
//   - The file is bounded: an entry that would take it past MaxBytes first moves it to
//     "<path>.1" (replacing the one before), so the log and its predecessor take about twice
//     MaxBytes at most.
//   - Lines of one kind (one format text) beyond RepeatLimit within RepeatWindowMs are dropped
//     and counted; the next line of that kind to be written says how many were.
//   - Every entry is one line: line feeds inside a message are written as spaces.
//   - A write that fails (a full disk) is reported once through OnWriteFailure; the log goes on
//     trying, each entry that cannot be written being dropped.
//
// Thread-safety: LogMessage may be called from any thread at any time after ResetLog; each entry
// is appended whole, so entries of concurrent calls never interleave. DLLStart sets the log's
// settings and runs ResetLog before the add-on starts a thread of its own. A call does bounded
// work and takes no memory from the heap (except the one failure report and the rare move to
// "<path>.1"); the only lock it takes is held for a few comparisons, never across a write.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mutex.h"

namespace velkaro {

// Largest formatted message; longer ones are cut to this many characters.
inline constexpr int kLogMessageMaxChars = 2047;

#if defined(VELKARO_LOG_LEFT_OUT)
inline constexpr bool kLogAvailable = false;
#else
inline constexpr bool kLogAvailable = true;
#endif

// The bound on the log file unless the settings' [log] max_size says otherwise.
inline constexpr std::uint64_t kLogDefaultMaxBytes = 10 * 1024 * 1024;

// Lines of one kind written within a window; the rest of the window's are counted, not written.
// A flood of refused connections then costs about kLogRepeatLimit lines a minute.
inline constexpr int kLogRepeatLimit = 20;
inline constexpr int kLogRepeatWindowMs = 60 * 1000;
// Kinds of line the repeat count follows; a kind beyond them is not limited (the add-on has far
// fewer).
inline constexpr std::size_t kLogRepeatKinds = 64;

// One log file. The add-on has one (AddOnLog()); tests make their own.
class DiagnosticLog {
 public:
  DiagnosticLog() = default;
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  // Written before any thread of the add-on's exists, then only read.
  bool Enabled = false;
  std::string FilePath = "Velkaro.log";
  std::uint64_t MaxBytes = kLogDefaultMaxBytes;
  int RepeatLimit = kLogRepeatLimit;
  int RepeatWindowMs = kLogRepeatWindowMs;
  // Told, once after each Reset, that an entry could not be written and why (a warning for the
  // status, naming the file). Called on the writing thread, which may be any; it must not throw.
  void (*OnWriteFailure)(void* context, const std::string& warning) = nullptr;
  void* OnWriteFailureContext = nullptr;

  // Appends "<24-character local time>--><formatted text>\n" to the log file and writes the
  // text and its line feed to standard output. Failures are swallowed: the entry is then
  // dropped. Nothing at all happens while the log is off.
#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  Write(const char* format, ...);
  void WriteV(const char* format, std::va_list args);

  // Prepares the log file at start-up: the file at FilePath is emptied, or created. When that
  // file is someone else's (it holds something other than log entries), FilePath becomes
  // "<FilePath>.1", which is used instead. When no file can be used (none can be created, the
  // path names something other than a regular file), logging is off for good. The result is
  // a warning naming the file and saying what was done, empty when there is nothing to say.
  std::string Reset();

 private:
  struct RepeatCount {
    const char* kind = nullptr;  // the line's format text
    std::int64_t window_start = 0;
    int written = 0;
    std::uint32_t dropped = 0;
  };

  // Whether a line of `kind` is written now; `*dropped_before` receives the count of its kind
  // dropped since the last one written.
  bool Admit(const char* kind, std::uint32_t* dropped_before);
  // Makes room for an entry of `length` bytes under MaxBytes.
  void KeepUnderCap(std::size_t length);
  void ReportFailure(const char* what, int system_error) noexcept;

  std::atomic<std::uint64_t> file_bytes_{0};  // the size of the file, as this log has written it
  std::atomic<bool> failure_reported_{false};
  platform::Mutex repeat_lock_;
  RepeatCount repeats_[kLogRepeatKinds] VELKARO_GUARDED_BY(repeat_lock_);
};

// For a log line about something that may repeat every frame or every connection: First() is
// true for the first caller only, until Rearm(). Any thread.
class LogOnce {
 public:
  bool First() noexcept { return !done_.exchange(true, std::memory_order_relaxed); }
  void Rearm() noexcept { done_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> done_{false};
};

// The add-on's own log: one per process, from library load to unload. DLLStart sets it up (its
// settings, then Reset) before the add-on starts a thread of its own; afterwards it is only read
// and written to.
DiagnosticLog& AddOnLog();

// Write and Reset of AddOnLog().
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void LogMessage(const char* format, ...);
std::string ResetLog();

// True when `text` starts with what every entry starts with: a timestamp of FormatLogTimestamp's
// layout and "-->". This is how the log knows a file of its own.
bool IsLogEntryStart(const char* text, std::size_t length);

// The 24-character timestamp of an entry for a local time, e.g. "Sun Dec 06 14:56:29 2026"
// (English names, day of month always two digits). `out` receives 24 characters and a NUL.
void FormatLogTimestamp(int weekday, int month, int day, int hour, int minute, int second, int year,
                        char out[25]);

}  // namespace velkaro
