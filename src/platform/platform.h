// The operating-system operations the shared-memory layer is built on.
//
// Exactly one implementation is linked into any binary: platform_win32.cpp (Win32 file mappings),
// platform_posix.cpp (POSIX shared-memory objects) or, in test binaries, the in-memory fake in
// tests/support. Everything above this header is plain portable C++.
//
// Contract, identical on every platform:
// - create_mapping: create the named object with `size` bytes, or hand out the existing object of that
//   name with its size unchanged. No handle on failure.
// - open_mapping: a handle to the existing object of that name; no handle if there is none.
// - map_view: a read-write view of the first `length` bytes, shared with every process that maps the
//   object; null when `length` exceeds the object or mapping fails (never a later fault on access).
//   Win32 may keep an object's size in whole pages (Wine does), so there a view that ends inside the
//   object's last page is granted: it is mapped memory, but longer than the object was made.
// - unmap_view / close_mapping: release a view by its base address and length, release a handle.
// - last_error: the calling thread's code for the latest failed operation above.
// Names are NUL-terminated UTF-16; only the part before the first zero code unit addresses the object,
// and an empty part is refused by create and open alike (such a segment could never be found again).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondara::platform {

// A mapping handle as an integer: a Win32 HANDLE, a POSIX file descriptor or a fake's index.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// The wall clock as 100-nanosecond intervals since 1601-01-01 UTC, in the two halves Windows gives.
struct ClockReading {
    std::uint32_t low;
    std::uint32_t high;
};

Handle create_mapping(const char16_t* name, std::uint32_t size) noexcept;
Handle open_mapping(const char16_t* name) noexcept;
void* map_view(Handle mapping, std::size_t length) noexcept;
void unmap_view(void* view, std::size_t length) noexcept;
void close_mapping(Handle mapping) noexcept;
std::uint32_t last_error() noexcept;
ClockReading read_clock() noexcept;
std::uint32_t current_process_id() noexcept;

}  // namespace ondara::platform
