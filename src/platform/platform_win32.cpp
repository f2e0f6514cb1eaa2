// Win32 file mappings backed by the paging file behind the platform operations.
//
// Such an object lives exactly as long as some process holds a handle or a view of it.
#include <windows.h>

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

}  // namespace ondara::platform
