#include "common/companion_cli.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <csignal>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace ondara::tools::cli {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_finished{false};
std::atomic<bool> g_output_failed{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

#if defined(_WIN32)
BOOL WINAPI on_console_event(DWORD type) {
    g_stop.store(true);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: let the main thread finish its cleanup first.
        for (int i = 0; i < 400 && !g_finished.load(); ++i) Sleep(10);
    }
    return TRUE;
}
#else
extern "C" void on_signal(int) { g_stop.store(true); }
#endif

}  // namespace

void error(const char* command, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "ondara-companion %s: %s\n", command, message.c_str());
    std::fflush(stderr);
}

bool parse_args(const char* command, int argc, char** argv, int first, std::initializer_list<KnownOption> options,
                ParsedArgs& out) {
    bool options_ended = false;
    for (int i = first; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            out.positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out.help = true;
            continue;
        }
        std::string_view value;
        bool inline_value = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        const KnownOption* known = nullptr;
        for (const KnownOption& o : options) {
            if (arg == o.name) known = &o;
        }
        if (known == nullptr) {
            error(command, "unknown option '" + std::string(argv[i]) + "' (see --help)");
            return false;
        }
        if (out.has(arg)) {
            error(command, std::string(arg) + " is given twice");
            return false;
        }
        if (!known->takes_value) {
            if (inline_value) {
                error(command, std::string(arg) + " takes no value");
                return false;
            }
            out.values.emplace(std::string(arg), std::string());
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                error(command, std::string(arg) + " needs a value");
                return false;
            }
            value = argv[++i];
        }
        out.values.emplace(std::string(arg), std::string(value));
    }
    return true;
}

std::optional<std::uint64_t> parse_uint(const char* command, std::string_view option, std::string_view text,
                                        std::uint64_t min, std::uint64_t max) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec == std::errc{} && end == text.data() + text.size() && v >= min && v <= max) return v;
    error(command, std::string(option) + " wants a whole number from " + std::to_string(min) + " to " +
                       std::to_string(max) + ", not '" + std::string(text) + "'");
    return std::nullopt;
}

std::optional<double> parse_real(const char* command, std::string_view option, std::string_view text, double min,
                                 double max) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec == std::errc{} && end == text.data() + text.size() && std::isfinite(v) && v >= min && v <= max) return v;
    char range[96];
    std::snprintf(range, sizeof range, " wants a number from %g to %g, not '", min, max);
    error(command, std::string(option) + range + std::string(text) + "'");
    return std::nullopt;
}

void install_stop_handlers() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a sleep cut short by the signal ends early, as wanted
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A write to a pipe nobody reads then fails with EPIPE instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool stop_requested() noexcept { return g_stop.load(std::memory_order_relaxed); }

bool output_failed() noexcept { return g_output_failed.load(std::memory_order_relaxed); }

int finish(const char* command, int status) noexcept {
    if (output_failed()) {
        try {
            error(command, "standard output was closed or could not be written; stopped");
        } catch (...) {
        }
        status = kExitFailed;
    }
    g_finished.store(true);
    return status;
}

bool stdout_is_terminal() {
#if defined(_WIN32)
    // _isatty also says yes for NUL and other character devices; a console answers GetConsoleMode.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    return ::isatty(STDOUT_FILENO) == 1;
#endif
}

bool enable_cursor_control() {
#if defined(_WIN32)
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return true;
#endif
}

void say(const char* format, ...) {
    if (output_failed()) return;  // nobody reads it any more
    std::va_list args;
    va_start(args, format);
    const int written = std::vfprintf(stdout, format, args);
    va_end(args);
    if (std::fflush(stdout) != 0 || written < 0) {
        g_output_failed.store(true);
        g_stop.store(true);
    }
}

void nap(std::uint32_t ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_requested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now,
                                                                                  std::chrono::milliseconds(20)));
    }
}

}  // namespace ondara::tools::cli
