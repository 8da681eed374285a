#include "aircraft/flaps_reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge_state.h"

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

void ExamineLine(std::string line, ReaderState& state, FlapsTable& table) {
  line.resize(std::strlen(line.c_str()));  // the text ends at a NUL, as a C string does
  if (line.empty()) return;

  // The first token between line ends.
  const std::size_t start = line.find_first_not_of("\r\n");
  if (start == std::string::npos) return;
  const std::size_t stop = line.find_first_of("\r\n", start);
  std::string text =
      line.substr(start, stop == std::string::npos ? std::string::npos : stop - start);

  if (const std::size_t comment = text.find("//"); comment != std::string::npos) {
    text.resize(comment);
  }
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (text.empty()) return;

  if (text[0] == '[') {
    state.flaps_type = -1;
    state.in_flaps_section = Contains(text, "[flaps.");
    return;
  }
  if (!state.in_flaps_section) return;

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

  // atof, narrowed to single precision; the range test comes after the narrowing, as the angle
  // is kept in single precision. Values far outside it are rejected before narrowing, where the
  // narrowing itself would not be defined.
  const double wide = std::atof(std::string(value).c_str());
  if (!(wide >= -1.0 && wide <= 91.0)) return;
  const float angle = static_cast<float>(wide);
  if (angle < 0.0f || angle > 90.0f) return;

  const std::size_t point = key.find('.');
  if (point == std::string_view::npos) return;
  const std::string_view index_text = key.substr(point + 1);
  if (!IsNumericText(index_text)) return;
  const int index = WholeNumber(index_text);
  if (index < 0 || index > 19) return;
  if (table[static_cast<std::size_t>(index)] == kNoDetent) {
    table[static_cast<std::size_t>(index)] = angle;  // the first valid line for a detent wins
  }
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

bool ReadFlapsTable(const std::string& config_path, FlapsTable& table) {
  std::FILE* file = std::fopen(config_path.c_str(), "r");
  if (file == nullptr) return false;
  table.fill(kNoDetent);
  ReaderState state;

  // Every line is examined once, as one line, however long it is: its first kMaxLineChars
  // characters are kept and the rest is dropped, never taken for a line of its own. The last
  // line counts even without a line end after it.
  std::string line;
  for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
    if (line.size() < kMaxLineChars) line.push_back(static_cast<char>(c));
    if (c == '\n') {
      ExamineLine(std::move(line), state, table);
      line.clear();
    }
  }
  if (!line.empty()) ExamineLine(std::move(line), state, table);
  std::fclose(file);
  return true;
}

void ReadAircraftFlaps() {
  const std::string config_path = AircraftConfigPath(Bridge.AircraftPath);
  if (config_path.empty()) return;
  ReadFlapsTable(config_path, Bridge.AircraftFlapsTable);
}

}  // namespace velkaro
