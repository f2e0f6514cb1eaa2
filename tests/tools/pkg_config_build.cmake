# ondara_pkg_config_build(PREFIX PKG_CONFIG C_COMPILER SOURCE PROGRAM [WANT...]): compiles SOURCE as
# strict C99 into PROGRAM with nothing but the flags `pkg-config --cflags --libs ondara` gives for the
# ondara.pc installed in PREFIX, after checking that they hold every WANT flag.
function(ondara_pkg_config_build prefix pkg_config c_compiler source program)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${prefix}/lib/pkgconfig" "${pkg_config}"
                          --cflags --libs ondara
                  RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config --cflags --libs ondara failed (${rc}): ${err}")
  endif()
  string(STRIP "${flags}" flags)
  message(STATUS "pkg-config --cflags --libs ondara: ${flags}")
  foreach(want IN LISTS ARGN)
    string(FIND " ${flags} " " ${want} " at)
    if(at EQUAL -1)
      message(FATAL_ERROR "pkg-config flags '${flags}' lack ${want}")
    endif()
  endforeach()
  separate_arguments(flag_list UNIX_COMMAND "${flags}")
  execute_process(COMMAND "${c_compiler}" -std=c99 -Wall -Wextra -pedantic -Werror "${source}" ${flag_list}
                          -o "${program}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "compiling with the pkg-config flags failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()
