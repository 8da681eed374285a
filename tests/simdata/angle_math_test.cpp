// The conversion's own arc tangent and remainder: the special values of C's atan2 and fmod,
// angles within one unit in the last place of an extended-precision reference, and remainders
// equal to fmod's bit for bit.
#include "simdata/angle_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

namespace velkaro {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;

std::uint64_t Bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

TEST(AngleMathTest, ArcTangentSpecialValues) {
  struct Case {
    double y, x, angle;
  };
  const Case kCases[] = {
      {0.0, 1.0, 0.0},
      {-0.0, 1.0, -0.0},
      {0.0, 0.0, 0.0},
      {-0.0, 0.0, -0.0},
      {0.0, -0.0, kPi},
      {-0.0, -0.0, -kPi},
      {0.0, -1.0, kPi},
      {-0.0, -1.0, -kPi},
      {1.0, 0.0, kPi / 2},
      {1.0, -0.0, kPi / 2},
      {-1.0, 0.0, -kPi / 2},
      {-1.0, -0.0, -kPi / 2},
      {kInf, 5.0, kPi / 2},
      {-kInf, -5.0, -kPi / 2},
      {5.0, kInf, 0.0},
      {-5.0, kInf, -0.0},
      {5.0, -kInf, kPi},
      {-5.0, -kInf, -kPi},
      {kInf, kInf, kPi / 4},
      {-kInf, kInf, -kPi / 4},
      {kInf, -kInf, 3 * kPi / 4},
      {-kInf, -kInf, -3 * kPi / 4},
      {1.0, 1.0, kPi / 4},
      {-1.0, -1.0, -3 * kPi / 4},
      {1e-300, -1e300, kPi},
      {1e300, 1e-300, kPi / 2},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::Message() << "atan2(" << c.y << ", " << c.x << ")");
    EXPECT_EQ(Bits(ArcTangent2(c.y, c.x)), Bits(c.angle)) << ArcTangent2(c.y, c.x);
  }
  EXPECT_TRUE(std::isnan(ArcTangent2(kNaN, 1.0)));
  EXPECT_TRUE(std::isnan(ArcTangent2(1.0, kNaN)));
  EXPECT_TRUE(std::isnan(ArcTangent2(kNaN, kNaN)));
}

// How far `angle` lies from the true angle, in units of its last place; the reference is the
// extended-precision atan2l where long double has more bits than double.
long double UlpError(double y, double x, double angle) {
  const long double reference =
      std::atan2(static_cast<long double>(y), static_cast<long double>(x));
  const double ulp = std::nextafter(std::fabs(angle), kInf) - std::fabs(angle);
  return std::fabs(static_cast<long double>(angle) - reference) / ulp;
}

TEST(AngleMathTest, ArcTangentIsWithinOneUnitInTheLastPlace) {
  if (std::numeric_limits<long double>::digits <= std::numeric_limits<double>::digits) {
    GTEST_SKIP() << "no long double more precise than double for the reference";
  }
  std::mt19937_64 random(20260506);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-40, 40);
  long double worst = 0.0L;
  int exact = 0;
  constexpr int kSamples = 400000;
  for (int i = 0; i < kSamples; ++i) {
    // Mostly ordinary velocities; every eighth pair far apart in magnitude.
    const double y = unit(random) * (i % 8 == 0 ? std::ldexp(1.0, exponent(random)) : 300.0);
    const double x = unit(random) * 300.0;
    const double angle = ArcTangent2(y, x);
    const long double error = UlpError(y, x, angle);
    if (error > worst) worst = error;
    if (angle == std::atan2(y, x)) ++exact;
    ASSERT_LE(error, 1.0L) << "atan2(" << y << ", " << x << ") = " << angle;
  }
  // Most results are the correctly rounded ones.
  EXPECT_GT(exact, kSamples * 95 / 100) << "worst " << static_cast<double>(worst) << " ulp";
}

TEST(AngleMathTest, RemainderIsFmodBitForBit) {
  const double kValues[] = {0.0,      -0.0,
                            359.999,  360.0,
                            -360.0,   720.0,
                            -720.0,   23040.0,
                            -23040.5, 1.0e6,
                            -4.5e9,   123456789.123,
                            1e15 + 3, 9.007199254740993e15,
                            1e300,    -1.7976931348623157e308,
                            5e-324,   -1e-310};
  for (double v : kValues) {
    EXPECT_EQ(Bits(Remainder360(v)), Bits(std::fmod(v, 360.0))) << v;
  }
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(0, 1023);
  for (int i = 0; i < 20000; ++i) {
    const double v = std::ldexp(mantissa(random), exponent(random));
    ASSERT_EQ(Bits(Remainder360(v)), Bits(std::fmod(v, 360.0))) << v;
  }
  EXPECT_TRUE(std::isnan(Remainder360(kNaN)));
  EXPECT_TRUE(std::isnan(Remainder360(kInf)));
  EXPECT_TRUE(std::isnan(Remainder360(-kInf)));
}

}  // namespace
}  // namespace velkaro
