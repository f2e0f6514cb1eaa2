// Handles used from several threads at once over real shared memory: a producer thread plays the
// companion while receivers, publishers and mode handles run concurrently, one thread per handle.
// Built into a plain binary and, in CI, under ThreadSanitizer, where only the deliberately
// unsynchronised shared-segment accesses are exempt (tsan.supp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ondara.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "protocol/mic_block.h"
#include "protocol/ring.h"
#include "protocol/ring_producer.h"
#include "protocol/shared_access.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#else
#include <process.h>
#include <windows.h>
#endif

namespace ondara {
namespace {

using namespace std::chrono_literals;

std::u16string unique_name(const char* what) {
    const std::string s = std::string("ondara-thr-") + what + "-" + std::to_string(platform::current_process_id());
    return std::u16string(s.begin(), s.end());
}

const std::uint16_t* units(const std::u16string& s) { return reinterpret_cast<const std::uint16_t*>(s.data()); }

// A ring this test creates and removes, as the companion would, with the companion's own producer.
class TestRing {
public:
    TestRing(const std::u16string& name, std::uint32_t channels, std::uint32_t capacity) {
        RingProducer::Error error;
        producer_ = RingProducer::create(std::string(name.begin(), name.end()), RingFormat{48000, channels, capacity},
                                         error);
        if (!producer_) return;
        producer_->remove_name_on_release();
        header = producer_->writer().header();
        data = producer_->writer().data();
    }
    bool ok() const { return producer_.has_value(); }
    RingWriter& writer() { return producer_->writer(); }

    RingHeader* header = nullptr;
    float* data = nullptr;

private:
    std::optional<RingProducer> producer_;
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
    bool after_short = true;  // nothing came before: the first audio fades in, as after a gap
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
            RingWriter& w = ring.writer();
            for (std::uint64_t i = f; i < f + n; ++i) {
                w.slot(i)[0] = ramp(i, 0);
                w.slot(i)[1] = ramp(i, 1);
            }
            f += n;
            w.publish(f);  // samples first, then the counter
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

// A channel buffer whose last sample is the last one before an inaccessible page, so that a single
// sample written past its end faults at once; the bytes in front of it in its page are a known pattern
// that is checked afterwards.
class GuardedChannel {
public:
    explicit GuardedChannel(std::size_t samples) : samples_(samples) {
        const std::size_t page = page_size();
        span_ = (samples * sizeof(float) + page - 1) / page * page;
#ifndef _WIN32
        void* p = mmap(nullptr, span_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
        if (base_ != nullptr && mprotect(base_ + span_, page, PROT_NONE) != 0) release();
#else
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, span_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (base_ != nullptr && !VirtualProtect(base_ + span_, page, PAGE_NOACCESS, &old)) release();
#endif
        if (base_ != nullptr) std::memset(base_, 0xA5, span_);
    }
    ~GuardedChannel() { release(); }
    GuardedChannel(const GuardedChannel&) = delete;
    GuardedChannel& operator=(const GuardedChannel&) = delete;

    bool ok() const { return base_ != nullptr; }
    float* data() const { return reinterpret_cast<float*>(base_ + span_ - samples_ * sizeof(float)); }
    // Nothing in front of the buffer was written.
    bool front_intact() const {
        const auto* end = reinterpret_cast<const unsigned char*>(data());
        for (const unsigned char* b = base_; b < end; ++b) {
            if (*b != 0xA5) return false;
        }
        return true;
    }

private:
    static std::size_t page_size() {
#ifndef _WIN32
        return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#else
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
#endif
    }
    void release() {
        if (base_ == nullptr) return;
#ifndef _WIN32
        munmap(base_, span_ + page_size());
#else
        VirtualFree(base_, 0, MEM_RELEASE);
#endif
        base_ = nullptr;
    }

    std::size_t samples_;
    std::size_t span_ = 0;
    unsigned char* base_ = nullptr;
};

// A companion gone wrong: threads rewrite the ring's geometry and counters without pause while blocks
// are rendered. Whatever the header says at any moment, every block stays inside its buses (which end
// at an inaccessible page) and inside the mapping, and its report adds up.
TEST(Threads, RingRewrittenDuringBlocksNeverEscapesTheBuses) {
    const std::u16string name = unique_name("hostile");
    constexpr std::uint32_t kCapacity = 4096;
    TestRing ring(name, 6, kCapacity);
    ASSERT_TRUE(ring.ok());
    for (std::size_t i = 0; i < std::size_t{6} * kCapacity; ++i) ring.data[i] = static_cast<float>(i % 977) * 0.001f;
    store_shared(&ring.header->write_pos, std::uint64_t{100'000});

    constexpr std::size_t kBlock = 256;
    OndaraReceiver* rx[2] = {};
    ASSERT_EQ(ondara_receiver_open(units(name), name.size(), kBlock, 1, &rx[0]), ONDARA_OK);
    store_shared(&ring.header->channels, std::uint32_t{1});
    ASSERT_EQ(ondara_receiver_open(units(name), name.size(), kBlock, 0, &rx[1]), ONDARA_OK);  // 1 channel at open

    std::vector<std::unique_ptr<GuardedChannel>> channels;
    OndaraOutputBus buses[3];
    for (auto& bus : buses) {
        channels.push_back(std::make_unique<GuardedChannel>(kBlock));
        channels.push_back(std::make_unique<GuardedChannel>(kBlock));
        ASSERT_TRUE(channels[channels.size() - 2]->ok() && channels.back()->ok());
        bus = {channels[channels.size() - 2]->data(), channels.back()->data(), kBlock};
    }

    std::atomic<bool> running{true};
    std::vector<std::thread> writers;
    writers.emplace_back([&] {
        const std::uint32_t values[] = {6, 1, 6, 1, 2, 1, 6, 3, 0, 7, 5, 1, 4, 0xFFFFFFFF};
        for (std::size_t i = 0; running.load(std::memory_order_relaxed); ++i) {
            store_shared(&ring.header->channels, values[i % std::size(values)]);
        }
    });
    writers.emplace_back([&] {
        const std::uint32_t values[] = {kCapacity, 1, 7, kCapacity + 1, 0, 300, 0xFFFFFFFF, kCapacity / 2};
        for (std::size_t i = 0; running.load(std::memory_order_relaxed); ++i) {
            store_shared(&ring.header->capacity_frames, values[i % std::size(values)]);
        }
    });
    writers.emplace_back([&] {
        // A few blocks ahead of the readers, far ahead, behind them, and back to the start.
        for (std::uint64_t i = 0; running.load(std::memory_order_relaxed); ++i) {
            const std::uint64_t read = load_shared(&ring.header->read_pos);
            const std::uint64_t values[] = {read + 3 * kBlock, read + 3 * kBlock, read + 3 * kBlock, read + 1,
                                            read + 50'000, read / 2, 0, ~std::uint64_t{0}};
            store_shared(&ring.header->write_pos, values[i % std::size(values)]);
        }
    });
    writers.emplace_back([&] {
        for (std::uint64_t i = 0; running.load(std::memory_order_relaxed); ++i) {
            store_shared(&ring.header->read_pos, i % 3 == 0 ? ~std::uint64_t{0} : i % 1000);
        }
    });

    std::uint64_t blocks = 0, bad = 0;
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        for (OndaraReceiver* r : rx) {
            OndaraProcessResult res{};
            const std::size_t count = 1 + blocks % 3;
            if (ondara_receiver_process(r, buses, count, kBlock, &res) != ONDARA_OK) ++bad;
            if (res.ring_frames > res.rendered_frames || res.rendered_frames > kBlock) ++bad;
            if (res.requested_frames != kBlock || res.bus_count != count) ++bad;
            // A block refused as a whole (unusable channel count) reports every requested frame silent.
            const bool refused = res.rendered_frames == 0 && res.silent_frames == kBlock;
            if (res.silent_frames != res.rendered_frames - res.ring_frames && !refused) ++bad;
            ++blocks;
        }
    }
    running = false;
    for (auto& w : writers) w.join();
    ondara_receiver_free(rx[0]);
    ondara_receiver_free(rx[1]);
    EXPECT_EQ(bad, 0u) << "of " << blocks << " blocks";
    for (const auto& c : channels) EXPECT_TRUE(c->front_intact());
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
                const std::string n = std::string("/").append(name.begin(), name.end());
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
    for (const auto& n : {mic, mode}) shm_unlink(std::string("/").append(n.begin(), n.end()).c_str());
#endif
}

}  // namespace
}  // namespace ondara
