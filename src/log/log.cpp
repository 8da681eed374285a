#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/system.h"

namespace velkaro {

namespace {
constexpr int kMessageBufferBytes = kLogMessageMaxChars + 1;
constexpr int kTimestampChars = 24;
constexpr const char kArrow[] = "-->";
}  // namespace

void FormatLogTimestamp(int weekday, int month, int day, int hour, int minute, int second, int year,
                        char out[25]) {
  static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* weekday_name = weekday >= 0 && weekday < 7 ? kWeekdays[weekday] : "???";
  const char* month_name = month >= 0 && month < 12 ? kMonths[month] : "???";
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

void DiagnosticLog::Write(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(format, args);
  va_end(args);
}

void DiagnosticLog::WriteV(const char* format, std::va_list args) {
  if (!kLogAvailable || !Enabled) return;

  // One entry: timestamp, arrow, message, line feed, formatted once into one buffer so that it
  // is appended with a single write.
  char entry[kTimestampChars + sizeof kArrow - 1 + kMessageBufferBytes + 1] = {};
  char* const message = entry + kTimestampChars + (sizeof kArrow - 1);

  const int formatted = std::vsnprintf(message, kMessageBufferBytes, format, args);
  if (formatted < 0) return;
  std::size_t message_length = std::strlen(message);  // a cut message holds 2047 characters
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

  platform::AppendTextWhole(FilePath.c_str(), entry,
                            kTimestampChars + (sizeof kArrow - 1) + message_length);
}

int DiagnosticLog::Reset() {
  if (!kLogAvailable) Enabled = false;
  if (!Enabled) return 0;
  std::FILE* file = std::fopen(FilePath.c_str(), "w");
  if (file == nullptr) {
    Enabled = false;
    return platform::LastSystemError();
  }
  std::fclose(file);
  return 0;
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

int ResetLog() {
  return AddOnLog().Reset();
}

}  // namespace velkaro
