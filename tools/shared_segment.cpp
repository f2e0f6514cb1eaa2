#include "shared_segment.h"

#include <cstdint>
#include <cstring>

#include "companion_ring.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace ondara::tools {
namespace {

void set_failure(SharedSegment::Failure* out, SharedSegment::Failure f) {
    if (out != nullptr) *out = f;
}

#if defined(_WIN32)
// Names are ASCII (CompanionRing::check_name), so widening each character is the UTF-16 form.
std::wstring wide(const std::string& name) { return std::wstring(name.begin(), name.end()); }

std::string win32_message(const char* what, const std::string& name, DWORD code) {
    return std::string(what) + "(" + name + ") failed with error " + std::to_string(code);
}
#else
std::string os_message(const char* what, const std::string& object) {
    return std::string(what) + "(" + object + "): " + std::strerror(errno);
}
#endif

}  // namespace

std::unique_ptr<SharedSegment> SharedSegment::open(const std::string& name, Access access, std::string& error,
                                                   Failure* failure) {
    set_failure(failure, Failure::Other);
    error = CompanionRing::check_name(name);
    if (!error.empty()) return nullptr;
    std::unique_ptr<SharedSegment> s(new SharedSegment);
    s->access_ = access;
    const bool rw = access == Access::ReadWrite;

#if defined(_WIN32)
    const DWORD rights = rw ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ;
    HANDLE mapping = OpenFileMappingW(rights, FALSE, wide(name).c_str());
    if (mapping == nullptr) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            set_failure(failure, Failure::Missing);
            error = "no segment named " + name;
        } else {
            error = win32_message("OpenFileMappingW", name, code);
        }
        return nullptr;
    }
    void* view = MapViewOfFile(mapping, rights, 0, 0, 0);
    if (view == nullptr) {
        error = win32_message("MapViewOfFile", name, GetLastError());
        CloseHandle(mapping);
        return nullptr;
    }
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(view, &info, sizeof info) != sizeof info) {
        error = win32_message("VirtualQuery", name, GetLastError());
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        return nullptr;
    }
    s->mapping_ = mapping;
    s->view_ = view;
    s->length_ = info.RegionSize;
#else
    const std::string object = "/" + name;
    const int fd = ::shm_open(object.c_str(), (rw ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT) {
            set_failure(failure, Failure::Missing);
            error = "no segment named " + name;
        } else {
            error = os_message("shm_open", object);
        }
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = os_message("fstat", object);
        ::close(fd);
        return nullptr;
    }
    if (st.st_size <= 0) {
        // Someone has created it and not sized it yet; mapping 0 bytes is impossible anyway.
        error = "the segment " + name + " is empty";
        ::close(fd);
        return nullptr;
    }
    const auto length = static_cast<std::size_t>(st.st_size);
    void* view = ::mmap(nullptr, length, rw ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);  // the mapping keeps the object alive for this process
    if (view == MAP_FAILED) {
        error = os_message("mmap", object);
        return nullptr;
    }
    s->view_ = view;
    s->length_ = length;
#endif
    set_failure(failure, Failure::None);
    return s;
}

std::unique_ptr<SharedSegment> SharedSegment::create(const std::string& name, std::size_t bytes, std::string& error,
                                                     Failure* failure) {
    set_failure(failure, Failure::Other);
    error = CompanionRing::check_name(name);
    if (!error.empty()) return nullptr;
    if (bytes == 0) {
        error = "a segment needs at least one byte";
        return nullptr;
    }
    std::unique_ptr<SharedSegment> s(new SharedSegment);
    s->access_ = Access::ReadWrite;

#if defined(_WIN32)
    const auto size = static_cast<std::uint64_t>(bytes);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size), wide(name).c_str());
    if (mapping == nullptr) {
        error = win32_message("CreateFileMappingW", name, GetLastError());
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        set_failure(failure, Failure::Exists);
        error = "a segment named " + name + " already exists";
        return nullptr;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
    if (view == nullptr) {
        error = win32_message("MapViewOfFile", name, GetLastError());
        CloseHandle(mapping);
        return nullptr;
    }
    s->mapping_ = mapping;
#else
    const std::string object = "/" + name;
    // Owner only, as the library creates its segments.
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) {
            set_failure(failure, Failure::Exists);
            error = "a segment named " + name + " already exists";
        } else {
            error = os_message("shm_open", object);
        }
        return nullptr;
    }
    void* view = MAP_FAILED;
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        error = os_message("ftruncate", object);
    } else {
        view = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) error = os_message("mmap", object);
    }
    ::close(fd);
    if (view == MAP_FAILED) {
        ::shm_unlink(object.c_str());  // it is ours and unusable
        return nullptr;
    }
#endif
    s->view_ = view;
    s->length_ = bytes;
    set_failure(failure, Failure::None);
    return s;
}

void SharedSegment::remove_name(const std::string& name) noexcept {
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

SharedSegment::~SharedSegment() {
#if defined(_WIN32)
    UnmapViewOfFile(view_);
    CloseHandle(static_cast<HANDLE>(mapping_));
#else
    ::munmap(view_, length_);
#endif
}

}  // namespace ondara::tools
