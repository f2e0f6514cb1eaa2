// Field access to memory that another process writes at any time. Every shared field is read and
// written through a volatile access at its own width, so the compiler neither caches, merges, splits
// nor drops it; no fence is implied or wanted.
#pragma once

#include <cstring>

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
