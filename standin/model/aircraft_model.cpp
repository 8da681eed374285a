#include "model/aircraft_model.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

namespace velkaro::standin {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadPerDeg = kPi / 180.0;
constexpr double kDegPerRad = 180.0 / kPi;
constexpr double kFpsPerKnot = 1.6878098571011957;
constexpr double kEarthRadiusFt = 20902231.0;
constexpr double kFeetPerNm = 6076.115485564304;
constexpr double kGravityFps2 = 32.174;
constexpr double kStandardRateDegS = 3.0;
constexpr double kMaxBankDeg = 25.0;
constexpr double kDefaultClimbFpm = 1800.0;
constexpr double kPoundsPerGallon = 6.7;

// The airfield area the flight starts in. NAV1 is tuned to the localizer with its glide slope,
// NAV2 to the VOR, the ADF to the NDB; the markers lie on the localizer's approach.
constexpr Station kStations[] = {
    {"IVLK", 110.50, 47.4500, -121.8000, 400.0, true, true, true, 105.5, 25.0},
    {"VLK", 113.70, 47.3000, -122.0500, 1200.0, false, false, true, 0.0, 130.0},
};
struct Beacon {
  const char* ident;
  double frequency_mhz;
  double latitude_deg;
  double longitude_deg;
};
constexpr Beacon kNdb{"VK", 0.350, 47.4600, -122.2000};
struct Marker {
  int state;
  double distance_nm;  // before the threshold, on the localizer course
};
constexpr Marker kMarkers[] = {{1, 5.0}, {2, 0.6}, {3, 0.15}};
constexpr double kMarkerRadiusNm = 0.35;

double Normalise180(double deg) {
  deg = std::fmod(deg, 360.0);
  if (deg > 180.0) deg -= 360.0;
  if (deg < -180.0) deg += 360.0;
  return deg;
}
double Normalise360(double deg) {
  deg = std::fmod(deg, 360.0);
  return deg < 0.0 ? deg + 360.0 : deg;
}
double Clamp(double v, double lo, double hi) {
  return std::max(lo, std::min(hi, v));
}
double Approach(double value, double target, double max_step) {
  return value + Clamp(target - value, -max_step, max_step);
}

// Flat-earth offsets are plenty over the few tens of miles this flight covers.
struct Offset {
  double north_ft;
  double east_ft;
};
Offset OffsetBetween(double from_lat_deg, double from_lon_deg, double to_lat_rad,
                     double to_lon_rad) {
  const double lat0 = from_lat_deg * kRadPerDeg;
  return {(to_lat_rad - lat0) * kEarthRadiusFt,
          (to_lon_rad - from_lon_deg * kRadPerDeg) * kEarthRadiusFt * std::cos(lat0)};
}

// Standard atmosphere, troposphere.
double TemperatureRatio(double altitude_ft) {
  return std::max(0.75, 1.0 - 6.8756e-6 * altitude_ft);
}
double DensityRatio(double altitude_ft) {
  return std::pow(TemperatureRatio(altitude_ft), 4.2561);
}

// Parses "NAME:3" into "NAME" and index 2; a name without suffix has index 0.
struct VariableName {
  std::string_view base;
  int index;
  bool indexed;
};
VariableName SplitName(std::string_view name) {
  const std::size_t colon = name.rfind(':');
  if (colon == std::string_view::npos) return {name, 0, false};
  int index = 0;
  const auto* first = name.data() + colon + 1;
  const auto* last = name.data() + name.size();
  const auto [end, error] = std::from_chars(first, last, index);
  if (error != std::errc() || end != last || index < 1) return {name, -1, true};
  return {name.substr(0, colon), index - 1, true};
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

using Getter = double (*)(const AircraftModel&, int index);
using Setter = void (*)(FlightState&, int index, double value);

struct Variable {
  const char* name;
  Dimension dimension;
  int count;  // 0: no index; n: indices 1..n
  Getter get;
  Setter set;
};

const FlightState& S(const AircraftModel& m) {
  return m.state();
}
double B(bool v) {
  return v ? 1.0 : 0.0;
}

// clang-format off
const Variable kVariables[] = {
  {"PLANE LATITUDE", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).latitude_rad; },
   [](FlightState& s, int, double v) { s.latitude_rad = v; }},
  {"PLANE LONGITUDE", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).longitude_rad; },
   [](FlightState& s, int, double v) { s.longitude_rad = v; }},
  {"PLANE ALTITUDE", Dimension::kLength, 0, [](const AircraftModel& m, int) { return S(m).altitude_ft; },
   [](FlightState& s, int, double v) { s.altitude_ft = v; }},
  {"INDICATED ALTITUDE", Dimension::kLength, 0, [](const AircraftModel& m, int) {
     // The altimeter reads the pressure altitude corrected by its setting (27 ft per hPa).
     return S(m).altitude_ft + (S(m).kohlsman_mb - 1013.25) * 27.0; }, nullptr},
  {"RADIO HEIGHT", Dimension::kLength, 0, [](const AircraftModel& m, int) {
     return std::max(0.0, S(m).altitude_ft - S(m).ground_elevation_ft); }, nullptr},
  {"GROUND ALTITUDE", Dimension::kLength, 0, [](const AircraftModel& m, int) { return S(m).ground_elevation_ft; },
   [](FlightState& s, int, double v) { s.ground_elevation_ft = v; }},
  {"KOHLSMAN SETTING MB", Dimension::kPressure, 0, [](const AircraftModel& m, int) {
     return S(m).kohlsman_mb * 2.0885434233150127; },
   [](FlightState& s, int, double v) { s.kohlsman_mb = v / 2.0885434233150127; }},
  {"PLANE HEADING DEGREES TRUE", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).heading_true_rad; },
   [](FlightState& s, int, double v) { s.heading_true_rad = v; }},
  {"PLANE HEADING DEGREES MAGNETIC", Dimension::kAngle, 0, [](const AircraftModel& m, int) {
     return Normalise360(S(m).heading_true_rad * kDegPerRad - S(m).magvar_deg) * kRadPerDeg; }, nullptr},
  {"GPS GROUND TRUE TRACK", Dimension::kAngle, 0, [](const AircraftModel& m, int) {
     return Normalise360(std::atan2(m.VelocityEastFps(), m.VelocityNorthFps()) * kDegPerRad) * kRadPerDeg; }, nullptr},
  {"MAGVAR", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).magvar_deg * kRadPerDeg; },
   [](FlightState& s, int, double v) { s.magvar_deg = v * kDegPerRad; }},
  {"AIRSPEED INDICATED", Dimension::kSpeed, 0, [](const AircraftModel& m, int) {
     return m.IndicatedAirspeedKt() * kFpsPerKnot; }, nullptr},
  {"AIRSPEED MACH", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return m.Mach(); }, nullptr},
  {"GROUND VELOCITY", Dimension::kSpeed, 0, [](const AircraftModel& m, int) { return m.GroundSpeedKt() * kFpsPerKnot; }, nullptr},
  {"AIRSPEED TRUE", Dimension::kSpeed, 0, [](const AircraftModel& m, int) { return S(m).tas_kt * kFpsPerKnot; },
   [](FlightState& s, int, double v) { s.tas_kt = v / kFpsPerKnot; }},
  {"VERTICAL SPEED", Dimension::kSpeed, 0, [](const AircraftModel& m, int) { return S(m).vertical_speed_fpm / 60.0; },
   [](FlightState& s, int, double v) { s.vertical_speed_fpm = v * 60.0; }},
  {"AIRSPEED BARBER POLE", Dimension::kSpeed, 0, [](const AircraftModel& m, int) {
     // The lower of VMO 350 kt and the indicated speed at MMO 0.82.
     const double mmo_ias = 0.82 * m.SpeedOfSoundKt() * std::sqrt(DensityRatio(S(m).altitude_ft));
     return std::min(350.0, mmo_ias) * kFpsPerKnot; }, nullptr},
  {"PLANE BANK DEGREES", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return -S(m).bank_rad; },
   [](FlightState& s, int, double v) { s.bank_rad = -v; }},
  {"PLANE PITCH DEGREES", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return -S(m).pitch_rad; },
   [](FlightState& s, int, double v) { s.pitch_rad = -v; }},
  {"ANGLE OF ATTACK INDICATOR", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).aoa_rad; }, nullptr},
  {"TURN INDICATOR RATE", Dimension::kAngularRate, 0, [](const AircraftModel& m, int) { return S(m).turn_rate_rad_s; }, nullptr},
  {"TURN COORDINATOR BALL", Dimension::kFraction, 0, [](const AircraftModel& m, int) { return S(m).ball; },
   [](FlightState& s, int, double v) { s.ball = v; }},
  {"G FORCE", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return S(m).g_force; }, nullptr},
  {"AUTOPILOT HEADING LOCK DIR", Dimension::kAngle, 0, [](const AircraftModel& m, int) {
     return S(m).ap_heading_bug_deg * kRadPerDeg; },
   [](FlightState& s, int, double v) { s.ap_heading_bug_deg = v * kDegPerRad; }},
  {"AUTOPILOT AIRSPEED HOLD VAR", Dimension::kSpeed, 0, [](const AircraftModel& m, int) {
     return S(m).ap_airspeed_kt * kFpsPerKnot; },
   [](FlightState& s, int, double v) { s.ap_airspeed_kt = v / kFpsPerKnot; }},
  {"AUTOPILOT MACH HOLD VAR", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return S(m).ap_mach; },
   [](FlightState& s, int, double v) { s.ap_mach = v; }},
  {"AUTOPILOT RPM HOLD VAR", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return S(m).ap_n1_reference; },
   [](FlightState& s, int, double v) { s.ap_n1_reference = v; }},
  {"AUTOPILOT ALTITUDE LOCK VAR", Dimension::kLength, 0, [](const AircraftModel& m, int) { return S(m).ap_altitude_ft; },
   [](FlightState& s, int, double v) { s.ap_altitude_ft = v; }},
  {"AUTOPILOT VERTICAL HOLD VAR", Dimension::kSpeed, 0, [](const AircraftModel& m, int) {
     return S(m).ap_vertical_speed_fpm / 60.0; },
   [](FlightState& s, int, double v) { s.ap_vertical_speed_fpm = v * 60.0; }},
#define VELKARO_FLAG(NAME, MEMBER)                                                             \
  {NAME, Dimension::kNumber, 0, [](const AircraftModel& m, int) { return B(S(m).MEMBER); },    \
   [](FlightState& s, int, double v) { s.MEMBER = v != 0.0; }}
  VELKARO_FLAG("AUTOPILOT MASTER", ap_master),
  VELKARO_FLAG("AUTOPILOT THROTTLE ARM", ap_throttle_arm),
  VELKARO_FLAG("AUTOPILOT HEADING LOCK", ap_heading_lock),
  VELKARO_FLAG("AUTOPILOT AIRSPEED HOLD", ap_airspeed_hold),
  VELKARO_FLAG("AUTOPILOT MACH HOLD", ap_mach_hold),
  VELKARO_FLAG("AUTOPILOT RPM HOLD", ap_rpm_hold),
  VELKARO_FLAG("AUTOPILOT ALTITUDE LOCK", ap_altitude_lock),
  VELKARO_FLAG("AUTOPILOT VERTICAL HOLD", ap_vertical_hold),
  VELKARO_FLAG("AUTOPILOT NAV1 LOCK", ap_nav1_lock),
  VELKARO_FLAG("AUTOPILOT GLIDESLOPE HOLD", ap_glideslope_hold),
  VELKARO_FLAG("AUTOPILOT APPROACH HOLD", ap_approach_hold),
  VELKARO_FLAG("AUTOPILOT FLIGHT DIRECTOR ACTIVE", fd_active),
  VELKARO_FLAG("SPOILERS ARMED", spoilers_armed),
#undef VELKARO_FLAG
  {"AUTOPILOT FLIGHT DIRECTOR BANK", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).fd_bank_rad; }, nullptr},
  {"AUTOPILOT FLIGHT DIRECTOR PITCH", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).fd_pitch_rad; }, nullptr},
  {"GEAR CENTER POSITION", Dimension::kFraction, 0, [](const AircraftModel& m, int) { return S(m).gear[0]; },
   [](FlightState& s, int, double v) { s.gear[0] = v; }},
  {"GEAR LEFT POSITION", Dimension::kFraction, 0, [](const AircraftModel& m, int) { return S(m).gear[1]; },
   [](FlightState& s, int, double v) { s.gear[1] = v; }},
  {"GEAR RIGHT POSITION", Dimension::kFraction, 0, [](const AircraftModel& m, int) { return S(m).gear[2]; },
   [](FlightState& s, int, double v) { s.gear[2] = v; }},
  {"FLAPS HANDLE INDEX", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return S(m).flaps_handle_index; },
   [](FlightState& s, int, double v) { s.flaps_handle_index = v; }},
  {"FLAPS NUM HANDLE POSITIONS", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return S(m).flaps_handle_positions; },
   [](FlightState& s, int, double v) { s.flaps_handle_positions = v; }},
  {"TRAILING EDGE FLAPS LEFT ANGLE", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).flaps_left_rad; },
   [](FlightState& s, int, double v) { s.flaps_left_rad = v; }},
  {"TRAILING EDGE FLAPS RIGHT ANGLE", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).flaps_right_rad; },
   [](FlightState& s, int, double v) { s.flaps_right_rad = v; }},
  {"SPOILERS LEFT POSITION", Dimension::kFraction, 0, [](const AircraftModel& m, int) { return S(m).spoilers_left; },
   [](FlightState& s, int, double v) { s.spoilers_left = v; }},
  {"SPOILERS RIGHT POSITION", Dimension::kFraction, 0, [](const AircraftModel& m, int) { return S(m).spoilers_right; },
   [](FlightState& s, int, double v) { s.spoilers_right = v; }},
  {"ELEVATOR TRIM POSITION", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).elevator_trim_rad; },
   [](FlightState& s, int, double v) { s.elevator_trim_rad = v; }},
  {"AILERON TRIM", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).aileron_trim_rad; },
   [](FlightState& s, int, double v) { s.aileron_trim_rad = v; }},
  {"RUDDER TRIM", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).rudder_trim_rad; },
   [](FlightState& s, int, double v) { s.rudder_trim_rad = v; }},
#define VELKARO_ENGINE(NAME, DIMENSION, MEMBER)                                                  \
  {NAME, DIMENSION, 4, [](const AircraftModel& m, int i) { return static_cast<double>(S(m).engines[i].MEMBER); }, \
   [](FlightState& s, int i, double v) { s.engines[i].MEMBER = v; }}
  VELKARO_ENGINE("ENG N1 RPM", Dimension::kFraction, n1),
  VELKARO_ENGINE("ENG N2 RPM", Dimension::kFraction, n2),
  VELKARO_ENGINE("ENG PRESSURE RATIO", Dimension::kNumber, pressure_ratio),
  VELKARO_ENGINE("ENG EXHAUST GAS TEMPERATURE", Dimension::kTemperature, egt_rankine),
  VELKARO_ENGINE("GENERAL ENG OIL PRESSURE", Dimension::kPressure, oil_pressure_psf),
  VELKARO_ENGINE("GENERAL ENG OIL TEMPERATURE", Dimension::kTemperature, oil_temperature_rankine),
  VELKARO_ENGINE("ENG OIL QUANTITY", Dimension::kFraction, oil_quantity),
  VELKARO_ENGINE("ENG VIBRATION", Dimension::kNumber, vibration),
  VELKARO_ENGINE("ENG HYDRAULIC PRESSURE", Dimension::kPressure, hydraulic_pressure_psf),
  VELKARO_ENGINE("ENG HYDRAULIC QUANTITY", Dimension::kFraction, hydraulic_quantity),
  VELKARO_ENGINE("ENG FUEL FLOW PPH", Dimension::kMassFlow, fuel_flow_pph),
  VELKARO_ENGINE("ENG TORQUE", Dimension::kTorque, torque_ftlb),
  VELKARO_ENGINE("GENERAL ENG RPM", Dimension::kNumber, rpm),
  VELKARO_ENGINE("RECIP ENG TURBINE INLET TEMPERATURE", Dimension::kTemperature, tit_rankine),
#undef VELKARO_ENGINE
  {"GENERAL ENG FUEL PRESSURE", Dimension::kPressure, 4, [](const AircraftModel& m, int i) {
     return S(m).engines[i].fuel_pressure_psi * 144.0; },
   [](FlightState& s, int i, double v) { s.engines[i].fuel_pressure_psi = v / 144.0; }},
  {"GENERAL ENG STARTER", Dimension::kNumber, 4, [](const AircraftModel& m, int i) { return B(S(m).engines[i].starter); },
   [](FlightState& s, int i, double v) { s.engines[i].starter = v != 0.0; }},
#define VELKARO_TANK(NAME, INDEX)                                                               \
  {"FUEL TANK " NAME " LEVEL", Dimension::kFraction, 0, [](const AircraftModel& m, int) { return S(m).tank_level[INDEX]; }, \
   [](FlightState& s, int, double v) { s.tank_level[INDEX] = v; }},                             \
  {"FUEL TANK " NAME " CAPACITY", Dimension::kVolume, 0, [](const AircraftModel& m, int) { return S(m).tank_capacity_gal[INDEX]; }, \
   [](FlightState& s, int, double v) { s.tank_capacity_gal[INDEX] = v; }}
  VELKARO_TANK("CENTER", 0), VELKARO_TANK("CENTER2", 1), VELKARO_TANK("CENTER3", 2),
  VELKARO_TANK("LEFT MAIN", 3), VELKARO_TANK("RIGHT MAIN", 4), VELKARO_TANK("LEFT AUX", 5),
  VELKARO_TANK("RIGHT AUX", 6), VELKARO_TANK("LEFT TIP", 7), VELKARO_TANK("RIGHT TIP", 8),
#undef VELKARO_TANK
  {"HSI CDI NEEDLE VALID", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return B(m.Nav(0).has_nav); }, nullptr},
  {"HSI CDI NEEDLE", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return m.Nav(0).cdi; }, nullptr},
  {"HSI GSI NEEDLE VALID", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return B(m.Nav(0).has_glide_slope); }, nullptr},
  {"HSI GSI NEEDLE", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return m.Nav(0).gsi; }, nullptr},
  {"NAV AVAILABLE", Dimension::kNumber, 2, [](const AircraftModel&, int) { return 1.0; }, nullptr},
  {"NAV ACTIVE FREQUENCY", Dimension::kFrequency, 2, [](const AircraftModel& m, int i) { return S(m).nav_frequency_mhz[i]; },
   [](FlightState& s, int i, double v) { s.nav_frequency_mhz[i] = v; }},
  {"NAV HAS NAV", Dimension::kNumber, 2, [](const AircraftModel& m, int i) { return B(m.Nav(i).has_nav); }, nullptr},
  {"NAV HAS LOCALIZER", Dimension::kNumber, 2, [](const AircraftModel& m, int i) { return B(m.Nav(i).has_localizer); }, nullptr},
  {"NAV HAS GLIDE SLOPE", Dimension::kNumber, 2, [](const AircraftModel& m, int i) { return B(m.Nav(i).has_glide_slope); }, nullptr},
  {"NAV HAS DME", Dimension::kNumber, 2, [](const AircraftModel& m, int i) { return B(m.Nav(i).has_dme); }, nullptr},
  {"NAV CDI", Dimension::kNumber, 2, [](const AircraftModel& m, int i) { return m.Nav(i).cdi; }, nullptr},
  {"NAV GSI", Dimension::kNumber, 2, [](const AircraftModel& m, int i) { return m.Nav(i).gsi; }, nullptr},
  {"NAV MAGVAR", Dimension::kAngle, 2, [](const AircraftModel& m, int) { return S(m).magvar_deg * kRadPerDeg; }, nullptr},
  {"NAV RADIAL", Dimension::kAngle, 2, [](const AircraftModel& m, int i) { return m.Nav(i).radial_deg * kRadPerDeg; }, nullptr},
  {"NAV TOFROM", Dimension::kNumber, 2, [](const AircraftModel& m, int i) { return static_cast<double>(m.Nav(i).to_from); }, nullptr},
  {"NAV OBS", Dimension::kAngle, 2, [](const AircraftModel& m, int i) { return S(m).nav_obs_deg[i] * kRadPerDeg; },
   [](FlightState& s, int i, double v) { s.nav_obs_deg[i] = v * kDegPerRad; }},
  {"NAV DME", Dimension::kLength, 2, [](const AircraftModel& m, int i) { return m.Nav(i).dme_nm * kFeetPerNm; }, nullptr},
  {"ADF AVAILABLE", Dimension::kNumber, 2, [](const AircraftModel&, int i) { return B(i == 0); }, nullptr},
  {"ADF ACTIVE FREQUENCY", Dimension::kFrequency, 2, [](const AircraftModel& m, int i) { return S(m).adf_frequency_mhz[i]; },
   [](FlightState& s, int i, double v) { s.adf_frequency_mhz[i] = v; }},
  {"ADF RADIAL", Dimension::kAngle, 2, [](const AircraftModel& m, int i) {
     bool available = false;
     return m.AdfRelativeBearingDeg(i, &available) * kRadPerDeg; }, nullptr},
  {"COM ACTIVE FREQUENCY", Dimension::kFrequency, 2, [](const AircraftModel& m, int i) { return S(m).com_frequency_mhz[i]; },
   [](FlightState& s, int i, double v) { s.com_frequency_mhz[i] = v; }},
  {"MARKER BEACON STATE", Dimension::kNumber, 0, [](const AircraftModel& m, int) { return static_cast<double>(m.MarkerState()); }, nullptr},
  {"AMBIENT WIND DIRECTION", Dimension::kAngle, 0, [](const AircraftModel& m, int) { return S(m).wind_from_deg * kRadPerDeg; },
   [](FlightState& s, int, double v) { s.wind_from_deg = v * kDegPerRad; }},
  {"AMBIENT WIND VELOCITY", Dimension::kSpeed, 0, [](const AircraftModel& m, int) { return S(m).wind_kt * kFpsPerKnot; },
   [](FlightState& s, int, double v) { s.wind_kt = v / kFpsPerKnot; }},
  {"VELOCITY WORLD Z", Dimension::kSpeed, 0, [](const AircraftModel& m, int) { return m.VelocityNorthFps(); }, nullptr},
  {"VELOCITY WORLD X", Dimension::kSpeed, 0, [](const AircraftModel& m, int) { return m.VelocityEastFps(); }, nullptr},
  {"VELOCITY WORLD Y", Dimension::kSpeed, 0, [](const AircraftModel& m, int) { return S(m).vertical_speed_fpm / 60.0; }, nullptr},
};
// clang-format on

struct Found {
  const Variable* variable;
  int index;
};

std::optional<Found> Find(std::string_view name) {
  const VariableName split = SplitName(name);
  for (const Variable& v : kVariables) {
    if (!SameText(v.name, split.base)) continue;
    if (v.count == 0) {
      if (split.indexed) return std::nullopt;
      return Found{&v, 0};
    }
    const int index =
        split.indexed ? split.index : 0;  // an engine variable without ":n" is engine 1
    if (index < 0 || index >= v.count) return std::nullopt;
    return Found{&v, index};
  }
  return std::nullopt;
}

}  // namespace

AircraftModel::AircraftModel() {
  FlightState& s = state_;
  s.latitude_rad = 47.4950 * kRadPerDeg;
  s.longitude_rad = -122.4500 * kRadPerDeg;
  s.altitude_ft = 8000.0;
  s.heading_true_rad = 105.0 * kRadPerDeg;
  s.tas_kt = 280.0;
  s.ap_heading_bug_deg = 90.0;
  s.ap_altitude_ft = 8000.0;
  s.ap_airspeed_kt = 250.0;
  s.tank_capacity_gal = {4000.0, 0.0, 0.0, 1500.0, 1500.0, 600.0, 600.0, 0.0, 0.0};
  s.tank_level = {0.62, 0.0, 0.0, 0.95, 0.95, 0.80, 0.80, 0.0, 0.0};
  for (EngineState& e : s.engines) {
    e.n1 = 0.78;
    e.n2 = 0.88;
  }
  RunEngines(60.0);  // settle the engine gauges on their cruise values
  Advance(0.0);
}

double AircraftModel::SpeedOfSoundKt() const {
  return 661.47 * std::sqrt(TemperatureRatio(state_.altitude_ft));
}
double AircraftModel::Mach() const {
  return state_.tas_kt / SpeedOfSoundKt();
}
double AircraftModel::IndicatedAirspeedKt() const {
  return state_.tas_kt * std::sqrt(DensityRatio(state_.altitude_ft));
}
double AircraftModel::VelocityNorthFps() const {
  const double heading = state_.heading_true_rad;
  const double wind_from = state_.wind_from_deg * kRadPerDeg;
  return (state_.tas_kt * std::cos(heading) - state_.wind_kt * std::cos(wind_from)) * kFpsPerKnot;
}
double AircraftModel::VelocityEastFps() const {
  const double heading = state_.heading_true_rad;
  const double wind_from = state_.wind_from_deg * kRadPerDeg;
  return (state_.tas_kt * std::sin(heading) - state_.wind_kt * std::sin(wind_from)) * kFpsPerKnot;
}
double AircraftModel::GroundSpeedKt() const {
  return std::hypot(VelocityNorthFps(), VelocityEastFps()) / kFpsPerKnot;
}

AircraftModel::NavReading AircraftModel::Nav(int receiver) const {
  NavReading reading;
  const double frequency = state_.nav_frequency_mhz[static_cast<std::size_t>(receiver)];
  const Station* station = nullptr;
  for (const Station& candidate : kStations) {
    if (std::fabs(candidate.frequency_mhz - frequency) < 0.005) station = &candidate;
  }
  if (station == nullptr) return reading;
  reading.ident = station->ident;

  const Offset to_aircraft = OffsetBetween(station->latitude_deg, station->longitude_deg,
                                           state_.latitude_rad, state_.longitude_rad);
  const double distance_nm = std::hypot(to_aircraft.north_ft, to_aircraft.east_ft) / kFeetPerNm;
  if (distance_nm > station->range_nm) return reading;
  const double bearing_from_true =
      Normalise360(std::atan2(to_aircraft.east_ft, to_aircraft.north_ft) * kDegPerRad);
  reading.radial_deg = Normalise360(bearing_from_true - state_.magvar_deg);
  reading.dme_nm = distance_nm;
  reading.has_dme = station->dme;
  reading.has_nav = true;

  const double obs = state_.nav_obs_deg[static_cast<std::size_t>(receiver)];
  if (station->localizer) {
    // The localizer's course leads to the threshold; the aircraft is on it when the bearing to
    // the station equals the course.
    const double bearing_to = Normalise360(reading.radial_deg + 180.0);
    const double off_course = Normalise180(bearing_to - station->course_deg);
    if (std::fabs(off_course) > 35.0) return reading;  // outside the localizer's beam
    reading.has_localizer = true;
    reading.to_from = 1;
    // As for a VOR: the needle lies on the side the course is on, right positive. Off the
    // course to its right, the station is seen left of the course (off_course negative).
    reading.cdi = Clamp(off_course / 2.5 * 127.0, -127.0, 127.0);
    if (station->glide_slope && distance_nm < 10.0) {
      reading.has_glide_slope = true;
      const double height = state_.altitude_ft - station->elevation_ft;
      const double elevation_deg = std::atan2(height, distance_nm * kFeetPerNm) * kDegPerRad;
      reading.gsi = Clamp(-(elevation_deg - 3.0) / 0.7 * 119.0, -119.0, 119.0);
    }
  } else {
    const double bearing_to = Normalise360(reading.radial_deg + 180.0);
    const bool to = std::fabs(Normalise180(obs - bearing_to)) <= 90.0;
    reading.to_from = to ? 1 : 2;
    const double deviation =
        to ? Normalise180(bearing_to - obs) : Normalise180(reading.radial_deg - obs);
    reading.cdi = Clamp(deviation / 10.0 * 127.0, -127.0, 127.0);
  }
  return reading;
}

double AircraftModel::AdfRelativeBearingDeg(int receiver, bool* available) const {
  *available = false;
  if (std::fabs(state_.adf_frequency_mhz[static_cast<std::size_t>(receiver)] - kNdb.frequency_mhz) >
      0.0005) {
    return 0.0;
  }
  const Offset to_aircraft = OffsetBetween(kNdb.latitude_deg, kNdb.longitude_deg,
                                           state_.latitude_rad, state_.longitude_rad);
  const double bearing_to_true =
      Normalise360(std::atan2(-to_aircraft.east_ft, -to_aircraft.north_ft) * kDegPerRad);
  *available = true;
  return Normalise360(bearing_to_true - state_.heading_true_rad * kDegPerRad);
}

int AircraftModel::MarkerState() const {
  const Station& localizer = kStations[0];
  const double course_true = (localizer.course_deg + state_.magvar_deg) * kRadPerDeg;
  for (const Marker& marker : kMarkers) {
    // Markers lie before the threshold, against the course.
    const double north_ft = -std::cos(course_true) * marker.distance_nm * kFeetPerNm;
    const double east_ft = -std::sin(course_true) * marker.distance_nm * kFeetPerNm;
    const Offset to_aircraft = OffsetBetween(localizer.latitude_deg, localizer.longitude_deg,
                                             state_.latitude_rad, state_.longitude_rad);
    const double distance_nm =
        std::hypot(to_aircraft.north_ft - north_ft, to_aircraft.east_ft - east_ft) / kFeetPerNm;
    if (distance_nm < kMarkerRadiusNm) return marker.state;
  }
  return 0;
}

void AircraftModel::FlyAutopilot(double dt) {
  FlightState& s = state_;
  double heading_deg = s.heading_true_rad * kDegPerRad;
  double turn_rate_deg_s = 0.0;
  double target_vs = 0.0;

  if (s.ap_master) {
    // Lateral: localizer tracking, else heading to the bug.
    std::optional<double> target_heading_mag;
    const NavReading nav1 = Nav(0);
    if ((s.ap_nav1_lock || s.ap_approach_hold) && nav1.has_localizer) {
      // Towards the needle: up to 30 degrees off the course to intercept it.
      target_heading_mag = s.nav_obs_deg[0] + Clamp(nav1.cdi / 127.0 * 30.0, -30.0, 30.0);
    } else if (s.ap_heading_lock) {
      target_heading_mag = s.ap_heading_bug_deg;
    }
    if (target_heading_mag) {
      // Standard rate, or less where that would bank the aircraft beyond 25 degrees.
      const double v_fps = std::max(1.0, s.tas_kt * kFpsPerKnot);
      const double max_rate =
          std::min(kStandardRateDegS,
                   kGravityFps2 * std::tan(kMaxBankDeg * kRadPerDeg) / v_fps * kDegPerRad);
      const double error = Normalise180(*target_heading_mag + s.magvar_deg - heading_deg);
      turn_rate_deg_s = Clamp(error * 0.5, -max_rate, max_rate);
    }

    // Vertical: glide slope, else altitude hold (climbing or descending to the selected altitude
    // at the selected vertical speed), else vertical speed hold.
    if ((s.ap_glideslope_hold || s.ap_approach_hold) && nav1.has_glide_slope) {
      const double descent_fpm = GroundSpeedKt() * 5.3;  // a 3 degree path
      target_vs = -descent_fpm + nav1.gsi / 119.0 * 600.0;
    } else if (s.ap_altitude_lock) {
      const double error = s.ap_altitude_ft - s.altitude_ft;
      double rate = std::fabs(s.ap_vertical_speed_fpm);
      if (rate < 1.0) rate = kDefaultClimbFpm;
      // Capture: the rate falls off over the last couple of hundred feet.
      target_vs = Clamp(error * 10.0, -rate, rate);
    } else if (s.ap_vertical_hold) {
      target_vs = s.ap_vertical_speed_fpm;
    }

    // Speed.
    if (s.ap_airspeed_hold) {
      const double ias = IndicatedAirspeedKt();
      const double change = Clamp(s.ap_airspeed_kt - ias, -2.0 * dt, 2.0 * dt);
      s.tas_kt = std::max(60.0, s.tas_kt + change / std::sqrt(DensityRatio(s.altitude_ft)));
    } else if (s.ap_mach_hold) {
      const double change = Clamp(s.ap_mach - Mach(), -0.005 * dt, 0.005 * dt);
      s.tas_kt = std::max(60.0, s.tas_kt + change * SpeedOfSoundKt());
    }
  }

  heading_deg = Normalise360(heading_deg + turn_rate_deg_s * dt);
  s.heading_true_rad = heading_deg * kRadPerDeg;
  s.turn_rate_rad_s = turn_rate_deg_s * kRadPerDeg;
  // Coordinated turn: bank from the turn rate and true airspeed.
  const double v_fps = s.tas_kt * kFpsPerKnot;
  s.bank_rad = std::atan(s.turn_rate_rad_s * v_fps / kGravityFps2);
  s.g_force = 1.0 / std::cos(s.bank_rad);
  s.ball = 0.0;

  // Vertical speed follows its target at 1000 fpm per second.
  s.vertical_speed_fpm = Approach(s.vertical_speed_fpm, target_vs, 1000.0 * dt);
  s.altitude_ft += s.vertical_speed_fpm / 60.0 * dt;
  s.aoa_rad = (2.0 + 100.0 / std::max(100.0, IndicatedAirspeedKt())) * kRadPerDeg;
  s.pitch_rad = std::atan2(s.vertical_speed_fpm / 60.0, std::max(1.0, v_fps)) + s.aoa_rad;

  s.fd_bank_rad = s.fd_active ? s.bank_rad : 0.0;
  s.fd_pitch_rad = s.fd_active ? s.pitch_rad : 0.0;
}

void AircraftModel::RunEngines(double dt) {
  FlightState& s = state_;
  // Thrust demand: level cruise needs about 78 % N1, climbs more, descents less.
  double demand = 0.78 + s.vertical_speed_fpm / 20000.0;
  if (s.ap_master && s.ap_rpm_hold) demand = s.ap_n1_reference / 100.0;
  demand = Clamp(demand, 0.30, 1.0);
  const double lag = 1.0 - std::exp(-dt / 2.0);
  double total_flow_pph = 0.0;
  for (EngineState& e : s.engines) {
    e.n1 += (demand - e.n1) * lag;
    e.n2 = 0.55 + 0.45 * e.n1;
    e.pressure_ratio = 1.0 + 0.6 * e.n1 * e.n1;
    e.egt_rankine = 491.67 + (300.0 + 450.0 * e.n1) * 1.8;
    e.tit_rankine = e.egt_rankine + 120.0;
    e.oil_temperature_rankine = 491.67 + (60.0 + 40.0 * e.n1) * 1.8;
    e.oil_pressure_psf = (25.0 + 30.0 * e.n2) * 144.0;
    e.hydraulic_pressure_psf = 3000.0 * 144.0;
    e.fuel_pressure_psi = 20.0 + 15.0 * e.n1;
    e.fuel_flow_pph = 600.0 + 5400.0 * e.n1 * e.n1;
    e.torque_ftlb = 0.0;
    e.rpm = e.n2 * 10000.0;
    e.vibration = 0.4 + 0.8 * e.n1;
    total_flow_pph += e.fuel_flow_pph;
  }
  // Burn from the fullest tank.
  const double burned_gal = total_flow_pph / 3600.0 * dt / kPoundsPerGallon;
  std::size_t fullest = 0;
  for (std::size_t i = 0; i < s.tank_level.size(); ++i) {
    if (s.tank_level[i] * s.tank_capacity_gal[i] >
        s.tank_level[fullest] * s.tank_capacity_gal[fullest]) {
      fullest = i;
    }
  }
  if (s.tank_capacity_gal[fullest] > 0.0) {
    s.tank_level[fullest] =
        std::max(0.0, s.tank_level[fullest] - burned_gal / s.tank_capacity_gal[fullest]);
  }
}

void AircraftModel::Advance(double dt) {
  FlyAutopilot(dt);
  RunEngines(dt);
  FlightState& s = state_;
  s.latitude_rad += VelocityNorthFps() * dt / kEarthRadiusFt;
  s.longitude_rad += VelocityEastFps() * dt / (kEarthRadiusFt * std::cos(s.latitude_rad));
  // Flaps follow their handle at 2 degrees per second towards 8 degrees per detent.
  const double flaps_target = Clamp(s.flaps_handle_index, 0.0, 20.0) * 8.0 * kRadPerDeg;
  s.flaps_left_rad = Approach(s.flaps_left_rad, flaps_target, 2.0 * kRadPerDeg * dt);
  s.flaps_right_rad = s.flaps_left_rad;
}

std::optional<double> AircraftModel::Number(std::string_view name) const {
  const std::optional<Found> found = Find(name);
  if (!found) return std::nullopt;
  return found->variable->get(*this, found->index);
}

std::optional<std::string> AircraftModel::Text(std::string_view name) const {
  if (SameText(name, "Title")) return state_.title;
  const VariableName split = SplitName(name);
  if (SameText(split.base, "NAV IDENT") && split.index >= 0 && split.index < 2) {
    return std::string(Nav(split.index).ident);
  }
  if (SameText(split.base, "ADF IDENT") && split.index >= 0 && split.index < 2) {
    bool available = false;
    AdfRelativeBearingDeg(split.index, &available);
    return std::string(available ? kNdb.ident : "");
  }
  return std::nullopt;
}

std::optional<Dimension> AircraftModel::DimensionOf(std::string_view name) const {
  const std::optional<Found> found = Find(name);
  if (!found) return std::nullopt;
  return found->variable->dimension;
}

bool AircraftModel::Set(std::string_view name, double base) {
  const std::optional<Found> found = Find(name);
  if (!found || found->variable->set == nullptr) return false;
  found->variable->set(state_, found->index, base);
  return true;
}

bool AircraftModel::ApplyEvent(std::string_view event, std::uint32_t data) {
  FlightState& s = state_;
  const auto value = static_cast<std::int32_t>(data);
  const bool on = data != 0;
  if (event == "AP_MASTER") {
    s.ap_master = !s.ap_master;
  } else if (event == "AUTO_THROTTLE_ARM") {
    s.ap_throttle_arm = !s.ap_throttle_arm;
  } else if (event == "TOGGLE_FLIGHT_DIRECTOR") {
    s.fd_active = !s.fd_active;
  } else if (event == "AP_N1_HOLD") {
    s.ap_rpm_hold = !s.ap_rpm_hold;
  } else if (event == "AP_LOC_HOLD") {
    s.ap_nav1_lock = !s.ap_nav1_lock;
  } else if (event == "AP_APP_HOLD") {
    s.ap_approach_hold = !s.ap_approach_hold;
  } else if (event == "AP_PANEL_ALTITUDE_SET") {
    s.ap_altitude_lock = on;
  } else if (event == "AP_PANEL_SPEED_SET") {
    s.ap_airspeed_hold = on;
    if (on) s.ap_mach_hold = false;
  } else if (event == "AP_PANEL_MACH_SET") {
    s.ap_mach_hold = on;
    if (on) s.ap_airspeed_hold = false;
  } else if (event == "AP_PANEL_HEADING_SET") {
    s.ap_heading_lock = on;
  } else if (event == "AP_ALT_VAR_SET_ENGLISH") {
    s.ap_altitude_ft = value;
  } else if (event == "AP_VS_VAR_SET_ENGLISH") {
    s.ap_vertical_speed_fpm = value;
  } else if (event == "AP_SPD_VAR_SET") {
    s.ap_airspeed_kt = value;
  } else if (event == "AP_MACH_VAR_SET") {
    s.ap_mach = value / 100.0;
  } else if (event == "HEADING_BUG_SET") {
    s.ap_heading_bug_deg = Normalise360(value);
  } else if (event == "AP_N1_REF_SET") {
    s.ap_n1_reference = value;
  } else if (event == "VOR1_SET") {
    s.nav_obs_deg[0] = Normalise360(value);
  } else {
    return false;
  }
  return true;
}

}  // namespace velkaro::standin
