// zelm status's view of the add-on's status reply: see status_view.h.
#include "status_view.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "printable.h"

namespace zelm {

namespace {

using Json = nlohmann::ordered_json;

// Parses a reply into `doc`, refusing what is not a JSON object and nesting deeper than
// kMaxStatusDepth (which is dropped while parsing, so it never costs more than the text).
bool Parse(std::string_view reply, Json* doc, std::string* error) {
  bool too_deep = false;
  const Json::parser_callback_t keep = [&too_deep](int depth, Json::parse_event_t event, Json&) {
    const bool opens =
        event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
    if (opens && depth >= kMaxStatusDepth) too_deep = true;
    return !too_deep;
  };
  try {
    *doc = Json::parse(reply.begin(), reply.end(), keep);
  } catch (const Json::exception& e) {
    // nlohmann's texts begin with "[json.exception.parse_error.101] ".
    std::string what = e.what();
    if (const std::size_t end = what.find("] "); what.starts_with("[json.") && end != what.npos) {
      what.erase(0, end + 2);
    }
    *error = "the status reply is not JSON: " + what;
    return false;
  }
  if (too_deep) {
    *error = "the status reply nests deeper than " + std::to_string(kMaxStatusDepth) + " levels";
    return false;
  }
  if (!doc->is_object()) {
    *error = "the status reply is not a JSON object";
    return false;
  }
  return true;
}

// printf into a string of whatever length it takes.
std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(out.data(), out.size() + 1, format, again);
  va_end(again);
  return out;
}

// A value as shown when it is not of the type a field should have: its JSON text.
std::string Raw(const Json& value) {
  return Printable(value.dump());
}

std::string Text(const Json& value) {
  return value.is_string() ? Printable(value.get<std::string>()) : Raw(value);
}

std::string Count(const Json& value) {
  return value.is_number_integer() ? value.dump() : Raw(value);
}

// Seconds as "3 h 25 m 07 s", "4 m 05 s" or "12 s".
std::string Duration(const Json& value) {
  if (!value.is_number()) return Raw(value);
  const double seconds = value.get<double>();
  // A century and more is not an uptime: shown as it came (and never converted out of range).
  constexpr double kLongestUptime = 100 * 365.25 * 86400;
  if (!(seconds >= 0.0 && seconds < kLongestUptime)) return Raw(value);
  const auto whole = static_cast<long long>(seconds);
  const long long h = whole / 3600, m = whole / 60 % 60, s = whole % 60;
  if (h > 0) return Printf("%lld h %02lld m %02lld s", h, m, s);
  if (m > 0) return Printf("%lld m %02lld s", m, s);
  return Printf("%lld s", s);
}

// A number up to `limit` in size, for showing in units; others are shown as they came.
std::optional<double> Within(const Json& value, double limit) {
  if (!value.is_number() || !(std::fabs(value.get<double>()) < limit)) return std::nullopt;
  return value.get<double>();
}

std::string FrameRate(const Json& value) {
  const std::optional<double> hz = Within(value, 1e9);
  return hz ? Printf("%.1f frames/s", *hz) : Raw(value);
}

// Milliseconds as "12 ms" or, from a second on, "3.4 s"; null before the first frame.
std::string FrameAge(const Json& value) {
  if (value.is_null()) return "no frame yet";
  const std::optional<double> ms = Within(value, 1e12);
  if (!ms) return Raw(value);
  return std::fabs(*ms) < 1000.0 ? Printf("%.0f ms", *ms) : Printf("%.1f s", *ms / 1000.0);
}

std::string YesNo(const Json& value, const char* yes, const char* no) {
  return value.is_boolean() ? (value.get<bool>() ? yes : no) : Raw(value);
}

std::string Angles(const Json& value) {
  if (!value.is_array()) return Raw(value);
  if (value.empty()) return "none known";
  std::string out;
  for (const Json& angle : value) {
    if (!out.empty()) out += ", ";
    out += angle.is_number() ? Printf("%g", angle.get<double>()) : Raw(angle);
  }
  return out + " deg";
}

// The lines of the view: a name and its value; the value may run over several lines.
class Lines {
 public:
  explicit Lines(const Json& doc) : doc_(doc) {}

  // The field, when the reply has it.
  const Json* Field(const char* name) {
    used_.insert(name);
    const auto found = doc_.find(name);
    return found == doc_.end() ? nullptr : &*found;
  }

  void Add(std::string name, std::string value) { lines_.emplace_back(std::move(name), value); }

  // One line of `name` when the reply has `field`, its value as `show` makes it.
  void AddField(const char* name, const char* field,
                const std::function<std::string(const Json&)>& show) {
    if (const Json* value = Field(field)) Add(name, show(*value));
  }

  // Every field not shown yet, under its own name.
  void AddTheRest() {
    for (const auto& [name, value] : doc_.items()) {
      if (used_.count(name) == 0) Add(Printable(name), Text(value));
    }
  }

  std::string Join() const {
    if (lines_.empty()) return "(the reply has no fields)\n";
    std::size_t width = 0;
    for (const auto& line : lines_) width = std::max(width, line.first.size());
    std::string out;
    for (const auto& [name, value] : lines_) {
      out += name + ":" + std::string(width - name.size() + 2, ' ') + value + "\n";
    }
    return out;
  }

 private:
  const Json& doc_;
  std::set<std::string> used_;
  std::vector<std::pair<std::string, std::string>> lines_;
};

}  // namespace

bool FormatStatus(std::string_view reply, std::string* text, std::string* error) {
  Json doc;
  if (!Parse(reply, &doc, error)) return false;
  Lines lines(doc);
  lines.AddField("version", "version", Text);
  lines.AddField("uptime", "uptime_s", Duration);
  // "connected for 2 min" (velkaro-bridge's simulator comes and goes).
  const Json* since = lines.Field("simconnect_since_s");
  lines.AddField("simulator", "simconnect", [since](const Json& v) {
    std::string text = YesNo(v, "connected", "not connected");
    if (since != nullptr && since->is_number_unsigned()) text += " for " + Duration(*since);
    return text;
  });
  // zelm replay in place of a simulator: "FILE, 12.3 s of 60.0 s, speed 1, paused".
  lines.AddField("replay", "replay", [](const Json& v) {
    if (!v.is_object()) return Text(v);
    const auto number = [&v](const char* name) -> std::optional<double> {
      const auto found = v.find(name);
      return found != v.end() ? Within(*found, 1e12) : std::nullopt;
    };
    const auto flag = [&v](const char* name) {
      const auto found = v.find(name);
      return found != v.end() && found->is_boolean() && found->get<bool>();
    };
    const auto file = v.find("file");
    std::string text = file != v.end() ? Text(*file) : "?";
    if (const auto position = number("position_s")) text += Printf(", %.1f s", *position);
    if (const auto duration = number("duration_s")) text += Printf(" of %.1f s", *duration);
    if (const auto speed = number("speed")) text += Printf(", speed %g", *speed);
    if (flag("paused")) text += ", paused";
    if (flag("ended")) text += ", at its end";
    if (flag("loop")) text += ", looping";
    return text;
  });
  lines.AddField("frames", "frames", Count);
  lines.AddField("frame rate", "frame_rate_hz", FrameRate);
  lines.AddField("frame age", "frame_age_ms", FrameAge);

  // "2 of 64", or what there is of it.
  const Json* clients = lines.Field("clients");
  const Json* max_clients = lines.Field("max_clients");
  if (clients != nullptr || max_clients != nullptr) {
    lines.Add("clients", (clients != nullptr ? Count(*clients) : "?") +
                             (max_clients != nullptr ? " of " + Count(*max_clients) : ""));
  }
  lines.AddField("refused", "refused_connections",
                 [](const Json& v) { return Count(v) + " connections"; });

  // "listening on ANY port 5193".
  const Json* server = lines.Field("server");
  const Json* bind = lines.Field("bind");
  const Json* port = lines.Field("port");
  if (server != nullptr || bind != nullptr || port != nullptr) {
    std::string value = server != nullptr ? YesNo(*server, "listening", "not listening") : "";
    if (bind != nullptr) value += (value.empty() ? "" : " ") + std::string("on ") + Text(*bind);
    if (port != nullptr) value += (value.empty() ? "" : " ") + std::string("port ") + Count(*port);
    lines.Add("server", value);
  }

  lines.AddField("aircraft", "aircraft_title", Text);
  lines.AddField("aircraft file", "aircraft_path", Text);
  lines.AddField("flaps detents", "flaps_detents", Angles);

  // "on, PATH" or "off".
  const Json* log_enabled = lines.Field("log_enabled");
  const Json* log_path = lines.Field("log_path");
  if (log_enabled != nullptr || log_path != nullptr) {
    std::string value = log_enabled != nullptr ? YesNo(*log_enabled, "on", "off") : "";
    if (log_path != nullptr) value += (value.empty() ? "" : ", ") + Text(*log_path);
    lines.Add("log", value);
  }
  lines.AddField("settings file", "config_file",
                 [](const Json& v) { return v.is_null() ? std::string("none") : Text(v); });

  // Each warning on a line of its own, under the count.
  if (const Json* warnings = lines.Field("warnings")) {
    if (!warnings->is_array()) {
      lines.Add("warnings", Text(*warnings));
    } else if (warnings->empty()) {
      lines.Add("warnings", "none");
    } else {
      std::string value = std::to_string(warnings->size());
      for (const Json& warning : *warnings) value += "\n  " + Text(warning);
      lines.Add("warnings", value);
    }
  }
  lines.AddTheRest();
  *text = lines.Join();
  return true;
}

bool PrettyStatus(std::string_view reply, std::string* text, std::string* error) {
  Json doc;
  if (!Parse(reply, &doc, error)) return false;
  *text = doc.dump(2) + "\n";
  return true;
}

}  // namespace zelm
