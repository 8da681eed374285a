// The frame conversion: one user-aircraft record becomes the aircraft-state frame. Units are
// changed, radio frequencies decoded, track, magnetic heading and station bearings derived, flags
// set and flap detents looked up; then the new frame is published.
//
// Runs on the simulator's thread only, once per accepted record. It allocates nothing, does no
// input or output and takes no lock.
#pragma once

#include <cstdint>
#include <ctime>

#include "aircraft/flaps_table.h"

namespace velkaro {

// Degrees from radians, as the clients have always received them (not 180/pi in full).
inline constexpr double kDegreesPerRadian = 57.2957795129;

// Normalises an angle in degrees into [0, 360); NaN and infinities are returned unchanged.
double NormaliseDegrees(double degrees);

// The detent angle for a flap handle value: the table entry at the value truncated toward zero,
// or 0.0 when that index is outside 0..19, the value is not a number or out of integer range, or
// the entry holds no angle (negative or NaN).
double DetentAngle(const FlapsTable& table, double handle);

// Decodes a BCD frequency word: nibbles as decimal digits of weight 1, 10, ... 10^7, / 10000.
double DecodeBcdFrequency(std::uint32_t word);

// Writes every converted field of `frame` from `record` (fields that only hold start-up values
// are left alone). `now` is the calendar time stamped into the frame.
void ConvertRecord(const std::uint8_t* record, const FlapsTable& flaps, std::time_t now,
                   std::uint8_t* frame);

}  // namespace velkaro
