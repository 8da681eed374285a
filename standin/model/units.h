// The stand-in's units table: how a value held by the aircraft model in its own base unit is
// delivered in the unit a client names when it registers a datum, the way the simulator does it.
//
// Base units by dimension: length feet, angle radians, speed feet per second, angular rate
// radians per second, fraction 0..1, temperature Rankine, pressure pounds per square foot,
// frequency MHz, mass flow pounds per hour, torque foot-pounds, volume gallons; plain numbers
// (counts, ratios, RPM, Mach, g) have no unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velkaro::standin {

enum class Dimension {
  kNumber,
  kLength,
  kAngle,
  kSpeed,
  kAngularRate,
  kFraction,
  kTemperature,
  kPressure,
  kFrequency,
  kMassFlow,
  kTorque,
  kVolume,
};

// Converts `base` (in the base unit of `dimension`) into `unit`. Empty when the unit is not
// known or does not fit the dimension. Unit names are matched without regard to case, as the
// simulator matches them. "Bool" gives 1 or 0; the frequency units "Frequency BCD16" and
// "Frequency ADF BCD32" give the BCD word as a number.
std::optional<double> FromBase(Dimension dimension, double base, std::string_view unit);
// The inverse, for values given in a registered unit (pins).
std::optional<double> ToBase(Dimension dimension, double value, std::string_view unit);

// BCD words of radio frequencies: COM/NAV "BCD16" holds the four digits after the leading 1 in
// units of 10 kHz (123.45 MHz gives 0x2345); ADF "BCD32" holds the kHz value times 10000
// (349.5 kHz gives 0x03495000).
std::uint32_t ComBcd16FromMhz(double mhz);
double MhzFromComBcd16(std::uint32_t word);
std::uint32_t AdfBcd32FromMhz(double mhz);
double MhzFromAdfBcd32(std::uint32_t word);

}  // namespace velkaro::standin
