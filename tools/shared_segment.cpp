#include "shared_segment.h"

#include <cstdint>
#include <cstring>

#include "companion_ring.h"
#include "segment_create.h"

#if !defined(_WIN32)
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
// Opens the mapping `name` with `rights` and maps all of it; on success `view`, `mapping` and the
// view's size (whole pages: a mapping does not tell its exact size) are set.
bool open_mapping(const std::string& name, DWORD rights, void*& view, void*& mapping, std::size_t& size,
                  std::string& error, SharedSegment::Failure* failure) {
    HANDLE m = OpenFileMappingW(rights, FALSE, segment::wide(name).c_str());
    if (m == nullptr) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            set_failure(failure, SharedSegment::Failure::Missing);
            error = "no segment named " + name;
        } else {
            error = segment::win32_message("OpenFileMappingW", name, code);
        }
        return false;
    }
    void* v = MapViewOfFile(m, rights, 0, 0, 0);
    if (v == nullptr) {
        error = segment::win32_message("MapViewOfFile", name, GetLastError());
        CloseHandle(m);
        return false;
    }
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(v, &info, sizeof info) != sizeof info) {
        error = segment::win32_message("VirtualQuery", name, GetLastError());
        UnmapViewOfFile(v);
        CloseHandle(m);
        return false;
    }
    view = v;
    mapping = m;
    size = info.RegionSize;
    return true;
}
#else
// Opens the object of `name` and tells its size; -1 after setting `error` (and `failure`).
int open_object(const std::string& name, bool writable, std::size_t& size, std::string& error,
                SharedSegment::Failure* failure) {
    const std::string object = "/" + name;
    const int fd = ::shm_open(object.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT) {
            set_failure(failure, SharedSegment::Failure::Missing);
            error = "no segment named " + name;
        } else {
            error = segment::os_message("shm_open", object, errno);
        }
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = segment::os_message("fstat", object, errno);
        ::close(fd);
        return -1;
    }
    if (st.st_size <= 0) {
        // Someone has created it and not sized it yet; mapping 0 bytes is impossible anyway.
        error = "the segment " + name + " is empty";
        ::close(fd);
        return -1;
    }
    size = static_cast<std::size_t>(st.st_size);
    return fd;
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
    if (!open_mapping(name, rights, s->view_, s->mapping_, s->length_, error, failure)) return nullptr;
#else
    std::size_t length = 0;
    const int fd = open_object(name, rw, length, error, failure);
    if (fd < 0) return nullptr;
    void* view = ::mmap(nullptr, length, rw ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    const int code = errno;
    ::close(fd);  // the mapping keeps the object alive for this process
    if (view == MAP_FAILED) {
        error = segment::os_message("mmap", "/" + name, code);
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
    segment::Created created;
    const segment::CreateResult result = segment::create(name, bytes, created, error);
    if (result != segment::CreateResult::Created) {
        if (result == segment::CreateResult::Exists) set_failure(failure, Failure::Exists);
        return nullptr;
    }
    std::unique_ptr<SharedSegment> s(new SharedSegment);
    s->access_ = Access::ReadWrite;
    s->view_ = created.view;
    s->length_ = created.length;
    s->mapping_ = created.mapping;
    set_failure(failure, Failure::None);
    return s;
}

void SharedSegment::remove_name(const std::string& name) noexcept { segment::remove_name(name); }

SharedSegment::~SharedSegment() {
    segment::Created mapped{view_, length_, mapping_};
    segment::close(mapped);
}

std::unique_ptr<SegmentReader> SegmentReader::open(const std::string& name, std::string& error,
                                                   SharedSegment::Failure* failure) {
    set_failure(failure, SharedSegment::Failure::Other);
    error = CompanionRing::check_name(name);
    if (!error.empty()) return nullptr;
    std::unique_ptr<SegmentReader> r(new SegmentReader);
    r->name_ = name;
#if defined(_WIN32)
    if (!open_mapping(name, FILE_MAP_READ, r->view_, r->mapping_, r->opened_size_, error, failure)) return nullptr;
#else
    r->fd_ = open_object(name, false, r->opened_size_, error, failure);
    if (r->fd_ < 0) return nullptr;
#endif
    set_failure(failure, SharedSegment::Failure::None);
    return r;
}

SegmentReader::~SegmentReader() {
#if defined(_WIN32)
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (mapping_ != nullptr) CloseHandle(static_cast<HANDLE>(mapping_));
#else
    if (fd_ >= 0) ::close(fd_);
#endif
}

bool SegmentReader::read(void* out, std::size_t capacity, std::size_t& size_now, std::string& error) const {
#if defined(_WIN32)
    (void)error;
    // The other side writes at any time: byte by byte through volatile loads, as every shared field is read.
    const auto* from = static_cast<const volatile unsigned char*>(view_);
    auto* to = static_cast<unsigned char*>(out);
    const std::size_t n = capacity < opened_size_ ? capacity : opened_size_;
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    size_now = opened_size_;
    return true;
#else
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error = segment::os_message("fstat", "/" + name_, errno);
        return false;
    }
    std::size_t size = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    const std::size_t want = capacity < size ? capacity : size;
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd_, static_cast<unsigned char*>(out) + got, want - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = segment::os_message("pread", "/" + name_, errno);
            return false;
        }
        if (n == 0) {
            size = got;  // it shrank between the fstat and the read
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    size_now = size;
    return true;
#endif
}

}  // namespace ondara::tools
