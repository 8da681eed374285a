# The release a Windows user installs: Velkaro-<version>-win32.zip in the build folder, holding
# one folder of that name with the stripped Velkaro.dll (its version resource stays: strip
# removes symbols and debug sections only), the stripped zelm.exe, the commented Velkaro.ini
# with every default, and INSTALL.txt. Built with the win32 preset's other targets;
# scripts/package copies it to dist/.
set(VELKARO_RELEASE_NAME Velkaro-${PROJECT_VERSION}-win32)
set(VELKARO_RELEASE_ZIP ${CMAKE_BINARY_DIR}/${VELKARO_RELEASE_NAME}.zip)
set(release_stage ${CMAKE_BINARY_DIR}/release)
set(release_dir ${release_stage}/${VELKARO_RELEASE_NAME})
set(release_texts ${CMAKE_BINARY_DIR}/release-texts)

# Windows text files: CR LF line ends.
set(VELKARO_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/INSTALL.txt.in ${release_texts}/INSTALL.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${CMAKE_CURRENT_LIST_DIR}/Velkaro.ini ${release_texts}/Velkaro.ini @ONLY
               NEWLINE_STYLE CRLF)

add_custom_command(
  OUTPUT ${VELKARO_RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${release_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${release_dir}
  COMMAND ${CMAKE_STRIP} --strip-all -o ${release_dir}/Velkaro.dll $<TARGET_FILE:Velkaro>
  COMMAND ${CMAKE_STRIP} --strip-all -o ${release_dir}/zelm.exe $<TARGET_FILE:zelm>
  COMMAND ${CMAKE_COMMAND} -E copy ${release_texts}/Velkaro.ini ${release_texts}/INSTALL.txt
          ${release_dir}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${VELKARO_RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${release_stage} ${CMAKE_COMMAND} -E tar cf
          ${VELKARO_RELEASE_ZIP} --format=zip ${VELKARO_RELEASE_NAME}
  DEPENDS Velkaro zelm ${release_texts}/INSTALL.txt ${release_texts}/Velkaro.ini
  COMMENT "Packing ${VELKARO_RELEASE_NAME}.zip"
  VERBATIM)
add_custom_target(release_zip ALL DEPENDS ${VELKARO_RELEASE_ZIP})
