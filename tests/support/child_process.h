// A second process for the tests that need one: another program (ondara-companion, the example host)
// with its output going to a file the test reads while it runs, or this test binary started again as
// `--child ROLE ARGS...`. One implementation per platform; in the Windows build the test binaries run
// under Wine and start the other Windows executables with CreateProcessW, so all of them share one
// Wine session and its named mappings.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ondara::test {

// One child process. A child still running when its owner goes away is killed and reaped, so a failed
// assertion in the parent never leaves a process behind (nor waits for the child's own time-outs).
class ChildProcess {
public:
    // Starts `program` with `args`. With an `output` file (created or emptied) the child's stdout and
    // stderr both go there; without one the child writes into this process's own streams, so that a
    // failing child explains itself in the test log.
    static ChildProcess start(const std::string& program, const std::vector<std::string>& args,
                              const std::string& output = {});
    // Starts this test binary again as `--child role args...`, sharing this process's streams.
    static ChildProcess spawn(std::string_view role, const std::vector<std::string>& args);

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Check this before use; error() says why a start failed.
    bool started() const noexcept { return native_ != kNone || exit_code_.has_value(); }
    const std::string& error() const noexcept { return error_; }
    // The process id as the child's own platform::current_process_id() reports it.
    std::uint32_t pid() const noexcept { return pid_; }

    const std::string& output_path() const noexcept { return output_; }
    // What the child has written to its output file so far (empty without one).
    std::string output() const;

    // The exit code once the child has ended within `timeout`, else nothing (the child keeps running).
    // A POSIX child ended by a signal reports 128 + the signal number.
    std::optional<int> wait_for(std::chrono::milliseconds timeout);
    bool running() { return !wait_for(std::chrono::milliseconds(0)).has_value(); }
    // Waits until the output holds `text` (true), the child ends or `timeout` passes (false).
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);

    // Asks the child to stop as Ctrl-C would: SIGINT on POSIX. False where this cannot be done.
    bool interrupt();
    // Sends POSIX signal `number`; false on Windows, which has no signals to send to another process.
    bool signal(int number);
    void kill() noexcept;

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t native_ = kNone;  // a pid_t or a process HANDLE
    std::uint32_t pid_ = 0;
    std::optional<int> exit_code_;
    std::string output_;
    std::string error_;
};

// The running test binary's own path and process id.
std::string own_executable_path();
std::uint32_t own_pid();

std::string read_file(const std::string& path);

}  // namespace ondara::test
