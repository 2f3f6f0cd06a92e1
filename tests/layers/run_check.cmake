# Runs the layering check on a fixture tree and compares its verdict.
#   cmake -DCHECK=<check_layers.cmake> -DROOT=<fixture> -DFOLDER=<folder>
#         -DSTAMP=<file> [-DEXPECTED=<file with the expected report>] -P run_check.cmake
# Without EXPECTED the folder must pass and the stamp must be written.
file(REMOVE ${STAMP})
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${ROOT} -DFOLDER=${FOLDER} -DSTAMP=${STAMP} -P ${CHECK}
  RESULT_VARIABLE result ERROR_VARIABLE errors OUTPUT_QUIET)
if(NOT DEFINED EXPECTED)
  if(NOT result EQUAL 0 OR NOT EXISTS ${STAMP})
    message(FATAL_ERROR "${FOLDER}/ of ${ROOT} was refused (${result}):\n${errors}")
  endif()
  return()
endif()
file(READ ${EXPECTED} expected)
if(result EQUAL 0)
  message(FATAL_ERROR "${FOLDER}/ of ${ROOT} passed; expected:\n${expected}")
endif()
if(EXISTS ${STAMP})
  message(FATAL_ERROR "a refused check wrote its stamp")
endif()
string(FIND "${errors}" "${expected}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "expected\n${expected}\nin\n${errors}")
endif()
