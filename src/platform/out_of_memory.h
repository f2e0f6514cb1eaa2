// The one reaction to exhausted memory, shared by every layer: the platform operations build names on
// the heap too. A header-only function, so that whatever links one layer alone (the platform layer in
// the companion tool, the core over the fake platform in the unit tests) has it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace ondara {

// Exhausted memory has no status: say so on stderr and end the process rather than hand out a partly
// built handle or let an exception unwind into the host.
[[noreturn]] inline void out_of_memory() noexcept {
    std::fputs("ondara: out of memory\n", stderr);
    std::abort();
}

}  // namespace ondara
