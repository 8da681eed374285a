// zelm watch's panel and lines: see watch_view.h.
#include "watch_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace zelm::watch {

namespace {

// `value` right-aligned in exactly `width` columns with at most `precision` decimals: fewer
// when it would not fit, '#' in every column when even its whole part does not, and a '-' when
// it is not a number. `flags` as printf's ("+": always a sign, "0": zero-filled).
std::string Num(double value, int width, int precision, const char* flags = "") {
  if (!std::isfinite(value)) return std::string(static_cast<std::size_t>(width - 1), ' ') + "-";
  char format[16];
  std::snprintf(format, sizeof format, "%%%s*.*f", flags);
  char text[400];  // wide enough for any double in %f
  for (int p = precision; p >= 0; --p) {
    const int length = std::snprintf(text, sizeof text, format, width, p, value);
    if (length == width) return text;
  }
  return std::string(static_cast<std::size_t>(width), '#');
}

// Cut to `width` columns, with "..." at the end when cut.
std::string Clip(std::string text, std::size_t width) {
  if (text.size() > width) text = text.substr(0, width - 3) + "...";
  return text;
}

// A text field's element in exactly `width` columns: printable ASCII only ('?' for the rest).
std::string Ident(const Frame& frame, const char* name, std::size_t index, std::size_t width) {
  std::string text = frame.Text(name, index).value_or("");
  for (char& c : text) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  text.resize(width, ' ');
  return text;
}

std::string OnOff(double value) {
  return value != 0.0 ? "ON " : "off";
}

// Latitude or longitude with its hemisphere: "N 47.4950", "W122.3088".
std::string Coordinate(double degrees, char positive, char negative) {
  return (degrees < 0 ? negative : positive) + Num(std::fabs(degrees), 8, 4);
}

// An age in at most six columns: "0.4 s", "12.0 s", "7 min", "26 h".
std::string AgeText(Clock::duration age) {
  const double seconds = std::chrono::duration<double>(age).count();
  char text[32];
  if (seconds < 99.95) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 99.5 * 60) {
    std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
  } else if (seconds < 9999.5 * 3600) {
    std::snprintf(text, sizeof text, "%.0f h", seconds / 3600);
  } else {
    return "long";
  }
  return text;
}

// The autopilot's engaged modes: " HDG ALT SPD", or " none".
std::string Modes(const Frame& f) {
  auto n = [&](const char* name) { return f.Number(name).value_or(0.0) != 0.0; };
  std::string modes;
  if (n("apHeadingHold")) modes += " HDG";
  if (n("apAltitudeHold")) {
    modes += " ALT";
  } else if (n("apVerticalHold")) {
    modes += " VS";
  }
  if (n("apAirspeedHold")) modes += " SPD";
  if (n("apMachHold")) modes += " MACH";
  if (n("apRpmHold")) modes += " N1";
  if (n("apNavHold")) modes += " LOC";
  if (n("apGlideSlopeHold")) modes += " GS";
  return modes.empty() ? " none" : modes;
}

}  // namespace

bool Freshness::Observe(const Frame& frame, Clock::time_point now) {
  if (has_frame_ && frame.bytes == last_) return false;
  last_ = frame.bytes;
  has_frame_ = true;
  changed_ = now;
  return true;
}

Clock::duration Freshness::Age(Clock::time_point now) const {
  return has_frame_ ? std::max(now - changed_, Clock::duration::zero()) : Clock::duration::zero();
}

std::string Bank(double degrees) {
  // What shows as 0.0 has no side.
  const char side = !(std::fabs(degrees) >= 0.05) ? ' ' : degrees < 0 ? 'L' : 'R';
  return side + Num(std::fabs(degrees), 4, 1);
}

std::vector<std::string> Panel(const Frame& f, const ViewState& state) {
  auto n = [&](const char* name, std::size_t i = 0) { return f.Number(name, i).value_or(0.0); };
  std::vector<std::string> lines;

  std::string head = "zelm watch " + Clip(state.where, 26);
  if (!state.has_frame) {
    head += "  waiting for the first frame";
  } else {
    head += "  " + Num(state.frames_per_second, 5, 1) + " frames/s  frame age " +
            AgeText(state.age) + (state.stale ? "  STALE" : "");
  }
  lines.push_back(head);
  if (!state.problem.empty()) {
    lines.push_back(Clip("reconnecting... " + state.problem, kMaxLineWidth));
  }
  if (!state.has_frame) return lines;

  lines.push_back("Position   " + Coordinate(n("latitude"), 'N', 'S') + "  " +
                  Coordinate(n("longitude"), 'E', 'W') + "   altitude " + Num(n("altitude"), 7, 0) +
                  " ft   radio " + Num(n("radioHeight"), 7, 0) + " ft");
  lines.push_back("Attitude   pitch " + Num(n("pitch"), 5, 1, "+") + "  bank " + Bank(n("bank")) +
                  "   heading " + Num(n("trueHeading"), 5, 1, "0") + " true " +
                  Num(n("magneticHeading"), 5, 1, "0") + " mag   track " +
                  Num(n("groundTrack"), 5, 1, "0"));
  lines.push_back("Speeds     IAS " + Num(n("indicatedAirspeed"), 5, 1) + " kt  TAS " +
                  Num(n("trueAirspeed"), 5, 1) + " kt  GS " + Num(n("groundSpeed"), 5, 1) +
                  " kt  Mach " + Num(n("mach"), 5, 3) + "  VS " +
                  Num(n("verticalSpeed"), 6, 0, "+") + " ft/min");
  lines.push_back("Autopilot  AP " + OnOff(n("apMaster")) + "  A/T " +
                  OnOff(n("autothrottleArmed")) + "  FD " + OnOff(n("flightDirectorActive")) +
                  "  modes" + Modes(f));
  lines.push_back("           HDG " + Num(n("apHeading"), 3, 0, "0") + "  ALT " +
                  Num(n("apAltitude"), 6, 0) + " ft  VS " + Num(n("apVerticalSpeed"), 6, 0, "+") +
                  " ft/min  SPD " + Num(n("apAirspeed"), 5, 0) + " kt  MACH " +
                  Num(n("apMach"), 4, 2));
  for (std::size_t r = 0; r < 2; ++r) {
    lines.push_back(
        "NAV" + std::to_string(r + 1) + "       " + Num(n("navFrequency", r), 6, 2) + " " +
        Ident(f, "navIdent", r, 5) + "  " + (n("navReceiving", r) != 0.0 ? "NAV " : "--- ") +
        (n("navLocalizer", r) != 0.0 ? "LOC " : "    ") +
        (n("navGlideSlope", r) != 0.0 ? "GS" : "  ") + "  DME " + Num(n("dmeDistance", r), 5, 1) +
        " nm  brg " + Num(n("navRelativeBearing", r), 3, 0, "0") + "  CDI " +
        Num(n("courseDeviation", r), 5, 2, "+") + "  GS " +
        Num(n("glideSlopeDeviation", r), 5, 2, "+"));
  }
  // COM frequencies come as BCD digits / 10000: 0.2345 is 123.45 MHz.
  lines.push_back("ADF1       " + Num(n("adfFrequency"), 6, 1) + " kHz  brg " +
                  Num(n("adfRelativeBearing"), 3, 0, "0") + "   COM1 " +
                  Num(100.0 + n("comFrequency", 0) * 100.0, 7, 3) + "  COM2 " +
                  Num(100.0 + n("comFrequency", 1) * 100.0, 7, 3) + "   markers " +
                  (n("outerMarker") != 0.0 ? "O" : "-") + (n("middleMarker") != 0.0 ? "M" : "-") +
                  (n("innerMarker") != 0.0 ? "I" : "-"));
  std::string engines = "Engines    N1";
  for (std::size_t e = 0; e < 4; ++e) engines += " " + Num(n("engineN1", e), 5, 1);
  engines += "  EGT";
  for (std::size_t e = 0; e < 4; ++e) engines += " " + Num(n("exhaustGasTemperature", e), 4, 0);
  double fuel_flow = 0.0;
  for (std::size_t e = 0; e < 4; ++e) fuel_flow += n("fuelFlow", e);
  lines.push_back(engines + "  FF " + Num(fuel_flow, 5, 2) + " klb/h");
  lines.push_back("Flaps      " + Num(n("flapAngle"), 4, 1) + " deg (detent " +
                  Num(n("flapDetentAngle"), 4, 1) + " of " + Num(n("flapLastDetentAngle"), 4, 1) +
                  ")   gear " + (n("gearLeftDown") != 0.0 ? "down" : "up  ") + "   spoilers " +
                  Num(n("spoilerDeflection"), 4, 2));
  return lines;
}

std::string Line(const Frame& f, const ViewState& state, std::string_view clock) {
  auto n = [&](const char* name) { return f.Number(name).value_or(0.0); };
  const std::string time(clock.substr(0, 8));
  if (!state.problem.empty()) {
    return Clip(time + " reconnecting... " + state.problem, kMaxLineWidth);
  }
  if (!state.has_frame) return time + " waiting for the first frame";
  return time + " alt " + Num(n("altitude"), 6, 0) + " IAS " + Num(n("indicatedAirspeed"), 5, 0) +
         " hdg " + Num(n("trueHeading"), 3, 0, "0") + " bank " + Bank(n("bank")) + " VS " +
         Num(n("verticalSpeed"), 6, 0, "+") + " age " + AgeText(state.age) +
         (state.stale ? " STALE" : "");
}

}  // namespace zelm::watch
