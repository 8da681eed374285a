# Cross build for 64-bit Windows with MinGW-w64. Tests run under 64-bit Wine through the
# cross-compiling emulator.
set(VELKARO_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Debian's wine64 keeps its loader out of the program search path; the wine wrapper would pick
# the 32-bit loader where both are installed.
find_program(VELKARO_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
find_program(VELKARO_WINE64 NAMES wine64 wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKARO_WINE64})
# x86-64 does its double arithmetic in SSE2 registers already.
