#include "os_process.h"

#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

extern char** environ;
#endif

namespace ondara::ostest {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : native_(std::exchange(other.native_, kNone)),
      pid_(other.pid_),
      exit_code_(other.exit_code_),
      error_(std::move(other.error_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        kill();
        native_ = std::exchange(other.native_, kNone);
        pid_ = other.pid_;
        exit_code_ = other.exit_code_;
        error_ = std::move(other.error_);
    }
    return *this;
}

ChildProcess::~ChildProcess() { kill(); }

#ifdef _WIN32

ChildProcess ChildProcess::spawn(std::string_view role, const std::vector<std::string>& args) {
    ChildProcess child;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            child.error_ = "GetModuleFileNameW failed: " + std::to_string(GetLastError());
            return child;
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    // Every argument is quoted; the roles' arguments are names and numbers, never quotes.
    auto quoted = [](std::string_view s) { return L"\"" + std::wstring(s.begin(), s.end()) + L"\""; };
    std::wstring command = L"\"" + path + L"\" --child " + quoted(role);
    for (const std::string& a : args) command += L" " + quoted(a);

    // The child writes its diagnostics into the same streams as the parent, so that a failing child
    // explains itself in the test log.
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        child.error_ = "CreateProcessW failed: " + std::to_string(GetLastError());
        return child;
    }
    CloseHandle(pi.hThread);
    child.native_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
    child.pid_ = pi.dwProcessId;
    return child;
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

void ChildProcess::kill() noexcept {
    if (native_ == kNone) return;
    const HANDLE h = reinterpret_cast<HANDLE>(native_);
    TerminateProcess(h, 99);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    native_ = kNone;
}

void remove_segment_name(std::string_view) noexcept {}

ResourceCount count_resources() {
    ResourceCount count;
    // A live process always holds some handles, so 0 means the call only pretends to count.
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles != 0) count.handles = handles;
    // Each MapViewOfFile view is one allocation of type MEM_MAPPED.
    std::size_t views = 0;
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    auto* p = static_cast<unsigned char*>(info.lpMinimumApplicationAddress);
    auto* const end = static_cast<unsigned char*>(info.lpMaximumApplicationAddress);
    MEMORY_BASIC_INFORMATION mbi{};
    while (p < end && VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi) {
        if (mbi.Type == MEM_MAPPED && mbi.BaseAddress == mbi.AllocationBase) ++views;
        p = static_cast<unsigned char*>(mbi.BaseAddress) + mbi.RegionSize;
    }
    count.shared_views = views;
    return count;
}

#else

ChildProcess ChildProcess::spawn(std::string_view role, const std::vector<std::string>& args) {
    ChildProcess child;
    std::vector<std::string> all{"ondara_os_tests", "--child", std::string(role)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The path behind /proc/self/exe rather than the link itself: under valgrind the link names the
    // tool, while readlink reports this program.
    char self[4096];
    const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        child.error_ = std::string("readlink /proc/self/exe failed: ") + std::strerror(errno);
        return child;
    }
    self[len] = '\0';
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        child.error_ = std::string("posix_spawn failed: ") + std::strerror(rc);
        return child;
    }
    child.native_ = pid;
    child.pid_ = static_cast<std::uint32_t>(pid);
    return child;
}

namespace {

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
    if (exit_code_ || native_ == kNone) return exit_code_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(static_cast<pid_t>(native_), &status, WNOHANG);
        if (r == static_cast<pid_t>(native_)) {
            native_ = kNone;
            exit_code_ = decode_status(status);
            return exit_code_;
        }
        if (r < 0 && errno != EINTR) {
            native_ = kNone;
            exit_code_ = -1;
            return exit_code_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ChildProcess::kill() noexcept {
    if (native_ == kNone) return;
    const auto pid = static_cast<pid_t>(native_);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    native_ = kNone;
}

void remove_segment_name(std::string_view utf8_name) noexcept {
    try {
        const std::string path = "/" + std::string(utf8_name);
        ::shm_unlink(path.c_str());  // ENOENT is fine: a test may remove a name it never created
    } catch (...) {
    }
}

ResourceCount count_resources() {
    ResourceCount count;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        std::size_t handles = 0;  // counts the directory's own descriptor too, the same every time
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] != '.') ++handles;
        }
        ::closedir(dir);
        count.handles = handles;
    }
    // POSIX shared-memory objects show up as files under /dev/shm in the mapping list.
    if (std::ifstream maps("/proc/self/maps"); maps) {
        std::size_t views = 0;
        for (std::string line; std::getline(maps, line);) {
            if (line.find(" /dev/shm/") != std::string::npos) ++views;
        }
        count.shared_views = views;
    }
    return count;
}

#endif

}  // namespace ondara::ostest
