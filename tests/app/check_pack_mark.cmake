# Script mode: embeds the placeholder pack (edited, as the damaged-pack tests do) and another file,
# and checks that only the first is marked as test data.
# Arguments: EMBED_SCRIPT, PLACEHOLDER, OTHER, PLACEHOLDER_SHA256, WORK.
foreach(case "placeholder|${PLACEHOLDER}|true" "other|${OTHER}|false")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 input)
  list(GET case 2 expected)
  set(output "${WORK}/pack_mark_${name}.cpp")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DINPUT=${input}" "-DOUTPUT=${output}" "-DEDITS=SET:7:4E"
            "-DPLACEHOLDER_SHA256=${PLACEHOLDER_SHA256}" -P "${EMBED_SCRIPT}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "embedding ${input} failed: ${result}")
  endif()
  file(READ "${output}" generated)
  string(FIND "${generated}" "bool EmbeddedFirmwarePackIsTestData() { return ${expected}; }" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${name}: the generated source does not say ${expected}")
  endif()
endforeach()
