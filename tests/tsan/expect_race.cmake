# Fails unless ThreadSanitizer, with the project's suppressions, reports the planted race.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
          "TSAN_OPTIONS=halt_on_error=0 exitcode=0 second_deadlock_stack=1 suppressions=${SUPPRESSIONS}"
          ${PROGRAM}
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  RESULT_VARIABLE rc
  TIMEOUT 120)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the planted race program failed (${rc}):\n${out}\n${err}")
endif()
string(FIND "${err}" "WARNING: ThreadSanitizer: data race" race)
string(FIND "${err}" "PlantedRaceFromWorker" worker)
string(FIND "${err}" "PlantedRaceFromSlot" slot)
if(race EQUAL -1 OR worker EQUAL -1 OR slot EQUAL -1)
  message(FATAL_ERROR "ThreadSanitizer did not report the planted race under ${SUPPRESSIONS}; "
                      "a suppression hides races between our threads:\n${err}")
endif()
message(STATUS "ThreadSanitizer reported the planted race")
