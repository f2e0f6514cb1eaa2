# Fails when the disassembly of a Windows library holds an aligned vector move with a stack operand.
#   -DLIBRARY=path -DTOOL=objdump
# 64-bit Windows keeps the stack 16-byte aligned only, and GCC for it cannot align a frame for a
# 32-byte value, so an aligned move of a spilled 256-bit register can fault in the host. The build
# assembles every aligned move as an unaligned one (-Wa,-muse-unaligned-vector-move); this checks that
# what was linked, the static runtime included, holds none.
execute_process(COMMAND ${TOOL} -d --no-show-raw-insn ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TOOL} -d failed on ${LIBRARY}")
endif()
# The scan saw the render's 256-bit kernels, or it proves nothing.
if(NOT dump MATCHES "vmovups[ \t]+%ymm")
  message(FATAL_ERROR "no 256-bit store in the disassembly of ${LIBRARY}: not the library's code?")
endif()
string(REGEX MATCHALL "[^\n]*[ \t](v?movaps|v?movapd|v?movdqa|vmovdqa32|vmovdqa64)[ \t][^\n]*\\(%r[sb]p[,)][^\n]*"
       hits "${dump}")
list(LENGTH hits count)
if(count GREATER 0)
  list(SUBLIST hits 0 20 shown)
  list(JOIN shown "\n" shown)
  message(FATAL_ERROR "${count} aligned vector moves with a stack operand in ${LIBRARY}, for example:\n${shown}")
endif()
message(STATUS "no aligned vector move with a stack operand in ${LIBRARY}")
