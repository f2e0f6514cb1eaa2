// What the real-platform tests need from the operating system beyond the library's own platform layer
// and the child processes (child_process.h): removing a segment name once a test is done with it, and
// a count of open handles and shared views to show that a failed open leaves nothing behind.
// os_resources.cpp holds one implementation per platform.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ondara::ostest {

// Removes the segment name from the system namespace: shm_unlink on POSIX, where an object outlives
// every handle; nothing on Windows, where a mapping goes with its last handle. The library never
// removes a name (the companion owns that), so every test removes the names it used.
void remove_segment_name(std::string_view utf8_name) noexcept;

// Open handles (file descriptors on POSIX) and mapped shared-memory views of this process; either is
// empty where the platform cannot tell (Wine's GetProcessHandleCount always reports 0, for one).
struct ResourceCount {
    std::optional<std::size_t> handles;
    std::optional<std::size_t> shared_views;
};
ResourceCount count_resources();

}  // namespace ondara::ostest
