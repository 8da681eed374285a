// Angle arithmetic for the frame conversion that gives the same bits on every system, whatever
// the simulator's process has done to the x87 unit. The C libraries' atan2 and fmod are not
// that: MinGW's run on the x87 unit (fpatan, whose result is rounded by the host's rounding
// control), and each library has its own last-bit errors. These use only double arithmetic,
// which the builds keep in SSE2 registers (or the processor's own double unit elsewhere) with
// no fused multiply-adds, so their results depend on the arguments alone.
//
// Pure functions: no state, any thread.
#pragma once

namespace velkaro {

// The angle of the point (x, y) from the positive x axis, in radians in [-pi, pi], with the
// special values of C's atan2 (signed zeros, infinities; NaN in, NaN out). Within one unit in
// the last place of the true angle for coordinates between 2^-500 and 2^500 in magnitude (and
// nearly so beyond).
double ArcTangent2(double y, double x);

// The exact remainder of `degrees` divided by 360.0, with the sign of `degrees` (C's fmod(x,
// 360.0)); NaN and infinities give NaN.
double Remainder360(double degrees);

}  // namespace velkaro
