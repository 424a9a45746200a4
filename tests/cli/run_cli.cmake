# Runs vellumix-cli once and checks its exit status and stdout.
#   CLI            the program
#   ARGS           its arguments, separated by "|"
#   EXPECT_RC      the exit status
#   STDOUT_REGEX   optional: stdout must match
#   STDOUT_FILE    optional: stdout must equal this file byte for byte
#   STDERR_REGEX   optional: stderr must match
#   WORK_DIR       a scratch folder
string(REPLACE "|" ";" args "${ARGS}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(out "${WORK_DIR}/stdout.bin")
execute_process(COMMAND "${CLI}" ${args} OUTPUT_FILE "${out}" ERROR_VARIABLE err RESULT_VARIABLE rc
                WORKING_DIRECTORY "${WORK_DIR}")
if(NOT rc STREQUAL EXPECT_RC)
  message(FATAL_ERROR "exit status ${rc}, expected ${EXPECT_RC}; stderr:\n${err}")
endif()
if(DEFINED STDOUT_REGEX)
  file(READ "${out}" text)
  if(NOT text MATCHES "${STDOUT_REGEX}")
    message(FATAL_ERROR "stdout does not match ${STDOUT_REGEX}:\n${text}")
  endif()
endif()
if(DEFINED STDERR_REGEX AND NOT err MATCHES "${STDERR_REGEX}")
  message(FATAL_ERROR "stderr does not match ${STDERR_REGEX}:\n${err}")
endif()
if(DEFINED STDOUT_FILE)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${out}" "${STDOUT_FILE}" RESULT_VARIABLE diff)
  if(NOT diff EQUAL 0)
    message(FATAL_ERROR "stdout differs from ${STDOUT_FILE}")
  endif()
endif()
