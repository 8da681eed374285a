#include "log/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/system.h"

namespace velkaro {

namespace {
constexpr int kMessageBufferBytes = kLogMessageMaxChars + 1;
constexpr int kTimestampChars = 24;
constexpr const char kArrow[] = "-->";
constexpr const char* kWeekdayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

void FormatLogTimestamp(int weekday, int month, int day, int hour, int minute, int second, int year,
                        char out[25]) {
  const char* weekday_name = weekday >= 0 && weekday < 7 ? kWeekdayNames[weekday] : "???";
  const char* month_name = month >= 0 && month < 12 ? kMonthNames[month] : "???";
  // Names are fixed English texts, never the process locale's, and the day of month always has
  // two digits: the layout is the same on every system.
  auto two = [](char* at, int value) {
    value = value < 0 ? 0 : value % 100;
    at[0] = static_cast<char>('0' + value / 10);
    at[1] = static_cast<char>('0' + value % 10);
  };
  std::memcpy(out, weekday_name, 3);
  out[3] = ' ';
  std::memcpy(out + 4, month_name, 3);
  out[7] = ' ';
  two(out + 8, day);
  out[10] = ' ';
  two(out + 11, hour);
  out[13] = ':';
  two(out + 14, minute);
  out[16] = ':';
  two(out + 17, second);
  out[19] = ' ';
  const int y = year < 0 ? 0 : year % 10000;
  two(out + 20, y / 100);
  two(out + 22, y % 100);
  out[24] = '\0';
}

namespace {

#if defined(_WIN32)
constexpr std::size_t kLineEndBytes = 2;  // CR LF in the file
#else
constexpr std::size_t kLineEndBytes = 1;
#endif

// Room after the message for " [4294967295 more like this suppressed]".
constexpr int kDroppedNoteBytes = 48;

template <std::size_t kCount>
bool IsNameOf(const char* text, const char* const (&names)[kCount]) {
  return std::any_of(std::begin(names), std::end(names),
                     [text](const char* name) { return std::memcmp(text, name, 3) == 0; });
}

// Line feeds inside a message would make one event several lines, and let a text from outside
// (a path, a system's error text) pass for entries of its own: those at either end are dropped,
// those inside become spaces. Returns the new length.
std::size_t OnOneLine(char* message, std::size_t length) {
  auto is_line_end = [](char c) { return c == '\n' || c == '\r'; };
  std::size_t begin = 0;
  while (begin < length && is_line_end(message[begin])) ++begin;
  while (length > begin && is_line_end(message[length - 1])) --length;
  if (begin > 0) std::memmove(message, message + begin, length - begin);
  length -= begin;
  for (std::size_t i = 0; i < length; ++i) {
    if (is_line_end(message[i])) message[i] = ' ';
  }
  message[length] = '\0';
  return length;
}

// What a file found at the log's path is to the log.
enum class Found { kNothing, kLog, kOthersFile, kNotRegularFile, kUnreadable };

Found Examine(const char* path, int* system_error) {
  char start[kTimestampChars + sizeof kArrow - 1];
  std::size_t length = 0;
  switch (platform::ReadFileStart(path, start, sizeof start, &length, system_error)) {
    case platform::FileReadResult::kRead:
      // An empty file holds nothing to lose.
      return length == 0 || IsLogEntryStart(start, length) ? Found::kLog : Found::kOthersFile;
    case platform::FileReadResult::kNotRegularFile:
      return Found::kNotRegularFile;
    case platform::FileReadResult::kCannotOpen:
      return platform::IsNotFoundError(*system_error) ? Found::kNothing : Found::kUnreadable;
    default:
      return Found::kUnreadable;
  }
}

std::string ErrorText(int code) {
  std::string reason = platform::SystemErrorText(code);
  if (reason.empty()) reason = "no text for it";
  return "error " + std::to_string(code) + ", " + reason;
}

}  // namespace

bool IsLogEntryStart(const char* text, std::size_t length) {
  if (length < kTimestampChars + sizeof kArrow - 1) return false;
  // "Sun Dec 06 14:56:29 2026-->"
  auto digits = [text](std::size_t at, std::size_t count) {
    for (std::size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
  };
  return IsNameOf(text, kWeekdayNames) && text[3] == ' ' && IsNameOf(text + 4, kMonthNames) &&
         text[7] == ' ' && digits(8, 2) && text[10] == ' ' && digits(11, 2) && text[13] == ':' &&
         digits(14, 2) && text[16] == ':' && digits(17, 2) && text[19] == ' ' && digits(20, 4) &&
         std::memcmp(text + kTimestampChars, kArrow, sizeof kArrow - 1) == 0;
}

void DiagnosticLog::Write(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(format, args);
  va_end(args);
}

bool DiagnosticLog::Admit(const char* kind, std::uint32_t* dropped_before) {
  *dropped_before = 0;
  const std::int64_t now = platform::SteadyMilliseconds();
  platform::MutexLock lock(repeat_lock_);
  RepeatCount* count = nullptr;
  for (RepeatCount& candidate : repeats_) {
    if (candidate.kind == kind || candidate.kind == nullptr) {
      count = &candidate;
      break;
    }
  }
  if (count == nullptr) return true;
  if (count->kind == nullptr || now - count->window_start >= RepeatWindowMs) {
    count->kind = kind;
    count->window_start = now;
    count->written = 0;
  }
  if (count->written >= RepeatLimit) {
    if (count->dropped < UINT32_MAX) ++count->dropped;
    return false;
  }
  ++count->written;
  *dropped_before = count->dropped;
  count->dropped = 0;
  return true;
}

void DiagnosticLog::ReportFailure(const char* what, int system_error) noexcept {
  if (failure_reported_.exchange(true) || OnWriteFailure == nullptr) return;
  try {
    std::string warning = "the log file " + FilePath + " " + what;
    if (system_error != 0) warning += ": " + ErrorText(system_error);
    OnWriteFailure(OnWriteFailureContext, warning + "; its entries are dropped while this lasts");
  } catch (...) {
    // Without memory for the text the report is lost; the log goes on as it can.
  }
}

// The entry that would take the file past the cap is the one whose writer moves the file aside:
// exactly one writer crosses the cap, so the file is moved once, however many threads write.
// Entries that other threads write meanwhile land in one file or the other, whole.
void DiagnosticLog::KeepUnderCap(std::size_t length) {
  const std::uint64_t before = file_bytes_.fetch_add(length, std::memory_order_relaxed);
  if (before > MaxBytes || before + length <= MaxBytes) return;
  try {
    const std::string previous = FilePath + ".1";
    int error = 0;
    const Found there = Examine(previous.c_str(), &error);
    if (there == Found::kNothing || there == Found::kLog) {
      if (!platform::RenameReplacing(FilePath.c_str(), previous.c_str(), &error)) {
        ReportFailure("cannot be moved to its .1 file", error);
      }
    } else {
      // The place of the previous log is someone else's: the cap holds all the same, at the cost
      // of the entries so far.
      if (platform::EmptyRegularFile(FilePath.c_str(), &error) !=
          platform::FileWriteResult::kWritten) {
        ReportFailure("cannot be emptied at its size limit", error);
      }
    }
  } catch (...) {
    // No memory for the path: the file is moved at the next crossing.
  }
  file_bytes_.store(length, std::memory_order_relaxed);
}

void DiagnosticLog::WriteV(const char* format, std::va_list args) {
  if (!kLogAvailable || !Enabled) return;

  // One entry: timestamp, arrow, message, line feed, formatted once into one buffer so that it
  // is appended with a single write.
  char entry[kTimestampChars + sizeof kArrow - 1 + kMessageBufferBytes + kDroppedNoteBytes + 1] =
      {};
  char* const message = entry + kTimestampChars + (sizeof kArrow - 1);

  std::uint32_t dropped_before = 0;
  if (!Admit(format, &dropped_before)) return;
  const int formatted = std::vsnprintf(message, kMessageBufferBytes, format, args);
  if (formatted < 0) return;
  // A cut message holds 2047 characters.
  std::size_t message_length = OnOneLine(message, std::strlen(message));
  if (dropped_before > 0) {
    message_length += static_cast<std::size_t>(std::snprintf(
        message + message_length, kDroppedNoteBytes, " [%lu more like this suppressed]",
        static_cast<unsigned long>(dropped_before)));
  }
  message[message_length++] = '\n';

  std::fwrite(message, 1, message_length, stdout);
  std::fflush(stdout);

  std::tm local{};
  if (!platform::LocalTime(std::time(nullptr), &local)) return;
  char timestamp[kTimestampChars + 1];
  FormatLogTimestamp(local.tm_wday, local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min,
                     local.tm_sec, local.tm_year + 1900, timestamp);
  std::memcpy(entry, timestamp, kTimestampChars);
  std::memcpy(entry + kTimestampChars, kArrow, sizeof kArrow - 1);

  const std::size_t entry_length = kTimestampChars + (sizeof kArrow - 1) + message_length;
  KeepUnderCap(entry_length - 1 + kLineEndBytes);
  int error = 0;
  switch (platform::AppendTextWhole(FilePath.c_str(), entry, entry_length, &error)) {
    case platform::FileWriteResult::kWritten:
      break;
    case platform::FileWriteResult::kCannotOpen:
      ReportFailure("cannot be opened", error);
      break;
    case platform::FileWriteResult::kNotRegularFile:
      ReportFailure("is no longer a regular file", 0);
      break;
    case platform::FileWriteResult::kWriteFailed:
      ReportFailure("cannot be written", error);
      break;
  }
}

std::string DiagnosticLog::Reset() {
  if (!kLogAvailable) Enabled = false;
  if (!Enabled) return std::string();
  {
    platform::MutexLock lock(repeat_lock_);
    for (RepeatCount& count : repeats_) count = RepeatCount{};
  }
  file_bytes_.store(0, std::memory_order_relaxed);
  failure_reported_.store(false);

  const std::string asked = FilePath;
  std::string warning;
  int error = 0;
  Found found = Examine(asked.c_str(), &error);
  if (found == Found::kOthersFile) {
    // Someone else's file is never emptied; the log goes beside it, unless that place too is
    // taken by something not the log's.
    FilePath = asked + ".1";
    found = Examine(FilePath.c_str(), &error);
    if (found == Found::kNothing || found == Found::kLog) {
      warning = "the log file " + asked +
                " holds something other than a log and is left as it is; the log is written to " +
                FilePath;
    } else {
      Enabled = false;
      FilePath = asked;
      return "the log file " + asked +
             " holds something other than a log and is left as it is, "
             "and so is " +
             asked + ".1; the log is off";
    }
  }
  if (found == Found::kNotRegularFile) {
    Enabled = false;
    return "the log file " + FilePath + " is not a regular file; the log is off";
  }
  if (found == Found::kUnreadable) {
    Enabled = false;
    return "the log file " + FilePath +
           " cannot be read to tell whether it is a log: " + ErrorText(error) + "; the log is off";
  }
  switch (platform::EmptyRegularFile(FilePath.c_str(), &error)) {
    case platform::FileWriteResult::kWritten:
      return warning;
    case platform::FileWriteResult::kNotRegularFile:
      Enabled = false;
      return "the log file " + FilePath + " is not a regular file; the log is off";
    default:
      Enabled = false;
      return "the log file " + FilePath + " cannot be created: " + ErrorText(error) +
             "; the log is off";
  }
}

DiagnosticLog& AddOnLog() {
  static DiagnosticLog log;
  return log;
}

void LogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  AddOnLog().WriteV(format, args);
  va_end(args);
}

std::string ResetLog() {
  return AddOnLog().Reset();
}

}  // namespace velkaro
