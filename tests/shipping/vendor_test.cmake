# Builds the two projects that vendor this tree (vendor/: add_subdirectory, fetch/: FetchContent)
# where find_package(GTest) cannot succeed, checks that none of our tests, tools or examples came
# along, and runs their programs. Prints each configure step's output.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DCONSUMERS_DIR=... -DC_COMPILER=... -DCXX_COMPILER=...
#         [-DJOBS=2] -P vendor_test.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var SOURCE_DIR WORK_DIR CONSUMERS_DIR C_COMPILER CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "vendor_test.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT JOBS)
  set(JOBS 2)
endif()

function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " shown)
    message(FATAL_ERROR "${what} failed (${rc}):\n  ${shown}\n${out}\n${err}")
  endif()
  set(step_output "${out}${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
foreach(kind vendor fetch)
  set(build "${WORK_DIR}/${kind}")
  # With CMAKE_DISABLE_FIND_PACKAGE_GTest a find_package(GTest) finds nothing, and a REQUIRED one
  # stops the configure step.
  step("configuring the ${kind} project" "${CMAKE_COMMAND}" -S "${CONSUMERS_DIR}/${kind}" -B "${build}"
       -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON "-DONDARA_SOURCE_DIR=${SOURCE_DIR}"
       "-DONDARA_CONSUMER_SOURCE=${SOURCE_DIR}/tests/tools/consumer/consumer.c"
       "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DCMAKE_BUILD_TYPE=Release)
  message(STATUS "configure step of the ${kind} project:\n${step_output}")
  # CMake names the variable as unused exactly when nothing called find_package(GTest).
  if(NOT step_output MATCHES "not used by the project:[ \n]+CMAKE_DISABLE_FIND_PACKAGE_GTest")
    message(FATAL_ERROR "the ${kind} project's configure step looked for GoogleTest")
  endif()
  if(step_output MATCHES "LV2|GTest_DIR|Python")
    message(FATAL_ERROR "the ${kind} project's configure step looked for what only our tests and examples need")
  endif()
  step("listing the ${kind} project's targets" "${CMAKE_COMMAND}" --build "${build}" --target help)
  foreach(target ondara_unit_tests ondara_tools_tests ondara-companion ondara-demo ondara-example-host)
    if(step_output MATCHES "\\.\\.\\. ${target}\n")
      message(FATAL_ERROR "the ${kind} project builds our ${target}")
    endif()
  endforeach()
  step("building the ${kind} project" "${CMAKE_COMMAND}" --build "${build}" --parallel ${JOBS})
  if(kind STREQUAL "vendor")
    set(program "${build}/ondara-vendored")
  else()
    set(program "${build}/ondara-fetched")
  endif()
  step("running ${program}" "${program}")
  if(NOT step_output MATCHES "ondara consumer: ok \\(open bridge failed\\)")
    message(FATAL_ERROR "${program} printed: ${step_output}")
  endif()
  message(STATUS "${kind}: ${step_output}")
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
