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

// ---- Process-wide writer numbering -----------------------------------------------------------------
// next_writer_serial: the next number from one counter shared by every copy of this library in the
// calling process (linked into the host or a plug-in, or loaded from any file), whichever copy asks:
// 1 first, then 2, and so on, restarting at 1 in a child after fork. 0 means the counter cannot be
// reached (no handles left, no /proc, a sandbox), and the caller must number on its own. The counter
// is set up on the first call and then holds one handle and one small view until the process ends,
// which takes it away with everything else, killed or not. Not for real-time threads: the first call
// opens and maps, and may wait briefly for another copy doing the same.
std::uint32_t next_writer_serial() noexcept;

}  // namespace ondara::platform
