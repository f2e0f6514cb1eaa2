// Field access to memory that another process writes at any time. Every shared field is read and
// written through a volatile access at its own width, so the compiler neither caches, merges, splits
// nor drops it; no fence is implied or wanted.
#pragma once

#include <cstring>

namespace ondara {

template <class T>
inline T load_shared(const T* field) noexcept {
    return *static_cast<const volatile T*>(field);
}

template <class T>
inline void store_shared(T* field, T value) noexcept {
    *static_cast<volatile T*>(field) = value;
}

}  // namespace ondara
