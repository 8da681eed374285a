// Test support: the floating-point controls of the calling thread that the simulator's process
// may change under the add-on. The x87 unit's control word (Direct3D sets 24-bit precision;
// other code changes the rounding) matters to 32-bit x86 code; the SSE unit's MXCSR (rounding,
// flush-to-zero, denormals-are-zero) to every x86 build, whose doubles live in SSE registers.
// Elsewhere kHasX87 and kHasMxcsr are false and the functions do nothing.
#pragma once

#include <cstdint>

#if defined(__i386__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace velkaro::testing {

// Precision control, bits 8 and 9.
inline constexpr std::uint16_t kX87Precision24 = 0x0000;
inline constexpr std::uint16_t kX87Precision53 = 0x0200;
inline constexpr std::uint16_t kX87Precision64 = 0x0300;
// Rounding control, bits 10 and 11.
inline constexpr std::uint16_t kX87RoundNearest = 0x0000;
inline constexpr std::uint16_t kX87RoundDown = 0x0400;
inline constexpr std::uint16_t kX87RoundUp = 0x0800;
inline constexpr std::uint16_t kX87RoundTowardZero = 0x0C00;
// Every exception masked, as hosts leave them.
inline constexpr std::uint16_t kX87AllExceptionsMasked = 0x003F;

// MXCSR: every exception masked (bits 7 to 12), rounding control (bits 13 and 14),
// flush-to-zero (bit 15) and denormals-are-zero (bit 6).
inline constexpr std::uint32_t kMxcsrAllExceptionsMasked = 0x1F80;
inline constexpr std::uint32_t kMxcsrRoundNearest = 0x0000;
inline constexpr std::uint32_t kMxcsrRoundDown = 0x2000;
inline constexpr std::uint32_t kMxcsrRoundUp = 0x4000;
inline constexpr std::uint32_t kMxcsrRoundTowardZero = 0x6000;
inline constexpr std::uint32_t kMxcsrFlushToZero = 0x8000;
inline constexpr std::uint32_t kMxcsrDenormalsAreZero = 0x0040;

#if defined(__i386__) || defined(__x86_64__)
inline constexpr bool kHasX87 = true;
inline constexpr bool kHasMxcsr = true;

inline std::uint16_t X87ControlWord() {
  std::uint16_t word = 0;
  __asm__ __volatile__("fnstcw %0" : "=m"(word));
  return word;
}

inline void SetX87ControlWord(std::uint16_t word) {
  __asm__ __volatile__("fldcw %0" : : "m"(word));
}

inline std::uint32_t Mxcsr() {
  return _mm_getcsr();
}

inline void SetMxcsr(std::uint32_t word) {
  _mm_setcsr(word);
}
#else
inline constexpr bool kHasX87 = false;
inline constexpr bool kHasMxcsr = false;
inline std::uint16_t X87ControlWord() {
  return 0;
}
inline void SetX87ControlWord(std::uint16_t) {}
inline std::uint32_t Mxcsr() {
  return 0;
}
inline void SetMxcsr(std::uint32_t) {}
#endif

// Doubles are computed by the x87 unit only in 32-bit x86 code built without SSE2 arithmetic, and
// the C library's x87 routines (MinGW's atan2 and fmod) are called from 32-bit code; in 64-bit
// code the x87 control word has no bearing on a frame.
#if defined(__i386__)
inline constexpr bool kX87Matters = true;
#else
inline constexpr bool kX87Matters = false;
#endif

}  // namespace velkaro::testing
