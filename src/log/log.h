// The diagnostic log: one timestamped entry per notable event (start-up, the server, client
// threads, failures with the system's code and text). It is off unless Velkaro.ini switches it on
// ([log] enabled = true); it is then written to [log] path, "Velkaro.log" in the add-on's folder
// unless said otherwise. While it is off both operations do nothing at all. A build with
// VELKARO_WITH_LOG=OFF leaves the log out altogether (kLogAvailable false): nothing switches it on.
//
// Thread-safety: LogMessage may be called from any thread at any time after ResetLog; each entry
// is appended whole, so entries of concurrent calls never interleave. DLLStart sets the log's
// settings and runs ResetLog before the add-on starts a thread of its own.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>

namespace velkaro {

// Largest formatted message; longer ones are cut to this many characters.
inline constexpr int kLogMessageMaxChars = 2047;

#if defined(VELKARO_LOG_LEFT_OUT)
inline constexpr bool kLogAvailable = false;
#else
inline constexpr bool kLogAvailable = true;
#endif

// One log file. The add-on has one (AddOnLog()); tests make their own.
struct DiagnosticLog {
  // Written before any thread of the add-on's exists, then only read.
  bool Enabled = false;
  std::string FilePath = "Velkaro.log";

  // Appends "<24-character local time>--><formatted text>\n" to the log file and writes the
  // text and its line feed to standard output. Failures are swallowed: the entry is then
  // dropped. Nothing at all happens while the log is off.
#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  Write(const char* format, ...);
  void WriteV(const char* format, std::va_list args);

  // Empties the log file at start-up; when it cannot be created, logging is off for good and
  // the system's error code is the result (0 otherwise).
  int Reset();
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
int ResetLog();

// The 24-character timestamp of an entry for a local time, e.g. "Sun Dec 06 14:56:29 2026"
// (English names, day of month always two digits). `out` receives 24 characters and a NUL.
void FormatLogTimestamp(int weekday, int month, int day, int hour, int minute, int second, int year,
                        char out[25]);

}  // namespace velkaro
