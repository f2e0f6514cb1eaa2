// POSIX shared-memory objects behind the platform operations.
//
// The segment named N is the object "/" + N (UTF-8). Unlike a Win32 mapping, a POSIX object outlives
// every handle until someone unlinks it; this library never does, the companion owns its lifetime.
// Objects are created owner-only (0600).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "names.h"
#include "platform.h"

namespace ondara::platform {
namespace {

// Builds "/" + name; an empty effective name is refused, since no other process could ever find it.
bool object_name(const char16_t* name, std::string& out) noexcept {
    try {
        std::string utf8 = utf8_up_to_zero(name);
        if (utf8.empty()) return false;
        out = "/" + utf8;
        return true;
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
}

int open_object(const char16_t* name, int flags) noexcept {
    std::string path;
    if (!object_name(name, path)) {
        if (errno != ENOMEM) errno = EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = ::shm_open(path.c_str(), flags | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

Handle create_mapping(const char16_t* name, std::uint32_t size) noexcept {
    const int fd = open_object(name, O_RDWR | O_CREAT);
    if (fd < 0) return kNoHandle;
    // A fresh object has size 0. An existing one keeps its size, as a Win32 mapping does.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_size == 0 && ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return kNoHandle;
    }
    return fd;
}

Handle open_mapping(const char16_t* name) noexcept {
    const int fd = open_object(name, O_RDWR);
    return fd < 0 ? kNoHandle : fd;
}

void* map_view(Handle mapping, std::size_t length) noexcept {
    // Mapping past the end of the object would succeed and fault on first access; refuse it here.
    struct stat st {};
    if (::fstat(static_cast<int>(mapping), &st) != 0) return nullptr;
    if (length == 0 || static_cast<std::uint64_t>(st.st_size) < length) {
        errno = EINVAL;
        return nullptr;
    }
    void* v = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(mapping), 0);
    return v == MAP_FAILED ? nullptr : v;
}

void unmap_view(void* view, std::size_t length) noexcept { ::munmap(view, length); }

void close_mapping(Handle mapping) noexcept { ::close(static_cast<int>(mapping)); }

std::uint32_t last_error() noexcept { return static_cast<std::uint32_t>(errno); }

ClockReading read_clock() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    // Seconds from 1601 to 1970, so one conversion to milliseconds serves both platforms.
    constexpr std::int64_t kSecondsFrom1601 = 11644473600;
    const std::int64_t intervals =
        (static_cast<std::int64_t>(ts.tv_sec) + kSecondsFrom1601) * 10'000'000 + ts.tv_nsec / 100;
    const auto bits = static_cast<std::uint64_t>(intervals);
    return {static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32)};
}

std::uint32_t current_process_id() noexcept { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace ondara::platform
