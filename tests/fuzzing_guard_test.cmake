# cmake -DSOURCE_DIR=<project> -DWORK_DIR=<folder> -DPRESETS=<preset;...> -P fuzzing_guard_test.cmake
#
# Configures each preset with the fuzzing macro added, in a folder of its own under WORK_DIR, and
# fails unless every configure stops with the guard's message: a release or package build can
# never carry code made for fuzzing only.
foreach(preset IN LISTS PRESETS)
  set(binary_dir "${WORK_DIR}/${preset}")
  file(REMOVE_RECURSE "${binary_dir}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" --preset "${preset}" -B "${binary_dir}"
            "-DCMAKE_CXX_FLAGS=-DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION"
    WORKING_DIRECTORY "${SOURCE_DIR}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
  file(REMOVE_RECURSE "${binary_dir}")
  string(REGEX REPLACE "[ \n]+" " " errors "${errors}")
  if(result EQUAL 0)
    message(FATAL_ERROR "preset ${preset} configured with the fuzzing macro:\n${output}")
  endif()
  if(NOT errors MATCHES "FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION is defined in a .* code made for fuzzing only must never ship")
    message(FATAL_ERROR "preset ${preset} failed to configure, but not for the fuzzing macro:\n"
                        "${errors}")
  endif()
  message(STATUS "preset ${preset}: refused with the fuzzing macro")
endforeach()
