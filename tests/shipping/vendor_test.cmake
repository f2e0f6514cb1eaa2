# Builds this tree the way other projects take it, where find_package(GTest) cannot succeed
# (CMAKE_DISABLE_FIND_PACKAGE_GTest), and runs the programs they make. Prints each configure step.
#   CASE=vendor   vendor/: add_subdirectory from a C-only project, the shared library in a program and
#                 the static archive in a plug-in, which SHIPPING_TESTS then runs in a host
#   CASE=fetch    fetch/: FetchContent from a local folder, the static archive
#   CASE=static   this tree built with BUILD_SHARED_LIBS=OFF and installed, then used through
#                 find_package (tests/tools/consumer) and pkg-config
# cmake -DCASE=... -DSOURCE_DIR=... -DWORK_DIR=... -DCONSUMERS_DIR=... -DC_COMPILER=... -DCXX_COMPILER=...
#       [-DPKG_CONFIG=...] [-DJOBS=2] [-DTOOLCHAIN_FILE=... -DEMULATOR=...] [-DSHIPPING_TESTS=... -DTESTS_WORKING_DIR=...]
#       -P vendor_test.cmake
# A cross build (TOOLCHAIN_FILE) runs what it built with EMULATOR (Wine).
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../tools/pkg_config_build.cmake)
foreach(var CASE SOURCE_DIR WORK_DIR CONSUMERS_DIR C_COMPILER CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "vendor_test.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT JOBS)
  set(JOBS 2)
endif()

# Runs a command; a failure ends the test with its output. EXPECT_FAILURE inverts that.
function(step what)
  cmake_parse_arguments(PARSE_ARGV 1 arg "EXPECT_FAILURE" "" "")
  execute_process(COMMAND ${arg_UNPARSED_ARGUMENTS} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  list(JOIN arg_UNPARSED_ARGUMENTS " " shown)
  if(arg_EXPECT_FAILURE AND rc EQUAL 0)
    message(FATAL_ERROR "${what} succeeded, and should not have:\n  ${shown}\n${out}\n${err}")
  elseif(NOT arg_EXPECT_FAILURE AND NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n  ${shown}\n${out}\n${err}")
  endif()
  set(step_output "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_ok program)
  step("running ${program}" ${ARGN} "${program}")
  if(NOT step_output MATCHES "ondara consumer: ok \\(open bridge failed\\)")
    message(FATAL_ERROR "${program} printed: ${step_output}")
  endif()
  message(STATUS "${program}: ${step_output}")
endfunction()

set(compilers "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DCMAKE_BUILD_TYPE=Release)
set(exe "")
if(TOOLCHAIN_FILE)
  list(APPEND compilers "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}")
  set(exe ".exe")
endif()
set(no_gtest -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
# CMake names the variable as unused exactly when nothing called find_package(GTest).
set(gtest_unused "not used by the project:[ \n]+CMAKE_DISABLE_FIND_PACKAGE_GTest")
set(consumer_source "${SOURCE_DIR}/tests/tools/consumer/consumer.c")

file(REMOVE_RECURSE "${WORK_DIR}")
if(CASE STREQUAL "vendor" OR CASE STREQUAL "fetch")
  set(build "${WORK_DIR}/build")
  step("configuring the ${CASE} project" "${CMAKE_COMMAND}" -S "${CONSUMERS_DIR}/${CASE}" -B "${build}" ${no_gtest}
       "-DONDARA_SOURCE_DIR=${SOURCE_DIR}" "-DONDARA_CONSUMER_SOURCE=${consumer_source}"
       "-DONDARA_PLUGIN_SOURCE=${CONSUMERS_DIR}/plugin.c" ${compilers})
  message(STATUS "configure step of the ${CASE} project:\n${step_output}")
  if(NOT step_output MATCHES "${gtest_unused}")
    message(FATAL_ERROR "the ${CASE} project's configure step looked for GoogleTest")
  endif()
  if(step_output MATCHES "LV2|Python")
    message(FATAL_ERROR "the ${CASE} project's configure step looked for what only our tests and examples need")
  endif()
  step("listing the ${CASE} project's targets" "${CMAKE_COMMAND}" --build "${build}" --target help)
  foreach(target ondara_unit_tests ondara_tools_tests ondara_shipping_tests ondara-companion ondara-demo
                 ondara-example-host)
    if(step_output MATCHES "\\.\\.\\. ${target}\n")
      message(FATAL_ERROR "the ${CASE} project builds our ${target}")
    endif()
  endforeach()
  step("building the ${CASE} project" "${CMAKE_COMMAND}" --build "${build}" --parallel ${JOBS})
  if(CASE STREQUAL "vendor")
    expect_ok("${build}/ondara-vendored${exe}" ${EMULATOR})
    # The plug-in in a host of its own, which loads it from another folder; it renders, publishes
    # and requests (shipping_test.cpp).
    if(SHIPPING_TESTS)
      file(GLOB plugin "${build}/ondara-vendored-plugin.*")
      execute_process(COMMAND "${CMAKE_COMMAND}" -E env "ONDARA_SHIPPING_VENDORED_PLUGIN=${plugin}" ${EMULATOR}
                              "${SHIPPING_TESTS}" --gtest_filter=Shipping.VendoredPlugin*
                      WORKING_DIRECTORY "${TESTS_WORKING_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
      message(STATUS "the vendored plug-in in a host:\n${out}")
      if(NOT rc EQUAL 0 OR NOT out MATCHES "\\[  PASSED  \\] 1 test")
        message(FATAL_ERROR "the vendored plug-in failed in the host (${rc})")
      endif()
    endif()
  else()
    expect_ok("${build}/ondara-fetched")
  endif()
  # Nothing of ours is installed with the vendoring project.
  step("installing the ${CASE} project" "${CMAKE_COMMAND}" --install "${build}" --prefix "${WORK_DIR}/prefix")
  if(EXISTS "${WORK_DIR}/prefix")
    file(GLOB_RECURSE installed "${WORK_DIR}/prefix/*")
    message(FATAL_ERROR "the ${CASE} project installed our files: ${installed}")
  endif()
elseif(CASE STREQUAL "static")
  set(build "${WORK_DIR}/build")
  set(prefix "${WORK_DIR}/prefix")
  # Without -DONDARA_BUILD_TESTS=OFF: a static build leaves the tests out by itself.
  step("configuring the static build" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${build}" -DBUILD_SHARED_LIBS=OFF
       -DONDARA_BUILD_TOOLS=OFF ${no_gtest} ${compilers})
  message(STATUS "configure step of the static build:\n${step_output}")
  if(NOT step_output MATCHES "${gtest_unused}")
    message(FATAL_ERROR "the static build's configure step looked for GoogleTest")
  endif()
  step("building the static build" "${CMAKE_COMMAND}" --build "${build}" --parallel ${JOBS})
  step("installing the static build" "${CMAKE_COMMAND}" --install "${build}" --prefix "${prefix}")
  foreach(file include/ondara.h include/ondara_loader.h lib/libondara.a lib/pkgconfig/ondara.pc
               share/doc/ondara/LICENSE lib/cmake/ondara/ondaraConfig.cmake)
    if(NOT EXISTS "${prefix}/${file}")
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
  file(GLOB shared "${prefix}/lib/libondara.so*")
  if(shared)
    message(FATAL_ERROR "a static build installed ${shared}")
  endif()

  # find_package: a C-only project is told to enable C++, one that does links and runs.
  set(consumer "${SOURCE_DIR}/tests/tools/consumer")
  step("configuring a C-only consumer" "${CMAKE_COMMAND}" -S "${consumer}" -B "${WORK_DIR}/c-only"
       "-DCMAKE_PREFIX_PATH=${prefix}" ${compilers} EXPECT_FAILURE)
  if(NOT step_output MATCHES "static archive, which is C\\+\\+: enable C\\+\\+")
    message(FATAL_ERROR "a C-only consumer of the archive was not told why it failed:\n${step_output}")
  endif()
  step("configuring the consumer" "${CMAKE_COMMAND}" -S "${consumer}" -B "${WORK_DIR}/consumer"
       "-DCMAKE_PREFIX_PATH=${prefix}" -DONDARA_CONSUMER_CXX=ON ${compilers})
  step("building the consumer" "${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer")
  expect_ok("${WORK_DIR}/consumer/ondara-consumer")

  # pkg-config: the flags say static, and a plain C compile with them links and runs.
  if(PKG_CONFIG)
    ondara_pkg_config_build("${prefix}" "${PKG_CONFIG}" "${C_COMPILER}" "${consumer_source}" "${WORK_DIR}/pc-consumer"
                            "-DONDARA_STATIC" "-londara" "-lstdc++")
    expect_ok("${WORK_DIR}/pc-consumer")
  endif()
else()
  message(FATAL_ERROR "unknown CASE ${CASE}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
