# Script mode: makes a text file for a package. Arguments: INPUT, OUTPUT, MODE.
#   GZIP  compressed with gzip -9n, as Debian wants man pages and documents (no name or time
#         stamp in the header, so the same input always gives the same bytes)
#   CRLF  with Windows line ends, for the Windows zip
if(MODE STREQUAL "GZIP")
  find_program(GZIP_EXECUTABLE gzip REQUIRED)
  execute_process(COMMAND "${GZIP_EXECUTABLE}" -9 -n -c "${INPUT}" OUTPUT_FILE "${OUTPUT}.tmp"
                  COMMAND_ERROR_IS_FATAL ANY)
elseif(MODE STREQUAL "CRLF")
  file(READ "${INPUT}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${OUTPUT}.tmp" "${text}")
else()
  message(FATAL_ERROR "Unknown MODE '${MODE}'")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
