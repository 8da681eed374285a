// The frame conversion, record in, frame out. Offsets in this file are the wire offsets of the
// record and of the frame written out as numbers, not taken from the layout definitions, so a
// slip in either definition shows here.
#include "simdata/frame_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/coding.h"
#include "common/frame_layout.h"
#include "simdata/record_layout.h"

namespace velkaro {
namespace {

constexpr double K = 57.2957795129;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One datum written into the record.
struct Datum {
  enum Type { kF64, kI64, kU32, kBytes } type;
  std::size_t offset;
  double real = 0;
  std::int64_t whole = 0;
  const char* bytes = nullptr;
};
Datum F(std::size_t offset, double v) {
  return {Datum::kF64, offset, v};
}
Datum I64(std::size_t offset, std::int64_t v) {
  return {Datum::kI64, offset, 0, v};
}
Datum U32(std::size_t offset, std::uint32_t v) {
  return {Datum::kU32, offset, 0, v};
}
Datum Chars8(std::size_t offset, const char* eight) {
  return {Datum::kBytes, offset, 0, 0, eight};
}

// One expectation on the frame. A real without tolerance is compared bit for bit (so -0.0 is
// not 0.0), with tolerance by value; NaN expects NaN.
struct Expect {
  enum Type { kF64, kI32, kU8, kText } type;
  std::size_t offset;
  double value = 0;
  double tolerance = 0;
  std::string text;
};
Expect Real(std::size_t offset, double v) {
  return {Expect::kF64, offset, v};
}
Expect Near(std::size_t offset, double v, double tol = 1e-9) {
  return {Expect::kF64, offset, v, tol};
}
Expect Int(std::size_t offset, std::int32_t v) {
  return {Expect::kI32, offset, static_cast<double>(v)};
}
Expect Byte(std::size_t offset, int v) {
  return {Expect::kU8, offset, static_cast<double>(v)};
}
// A 6-byte text field: the characters, NUL, zero fill.
Expect Text6(std::size_t offset, std::string text) {
  return {Expect::kText, offset, 0, 0, text};
}

struct Case {
  const char* name;
  std::vector<Datum> record;
  std::vector<Expect> frame;
};

// Detents 0..19 at 10 i + 0.5 degrees, except detent 4 (no angle) and 5 (NaN).
FlapsTable TestFlaps() {
  FlapsTable table;
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = 10.0f * i + 0.5f;
  table[4] = -1.0f;
  table[5] = std::numeric_limits<float>::quiet_NaN();
  return table;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"texts and fixed values",
       {},
       {Text6(0, "ZELM30"), Byte(7, 0),    Text6(16, "WIN32"), Text6(8, "FSX"), Real(40, 1013.2),
        Byte(64, 0),        Byte(216, 1),  Byte(217, 1),       Byte(352, 1),    Byte(365, 1),
        Byte(600, 1),       Byte(609, 1),  Byte(639, 1),       Byte(642, 1),    Byte(1824, 1),
        Byte(1829, 1),      Byte(1830, 0), Int(2088, 0),       Int(2092, 0),    Real(272, 0.0),
        Real(280, 0.0)}},
      {"position, wind and variation",
       {F(256, 47.5), F(264, -122.25), F(272, 8000), F(320, 15.5), F(1656, 300), F(1664, 25)},
       {Real(96, 47.5), Real(104, -122.25), Real(112, 8000), Real(72, 15.5), Real(80, 300),
        Real(88, 25)}},
      {"magnetic heading wraps past north",
       {F(304, 359.5 / K), F(320, -1.0)},
       {Near(136, 359.5), Near(424, 0.5), Near(432, 0.5), Near(472, 0.5)}},
      {"track from the world velocities",
       {F(1680, -1.0), F(1672, 0.0)},
       {Real(128, 270.0000000000059)}},
      {"no velocity, track 0", {}, {Real(128, 0.0)}},
      {"level attitude is negative zero",
       {F(384, 0.0), F(376, 0.0)},
       {Real(176, -0.0), Real(392, -0.0), Real(400, -0.0), Real(184, -0.0), Real(408, -0.0)}},
      {"pitch and bank invert their sign",
       {F(384, -0.1), F(376, 0.2), F(392, 0.05)},
       {Real(176, 0.1 * K), Real(400, 0.1 * K), Real(184, -(0.2 * K)), Real(416, -(0.2 * K)),
        Real(208, 0.05 * K)}},
      {"speeds and vertical speed",
       {F(352, 280), F(336, 0.44), F(344, 300), F(360, 25), F(328, 250), F(368, 350)},
       {Real(144, 280), Real(152, 0.44), Real(160, 300), Real(168, 1500), Real(440, 1500),
        Real(448, 1500), Real(288, 280), Real(296, 280), Real(304, 250), Real(312, 250),
        Real(320, 350), Real(336, 0.44), Real(344, 0.44)}},
      {"air data",
       {F(296, 1000.5), F(280, 7990), F(288, 7590), F(416, 1.25), F(400, 0.05)},
       {Real(224, 1000.5), Real(232, 1000.5), Real(256, 7990), Real(264, 7990), Real(384, 7990),
        Real(488, 7590), Real(496, 7590), Real(504, 1.25), Real(456, 0.05 * K),
        Real(464, 0.05 * K)}},
      {"ball and trims",
       {F(408, 64), F(664, 0.01), F(672, -0.02), F(680, 0.03)},
       {Real(480, 1.5), Real(512, 0.01 * K), Real(520, -0.02 * K), Real(528, 0.03 * K)}},
      {"gear down when extended at all",
       {F(584, 0.5), F(592, 0.0), F(600, 100)},
       {Real(536, 1.0), Real(544, 0.0), Real(552, 1.0)}},
      {"flap angle is the mean of both sides",
       {F(624, 0.2), F(632, 0.3)},
       {Real(560, (0.3 * K + 0.2 * K) * 0.5)}},
      {"detent of handle 3.7 is entry 3",
       {F(608, 3.7), F(616, 19.0)},
       {Real(568, 30.5), Real(576, 190.5)}},
      {"detent of handle -0.5 is entry 0", {F(608, -0.5)}, {Real(568, 0.5)}},
      {"no detent outside 0..19", {F(608, 20.0), F(616, -1.0)}, {Real(568, 0.0), Real(576, 0.0)}},
      {"no detent for an entry without angle",
       {F(608, 4.0), F(616, 5.0)},
       {Real(568, 0.0), Real(576, 0.0)}},
      {"no detent for values that are no integer",
       {F(608, kNaN), F(616, 1e10)},
       {Real(568, 0.0), Real(576, 0.0)}},
      {"no detent for infinities", {F(608, -kInf), F(616, kInf)}, {Real(568, 0.0), Real(576, 0.0)}},
      {"spoilers",
       {F(648, 16383), F(656, 0), F(640, 1.0)},
       {Real(584, 0.5), Byte(592, 1), Byte(593, 0)}},
      {"NaN booleans count as true",
       {F(640, kNaN), F(472, kNaN)},
       {Byte(592, 1), Byte(1940, 1), Byte(1974, 0)}},
      {"NAV flags need a NAV signal",
       {F(1408, 0.0), F(1440, 1.0), F(1424, 1.0), F(1376, 1.0), Chars8(1584, "IVLK\0\0\0\0")},
       {Byte(610, 0), Byte(612, 0), Byte(620, 0), Byte(622, 0), Byte(1581, 0), Byte(1583, 0),
        Byte(1656, 0), Byte(1660, 0), Byte(1662, 0), Text6(1776, "IVLK"), Text6(1800, "IVLK")}},
      {"NAV receiver 2 with signal, localizer and glide slope",
       {F(1384, 1.0), F(1416, 1.0), F(1432, 1.0), F(1448, 1.0), I64(1544, 1),
        Chars8(1592, "VLK\0\0\0\0\0"), F(1400, 113.7), F(1576, 12.5), F(1496, 59.5), F(1480, 64)},
       {Byte(611, 1), Byte(613, 1), Byte(621, 1), Byte(623, 1), Byte(631, 1), Byte(629, 0),
        Byte(1582, 1), Byte(1584, 1), Byte(1657, 1), Byte(1661, 1), Byte(1663, 1), Byte(610, 0),
        Real(1704, 113.7), Real(1736, 12.5), Real(1600, 0.5), Real(1616, 0.5), Text6(1782, "VLK"),
        Text6(1806, "VLK")}},
      {"no glide slope, no glide-slope ident",
       {F(1408, 1.0), Chars8(1584, "ABC\0\0\0\0\0"), I64(1536, 2)},
       {Text6(1776, "ABC"), Text6(1800, ""), Byte(628, 1), Byte(630, 0)}},
      {"ident longer than the field keeps five characters",
       {Chars8(1584, "ABCDEFGH"), F(1440, 1.0)},
       {Text6(1776, "ABCDE"), Text6(1800, "ABCDE")}},
      {"station bearing relative to the nose",
       {F(1520, 90.0), F(1528, 45.0), F(304, 90.0 / K)},
       {Near(1744, 180.0), Near(1752, 135.0)}},
      {"ADF",
       {F(1600, 1.0), U32(1616, 0x03495000), F(1624, -90.0), U32(1620, 0x1A)},
       {Byte(1658, 1), Byte(1659, 0), Real(1680, 349.5), Real(1688, 0.002), Real(1760, 270.0),
        Text6(1788, ""), Text6(1794, "")}},
      {"COM frequencies", {U32(1640, 0x2345), U32(1644, 0)}, {Real(1664, 0.2345), Real(1672, 0.0)}},
      {"markers: middle only", {I64(1648, 2)}, {Byte(1836, 0), Byte(1837, 1), Byte(1838, 0)}},
      {"markers: state 4 is none", {I64(1648, 4)}, {Byte(1836, 0), Byte(1837, 0), Byte(1838, 0)}},
      {"fuel tanks in record order",
       {F(1200, 10), F(1208, 4000), F(1216, 20), F(1232, 30), F(1248, 40), F(1264, 50), F(1280, 60),
        F(1296, 70), F(1312, 80), F(1328, 90), F(1336, 25)},
       {Real(648, 10), Real(656, 20), Real(664, 30), Real(672, 40), Real(680, 50), Real(688, 60),
        Real(696, 70), Real(704, 80), Real(712, 90), Real(720, 0), Real(736, 0), Real(744, 4000),
        Real(808, 25), Real(832, 0)}},
      {"engine units",
       {F(784, 491.67), F(792, 671.67), F(944, 144), F(976, 0.5), F(880, 0.75), F(1072, 100),
        F(1008, 5400), F(848, 600), F(816, 288), F(1168, 0.0), F(1176, 1.0), F(688, 78.5),
        F(1104, 8800), F(1136, 650), F(1040, 30), F(912, 1.2), F(752, 1.4)},
       {Real(1000, 0.0),
        Real(1008, 99.99999999999997),
        Real(1064, 0.9999999993600001),
        Real(1096, 0.005),
        Real(1384, 75.0),
        Real(1128, 1200),
        Real(1224, 5.4),
        Near(1288, (600 - 491.67) * 0.5555555555555556),
        Real(1320, 288 * 0.00694444444),
        Int(1480, 0),
        Int(1484, 1),
        Byte(1577, 0),
        Byte(1578, 1),
        Real(904, 78.5),
        Real(1160, 8800),
        Real(1192, 650),
        Real(1256, 30),
        Real(1032, 1.2),
        Real(968, 1.4),
        Real(1352, 0),
        Real(1416, 0),
        Real(1448, 0),
        Byte(1496, 0),
        Byte(1576, 0)}},
      {"flight director",
       {F(560, 1.0), F(568, 0.1), F(576, -0.05)},
       {Byte(1839, 1), Byte(1840, 1), Byte(1975, 1), Byte(1976, 1), Real(1864, 0.1 * K),
        Real(1872, 0.1 * K), Real(1848, -0.05 * K), Real(1856, -0.05 * K), Byte(1880, 0)}},
      {"autopilot values",
       {F(424, 270), F(432, 250), F(440, 0.78), F(456, 12000), F(464, -1500)},
       {Real(1888, 270), Real(1896, 250), Real(1904, 0.78), Real(1912, 12000), Real(1920, -1500),
        Real(1928, 0)}},
      {"approach hold alone sets the NAV and glide-slope flags",
       {F(552, 1.0)},
       {Byte(1955, 1), Byte(1956, 1), Byte(1957, 1), Byte(1958, 1), Byte(1959, 1), Byte(1960, 1),
        Byte(1961, 1), Byte(1962, 1), Byte(1943, 0), Byte(1945, 0), Byte(1947, 0), Byte(1949, 0),
        Byte(1951, 0), Byte(1953, 0), Byte(1940, 0), Byte(1974, 1)}},
      {"autopilot mode flags",
       {F(472, 1.0), F(480, 1.0), F(488, 1.0), F(520, 1.0), F(496, 1.0), F(504, 1.0), F(512, 1.0),
        F(536, 1.0), F(544, 1.0)},
       {Byte(1940, 1), Byte(1941, 1), Byte(1974, 0), Byte(1943, 1), Byte(1944, 1), Byte(1945, 1),
        Byte(1947, 1), Byte(1948, 1), Byte(1949, 1), Byte(1951, 1), Byte(1953, 1), Byte(1955, 1),
        Byte(1959, 1), Byte(1963, 0), Byte(1972, 0), Byte(1973, 0)}},
      {"vertical hold alone", {F(528, 1.0)}, {Byte(1947, 1), Byte(1948, 1), Byte(1945, 0)}},
      {"angles far from the circle still normalise",
       {F(320, 1e300), F(1632, -7.2e7)},
       {Real(1768, 0.0)}},
      {"NaN and infinite angles stay as they are",
       {F(1624, kNaN), F(1632, kInf), F(320, -kInf)},
       {Real(1760, kNaN), Real(1768, kInf), Real(424, kInf)}},
  };
  return cases;
}

void WriteDatum(std::vector<std::uint8_t>& record, const Datum& d) {
  switch (d.type) {
    case Datum::kF64:
      EncodeF64(record.data() + d.offset, d.real);
      break;
    case Datum::kI64:
      EncodeI64(record.data() + d.offset, d.whole);
      break;
    case Datum::kU32:
      EncodeU32(record.data() + d.offset, static_cast<std::uint32_t>(d.whole));
      break;
    case Datum::kBytes:
      std::memcpy(record.data() + d.offset, d.bytes, 8);
      break;
  }
}

void CheckExpectation(const std::vector<std::uint8_t>& frame, const Expect& e) {
  SCOPED_TRACE(::testing::Message() << "frame offset " << e.offset);
  const std::uint8_t* at = frame.data() + e.offset;
  switch (e.type) {
    case Expect::kF64: {
      const double actual = DecodeF64(at);
      if (std::isnan(e.value)) {
        EXPECT_TRUE(std::isnan(actual)) << actual;
      } else if (e.tolerance > 0) {
        EXPECT_NEAR(actual, e.value, e.tolerance);
      } else {
        std::uint8_t expected[8];
        EncodeF64(expected, e.value);
        EXPECT_EQ(std::memcmp(at, expected, 8), 0) << actual << " expected " << e.value;
      }
      break;
    }
    case Expect::kI32:
      EXPECT_EQ(DecodeI32(at), static_cast<std::int32_t>(e.value));
      break;
    case Expect::kU8:
      EXPECT_EQ(*at, static_cast<int>(e.value));
      break;
    case Expect::kText: {
      std::uint8_t expected[6] = {};
      std::memcpy(expected, e.text.data(), e.text.size());
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(at), 6),
                std::string(reinterpret_cast<const char*>(expected), 6));
      break;
    }
  }
}

TEST(FrameConversionTest, RecordDatumsBecomeFrameFields) {
  const FlapsTable flaps = TestFlaps();
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> record(kRecordSize, 0);
    for (const Datum& d : c.record) WriteDatum(record, d);
    std::vector<std::uint8_t> frame(kFrameSize);
    InitFrame(frame.data());
    ConvertRecord(record.data(), flaps, 1796868000, frame.data());
    for (const Expect& e : c.frame) CheckExpectation(frame, e);
  }
}

TEST(FrameConversionTest, TimeIsTheCalendarTimeInWholeSeconds) {
  std::vector<std::uint8_t> record(kRecordSize, 0), frame(kFrameSize);
  ConvertRecord(record.data(), TestFlaps(), 1796868019, frame.data());
  EXPECT_EQ(DecodeF64(frame.data() + 24), 1796868019.0);
}

TEST(FrameConversionTest, FieldsThatKeepTheirStartUpValueAreNeverWritten) {
  std::vector<std::uint8_t> record(kRecordSize, 0);
  for (std::size_t i = 256; i < kRecordSize; ++i) record[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::vector<std::uint8_t> start(kFrameSize), frame(kFrameSize);
  InitFrame(start.data());
  frame = start;
  ConvertRecord(record.data(), TestFlaps(), 0, frame.data());
  for (const FrameField& f : kFrameFields) {
    if (f.role != FrameRole::kStartup) continue;
    EXPECT_EQ(std::memcmp(frame.data() + f.offset, start.data() + f.offset, FieldBytes(f)), 0)
        << f.name;
  }
  // Reserved stretches stay zero.
  for (std::size_t offset :
       {6,    7,    65,   71,   218,  223,  366,  367,  643,  647,  903,  1585, 1591, 1841, 1847,
        1882, 1887, 1981, 1983, 2039, 2053, 2055, 2082, 2083, 2124, 2127, 2172, 2175, 2273, 2279}) {
    EXPECT_EQ(frame[offset], 0) << "reserved byte " << offset;
  }
  EXPECT_EQ(frame[2272], 0x55);
}

// The constants every conversion writes, whatever the frame held before: stretches of one byte
// value (a u8 flag, or f64 and i32 zeros) and the few values that are not.
TEST(FrameConversionTest, FixedFieldsGetTheirConstantsOverAnyEarlierContent) {
  struct Stretch {
    std::size_t offset;
    std::size_t length;
    std::uint8_t byte;
  };
  const Stretch kStretches[] = {
      {64, 1, 0},    {120, 8, 0},   {192, 16, 0}, {216, 2, 1},   {240, 16, 0},  {272, 16, 0},
      {352, 14, 1},  {376, 8, 0},   {593, 7, 0},  {600, 10, 1},  {614, 6, 0},   {624, 4, 0},
      {632, 7, 0},   {639, 4, 1},   {840, 63, 0}, {1352, 32, 0}, {1416, 64, 0}, {1496, 81, 0},
      {1624, 32, 0}, {1788, 12, 0}, {1824, 6, 1}, {1830, 6, 0},  {1880, 2, 0},  {1928, 8, 0},
      {1963, 11, 0}, {2076, 4, 0},  {2080, 2, 0}, {2084, 12, 0},
  };
  std::vector<std::uint8_t> record(kRecordSize, 0), frame(kFrameSize, 0xA5);
  ConvertRecord(record.data(), TestFlaps(), 0, frame.data());

  for (const Stretch& s : kStretches) {
    for (std::size_t i = s.offset; i < s.offset + s.length; ++i) {
      EXPECT_EQ(frame[i], s.byte) << "frame offset " << i;
    }
  }
  const std::string texts(reinterpret_cast<const char*>(frame.data()), 24);
  EXPECT_EQ(texts, std::string("ZELM30\0\0FSX\0\0\0\0\0WIN32\0\0\0", 24));
  EXPECT_EQ(DecodeF64(frame.data() + 40), 1013.2);
}

// Every byte outside the start-up-only fields and the reserved stretches is rewritten by each
// conversion: converting one record over two different frames gives the same bytes there, while
// the start-up-only fields and reserved bytes keep what each frame held.
TEST(FrameConversionTest, AConversionRewritesEveryFieldButTheStartUpOnes) {
  std::vector<std::uint8_t> record(kRecordSize, 0);
  for (std::size_t i = 256; i < kRecordSize; ++i) record[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::vector<std::uint8_t> first(kFrameSize, 0x5A), second(kFrameSize, 0xC3);
  ConvertRecord(record.data(), TestFlaps(), 1796868000, first.data());
  ConvertRecord(record.data(), TestFlaps(), 1796868000, second.data());

  std::vector<bool> rewritten(kFrameSize, false);
  for (const FrameField& f : kFrameFields) {
    if (f.role == FrameRole::kStartup) continue;
    for (std::size_t i = f.offset; i < f.offset + FieldBytes(f); ++i) rewritten[i] = true;
  }
  for (std::size_t i = 0; i < kFrameSize; ++i) {
    if (rewritten[i]) {
      EXPECT_EQ(first[i], second[i]) << "frame offset " << i << " depends on the earlier frame";
    } else {
      EXPECT_EQ(first[i], 0x5A) << "frame offset " << i << " was written";
      EXPECT_EQ(second[i], 0xC3) << "frame offset " << i << " was written";
    }
  }
}

TEST(FrameConversionTest, NormalisationKeepsOrdinaryAnglesAndEndsForAnyValue) {
  EXPECT_EQ(NormaliseDegrees(-0.5), 359.5);
  EXPECT_EQ(NormaliseDegrees(360.0), 0.0);
  EXPECT_EQ(NormaliseDegrees(725.25), 5.25);
  EXPECT_EQ(NormaliseDegrees(-1e-20), 0.0);  // -1e-20 + 360 rounds to 360, which wraps
  for (double huge : {1e300, -1e300, 4.0e18, -123456789.0, 1.7976931348623157e308}) {
    const double v = NormaliseDegrees(huge);
    EXPECT_TRUE(v >= 0.0 && v < 360.0) << huge << " gave " << v;
  }
  EXPECT_TRUE(std::isnan(NormaliseDegrees(kNaN)));
  EXPECT_EQ(NormaliseDegrees(-kInf), -kInf);
}

TEST(FrameConversionTest, BcdDecodingWeighsEveryNibble) {
  EXPECT_EQ(DecodeBcdFrequency(0), 0.0);
  EXPECT_EQ(DecodeBcdFrequency(0x2345), 0.2345);
  EXPECT_EQ(DecodeBcdFrequency(0x1A), 0.002);
  EXPECT_EQ(DecodeBcdFrequency(0x99999999), 9999.9999);
  EXPECT_EQ(DecodeBcdFrequency(0xFFFFFFFF), 16666.6665);  // 15 * 11111111 / 10000
}

}  // namespace
}  // namespace velkaro
