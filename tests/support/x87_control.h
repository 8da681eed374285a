// Test support: the x87 unit's control word of the calling thread, which the simulator's process
// may change under the add-on (Direct3D sets 24-bit precision; other code changes the rounding).
// Only x86 processors have the unit; elsewhere kHasX87 is false and the functions do nothing.
#pragma once

#include <cstdint>

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

#if defined(__i386__) || defined(__x86_64__)
inline constexpr bool kHasX87 = true;

inline std::uint16_t X87ControlWord() {
  std::uint16_t word = 0;
  __asm__ __volatile__("fnstcw %0" : "=m"(word));
  return word;
}

inline void SetX87ControlWord(std::uint16_t word) {
  __asm__ __volatile__("fldcw %0" : : "m"(word));
}
#else
inline constexpr bool kHasX87 = false;
inline std::uint16_t X87ControlWord() {
  return 0;
}
inline void SetX87ControlWord(std::uint16_t) {}
#endif

}  // namespace velkaro::testing
