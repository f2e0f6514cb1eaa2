# Installs the build into a fresh prefix and uses it from outside, the three ways the README shows:
#   - find_package(ondara CONFIG REQUIRED) in a separate project (consumer/), built and run;
#   - on Linux, the flags `pkg-config --cflags --libs ondara` gives, compiling and running the same
#     program with nothing else;
#   - on Windows, the plain import library: the compiler given ondara.lib directly.
# Windows programs run under EMULATOR (Wine); the consumer project is configured with the same
# toolchain file as the build.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DC_COMPILER=... -DVERSION=...
#       [-DTOOLCHAIN_FILE=... -DEMULATOR=...] [-DPKG_CONFIG=...] -P install_test.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/pkg_config_build.cmake)

foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR C_COMPILER VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "install_test.cmake needs -D${var}=...")
  endif()
endforeach()

# Runs a command; any failure ends the test with the command's output.
function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " shown)
    message(FATAL_ERROR "${what} failed (${rc}):\n  ${shown}\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_file path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

step("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
expect_file("${prefix}/include/ondara.h")
expect_file("${prefix}/include/ondara_loader.h")
expect_file("${prefix}/share/doc/ondara/LICENSE")
expect_file("${prefix}/lib/cmake/ondara/ondaraConfig.cmake")
expect_file("${prefix}/lib/cmake/ondara/ondaraConfigVersion.cmake")
expect_file("${prefix}/lib/cmake/ondara/ondaraTargets.cmake")
if(TOOLCHAIN_FILE)
  expect_file("${prefix}/bin/ondara.dll")
  expect_file("${prefix}/lib/ondara.lib")
  expect_file("${prefix}/bin/ondara-companion.exe")
else()
  expect_file("${prefix}/lib/libondara.so")
  expect_file("${prefix}/lib/libondara.so.${VERSION}")
  # While 0.x the soname carries the minor version.
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" soversion "${VERSION}")
  expect_file("${prefix}/lib/libondara.so.${soversion}")
  expect_file("${prefix}/lib/pkgconfig/ondara.pc")
  expect_file("${prefix}/bin/ondara-companion")
endif()

# 1. find_package in a project of its own.
set(consumer_build "${WORK_DIR}/consumer-build")
if(TOOLCHAIN_FILE)
  # The toolchain file confines package searches to the cross compiler's root, so the package is
  # named by its directory.
  set(locate "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}" "-Dondara_DIR=${prefix}/lib/cmake/ondara")
else()
  set(locate "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}")
endif()
step("configuring the consumer" "${CMAKE_COMMAND}" -S "${CONSUMER_DIR}" -B "${consumer_build}" ${locate}
     -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS=-Wall -Wextra -pedantic -Werror")
step("building the consumer" "${CMAKE_COMMAND}" --build "${consumer_build}")
if(TOOLCHAIN_FILE)
  set(program "${consumer_build}/ondara-consumer.exe")
else()
  set(program "${consumer_build}/ondara-consumer")
endif()
step("running the consumer" ${EMULATOR} "${program}")
if(NOT step_output MATCHES "ondara consumer: ok \\(open bridge failed\\)")
  message(FATAL_ERROR "the consumer printed: ${step_output}")
endif()
message(STATUS "find_package consumer: ${step_output}")

if(TOOLCHAIN_FILE)
  # 2. The plain import library, and the DLL next to the program.
  set(plain "${WORK_DIR}/plain/ondara-plain.exe")
  file(MAKE_DIRECTORY "${WORK_DIR}/plain")
  file(COPY "${prefix}/bin/ondara.dll" DESTINATION "${WORK_DIR}/plain")
  step("linking ondara.lib" "${C_COMPILER}" -std=c99 -Wall -Wextra -pedantic -Werror "-I${prefix}/include"
       "${CONSUMER_DIR}/consumer.c" "${prefix}/lib/ondara.lib" -static-libgcc -o "${plain}")
  step("running the import-library program" ${EMULATOR} "${plain}")
  if(NOT step_output MATCHES "ondara consumer: ok")
    message(FATAL_ERROR "the import-library program printed: ${step_output}")
  endif()
  message(STATUS "import-library consumer: ${step_output}")
elseif(PKG_CONFIG)
  # 2. pkg-config, with only the installed ondara.pc to go on.
  set(pc_env "PKG_CONFIG_PATH=${prefix}/lib/pkgconfig")
  step("pkg-config --modversion" "${CMAKE_COMMAND}" -E env ${pc_env} "${PKG_CONFIG}" --modversion ondara)
  string(STRIP "${step_output}" modversion)
  if(NOT modversion STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config says version '${modversion}', the build is ${VERSION}")
  endif()
  file(READ "${prefix}/lib/pkgconfig/ondara.pc" pc)
  if(NOT pc MATCHES "\nLicense: MIT\n")
    message(FATAL_ERROR "ondara.pc names no licence:\n${pc}")
  endif()
  set(pc_program "${WORK_DIR}/ondara-pc-consumer")
  ondara_pkg_config_build("${prefix}" "${PKG_CONFIG}" "${C_COMPILER}" "${CONSUMER_DIR}/consumer.c" "${pc_program}"
                          "-I${prefix}/include" "-L${prefix}/lib" "-londara")
  step("running the pkg-config program" "${CMAKE_COMMAND}" -E env "LD_LIBRARY_PATH=${prefix}/lib" "${pc_program}")
  if(NOT step_output MATCHES "ondara consumer: ok")
    message(FATAL_ERROR "the pkg-config program printed: ${step_output}")
  endif()
  message(STATUS "pkg-config consumer: ${step_output}")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
