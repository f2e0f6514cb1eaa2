// POSIX shared-memory objects behind the platform operations.
//
// The segment named N is the object "/" + N (UTF-8). Unlike a Win32 mapping, a POSIX object outlives
// every handle until someone unlinks it; the companion owns its lifetime. The one exception is an object
// this library has just created and could not reserve: it is unlinked again, so that no later open
// adopts an object without pages. Objects are created owner-only (0600, whatever the umask), and an
// object owned by another user is never opened: its owner could read our blocks or change them under us.
//
// Every view's pages are reserved before it is mapped, also of an object someone else made: a creator
// that died between sizing its object and writing it leaves pages that do not exist yet, and on a full
// file system the first access to one, a read included, ends the process with SIGBUS. Reserving an
// existing page changes nothing in it; one that cannot be had fails the map instead.
//
// A peer that truncates an object while it is mapped makes the next access to the lost pages fault;
// nothing here can prevent that, since any process allowed to open the object may truncate it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "platform/names.h"
#include "platform/out_of_memory.h"
#include "platform/platform.h"

namespace ondara::platform {
namespace {

// Builds "/" + name; an empty effective name is refused (EINVAL), since no other process could ever
// find it.
bool object_name(const char16_t* name, std::string& out) noexcept {
    try {
        std::string utf8 = utf8_up_to_zero(name);
        if (utf8.empty()) {
            errno = EINVAL;
            return false;
        }
        out = "/" + utf8;
        return true;
    } catch (...) {
        out_of_memory();
    }
}

int shm_open_retrying(const std::string& path, int flags) noexcept {
    int fd;
    do {
        fd = ::shm_open(path.c_str(), flags | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int close_with_error(int fd, int error) noexcept {
    ::close(fd);
    errno = error;
    return -1;
}

// Opens an object (with O_CREAT in `mode`, creates it when it is missing) and accepts it only when
// the effective user owns it.
int open_own(const std::string& path, struct stat& st, int mode = O_RDWR) noexcept {
    const int fd = shm_open_retrying(path, mode);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0) return close_with_error(fd, errno);
    if (st.st_uid != ::geteuid()) return close_with_error(fd, EACCES);
    return fd;
}

// Gives the first `size` bytes backing store now, so that a full file system is an error here rather
// than a SIGBUS on the first store into the view. posix_fallocate reports its error as its result.
int reserve(int fd, off_t size) noexcept {
    int rc;
    do {
        rc = ::posix_fallocate(fd, 0, size);
    } while (rc == EINTR);
    return rc;
}

// Gives a new object, still at size 0, its mode and size: 0 or the error.
int set_up(int fd, std::uint32_t size) noexcept {
    return ::fchmod(fd, 0600) == 0 && ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

// Whether the object holds `length` bytes (not 0): a view past its end would map, and fault on the
// first access there.
bool holds(int fd, std::size_t length) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (length == 0 || static_cast<std::uint64_t>(st.st_size) < length) {
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace

Handle create_mapping(const char16_t* name, std::uint32_t size) noexcept {
    std::string path;
    if (!object_name(name, path)) return kNoHandle;
    // Exclusive first, so that we know whether the object is ours to set up (and to remove again).
    const int created = shm_open_retrying(path, O_RDWR | O_CREAT | O_EXCL);
    if (created >= 0) {
        int rc = set_up(created, size);
        if (rc == 0) rc = reserve(created, static_cast<off_t>(size));
        if (rc == 0) return created;
        ::shm_unlink(path.c_str());
        return close_with_error(created, rc);
    }
    if (errno != EEXIST) return kNoHandle;

    // The name exists, or did a moment ago: open it, or create it again if it has gone meanwhile. A
    // peer that creates and removes the name over and over could make a retry of the exclusive create
    // lose every round; this open cannot lose.
    struct stat st {};
    const int fd = open_own(path, st, O_RDWR | O_CREAT);
    if (fd < 0) return kNoHandle;
    // An existing object keeps its size, as a Win32 mapping does; one still at size 0 is being set up
    // by another opener of ours, was left so by one that died, or was created just now by this open,
    // and gets the size and the mode asked for. Its pages are reserved when it is mapped; a failure
    // there leaves the object to whoever created it.
    if (st.st_size == 0) {
        if (const int rc = set_up(fd, size); rc != 0) return close_with_error(fd, rc);
    }
    return fd;
}

Handle open_mapping(const char16_t* name) noexcept {
    std::string path;
    if (!object_name(name, path)) return kNoHandle;
    struct stat st {};
    const int fd = open_own(path, st);
    return fd < 0 ? kNoHandle : fd;
}

void* map_view(Handle mapping, std::size_t length) noexcept {
    // Mapping past the end of the object would succeed and fault on first access; refuse it here, and
    // give the pages backing store first (see the top of this file).
    const int fd = static_cast<int>(mapping);
    if (!holds(fd, length)) return nullptr;
    if (const int rc = reserve(fd, static_cast<off_t>(length)); rc != 0) {
        errno = rc;
        return nullptr;
    }
    void* v = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
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

// ---- Process-wide writer numbering -----------------------------------------------------------------
//
// The counter lives in a memfd: it has no name in any file system and goes with its last descriptor
// and mapping, so with the process however that ends; a named object would outlive a killed process.
// The memfd's label carries the process id. Another copy of the library finds it among the links in
// /proc/self/fd ("/memfd:<label> (deleted)") and maps it; a child after fork inherits the parent's
// descriptor and mapping, but their label and the pid stored in the cell name the parent, so the
// child sets up a counter of its own. Two copies that look for the counter at the same moment must
// not both create one: an abstract unix socket bound under the same label is the creation lock, since
// binding a name is atomic and the name goes with the socket, also when the process dies holding it.
// The creating copy keeps its descriptor open for the rest of the process: it is how the others find
// the counter. Each copy keeps only a mapping.
namespace {

struct SerialCell {
    std::atomic<std::uint32_t> last;  // the serial handed out last; 0 in a new memfd
    std::uint32_t pid;                // the process that set the cell up, written before anyone sees it
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "shared between copies through memory");

constinit std::atomic<SerialCell*> serial_cell{nullptr};  // this copy's mapping of the process's cell

using Label = char[48];

#ifdef __linux__
int take_creation_lock(const char* label) noexcept {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(label);
    std::memcpy(address.sun_path + 1, label, length);  // sun_path[0] stays 0: the abstract namespace
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    // The holder only looks through its descriptors and maybe creates the memfd: this waits at most
    // about a second for a copy that was preempted while holding it, then numbers without the counter.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) return fd;
        if (errno != EADDRINUSE) break;
        const timespec pause{0, 1'000'000};
        ::nanosleep(&pause, nullptr);
    }
    ::close(fd);
    return -1;
}

// Whether the descriptor's link in /proc/self/fd is exactly `wanted`.
bool link_is(int fd_dir, const char* entry, const char* wanted) noexcept {
    char link[96];
    const ssize_t n = ::readlinkat(fd_dir, entry, link, sizeof link);
    return n > 0 && static_cast<std::size_t>(n) == std::strlen(wanted) && std::memcmp(link, wanted, n) == 0;
}

// Maps a cell of this process's own, or gives null (and maps nothing) for any other memfd.
SerialCell* map_cell(int fd, pid_t pid) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(SerialCell))) return nullptr;
    if (reserve(fd, sizeof(SerialCell)) != 0) return nullptr;
    void* v = ::mmap(nullptr, sizeof(SerialCell), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (v == MAP_FAILED) return nullptr;
    auto* cell = static_cast<SerialCell*>(v);
    if (cell->pid == static_cast<std::uint32_t>(pid)) return cell;
    ::munmap(v, sizeof(SerialCell));
    return nullptr;
}

// The cell that another copy set up, found among this process's descriptors.
SerialCell* find_cell(const char* label, pid_t pid) noexcept {
    char wanted[80];
    std::snprintf(wanted, sizeof wanted, "/memfd:%s (deleted)", label);
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return nullptr;
    SerialCell* cell = nullptr;
    while (cell == nullptr) {
        const dirent* e = ::readdir(dir);
        if (e == nullptr) break;
        if (e->d_name[0] == '.' || !link_is(::dirfd(dir), e->d_name, wanted)) continue;
        // Opened anew rather than used by its number, which belongs to another copy; checked again,
        // since that number may have been closed and reused in between.
        const int fd = ::openat(::dirfd(dir), e->d_name, O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        char own[32];
        std::snprintf(own, sizeof own, "%d", fd);
        if (link_is(::dirfd(dir), own, wanted)) cell = map_cell(fd, pid);
        ::close(fd);  // the mapping keeps the memfd
    }
    ::closedir(dir);
    return cell;
}

SerialCell* create_cell(const char* label, pid_t pid) noexcept {
    const int fd = ::memfd_create(label, MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    void* v = MAP_FAILED;
    if (::ftruncate(fd, sizeof(SerialCell)) == 0 && reserve(fd, sizeof(SerialCell)) == 0) {
        v = ::mmap(nullptr, sizeof(SerialCell), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (v == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    auto* cell = static_cast<SerialCell*>(v);  // zero-filled: no serial handed out yet
    cell->pid = static_cast<std::uint32_t>(pid);
    return cell;  // fd stays open until the process ends
}

SerialCell* attach_cell(pid_t pid) noexcept {
    Label label;
    std::snprintf(label, sizeof label, "ondara-writer-serial-%ld", static_cast<long>(pid));
    const int lock = take_creation_lock(label);
    if (lock < 0) return nullptr;
    SerialCell* cell = find_cell(label, pid);
    if (cell == nullptr) cell = create_cell(label, pid);
    ::close(lock);
    return cell;
}
#else
SerialCell* attach_cell(pid_t) noexcept { return nullptr; }  // no memfd: the caller numbers on its own
#endif

}  // namespace

std::uint32_t next_writer_serial() noexcept {
    const pid_t pid = ::getpid();
    SerialCell* cell = serial_cell.load(std::memory_order_acquire);
    // None yet, or the parent's, inherited through fork.
    if (cell == nullptr || cell->pid != static_cast<std::uint32_t>(pid)) {
        SerialCell* const seen = cell;
        cell = attach_cell(pid);
        if (cell == nullptr) return 0;
        SerialCell* expected = seen;
        if (!serial_cell.compare_exchange_strong(expected, cell, std::memory_order_acq_rel) &&
            expected != nullptr && expected->pid == static_cast<std::uint32_t>(pid)) {
            ::munmap(cell, sizeof(SerialCell));  // another thread of this copy mapped the same cell first
            cell = expected;
        }
    }
    for (;;) {
        const std::uint32_t serial = cell->last.fetch_add(1, std::memory_order_relaxed) + 1;
        if (serial != 0) return serial;  // after 2^32 opens the count wraps past 0, which is no token
    }
}

// ---- The producer's operations ------------------------------------------------------------------

namespace {

// The process that holds the flock on the object of `fd`, where the system tells it: Linux lists
// every lock in /proc/locks as "N: FLOCK ADVISORY WRITE PID MAJ:MIN:INODE ...". 0 when unknown.
std::uint32_t flock_holder(int fd) noexcept {
#if defined(__linux__)
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return 0;
    std::uint32_t holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16] = {};
        unsigned pid = 0, major_no = 0, minor_no = 0;
        unsigned long long inode = 0;
        // Lines of processes waiting for a lock carry "->" after the number; they hold nothing.
        if (std::sscanf(line, "%*d: %15s %*s %*s %u %x:%x:%llu", kind, &pid, &major_no, &minor_no, &inode) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && inode == static_cast<unsigned long long>(st.st_ino) &&
            major_no == major(st.st_dev) && minor_no == minor(st.st_dev)) {
            holder = pid;
        }
    }
    std::fclose(locks);
    return holder;
#else
    (void)fd;
    return 0;
#endif
}

}  // namespace

Handle create_exclusive(const char16_t* name, std::uint64_t size) noexcept {
    std::string path;
    if (!object_name(name, path)) return kNoHandle;
    if (size == 0 || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        errno = EINVAL;
        return kNoHandle;
    }
    const int fd = shm_open_retrying(path, O_RDWR | O_CREAT | O_EXCL);
    if (fd < 0) return kNoHandle;
    int rc = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    // posix_fallocate sets the size as it reserves.
    if (rc == 0) rc = reserve(fd, static_cast<off_t>(size));
    if (rc == 0) return fd;
    ::shm_unlink(path.c_str());  // ours, and unusable
    return close_with_error(fd, rc);
}

Handle open_read_only(const char16_t* name) noexcept {
    std::string path;
    if (!object_name(name, path)) return kNoHandle;
    struct stat st {};
    const int fd = open_own(path, st, O_RDONLY);
    return fd < 0 ? kNoHandle : fd;
}

const void* map_read_only(Handle mapping, std::size_t length) noexcept {
    // Only what exists is mapped: reading past the object's end would fault. Nothing is reserved, since
    // a read-only descriptor cannot, and nothing is written.
    const int fd = static_cast<int>(mapping);
    if (!holds(fd, length)) return nullptr;
    void* v = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    return v == MAP_FAILED ? nullptr : v;
}

bool object_size(Handle mapping, std::uint64_t& size) noexcept {
    struct stat st {};
    if (::fstat(static_cast<int>(mapping), &st) != 0) return false;
    size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return true;
}

bool read_object(Handle mapping, void* out, std::size_t capacity, std::uint64_t& size_now) noexcept {
    const int fd = static_cast<int>(mapping);
    std::uint64_t size = 0;
    if (!object_size(mapping, size)) return false;
    const std::size_t want = capacity < size ? capacity : static_cast<std::size_t>(size);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd, static_cast<unsigned char*>(out) + got, want - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            size = got;  // it shrank between the fstat and the read
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    size_now = size;
    return true;
}

Removal remove_name(const char16_t* name, Handle mapping) noexcept {
    std::string path;
    if (!object_name(name, path)) return Removal::Failed;
    // The name is removed only while it still leads to our object: after someone removed it and
    // another producer made a new ring under it, that ring is the other one's.
    struct stat ours {};
    struct stat named {};
    if (::fstat(static_cast<int>(mapping), &ours) != 0) return Removal::Failed;
    const int fd = shm_open_retrying(path, O_RDONLY);
    if (fd < 0) return errno == ENOENT ? Removal::NotOurs : Removal::Failed;
    const bool same = ::fstat(fd, &named) == 0 && named.st_dev == ours.st_dev && named.st_ino == ours.st_ino;
    ::close(fd);
    if (!same) return Removal::NotOurs;
    return ::shm_unlink(path.c_str()) == 0 ? Removal::Removed : Removal::Failed;
}

Handle lock_producer(const char16_t*, Handle mapping, std::uint32_t& holder) noexcept {
    holder = 0;
    // A descriptor of its own, sharing the open object: the lock stays until this one is closed
    // (unlock_producer), or until the process ends, however it ends.
    const int fd = ::fcntl(static_cast<int>(mapping), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return kNoHandle;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        if (error == EWOULDBLOCK) holder = flock_holder(fd);
        return close_with_error(fd, error);
    }
    return fd;
}

void unlock_producer(Handle lock) noexcept { ::close(static_cast<int>(lock)); }

ErrorKind error_kind(std::uint32_t code) noexcept {
    switch (static_cast<int>(code)) {
        case EEXIST: return ErrorKind::Exists;
        case ENOENT: return ErrorKind::Missing;
        case ENOSPC:
        case ENOMEM: return ErrorKind::NoSpace;
        case EACCES:
        case EPERM: return ErrorKind::Denied;
        case EWOULDBLOCK: return ErrorKind::Held;
        default: return ErrorKind::Other;
    }
}

std::string error_text(std::uint32_t code) { return std::strerror(static_cast<int>(code)); }

}  // namespace ondara::platform
