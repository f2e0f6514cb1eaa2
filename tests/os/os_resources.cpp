#include "os_resources.h"

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/mman.h>

#include <fstream>
#endif

namespace ondara::ostest {
namespace {

// The process-wide writer numbering keeps a handle and a view from the first mic open to the end of
// the process: it is set up before the first count, so that it never counts as left open.
void set_up_writer_numbering() {
    static const bool once = (platform::next_writer_serial(), true);
    (void)once;
}

}  // namespace

#ifdef _WIN32

void remove_segment_name(std::string_view) noexcept {}

ResourceCount count_resources() {
    set_up_writer_numbering();
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

void remove_segment_name(std::string_view utf8_name) noexcept {
    try {
        const std::string path = std::string("/").append(utf8_name);
        ::shm_unlink(path.c_str());  // ENOENT is fine: a test may remove a name it never created
    } catch (...) {
    }
}

ResourceCount count_resources() {
    set_up_writer_numbering();
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
