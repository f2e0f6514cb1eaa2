// Win32 file mappings backed by the paging file behind the platform operations.
//
// Such an object lives exactly as long as some process holds a handle or a view of it.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/platform.h"

namespace ondara::platform {
namespace {

constexpr DWORD kSegmentAccess = FILE_MAP_ALL_ACCESS;  // 0xF001F

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 names pass straight to the W functions");

const wchar_t* wide(const char16_t* name) noexcept { return reinterpret_cast<const wchar_t*>(name); }

Handle from_win32(HANDLE h) noexcept { return h == nullptr ? kNoHandle : reinterpret_cast<Handle>(h); }

HANDLE to_win32(Handle h) noexcept { return reinterpret_cast<HANDLE>(h); }

}  // namespace

Handle create_mapping(const char16_t* name, std::uint32_t size) noexcept {
    // An empty name would create an unnamed mapping that nobody else can ever open.
    if (name[0] == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return kNoHandle;
    }
    return from_win32(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, wide(name)));
}

Handle open_mapping(const char16_t* name) noexcept {
    if (name[0] == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return kNoHandle;
    }
    return from_win32(OpenFileMappingW(kSegmentAccess, FALSE, wide(name)));
}

void* map_view(Handle mapping, std::size_t length) noexcept {
    return MapViewOfFile(to_win32(mapping), kSegmentAccess, 0, 0, length);
}

void unmap_view(void* view, std::size_t) noexcept { UnmapViewOfFile(view); }

void close_mapping(Handle mapping) noexcept { CloseHandle(to_win32(mapping)); }

std::uint32_t last_error() noexcept { return GetLastError(); }

ClockReading read_clock() noexcept {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return {ft.dwLowDateTime, ft.dwHighDateTime};
}

std::uint32_t current_process_id() noexcept { return GetCurrentProcessId(); }

// ---- Process-wide writer numbering -----------------------------------------------------------------
//
// The counter is a small paging-file mapping in the session namespace whose name carries the process
// id. Every copy of the library in the process opens the same object by that name (the object manager
// creates a name exactly once, so two copies arriving together need no lock of their own), and it goes
// with the last handle, which the process's end closes however it ends. Each copy keeps its handle and
// view for the rest of the process: the numbering must not start again while publishers live.
namespace {

constinit std::atomic<LONG*> serial_counter{nullptr};  // this copy's view of the process's counter

}  // namespace

std::uint32_t next_writer_serial() noexcept {
    LONG* counter = serial_counter.load(std::memory_order_acquire);
    if (counter == nullptr) {
        static constexpr wchar_t kPrefix[] = L"Local\\ondara-writer-serial-";
        wchar_t name[sizeof kPrefix / sizeof kPrefix[0] + 10];
        std::size_t n = 0;
        for (const wchar_t c : kPrefix) {
            if (c != 0) name[n++] = c;
        }
        wchar_t digits[10];
        std::size_t count = 0;
        for (DWORD pid = GetCurrentProcessId(); count == 0 || pid != 0; pid /= 10) {
            digits[count++] = static_cast<wchar_t>(L'0' + pid % 10);
        }
        while (count > 0) name[n++] = digits[--count];
        name[n] = 0;
        const HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), name);
        if (mapping == nullptr) return 0;
        void* view = MapViewOfFile(mapping, kSegmentAccess, 0, 0, sizeof(LONG));
        if (view == nullptr) {
            CloseHandle(mapping);
            return 0;
        }
        LONG* expected = nullptr;
        if (serial_counter.compare_exchange_strong(expected, static_cast<LONG*>(view), std::memory_order_acq_rel)) {
            counter = static_cast<LONG*>(view);
        } else {  // another thread of this copy came first
            UnmapViewOfFile(view);
            CloseHandle(mapping);
            counter = expected;
        }
    }
    for (;;) {
        const auto serial = static_cast<std::uint32_t>(InterlockedIncrement(counter));
        if (serial != 0) return serial;  // after 2^32 opens the count wraps past 0, which is no token
    }
}

// ---- The producer's operations ------------------------------------------------------------------

namespace {

// The size of `mapping` in whole pages: Win32 tells no more exactly. Maps a read-only view of all of
// it for the moment of asking.
bool mapped_size(HANDLE mapping, std::uint64_t& size) noexcept {
    const void* v = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (v == nullptr) return false;
    MEMORY_BASIC_INFORMATION info{};
    const bool ok = VirtualQuery(v, &info, sizeof info) == sizeof info;
    const DWORD error = GetLastError();
    UnmapViewOfFile(v);
    if (!ok) {
        SetLastError(error);
        return false;
    }
    size = info.RegionSize;
    return true;
}

}  // namespace

Handle create_exclusive(const char16_t* name, std::uint64_t size) noexcept {
    if (name[0] == 0 || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kNoHandle;
    }
    // A mapping backed by the paging file commits all of its size here, so that no room is a failure
    // now and never a fault later.
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                  static_cast<DWORD>(size), wide(name));
    if (h == nullptr) return kNoHandle;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(h);
        SetLastError(ERROR_ALREADY_EXISTS);
        return kNoHandle;
    }
    return from_win32(h);
}

Handle open_read_only(const char16_t* name) noexcept {
    if (name[0] == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return kNoHandle;
    }
    return from_win32(OpenFileMappingW(FILE_MAP_READ, FALSE, wide(name)));
}

const void* map_read_only(Handle mapping, std::size_t length) noexcept {
    return MapViewOfFile(to_win32(mapping), FILE_MAP_READ, 0, 0, length);
}

bool object_size(Handle mapping, std::uint64_t& size) noexcept { return mapped_size(to_win32(mapping), size); }

bool read_object(Handle mapping, void* out, std::size_t capacity, std::uint64_t& size_now) noexcept {
    // A mapping can neither shrink nor go away under a view, so a view for the moment of the copy is
    // safe. The other side writes at any time: byte by byte through volatile loads.
    const auto* from = static_cast<const volatile unsigned char*>(MapViewOfFile(to_win32(mapping), FILE_MAP_READ, 0, 0, 0));
    if (from == nullptr) return false;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(const_cast<const unsigned char*>(from), &info, sizeof info) != sizeof info) {
        UnmapViewOfFile(const_cast<const unsigned char*>(from));
        return false;
    }
    const std::size_t n = capacity < info.RegionSize ? capacity : info.RegionSize;
    auto* to = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    UnmapViewOfFile(const_cast<const unsigned char*>(from));
    size_now = info.RegionSize;
    return true;
}

Removal remove_name(const char16_t*, Handle) noexcept { return Removal::Removed; }

Handle lock_producer(const char16_t* name, Handle, std::uint32_t& holder) noexcept {
    holder = 0;  // a mutex does not tell who holds it
    std::wstring mutex_name;
    try {
        mutex_name = std::wstring(wide(name)) + L".producer";
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return kNoHandle;
    }
    HANDLE m = CreateMutexW(nullptr, FALSE, mutex_name.c_str());
    if (m == nullptr) return kNoHandle;
    // Abandoned: its holder ended without letting go, which is what a take-over waits for.
    const DWORD waited = WaitForSingleObject(m, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return from_win32(m);
    CloseHandle(m);
    SetLastError(ERROR_LOCK_VIOLATION);
    return kNoHandle;
}

void unlock_producer(Handle lock) noexcept {
    // Only the thread that took the mutex can release it; from any other the release fails, and the
    // mutex is then let go when that thread ends.
    ReleaseMutex(to_win32(lock));
    CloseHandle(to_win32(lock));
}

ErrorKind error_kind(std::uint32_t code) noexcept {
    switch (code) {
        case ERROR_ALREADY_EXISTS: return ErrorKind::Exists;
        case ERROR_FILE_NOT_FOUND: return ErrorKind::Missing;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_COMMITMENT_LIMIT:
        case ERROR_DISK_FULL: return ErrorKind::NoSpace;
        case ERROR_ACCESS_DENIED: return ErrorKind::Denied;
        case ERROR_LOCK_VIOLATION: return ErrorKind::Held;
        default: return ErrorKind::Other;
    }
}

std::string error_text(std::uint32_t code) { return "error " + std::to_string(code); }

}  // namespace ondara::platform
