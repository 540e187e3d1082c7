# Writes OUTPUT, the manual page INPUT with the placeholder @CATRACA_VERSION@ replaced by
# VERSION, and OUTPUT.gz as Debian installs it (gzip -9n: no name, no time stamp).
# Run as: cmake -DINPUT=... -DOUTPUT=... -DVERSION=... -P put_version.cmake
file(READ "${INPUT}" text)
string(REPLACE "@CATRACA_VERSION@" "${VERSION}" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
execute_process(COMMAND gzip -9n -c "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip of ${OUTPUT} failed")
endif()
