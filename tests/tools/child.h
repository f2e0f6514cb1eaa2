// Separate processes for the companion tests: ondara-companion and ondara-example-host started with
// their output going to a file the test reads while they run. One implementation per platform; in the
// Windows build this binary runs under Wine and starts the other Windows executables with
// CreateProcessW, so all of them share one Wine session and its named mappings.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ondara::toolstest {

using namespace std::chrono_literals;

class Child {
public:
    // Starts `program` with `args`; its stdout and stderr both go to `output` (created or emptied).
    static Child start(const std::string& program, const std::vector<std::string>& args, const std::string& output);

    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // A child still running is killed, so that a failed assertion never leaves one behind.
    ~Child();

    bool started() const noexcept { return native_ != kNone || exit_code_.has_value(); }
    const std::string& error() const noexcept { return error_; }
    const std::string& output_path() const noexcept { return output_; }
    std::string output() const;

    // The exit code once the child has ended within `timeout`; a POSIX child ended by a signal reports
    // 128 + its number.
    std::optional<int> wait_for(std::chrono::milliseconds timeout);
    // Waits until the output holds `text` (true), the child ends or `timeout` passes (false).
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);

    // Asks the child to stop as Ctrl-C would: SIGINT on POSIX. False where this cannot be done.
    bool interrupt();
    void kill() noexcept;

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t native_ = kNone;  // pid_t or process HANDLE
    std::optional<int> exit_code_;
    std::string output_;
    std::string error_;
};

// Runs `program` to its end (killed after `timeout`) and returns its exit code (-1 when it had to be
// killed) and its output.
struct RunResult {
    int exit_code = -1;
    std::string output;
};
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& output_file,
              std::chrono::milliseconds timeout = 60s);

// The built ondara-companion and ondara-example-host.
std::string companion_path();
std::string example_host_path();

std::uint32_t own_pid();
// "ondara-tt-<pid>-<tag>": unique to this process, so that parallel test runs never share a segment.
std::string unique_name(const std::string& tag);
std::string read_file(const std::string& path);
void remove_file(const std::string& path);

}  // namespace ondara::toolstest
