// Win32 file mappings backed by the paging file behind the platform operations.
//
// Such an object lives exactly as long as some process holds a handle or a view of it.
#include <windows.h>

#include <atomic>

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

}  // namespace ondara::platform
