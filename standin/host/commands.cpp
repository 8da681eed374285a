#include "host/commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <vector>

#include "aircraft/flaps_reader.h"
#include "platform/file.h"
#include "platform/path_text.h"
#include "simconnect/simconnect.h"

namespace velkaro::standin {

namespace {

constexpr std::string_view kPrefix = "velkaro-sim: ";
constexpr std::string_view kCommandList =
    "aircraft PATH | set NAME=VALUE [UNIT] | unset NAME | vars | help | quit";

std::string Say(std::string_view text) {
  std::string line(kPrefix);
  line += text;
  line += '\n';
  return line;
}

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// The command word of a line and what follows it.
struct CommandWords {
  std::string_view word;
  std::string_view rest;
};
CommandWords SplitCommand(std::string_view line) {
  line = Trim(line);
  const std::size_t blank = line.find_first_of(" \t");
  if (blank == std::string_view::npos) return {line, {}};
  return {line.substr(0, blank), Trim(line.substr(blank + 1))};
}

std::vector<StandInDatum> RegisteredDatums(const StandInApi& sim) {
  std::vector<StandInDatum> datums;
  const int count = sim.DatumCount();
  for (int i = 0; i < count; ++i) {
    StandInDatum datum;
    if (sim.GetDatum(i, &datum)) datums.push_back(datum);
  }
  return datums;
}

// The registered datum of that name (names ignore case, as the simulator's do).
std::optional<StandInDatum> FindDatum(const StandInApi& sim, std::string_view name) {
  for (const StandInDatum& datum : RegisteredDatums(sim)) {
    if (SameText(datum.name, name)) return datum;
  }
  return std::nullopt;
}

std::string UnknownVariable(std::string_view name) {
  return Say("unknown variable " + std::string(name) + ", see vars");
}

const char* TypeName(std::uint32_t type) {
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
      return "INT32";
    case SIMCONNECT_DATATYPE_INT64:
      return "INT64";
    case SIMCONNECT_DATATYPE_FLOAT32:
      return "FLOAT32";
    case SIMCONNECT_DATATYPE_FLOAT64:
      return "FLOAT64";
    case SIMCONNECT_DATATYPE_STRING8:
      return "STRING8";
    case SIMCONNECT_DATATYPE_STRING32:
      return "STRING32";
    case SIMCONNECT_DATATYPE_STRING64:
      return "STRING64";
    case SIMCONNECT_DATATYPE_STRING128:
      return "STRING128";
    case SIMCONNECT_DATATYPE_STRING256:
      return "STRING256";
    default:
      return "?";
  }
}

std::string UnitsText(const StandInDatum& datum) {
  return datum.units[0] != '\0' ? std::string(datum.units) : std::string("-");
}

std::string TypeText(const StandInDatum& datum) {
  std::string text = TypeName(datum.type);
  if (datum.text_length > 0) text += " text(" + std::to_string(datum.text_length) + ")";
  return text;
}

// A whole token as a number; strtod's reading, so "1e3" and "0x2345" are numbers too. The words
// nan, inf and -inf (any case) are the values that are not finite, which a pin may hold to show
// what the add-on makes of them; any other spelling strtod takes for one, and a number too large
// for a double (1e999), is refused as not finite.
enum class NumberParse { kNumber, kNotANumber, kNotFinite };
NumberParse ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return NumberParse::kNotANumber;
  if (SameText(text, "nan")) {
    *value = std::numeric_limits<double>::quiet_NaN();
    return NumberParse::kNumber;
  }
  if (SameText(text, "inf") || SameText(text, "-inf")) {
    *value = text[0] == '-' ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
    return NumberParse::kNumber;
  }
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return NumberParse::kNotANumber;
  return std::isfinite(*value) ? NumberParse::kNumber : NumberParse::kNotFinite;
}

// Written here rather than by printf for the values that are not finite, which C libraries
// spell differently ("-nan", "1.#QNAN").
std::string NumberText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

// What a value that is not finite means, for the reply that pins it.
std::string NotFiniteMeaning(double value) {
  if (std::isnan(value)) return "not a number";
  return value > 0 ? "infinity" : "minus infinity";
}

bool PinText(const StandInApi& sim, const StandInDatum& datum, std::string_view value,
             std::string* reply) {
  const std::string text(value);
  if (text.size() > datum.text_length) {
    *reply = Say(std::string(datum.name) + " holds at most " + std::to_string(datum.text_length) +
                 " characters; \"" + text + "\" has " + std::to_string(text.size()));
    return false;
  }
  if (!sim.SetText(datum.name, text.c_str())) {
    *reply = Say("the stand-in has no text for " + std::string(datum.name) + " to pin");
    return false;
  }
  *reply = Say(std::string(datum.name) + " pinned to \"" + text + "\"");
  return true;
}

bool PinNumber(const StandInApi& sim, const StandInDatum& datum, std::string_view value,
               std::string* reply) {
  if (value.empty()) {
    *reply = Say(std::string(datum.name) + " needs a value: set " + datum.name + "=VALUE");
    return false;
  }
  // VALUE, or VALUE UNIT: the number is the first word.
  const std::size_t blank = value.find_first_of(" \t");
  const std::string number_text(value.substr(0, blank));
  const std::string unit(blank == std::string_view::npos ? std::string_view()
                                                         : Trim(value.substr(blank + 1)));
  double number = 0.0;
  switch (ParseNumber(number_text, &number)) {
    case NumberParse::kNumber:
      break;
    case NumberParse::kNotANumber:
      *reply = Say("not a number: " + std::string(value));
      return false;
    case NumberParse::kNotFinite:
      *reply = Say("not a finite number: " + number_text);
      return false;
  }
  const std::string name = datum.name;
  const std::string registered = UnitsText(datum);
  double pinned = number;
  if (!unit.empty() && !SameText(unit, datum.units) &&
      !sim.ConvertValue(datum.name, number, unit.c_str(), datum.units, &pinned)) {
    *reply = Say(unit + " is not a unit of " + name + ", which is in " + registered);
    return false;
  }
  if (std::isfinite(number) && !std::isfinite(pinned)) {
    *reply = Say(number_text + " " + unit + " is out of range for " + name);
    return false;
  }
  if (!sim.SetVariable(datum.name, pinned)) {
    *reply = Say("the stand-in does not simulate " + name + "; it cannot be pinned");
    return false;
  }
  std::string said = name + " pinned to " + NumberText(pinned) + " " + registered;
  std::string notes;
  if (!std::isfinite(pinned)) notes = NotFiniteMeaning(pinned);
  if (!unit.empty() && !SameText(unit, datum.units)) {
    notes += (notes.empty() ? "" : "; ") + number_text + " " + unit;
  }
  if (!notes.empty()) said += " (" + notes + ")";
  *reply = Say(said);
  return true;
}

CommandOutcome Unpin(const StandInApi& sim, std::string_view name) {
  if (name.empty()) return {Say("unset takes the NAME of a pinned variable")};
  const std::optional<StandInDatum> datum = FindDatum(sim, name);
  if (!datum) return {UnknownVariable(name)};
  if (!sim.Unpin(datum->name)) return {Say(std::string(datum->name) + " is not pinned")};
  return {Say(std::string(datum->name) + " unpinned: the stand-in's model drives it again")};
}

CommandOutcome LoadAircraft(const StandInApi& sim, std::string_view path) {
  if (path.empty()) return {Say("aircraft takes the PATH of an aircraft file")};
  const AircraftFile file = CheckAircraftFile(path);
  if (!file.error.empty()) return {Say("aircraft " + file.path + " not loaded: " + file.error)};
  // The title first: the records that follow the change are the new aircraft's.
  if (!file.title.empty()) sim.SetTitle(file.title.c_str());
  sim.LoadAircraft(file.path.c_str());
  std::string reply;
  if (!file.warning.empty()) reply += Say("warning: " + file.warning);
  reply += Say("aircraft " + file.path + " loaded");
  return {reply};
}

std::string Help() {
  return Say("commands:") +
         "  aircraft PATH          load another aircraft (its flaps from its aircraft.cfg)\n"
         "  set NAME=VALUE [UNIT]  pin a variable in the units the add-on registered\n"
         "                         (see vars), or in UNIT of the same kind, e.g.\n"
         "                         set PLANE HEADING DEGREES TRUE=90 Degrees;\n"
         "                         a text variable takes its text: set NAV IDENT:1=IVLK\n"
         "  unset NAME             unpin it: the stand-in's model drives it again\n"
         "  vars                   the variables the add-on registered, units and type\n"
         "  quit                   stop the simulator\n";
}

}  // namespace

std::string AircraftTitle(std::string_view config) {
  bool in_fltsim = false;
  while (!config.empty()) {
    const std::size_t end = config.find('\n');
    std::string_view line = config.substr(0, end);
    config.remove_prefix(end == std::string_view::npos ? config.size() : end + 1);
    line = Trim(line.substr(0, line.find("//")));
    if (line.empty()) continue;
    if (line.front() == '[') {
      constexpr std::string_view kFltsim = "[fltsim.";
      in_fltsim = line.size() > kFltsim.size() && SameText(line.substr(0, kFltsim.size()), kFltsim);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!in_fltsim || equals == std::string_view::npos) continue;
    if (!SameText(Trim(line.substr(0, equals)), "title")) continue;
    const std::string_view title = Trim(line.substr(equals + 1));
    if (!title.empty()) return std::string(title);
  }
  return {};
}

bool PinVariable(const StandInApi& sim, std::string_view assignment, std::string* reply) {
  const std::size_t equals = assignment.find('=');
  const std::string_view name = Trim(assignment.substr(0, std::min(equals, assignment.size())));
  if (equals == std::string_view::npos || name.empty()) {
    *reply = Say("set takes NAME=VALUE, e.g. set PLANE ALTITUDE=12000 (vars lists the names)");
    return false;
  }
  const std::optional<StandInDatum> datum = FindDatum(sim, name);
  if (!datum) {
    *reply = UnknownVariable(name);
    return false;
  }
  const std::string_view value = Trim(assignment.substr(equals + 1));
  if (datum->text_length > 0) return PinText(sim, *datum, value, reply);
  return PinNumber(sim, *datum, value, reply);
}

std::string ListVariables(const StandInApi& sim) {
  const std::vector<StandInDatum> datums = RegisteredDatums(sim);
  if (datums.empty()) return Say("the add-on has registered no variables");
  std::size_t name_width = 4;   // "NAME"
  std::size_t units_width = 5;  // "UNITS"
  for (const StandInDatum& datum : datums) {
    name_width = std::max(name_width, std::strlen(datum.name));
    units_width = std::max(units_width, UnitsText(datum).size());
  }
  auto row = [&](std::string_view name, std::string_view units, std::string_view type) {
    std::string line(name);
    line.resize(name_width + 2, ' ');
    line += units;
    line.resize(name_width + 2 + units_width + 2, ' ');
    line += type;
    line += '\n';
    return line;
  };
  std::string table = row("NAME", "UNITS", "TYPE");
  for (const StandInDatum& datum : datums) {
    table += row(datum.name, UnitsText(datum), TypeText(datum));
  }
  table += std::to_string(datums.size()) +
           " variables registered by the add-on. set NAME=VALUE takes VALUE in the\n"
           "units shown, or VALUE UNIT in another unit of the same kind (90 Degrees);\n"
           "text(N): a text of at most N characters.\n";
  return table;
}

AircraftFile CheckAircraftFile(std::string_view path) {
  namespace fs = std::filesystem;
  AircraftFile file;
  std::error_code error;
  const fs::path given = platform::PathFromUtf8(path);
  const fs::path absolute = fs::absolute(given, error);
  file.path = error ? std::string(path) : platform::Utf8FromPath(absolute);

  const fs::file_status status = fs::status(platform::PathFromUtf8(file.path), error);
  if (!fs::exists(status)) {
    file.error = "no such file";
    return file;
  }
  if (fs::is_directory(status)) {
    file.error = "it is a folder, not an aircraft file";
    return file;
  }
  if (!fs::is_regular_file(status)) {
    file.error = "it is not a regular file";
    return file;
  }
  errno = 0;
  if (std::FILE* stream = platform::OpenFile(file.path.c_str(), "rb")) {
    std::fclose(stream);
  } else {
    const int code = errno;
    file.error = "it cannot be read";
    if (code != 0) file.error += std::string(" (") + std::strerror(code) + ")";
    return file;
  }

  // The add-on looks for aircraft.cfg after the file name's last separator, either kind.
  const std::size_t separator = file.path.find_last_of("\\/");
  const std::string config = file.path.substr(0, separator + 1) + "aircraft.cfg";
  std::string contents;
  const platform::FileReadResult read =
      platform::ReadRegularFile(config.c_str(), kMaxAircraftConfigBytes, contents);
  if (read == platform::FileReadResult::kRead) {
    file.title = AircraftTitle(contents);
    if (file.title.empty()) {
      file.warning = "no title in " + config + "; the aircraft keeps the title it had";
    }
    return file;
  }
  if (read == platform::FileReadResult::kCannotOpen &&
      !fs::exists(platform::PathFromUtf8(config), error)) {
    file.warning =
        "no aircraft.cfg beside " + file.path + "; the add-on keeps the flap detents it has";
  } else {
    file.warning = config + " " + platform::FileReadResultText(read) +
                   "; the add-on keeps the flap detents it has";
  }
  return file;
}

CommandOutcome RunCommand(const StandInApi& sim, std::string_view line) {
  const CommandWords words = SplitCommand(line);
  if (words.word.empty()) return {};
  if (words.word == "aircraft") return LoadAircraft(sim, words.rest);
  if (words.word == "set") {
    CommandOutcome outcome;
    PinVariable(sim, words.rest, &outcome.reply);
    return outcome;
  }
  if (words.word == "unset") return Unpin(sim, words.rest);
  const bool bare =
      words.word == "vars" || words.word == "help" || words.word == "quit" || words.word == "exit";
  if (bare && !words.rest.empty()) {
    return {Say(std::string(words.word) + " takes nothing after it")};
  }
  if (words.word == "vars") return {ListVariables(sim)};
  if (words.word == "help") return {Help()};
  if (words.word == "quit" || words.word == "exit") return {"", true};
  return {Say("unknown command \"" + std::string(words.word) + "\"; commands are:") + "  " +
          std::string(kCommandList) + "\n"};
}

}  // namespace velkaro::standin
