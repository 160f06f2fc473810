# Script mode: turns a firmware pack file into a C++ source defining EmbeddedFirmwarePackData().
# Arguments: INPUT, OUTPUT, EDITS (edits separated by '|', see FirmwarePack.cmake),
# PLACEHOLDER_SHA256 (the placeholder pack's, which marks INPUT as test data).
file(READ "${INPUT}" hex HEX)
# The file as it is, before the edits: a pack derived from the placeholder is test data too.
file(SHA256 "${INPUT}" input_sha256)
if(input_sha256 STREQUAL PLACEHOLDER_SHA256)
  set(test_data true)
else()
  set(test_data false)
endif()

if(EDITS)
  string(REPLACE "|" ";" edit_list "${EDITS}")
  foreach(edit IN LISTS edit_list)
    string(REPLACE ":" ";" parts "${edit}")
    list(GET parts 0 operation)
    if(operation STREQUAL "SET")
      list(GET parts 1 offset)
      list(GET parts 2 bytes)
      string(LENGTH "${bytes}" width)
      math(EXPR start "${offset} * 2")
      math(EXPR rest "${start} + ${width}")
      string(SUBSTRING "${hex}" 0 ${start} before)
      string(SUBSTRING "${hex}" ${rest} -1 after)
      string(TOLOWER "${bytes}" bytes)
      set(hex "${before}${bytes}${after}")
    elseif(operation STREQUAL "APPEND")
      list(GET parts 1 bytes)
      string(TOLOWER "${bytes}" bytes)
      string(APPEND hex "${bytes}")
    elseif(operation STREQUAL "DROP")
      list(GET parts 1 count)
      string(LENGTH "${hex}" length)
      math(EXPR length "${length} - ${count} * 2")
      string(SUBSTRING "${hex}" 0 ${length} hex)
    else()
      message(FATAL_ERROR "Unknown firmware pack edit '${edit}'")
    endif()
  endforeach()
endif()

string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# Sixteen bytes a line keeps the generated file readable and diffable.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT} at build time; do not edit.
#include <cstdint>
#include <span>

#include \"pack/embedded_pack_data.h\"

namespace nevrik {
namespace {

constexpr std::uint8_t kPackData[${size}] = {
    ${bytes}
};

}  // namespace

std::span<const std::uint8_t> EmbeddedFirmwarePackData() { return kPackData; }

bool EmbeddedFirmwarePackIsTestData() { return ${test_data}; }

}  // namespace nevrik
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
