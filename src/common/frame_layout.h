// The aircraft-state frame that clients fetch with "rSIMDATA30": 2280 bytes, a wire format.
// This table is its one definition: every field with its offset, encoding, element count, role
// (with the constant of a fixed field), start-up value, unit and meaning. The add-on writes the
// frame through it, the client library decodes it by field name through it, docs/protocol.md
// shows it (a test holds the two together), and the checks below prove at compile time that the
// fields lie inside the frame, do not overlap, keep their alignment and that every constant fits
// its field.
//
// Encodings: f64 IEEE 754 double, i32 two's complement, u8 one byte (flags are 0 or 1), text a
// fixed field holding 8-bit characters, a NUL and zero fill; all little-endian. Fields of n
// elements hold them back to back; for radio fields element 0 is receiver 1, for engine fields
// element e-1 is engine e. Bytes that no field covers are reserved and always zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "common/coding.h"
#include "common/protocol.h"

namespace velkaro {

inline constexpr std::size_t kFrameSize = 2280;

enum class FrameType : std::uint8_t { kF64, kI32, kU8, kText };

// What a field carries once the aircraft is converted:
//   kValue:   a value from the aircraft's state;
//   kFixed:   a constant that every conversion writes;
//   kStartup: its start-up value, which no conversion changes.
enum class FrameRole : std::uint8_t { kValue, kFixed, kStartup };

// The constant of a fixed field, written into every element: a number for f64, i32 and u8
// fields, a text for text fields.
struct FrameConstant {
  double number = 0.0;
  const char* text = nullptr;  // set for a text constant only
  bool is_text = false;        // (a flag, not text != nullptr: the address of a constant is not
                               // always comparable at compile time)
};

// The role column of the table: kValue, kStartup, or Fixed(constant). A fixed field always names
// its constant, so a bare kFixed does not compile.
struct FrameRoleColumn {
  FrameRole role;
  FrameConstant fixed;

  consteval FrameRoleColumn(FrameRole r) : role(r) {
    if (r == FrameRole::kFixed) throw "a fixed field names its constant: Fixed(...)";
  }
  consteval FrameRoleColumn(FrameConstant constant) : role(FrameRole::kFixed), fixed(constant) {}
};
consteval FrameRoleColumn Fixed(double number) {
  return FrameConstant{number, nullptr};
}
consteval FrameRoleColumn Fixed(int number) {
  return FrameConstant{static_cast<double>(number), nullptr};
}
consteval FrameRoleColumn Fixed(const char* text) {
  return FrameConstant{0.0, text, true};
}

struct FrameField {
  const char* name;
  std::size_t offset;
  FrameType type;
  std::size_t count;        // elements
  std::size_t text_length;  // bytes per element of a text field, NUL included; 0 otherwise
  FrameRole role;
  FrameConstant fixed;  // what every conversion writes into a kFixed field; empty otherwise
  double start;         // start-up value of every element (texts start empty)
  const char* unit;
  const char* meaning;

  constexpr FrameField(const char* name, std::size_t offset, FrameType type, std::size_t count,
                       std::size_t text_length, FrameRoleColumn role_column, double start,
                       const char* unit, const char* meaning)
      : name(name),
        offset(offset),
        type(type),
        count(count),
        text_length(text_length),
        role(role_column.role),
        fixed(role_column.fixed),
        start(start),
        unit(unit),
        meaning(meaning) {}
};

constexpr std::size_t ElementWidth(const FrameField& f) {
  switch (f.type) {
    case FrameType::kF64:
      return 8;
    case FrameType::kI32:
      return 4;
    case FrameType::kU8:
      return 1;
    case FrameType::kText:
      return f.text_length;
  }
  return 0;
}
constexpr std::size_t FieldBytes(const FrameField& f) {
  return ElementWidth(f) * f.count;
}

namespace frame_fields {
using enum FrameType;
using enum FrameRole;
// clang-format off
inline constexpr FrameField kAll[] = {
  {"magic",                 0, kText, 1, 8, Fixed(protocol::kFrameMagic), 0, "", "magic text"},
  {"simulatorName",         8, kText, 1, 8, Fixed("FSX"),    0, "", "simulator name"},
  {"platformName",         16, kText, 1, 8, Fixed("WIN32"),  0, "", "platform name"},
  {"conversionTime",       24, kF64, 1, 0, kValue,    0, "s", "time of the conversion, whole seconds since 1970-01-01 UTC"},
  {"startup32",            32, kF64, 1, 0, kStartup, 1013.0, "", ""},
  {"fixed40",              40, kF64, 1, 0, Fixed(1013.2), 1013.0, "", ""},
  {"startup48",            48, kF64, 1, 0, kStartup,  0, "", ""},
  {"startup56",            56, kF64, 1, 0, kStartup,  0, "", "copied into startupCopy"},
  {"fixed64",              64, kU8,  1, 0, Fixed(0), 0, "", ""},
  {"magneticVariation",    72, kF64, 1, 0, kValue,    0, "deg", "magnetic variation"},
  {"windDirection",        80, kF64, 1, 0, kValue,    0, "deg", "wind direction"},
  {"windSpeed",            88, kF64, 1, 0, kValue,    0, "kt", "wind speed"},
  {"latitude",             96, kF64, 1, 0, kValue,    0, "deg", "latitude"},
  {"longitude",           104, kF64, 1, 0, kValue,    0, "deg", "longitude"},
  {"altitude",            112, kF64, 1, 0, kValue,    0, "ft", "altitude"},
  {"fixed120",            120, kF64, 1, 0, Fixed(0.0), 0, "", ""},
  {"groundTrack",         128, kF64, 1, 0, kValue,    0, "deg", "true track over the ground, 0 to below 360"},
  {"trueHeading",         136, kF64, 1, 0, kValue,    0, "deg", "true heading"},
  {"trueAirspeed",        144, kF64, 1, 0, kValue,    0, "kt", "true airspeed"},
  {"mach",                152, kF64, 1, 0, kValue,    0, "", "Mach number"},
  {"groundSpeed",         160, kF64, 1, 0, kValue,    0, "kt", "ground speed"},
  {"verticalSpeed",       168, kF64, 1, 0, kValue,    0, "ft/min", "vertical speed"},
  {"pitch",               176, kF64, 1, 0, kValue,    0, "deg", "pitch, nose up positive"},
  {"bank",                184, kF64, 1, 0, kValue,    0, "deg", "bank, right wing down positive"},
  {"fixed192",            192, kF64, 2, 0, Fixed(0.0), 0, "", ""},
  {"angleOfAttack",       208, kF64, 1, 0, kValue,    0, "deg", "angle of attack"},
  {"fixed216",            216, kU8,  2, 0, Fixed(1), 1, "", ""},
  {"altimeterSetting",    224, kF64, 2, 0, kValue, 1013.0, "mbar", "altimeter setting (both elements)"},
  {"fixed240",            240, kF64, 2, 0, Fixed(0.0), 0, "", ""},
  {"indicatedAltitude",   256, kF64, 2, 0, kValue,    0, "ft", "indicated altitude (both elements)"},
  {"startupCopy",         272, kF64, 2, 0, Fixed(0.0), 0, "", "both elements: the value of startup56"},
  {"airDataTrueAirspeed", 288, kF64, 2, 0, kValue,    0, "kt", "true airspeed (both elements)"},
  {"indicatedAirspeed",   304, kF64, 2, 0, kValue,    0, "kt", "indicated airspeed (both elements)"},
  {"barberPoleAirspeed",  320, kF64, 2, 0, kValue,    0, "kt", "barber-pole airspeed (both elements)"},
  {"airDataMach",         336, kF64, 2, 0, kValue,    0, "", "Mach number (both elements)"},
  {"fixed352",            352, kU8, 14, 0, Fixed(1), 1, "", ""},
  {"startup368",          368, kF64, 1, 0, kStartup, 1013.0, "", ""},
  {"fixed376",            376, kF64, 1, 0, Fixed(0.0), 0, "", ""},
  {"standbyAltitude",     384, kF64, 1, 0, kValue,    0, "ft", "indicated altitude"},
  {"attitudePitch",       392, kF64, 2, 0, kValue,    0, "deg", "pitch as in pitch (both elements)"},
  {"attitudeBank",        408, kF64, 2, 0, kValue,    0, "deg", "bank as in bank (both elements)"},
  {"magneticHeading",     424, kF64, 2, 0, kValue,    0, "deg", "magnetic heading, 0 to below 360 (both elements)"},
  {"instrumentVerticalSpeed", 440, kF64, 2, 0, kValue, 0, "ft/min", "vertical speed (both elements)"},
  {"turnRate",            456, kF64, 2, 0, kValue,    0, "deg/s", "turn rate (both elements)"},
  {"compassHeading",      472, kF64, 1, 0, kValue,    0, "deg", "magnetic heading, 0 to below 360"},
  {"turnBall",            480, kF64, 1, 0, kValue,    0, "", "turn-coordinator ball, -3 to 3"},
  {"radioHeight",         488, kF64, 2, 0, kValue,    0, "ft", "radio height (both elements)"},
  {"loadFactor",          504, kF64, 1, 0, kValue,    0, "g", "load factor"},
  {"elevatorTrim",        512, kF64, 1, 0, kValue,    0, "deg", "elevator trim"},
  {"aileronTrim",         520, kF64, 1, 0, kValue,    0, "deg", "aileron trim"},
  {"rudderTrim",          528, kF64, 1, 0, kValue,    0, "deg", "rudder trim"},
  {"gearCenterDown",      536, kF64, 1, 0, kValue,    0, "", "centre gear extended, 1.0 or 0.0"},
  {"gearLeftDown",        544, kF64, 1, 0, kValue,    0, "", "left gear extended, 1.0 or 0.0"},
  {"gearRightDown",       552, kF64, 1, 0, kValue,    0, "", "right gear extended, 1.0 or 0.0"},
  {"flapAngle",           560, kF64, 1, 0, kValue,    0, "deg", "trailing-edge flap angle"},
  {"flapDetentAngle",     568, kF64, 1, 0, kValue,    0, "deg", "detent angle of the flap handle position"},
  {"flapLastDetentAngle", 576, kF64, 1, 0, kValue,    0, "deg", "detent angle at the number of flap handle positions"},
  {"spoilerDeflection",   584, kF64, 1, 0, kValue,    0, "", "spoiler deflection, 0 to 1"},
  {"spoilersArmed",       592, kU8,  1, 0, kValue,    0, "", "spoilers armed"},
  {"fixed593",            593, kU8,  3, 0, Fixed(0), 0, "", ""},
  {"fixed596",            596, kU8,  2, 0, Fixed(0), 0, "", ""},
  {"fixed598",            598, kU8,  2, 0, Fixed(0), 0, "", ""},
  {"fixed600",            600, kU8,  8, 0, Fixed(1), 0, "", ""},
  {"fixed608",            608, kU8,  2, 0, Fixed(1), 1, "", ""},
  {"navGlideSlope",       610, kU8,  2, 0, kValue,    0, "", "per receiver: NAV signal and glide slope"},
  {"navLocalizer",        612, kU8,  2, 0, kValue,    0, "", "per receiver: NAV signal and localizer"},
  {"fixed614",            614, kU8,  6, 0, Fixed(0), 0, "", ""},
  {"navGlideSlopeValid",  620, kU8,  2, 0, kValue,    0, "", "per receiver: NAV signal and glide slope"},
  {"navSignal",           622, kU8,  2, 0, kValue,    0, "", "per receiver: NAV signal"},
  {"fixed624",            624, kU8,  4, 0, Fixed(0), 0, "", ""},
  {"navFrom",             628, kU8,  2, 0, kValue,    0, "", "per receiver: FROM indication"},
  {"navTo",               630, kU8,  2, 0, kValue,    0, "", "per receiver: TO indication"},
  {"fixed632",            632, kU8,  2, 0, Fixed(0), 0, "", ""},
  {"fixed634",            634, kU8,  5, 0, Fixed(0), 0, "", ""},
  {"fixed639",            639, kU8,  4, 0, Fixed(1), 1, "", ""},
  {"fuelLevel",           648, kF64, 12, 0, kValue,   0, "%", "tank levels: centre, centre 2, centre 3, left main, right main, left aux, right aux, left tip, right tip; 9 to 11 always 0"},
  {"fuelCapacity",        744, kF64, 12, 0, kValue,   0, "gal", "tank capacities, same order"},
  {"fixed840",            840, kF64, 7, 0, Fixed(0.0), 0, "", ""},
  {"fixed896",            896, kU8,  7, 0, Fixed(0), 0, "", ""},
  {"engineN1",            904, kF64, 4, 0, kValue,    0, "%", "N1 per engine"},
  {"engineN2",            936, kF64, 4, 0, kValue,    0, "%", "N2 per engine"},
  {"enginePressureRatio", 968, kF64, 4, 0, kValue,    0, "", "engine pressure ratio"},
  {"exhaustGasTemperature", 1000, kF64, 4, 0, kValue, 0, "degC", "exhaust gas temperature"},
  {"engineVibration",    1032, kF64, 4, 0, kValue,    0, "", "engine vibration"},
  {"hydraulicPressure",  1064, kF64, 4, 0, kValue,    0, "psi", "hydraulic pressure"},
  {"hydraulicQuantity",  1096, kF64, 4, 0, kValue,    0, "", "hydraulic quantity (fraction / 100)"},
  {"engineTorque",       1128, kF64, 4, 0, kValue,    0, "in-lb", "torque, foot-pounds times 12"},
  {"engineRpm",          1160, kF64, 4, 0, kValue,    0, "rpm", "engine RPM"},
  {"turbineInletTemperature", 1192, kF64, 4, 0, kValue, 0, "degC", "turbine inlet temperature"},
  {"fuelFlow",           1224, kF64, 4, 0, kValue,    0, "klb/h", "fuel flow, thousands of pounds per hour"},
  {"fuelPressure",       1256, kF64, 4, 0, kValue,    0, "psi", "fuel pressure"},
  {"oilTemperature",     1288, kF64, 4, 0, kValue,    0, "degC", "oil temperature"},
  {"oilPressure",        1320, kF64, 4, 0, kValue,    0, "psi", "oil pressure"},
  {"fixed1352",          1352, kF64, 4, 0, Fixed(0.0), 0, "", ""},
  {"oilQuantity",        1384, kF64, 4, 0, kValue,    0, "%", "oil quantity"},
  {"fixed1416",          1416, kF64, 4, 0, Fixed(0.0), 0, "", ""},
  {"fixed1448",          1448, kF64, 4, 0, Fixed(0.0), 0, "", ""},
  {"starterEngaged",     1480, kI32, 4, 0, kValue,    0, "", "starter engaged, 0 or 1"},
  {"fixed1496",          1496, kU8, 28, 0, Fixed(0), 0, "", ""},
  {"fixed1524",          1524, kU8,  1, 0, Fixed(0), 0, "", ""},
  {"fixed1525",          1525, kU8, 52, 0, Fixed(0), 0, "", ""},
  {"starterFlag",        1577, kU8,  4, 0, kValue,    0, "", "starter engaged, 0 or 1"},
  {"navGlideSlopeCopy",  1581, kU8,  2, 0, kValue,    0, "", "per receiver: as navGlideSlope"},
  {"navLocalizerCopy",   1583, kU8,  2, 0, kValue,    0, "", "per receiver: as navLocalizer"},
  {"glideSlopeDeviation", 1592, kF64, 2, 0, kValue,   0, "", "per receiver: glide slope deviation, -1 to 1"},
  {"courseDeviation",    1608, kF64, 2, 0, kValue,    0, "", "per receiver: course deviation, -1 to 1"},
  {"fixed1624",          1624, kF64, 2, 0, Fixed(0.0), 0, "", ""},
  {"fixed1640",          1640, kF64, 2, 0, Fixed(0.0), 0, "", ""},
  {"navReceiving",       1656, kU8,  2, 0, kValue,    0, "", "per NAV receiver: available with a NAV signal"},
  {"adfAvailable",       1658, kU8,  2, 0, kValue,    0, "", "per ADF receiver: available"},
  {"navGlideSlopeReceiving", 1660, kU8, 2, 0, kValue, 0, "", "per NAV receiver: available, NAV signal and glide slope"},
  {"navReceivingCopy",   1662, kU8,  2, 0, kValue,    0, "", "per NAV receiver: as navReceiving"},
  {"comFrequency",       1664, kF64, 2, 0, kValue,    0, "", "per COM receiver: active frequency, BCD digits / 10000 (0.2345 for 123.45 MHz)"},
  {"adfFrequency",       1680, kF64, 2, 0, kValue,    0, "kHz", "per ADF receiver: active frequency"},
  {"navFrequency",       1696, kF64, 2, 0, kValue,    0, "MHz", "per NAV receiver: active frequency"},
  {"startup1712",        1712, kF64, 2, 0, kStartup,  0, "", ""},
  {"dmeDistance",        1728, kF64, 2, 0, kValue,    0, "nm", "per NAV receiver: DME distance"},
  {"navRelativeBearing", 1744, kF64, 2, 0, kValue,    0, "deg", "per NAV receiver: bearing of the station from the nose, 0 to below 360"},
  {"adfRelativeBearing", 1760, kF64, 2, 0, kValue,    0, "deg", "per ADF receiver: relative bearing, 0 to below 360"},
  {"navIdent",           1776, kText, 2, 6, kValue,   0, "", "per NAV receiver: station ident"},
  {"fixed1788",          1788, kText, 2, 6, Fixed(""), 0, "", ""},
  {"glideSlopeIdent",    1800, kText, 2, 6, kValue,   0, "", "per NAV receiver: station ident when it has a glide slope"},
  {"startup1812",        1812, kText, 2, 6, kStartup, 0, "", ""},
  {"fixed1824",          1824, kU8,  6, 0, Fixed(1), 0, "", ""},
  {"fixed1830",          1830, kU8,  6, 0, Fixed(0), 0, "", ""},
  {"outerMarker",        1836, kU8,  1, 0, kValue,    0, "", "outer marker"},
  {"middleMarker",       1837, kU8,  1, 0, kValue,    0, "", "middle marker"},
  {"innerMarker",        1838, kU8,  1, 0, kValue,    0, "", "inner marker"},
  {"flightDirectorActive", 1839, kU8, 2, 0, kValue,   0, "", "flight director active (both elements)"},
  {"flightDirectorPitch", 1848, kF64, 2, 0, kValue,   0, "deg", "flight director pitch (both elements)"},
  {"flightDirectorBank", 1864, kF64, 2, 0, kValue,    0, "deg", "flight director bank (both elements)"},
  {"fixed1880",          1880, kU8,  2, 0, Fixed(0), 0, "", ""},
  {"apHeading",          1888, kF64, 1, 0, kValue,    0, "deg", "autopilot heading"},
  {"apAirspeed",         1896, kF64, 1, 0, kValue,    0, "kt", "autopilot airspeed"},
  {"apMach",             1904, kF64, 1, 0, kValue,    0, "", "autopilot Mach"},
  {"apAltitude",         1912, kF64, 1, 0, kValue,    0, "ft", "autopilot altitude"},
  {"apVerticalSpeed",    1920, kF64, 1, 0, kValue,    0, "ft/min", "autopilot vertical speed"},
  {"fixed1928",          1928, kF64, 1, 0, Fixed(0.0), 0, "", ""},
  {"startup1936",        1936, kI32, 1, 0, kStartup,  0, "", ""},
  {"apMaster",           1940, kU8,  1, 0, kValue,    0, "", "autopilot master on"},
  {"autothrottleArmed",  1941, kU8,  1, 0, kValue,    0, "", "autothrottle armed"},
  {"startup1942",        1942, kU8,  1, 0, kStartup,  0, "", ""},
  {"apHeadingHold",      1943, kU8,  2, 0, kValue,    0, "", "heading hold (both elements)"},
  {"apAltitudeHold",     1945, kU8,  2, 0, kValue,    0, "", "altitude hold (both elements)"},
  {"apVerticalHold",     1947, kU8,  2, 0, kValue,    0, "", "vertical speed or altitude hold (both elements)"},
  {"apAirspeedHold",     1949, kU8,  2, 0, kValue,    0, "", "airspeed hold (both elements)"},
  {"apMachHold",         1951, kU8,  2, 0, kValue,    0, "", "Mach hold (both elements)"},
  {"apRpmHold",          1953, kU8,  2, 0, kValue,    0, "", "RPM hold (both elements)"},
  {"apNavHold",          1955, kU8,  2, 0, kValue,    0, "", "NAV1 lock or approach hold (both elements)"},
  {"apNavHoldCopy",      1957, kU8,  2, 0, kValue,    0, "", "as apNavHold"},
  {"apGlideSlopeHold",   1959, kU8,  2, 0, kValue,    0, "", "glide slope or approach hold (both elements)"},
  {"apGlideSlopeHoldCopy", 1961, kU8, 2, 0, kValue,   0, "", "as apGlideSlopeHold"},
  {"fixed1963",          1963, kU8, 10, 0, Fixed(0), 0, "", ""},
  {"fixed1973",          1973, kU8,  1, 0, Fixed(0), 0, "", ""},
  {"apMasterOff",        1974, kU8,  1, 0, kValue,    0, "", "autopilot master off"},
  {"flightDirectorActiveCopy", 1975, kU8, 2, 0, kValue, 0, "", "flight director active (both elements)"},
  {"startup1977",        1977, kU8,  4, 0, kStartup,  0, "", ""},
  {"startup1984",        1984, kI32, 2, 0, kStartup,  8, "", ""},
  {"startup1992",        1992, kI32, 10, 0, kStartup, 0, "", ""},
  {"startup2032",        2032, kU8,  6, 0, kStartup,  0, "", ""},
  {"startup2038",        2038, kU8,  1, 0, kStartup,  0, "", ""},
  {"startup2040",        2040, kI32, 1, 0, kStartup, 200, "", ""},
  {"startup2044",        2044, kI32, 1, 0, kStartup,  0, "", ""},
  {"startup2048",        2048, kU8,  2, 0, kStartup,  0, "", ""},
  {"startup2050",        2050, kU8,  1, 0, kStartup,  0, "", ""},
  {"startup2051",        2051, kU8,  2, 0, kStartup,  0, "", ""},
  {"startup2056",        2056, kI32, 1, 0, kStartup,  0, "", ""},
  {"startup2060",        2060, kU8,  2, 0, kStartup,  0, "", ""},
  {"startup2062",        2062, kU8, 14, 0, kStartup,  0, "", ""},
  {"fixed2076",          2076, kI32, 1, 0, Fixed(0), 0, "", ""},
  {"fixed2080",          2080, kU8,  2, 0, Fixed(0), 0, "", ""},
  {"fixed2084",          2084, kI32, 1, 0, Fixed(0), 0, "", ""},
  {"fixed2088",          2088, kI32, 2, 0, Fixed(0), -1, "", ""},
  {"startup2096",        2096, kI32, 1, 0, kStartup,  0, "", ""},
  {"startup2100",        2100, kU8, 16, 0, kStartup,  0, "", ""},
  {"startup2116",        2116, kI32, 2, 0, kStartup,  0, "", ""},
  {"startup2128",        2128, kF64, 1, 0, kStartup,  0, "", ""},
  {"startup2136",        2136, kI32, 9, 0, kStartup,  0, "", ""},
  {"startup2176",        2176, kF64, 12, 0, kStartup, 0, "", ""},
  {"startup2272",        2272, kU8,  1, 0, kStartup, 0x55, "", ""},
};
// clang-format on
}  // namespace frame_fields

inline constexpr std::span<const FrameField> kFrameFields{frame_fields::kAll};

consteval bool FrameLayoutIsSound() {
  std::size_t end = 0;
  for (const FrameField& f : frame_fields::kAll) {
    if (f.offset < end) return false;  // sorted, no overlap
    if (f.count == 0 || ElementWidth(f) == 0) return false;
    if (f.type == FrameType::kF64 && f.offset % 8 != 0) return false;
    if (f.type == FrameType::kI32 && f.offset % 4 != 0) return false;
    end = f.offset + FieldBytes(f);
  }
  return end <= kFrameSize;
}
static_assert(FrameLayoutIsSound(), "frame fields overlap, are misaligned or leave the frame");

consteval bool SameFieldName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}
consteval bool FrameFieldNamesAreUnique() {
  for (std::size_t i = 0; i < std::size(frame_fields::kAll); ++i) {
    for (std::size_t j = i + 1; j < std::size(frame_fields::kAll); ++j) {
      if (SameFieldName(frame_fields::kAll[i].name, frame_fields::kAll[j].name)) return false;
    }
  }
  return true;
}
static_assert(FrameFieldNamesAreUnique(), "every frame field has its own name");
// The last field is the 0x55 byte at 2272, followed by seven reserved bytes.
static_assert(frame_fields::kAll[std::size(frame_fields::kAll) - 1].offset == 2272);

// Typed handles on the fields, resolved by name at compile time: a wrong name or a type that
// does not match the field does not compile.
struct F64Field {
  std::size_t offset;
  std::size_t count;
};
struct I32Field {
  std::size_t offset;
  std::size_t count;
};
struct U8Field {
  std::size_t offset;
  std::size_t count;
};
struct TextField {
  std::size_t offset;
  std::size_t count;
  std::size_t length;
};

consteval const FrameField& FrameFieldNamed(std::string_view name) {
  for (const FrameField& f : frame_fields::kAll) {
    if (name == f.name) return f;
  }
  throw "no frame field of that name";
}
consteval F64Field FrameF64(std::string_view name) {
  const FrameField& f = FrameFieldNamed(name);
  if (f.type != FrameType::kF64) throw "not an f64 field";
  return {f.offset, f.count};
}
consteval I32Field FrameI32(std::string_view name) {
  const FrameField& f = FrameFieldNamed(name);
  if (f.type != FrameType::kI32) throw "not an i32 field";
  return {f.offset, f.count};
}
consteval U8Field FrameU8(std::string_view name) {
  const FrameField& f = FrameFieldNamed(name);
  if (f.type != FrameType::kU8) throw "not a u8 field";
  return {f.offset, f.count};
}
consteval TextField FrameText(std::string_view name) {
  const FrameField& f = FrameFieldNamed(name);
  if (f.type != FrameType::kText) throw "not a text field";
  return {f.offset, f.count, f.text_length};
}

// Every constant fits its field: a text leaves room for its NUL, a u8 constant is a whole number
// from 0 to 255, an i32 constant one in the range of i32; fields that are not fixed carry none.
consteval bool IsWholeIn(double v, double low, double high) {
  return v >= low && v <= high && static_cast<double>(static_cast<long long>(v)) == v;
}
consteval std::size_t ConstantTextLength(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}
consteval bool FixedConstantsFitTheirFields() {
  for (const FrameField& f : frame_fields::kAll) {
    const bool is_text = f.fixed.is_text;
    if (f.role != FrameRole::kFixed) {
      if (is_text || f.fixed.number != 0.0) return false;
      continue;
    }
    switch (f.type) {
      case FrameType::kText:
        if (!is_text || ConstantTextLength(f.fixed.text) >= f.text_length) return false;
        break;
      case FrameType::kU8:
        if (is_text || !IsWholeIn(f.fixed.number, 0.0, 255.0)) return false;
        break;
      case FrameType::kI32:
        if (is_text || !IsWholeIn(f.fixed.number, -2147483648.0, 2147483647.0)) return false;
        break;
      case FrameType::kF64:
        if (is_text) return false;
        break;
    }
  }
  return true;
}
static_assert(FixedConstantsFitTheirFields(), "a fixed field's constant does not fit the field");
// startupCopy repeats startup56, which never leaves its start-up value: so it is a constant, and
// that constant is startup56's start-up value.
static_assert(FrameFieldNamed("startup56").role == FrameRole::kStartup &&
              FrameFieldNamed("startupCopy").fixed.number == FrameFieldNamed("startup56").start);

// Runtime lookup for tools; nullptr when there is no such field.
inline const FrameField* FindFrameField(std::string_view name) {
  for (const FrameField& f : frame_fields::kAll) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

// Writers and readers of one element.
inline void Put(std::uint8_t* frame, F64Field f, double v, std::size_t i = 0) {
  EncodeF64(frame + f.offset + 8 * i, v);
}
inline void Put(std::uint8_t* frame, I32Field f, std::int32_t v, std::size_t i = 0) {
  EncodeI32(frame + f.offset + 4 * i, v);
}
inline void Put(std::uint8_t* frame, U8Field f, std::uint8_t v, std::size_t i = 0) {
  frame[f.offset + i] = v;
}
// Every element of a field.
inline void PutAll(std::uint8_t* frame, F64Field f, double v) {
  for (std::size_t i = 0; i < f.count; ++i) Put(frame, f, v, i);
}
inline void PutAll(std::uint8_t* frame, I32Field f, std::int32_t v) {
  for (std::size_t i = 0; i < f.count; ++i) Put(frame, f, v, i);
}
inline void PutAll(std::uint8_t* frame, U8Field f, std::uint8_t v) {
  std::memset(frame + f.offset, v, f.count);
}
// Text element i: the characters, a NUL, zero fill. `length` must leave room for the NUL.
inline void PutText(std::uint8_t* frame, TextField f, const char* text, std::size_t length,
                    std::size_t i = 0) {
  std::uint8_t* dst = frame + f.offset + f.length * i;
  std::memset(dst, 0, f.length);
  std::memcpy(dst, text, length < f.length ? length : f.length - 1);
}

inline double GetF64(const std::uint8_t* frame, F64Field f, std::size_t i = 0) {
  return DecodeF64(frame + f.offset + 8 * i);
}
inline std::int32_t GetI32(const std::uint8_t* frame, I32Field f, std::size_t i = 0) {
  return DecodeI32(frame + f.offset + 4 * i);
}
inline std::uint8_t GetU8(const std::uint8_t* frame, U8Field f, std::size_t i = 0) {
  return frame[f.offset + i];
}

// Writes the start-up frame: every field at its start-up value, texts empty, reserved bytes 0.
void InitFrame(std::uint8_t* frame);

}  // namespace velkaro
