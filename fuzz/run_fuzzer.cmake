# Runs one fuzzer as a test: cmake -DFUZZER=... -DCORPUS=... -DWORK_DIR=... -DRUNS=... -P this
# New inputs go to a fresh directory under WORK_DIR, never into the committed corpus; an input
# that crashes, leaks or runs longer than 10 s is saved there and named in the output.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/new")
execute_process(
  COMMAND "${FUZZER}" -runs=${RUNS} -max_len=4096 -timeout=10 "-artifact_prefix=${WORK_DIR}/"
          "${WORK_DIR}/new" "${CORPUS}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is saved in ${WORK_DIR}")
endif()
