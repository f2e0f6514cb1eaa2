#include "child_process.h"

#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

namespace ondara::test {

using namespace std::chrono_literals;

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : native_(std::exchange(other.native_, kNone)),
      pid_(other.pid_),
      exit_code_(std::move(other.exit_code_)),
      output_(std::move(other.output_)),
      error_(std::move(other.error_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        kill();
        native_ = std::exchange(other.native_, kNone);
        pid_ = other.pid_;
        exit_code_ = std::move(other.exit_code_);
        output_ = std::move(other.output_);
        error_ = std::move(other.error_);
    }
    return *this;
}

ChildProcess::~ChildProcess() { kill(); }

ChildProcess ChildProcess::spawn(std::string_view role, const std::vector<std::string>& args) {
    std::vector<std::string> all{"--child", std::string(role)};
    all.insert(all.end(), args.begin(), args.end());
    const std::string self = own_executable_path();
    if (self.empty()) {
        ChildProcess child;
        child.error_ = "cannot find this test binary's own path";
        return child;
    }
    return start(self, all);
}

std::string ChildProcess::output() const { return output_.empty() ? std::string() : read_file(output_); }

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (output().find(text) != std::string::npos) return true;
        // One more look after the end: the last line may have been written just before it.
        if (wait_for(0ms)) return output().find(text) != std::string::npos;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

#ifdef _WIN32

namespace {

std::wstring widen(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

}  // namespace

ChildProcess ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& output) {
    ChildProcess c;
    c.output_ = output;
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!output.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        // Shared for reading and writing so that this process can read the output while the child writes.
        out = CreateFileW(widen(output).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            c.error_ = "cannot create " + output + ": error " + std::to_string(GetLastError());
            return c;
        }
    }
    // Every argument quoted; they are roles, names, numbers and paths without quotes in them.
    std::wstring command = L"\"" + widen(program) + L"\"";
    for (const std::string& a : args) command += L" \"" + widen(a) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out != INVALID_HANDLE_VALUE ? out : GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = out != INVALID_HANDLE_VALUE ? out : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL ok = CreateProcessW(widen(program).c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &si, &pi);
    const DWORD code = GetLastError();
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (!ok) {
        c.error_ = "CreateProcessW(" + program + ") failed: error " + std::to_string(code);
        return c;
    }
    CloseHandle(pi.hThread);
    c.native_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
    c.pid_ = pi.dwProcessId;
    return c;
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
    if (exit_code_ || native_ == kNone) return exit_code_;
    const HANDLE h = reinterpret_cast<HANDLE>(native_);
    if (WaitForSingleObject(h, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    CloseHandle(h);
    native_ = kNone;
    exit_code_ = static_cast<int>(code);
    return exit_code_;
}

bool ChildProcess::interrupt() { return false; }
bool ChildProcess::signal(int) { return false; }

void ChildProcess::kill() noexcept {
    if (native_ == kNone) return;
    const HANDLE h = reinterpret_cast<HANDLE>(native_);
    TerminateProcess(h, 99);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    native_ = kNone;
}

std::string own_executable_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::uint32_t own_pid() { return GetCurrentProcessId(); }

#else

ChildProcess ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& output) {
    ChildProcess c;
    c.output_ = output;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        c.error_ = "posix_spawn(" + program + ") failed: " + std::strerror(rc);
        return c;
    }
    c.native_ = pid;
    c.pid_ = static_cast<std::uint32_t>(pid);
    return c;
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
    if (exit_code_ || native_ == kNone) return exit_code_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(static_cast<pid_t>(native_), &status, WNOHANG);
        if (r == static_cast<pid_t>(native_)) {
            native_ = kNone;
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
            return exit_code_;
        }
        if (r < 0 && errno != EINTR) {
            native_ = kNone;
            exit_code_ = -1;
            return exit_code_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

bool ChildProcess::interrupt() { return signal(SIGINT); }

bool ChildProcess::signal(int number) { return native_ != kNone && ::kill(static_cast<pid_t>(native_), number) == 0; }

void ChildProcess::kill() noexcept {
    if (native_ == kNone) return;
    const auto pid = static_cast<pid_t>(native_);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    native_ = kNone;
}

std::string own_executable_path() {
    // The path behind /proc/self/exe rather than the link itself: under valgrind the link names the
    // tool, while readlink reports this program.
    char self[4096];
    const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return {};
    return std::string(self, static_cast<std::size_t>(len));
}

std::uint32_t own_pid() { return static_cast<std::uint32_t>(::getpid()); }

#endif

}  // namespace ondara::test
