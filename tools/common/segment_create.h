// Creating and opening named shared-memory segments for the tools: the one place that makes a new
// ring, mic or mode block segment (CompanionRing for rings, SharedSegment::create for the control
// blocks) or opens an existing one (SharedSegment, SegmentReader, and CompanionRing taking over a ring
// that another process still holds).
//
// A tool creates a segment only under a name nobody holds (O_EXCL; on Windows an existing mapping is
// refused), so it owns what it made and may remove it again. On POSIX the object's pages are reserved
// with posix_fallocate before it is mapped: ftruncate alone only sets a size, and on a full /dev/shm
// the first store into a page that cannot be had then ends the process with SIGBUS, leaving the
// object behind. A reservation that fails is reported with the name and the reason, and the half-made
// object is removed. On Windows a mapping backed by the paging file commits all of its size when it
// is created, so that CreateFileMappingW fails instead.
//
// Kept in a header (inline) because the demo and the benchmarks compile companion_ring.cpp without
// the companion's support library.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ondara::tools::segment {

enum class CreateResult { Created, Exists, Failed };

// A mapped view of a segment this process created, with the mapping handle on Windows.
struct Created {
    void* view = nullptr;
    std::size_t length = 0;
    void* mapping = nullptr;  // Windows only
};

#if defined(_WIN32)
// Names are ASCII (CompanionRing::check_name), so widening each character is the UTF-16 form.
inline std::wstring wide(const std::string& name) { return std::wstring(name.begin(), name.end()); }

inline std::string win32_message(const char* what, const std::string& name, unsigned long code) {
    return std::string(what) + "(" + name + ") failed with error " + std::to_string(code);
}
#else
inline std::string os_message(const char* what, const std::string& object, int code) {
    return std::string(what) + "(" + object + "): " + std::strerror(code);
}
#endif

// Why a reservation of `bytes` for `name` failed, in words a user can act on.
inline std::string reserve_message(const std::string& name, std::uint64_t bytes, int code) {
    const std::string what = "the " + std::to_string(bytes) + " bytes of " + name;
    if (code == ENOSPC) {
#if defined(__linux__)
        return "no space left in /dev/shm for " + what;
#else
        return "no space left in shared memory for " + what;
#endif
    }
    return "cannot reserve " + what + ": " + std::strerror(code);
}

// Creates the segment `name` of `bytes` zero bytes (bytes > 0), mapped read-write. Exists when a
// segment of that name is already there, which is then left alone; Failed with the reason in `error`.
inline CreateResult create(const std::string& name, std::uint64_t bytes, Created& out, std::string& error) {
    out = Created{};
#if defined(_WIN32)
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(bytes >> 32),
                                        static_cast<DWORD>(bytes), wide(name).c_str());
    if (mapping == nullptr) {
        const DWORD code = GetLastError();
        error = code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_COMMITMENT_LIMIT
                    ? "not enough memory for the " + std::to_string(bytes) + " bytes of " + name
                    : win32_message("CreateFileMappingW", name, code);
        return CreateResult::Failed;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        error = "a segment named " + name + " already exists";
        return CreateResult::Exists;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(bytes));
    if (view == nullptr) {
        error = win32_message("MapViewOfFile", name, GetLastError());
        CloseHandle(mapping);
        return CreateResult::Failed;
    }
    out.mapping = mapping;
#else
    const std::string object = "/" + name;
    // Owner only, as the library creates its segments. O_EXCL: an object of this name that is already
    // there belongs to someone else, and a tool removes what it created; it must never take over and
    // then delete another's.
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int code = errno;
        if (code == EEXIST) {
            error = "a segment named " + name + " already exists";
            return CreateResult::Exists;
        }
        error = os_message("shm_open", object, code);
        return CreateResult::Failed;
    }
    // posix_fallocate sets the size as it reserves; it reports its error as its result, not in errno.
    int rc = 0;
    do {
        rc = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    } while (rc == EINTR);
    void* view = MAP_FAILED;
    if (rc != 0) {
        error = reserve_message(name, bytes, rc);
    } else {
        view = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) error = os_message("mmap", object, errno);
    }
    ::close(fd);  // the mapping keeps the object alive for this process
    if (view == MAP_FAILED) {
        ::shm_unlink(object.c_str());  // it is ours and unusable
        return CreateResult::Failed;
    }
#endif
    out.view = view;
    out.length = static_cast<std::size_t>(bytes);
    return CreateResult::Created;
}

#if defined(_WIN32)
// Opens the existing mapping `name` with `rights` and maps all of it; never creates one. On success
// `out` holds the view, the mapping and the view's size in whole pages (a mapping does not tell its
// exact size). False after setting `error`, and `missing` when there is no such segment.
inline bool open_mapping(const std::string& name, DWORD rights, Created& out, std::string& error, bool& missing) {
    out = Created{};
    missing = false;
    HANDLE m = OpenFileMappingW(rights, FALSE, wide(name).c_str());
    if (m == nullptr) {
        const DWORD code = GetLastError();
        missing = code == ERROR_FILE_NOT_FOUND;
        error = missing ? "no segment named " + name : win32_message("OpenFileMappingW", name, code);
        return false;
    }
    void* v = MapViewOfFile(m, rights, 0, 0, 0);
    if (v == nullptr) {
        error = win32_message("MapViewOfFile", name, GetLastError());
        CloseHandle(m);
        return false;
    }
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(v, &info, sizeof info) != sizeof info) {
        error = win32_message("VirtualQuery", name, GetLastError());
        UnmapViewOfFile(v);
        CloseHandle(m);
        return false;
    }
    out.view = v;
    out.length = info.RegionSize;
    out.mapping = m;
    return true;
}
#else
// Opens the existing object of `name` (never creating one) and tells its size; -1 after setting
// `error`, and `missing` when there is no such object. An object of size 0 is refused: someone has
// created it and not sized it yet, and there is nothing to map.
inline int open_object(const std::string& name, bool writable, std::size_t& size, std::string& error, bool& missing) {
    missing = false;
    const std::string object = "/" + name;
    const int fd = ::shm_open(object.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0) {
        const int code = errno;
        missing = code == ENOENT;
        error = missing ? "no segment named " + name : os_message("shm_open", object, code);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = os_message("fstat", object, errno);
        ::close(fd);
        return -1;
    }
    if (st.st_size <= 0) {
        error = "the segment " + name + " is empty";
        ::close(fd);
        return -1;
    }
    size = static_cast<std::size_t>(st.st_size);
    return fd;
}
#endif

// Opens the existing segment `name` read-write or read-only and maps all of it; never creates one. A
// read-only segment is mapped read-only, so that a stray store faults instead of changing the other
// side's block. False after setting `error`, and `missing` when there is no such segment.
inline bool open_existing(const std::string& name, bool writable, Created& out, std::string& error, bool& missing) {
#if defined(_WIN32)
    return open_mapping(name, writable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ, out, error, missing);
#else
    out = Created{};
    std::size_t length = 0;
    const int fd = open_object(name, writable, length, error, missing);
    if (fd < 0) return false;
    void* view = ::mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    const int code = errno;
    ::close(fd);  // the mapping keeps the object alive for this process
    if (view == MAP_FAILED) {
        error = os_message("mmap", "/" + name, code);
        return false;
    }
    out.view = view;
    out.length = length;
    return true;
#endif
}

// Unmaps the view and closes the mapping; the name stays (see remove_name).
inline void close(Created& s) noexcept {
    if (s.view == nullptr) return;
#if defined(_WIN32)
    UnmapViewOfFile(s.view);
    CloseHandle(static_cast<HANDLE>(s.mapping));
#else
    ::munmap(s.view, s.length);
#endif
    s = Created{};
}

// Removes the name (POSIX shm_unlink; a missing name is fine). Nothing on Windows, where a mapping
// goes with its last handle or view.
inline void remove_name(const std::string& name) noexcept {
#if !defined(_WIN32)
    try {
        const std::string object = "/" + name;
        ::shm_unlink(object.c_str());
    } catch (...) {
    }
#else
    (void)name;
#endif
}

}  // namespace ondara::tools::segment
