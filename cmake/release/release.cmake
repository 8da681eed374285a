# This build's part of the release a Windows user installs. Built with the preset's other
# targets, into release/ in the build folder:
#   Velkaro-<version>/<folder>/Velkaro.dll   stripped (its version resource stays: strip removes
#   Velkaro-<version>/<folder>/zelm.exe      symbols and debug sections only)
#   Velkaro-<version>/<folder>/velkaro-bridge.exe
#   Velkaro-<version>/Velkaro.ini, INSTALL.txt, LICENSE.txt, protocol.md   (Windows line ends)
# where <folder> names what the user has: "32-bit simulators (FSX)" or "64-bit simulators".
# scripts/package packs the 32-bit and the 64-bit builds' parts into one zip
# (cmake/release/pack.cmake).
if(VELKARO_WIN_ARCH STREQUAL "amd64")
  set(VELKARO_RELEASE_FOLDER "64-bit simulators")
else()
  set(VELKARO_RELEASE_FOLDER "32-bit simulators (FSX)")
endif()
set(VELKARO_RELEASE_DIR ${CMAKE_BINARY_DIR}/release/Velkaro-${PROJECT_VERSION})
set(release_arch_dir "${VELKARO_RELEASE_DIR}/${VELKARO_RELEASE_FOLDER}")

# Windows text files: CR LF line ends.
set(VELKARO_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/INSTALL.txt.in ${VELKARO_RELEASE_DIR}/INSTALL.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${CMAKE_CURRENT_LIST_DIR}/Velkaro.ini ${VELKARO_RELEASE_DIR}/Velkaro.ini @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${VELKARO_RELEASE_DIR}/LICENSE.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/docs/protocol.md ${VELKARO_RELEASE_DIR}/protocol.md @ONLY
               NEWLINE_STYLE CRLF)

add_custom_command(
  OUTPUT "${release_arch_dir}/Velkaro.dll" "${release_arch_dir}/zelm.exe"
         "${release_arch_dir}/velkaro-bridge.exe"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${release_arch_dir}"
  COMMAND ${CMAKE_STRIP} --strip-all -o "${release_arch_dir}/Velkaro.dll" $<TARGET_FILE:Velkaro>
  COMMAND ${CMAKE_STRIP} --strip-all -o "${release_arch_dir}/zelm.exe" $<TARGET_FILE:zelm>
  COMMAND ${CMAKE_STRIP} --strip-all -o "${release_arch_dir}/velkaro-bridge.exe"
          $<TARGET_FILE:velkaro-bridge>
  DEPENDS Velkaro zelm velkaro-bridge
  COMMENT "Staging the release's ${VELKARO_RELEASE_FOLDER}"
  VERBATIM)
add_custom_target(release_files ALL
                  DEPENDS "${release_arch_dir}/Velkaro.dll" "${release_arch_dir}/zelm.exe"
                          "${release_arch_dir}/velkaro-bridge.exe")
