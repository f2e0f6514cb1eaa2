// The calls that run on the host's audio or control thread never allocate. Every heap allocation in
// this binary goes through the counting operator new below; on glibc malloc and calloc are counted
// too, so a C allocation hidden in a helper is caught as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "test_util.h"

// The replacements below pair malloc with free on purpose.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ONDARA_COUNT_MALLOC 1
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void note() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(ONDARA_COUNT_MALLOC)
extern "C" void* malloc(std::size_t n) {
    note();
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t m) {
    note();
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, std::size_t n) {
    note();
    return __libc_realloc(p, n);
}
#endif

void* operator new(std::size_t n) {
    note();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    note();
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace ondara {
namespace {

using test::FakeRing;
using test::u16;
using test::units;

struct Counted {
    Counted() {
        allocations = 0;
        counting = true;
    }
    ~Counted() { counting = false; }
    long count() const { return allocations.load(); }
};

TEST(NoAllocation, CountingSeesAnAllocation) {
    Counted c;
    int* volatile p = new int(1);  // volatile: the compiler may not elide the allocation
    delete p;
    EXPECT_GE(c.count(), 1);
}

TEST(NoAllocation, RenderPublishAndModeReaders) {
    fake::reset();
    FakeRing ring = FakeRing::add(u"ring", 6, 4096);
    const std::u16string rname = u16("ring"), mname = u16("mic"), cname = u16("mode");
    OndaraReceiver* rx = nullptr;
    OndaraMicPublisher* mic = nullptr;
    OndaraModeControl* mode = nullptr;
    ASSERT_EQ(ondara_receiver_open(units(rname), rname.size(), 512, 1, &rx), ONDARA_OK);
    ASSERT_EQ(ondara_mic_open(units(mname), mname.size(), &mic), ONDARA_OK);
    ASSERT_EQ(ondara_mode_open(units(cname), cname.size(), &mode), ONDARA_OK);
    std::vector<float> buffers(6 * 512);
    OndaraOutputBus buses[3];
    for (int k = 0; k < 3; ++k) {
        buses[k] = {&buffers[std::size_t(2 * k) * 512], &buffers[std::size_t(2 * k + 1) * 512], 512};
    }

    Counted c;
    OndaraProcessResult res{};
    float volumes[4];
    for (int i = 0; i < 2000; ++i) {
        // Full blocks, short blocks, empty blocks and a broken header all take their own paths.
        ring.produce(ring.header->write_pos, ring.header->write_pos + static_cast<std::uint64_t>(i % 7) * 100,
                     test::sample_of);
        ring.header->channels = i % 50 == 0 ? 7 : 6;
        ondara_receiver_process(rx, buses, 3, static_cast<std::size_t>(64 + i % 512), &res);
        ondara_mic_publish(mic, -10.0f, -20.0f);
        ondara_mode_applied(mode);
        ondara_mode_mixer_volumes(mode, volumes);
        ondara_mode_vst3_bridge_active(mode);
        ondara_mode_request(mode, i % 4);
    }
    EXPECT_EQ(c.count(), 0);
    counting = false;
    ondara_receiver_free(rx);
    ondara_mic_free(mic);
    ondara_mode_free(mode);
}

}  // namespace
}  // namespace ondara
