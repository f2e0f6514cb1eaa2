// What the real-platform tests need from the operating system beyond the library's own platform layer:
// a second process (this test binary started again as `--child ROLE ARGS...`), removing a segment name
// once a test is done with it, and a count of open handles and shared views to show that a failed open
// leaves nothing behind. os_process.cpp holds one implementation per platform.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ondara::ostest {

// One child process. A child still running when its owner goes away is killed and reaped, so a failed
// assertion in the parent never leaves a process behind (nor waits for the child's own time-outs).
class ChildProcess {
public:
    // Starts this test binary as `--child role args...`; check started() before use.
    static ChildProcess spawn(std::string_view role, const std::vector<std::string>& args);

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    bool started() const noexcept { return native_ != kNone; }
    // The process id as the child's platform::current_process_id() reports it.
    std::uint32_t pid() const noexcept { return pid_; }
    // Why spawn failed, for the assertion message.
    const std::string& spawn_error() const noexcept { return error_; }

    // The exit code once the child has ended within `timeout`, else nothing (the child keeps running).
    // A child ended by a signal reports 128 + the signal number.
    std::optional<int> wait_for(std::chrono::milliseconds timeout);
    bool running() { return !wait_for(std::chrono::milliseconds(0)).has_value(); }

    void kill() noexcept;

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t native_ = kNone;  // a pid_t or a process HANDLE
    std::uint32_t pid_ = 0;
    std::optional<int> exit_code_;
    std::string error_;
};

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
