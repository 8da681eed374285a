// The floating-point environment the engine computes in, whatever the host process left on its
// thread. The simulator's process changes the controls of the thread it calls the add-on on
// (Direct3D, other add-ons, the simulator's own code): SSE rounding toward zero or flush-to-zero
// would change the last bits of a converted frame, and the 32-bit x87 unit's precision and
// rounding change what the C library computes there. The frame is the same bytes on every
// system only when it is computed in IEEE's defaults: round to nearest, denormals kept.
//
// A scope object: it puts the defaults in place on the calling thread and gives the thread its
// own controls back (with their exception flags) when it ends. A few instructions each way, no
// allocation: fit for the per-frame path. Processors without these units keep their controls.
#pragma once

#include <cstdint>

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#include <xmmintrin.h>
#define VELKARO_HAVE_SSE_CONTROL 1
#endif

namespace velkaro::platform {

class DefaultFloatEnvironment {
 public:
  DefaultFloatEnvironment() {
#if defined(VELKARO_HAVE_SSE_CONTROL)
    saved_mxcsr_ = _mm_getcsr();
    _mm_setcsr(kDefaultMxcsr);
#endif
#if defined(__i386__)
    __asm__ __volatile__("fnstcw %0" : "=m"(saved_x87_));
    const std::uint16_t control = kDefaultX87Control;
    __asm__ __volatile__("fldcw %0" : : "m"(control));
#endif
  }

  ~DefaultFloatEnvironment() {
#if defined(__i386__)
    __asm__ __volatile__("fldcw %0" : : "m"(saved_x87_));
#endif
#if defined(VELKARO_HAVE_SSE_CONTROL)
    _mm_setcsr(saved_mxcsr_);
#endif
  }

  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  // Every exception masked, round to nearest, no flush-to-zero, no denormals-are-zero.
  static constexpr std::uint32_t kDefaultMxcsr = 0x1F80;
  // Every exception masked, round to nearest, 53-bit precision (a double's).
  static constexpr std::uint16_t kDefaultX87Control = 0x027F;

  [[maybe_unused]] std::uint32_t saved_mxcsr_ = 0;
  [[maybe_unused]] std::uint16_t saved_x87_ = 0;
};

}  // namespace velkaro::platform
