# Cross build for 32-bit Windows with MinGW-w64. Tests run under Wine through the
# cross-compiling emulator.
set(VELKARO_MINGW_TARGET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Doubles in SSE2 registers: IEEE double results whatever precision the host process leaves the
# x87 unit in (the clients see exact values such as 270.0000000000059). MinGW's atan2 and fmod
# run on the x87 unit, so the conversion has its own (simdata/angle_math.h).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
