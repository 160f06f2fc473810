# Builds firmware packs into the program as constant data.
#
# nevrik_firmware_pack_library(<target> PACK <file> [EDITS <edit>...])
#   A static library that defines EmbeddedFirmwarePackData() over the bytes of <file>, turned
#   into a generated source at build time (nothing is read from disk at run time). EDITS alter
#   the bytes on the way, which is how tests build deliberately damaged updaters:
#     SET:<offset>:<hex bytes>   overwrite bytes at <offset>
#     APPEND:<hex bytes>         add bytes at the end
#     DROP:<count>               remove bytes from the end
#
#   The library also defines EmbeddedFirmwarePackIsTestData(): true when <file> is the
#   repository's placeholder pack (app/firmware_pack.bin, made by tools/make_placeholder_pack.py),
#   told by its SHA-256 before any edit, so packs derived from it carry the mark too. A program
#   carrying test data updates only simulated keys.
#
# The updater's target version is read from the header of NEVRIK_FIRMWARE_PACK when CMake
# configures (bytes 10 and 11), so the version and the data always come from the same file.

set(NEVRIK_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/EmbedFirmwarePack.cmake")
# The SHA-256 of the whole placeholder pack file; it changes only with the placeholder itself.
set(NEVRIK_PLACEHOLDER_PACK_SHA256
    "30c95c23fe7a89021d2c615860601dbbff9262155897ebc76e55580e32e73a99")

function(nevrik_firmware_pack_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PACK" "EDITS")
  set(generated "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp")
  string(REPLACE ";" "|" edits "${arg_EDITS}")
  add_custom_command(
    OUTPUT "${generated}"
    COMMAND "${CMAKE_COMMAND}" "-DINPUT=${arg_PACK}" "-DOUTPUT=${generated}" "-DEDITS=${edits}"
            "-DPLACEHOLDER_SHA256=${NEVRIK_PLACEHOLDER_PACK_SHA256}" -P "${NEVRIK_EMBED_SCRIPT}"
    DEPENDS "${arg_PACK}" "${NEVRIK_EMBED_SCRIPT}"
    COMMENT "Embedding firmware pack ${arg_PACK} into ${target}"
    VERBATIM)
  add_library(${target} STATIC "${generated}")
  target_link_libraries(${target} PRIVATE nevrik_defaults)
endfunction()

# Whether a pack file is the placeholder, for configure-time decisions such as the package text.
function(nevrik_pack_is_placeholder pack out_result)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pack}")
  file(SHA256 "${pack}" digest)
  if(digest STREQUAL NEVRIK_PLACEHOLDER_PACK_SHA256)
    set(${out_result} TRUE PARENT_SCOPE)
  else()
    set(${out_result} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(nevrik_read_target_version pack out_major out_minor)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pack}")
  file(READ "${pack}" header LIMIT 12 HEX)
  string(LENGTH "${header}" header_length)
  if(header_length LESS 24)
    message(FATAL_ERROR "Firmware pack ${pack} is too short to hold a header")
  endif()
  string(SUBSTRING "${header}" 20 2 major)
  string(SUBSTRING "${header}" 22 2 minor)
  math(EXPR major "0x${major}")
  math(EXPR minor "0x${minor}")
  set(${out_major} ${major} PARENT_SCOPE)
  set(${out_minor} ${minor} PARENT_SCOPE)
endfunction()
