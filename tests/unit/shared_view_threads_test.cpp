// Several threads over one fake segment. The fake hands every handle the same view address, so unlike
// real mappings (a separate address per view) ThreadSanitizer sees the companion's writes and our
// handles' reads of the very same bytes: the deliberately unsynchronised shared-segment accesses show
// up here, and must be the only ones it reports (tests/threads/tsan.supp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "protocol/mic_block.h"
#include "protocol/mode_block.h"
#include "protocol/shared_access.h"
#include "test_util.h"

namespace ondara {
namespace {

using test::FakeRing;
using test::u16;
using test::units;

TEST(SharedViewThreads, CompanionAndHandlesOnOneView) {
    fake::reset();
    FakeRing ring = FakeRing::add(u"ring", 2, 1024);
    auto* mode_block = reinterpret_cast<ModeControlBlock*>(fake::add_object(u"mode", 48));
    const std::u16string rname = u16("ring"), mname = u16("mic"), cname = u16("mode");
    OndaraReceiver* rx[2] = {};
    OndaraMicPublisher* mic[2] = {};
    OndaraModeControl* mode = nullptr;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ondara_receiver_open(units(rname), rname.size(), 128, 0, &rx[i]), ONDARA_OK);
        ASSERT_EQ(ondara_mic_open(units(mname), mname.size(), &mic[i]), ONDARA_OK);
    }
    ASSERT_EQ(ondara_mode_open(units(cname), cname.size(), &mode), ONDARA_OK);

    std::atomic<bool> done{false};
    std::atomic<int> started{0};
    std::thread companion([&] {
        while (started.load() < 5) std::this_thread::yield();
        RingWriter w = ring.writer();
        for (std::uint64_t f = 0; f < 20000; f += 64) {
            for (std::uint64_t i = f; i < f + 64; ++i) {
                store_shared(&w.slot(i)[0], static_cast<float>(i));
                store_shared(&w.slot(i)[1], static_cast<float>(i));
            }
            w.publish(f + 64);
            store_shared(&mode_block->applied_mode, static_cast<std::int32_t>(f % 4));
            store_shared(&mode_block->mixer_volumes[0], 0.5f);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        done = true;
    });
    auto render = [&](int i, std::size_t block) {
        std::vector<float> l(block), r(block);
        const OndaraOutputBus bus{l.data(), r.data(), block};
        ++started;
        // One more block after the companion has finished, however the threads were scheduled.
        for (bool last = false; !last;) {
            last = done.load();
            ondara_receiver_process(rx[i], &bus, 1, block, nullptr);
            std::this_thread::yield();  // lets the companion run where threads take turns (valgrind)
        }
    };
    auto publish = [&](int i) {
        ++started;
        while (!done.load()) {
            ondara_mic_publish(mic[i], -6.0f, -12.0f);
            std::this_thread::yield();
        }
    };
    std::thread t1(render, 0, 64), t2(render, 1, 100), t3(publish, 0), t4(publish, 1);
    float volumes[4];
    ++started;
    while (!done.load()) {
        ondara_mode_request(mode, 2);
        EXPECT_GE(ondara_mode_applied(mode), -1);
        ondara_mode_mixer_volumes(mode, volumes);
        std::this_thread::yield();
    }
    companion.join();
    t1.join();
    t2.join();
    t3.join();
    t4.join();
    EXPECT_GE(ring.header->read_pos, 20000u - 1024u);
    for (int i = 0; i < 2; ++i) {
        ondara_receiver_free(rx[i]);
        ondara_mic_free(mic[i]);
    }
    ondara_mode_free(mode);
    EXPECT_EQ(fake::live_views(), 0u);
}

}  // namespace
}  // namespace ondara
