// What the three ondara-companion subcommands share: option parsing, number checks, the stop request
// from Ctrl-C, and how they write to a terminal or a pipe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ondara::tools::cli {

// Exit statuses: 0 done, 1 the work failed, 2 the command line was wrong.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct KnownOption {
    const char* name;  // with its leading "--"
    bool takes_value;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string, std::less<>> values;  // flags map to ""
    bool help = false;

    bool has(std::string_view option) const { return values.find(option) != values.end(); }
    const std::string* value(std::string_view option) const {
        const auto it = values.find(option);
        return it == values.end() ? nullptr : &it->second;
    }
};

// Parses argv[first..argc) against `options` ("--opt VALUE", "--opt=VALUE", flags, "--" ends the
// options, "-h"/"--help" anywhere asks for help). False after printing why to stderr, prefixed with
// `command`.
bool parse_args(const char* command, int argc, char** argv, int first, std::initializer_list<KnownOption> options,
                ParsedArgs& out);

// A whole number in [min, max], or nothing after printing why (naming `option`).
std::optional<std::uint64_t> parse_uint(const char* command, std::string_view option, std::string_view text,
                                        std::uint64_t min, std::uint64_t max);
// A finite decimal number in [min, max], or nothing after printing why.
std::optional<double> parse_real(const char* command, std::string_view option, std::string_view text, double min,
                                 double max);

// Prints "ondara-companion COMMAND: MESSAGE" to stderr.
void error(const char* command, const std::string& message);

// Makes Ctrl-C and the like ask the running subcommand to stop instead of ending the process, so that
// it can release its segments and print its last line: SIGINT, SIGTERM and SIGHUP (a closed terminal)
// on POSIX, the console control events on Windows. SIGPIPE is ignored: a reader of stdout that goes
// away (`play NAME | head`) makes the next write fail, and say() turns that into a stop request too.
void install_stop_handlers();
bool stop_requested() noexcept;
// Whether a write to stdout has failed (see say()).
bool output_failed() noexcept;
// Called once the subcommand has cleaned up, with its exit status; returns the status to exit with:
// kExitFailed, after saying so on stderr, if stdout went away. On Windows a closing console ends the
// process as soon as its handler returns, so the handler waits for this (a few seconds at most).
int finish(const char* command, int status) noexcept;

// Whether stdout is an interactive terminal (then status lines update in place).
bool stdout_is_terminal();
// Turns on ANSI cursor control where the terminal needs asking (Windows consoles); false if unavailable.
bool enable_cursor_control();

// printf to stdout, flushed at once: output redirected to a file or pipe is otherwise held in the C
// runtime's buffer (fully buffered on Windows), where a test or a `tail -f` cannot see it. A write that
// fails (the pipe's reader has gone, the disk is full) asks the subcommand to stop, since nobody sees
// its output any more; it then ends through its usual cleanup.
void say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Sleeps for `ms` milliseconds or until a stop is requested, whichever comes first.
void nap(std::uint32_t ms);

}  // namespace ondara::tools::cli
