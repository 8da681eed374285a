# Packs the release: the parts that the win32 and the win64 builds staged (release.cmake) into
# one zip, OUTPUT_DIR/Velkaro-<version>-windows.zip, holding the folder Velkaro-<version> with
# both architectures' folders and the texts, and (given PYTHON_WHEEL) the Python client's wheel in
# its folder Python. Run by scripts/package:
#   cmake -DVERSION=1.1.0 -DBUILDS="build/win32;build/win64" -DOUTPUT_DIR=dist \
#         [-DPYTHON_WHEEL=zelm-1.1.0-py3-none-any.whl] -P pack.cmake
# Prints the zip's path as its last line.
if(NOT VERSION OR NOT BUILDS OR NOT OUTPUT_DIR)
  message(FATAL_ERROR
          "usage: cmake -DVERSION=<x.y.z> -DBUILDS=<build;build> -DOUTPUT_DIR=<folder> -P pack.cmake")
endif()

get_filename_component(OUTPUT_DIR "${OUTPUT_DIR}" ABSOLUTE)
set(release_name Velkaro-${VERSION})
foreach(build IN LISTS BUILDS)
  set(staged "${build}/release/${release_name}")
  if(NOT EXISTS "${staged}/Velkaro.ini")
    message(FATAL_ERROR "${build} holds no staged ${release_name} (build it first)")
  endif()
  list(APPEND staged_dirs "${staged}")
endforeach()

set(stage "${OUTPUT_DIR}/.stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/${release_name}")
foreach(staged IN LISTS staged_dirs)
  # Each build's architecture folder and the texts, which every build stages alike.
  file(COPY "${staged}/" DESTINATION "${stage}/${release_name}")
endforeach()

if(PYTHON_WHEEL)
  if(NOT EXISTS "${PYTHON_WHEEL}")
    message(FATAL_ERROR "no Python wheel at ${PYTHON_WHEEL}")
  endif()
  file(COPY "${PYTHON_WHEEL}" DESTINATION "${stage}/${release_name}/Python")
endif()

set(zip "${OUTPUT_DIR}/${release_name}-windows.zip")
file(REMOVE "${zip}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${zip}" --format=zip "${release_name}"
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE failed)
file(REMOVE_RECURSE "${stage}")
if(failed)
  message(FATAL_ERROR "could not write ${zip}")
endif()
message("${zip}")
