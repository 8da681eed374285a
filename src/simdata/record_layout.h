// The user-aircraft record: the simulation variables registered as data definition 0, in
// registration order. The simulator returns the datums of a definition back to back in that
// order, so this one table fixes both the registration calls and the byte layout of the record
// that arrives with every frame; the conversion, the autopilot application and the tests all
// read the record through the offsets derived from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/coding.h"
#include "simconnect/simconnect.h"

namespace velkaro {

struct SimVarDatum {
  const char* name;
  const char* units;  // nullptr for the title, which has no units
  SIMCONNECT_DATATYPE type;
};

inline constexpr std::array<SimVarDatum, 182> kSimVarCatalogue = {{
    {"Title", nullptr, SIMCONNECT_DATATYPE_STRING256},                                  // 0
    {"PLANE LATITUDE", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                         // 256
    {"PLANE LONGITUDE", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                        // 264
    {"PLANE ALTITUDE", "Feet", SIMCONNECT_DATATYPE_FLOAT64},                            // 272
    {"INDICATED ALTITUDE", "Feet", SIMCONNECT_DATATYPE_FLOAT64},                        // 280
    {"RADIO HEIGHT", "Feet", SIMCONNECT_DATATYPE_FLOAT64},                              // 288
    {"KOHLSMAN SETTING MB", "Millibars", SIMCONNECT_DATATYPE_FLOAT64},                  // 296
    {"PLANE HEADING DEGREES TRUE", "Radians", SIMCONNECT_DATATYPE_FLOAT64},             // 304
    {"GPS GROUND TRUE TRACK", "Radians", SIMCONNECT_DATATYPE_FLOAT64},                  // 312
    {"MAGVAR", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                                 // 320
    {"AIRSPEED INDICATED", "Knots", SIMCONNECT_DATATYPE_FLOAT64},                       // 328
    {"AIRSPEED MACH", "Mach", SIMCONNECT_DATATYPE_FLOAT64},                             // 336
    {"GROUND VELOCITY", "Knots", SIMCONNECT_DATATYPE_FLOAT64},                          // 344
    {"AIRSPEED TRUE", "Knots", SIMCONNECT_DATATYPE_FLOAT64},                            // 352
    {"VERTICAL SPEED", "Feet per second", SIMCONNECT_DATATYPE_FLOAT64},                 // 360
    {"AIRSPEED BARBER POLE", "Knots", SIMCONNECT_DATATYPE_FLOAT64},                     // 368
    {"PLANE BANK DEGREES", "Radians", SIMCONNECT_DATATYPE_FLOAT64},                     // 376
    {"PLANE PITCH DEGREES", "Radians", SIMCONNECT_DATATYPE_FLOAT64},                    // 384
    {"ANGLE OF ATTACK INDICATOR", "Radians", SIMCONNECT_DATATYPE_FLOAT64},              // 392
    {"TURN INDICATOR RATE", "Radians per second", SIMCONNECT_DATATYPE_FLOAT64},         // 400
    {"TURN COORDINATOR BALL", "Position 128", SIMCONNECT_DATATYPE_FLOAT64},             // 408
    {"G FORCE", "GForce", SIMCONNECT_DATATYPE_FLOAT64},                                 // 416
    {"AUTOPILOT HEADING LOCK DIR", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},             // 424
    {"AUTOPILOT AIRSPEED HOLD VAR", "Knots", SIMCONNECT_DATATYPE_FLOAT64},              // 432
    {"AUTOPILOT MACH HOLD VAR", "Number", SIMCONNECT_DATATYPE_FLOAT64},                 // 440
    {"AUTOPILOT RPM HOLD VAR", "Number", SIMCONNECT_DATATYPE_FLOAT64},                  // 448
    {"AUTOPILOT ALTITUDE LOCK VAR", "Feet", SIMCONNECT_DATATYPE_FLOAT64},               // 456
    {"AUTOPILOT VERTICAL HOLD VAR", "Feet/minute", SIMCONNECT_DATATYPE_FLOAT64},        // 464
    {"AUTOPILOT MASTER", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                          // 472
    {"AUTOPILOT THROTTLE ARM", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                    // 480
    {"AUTOPILOT HEADING LOCK", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                    // 488
    {"AUTOPILOT AIRSPEED HOLD", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                   // 496
    {"AUTOPILOT MACH HOLD", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                       // 504
    {"AUTOPILOT RPM HOLD", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                        // 512
    {"AUTOPILOT ALTITUDE LOCK", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                   // 520
    {"AUTOPILOT VERTICAL HOLD", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                   // 528
    {"AUTOPILOT NAV1 LOCK", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                       // 536
    {"AUTOPILOT GLIDESLOPE HOLD", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                 // 544
    {"AUTOPILOT APPROACH HOLD", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                   // 552
    {"AUTOPILOT FLIGHT DIRECTOR ACTIVE", "Bool", SIMCONNECT_DATATYPE_FLOAT64},          // 560
    {"AUTOPILOT FLIGHT DIRECTOR BANK", "Radians", SIMCONNECT_DATATYPE_FLOAT64},         // 568
    {"AUTOPILOT FLIGHT DIRECTOR PITCH", "Radians", SIMCONNECT_DATATYPE_FLOAT64},        // 576
    {"GEAR CENTER POSITION", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                   // 584
    {"GEAR LEFT POSITION", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                     // 592
    {"GEAR RIGHT POSITION", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                    // 600
    {"FLAPS HANDLE INDEX", "Number", SIMCONNECT_DATATYPE_FLOAT64},                      // 608
    {"FLAPS NUM HANDLE POSITIONS", "Number", SIMCONNECT_DATATYPE_FLOAT64},              // 616
    {"TRAILING EDGE FLAPS LEFT ANGLE", "Radians", SIMCONNECT_DATATYPE_FLOAT64},         // 624
    {"TRAILING EDGE FLAPS RIGHT ANGLE", "Radians", SIMCONNECT_DATATYPE_FLOAT64},        // 632
    {"SPOILERS ARMED", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                            // 640
    {"SPOILERS LEFT POSITION", "Position", SIMCONNECT_DATATYPE_FLOAT64},                // 648
    {"SPOILERS RIGHT POSITION", "Position", SIMCONNECT_DATATYPE_FLOAT64},               // 656
    {"ELEVATOR TRIM POSITION", "Radians", SIMCONNECT_DATATYPE_FLOAT64},                 // 664
    {"AILERON TRIM", "Radians", SIMCONNECT_DATATYPE_FLOAT64},                           // 672
    {"RUDDER TRIM", "Radians", SIMCONNECT_DATATYPE_FLOAT64},                            // 680
    {"ENG N1 RPM:1", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 688
    {"ENG N1 RPM:2", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 696
    {"ENG N1 RPM:3", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 704
    {"ENG N1 RPM:4", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 712
    {"ENG N2 RPM:1", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 720
    {"ENG N2 RPM:2", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 728
    {"ENG N2 RPM:3", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 736
    {"ENG N2 RPM:4", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                           // 744
    {"ENG PRESSURE RATIO:1", "Ratio", SIMCONNECT_DATATYPE_FLOAT64},                     // 752
    {"ENG PRESSURE RATIO:2", "Ratio", SIMCONNECT_DATATYPE_FLOAT64},                     // 760
    {"ENG PRESSURE RATIO:3", "Ratio", SIMCONNECT_DATATYPE_FLOAT64},                     // 768
    {"ENG PRESSURE RATIO:4", "Ratio", SIMCONNECT_DATATYPE_FLOAT64},                     // 776
    {"ENG EXHAUST GAS TEMPERATURE:1", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 784
    {"ENG EXHAUST GAS TEMPERATURE:2", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 792
    {"ENG EXHAUST GAS TEMPERATURE:3", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 800
    {"ENG EXHAUST GAS TEMPERATURE:4", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 808
    {"GENERAL ENG OIL PRESSURE:1", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                 // 816
    {"GENERAL ENG OIL PRESSURE:2", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                 // 824
    {"GENERAL ENG OIL PRESSURE:3", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                 // 832
    {"GENERAL ENG OIL PRESSURE:4", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                 // 840
    {"GENERAL ENG OIL TEMPERATURE:1", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 848
    {"GENERAL ENG OIL TEMPERATURE:2", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 856
    {"GENERAL ENG OIL TEMPERATURE:3", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 864
    {"GENERAL ENG OIL TEMPERATURE:4", "Rankine", SIMCONNECT_DATATYPE_FLOAT64},          // 872
    {"ENG OIL QUANTITY:1", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},            // 880
    {"ENG OIL QUANTITY:2", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},            // 888
    {"ENG OIL QUANTITY:3", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},            // 896
    {"ENG OIL QUANTITY:4", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},            // 904
    {"ENG VIBRATION:1", "Number", SIMCONNECT_DATATYPE_FLOAT64},                         // 912
    {"ENG VIBRATION:2", "Number", SIMCONNECT_DATATYPE_FLOAT64},                         // 920
    {"ENG VIBRATION:3", "Number", SIMCONNECT_DATATYPE_FLOAT64},                         // 928
    {"ENG VIBRATION:4", "Number", SIMCONNECT_DATATYPE_FLOAT64},                         // 936
    {"ENG HYDRAULIC PRESSURE:1", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                   // 944
    {"ENG HYDRAULIC PRESSURE:2", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                   // 952
    {"ENG HYDRAULIC PRESSURE:3", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                   // 960
    {"ENG HYDRAULIC PRESSURE:4", "Psf", SIMCONNECT_DATATYPE_FLOAT64},                   // 968
    {"ENG HYDRAULIC QUANTITY:1", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},      // 976
    {"ENG HYDRAULIC QUANTITY:2", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},      // 984
    {"ENG HYDRAULIC QUANTITY:3", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},      // 992
    {"ENG HYDRAULIC QUANTITY:4", "Percent over 100", SIMCONNECT_DATATYPE_FLOAT64},      // 1000
    {"ENG FUEL FLOW PPH:1", "Pounds per hour", SIMCONNECT_DATATYPE_FLOAT64},            // 1008
    {"ENG FUEL FLOW PPH:2", "Pounds per hour", SIMCONNECT_DATATYPE_FLOAT64},            // 1016
    {"ENG FUEL FLOW PPH:3", "Pounds per hour", SIMCONNECT_DATATYPE_FLOAT64},            // 1024
    {"ENG FUEL FLOW PPH:4", "Pounds per hour", SIMCONNECT_DATATYPE_FLOAT64},            // 1032
    {"GENERAL ENG FUEL PRESSURE:1", "Psi", SIMCONNECT_DATATYPE_FLOAT64},                // 1040
    {"GENERAL ENG FUEL PRESSURE:2", "Psi", SIMCONNECT_DATATYPE_FLOAT64},                // 1048
    {"GENERAL ENG FUEL PRESSURE:3", "Psi", SIMCONNECT_DATATYPE_FLOAT64},                // 1056
    {"GENERAL ENG FUEL PRESSURE:4", "Psi", SIMCONNECT_DATATYPE_FLOAT64},                // 1064
    {"ENG TORQUE:1", "Foot pounds", SIMCONNECT_DATATYPE_FLOAT64},                       // 1072
    {"ENG TORQUE:2", "Foot pounds", SIMCONNECT_DATATYPE_FLOAT64},                       // 1080
    {"ENG TORQUE:3", "Foot pounds", SIMCONNECT_DATATYPE_FLOAT64},                       // 1088
    {"ENG TORQUE:4", "Foot pounds", SIMCONNECT_DATATYPE_FLOAT64},                       // 1096
    {"GENERAL ENG RPM:1", "Rpm", SIMCONNECT_DATATYPE_FLOAT64},                          // 1104
    {"GENERAL ENG RPM:2", "Rpm", SIMCONNECT_DATATYPE_FLOAT64},                          // 1112
    {"GENERAL ENG RPM:3", "Rpm", SIMCONNECT_DATATYPE_FLOAT64},                          // 1120
    {"GENERAL ENG RPM:4", "Rpm", SIMCONNECT_DATATYPE_FLOAT64},                          // 1128
    {"RECIP ENG TURBINE INLET TEMPERATURE:1", "Celsius", SIMCONNECT_DATATYPE_FLOAT64},  // 1136
    {"RECIP ENG TURBINE INLET TEMPERATURE:2", "Celsius", SIMCONNECT_DATATYPE_FLOAT64},  // 1144
    {"RECIP ENG TURBINE INLET TEMPERATURE:3", "Celsius", SIMCONNECT_DATATYPE_FLOAT64},  // 1152
    {"RECIP ENG TURBINE INLET TEMPERATURE:4", "Celsius", SIMCONNECT_DATATYPE_FLOAT64},  // 1160
    {"GENERAL ENG STARTER:1", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                     // 1168
    {"GENERAL ENG STARTER:2", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                     // 1176
    {"GENERAL ENG STARTER:3", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                     // 1184
    {"GENERAL ENG STARTER:4", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                     // 1192
    {"FUEL TANK CENTER LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                 // 1200
    {"FUEL TANK CENTER CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},              // 1208
    {"FUEL TANK CENTER2 LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                // 1216
    {"FUEL TANK CENTER2 CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},             // 1224
    {"FUEL TANK CENTER3 LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},                // 1232
    {"FUEL TANK CENTER3 CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},             // 1240
    {"FUEL TANK LEFT MAIN LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},              // 1248
    {"FUEL TANK LEFT MAIN CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},           // 1256
    {"FUEL TANK RIGHT MAIN LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},             // 1264
    {"FUEL TANK RIGHT MAIN CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},          // 1272
    {"FUEL TANK LEFT AUX LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},               // 1280
    {"FUEL TANK LEFT AUX CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},            // 1288
    {"FUEL TANK RIGHT AUX LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},              // 1296
    {"FUEL TANK RIGHT AUX CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},           // 1304
    {"FUEL TANK LEFT TIP LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},               // 1312
    {"FUEL TANK LEFT TIP CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},            // 1320
    {"FUEL TANK RIGHT TIP LEVEL", "Percent", SIMCONNECT_DATATYPE_FLOAT64},              // 1328
    {"FUEL TANK RIGHT TIP CAPACITY", "Gallons", SIMCONNECT_DATATYPE_FLOAT64},           // 1336
    {"HSI CDI NEEDLE VALID", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                      // 1344
    {"HSI CDI NEEDLE", "Number", SIMCONNECT_DATATYPE_FLOAT64},                          // 1352
    {"HSI GSI NEEDLE VALID", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                      // 1360
    {"HSI GSI NEEDLE", "Number", SIMCONNECT_DATATYPE_FLOAT64},                          // 1368
    {"NAV AVAILABLE:1", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                           // 1376
    {"NAV AVAILABLE:2", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                           // 1384
    {"NAV ACTIVE FREQUENCY:1", "MHz", SIMCONNECT_DATATYPE_FLOAT64},                     // 1392
    {"NAV ACTIVE FREQUENCY:2", "MHz", SIMCONNECT_DATATYPE_FLOAT64},                     // 1400
    {"NAV HAS NAV:1", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                             // 1408
    {"NAV HAS NAV:2", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                             // 1416
    {"NAV HAS LOCALIZER:1", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                       // 1424
    {"NAV HAS LOCALIZER:2", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                       // 1432
    {"NAV HAS GLIDE SLOPE:1", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                     // 1440
    {"NAV HAS GLIDE SLOPE:2", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                     // 1448
    {"NAV HAS DME:1", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                             // 1456
    {"NAV HAS DME:2", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                             // 1464
    {"NAV CDI:1", "Number", SIMCONNECT_DATATYPE_FLOAT64},                               // 1472
    {"NAV CDI:2", "Number", SIMCONNECT_DATATYPE_FLOAT64},                               // 1480
    {"NAV GSI:1", "Number", SIMCONNECT_DATATYPE_FLOAT64},                               // 1488
    {"NAV GSI:2", "Number", SIMCONNECT_DATATYPE_FLOAT64},                               // 1496
    {"NAV MAGVAR:1", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                           // 1504
    {"NAV MAGVAR:2", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                           // 1512
    {"NAV RADIAL:1", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                           // 1520
    {"NAV RADIAL:2", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                           // 1528
    {"NAV TOFROM:1", "Enum", SIMCONNECT_DATATYPE_INT64},                                // 1536
    {"NAV TOFROM:2", "Enum", SIMCONNECT_DATATYPE_INT64},                                // 1544
    {"NAV OBS:1", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                              // 1552
    {"NAV OBS:2", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                              // 1560
    {"NAV DME:1", "Nautical miles", SIMCONNECT_DATATYPE_FLOAT64},                       // 1568
    {"NAV DME:2", "Nautical miles", SIMCONNECT_DATATYPE_FLOAT64},                       // 1576
    {"NAV IDENT:1", "Number", SIMCONNECT_DATATYPE_INT64},                               // 1584
    {"NAV IDENT:2", "Number", SIMCONNECT_DATATYPE_INT64},                               // 1592
    {"ADF AVAILABLE:1", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                           // 1600
    {"ADF AVAILABLE:2", "Bool", SIMCONNECT_DATATYPE_FLOAT64},                           // 1608
    {"ADF ACTIVE FREQUENCY:1", "Frequency ADF BCD32", SIMCONNECT_DATATYPE_INT32},       // 1616
    {"ADF ACTIVE FREQUENCY:2", "Frequency ADF BCD32", SIMCONNECT_DATATYPE_INT32},       // 1620
    {"ADF RADIAL:1", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                           // 1624
    {"ADF RADIAL:2", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                           // 1632
    {"COM ACTIVE FREQUENCY:1", "Frequency BCD16", SIMCONNECT_DATATYPE_INT32},           // 1640
    {"COM ACTIVE FREQUENCY:2", "Frequency BCD16", SIMCONNECT_DATATYPE_INT32},           // 1644
    {"MARKER BEACON STATE", "Enum", SIMCONNECT_DATATYPE_INT64},                         // 1648
    {"AMBIENT WIND DIRECTION", "Degrees", SIMCONNECT_DATATYPE_FLOAT64},                 // 1656
    {"AMBIENT WIND VELOCITY", "Knots", SIMCONNECT_DATATYPE_FLOAT64},                    // 1664
    {"VELOCITY WORLD Z", "Feet per second", SIMCONNECT_DATATYPE_FLOAT64},               // 1672
    {"VELOCITY WORLD X", "Feet per second", SIMCONNECT_DATATYPE_FLOAT64},               // 1680
}};

constexpr std::size_t DatumWidth(SIMCONNECT_DATATYPE type) {
  switch (type) {
    case SIMCONNECT_DATATYPE_STRING256:
      return 256;
    case SIMCONNECT_DATATYPE_FLOAT64:
    case SIMCONNECT_DATATYPE_INT64:
      return 8;
    case SIMCONNECT_DATATYPE_INT32:
    case SIMCONNECT_DATATYPE_FLOAT32:
      return 4;
    default:
      return 0;
  }
}

// Byte offset of catalogue entry `index` in the record.
constexpr std::size_t RecordOffsetOf(std::size_t index) {
  std::size_t offset = 0;
  for (std::size_t i = 0; i < index; ++i) offset += DatumWidth(kSimVarCatalogue[i].type);
  return offset;
}

inline constexpr std::size_t kRecordSize = RecordOffsetOf(kSimVarCatalogue.size());
static_assert(kRecordSize == 1688, "the record is 1688 bytes");

// A datum of the record: where it lies and how it is encoded.
struct RecordSlot {
  std::size_t offset;
  SIMCONNECT_DATATYPE type;
};

// The slot of a datum by its simulator name; a name not in the catalogue does not compile.
consteval RecordSlot RecordDatum(std::string_view name) {
  for (std::size_t i = 0; i < kSimVarCatalogue.size(); ++i) {
    if (name == kSimVarCatalogue[i].name) return {RecordOffsetOf(i), kSimVarCatalogue[i].type};
  }
  throw "not a datum of the user-aircraft record";
}

// Every 8-byte datum starts at a multiple of 8 (the two INT32 pairs keep the alignment).
consteval bool RecordIsAligned() {
  for (std::size_t i = 0; i < kSimVarCatalogue.size(); ++i) {
    if (DatumWidth(kSimVarCatalogue[i].type) == 8 && RecordOffsetOf(i) % 8 != 0) return false;
  }
  return true;
}
static_assert(RecordIsAligned());
static_assert(RecordDatum("VELOCITY WORLD X").offset == 1680);
static_assert(RecordDatum("TRAILING EDGE FLAPS RIGHT ANGLE").offset == 632);

inline double ReadF64(const std::uint8_t* record, RecordSlot slot, std::size_t index = 0) {
  return DecodeF64(record + slot.offset + 8 * index);
}
inline std::int64_t ReadI64(const std::uint8_t* record, RecordSlot slot, std::size_t index = 0) {
  return DecodeI64(record + slot.offset + 8 * index);
}
inline std::uint32_t ReadU32(const std::uint8_t* record, RecordSlot slot, std::size_t index = 0) {
  return DecodeU32(record + slot.offset + 4 * index);
}

}  // namespace velkaro
