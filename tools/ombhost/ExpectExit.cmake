# Runs a command and checks its exit status and what it wrote to stderr:
#   cmake -DEXIT=<status> -DPATTERN=<regex> -DCOMMAND=<cmd;args> -P ExpectExit.cmake
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("stdout: ${out}stderr: ${err}exit status: ${status}")
if(NOT status EQUAL EXIT)
  message(FATAL_ERROR "expected exit status ${EXIT}")
endif()
if(NOT err MATCHES "${PATTERN}")
  message(FATAL_ERROR "stderr does not match ${PATTERN}")
endif()
