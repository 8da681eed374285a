#include "aircraft/flaps_reader.h"

#include <algorithm>
#include <cstdlib>

#include "log/log.h"
#include "platform/system.h"

namespace velkaro {

namespace {

// How much of one line is kept for examination; the rest of a longer line is dropped.
// aircraft.cfg lines are short, and a runaway line must not exhaust the host's address space.
constexpr std::size_t kMaxLineChars = 64 * 1024;
constexpr float kNoDetent = -1.0f;

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// atoi without its undefined overflow: leading blanks, an optional sign, digits up to the first
// other character; saturates at the limits of int.
int WholeNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) value = 2147483648LL;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) value = 2147483647LL;
  return static_cast<int>(value);
}

struct ReaderState {
  bool in_flaps_section = false;
  int flaps_type = -1;
};

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

void FoldToLowerCase(std::string_view from, std::string& to) {
  to.resize(from.size());
  for (std::size_t i = 0; i < from.size(); ++i) {
    const char c = from[i];
    to[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
}

// `text` is the caller's scratch buffer, so that its memory serves every line. Outside a flaps
// section only a header matters, which shows in the first character: every other line there is
// passed over at once.
void ExamineLine(std::string_view line, ReaderState& state, FlapsTable& table, std::string& text) {
  std::size_t start = 0;
  while (start < line.size() && IsLineEnd(line[start])) ++start;
  if (start == line.size() || line[start] == '\0') return;
  if (line[start] != '[' && !state.in_flaps_section) return;

  // The first token between line ends, up to a NUL (the text ends there, as a C string does)
  // and up to a comment.
  line = line.substr(0, line.find('\0'));
  std::size_t stop = start;
  while (stop < line.size() && !IsLineEnd(line[stop])) ++stop;
  std::string_view token = line.substr(start, stop - start);
  token = token.substr(0, token.find("//"));
  if (token.empty()) return;

  if (token[0] == '[') {
    FoldToLowerCase(token, text);
    state.flaps_type = -1;
    state.in_flaps_section = Contains(text, "[flaps.");
    return;
  }
  if (!state.in_flaps_section) return;
  FoldToLowerCase(token, text);

  const std::string_view view = text;
  const std::size_t equals = view.find('=');
  if (Contains(view, "type")) {
    if (equals == std::string_view::npos) return;
    if (TrimText(view.substr(0, equals)) != "type") return;  // system_type and the like
    const std::string_view value = TrimText(view.substr(equals + 1));
    if (IsNumericText(value)) state.flaps_type = WholeNumber(value);
    return;
  }

  if (state.flaps_type != 1 || !Contains(view, "flaps-position")) return;
  if (equals == std::string_view::npos) return;
  std::string_view key = view.substr(0, equals);
  std::string_view value = view.substr(equals + 1);
  if (key.empty() || value.empty()) return;
  key = TrimText(key);
  value = TrimText(value.substr(0, value.find(',')));
  if (!IsNumericText(value)) return;

  // The detent first: a line for a detent that already has its angle changes nothing, and
  // needs no conversion.
  const std::size_t point = key.find('.');
  if (point == std::string_view::npos) return;
  const std::string_view index_text = key.substr(point + 1);
  if (!IsNumericText(index_text)) return;
  const int index = WholeNumber(index_text);
  if (index < 0 || index > 19) return;
  float& entry = table[static_cast<std::size_t>(index)];
  if (entry != kNoDetent) return;  // the first valid line for a detent wins

  // atof, narrowed to single precision; the range test comes after the narrowing, as the angle
  // is kept in single precision. Values far outside it are rejected before narrowing, where the
  // narrowing itself would not be defined.
  const double wide = std::atof(std::string(value).c_str());
  if (!(wide >= -1.0 && wide <= 91.0)) return;
  const float angle = static_cast<float>(wide);
  if (angle < 0.0f || angle > 90.0f) return;
  entry = angle;
}

}  // namespace

std::string_view TrimText(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\n\r";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool IsNumericText(std::string_view text) {
  if (text.empty()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool ok = (c >= '0' && c <= '9') || c == ' ' || c == '.' || (c == '-' && i == 0);
    if (!ok) return false;
  }
  return true;
}

std::string AircraftConfigPath(std::string_view aircraft_path) {
  const std::size_t separator = aircraft_path.find_last_of("\\/");
  if (separator == std::string_view::npos) return {};
  std::string path(aircraft_path.substr(0, separator + 1));
  path += "aircraft.cfg";
  return path;
}

FlapsTable ParseFlapsTable(std::string_view text) {
  FlapsTable table;
  table.fill(kNoDetent);
  ReaderState state;
  std::string scratch;
  // Every line is examined once, as one line, however long it is: its first kMaxLineChars
  // characters are kept and the rest is dropped, never taken for a line of its own. The last
  // line counts even without a line end after it.
  while (!text.empty()) {
    // An empty line (LF or CR LF) has nothing to examine.
    if (text.front() == '\n') {
      text.remove_prefix(1);
      continue;
    }
    if (text.size() >= 2 && text[0] == '\r' && text[1] == '\n') {
      text.remove_prefix(2);
      continue;
    }
    const std::size_t end = text.find('\n');
    const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    ExamineLine(text.substr(0, std::min(length, kMaxLineChars)), state, table, scratch);
    text.remove_prefix(length);
  }
  return table;
}

platform::FileReadResult ReadFlapsTable(const std::string& config_path, FlapsTable& table,
                                        int* system_error) {
  std::string contents;
  const platform::FileReadResult result = platform::ReadRegularFile(
      config_path.c_str(), kMaxAircraftConfigBytes, contents, system_error);
  if (result == platform::FileReadResult::kRead) table = ParseFlapsTable(contents);
  return result;
}

void ReadAircraftFlaps(const std::string& aircraft_path, FlapsTable& table, DiagnosticLog& log) {
  const std::string config_path = AircraftConfigPath(aircraft_path);
  if (config_path.empty()) return;
  int error = 0;
  const platform::FileReadResult result = ReadFlapsTable(config_path, table, &error);
  if (result == platform::FileReadResult::kRead) return;
  if (error == 0) {
    log.Write("Aircraft config %s %s; flap detents unchanged", config_path.c_str(),
              platform::FileReadResultText(result));
  } else if (log.Enabled) {
    const std::string reason = platform::SystemErrorText(error);
    log.Write("Aircraft config %s %s; flap detents unchanged: error %d, %s", config_path.c_str(),
              platform::FileReadResultText(result), error,
              reason.empty() ? "no text for it" : reason.c_str());
  }
}

}  // namespace velkaro
