# What both MinGW-w64 toolchain files set, for the target triplet VELKARO_MINGW_TARGET
# (i686-w64-mingw32 or x86_64-w64-mingw32): the posix thread model's compilers (std::thread and
# std::mutex need it) and the target's own root for libraries and headers. Included by
# mingw-i686.cmake and mingw-x86_64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${VELKARO_MINGW_TARGET})
set(CMAKE_C_COMPILER ${VELKARO_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKARO_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKARO_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VELKARO_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
