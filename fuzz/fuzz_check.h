// What the fuzz targets share: a check that survives release builds and stops the run at once, and a
// way to make the fake platform's objects exactly as large as they claim to be.
#pragma once

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// A violated invariant is a finding: say which, then trap so that libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #cond); \
            __builtin_trap();                                                                   \
        }                                                                                       \
    } while (0)

namespace ondara::fuzzing {

// The fake platform rounds every object's allocation up and adds slack, so a read just past the
// object's end would land in addressable memory and go unnoticed. Poisoning that slack makes ASan
// report any access beyond `size` as if the object were allocated exactly. The end of the slack is
// found from ASan's own shadow, not from the fake's rounding rule, so this stays right if that rule
// changes. Freeing the object later is fine: ASan repoisons a freed chunk as a whole.
// The fake zero-fills the slack along with the object, so for an object the library created (and
// already wrote into) a non-zero slack byte means something was written past the object's end.
inline void poison_slack(unsigned char* object, std::size_t size) {
    unsigned char* end = object + size;
    while (!__asan_address_is_poisoned(end)) {
        FUZZ_CHECK(*end == 0);
        ++end;
    }
    if (end != object + size) __asan_poison_memory_region(object + size, static_cast<std::size_t>(end - (object + size)));
    FUZZ_CHECK(__asan_address_is_poisoned(object + size));
    FUZZ_CHECK(size == 0 || !__asan_address_is_poisoned(object + size - 1));
}

}  // namespace ondara::fuzzing
