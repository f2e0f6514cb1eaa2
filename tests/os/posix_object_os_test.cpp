// What the POSIX layer does about objects it cannot trust or cannot back: objects owned by another
// user, a restrictive umask, a full shared-memory file system and exhausted memory while a name is
// built. Linux only; the Win32 layer has none of these cases.
#ifndef _WIN32
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "ondara.h"
#include "os_resources.h"
#include "os_support.h"
#include "platform/platform.h"
#include "protocol/mic_block.h"
#include "protocol/ring.h"
#include "protocol/shared_access.h"

namespace {
// While set, every C++ allocation of this binary fails; only the out-of-memory death test sets it.
std::atomic<bool> refuse_allocations{false};
}  // namespace

// The replacements pair malloc with free on purpose.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) {
    if (!refuse_allocations.load(std::memory_order_relaxed)) {
        if (void* p = std::malloc(n ? n : 1)) return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return refuse_allocations.load(std::memory_order_relaxed) ? nullptr : std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace ondara::ostest {
namespace {

constexpr uid_t kOtherUser = 65534;

TEST(PosixObjects, AnObjectOwnedByAnotherUserIsNeverOpened) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving an object to another user needs root";
    const std::string name = unique_name("foreign");
    NameCleanup cleanup(name);
    auto ring = ProducedRing::create(u16(name), 2, 256, 48000);
    ASSERT_TRUE(ring);
    ring->announce();
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchmod(fd, 0666), 0);  // readable and writable by anyone, still not ours
    ASSERT_EQ(::fchown(fd, kOtherUser, kOtherUser), 0) << std::strerror(errno);
    ::close(fd);

    const std::u16string wide = u16(name);
    const ResourceCount before = count_resources();
    OndaraReceiver* rx = nullptr;
    EXPECT_EQ(ondara_receiver_open(units(wide), wide.size(), 128, 0, &rx), ONDARA_OPEN_BRIDGE_FAILED);
    OndaraMicPublisher* mic = nullptr;
    EXPECT_EQ(ondara_mic_open(units(wide), wide.size(), &mic), ONDARA_OPEN_BRIDGE_FAILED);
    OndaraModeControl* mode = nullptr;
    EXPECT_EQ(ondara_mode_open(units(wide), wide.size(), &mode), ONDARA_OPEN_BRIDGE_FAILED);
    EXPECT_EQ(platform::open_mapping(wide.c_str()), platform::kNoHandle);
    expect_nothing_left_open(before, count_resources());
    ondara_receiver_free(rx);
    ondara_mic_free(mic);
    ondara_mode_free(mode);
    // Neither open wrote into it.
    EXPECT_EQ(load_shared(&ring->header()->magic), kRingMagic);
    EXPECT_EQ(load_shared(&ring->header()->channels), 2u);
}

// Created under umask 0277 the object would be 0400: the companion could not open it for writing.
TEST(PosixObjects, CreatedObjectsAreOwnerReadWriteWhateverTheUmask) {
    const std::string name = unique_name("umask");
    NameCleanup cleanup(name);
    const std::u16string wide = u16(name);
    const mode_t old = ::umask(0277);
    OndaraMicPublisher* mic = nullptr;
    const OndaraStatus opened = ondara_mic_open(units(wide), wide.size(), &mic);
    ::umask(old);
    ASSERT_EQ(opened, ONDARA_OK);
    struct stat st {};
    ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ondara_mic_publish(mic, -3.0f, -4.0f), ONDARA_OK);
    ondara_mic_free(mic);
    auto view = SharedView::open(wide, sizeof(MicLevelBlock));
    ASSERT_TRUE(view) << "the block cannot be opened for writing";
    EXPECT_EQ(load_shared(&view->as<MicLevelBlock>()->level_a_db), -3.0f);
}

TEST(PosixObjectsDeathTest, ExhaustedMemoryWhileBuildingANameEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Longer than any short-string buffer, so building the name must allocate.
    const std::u16string wide = u16(unique_name("out-of-memory-while-building-this-name"));
    EXPECT_DEATH(
        {
            refuse_allocations = true;
            platform::create_mapping(wide.c_str(), 40);
            refuse_allocations = false;
        },
        "ondara: out of memory");
    EXPECT_DEATH(
        {
            refuse_allocations = true;
            platform::open_mapping(wide.c_str());
            refuse_allocations = false;
        },
        "ondara: out of memory");
}

// The object found by the exclusive create can be gone before it is opened (a companion removing its
// name, or starting again); the create then opens or creates it rather than failing with ENOENT.
TEST(PosixObjects, CreateSucceedsWhileTheNameIsCreatedAndRemovedMeanwhile) {
    const std::string name = unique_name("vanishing");
    NameCleanup cleanup(name);
    const std::string path = "/" + name;
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) {
            ::close(::shm_open(path.c_str(), O_RDWR | O_CREAT, 0600));
            ::shm_unlink(path.c_str());
        }
    });
    const std::u16string wide = u16(name);
    int failures = 0, error = 0;
    for (int i = 0; i < 20000; ++i) {
        if (const platform::Handle h = platform::create_mapping(wide.c_str(), 40); h != platform::kNoHandle) {
            platform::close_mapping(h);
        } else if (++failures == 1) {
            error = errno;
        }
    }
    stop = true;
    churn.join();
    EXPECT_EQ(failures, 0) << "first failure: " << std::strerror(error);
}

// ---- a full shared-memory file system -------------------------------------------------------------

constexpr int kNoNamespace = 77;

// An object of `size` bytes whose pages nobody has touched, as a creator that died between sizing it
// and writing it leaves behind.
bool make_unbacked(const char* path, off_t size) {
    const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return false;
    const bool sized = ::ftruncate(fd, size) == 0;
    ::close(fd);
    return sized;
}

bool has_size(const char* path, off_t size) {
    struct stat st {};
    return ::stat(path, &st) == 0 && st.st_size == size;
}

// Runs in a private mount namespace with a 64 KiB tmpfs over /dev/shm, filled to the last page. Opens
// of a new name, and of existing objects that have a size but no pages yet, must fail cleanly (no
// SIGBUS), leave nothing open, remove only the object they created themselves, and succeed once
// there is room.
ONDARA_CHILD_ROLE(full_shm_role, "full-shm") {
    if (!args.empty()) return child_fail(2, "full-shm");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=64k") != 0) {
        return child_fail(kNoNamespace, std::string("no private /dev/shm: ") + std::strerror(errno));
    }
    if (!make_unbacked("/dev/shm/unbacked-mic", 40) || !make_unbacked("/dev/shm/unbacked-mode", 48) ||
        !make_unbacked("/dev/shm/unbacked-ring", 72 + 4096 * 8)) {
        return child_fail(3, "cannot create the unbacked objects");
    }
    const int filler = ::open("/dev/shm/filler", O_WRONLY | O_CREAT, 0600);
    if (filler < 0) return child_fail(3, "cannot create the filler");
    static char page[4096] = {1};
    while (::write(filler, page, sizeof page) > 0) {
    }
    if (errno != ENOSPC) return child_fail(4, std::string("filling stopped with ") + std::strerror(errno));
    ::close(filler);

    const std::u16string name = u16("full-block"), mic_name = u16("unbacked-mic"), mode_name = u16("unbacked-mode"),
                         ring_name = u16("unbacked-ring");
    const ResourceCount before = count_resources();
    OndaraMicPublisher* mic = nullptr;
    if (ondara_mic_open(units(name), name.size(), &mic) != ONDARA_OPEN_BRIDGE_FAILED || mic != nullptr) {
        return child_fail(5, "mic open on a full file system did not fail");
    }
    OndaraModeControl* mode = nullptr;
    if (ondara_mode_open(units(name), name.size(), &mode) != ONDARA_OPEN_BRIDGE_FAILED || mode != nullptr) {
        return child_fail(6, "mode open on a full file system did not fail");
    }
    if (ondara_mic_open(units(mic_name), mic_name.size(), &mic) != ONDARA_OPEN_BRIDGE_FAILED || mic != nullptr) {
        return child_fail(10, "mic open of an unbacked object on a full file system did not fail");
    }
    if (ondara_mode_open(units(mode_name), mode_name.size(), &mode) != ONDARA_OPEN_BRIDGE_FAILED || mode != nullptr) {
        return child_fail(11, "mode open of an unbacked object on a full file system did not fail");
    }
    OndaraReceiver* rx = nullptr;
    if (ondara_receiver_open(units(ring_name), ring_name.size(), 256, 0, &rx) != ONDARA_OPEN_BRIDGE_FAILED) {
        return child_fail(12, "receiver open of an unbacked ring on a full file system did not fail");
    }
    const ResourceCount after = count_resources();
    if (before.handles != after.handles || before.shared_views != after.shared_views) {
        return child_fail(7, "a failed open left a handle or a view");
    }
    if (::access("/dev/shm/full-block", F_OK) == 0) return child_fail(8, "the unreserved object was left behind");
    if (!has_size("/dev/shm/unbacked-mic", 40) || !has_size("/dev/shm/unbacked-mode", 48)) {
        return child_fail(13, "a failed open removed or resized an object it did not create");
    }

    ::unlink("/dev/shm/filler");
    if (ondara_mic_open(units(name), name.size(), &mic) != ONDARA_OK) return child_fail(9, "mic open with room failed");
    ondara_mic_free(mic);
    if (ondara_mic_open(units(mic_name), mic_name.size(), &mic) != ONDARA_OK) {
        return child_fail(14, "mic open of the unbacked object with room failed");
    }
    ondara_mic_free(mic);
    return 0;
}

TEST(PosixObjects, AFullSharedMemoryFileSystemFailsTheOpenInsteadOfFaulting) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private tmpfs over /dev/shm needs root";
    ChildProcess child = ChildProcess::spawn("full-shm", {});
    ASSERT_TRUE(child.started()) << child.error();
    const std::optional<int> code = child.wait_for(60s);
    ASSERT_TRUE(code.has_value()) << "the child did not finish";
    if (*code == kNoNamespace) GTEST_SKIP() << "no mount namespace here (see the child's message)";
    EXPECT_EQ(*code, 0) << "128 + 7 is SIGBUS";
}

// An object that someone created and never sized (size 0) gets the block's size and is used; mapping
// the block out of a 0-byte object would fail every open of the name for good.
TEST(PosixObjects, ALeftoverObjectOfSizeZeroIsSizedAndUsed) {
    for (const bool mic : {true, false}) {
        const std::string name = unique_name(mic ? "empty-mic" : "empty-mode");
        NameCleanup cleanup(name);
        const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ::close(fd);
        const std::u16string wide = u16(name);
        OndaraMicPublisher* m = nullptr;
        OndaraModeControl* d = nullptr;
        ASSERT_EQ(mic ? ondara_mic_open(units(wide), wide.size(), &m) : ondara_mode_open(units(wide), wide.size(), &d),
                  ONDARA_OK)
            << name;
        struct stat st {};
        ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, mic ? 40 : 48);
        EXPECT_EQ(mic ? ondara_mic_publish(m, -5.0f, -6.0f) : ondara_mode_request(d, 2), ONDARA_OK);
        ondara_mic_free(m);
        ondara_mode_free(d);
    }
}

}  // namespace
}  // namespace ondara::ostest
#endif
