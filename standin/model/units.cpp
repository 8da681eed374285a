#include "model/units.h"

#include <cctype>
#include <cmath>

namespace velkaro::standin {

namespace {

constexpr double kFeetPerMeter = 1.0 / 0.3048;
constexpr double kFeetPerNauticalMile = 6076.115485564304;
constexpr double kFeetPerSecondPerKnot = 1.6878098571011957;
constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr double kPsfPerMillibar = 2.0885434233150127;
constexpr double kPsfPerInHg = 70.72619;
constexpr double kLitersPerGallon = 3.785411784;

bool Same(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// A linear unit: value = base * scale + offset.
struct LinearUnit {
  Dimension dimension;
  const char* name;
  double scale;
  double offset;
};

constexpr LinearUnit kLinearUnits[] = {
    {Dimension::kLength, "Feet", 1.0, 0.0},
    {Dimension::kLength, "Foot", 1.0, 0.0},
    {Dimension::kLength, "Meters", 1.0 / kFeetPerMeter, 0.0},
    {Dimension::kLength, "Nautical miles", 1.0 / kFeetPerNauticalMile, 0.0},
    {Dimension::kAngle, "Radians", 1.0, 0.0},
    {Dimension::kAngle, "Degrees", kDegreesPerRadian, 0.0},
    {Dimension::kSpeed, "Feet per second", 1.0, 0.0},
    {Dimension::kSpeed, "Feet/second", 1.0, 0.0},
    {Dimension::kSpeed, "Feet per minute", 60.0, 0.0},
    {Dimension::kSpeed, "Feet/minute", 60.0, 0.0},
    {Dimension::kSpeed, "Knots", 1.0 / kFeetPerSecondPerKnot, 0.0},
    {Dimension::kSpeed, "Meters per second", 0.3048, 0.0},
    {Dimension::kAngularRate, "Radians per second", 1.0, 0.0},
    {Dimension::kAngularRate, "Degrees per second", kDegreesPerRadian, 0.0},
    {Dimension::kFraction, "Percent", 100.0, 0.0},
    {Dimension::kFraction, "Percent over 100", 1.0, 0.0},
    {Dimension::kFraction, "Position", 16383.0, 0.0},
    {Dimension::kFraction, "Position 16k", 16383.0, 0.0},
    {Dimension::kFraction, "Position 128", 128.0, 0.0},
    {Dimension::kTemperature, "Rankine", 1.0, 0.0},
    {Dimension::kTemperature, "Fahrenheit", 1.0, -459.67},
    {Dimension::kTemperature, "Celsius", 5.0 / 9.0, -273.15},
    {Dimension::kTemperature, "Kelvin", 5.0 / 9.0, 0.0},
    {Dimension::kPressure, "Psf", 1.0, 0.0},
    {Dimension::kPressure, "Pounds per square foot", 1.0, 0.0},
    {Dimension::kPressure, "Psi", 1.0 / 144.0, 0.0},
    {Dimension::kPressure, "Pounds per square inch", 1.0 / 144.0, 0.0},
    {Dimension::kPressure, "Millibars", 1.0 / kPsfPerMillibar, 0.0},
    {Dimension::kPressure, "Inches of mercury", 1.0 / kPsfPerInHg, 0.0},
    {Dimension::kPressure, "inHg", 1.0 / kPsfPerInHg, 0.0},
    {Dimension::kFrequency, "MHz", 1.0, 0.0},
    {Dimension::kFrequency, "KHz", 1000.0, 0.0},
    {Dimension::kFrequency, "Hz", 1.0e6, 0.0},
    {Dimension::kMassFlow, "Pounds per hour", 1.0, 0.0},
    {Dimension::kTorque, "Foot pounds", 1.0, 0.0},
    {Dimension::kTorque, "Foot-pounds", 1.0, 0.0},
    {Dimension::kTorque, "Newton meters", 1.3558179483314004, 0.0},
    {Dimension::kVolume, "Gallons", 1.0, 0.0},
    {Dimension::kVolume, "Liters", kLitersPerGallon, 0.0},
};

// Units that take any dimension's base value as it is.
constexpr const char* kPlainUnits[] = {"Number", "Ratio", "Enum",   "Mach",
                                       "GForce", "Rpm",   "Scalar", "Percent scaler 16k"};

const LinearUnit* FindLinear(Dimension dimension, std::string_view unit) {
  for (const LinearUnit& u : kLinearUnits) {
    if (u.dimension == dimension && Same(u.name, unit)) return &u;
  }
  return nullptr;
}

bool IsPlain(std::string_view unit) {
  for (const char* name : kPlainUnits) {
    if (Same(name, unit)) return true;
  }
  return false;
}

std::uint32_t ToBcd(std::uint64_t value, int digits) {
  std::uint32_t word = 0;
  for (int i = 0; i < digits; ++i) {
    word |= static_cast<std::uint32_t>(value % 10) << (4 * i);
    value /= 10;
  }
  return word;
}

std::uint64_t FromBcd(std::uint32_t word, int digits) {
  std::uint64_t value = 0;
  std::uint64_t weight = 1;
  for (int i = 0; i < digits; ++i) {
    value += ((word >> (4 * i)) & 0xF) * weight;
    weight *= 10;
  }
  return value;
}

std::uint64_t RoundedNonNegative(double v) {
  if (!(v > 0.0)) return 0;
  if (v > 1.0e15) return 1000000000000000ULL;
  return static_cast<std::uint64_t>(std::llround(v));
}

}  // namespace

std::uint32_t ComBcd16FromMhz(double mhz) {
  return ToBcd(RoundedNonNegative((mhz - 100.0) * 100.0) % 10000, 4);
}
double MhzFromComBcd16(std::uint32_t word) {
  return 100.0 + static_cast<double>(FromBcd(word & 0xFFFF, 4)) / 100.0;
}
std::uint32_t AdfBcd32FromMhz(double mhz) {
  return ToBcd(RoundedNonNegative(mhz * 1000.0 * 10000.0) % 100000000, 8);
}
double MhzFromAdfBcd32(std::uint32_t word) {
  return static_cast<double>(FromBcd(word, 8)) / 10000.0 / 1000.0;
}

std::optional<double> FromBase(Dimension dimension, double base, std::string_view unit) {
  if (Same(unit, "Bool")) return base != 0.0 ? 1.0 : 0.0;
  if (IsPlain(unit)) return base;
  if (dimension == Dimension::kFrequency) {
    if (Same(unit, "Frequency BCD16")) return static_cast<double>(ComBcd16FromMhz(base));
    if (Same(unit, "Frequency ADF BCD32")) return static_cast<double>(AdfBcd32FromMhz(base));
  }
  if (const LinearUnit* u = FindLinear(dimension, unit)) return base * u->scale + u->offset;
  return std::nullopt;
}

std::optional<double> ToBase(Dimension dimension, double value, std::string_view unit) {
  if (Same(unit, "Bool")) return value != 0.0 ? 1.0 : 0.0;
  if (IsPlain(unit)) return value;
  if (dimension == Dimension::kFrequency) {
    const auto word = static_cast<std::uint32_t>(value >= 0 && value < 4294967296.0 ? value : 0);
    if (Same(unit, "Frequency BCD16")) return MhzFromComBcd16(word);
    if (Same(unit, "Frequency ADF BCD32")) return MhzFromAdfBcd32(word);
  }
  if (const LinearUnit* u = FindLinear(dimension, unit)) return (value - u->offset) / u->scale;
  return std::nullopt;
}

}  // namespace velkaro::standin
