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
#include <string>

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

// ---- The producer's operations ------------------------------------------------------------------
// What the side that creates and owns a ring needs on top of the above: the companion's half of the
// protocol (protocol/ring_producer.h) and the tools and tests built on it. The library's exports
// never call these.
// - create_exclusive: create the named object with `size` zero bytes, all of its pages reserved, and
//   only when no object of that name exists (error kind Exists; the existing object is not touched).
//   Nothing is left behind on failure.
// - open_read_only / map_read_only: the existing object for looking only; a store through the view
//   faults instead of changing the other side's block.
// - object_size: the object's size in bytes; Win32 tells a mapping's size only in whole pages.
// - read_object: copies the first min(`capacity`, size now) bytes into `out` and tells the size now,
//   without a mapping that a peer could truncate under us (POSIX); false when it cannot be read.
// - remove_name: removes the name, but only while it still addresses the object `mapping` is open
//   on; a name that another object has meanwhile taken is left to that one. Win32 has no name to
//   remove (a mapping goes with its last handle and view), so there it is Removed at once.
// - lock_producer / unlock_producer: an exclusive lock of the ring whose object `mapping` is open,
//   taken without waiting and held until unlocked or until the process ends, however it ends. POSIX
//   locks the object itself (flock), Win32 a named mutex beside it. When another process holds it,
//   no handle, error kind Held, and `holder` its process id where the system tells it (else 0).
// - error_kind / error_text: what a last_error() code means, for the decision and for the user.
// Objects owned by another user are refused by every open, as by open_mapping.
enum class ErrorKind : std::uint8_t { Other, Exists, Missing, NoSpace, Denied, Held };
enum class Removal : std::uint8_t { Removed, NotOurs, Failed };

Handle create_exclusive(const char16_t* name, std::uint64_t size) noexcept;
Handle open_read_only(const char16_t* name) noexcept;
const void* map_read_only(Handle mapping, std::size_t length) noexcept;
bool object_size(Handle mapping, std::uint64_t& size) noexcept;
bool read_object(Handle mapping, void* out, std::size_t capacity, std::uint64_t& size_now) noexcept;
Removal remove_name(const char16_t* name, Handle mapping) noexcept;
Handle lock_producer(const char16_t* name, Handle mapping, std::uint32_t& holder) noexcept;
void unlock_producer(Handle lock) noexcept;
ErrorKind error_kind(std::uint32_t code) noexcept;
// Allocates: for messages only, never on a path that must not.
std::string error_text(std::uint32_t code);

}  // namespace ondara::platform
