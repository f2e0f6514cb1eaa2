// Field access to memory that another process writes at any time. Every shared field is read and
// written through a volatile access at its own width, so the compiler neither caches, merges, splits
// nor drops it; no fence instruction is implied or wanted.
//
// The protocols built on these accesses rely on x86-64's own ordering: loads are not reordered with
// other loads, nor stores with other stores, so the hardware keeps the program order that the
// volatile accesses and compiler-only fences (std::atomic_signal_fence) give the code. Other
// processors reorder more, and need real fences at the places those compiler fences mark.
#pragma once

#include <cstring>

#if !defined(__x86_64__) && !(defined(_M_X64) && !defined(_M_ARM64EC))
#error "the shared-memory protocols assume x86-64's load and store order; a port must settle the ordering first"
#endif

namespace ondara {

// Test and fuzz builds of the audio path define ONDARA_SHARED_ACCESS_HOOK: every access to a shared
// field then first calls shared_access_hook, so that a test can play a companion that rewrites the
// segment at an exact point inside a call. The shipped library is built without it, and the hooked
// accessors live in a namespace of their own, so that both kinds can sit in one test binary.
#if defined(ONDARA_SHARED_ACCESS_HOOK)
void shared_access_hook(const volatile void* field) noexcept;
inline namespace hooked {
#endif

inline void before_shared_access([[maybe_unused]] const volatile void* field) noexcept {
#if defined(ONDARA_SHARED_ACCESS_HOOK)
    shared_access_hook(field);
#endif
}

template <class T>
inline T load_shared(const T* field) noexcept {
    before_shared_access(field);
    return *static_cast<const volatile T*>(field);
}

template <class T>
inline void store_shared(T* field, T value) noexcept {
    before_shared_access(field);
    *static_cast<volatile T*>(field) = value;
}

#if defined(ONDARA_SHARED_ACCESS_HOOK)
}  // namespace hooked
#endif

}  // namespace ondara
