#include "simdata/angle_math.h"

#include <cmath>

namespace velkaro {

namespace {

// An angle too precise for one double: hi, the nearest double, and lo, what remains.
struct SplitAngle {
  double hi;
  double lo;
};

constexpr SplitAngle kPi = {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53};

// Below this ratio the arc tangent is summed as a series directly; above it the ratio is first
// moved next to the nearest multiple of 1/16, whose arc tangent is in the tables.
constexpr double kDirectSeriesLimit = 0.1875;

// atan(k / 16) for k = 0..16 (entries 1 and 2 are never used: ratios below 3/16 take the series
// alone).
constexpr SplitAngle kAtanOfSixteenths[17] = {
    {0.0, 0.0},
    {0x1.ff55bb72cfdeap-5, -0x1.c934d86d23f1dp-60},
    {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59},
    {0x1.7b97b4bce5b02p-3, 0x1.347b0b4f881cap-58},
    {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57},
    {0x1.362773707ebccp-2, -0x1.963a544b672d8p-57},
    {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56},
    {0x1.a64eec3cc23fdp-2, -0x1.24dec1b50b7ffp-56},
    {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56},
    {0x1.0657e94db30d0p-1, -0x1.d5b495f6349e6p-56},
    {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58},
    {0x1.345f01cce37bbp-1, 0x1.1021137c71102p-55},
    {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56},
    {0x1.5d58987169b18p-1, 0x1.0028e4bc5e7cap-57},
    {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56},
    {0x1.819d0b7158a4dp-1, -0x1.bf76229d3b917p-56},
    {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55},
};

// pi/2 - atan(k / 16), the angle on the steep side, for k = 0..16.
constexpr SplitAngle kComplementOfSixteenths[17] = {
    {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54},  {0x1.82250768ac529p+0, -0x1.e78c96d05afcbp-58},
    {0x1.7249faa996a21p+0, 0x1.a8cc1e7480c68p-54},  {0x1.62acbeaca61b8p+0, 0x1.c6ac9f134fa91p-60},
    {0x1.5368c951e9cfdp+0, -0x1.96f47948a99f1p-54}, {0x1.4495d86823225p+0, 0x1.4d29adbab2a62p-54},
    {0x1.3647503caf55cp+0, 0x1.17e21d9a42c9ap-55},  {0x1.288bfa3512419p+0, 0x1.8e684e7a2281bp-56},
    {0x1.1b6e192ebbe44p+0, 0x1.b1b466a88828ep-54},  {0x1.0ef3c09d694b0p+0, 0x1.8fcf88aed2e80p-54},
    {0x1.031f57e54adbep+0, 0x1.338b4259c0270p-54},  {0x1.efe068bba2275p-1, 0x1.24a3b2e61a70bp-55},
    {0x1.dac670561bb4fp-1, 0x1.a2b7f222f65e2p-55},  {0x1.c6e6d2171bf18p-1, 0x1.f4ba8d3373e1bp-55},
    {0x1.b434ee31013fdp-1, -0x1.0520d0701d877p-55}, {0x1.a2a25f172cfe4p-1, -0x1.d700509dad6cep-56},
    {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55},
};

// Coordinates within [2^-500, 2^500] have the rounding error of their ratio recovered (the
// exact product below neither overflows nor underflows there); outside, the ratio is taken as
// rounded, which costs a fraction of a unit in the last place.
constexpr double kExactRatioLimit = 0x1p500;

// atan(u) - u for |u| < 3/16, by the series -u^3/3 + u^5/5 - ... to the u^25 term: the first
// term left out is below 2^-60 of atan(u). The caller adds u last, so that the sum rounds once.
double AtanSeriesTail(double u) {
  const double s = u * u;
  double p = 1.0 / 25.0;
  p = -1.0 / 23.0 + s * p;
  p = 1.0 / 21.0 + s * p;
  p = -1.0 / 19.0 + s * p;
  p = 1.0 / 17.0 + s * p;
  p = -1.0 / 15.0 + s * p;
  p = 1.0 / 13.0 + s * p;
  p = -1.0 / 11.0 + s * p;
  p = 1.0 / 9.0 + s * p;
  p = -1.0 / 7.0 + s * p;
  p = 1.0 / 5.0 + s * p;
  p = -1.0 / 3.0 + s * p;
  return u * (s * p);
}

// The rounding error of `product` = a * b, exactly, by splitting each factor into two halves of
// 26 bits whose products are exact (Dekker).
double ProductError(double a, double b, double product) {
  constexpr double kSplitter = 0x1p27 + 1.0;
  const double a_scaled = kSplitter * a;
  const double a_high = a_scaled - (a_scaled - a);
  const double a_low = a - a_high;
  const double b_scaled = kSplitter * b;
  const double b_high = b_scaled - (b_scaled - b);
  const double b_low = b - b_high;
  return ((a_high * b_high - product) + a_high * b_low + a_low * b_high) + a_low * b_low;
}

// The angle of the point (across, up) with both coordinates 0 or more and not both 0, in
// [0, pi/2]. The smaller coordinate over the larger gives a ratio t in [0, 1]; the angle is
// atan(t), or pi/2 - atan(t) on the steep side.
SplitAngle FirstQuadrantAngle(double up, double across) {
  const bool steep = up > across;
  const double smaller = steep ? across : up;
  const double larger = steep ? up : across;
  double t = 1.0;  // both infinite: the diagonal
  double t_error = 0.0;
  if (!std::isinf(smaller)) {
    t = smaller / larger;
    if (larger <= kExactRatioLimit && smaller >= 1.0 / kExactRatioLimit) {
      // smaller - t * larger, exactly: the product lies within a rounding of `smaller`, so
      // their difference is exact, and so is the product's own error.
      const double product = t * larger;
      t_error = ((smaller - product) - ProductError(t, larger, product)) / larger;
    }
  }
  int k = 0;
  double u = t;
  if (t >= kDirectSeriesLimit) {
    // atan(t) = atan(c) + atan((t - c) / (1 + t c)) with c = k/16 the nearest sixteenth: t - c
    // is exact (t lies within a factor of two of c) and |u| stays below 1/32.
    k = static_cast<int>(t * 16.0 + 0.5);
    const double c = k * 0.0625;
    u = (t - c) / (1.0 + t * c);
  }
  // The ratio's rounding error moves the angle by its derivative, 1 / (1 + t^2).
  const double rest = u + (AtanSeriesTail(u) + t_error / (1.0 + t * t));
  if (steep) return {kComplementOfSixteenths[k].hi, kComplementOfSixteenths[k].lo - rest};
  return {kAtanOfSixteenths[k].hi, kAtanOfSixteenths[k].lo + rest};
}

}  // namespace

double ArcTangent2(double y, double x) {
  if (std::isnan(x) || std::isnan(y)) return x + y;
  const double up = std::fabs(y);
  const double across = std::fabs(x);
  // On the x axis (y = 0): 0 on the positive side, pi on the negative side, by the sign of x.
  const SplitAngle theta = up == 0.0 ? SplitAngle{0.0, 0.0} : FirstQuadrantAngle(up, across);
  double angle;
  if (!std::signbit(x)) {
    angle = theta.hi + theta.lo;
  } else {
    // pi - theta: the rounding error of the first difference is recovered exactly (pi's high
    // part is the larger), so only the final sum rounds.
    const double high = kPi.hi - theta.hi;
    const double error = (kPi.hi - high) - theta.hi;
    angle = high + (error + (kPi.lo - theta.lo));
  }
  return std::signbit(y) ? -angle : angle;
}

double Remainder360(double degrees) {
  if (!std::isfinite(degrees)) return degrees - degrees;  // NaN, as fmod gives
  double rest = std::fabs(degrees);
  if (rest >= 360.0) {
    // Subtract 360 * 2^e for e from the largest that fits down to 0. Each subtraction takes a
    // step between rest / 2 and rest, so it is exact, and the remainder is exact too.
    double step = 360.0;
    while (step <= rest * 0.5) step *= 2.0;
    for (; step >= 360.0; step *= 0.5) {
      if (rest >= step) rest -= step;
    }
  }
  return std::signbit(degrees) ? -rest : rest;
}

}  // namespace velkaro
