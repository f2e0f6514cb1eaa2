# cmake --install into a fresh prefix puts the bundle in lib/lv2/ondara-receiver.lv2, and a host
# finds it there through LV2_PATH and loads it. The bundle is self-contained: nothing else of the
# prefix is needed.
foreach(var BUILD_DIR WORK_DIR HOST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "lv2_install_test.cmake needs -D${var}=...")
  endif()
endforeach()
set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
endif()
set(bundle "${prefix}/lib/lv2/ondara-receiver.lv2")
foreach(f manifest.ttl ondara-receiver.ttl ondara-receiver.so)
  if(NOT EXISTS "${bundle}/${f}")
    message(FATAL_ERROR "not installed: ${bundle}/${f}")
  endif()
endforeach()
# Segment names of this run only; the ring is missing, which the plug-in takes in its stride.
string(RANDOM LENGTH 8 tag)
set(ENV{LV2_PATH} "${prefix}/lib/lv2")
set(ENV{ONDARA_RING} "ondara-tt-install-${tag}-ring")
set(ENV{ONDARA_MIC} "ondara-tt-install-${tag}-mic")
set(ENV{ONDARA_MODE} "ondara-tt-install-${tag}-mode")
execute_process(COMMAND "${HOST}" urn:ondara:receiver-multibus --seconds 0.2 --mode 1
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE "/dev/shm/ondara-tt-install-${tag}-mic" "/dev/shm/ondara-tt-install-${tag}-mode")
if(NOT rc EQUAL 0 OR NOT out MATCHES "control ring_frames=0\n")
  message(FATAL_ERROR "the installed plug-in did not run (${rc}):\n${out}\n${err}")
endif()
message(STATUS "${out}")
