# Lists the dynamic symbols libTonegate.so defines and fails unless they are
# exactly the ten exports.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected ASIOCloseDriver ASIOEnableWav ASIOGenerateSineWavA ASIOGenerateSineWavB
    ASIOGenerateSweepWavA ASIOGenerateSweepWavB ASIOGetSampleRate ASIOOpenDriver
    ASIOSetSampleRate ASIOSystemInit)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ:\n  found:    ${found}\n  expected: ${expected}")
endif()
message(STATUS "exactly the ten exports: ${found}")
