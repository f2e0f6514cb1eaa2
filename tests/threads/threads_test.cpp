// Handles used from several threads at once over real shared memory: a producer thread plays the
// companion while receivers, publishers and mode handles run concurrently, one thread per handle.
// Built into a plain binary and, in CI, under ThreadSanitizer, where only the deliberately
// unsynchronised shared-segment accesses are exempt (tsan.supp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "mic_block.h"
#include "ondara.h"
#include "platform.h"
#include "ring.h"
#include "shared_access.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#else
#include <process.h>
#endif

namespace ondara {
namespace {

using namespace std::chrono_literals;

std::u16string unique_name(const char* what) {
    const std::string s = std::string("ondara-thr-") + what + "-" + std::to_string(platform::current_process_id());
    return std::u16string(s.begin(), s.end());
}

const std::uint16_t* units(const std::u16string& s) { return reinterpret_cast<const std::uint16_t*>(s.data()); }

// A ring this test creates and removes, as the companion would.
class TestRing {
public:
    TestRing(const std::u16string& name, std::uint32_t channels, std::uint32_t capacity) : name_(name) {
        const std::size_t bytes = kRingHeaderSize + std::size_t{channels} * capacity * sizeof(float);
        const std::u16string z = name + u'\0';
        mapping_ = platform::create_mapping(z.c_str(), static_cast<std::uint32_t>(bytes));
        view_ = mapping_ == platform::kNoHandle ? nullptr : platform::map_view(mapping_, bytes);
        length_ = bytes;
        if (view_ == nullptr) return;
        header = static_cast<RingHeader*>(view_);
        data = reinterpret_cast<float*>(static_cast<unsigned char*>(view_) + kRingHeaderSize);
        header->magic = kRingMagic;
        header->version = kRingVersion;
        header->sample_rate = 48000;
        header->channels = channels;
        header->capacity_frames = capacity;
        header->write_pos = 0;
        header->read_pos = 0;
    }
    ~TestRing() {
        if (view_ != nullptr) platform::unmap_view(view_, length_);
        if (mapping_ != platform::kNoHandle) platform::close_mapping(mapping_);
#ifndef _WIN32
        const std::string n = "/" + std::string(name_.begin(), name_.end());
        shm_unlink(n.c_str());
#endif
    }
    bool ok() const { return view_ != nullptr; }

    RingHeader* header = nullptr;
    float* data = nullptr;

private:
    std::u16string name_;
    platform::Handle mapping_ = platform::kNoHandle;
    void* view_ = nullptr;
    std::size_t length_ = 0;
};

// Frame f, channel j carries f * 8 + j: exact in float for the frame counts used here.
float ramp(std::uint64_t f, std::uint32_t j) { return static_cast<float>(f * 8 + j); }

struct ReceiverStats {
    std::uint64_t frames = 0;
    std::uint64_t failures = 0;
};

// Renders blocks of `block` frames until the producer is done and the ring is drained, checking that
// audio frames at full gain are ramp frames in order, consecutive within and across full blocks.
// `consumed` tells the producer how far this receiver has got, so that it never laps it.
ReceiverStats receive(OndaraReceiver* rx, std::size_t block, const std::atomic<bool>& producing,
                      std::atomic<std::uint64_t>& consumed) {
    ReceiverStats stats;
    std::vector<float> left(block), right(block);
    const OndaraOutputBus bus{left.data(), right.data(), block};
    std::int64_t last = -1;
    bool after_short = false;
    int idle = 0;
    while (idle < 200) {
        OndaraProcessResult res{};
        ondara_receiver_process(rx, &bus, 1, block, &res);
        stats.frames += res.ring_frames;
        consumed = stats.frames;
        if (res.ring_frames == 0) {
            if (!producing.load()) ++idle;
            std::this_thread::yield();
        }
        // Fades scale the first frames after a gap and the last ones before it; full blocks that
        // follow a full block are at unity gain and must be the ramp exactly.
        if (res.ring_frames == res.rendered_frames && res.rendered_frames > 0 && !after_short) {
            const auto first = static_cast<std::int64_t>(left[0] / 8.0f);
            if (last >= 0 && first != last + 1) ++stats.failures;
            for (std::size_t i = 0; i < res.rendered_frames; ++i) {
                const std::uint64_t f = static_cast<std::uint64_t>(first) + i;
                if (left[i] != ramp(f, 0) || right[i] != ramp(f, 1)) ++stats.failures;
            }
            last = first + static_cast<std::int64_t>(res.rendered_frames) - 1;
        } else {
            last = static_cast<std::int64_t>(stats.frames) - 1;  // frames so far are 0 .. frames - 1
        }
        after_short = res.ring_frames < res.rendered_frames;
    }
    return stats;
}

TEST(Threads, TwoReceiversFollowOneProducer) {
    const std::u16string name = unique_name("ring");
    constexpr std::uint32_t kCapacity = 4096;
    TestRing ring(name, 2, kCapacity);
    ASSERT_TRUE(ring.ok());
    constexpr std::uint64_t kTotal = 150'000;
    constexpr std::size_t kBlocks[2] = {64, 333};
    OndaraReceiver* rx[2] = {};
    for (int i = 0; i < 2; ++i) ASSERT_EQ(ondara_receiver_open(units(name), name.size(), kBlocks[i], 0, &rx[i]), ONDARA_OK);
    std::atomic<bool> producing{true};
    std::atomic<bool> read_pos_fell{false};
    std::atomic<std::uint64_t> consumed[2] = {0, 0};

    std::thread producer([&] {
        for (std::uint64_t f = 0; f < kTotal;) {
            const std::uint64_t n = std::min<std::uint64_t>(96, kTotal - f);
            // Never overwrite a frame that a receiver has not taken yet.
            while (f + n > std::min(consumed[0].load(), consumed[1].load()) + kCapacity) std::this_thread::yield();
            for (std::uint64_t i = f; i < f + n; ++i) {
                ring.data[(i % kCapacity) * 2] = ramp(i, 0);
                ring.data[(i % kCapacity) * 2 + 1] = ramp(i, 1);
            }
            f += n;
            store_shared(&ring.header->write_pos, f);  // samples first, then the counter
            std::this_thread::sleep_for(100us);
        }
        producing = false;
    });
    std::thread watcher([&] {
        std::uint64_t seen = 0;
        while (producing.load()) {
            const std::uint64_t now = load_shared(&ring.header->read_pos);
            if (now < seen) read_pos_fell = true;
            seen = now;
            std::this_thread::yield();
        }
    });
    ReceiverStats a, b;
    std::thread ra([&] { a = receive(rx[0], kBlocks[0], producing, consumed[0]); });
    std::thread rb([&] { b = receive(rx[1], kBlocks[1], producing, consumed[1]); });
    producer.join();
    watcher.join();
    ra.join();
    rb.join();
    ondara_receiver_free(rx[0]);
    ondara_receiver_free(rx[1]);

    EXPECT_EQ(a.failures, 0u);
    EXPECT_EQ(b.failures, 0u);
    EXPECT_EQ(a.frames, kTotal);  // nothing lost, nothing twice
    EXPECT_EQ(b.frames, kTotal);
    EXPECT_FALSE(read_pos_fell.load());
    EXPECT_EQ(load_shared(&ring.header->read_pos), kTotal);
}

TEST(Threads, ConcurrentMicOpensGetDistinctTokens) {
    constexpr int kThreads = 4, kOpens = 25;
    std::vector<std::vector<std::uint64_t>> tokens(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kOpens; ++i) {
                const std::u16string name = unique_name(("mic" + std::to_string(t) + "-" + std::to_string(i)).c_str());
                OndaraMicPublisher* m = nullptr;
                if (ondara_mic_open(units(name), name.size(), &m) != ONDARA_OK) continue;
                ondara_mic_publish(m, -1.0f, -2.0f);
                // Read the token back through a second mapping of the same block.
                const std::u16string z = name + u'\0';
                const platform::Handle h = platform::open_mapping(z.c_str());
                if (h != platform::kNoHandle) {
                    if (void* v = platform::map_view(h, sizeof(MicLevelBlock))) {
                        tokens[t].push_back(load_shared(&static_cast<MicLevelBlock*>(v)->writer_token));
                        platform::unmap_view(v, sizeof(MicLevelBlock));
                    }
                    platform::close_mapping(h);
                }
                ondara_mic_free(m);
#ifndef _WIN32
                const std::string n = "/" + std::string(name.begin(), name.end());
                shm_unlink(n.c_str());
#endif
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::uint64_t> all;
    std::size_t count = 0;
    for (const auto& v : tokens) {
        count += v.size();
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(count, std::size_t{kThreads * kOpens});
    EXPECT_EQ(all.size(), count);
    for (std::uint64_t t : all) EXPECT_EQ(t >> 32, platform::current_process_id());
}

TEST(Threads, PublishersAndModeHandlesOnSharedBlocks) {
    const std::u16string mic = unique_name("mic-shared"), mode = unique_name("mode-shared");
    OndaraMicPublisher* p[2] = {};
    OndaraModeControl* c[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ondara_mic_open(units(mic), mic.size(), &p[i]), ONDARA_OK);
        ASSERT_EQ(ondara_mode_open(units(mode), mode.size(), &c[i]), ONDARA_OK);
    }
    std::atomic<bool> bad{false};
    auto publisher = [&](int i) {
        for (int n = 0; n < 400; ++n) {
            if (ondara_mic_publish(p[i], static_cast<float>(-n % 120), -3.0f) != ONDARA_OK) bad = true;
        }
    };
    auto requester = [&] {
        for (int n = 0; n < 400; ++n) {
            if (ondara_mode_request(c[0], n % 4) != ONDARA_OK) bad = true;
        }
    };
    auto reader = [&] {
        float volumes[4];
        for (int n = 0; n < 400; ++n) {
            const std::int32_t applied = ondara_mode_applied(c[1]);
            if (applied < -1 || applied > 3) bad = true;
            if (ondara_mode_mixer_volumes(c[1], volumes) != ONDARA_OK) bad = true;
            if (ondara_mode_vst3_bridge_active(c[1]) > 1) bad = true;
        }
    };
    std::thread t1(publisher, 0), t2(publisher, 1), t3(requester), t4(reader);
    t1.join();
    t2.join();
    t3.join();
    t4.join();
    EXPECT_FALSE(bad.load());
    for (int i = 0; i < 2; ++i) {
        ondara_mic_free(p[i]);
        ondara_mode_free(c[i]);
    }
#ifndef _WIN32
    for (const auto& n : {mic, mode}) shm_unlink(("/" + std::string(n.begin(), n.end())).c_str());
#endif
}

}  // namespace
}  // namespace ondara
