# Code compiled only for fuzzing (FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION: results kept from run
# to run where the shipped code computes them every time) must never reach a package. The macro is
# accepted only in a tree that builds the fuzzers, never with a release build type, and such a tree
# has no package rules (see the top CMakeLists.txt). tools/check-packages.sh checks the packaged
# programs for the marker that such code carries (secure/fuzzing_build.h) as well.

set(NEVRIK_FUZZING_MACRO FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)

string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type_upper)
get_directory_property(directory_definitions COMPILE_DEFINITIONS)
set(fuzzing_macro_found FALSE)
foreach(flags IN ITEMS "${CMAKE_CXX_FLAGS}" "${CMAKE_CXX_FLAGS_${build_type_upper}}"
                       "${CMAKE_C_FLAGS}" "${CMAKE_C_FLAGS_${build_type_upper}}"
                       "${directory_definitions}")
  string(FIND "${flags}" "${NEVRIK_FUZZING_MACRO}" position)
  if(NOT position EQUAL -1)
    set(fuzzing_macro_found TRUE)
  endif()
endforeach()

if(fuzzing_macro_found)
  if(build_type_upper MATCHES "^(RELEASE|MINSIZEREL)$")
    message(FATAL_ERROR "${NEVRIK_FUZZING_MACRO} is defined in a ${CMAKE_BUILD_TYPE} build: "
                        "code made for fuzzing only must never ship. Use the fuzz preset.")
  endif()
  if(NOT NEVRIK_BUILD_FUZZERS)
    message(FATAL_ERROR "${NEVRIK_FUZZING_MACRO} is defined in a build without "
                        "NEVRIK_BUILD_FUZZERS: code made for fuzzing only must never ship. "
                        "Use the fuzz preset.")
  endif()
endif()
