// The stand-in's aircraft: a small, plausible flight that the stand-in simulator serves to the
// add-on as simulation variables. A four-engine jet cruises over a fictional airfield area with
// a localizer and glide slope on NAV1, a VOR on NAV2, an NDB on the ADF and marker beacons on
// the approach; wind drifts it, engines burn fuel, and its autopilot flies the engaged modes
// (heading to the bug at standard rate or 25 degrees of bank, climbs and descents to the
// selected altitude at the selected vertical speed, speed and Mach hold, localizer and glide
// slope tracking).
//
// Every variable is held in its base unit (see units.h) and read by its simulator name, with an
// index suffix ":n" for engines, tanks and receivers.
//
// Not thread-safe: one thread (the stand-in's frame loop) owns a model.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/units.h"

namespace velkaro::standin {

struct Station {
  const char* ident;
  double frequency_mhz;
  double latitude_deg;
  double longitude_deg;
  double elevation_ft;
  bool localizer;    // with its course below
  bool glide_slope;  // 3 degrees to the threshold at the station's position
  bool dme;
  double course_deg;  // magnetic localizer course
  double range_nm;
};

struct EngineState {
  double n1 = 0.0;  // fraction
  double n2 = 0.0;  // fraction
  double egt_rankine = 491.67;
  double oil_temperature_rankine = 491.67;
  double oil_pressure_psf = 0.0;
  double oil_quantity = 0.95;  // fraction
  double vibration = 0.0;
  double hydraulic_pressure_psf = 0.0;
  double hydraulic_quantity = 0.98;  // fraction
  double fuel_flow_pph = 0.0;
  double fuel_pressure_psi = 0.0;
  double torque_ftlb = 0.0;
  double rpm = 0.0;
  double tit_rankine = 491.67;
  double pressure_ratio = 1.0;
  bool starter = false;
};

struct FlightState {
  std::string title = "Velkaro Trainer";
  double latitude_rad = 0.0;
  double longitude_rad = 0.0;
  double altitude_ft = 0.0;
  double ground_elevation_ft = 400.0;
  double heading_true_rad = 0.0;
  double tas_kt = 0.0;
  double vertical_speed_fpm = 0.0;
  double pitch_rad = 0.0;  // nose up positive here; the simulator reports it negated below
  double bank_rad = 0.0;   // right wing down positive here; reported negated
  double aoa_rad = 0.0;
  double turn_rate_rad_s = 0.0;
  double ball = 0.0;
  double g_force = 1.0;
  double kohlsman_mb = 1013.25;
  double magvar_deg = 15.5;  // east
  double wind_from_deg = 300.0;
  double wind_kt = 25.0;

  bool ap_master = false;
  bool ap_throttle_arm = false;
  bool ap_heading_lock = false;
  bool ap_airspeed_hold = false;
  bool ap_mach_hold = false;
  bool ap_rpm_hold = false;
  bool ap_altitude_lock = false;
  bool ap_vertical_hold = false;
  bool ap_nav1_lock = false;
  bool ap_glideslope_hold = false;
  bool ap_approach_hold = false;
  bool fd_active = false;
  double fd_bank_rad = 0.0;
  double fd_pitch_rad = 0.0;
  double ap_heading_bug_deg = 90.0;  // magnetic
  double ap_airspeed_kt = 250.0;
  double ap_mach = 0.60;
  double ap_n1_reference = 85.0;
  double ap_altitude_ft = 8000.0;
  double ap_vertical_speed_fpm = 0.0;

  std::array<double, 3> gear = {0.0, 0.0, 0.0};  // centre, left, right: fraction extended
  double flaps_handle_index = 0.0;
  double flaps_handle_positions = 5.0;
  double flaps_left_rad = 0.0;
  double flaps_right_rad = 0.0;
  bool spoilers_armed = false;
  double spoilers_left = 0.0;  // fraction
  double spoilers_right = 0.0;
  double elevator_trim_rad = 0.0;
  double aileron_trim_rad = 0.0;
  double rudder_trim_rad = 0.0;

  std::array<EngineState, 4> engines{};
  std::array<double, 9> tank_level{};  // fraction, tank order of the record
  std::array<double, 9> tank_capacity_gal{};

  std::array<double, 2> nav_frequency_mhz = {110.50, 113.70};
  std::array<double, 2> nav_obs_deg = {90.0, 90.0};
  std::array<double, 2> adf_frequency_mhz = {0.350, 0.0};
  std::array<double, 2> com_frequency_mhz = {123.45, 121.50};
};

class AircraftModel {
 public:
  AircraftModel();

  // Advances the flight by `seconds` of simulated time.
  void Advance(double seconds);

  // A simulation variable in its base unit, or its text; empty when the model has none of that
  // name (or index).
  std::optional<double> Number(std::string_view name) const;
  std::optional<std::string> Text(std::string_view name) const;
  std::optional<Dimension> DimensionOf(std::string_view name) const;

  // Sets a state variable in its base unit (a pinned value); false when the variable is derived
  // from others or unknown.
  bool Set(std::string_view name, double base);

  // Applies a client event as the simulator does; false when the event is not one the model
  // knows.
  bool ApplyEvent(std::string_view event, std::uint32_t data);

  FlightState& state() { return state_; }
  const FlightState& state() const { return state_; }

  // Receiver geometry, for the NAV and ADF variables.
  struct NavReading {
    bool has_nav = false;
    bool has_localizer = false;
    bool has_glide_slope = false;
    bool has_dme = false;
    double radial_deg = 0.0;  // magnetic bearing from the station
    double dme_nm = 0.0;
    double cdi = 0.0;  // -127..127
    double gsi = 0.0;  // -119..119
    int to_from = 0;   // 0 off, 1 to, 2 from
    const char* ident = "";
  };
  NavReading Nav(int receiver) const;
  double AdfRelativeBearingDeg(int receiver, bool* available) const;
  int MarkerState() const;

  double IndicatedAirspeedKt() const;
  double Mach() const;
  double SpeedOfSoundKt() const;
  double GroundSpeedKt() const;
  double VelocityNorthFps() const;
  double VelocityEastFps() const;

 private:
  void FlyAutopilot(double seconds);
  void RunEngines(double seconds);
  FlightState state_;
};

}  // namespace velkaro::standin
