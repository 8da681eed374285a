#include "simdata/frame_conversion.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "common/frame_layout.h"
#include "simdata/angle_math.h"
#include "simdata/record_layout.h"

namespace velkaro {

namespace {

constexpr double K = kDegreesPerRadian;
constexpr double kTrackPi = 3.14159265359;
constexpr double kRankineZeroCelsius = 491.67;
constexpr double kCelsiusPerRankine = 0.5555555555555556;
constexpr double kPsiPerPsf = 0.00694444444;  // not 1/144: 144 psf gives 0.99999999936 psi
constexpr double kSpoilerFullDeflection = 16383.0;
constexpr double kBallScale = 0.0078125 * 3.0;  // position 128 to the instrument's -3..3
// Angles this far from [0, 360) are reduced by the exact remainder instead of one pass per 360
// degrees.
constexpr double kNormaliseLoopLimit = 360.0 * 64;

inline std::uint8_t Truth(double v) {
  return v != 0.0 ? 1 : 0;
}  // NaN counts as true
inline double Psi(double psf) {
  return psf * kPsiPerPsf;
}
inline double Celsius(double rankine) {
  return (rankine - kRankineZeroCelsius) * kCelsiusPerRankine;
}

// Record datums.
constexpr RecordSlot rLatitude = RecordDatum("PLANE LATITUDE");
constexpr RecordSlot rLongitude = RecordDatum("PLANE LONGITUDE");
constexpr RecordSlot rAltitude = RecordDatum("PLANE ALTITUDE");
constexpr RecordSlot rIndicatedAltitude = RecordDatum("INDICATED ALTITUDE");
constexpr RecordSlot rRadioHeight = RecordDatum("RADIO HEIGHT");
constexpr RecordSlot rKohlsman = RecordDatum("KOHLSMAN SETTING MB");
constexpr RecordSlot rHeadingTrue = RecordDatum("PLANE HEADING DEGREES TRUE");
constexpr RecordSlot rMagVar = RecordDatum("MAGVAR");
constexpr RecordSlot rIas = RecordDatum("AIRSPEED INDICATED");
constexpr RecordSlot rMach = RecordDatum("AIRSPEED MACH");
constexpr RecordSlot rGroundSpeed = RecordDatum("GROUND VELOCITY");
constexpr RecordSlot rTas = RecordDatum("AIRSPEED TRUE");
constexpr RecordSlot rVerticalSpeed = RecordDatum("VERTICAL SPEED");
constexpr RecordSlot rBarberPole = RecordDatum("AIRSPEED BARBER POLE");
constexpr RecordSlot rBank = RecordDatum("PLANE BANK DEGREES");
constexpr RecordSlot rPitch = RecordDatum("PLANE PITCH DEGREES");
constexpr RecordSlot rAoa = RecordDatum("ANGLE OF ATTACK INDICATOR");
constexpr RecordSlot rTurnRate = RecordDatum("TURN INDICATOR RATE");
constexpr RecordSlot rBall = RecordDatum("TURN COORDINATOR BALL");
constexpr RecordSlot rGForce = RecordDatum("G FORCE");
constexpr RecordSlot rApHeading = RecordDatum("AUTOPILOT HEADING LOCK DIR");
constexpr RecordSlot rApAirspeed = RecordDatum("AUTOPILOT AIRSPEED HOLD VAR");
constexpr RecordSlot rApMach = RecordDatum("AUTOPILOT MACH HOLD VAR");
constexpr RecordSlot rApAltitude = RecordDatum("AUTOPILOT ALTITUDE LOCK VAR");
constexpr RecordSlot rApVerticalSpeed = RecordDatum("AUTOPILOT VERTICAL HOLD VAR");
constexpr RecordSlot rApMaster = RecordDatum("AUTOPILOT MASTER");
constexpr RecordSlot rApThrottleArm = RecordDatum("AUTOPILOT THROTTLE ARM");
constexpr RecordSlot rApHeadingLock = RecordDatum("AUTOPILOT HEADING LOCK");
constexpr RecordSlot rApAirspeedHold = RecordDatum("AUTOPILOT AIRSPEED HOLD");
constexpr RecordSlot rApMachHold = RecordDatum("AUTOPILOT MACH HOLD");
constexpr RecordSlot rApRpmHold = RecordDatum("AUTOPILOT RPM HOLD");
constexpr RecordSlot rApAltitudeLock = RecordDatum("AUTOPILOT ALTITUDE LOCK");
constexpr RecordSlot rApVerticalHold = RecordDatum("AUTOPILOT VERTICAL HOLD");
constexpr RecordSlot rApNav1Lock = RecordDatum("AUTOPILOT NAV1 LOCK");
constexpr RecordSlot rApGlideslopeHold = RecordDatum("AUTOPILOT GLIDESLOPE HOLD");
constexpr RecordSlot rApApproachHold = RecordDatum("AUTOPILOT APPROACH HOLD");
constexpr RecordSlot rFdActive = RecordDatum("AUTOPILOT FLIGHT DIRECTOR ACTIVE");
constexpr RecordSlot rFdBank = RecordDatum("AUTOPILOT FLIGHT DIRECTOR BANK");
constexpr RecordSlot rFdPitch = RecordDatum("AUTOPILOT FLIGHT DIRECTOR PITCH");
constexpr RecordSlot rGearCenter = RecordDatum("GEAR CENTER POSITION");
constexpr RecordSlot rGearLeft = RecordDatum("GEAR LEFT POSITION");
constexpr RecordSlot rGearRight = RecordDatum("GEAR RIGHT POSITION");
constexpr RecordSlot rFlapsHandle = RecordDatum("FLAPS HANDLE INDEX");
constexpr RecordSlot rFlapsPositions = RecordDatum("FLAPS NUM HANDLE POSITIONS");
constexpr RecordSlot rFlapsLeft = RecordDatum("TRAILING EDGE FLAPS LEFT ANGLE");
constexpr RecordSlot rFlapsRight = RecordDatum("TRAILING EDGE FLAPS RIGHT ANGLE");
constexpr RecordSlot rSpoilersArmed = RecordDatum("SPOILERS ARMED");
constexpr RecordSlot rSpoilersLeft = RecordDatum("SPOILERS LEFT POSITION");
constexpr RecordSlot rSpoilersRight = RecordDatum("SPOILERS RIGHT POSITION");
constexpr RecordSlot rElevatorTrim = RecordDatum("ELEVATOR TRIM POSITION");
constexpr RecordSlot rAileronTrim = RecordDatum("AILERON TRIM");
constexpr RecordSlot rRudderTrim = RecordDatum("RUDDER TRIM");
// Engine series: index e-1 for engine e.
constexpr RecordSlot rN1 = RecordDatum("ENG N1 RPM:1");
constexpr RecordSlot rN2 = RecordDatum("ENG N2 RPM:1");
constexpr RecordSlot rEpr = RecordDatum("ENG PRESSURE RATIO:1");
constexpr RecordSlot rEgt = RecordDatum("ENG EXHAUST GAS TEMPERATURE:1");
constexpr RecordSlot rOilPressure = RecordDatum("GENERAL ENG OIL PRESSURE:1");
constexpr RecordSlot rOilTemperature = RecordDatum("GENERAL ENG OIL TEMPERATURE:1");
constexpr RecordSlot rOilQuantity = RecordDatum("ENG OIL QUANTITY:1");
constexpr RecordSlot rVibration = RecordDatum("ENG VIBRATION:1");
constexpr RecordSlot rHydraulicPressure = RecordDatum("ENG HYDRAULIC PRESSURE:1");
constexpr RecordSlot rHydraulicQuantity = RecordDatum("ENG HYDRAULIC QUANTITY:1");
constexpr RecordSlot rFuelFlow = RecordDatum("ENG FUEL FLOW PPH:1");
constexpr RecordSlot rFuelPressure = RecordDatum("GENERAL ENG FUEL PRESSURE:1");
constexpr RecordSlot rTorque = RecordDatum("ENG TORQUE:1");
constexpr RecordSlot rRpm = RecordDatum("GENERAL ENG RPM:1");
constexpr RecordSlot rTit = RecordDatum("RECIP ENG TURBINE INLET TEMPERATURE:1");
constexpr RecordSlot rStarter = RecordDatum("GENERAL ENG STARTER:1");
// Fuel tanks: level and capacity alternate, so tank k lies at +16 k.
constexpr RecordSlot rFirstTankLevel = RecordDatum("FUEL TANK CENTER LEVEL");
constexpr RecordSlot rFirstTankCapacity = RecordDatum("FUEL TANK CENTER CAPACITY");
constexpr std::size_t kTanks = 9;
// Radio series: index n-1 for receiver n.
constexpr RecordSlot rNavAvailable = RecordDatum("NAV AVAILABLE:1");
constexpr RecordSlot rNavFrequency = RecordDatum("NAV ACTIVE FREQUENCY:1");
constexpr RecordSlot rNavHasNav = RecordDatum("NAV HAS NAV:1");
constexpr RecordSlot rNavHasLocalizer = RecordDatum("NAV HAS LOCALIZER:1");
constexpr RecordSlot rNavHasGlideSlope = RecordDatum("NAV HAS GLIDE SLOPE:1");
constexpr RecordSlot rNavCdi = RecordDatum("NAV CDI:1");
constexpr RecordSlot rNavGsi = RecordDatum("NAV GSI:1");
constexpr RecordSlot rNavRadial = RecordDatum("NAV RADIAL:1");
constexpr RecordSlot rNavToFrom = RecordDatum("NAV TOFROM:1");
constexpr RecordSlot rNavDme = RecordDatum("NAV DME:1");
constexpr RecordSlot rNavIdent = RecordDatum("NAV IDENT:1");
constexpr RecordSlot rAdfAvailable = RecordDatum("ADF AVAILABLE:1");
constexpr RecordSlot rAdfFrequency = RecordDatum("ADF ACTIVE FREQUENCY:1");
constexpr RecordSlot rAdfRadial = RecordDatum("ADF RADIAL:1");
constexpr RecordSlot rComFrequency = RecordDatum("COM ACTIVE FREQUENCY:1");
constexpr RecordSlot rMarker = RecordDatum("MARKER BEACON STATE");
constexpr RecordSlot rWindDirection = RecordDatum("AMBIENT WIND DIRECTION");
constexpr RecordSlot rWindVelocity = RecordDatum("AMBIENT WIND VELOCITY");
constexpr RecordSlot rVelocityZ = RecordDatum("VELOCITY WORLD Z");
constexpr RecordSlot rVelocityX = RecordDatum("VELOCITY WORLD X");

// Frame fields.
constexpr F64Field fTime = FrameF64("conversionTime");
constexpr F64Field fMagVar = FrameF64("magneticVariation");
constexpr F64Field fWindDirection = FrameF64("windDirection");
constexpr F64Field fWindSpeed = FrameF64("windSpeed");
constexpr F64Field fLatitude = FrameF64("latitude");
constexpr F64Field fLongitude = FrameF64("longitude");
constexpr F64Field fAltitude = FrameF64("altitude");
constexpr F64Field fTrack = FrameF64("groundTrack");
constexpr F64Field fTrueHeading = FrameF64("trueHeading");
constexpr F64Field fTas = FrameF64("trueAirspeed");
constexpr F64Field fMach = FrameF64("mach");
constexpr F64Field fGroundSpeed = FrameF64("groundSpeed");
constexpr F64Field fVerticalSpeed = FrameF64("verticalSpeed");
constexpr F64Field fPitch = FrameF64("pitch");
constexpr F64Field fBank = FrameF64("bank");
constexpr F64Field fAoa = FrameF64("angleOfAttack");
constexpr F64Field fAltimeter = FrameF64("altimeterSetting");
constexpr F64Field fIndicatedAltitude = FrameF64("indicatedAltitude");
constexpr F64Field fAirDataTas = FrameF64("airDataTrueAirspeed");
constexpr F64Field fIas = FrameF64("indicatedAirspeed");
constexpr F64Field fBarberPole = FrameF64("barberPoleAirspeed");
constexpr F64Field fAirDataMach = FrameF64("airDataMach");
constexpr F64Field fStandbyAltitude = FrameF64("standbyAltitude");
constexpr F64Field fAttitudePitch = FrameF64("attitudePitch");
constexpr F64Field fAttitudeBank = FrameF64("attitudeBank");
constexpr F64Field fMagneticHeading = FrameF64("magneticHeading");
constexpr F64Field fInstrumentVs = FrameF64("instrumentVerticalSpeed");
constexpr F64Field fTurnRate = FrameF64("turnRate");
constexpr F64Field fCompassHeading = FrameF64("compassHeading");
constexpr F64Field fTurnBall = FrameF64("turnBall");
constexpr F64Field fRadioHeight = FrameF64("radioHeight");
constexpr F64Field fLoadFactor = FrameF64("loadFactor");
constexpr F64Field fElevatorTrim = FrameF64("elevatorTrim");
constexpr F64Field fAileronTrim = FrameF64("aileronTrim");
constexpr F64Field fRudderTrim = FrameF64("rudderTrim");
constexpr F64Field fGearCenter = FrameF64("gearCenterDown");
constexpr F64Field fGearLeft = FrameF64("gearLeftDown");
constexpr F64Field fGearRight = FrameF64("gearRightDown");
constexpr F64Field fFlapAngle = FrameF64("flapAngle");
constexpr F64Field fFlapDetent = FrameF64("flapDetentAngle");
constexpr F64Field fFlapLastDetent = FrameF64("flapLastDetentAngle");
constexpr F64Field fSpoilers = FrameF64("spoilerDeflection");
constexpr U8Field fSpoilersArmed = FrameU8("spoilersArmed");
constexpr U8Field fNavGlideSlope = FrameU8("navGlideSlope");
constexpr U8Field fNavLocalizer = FrameU8("navLocalizer");
constexpr U8Field fNavGlideSlopeValid = FrameU8("navGlideSlopeValid");
constexpr U8Field fNavSignal = FrameU8("navSignal");
constexpr U8Field fNavFrom = FrameU8("navFrom");
constexpr U8Field fNavTo = FrameU8("navTo");
constexpr F64Field fFuelLevel = FrameF64("fuelLevel");
constexpr F64Field fFuelCapacity = FrameF64("fuelCapacity");
constexpr F64Field fN1 = FrameF64("engineN1");
constexpr F64Field fN2 = FrameF64("engineN2");
constexpr F64Field fEpr = FrameF64("enginePressureRatio");
constexpr F64Field fEgt = FrameF64("exhaustGasTemperature");
constexpr F64Field fVibration = FrameF64("engineVibration");
constexpr F64Field fHydraulicPressure = FrameF64("hydraulicPressure");
constexpr F64Field fHydraulicQuantity = FrameF64("hydraulicQuantity");
constexpr F64Field fTorque = FrameF64("engineTorque");
constexpr F64Field fRpm = FrameF64("engineRpm");
constexpr F64Field fTit = FrameF64("turbineInletTemperature");
constexpr F64Field fFuelFlow = FrameF64("fuelFlow");
constexpr F64Field fFuelPressure = FrameF64("fuelPressure");
constexpr F64Field fOilTemperature = FrameF64("oilTemperature");
constexpr F64Field fOilPressure = FrameF64("oilPressure");
constexpr F64Field fOilQuantity = FrameF64("oilQuantity");
constexpr I32Field fStarter = FrameI32("starterEngaged");
constexpr U8Field fStarterFlag = FrameU8("starterFlag");
constexpr U8Field fNavGlideSlopeCopy = FrameU8("navGlideSlopeCopy");
constexpr U8Field fNavLocalizerCopy = FrameU8("navLocalizerCopy");
constexpr F64Field fGlideSlopeDeviation = FrameF64("glideSlopeDeviation");
constexpr F64Field fCourseDeviation = FrameF64("courseDeviation");
constexpr U8Field fNavReceiving = FrameU8("navReceiving");
constexpr U8Field fAdfAvailable = FrameU8("adfAvailable");
constexpr U8Field fNavGlideSlopeReceiving = FrameU8("navGlideSlopeReceiving");
constexpr U8Field fNavReceivingCopy = FrameU8("navReceivingCopy");
constexpr F64Field fComFrequency = FrameF64("comFrequency");
constexpr F64Field fAdfFrequency = FrameF64("adfFrequency");
constexpr F64Field fNavFrequency = FrameF64("navFrequency");
constexpr F64Field fDme = FrameF64("dmeDistance");
constexpr F64Field fNavBearing = FrameF64("navRelativeBearing");
constexpr F64Field fAdfBearing = FrameF64("adfRelativeBearing");
constexpr TextField fNavIdent = FrameText("navIdent");
constexpr TextField fGlideSlopeIdent = FrameText("glideSlopeIdent");
constexpr U8Field fOuterMarker = FrameU8("outerMarker");
constexpr U8Field fMiddleMarker = FrameU8("middleMarker");
constexpr U8Field fInnerMarker = FrameU8("innerMarker");
constexpr U8Field fFdActive = FrameU8("flightDirectorActive");
constexpr F64Field fFdPitch = FrameF64("flightDirectorPitch");
constexpr F64Field fFdBank = FrameF64("flightDirectorBank");
constexpr F64Field fApHeading = FrameF64("apHeading");
constexpr F64Field fApAirspeed = FrameF64("apAirspeed");
constexpr F64Field fApMach = FrameF64("apMach");
constexpr F64Field fApAltitude = FrameF64("apAltitude");
constexpr F64Field fApVerticalSpeed = FrameF64("apVerticalSpeed");
constexpr U8Field fApMaster = FrameU8("apMaster");
constexpr U8Field fAutothrottle = FrameU8("autothrottleArmed");
constexpr U8Field fApHeadingHold = FrameU8("apHeadingHold");
constexpr U8Field fApAltitudeHold = FrameU8("apAltitudeHold");
constexpr U8Field fApVerticalHold = FrameU8("apVerticalHold");
constexpr U8Field fApAirspeedHold = FrameU8("apAirspeedHold");
constexpr U8Field fApMachHold = FrameU8("apMachHold");
constexpr U8Field fApRpmHold = FrameU8("apRpmHold");
constexpr U8Field fApNavHold = FrameU8("apNavHold");
constexpr U8Field fApNavHoldCopy = FrameU8("apNavHoldCopy");
constexpr U8Field fApGlideSlopeHold = FrameU8("apGlideSlopeHold");
constexpr U8Field fApGlideSlopeHoldCopy = FrameU8("apGlideSlopeHoldCopy");
constexpr U8Field fApMasterOff = FrameU8("apMasterOff");
constexpr U8Field fFdActiveCopy = FrameU8("flightDirectorActiveCopy");

// The fixed fields, ready to copy: an image of the frame that holds every fixed field's constant
// at the field's offset, and the stretches of the frame that fixed fields cover, neighbouring
// fields joined into one stretch. Both are built at compile time from the frame table, so the
// conversion writes all fixed fields with a few copies and nothing else.
struct FixedStretch {
  std::size_t offset;
  std::size_t length;
};

consteval std::array<std::uint8_t, kFrameSize> FixedFieldImage() {
  std::array<std::uint8_t, kFrameSize> image{};
  for (const FrameField& field : frame_fields::kAll) {
    if (field.role != FrameRole::kFixed) continue;
    for (std::size_t i = 0; i < field.count; ++i) {
      std::uint8_t* element = image.data() + field.offset + ElementWidth(field) * i;
      switch (field.type) {
        case FrameType::kF64:
          EncodeF64(element, field.fixed.number);
          break;
        case FrameType::kI32:
          EncodeI32(element, static_cast<std::int32_t>(field.fixed.number));
          break;
        case FrameType::kU8:
          *element = static_cast<std::uint8_t>(field.fixed.number);
          break;
        case FrameType::kText:  // the characters; the NUL and the fill are the image's zeros
          for (std::size_t c = 0; field.fixed.text[c] != '\0'; ++c) {
            element[c] = static_cast<std::uint8_t>(field.fixed.text[c]);
          }
          break;
      }
    }
  }
  return image;
}

consteval std::size_t FixedStretchCount() {
  std::size_t count = 0;
  std::size_t end = 0;
  for (const FrameField& field : frame_fields::kAll) {
    if (field.role != FrameRole::kFixed) continue;
    if (count == 0 || field.offset != end) ++count;
    end = field.offset + FieldBytes(field);
  }
  return count;
}

consteval std::array<FixedStretch, FixedStretchCount()> FixedStretches() {
  std::array<FixedStretch, FixedStretchCount()> stretches{};
  std::size_t n = 0;
  for (const FrameField& field : frame_fields::kAll) {
    if (field.role != FrameRole::kFixed) continue;
    if (n > 0 && stretches[n - 1].offset + stretches[n - 1].length == field.offset) {
      stretches[n - 1].length += FieldBytes(field);
    } else {
      stretches[n++] = {field.offset, FieldBytes(field)};
    }
  }
  return stretches;
}

constexpr std::array<std::uint8_t, kFrameSize> kFixedFieldImage = FixedFieldImage();
constexpr auto kFixedStretches = FixedStretches();

// The loop over the stretches, unrolled at compile time: each copy then has a constant offset and
// length, which the compiler turns into a few plain moves instead of a call per stretch.
template <std::size_t... kStretch>
void PutFixedStretches(std::uint8_t* frame, std::index_sequence<kStretch...>) {
  (std::memcpy(frame + kFixedStretches[kStretch].offset,
               kFixedFieldImage.data() + kFixedStretches[kStretch].offset,
               kFixedStretches[kStretch].length),
   ...);
}

void PutFixedFields(std::uint8_t* frame) {
  PutFixedStretches(frame, std::make_index_sequence<kFixedStretches.size()>{});
}

// The ident text of a NAV receiver: the datum's 8 bytes up to the first NUL, copied as they
// are. An ident that does not fit the 6-byte field (more than 5 characters, or no NUL at all)
// keeps its first 5 characters, so the field always ends in a NUL.
void PutIdent(std::uint8_t* frame, TextField field, std::size_t receiver, const std::uint8_t* ident,
              bool present) {
  std::size_t length = 0;
  if (present) {
    while (length < 8 && ident[length] != 0) ++length;
  }
  PutText(frame, field, reinterpret_cast<const char*>(ident), length, receiver);
}

}  // namespace

double NormaliseDegrees(double v) {
  if (std::isnan(v) || std::isinf(v)) return v;
  // Far outside the circle one pass per 360 degrees would take (nearly) forever; the exact
  // remainder brings the value close first. Ordinary angles take the passes as they always did.
  if (v <= -kNormaliseLoopLimit || v >= kNormaliseLoopLimit) {
    v = Remainder360(v) + 0.0;  // + 0.0 turns a remainder of -0.0 into 0.0
  }
  while (v < 0.0) v += 360.0;
  while (v >= 360.0) v -= 360.0;
  return v;
}

double DetentAngle(const FlapsTable& table, double handle) {
  // Truncation is defined only for values that fit a 32-bit integer; everything else (NaN
  // included, which fails both comparisons) has no detent.
  if (!(handle > -2147483649.0 && handle < 2147483648.0)) return 0.0;
  const auto index = static_cast<std::int32_t>(handle);
  if (index < 0 || index > 19) return 0.0;
  const float angle = table[static_cast<std::size_t>(index)];
  return angle >= 0.0f ? static_cast<double>(angle) : 0.0;  // a NaN entry fails the test
}

double DecodeBcdFrequency(std::uint32_t word) {
  std::uint32_t value = 0;
  std::uint32_t weight = 1;
  for (int nibble = 0; nibble < 8; ++nibble) {
    value += ((word >> (4 * nibble)) & 0xFu) * weight;
    weight *= 10;
  }
  return static_cast<double>(value) / 10000.0;
}

void ConvertRecord(const std::uint8_t* r, const FlapsTable& flaps, std::time_t now,
                   std::uint8_t* f) {
  // Fixed values: texts, constants and flags that every frame carries.
  PutFixedFields(f);

  // Time, position and wind.
  Put(f, fTime, static_cast<double>(now));
  const double magvar = ReadF64(r, rMagVar);
  Put(f, fMagVar, magvar);
  Put(f, fWindDirection, ReadF64(r, rWindDirection));
  Put(f, fWindSpeed, ReadF64(r, rWindVelocity));
  Put(f, fLatitude, ReadF64(r, rLatitude));
  Put(f, fLongitude, ReadF64(r, rLongitude));
  Put(f, fAltitude, ReadF64(r, rAltitude));

  // Heading, track, speeds, attitude.
  const double heading_true = ReadF64(r, rHeadingTrue) * K;
  Put(f, fTrueHeading, heading_true);
  const double track = ArcTangent2(ReadF64(r, rVelocityX), ReadF64(r, rVelocityZ));
  Put(f, fTrack, NormaliseDegrees(track * 180.0 / kTrackPi));
  const double tas = ReadF64(r, rTas);
  const double mach = ReadF64(r, rMach);
  Put(f, fTas, tas);
  Put(f, fMach, mach);
  Put(f, fGroundSpeed, ReadF64(r, rGroundSpeed));
  const double vertical_speed = ReadF64(r, rVerticalSpeed) * 60.0;
  Put(f, fVerticalSpeed, vertical_speed);
  const double pitch = -(ReadF64(r, rPitch) * K);
  const double bank = -(ReadF64(r, rBank) * K);
  Put(f, fPitch, pitch);
  Put(f, fBank, bank);
  Put(f, fAoa, ReadF64(r, rAoa) * K);

  // Air data.
  PutAll(f, fAltimeter, ReadF64(r, rKohlsman));
  const double indicated_altitude = ReadF64(r, rIndicatedAltitude);
  PutAll(f, fIndicatedAltitude, indicated_altitude);
  PutAll(f, fAirDataTas, tas);
  PutAll(f, fIas, ReadF64(r, rIas));
  PutAll(f, fBarberPole, ReadF64(r, rBarberPole));
  PutAll(f, fAirDataMach, mach);
  Put(f, fStandbyAltitude, indicated_altitude);

  // Heading group.
  const double magnetic_heading = NormaliseDegrees(heading_true - magvar);
  PutAll(f, fMagneticHeading, magnetic_heading);
  PutAll(f, fInstrumentVs, vertical_speed);
  PutAll(f, fTurnRate, ReadF64(r, rTurnRate) * K);
  PutAll(f, fAttitudePitch, pitch);
  PutAll(f, fAttitudeBank, bank);
  Put(f, fCompassHeading, magnetic_heading);

  // Ball, radio height, load factor, trims, gear, flaps, spoilers.
  Put(f, fTurnBall, ReadF64(r, rBall) * kBallScale);
  PutAll(f, fRadioHeight, ReadF64(r, rRadioHeight));
  Put(f, fLoadFactor, ReadF64(r, rGForce));
  Put(f, fElevatorTrim, ReadF64(r, rElevatorTrim) * K);
  Put(f, fAileronTrim, ReadF64(r, rAileronTrim) * K);
  Put(f, fRudderTrim, ReadF64(r, rRudderTrim) * K);
  Put(f, fGearCenter, Truth(ReadF64(r, rGearCenter) / 100.0) ? 1.0 : 0.0);
  Put(f, fGearLeft, Truth(ReadF64(r, rGearLeft) / 100.0) ? 1.0 : 0.0);
  Put(f, fGearRight, Truth(ReadF64(r, rGearRight) / 100.0) ? 1.0 : 0.0);
  Put(f, fFlapAngle, (ReadF64(r, rFlapsRight) * K + ReadF64(r, rFlapsLeft) * K) * 0.5);
  Put(f, fFlapLastDetent, DetentAngle(flaps, ReadF64(r, rFlapsPositions)));
  Put(f, fFlapDetent, DetentAngle(flaps, ReadF64(r, rFlapsHandle)));
  Put(f, fSpoilers,
      (ReadF64(r, rSpoilersRight) + ReadF64(r, rSpoilersLeft)) * 0.5 / kSpoilerFullDeflection);
  Put(f, fSpoilersArmed, Truth(ReadF64(r, rSpoilersArmed)));

  // NAV status flags per receiver.
  std::uint8_t has_nav[2], has_localizer[2], has_glide_slope[2];
  for (std::size_t n = 0; n < 2; ++n) {
    has_nav[n] = Truth(ReadF64(r, rNavHasNav, n));
    has_localizer[n] = Truth(ReadF64(r, rNavHasLocalizer, n));
    has_glide_slope[n] = Truth(ReadF64(r, rNavHasGlideSlope, n));
    const std::int64_t to_from = ReadI64(r, rNavToFrom, n);
    Put(f, fNavGlideSlope, has_nav[n] & has_glide_slope[n], n);
    Put(f, fNavLocalizer, has_nav[n] & has_localizer[n], n);
    Put(f, fNavGlideSlopeValid, has_nav[n] & has_glide_slope[n], n);
    Put(f, fNavSignal, has_nav[n], n);
    Put(f, fNavFrom, to_from == 2 ? 1 : 0, n);
    Put(f, fNavTo, to_from == 1 ? 1 : 0, n);
  }

  // Fuel.
  for (std::size_t k = 0; k < fFuelLevel.count; ++k) {
    Put(f, fFuelLevel, k < kTanks ? ReadF64(r, rFirstTankLevel, 2 * k) : 0.0, k);
    Put(f, fFuelCapacity, k < kTanks ? ReadF64(r, rFirstTankCapacity, 2 * k) : 0.0, k);
  }

  // Engines.
  for (std::size_t e = 0; e < 4; ++e) {
    Put(f, fN1, ReadF64(r, rN1, e), e);
    Put(f, fN2, ReadF64(r, rN2, e), e);
    Put(f, fEpr, ReadF64(r, rEpr, e), e);
    Put(f, fEgt, Celsius(ReadF64(r, rEgt, e)), e);
    Put(f, fVibration, ReadF64(r, rVibration, e), e);
    Put(f, fHydraulicPressure, Psi(ReadF64(r, rHydraulicPressure, e)), e);
    // Both quantities arrive as "Percent over 100"; hydraulic is divided, oil multiplied.
    Put(f, fHydraulicQuantity, ReadF64(r, rHydraulicQuantity, e) / 100.0, e);
    Put(f, fTorque, ReadF64(r, rTorque, e) * 12.0, e);
    Put(f, fRpm, ReadF64(r, rRpm, e), e);
    Put(f, fTit, ReadF64(r, rTit, e), e);
    Put(f, fFuelFlow, ReadF64(r, rFuelFlow, e) / 1000.0, e);
    Put(f, fFuelPressure, ReadF64(r, rFuelPressure, e), e);
    Put(f, fOilTemperature, Celsius(ReadF64(r, rOilTemperature, e)), e);
    Put(f, fOilPressure, Psi(ReadF64(r, rOilPressure, e)), e);
    Put(f, fOilQuantity, ReadF64(r, rOilQuantity, e) * 100.0, e);
    const std::uint8_t starter = Truth(ReadF64(r, rStarter, e));
    Put(f, fStarter, starter, e);
    Put(f, fStarterFlag, starter, e);
  }

  // NAV, ADF and COM receivers.
  for (std::size_t n = 0; n < 2; ++n) {
    const std::uint8_t available = Truth(ReadF64(r, rNavAvailable, n));
    Put(f, fNavReceiving, available & has_nav[n], n);
    Put(f, fNavReceivingCopy, available & has_nav[n], n);
    Put(f, fNavGlideSlopeReceiving, available & has_nav[n] & has_glide_slope[n], n);
    Put(f, fNavFrequency, ReadF64(r, rNavFrequency, n), n);
    Put(f, fDme, ReadF64(r, rNavDme, n), n);
    Put(f, fNavBearing, NormaliseDegrees(ReadF64(r, rNavRadial, n) + 180.0 - heading_true + magvar),
        n);
    const std::uint8_t* ident = r + rNavIdent.offset + 8 * n;
    PutIdent(f, fNavIdent, n, ident, true);
    PutIdent(f, fGlideSlopeIdent, n, ident, has_glide_slope[n] != 0);
  }
  for (std::size_t n = 0; n < 2; ++n) {
    Put(f, fAdfAvailable, Truth(ReadF64(r, rAdfAvailable, n)), n);
    Put(f, fAdfFrequency, DecodeBcdFrequency(ReadU32(r, rAdfFrequency, n)), n);
    Put(f, fAdfBearing, NormaliseDegrees(ReadF64(r, rAdfRadial, n)), n);
  }
  for (std::size_t n = 0; n < 2; ++n) {
    Put(f, fComFrequency, DecodeBcdFrequency(ReadU32(r, rComFrequency, n)), n);
  }

  // Copies, deviations, markers.
  for (std::size_t n = 0; n < 2; ++n) {
    Put(f, fNavGlideSlopeCopy, GetU8(f, fNavGlideSlope, n), n);
    Put(f, fNavLocalizerCopy, GetU8(f, fNavLocalizer, n), n);
    Put(f, fGlideSlopeDeviation, ReadF64(r, rNavGsi, n) / 119.0, n);
    Put(f, fCourseDeviation, ReadF64(r, rNavCdi, n) * 0.0078125, n);
  }
  const std::int64_t marker = ReadI64(r, rMarker);
  Put(f, fOuterMarker, marker == 1 ? 1 : 0);
  Put(f, fMiddleMarker, marker == 2 ? 1 : 0);
  Put(f, fInnerMarker, marker == 3 ? 1 : 0);

  // Flight director and autopilot.
  const std::uint8_t fd_active = Truth(ReadF64(r, rFdActive));
  PutAll(f, fFdActive, fd_active);
  PutAll(f, fFdBank, ReadF64(r, rFdBank) * K);
  PutAll(f, fFdPitch, ReadF64(r, rFdPitch) * K);
  Put(f, fApHeading, ReadF64(r, rApHeading));
  Put(f, fApAirspeed, ReadF64(r, rApAirspeed));
  Put(f, fApMach, ReadF64(r, rApMach));
  Put(f, fApAltitude, ReadF64(r, rApAltitude));
  Put(f, fApVerticalSpeed, ReadF64(r, rApVerticalSpeed));
  const std::uint8_t ap_master = Truth(ReadF64(r, rApMaster));
  Put(f, fApMaster, ap_master);
  Put(f, fAutothrottle, Truth(ReadF64(r, rApThrottleArm)));
  PutAll(f, fFdActiveCopy, fd_active);
  const std::uint8_t altitude_lock = Truth(ReadF64(r, rApAltitudeLock));
  const std::uint8_t approach = Truth(ReadF64(r, rApApproachHold));
  const std::uint8_t nav_hold = Truth(ReadF64(r, rApNav1Lock)) | approach;
  const std::uint8_t glide_slope_hold = Truth(ReadF64(r, rApGlideslopeHold)) | approach;
  PutAll(f, fApHeadingHold, Truth(ReadF64(r, rApHeadingLock)));
  PutAll(f, fApAltitudeHold, altitude_lock);
  PutAll(f, fApVerticalHold, Truth(ReadF64(r, rApVerticalHold)) | altitude_lock);
  PutAll(f, fApAirspeedHold, Truth(ReadF64(r, rApAirspeedHold)));
  PutAll(f, fApMachHold, Truth(ReadF64(r, rApMachHold)));
  PutAll(f, fApRpmHold, Truth(ReadF64(r, rApRpmHold)));
  PutAll(f, fApNavHold, nav_hold);
  PutAll(f, fApNavHoldCopy, nav_hold);
  PutAll(f, fApGlideSlopeHold, glide_slope_hold);
  PutAll(f, fApGlideSlopeHoldCopy, glide_slope_hold);
  Put(f, fApMasterOff, ap_master == 0 ? 1 : 0);
}

}  // namespace velkaro
