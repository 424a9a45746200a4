# Runs vellumix-cli once and checks its exit status and stdout.
#   CLI            the program
#   ARGS           its arguments, separated by "|"
#   EXPECT_RC      the exit status
#   STDOUT_REGEX   optional: stdout must match
#   STDOUT_FILE    optional: stdout must equal this file byte for byte
#   STDERR_REGEX   optional: stderr must match
#   WORK_DIR       a scratch folder, emptied first
#   EMULATOR       optional: what runs the program (wine64 for a Windows build)
#   BESIDE         optional: files ("|"-separated) put beside a copy of the program, which runs instead
#   REFERENCE_CLI  optional: another build of the program (the Linux one), run with the same
#                  arguments; stdout and OUTPUT_FILE must be the same bytes
#   OUTPUT_FILE    optional: a file the run writes in WORK_DIR, compared with the reference's
string(REPLACE "|" ";" args "${ARGS}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(program "${CLI}")
if(DEFINED BESIDE)
  string(REPLACE "|" ";" beside "${BESIDE}")
  file(COPY "${CLI}" ${beside} DESTINATION "${WORK_DIR}/bin")
  get_filename_component(name "${CLI}" NAME)
  set(program "${WORK_DIR}/bin/${name}")
endif()
set(out "${WORK_DIR}/stdout.bin")
execute_process(COMMAND ${EMULATOR} "${program}" ${args} OUTPUT_FILE "${out}" ERROR_VARIABLE err RESULT_VARIABLE rc
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
if(DEFINED REFERENCE_CLI)
  set(ref "${WORK_DIR}/reference")
  file(MAKE_DIRECTORY "${ref}")
  execute_process(COMMAND "${REFERENCE_CLI}" ${args} OUTPUT_FILE "${ref}/stdout.bin" RESULT_VARIABLE refrc
                  WORKING_DIRECTORY "${ref}")
  if(NOT refrc STREQUAL rc)
    message(FATAL_ERROR "the reference program ended with ${refrc}, this one with ${rc}")
  endif()
  set(pairs "${out}|${ref}/stdout.bin")
  if(DEFINED OUTPUT_FILE)
    list(APPEND pairs "${WORK_DIR}/${OUTPUT_FILE}|${ref}/${OUTPUT_FILE}")
  endif()
  foreach(pair ${pairs})
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 mine)
    list(GET pair 1 theirs)
    if(NOT EXISTS "${mine}" OR NOT EXISTS "${theirs}")
      message(FATAL_ERROR "missing: ${mine} or ${theirs}")
    endif()
    execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${mine}" "${theirs}" RESULT_VARIABLE diff)
    if(NOT diff EQUAL 0)
      message(FATAL_ERROR "${mine} differs from the reference program's ${theirs}")
    endif()
  endforeach()
endif()
