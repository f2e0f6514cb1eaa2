// The receiver's open checks and its block rendering, through the exported functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "render/render.h"
#include "test_util.h"

namespace ondara {
namespace {

using test::FakeRing;
using test::sample_of;
using test::u16;
using test::units;

constexpr float kSentinel = -7.0f;
constexpr Deinterleave ChannelKernels::*kSlots[] = {&ChannelKernels::all, &ChannelKernels::pair, &ChannelKernels::lone,
                                                    &ChannelKernels::two};

struct Bus {
    std::vector<float> left, right;
    // A bus of length 0 still has valid pointers: only null pointers are refused.
    explicit Bus(std::size_t n = 0) : left(n + 1, kSentinel), right(n + 1, kSentinel) {}
    OutputBus view() { return {left.data(), right.data(), left.size() - 1}; }
};

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        ondara_receiver_free(handle);
        EXPECT_EQ(fake::live_handles(), 0u);
        EXPECT_EQ(fake::live_views(), 0u);
    }

    // `prefill` frames are in the ring before the receiver opens, so it starts up to 1024 behind.
    void open(std::uint32_t channels, std::size_t max_frames = 4096, bool multi_bus = false,
              std::uint32_t capacity = 4096, std::uint64_t prefill = 0) {
        ring = FakeRing::add(u"ring", channels, capacity);
        produce(prefill);
        const std::u16string name = u16("ring");
        ASSERT_EQ(ondara_receiver_open(units(name), name.size(), max_frames, multi_bus, &handle), ONDARA_OK);
        if (isa_ != nullptr) internals().kernels = select_render_kernels(*isa_);
    }

    Receiver& internals() { return *reinterpret_cast<Receiver*>(handle); }


    // As open, for a receiver that has been playing for a while: no fade-in owed, so that its next
    // block shows the ring's samples as they are.
    void open_playing(std::uint32_t channels, std::size_t max_frames = 4096, bool multi_bus = false,
                      std::uint32_t capacity = 4096, std::uint64_t prefill = 0) {
        open(channels, max_frames, multi_bus, capacity, prefill);
        internals().fade_in_pending = false;
    }

    OndaraProcessResult process(std::vector<Bus>& buses, std::size_t frames, std::size_t bus_count = SIZE_MAX) {
        std::vector<OutputBus> views;
        for (Bus& b : buses) views.push_back(b.view());
        OndaraProcessResult res{};
        const std::size_t count = bus_count == SIZE_MAX ? views.size() : bus_count;
        EXPECT_EQ(ondara_receiver_process(handle, views.data(), count, frames, &res), ONDARA_OK);
        return res;
    }

    // Produces `n` more frames of the known pattern.
    void produce(std::uint64_t n) { ring.produce(ring.header->write_pos, ring.header->write_pos + n, sample_of); }

    FakeRing ring{};
    OndaraReceiver* handle = nullptr;
    const RenderIsa* isa_ = nullptr;  // the set of kernels the receiver is held to, else its own
};

// The rendering tests, once for every set of kernels this CPU runs.
class ReceiverKernelsTest : public ReceiverTest, public ::testing::WithParamInterface<RenderIsa> {
protected:
    void SetUp() override {
        ReceiverTest::SetUp();
        isa_ = &GetParam();
    }
};

std::vector<RenderIsa> isas_this_cpu_runs() {
    std::vector<RenderIsa> all{RenderIsa::Plain};
    while (all.back() < cpu_render_isa()) all.push_back(static_cast<RenderIsa>(static_cast<int>(all.back()) + 1));
    return all;
}
INSTANTIATE_TEST_SUITE_P(EverySet, ReceiverKernelsTest, ::testing::ValuesIn(isas_this_cpu_runs()));

void expect_report(const OndaraProcessResult& r, std::uint64_t requested, std::uint64_t rendered,
                   std::uint64_t from_ring, std::uint64_t silent) {
    EXPECT_EQ(r.requested_frames, requested);
    EXPECT_EQ(r.rendered_frames, rendered);
    EXPECT_EQ(r.ring_frames, from_ring);
    EXPECT_EQ(r.silent_frames, silent);
    EXPECT_EQ(r.reserved, 0u);
}

TEST_F(ReceiverTest, OpenChecksArgumentsInOrder) {
    FakeRing::add(u"ring", 2, 64);
    const std::u16string name = u16("ring");
    const std::u16string bad = {0xDC00};
    EXPECT_EQ(ondara_receiver_open(nullptr, 0, 0, 0, nullptr), ONDARA_NULL_POINTER);
    OndaraReceiver* out = reinterpret_cast<OndaraReceiver*>(&out);
    EXPECT_EQ(ondara_receiver_open(units(name), 0, 64, 0, &out), ONDARA_INVALID_ARGUMENT);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<OndaraReceiver*>(&out);
    EXPECT_EQ(ondara_receiver_open(nullptr, 4, 64, 0, &out), ONDARA_INVALID_ARGUMENT);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ondara_receiver_open(units(name), name.size(), 0, 0, &out), ONDARA_INVALID_ARGUMENT);
    EXPECT_EQ(ondara_receiver_open(units(bad), bad.size(), 64, 0, &out), ONDARA_INVALID_ARGUMENT);
    const std::u16string missing = u16("missing");
    out = reinterpret_cast<OndaraReceiver*>(&out);
    EXPECT_EQ(ondara_receiver_open(units(missing), missing.size(), 64, 0, &out), ONDARA_OPEN_BRIDGE_FAILED);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(fake::calls(fake::Op::Create), 0u);
}

TEST_F(ReceiverTest, RejectedHeaderIsOpenBridgeFailed) {
    FakeRing r = FakeRing::add(u"ring", 2, 64);
    r.header->version = 2;
    const std::u16string name = u16("ring");
    OndaraReceiver* out = nullptr;
    EXPECT_EQ(ondara_receiver_open(units(name), name.size(), 64, 0, &out), ONDARA_OPEN_BRIDGE_FAILED);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ReceiverTest, ChannelCountChangedDuringOpenIsPrepareFailed) {
    FakeRing::add(u"ring", 2, 64);
    int maps = 0;
    fake::on_map([&](void* view) {
        if (++maps == 2) static_cast<RingHeader*>(view)->channels = 7;  // after the probe passed
    });
    const std::u16string name = u16("ring");
    OndaraReceiver* out = reinterpret_cast<OndaraReceiver*>(&out);
    EXPECT_EQ(ondara_receiver_open(units(name), name.size(), 64, 0, &out), ONDARA_PREPARE_FAILED);
    EXPECT_EQ(out, nullptr);
    fake::on_map(nullptr);
}

TEST_F(ReceiverTest, FreshHandleState) {
    open(6, 1);
    EXPECT_EQ(internals().sample_limit, 6u);
    EXPECT_EQ(internals().max_frames, 1u);
    EXPECT_TRUE(internals().fade_in_pending);  // silence lies behind a new receiver
    ondara_receiver_free(nullptr);
}

// The receiver keeps the kernels of the best set this CPU runs, and a limit takes each slot from the
// best set up to it that has one: every path gives the same samples, so only this tells that the fast
// ones are in use.
TEST_F(ReceiverTest, KeepsTheBestKernelsThisCpuRuns) {
    open(2);
#if defined(__GNUC__)
    EXPECT_EQ(cpu_render_isa() == RenderIsa::Avx, __builtin_cpu_supports("avx") != 0);
#endif
    const RenderKernels* sets[] = {&kPlainKernels, &kSse2Kernels, &kAvxKernels};
    const RenderKernels best = select_render_kernels(cpu_render_isa());
    for (RenderIsa isa : {RenderIsa::Plain, RenderIsa::Sse2, RenderIsa::Avx}) {
        const RenderKernels k = select_render_kernels(isa);
        for (std::size_t ch = 1; ch <= kMaxRingChannels; ++ch) {
            for (Deinterleave ChannelKernels::*slot : kSlots) {
                Deinterleave want = nullptr;
                for (int s = static_cast<int>(isa); s >= 0 && want == nullptr; --s) want = (*sets[s])[ch].*slot;
                EXPECT_EQ(k[ch].*slot, want) << static_cast<int>(isa) << ", " << ch << " channels";
                EXPECT_EQ(internals().kernels[ch].*slot, best[ch].*slot) << ch;
            }
            EXPECT_EQ(k[ch].pair != nullptr, ch >= 2) << ch;
            EXPECT_EQ(k[ch].lone != nullptr, ch % 2 == 1) << ch;
            EXPECT_EQ(k[ch].two != nullptr, ch >= 5) << ch;
        }
    }
}

// Every vector kernel beside the plain loop of its slot, called directly: each length to 40 frames and
// a few long ones, the source and every buffer at each of 8 float offsets from a 32-byte boundary (all
// buffers at one offset, or each at its own), and a bus's two buffers apart or as one. Bit for bit the
// same, and nothing written outside the buffers.
TEST(RenderKernels, EveryVectorKernelMatchesThePlainLoop) {
    constexpr std::size_t kGuard = 8, kRegion = 1100;  // floats per buffer: guards, offset, 1000 frames
    std::vector<float> ring(kMaxRingChannels * 1000 + 16);
    for (std::size_t i = 0; i < ring.size(); ++i) ring[i] = static_cast<float>(i) + 0.25f;  // all exact
    std::vector<float> mine(6 * kRegion + 8, kSentinel), plain(mine);
    auto at = [](std::vector<float>& v, std::size_t offset) {  // `offset` floats past a 32-byte boundary
        return v.data() + (32 - reinterpret_cast<std::uintptr_t>(v.data()) % 32) % 32 / sizeof(float) + offset;
    };
    std::vector<std::size_t> lengths{64, 257, 1000};
    for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    auto check = [&](Deinterleave kernel, Deinterleave reference, std::size_t outputs, bool one_buffer,
                     std::size_t channel, std::size_t ch, std::size_t n, std::size_t source, std::size_t pattern) {
        float* a[6];
        float* b[6];
        for (std::size_t c = 0; c < outputs; ++c) {
            const std::size_t region = one_buffer ? 0 : c, offset = (pattern + (pattern < 8 ? 0 : 3 * region)) % 8;
            a[c] = at(mine, region * kRegion + kGuard + offset);
            b[c] = at(plain, region * kRegion + kGuard + offset);
        }
        kernel(at(ring, source) + channel, n, a);
        reference(at(ring, source) + channel, n, b);
        for (std::size_t c = 0; c < outputs; ++c) {
            if (std::memcmp(a[c] - kGuard, b[c] - kGuard, (n + 2 * kGuard) * sizeof(float)) != 0) {
                return testing::AssertionFailure() << ch << " channels from channel " << channel << ", " << n
                                                   << " frames, source at " << source << ", buffers at pattern "
                                                   << pattern << (one_buffer ? ", one buffer" : "")
                                                   << ": buffer " << c << " differs";
            }
        }
        for (std::size_t c = 0; c < outputs; ++c) std::fill_n(a[c], n, kSentinel), std::fill_n(b[c], n, kSentinel);
        return testing::AssertionSuccess();
    };
    for (RenderIsa isa : {RenderIsa::Sse2, RenderIsa::Avx}) {
        if (isa > cpu_render_isa()) continue;
        const RenderKernels& set = isa == RenderIsa::Sse2 ? kSse2Kernels : kAvxKernels;
        for (std::size_t ch = 1; ch <= kMaxRingChannels; ++ch) {
            for (std::size_t s = 0; s < std::size(kSlots); ++s) {
                const Deinterleave kernel = set[ch].*kSlots[s];
                if (kernel == nullptr) continue;
                SCOPED_TRACE(testing::Message() << "set " << static_cast<int>(isa) << ", slot " << s);
                const bool one_pass = s == 0 || s == 3;  // over buses whose buffers stand apart
                const std::size_t outputs = s == 0 ? 2 * ((ch + 1) / 2) : s == 3 ? 4 : 2;
                for (std::size_t channel = s == 2 ? ch - 1 : 0; channel + (s == 1 ? 1 : 0) < ch; channel += 2) {
                    for (bool one_buffer : {false, true}) {
                        if (one_buffer && one_pass) continue;
                        for (std::size_t n : lengths) {
                            for (std::size_t source = 0; source < 8; ++source) {
                                for (std::size_t pattern = 0; pattern < 16; ++pattern) {
                                    ASSERT_TRUE(check(kernel, kPlainKernels[ch].*kSlots[s], outputs, one_buffer,
                                                      channel, ch, n, source, pattern));
                                }
                            }
                        }
                    }
                    if (one_pass) break;
                }
            }
        }
    }
}

TEST_F(ReceiverTest, ProcessChecksPointersBeforeTouchingAnything) {
    open_playing(2);
    produce(100);
    std::vector<Bus> buses{Bus(64), Bus(64), Bus(64)};
    std::vector<OutputBus> views{buses[0].view(), buses[1].view(), buses[2].view()};
    views[2].right = nullptr;
    OndaraProcessResult res{};
    res.reserved = 99;
    EXPECT_EQ(ondara_receiver_process(nullptr, views.data(), 1, 64, &res), ONDARA_NULL_POINTER);
    EXPECT_EQ(ondara_receiver_process(handle, nullptr, 1, 64, &res), ONDARA_NULL_POINTER);
    EXPECT_EQ(ondara_receiver_process(handle, views.data(), 3, 64, &res), ONDARA_NULL_POINTER);
    EXPECT_EQ(res.reserved, 99u);
    EXPECT_EQ(buses[0].left[0], kSentinel);
    EXPECT_EQ(ring.header->read_pos, 0u);
    // With two buses in use the broken third one is never looked at.
    EXPECT_EQ(ondara_receiver_process(handle, views.data(), 2, 64, nullptr), ONDARA_OK);
    EXPECT_EQ(buses[0].left[0], sample_of(0, 0));
}

TEST_F(ReceiverTest, NoBusesStillReadsTheRing) {
    open(2, 4096, false, 4096, 3000);
    OndaraProcessResult res{};
    EXPECT_EQ(ondara_receiver_process(handle, nullptr, 0, 256, &res), ONDARA_OK);
    expect_report(res, 256, 0, 0, 0);
    EXPECT_EQ(res.bus_count, 0u);
    EXPECT_EQ(res.channels, 2u);
    EXPECT_EQ(res.sample_rate, 48000u);
    EXPECT_EQ(ring.header->read_pos, 3000u - 1024u);  // the cursor was published
    EXPECT_EQ(ring.header->backlog_frames, 1024u);
}

// Before a new receiver there was silence (or another ring), so its first ring frames fade in like
// audio coming back after a gap: a ring that is already full would otherwise start with a click.
TEST_F(ReceiverTest, FirstBlockOnAFullRingFadesIn) {
    open(2, 4096, false, 4096, 2000);
    std::vector<Bus> buses{Bus(256)};
    const auto res = process(buses, 256);
    expect_report(res, 256, 256, 256, 0);
    for (std::size_t i = 0; i < 256; ++i) {
        const float gain = i < 32 ? static_cast<float>(i + 1) / 32.0f : 1.0f;
        ASSERT_EQ(buses[0].left[i], sample_of(976 + i, 0) * gain) << i;
        ASSERT_EQ(buses[0].right[i], sample_of(976 + i, 1) * gain) << i;
    }
    EXPECT_FALSE(internals().fade_in_pending);
}

TEST_F(ReceiverTest, UnderrunFadesOutThenTheReturnFadesIn) {
    open_playing(2);
    produce(10);
    std::vector<Bus> buses{Bus(64)};
    auto res = process(buses, 64);
    expect_report(res, 64, 64, 10, 54);
    for (std::size_t i = 0; i < 10; ++i) {
        const float gain = static_cast<float>(9 - i) / 10.0f;
        ASSERT_EQ(buses[0].left[i], sample_of(i, 0) * gain) << i;
        ASSERT_EQ(buses[0].right[i], sample_of(i, 1) * gain) << i;
    }
    EXPECT_EQ(buses[0].left[9], 0.0f);
    for (std::size_t i = 10; i < 64; ++i) ASSERT_EQ(buses[0].left[i], 0.0f);
    EXPECT_TRUE(internals().fade_in_pending);

    produce(64);
    res = process(buses, 64);
    expect_report(res, 64, 64, 64, 0);
    for (std::size_t i = 0; i < 64; ++i) {
        const float gain = i < 32 ? static_cast<float>(i + 1) / 32.0f : 1.0f;
        ASSERT_EQ(buses[0].left[i], sample_of(10 + i, 0) * gain) << i;
    }
    EXPECT_EQ(buses[0].left[31], sample_of(41, 0));
    EXPECT_FALSE(internals().fade_in_pending);
}

TEST_F(ReceiverTest, ShortBlockAfterAnEmptyOneFadesBothWays) {
    open(1);
    std::vector<Bus> buses{Bus(16)};
    auto res = process(buses, 16);
    expect_report(res, 16, 16, 0, 16);
    EXPECT_TRUE(internals().fade_in_pending);
    produce(5);
    res = process(buses, 16);
    expect_report(res, 16, 16, 5, 11);
    for (std::size_t i = 0; i < 5; ++i) {
        const float in = static_cast<float>(i + 1) / 5.0f;
        const float out = static_cast<float>(4 - i) / 5.0f;
        ASSERT_EQ(buses[0].left[i], sample_of(i, 0) * in * out) << i;
        ASSERT_EQ(buses[0].right[i], buses[0].left[i]);
    }
    EXPECT_TRUE(internals().fade_in_pending);
}

// With 10 ring frames the two gains multiply to a different last bit in one order than in the other:
// the fade-in is applied first.
TEST_F(ReceiverTest, OverlappingFadesApplyTheFadeInFirst) {
    open(1);
    std::vector<Bus> buses{Bus(32)};
    process(buses, 32);
    ring.produce(0, 10, [](std::uint64_t f, std::uint32_t) { return 0.7f + 0.1f * static_cast<float>(f); });
    expect_report(process(buses, 32), 32, 32, 10, 22);
    bool orders_differ = false;
    for (std::size_t i = 0; i < 10; ++i) {
        const float x = ring.data[i];
        const float in = static_cast<float>(i + 1) / 10.0f;
        const float out = static_cast<float>(9 - i) / 10.0f;
        ASSERT_EQ(buses[0].left[i], x * in * out) << i;
        orders_differ = orders_differ || x * in * out != x * out * in;
    }
    EXPECT_TRUE(orders_differ);  // otherwise this block could not tell the orders apart
}

// The companion may rewrite a slot as soon as read_pos has passed it, so the block's frames must be
// out of the ring before read_pos is raised: here the companion overwrites the whole ring the moment
// read_pos is touched, in a full block and in a short one.
TEST_F(ReceiverTest, FramesAreTakenBeforeReadPosIsRaised) {
    for (std::uint32_t ch : {2u, 6u}) {
        SCOPED_TRACE(ch);
        ondara_receiver_free(handle);
        handle = nullptr;
        fake::reset();
        open_playing(ch, 64, true);
        fake::on_shared_access([&](const volatile void* field) {
            if (field == &ring.header->read_pos) std::fill_n(ring.data, std::size_t{ch} * 4096, -1.0f);
        });
        std::vector<Bus> buses{Bus(64), Bus(64), Bus(64)};
        produce(64);
        expect_report(process(buses, 64), 64, 64, 64, 0);
        for (std::size_t i = 0; i < 64; ++i) {
            ASSERT_EQ(buses[0].left[i], sample_of(i, 0)) << i;
            ASSERT_EQ(buses[2].right[i], ch == 6 ? sample_of(i, 5) : 0.0f) << i;
        }
        produce(10);
        expect_report(process(buses, 64), 64, 64, 10, 54);
        for (std::size_t i = 0; i < 10; ++i) {
            ASSERT_EQ(buses[0].right[i], sample_of(64 + i, 1) * (static_cast<float>(9 - i) / 10.0f)) << i;
        }
        fake::on_shared_access(nullptr);
    }
}

// Blocks of no frames (frames 0, a bus of length 0, no bus at all) say nothing about the audio: a
// fade-in owed after a gap is still owed when the audio returns, and none is made up when none is owed.
TEST_F(ReceiverTest, EmptyRenderKeepsThePendingFadeIn) {
    open(2);
    std::vector<Bus> buses{Bus(32)}, empty{Bus(0)};
    for (bool pending : {true, false}) {
        SCOPED_TRACE(pending);
        internals().fade_in_pending = pending;
        process(buses, 0);
        EXPECT_EQ(internals().fade_in_pending, pending);
        expect_report(process(empty, 32), 32, 0, 0, 0);
        EXPECT_EQ(internals().fade_in_pending, pending);
        EXPECT_EQ(ondara_receiver_process(handle, nullptr, 0, 32, nullptr), ONDARA_OK);
        EXPECT_EQ(internals().fade_in_pending, pending);
    }
    internals().fade_in_pending = true;
    process(buses, 0);
    produce(32);
    process(buses, 32);
    EXPECT_EQ(buses[0].left[0], sample_of(0, 0) / 32.0f);  // faded in after all
    EXPECT_FALSE(internals().fade_in_pending);
}

// Bus k of a multi-bus receiver gets ring channels 2k and 2k+1; a lone last channel feeds both sides.
// The vector kernels pick their stores by where each buffer starts against a 32-byte boundary, so
// the buffers are placed at every kind of start, with blocks that run the vector steps, the
// four-frame steps and the frame-by-frame tail in each combination (17: one frame after the widest
// step), and on a ring whose end the block crosses after 20 frames, so that a second span follows.
TEST_P(ReceiverKernelsTest, RoutingForEveryChannelCount) {
    // Start of each of the six channel buffers, in floats past a 32-byte boundary.
    const std::array<std::array<std::size_t, 6>, 6> starts = {{{0, 0, 0, 0, 0, 0},
                                                               {4, 4, 4, 4, 4, 4},
                                                               {0, 4, 0, 4, 0, 4},
                                                               {4, 0, 4, 0, 4, 0},
                                                               {1, 1, 3, 3, 2, 2},
                                                               {4, 1, 0, 4, 4, 4}}};
    constexpr std::size_t kStride = 256;  // floats from one buffer's boundary to the next
    auto block = [&](std::uint32_t ch, bool multi, std::size_t used, const std::array<std::size_t, 6>& start,
                     std::size_t n, std::uint32_t capacity) {
        ondara_receiver_free(handle);
        handle = nullptr;
        fake::reset();
        open_playing(ch, 128, multi, capacity, 2000);
        std::vector<float> memory(7 * kStride, kSentinel);
        const auto misalign = reinterpret_cast<std::uintptr_t>(memory.data()) % 32 / sizeof(float);
        float* const base = memory.data() + 8 + (8 - misalign) % 8;
        float* channel[6];
        for (std::size_t c = 0; c < 6; ++c) channel[c] = base + c * kStride + start[c];
        const OutputBus views[3] = {{channel[0], channel[1], n}, {channel[2], channel[3], n}, {channel[4], channel[5], n}};
        OndaraProcessResult res{};
        ASSERT_EQ(ondara_receiver_process(handle, views, used, n, &res), ONDARA_OK);
        expect_report(res, n, n, n, 0);
        EXPECT_EQ(res.bus_count, used);
        const std::uint64_t first = 2000 - std::min<std::uint64_t>(capacity, kReaderStartBehind);
        for (std::size_t k = 0; k < used; ++k) {
            const bool audio = (k == 0 || multi) && 2 * k < ch;
            for (std::size_t i = 0; i < n; ++i) {
                const float l = audio ? sample_of(first + i, static_cast<std::uint32_t>(2 * k)) : 0.0f;
                const float r = audio && 2 * k + 1 < ch ? sample_of(first + i, static_cast<std::uint32_t>(2 * k + 1)) : l;
                ASSERT_EQ(channel[2 * k][i], l) << "bus " << k << " frame " << i;
                ASSERT_EQ(channel[2 * k + 1][i], r) << "bus " << k << " frame " << i;
            }
        }
        // Nothing written before or after any buffer, nor in a bus not in use.
        for (std::size_t c = 0; c < 6; ++c) {
            ASSERT_EQ(channel[c][-1], kSentinel) << "channel " << c;
            ASSERT_EQ(channel[c][c < 2 * used ? n : 0], kSentinel) << "channel " << c;
        }
    };
    // 21 frames at slot 990 of 1010 leave a second span of one frame.
    const std::size_t lengths[] = {3, 17, 21, 47, 100};
    for (std::uint32_t ch = 1; ch <= 6; ++ch) {
        // Two buses in use of a ring that feeds three take a way of their own.
        for (auto [multi, used] : {std::pair{false, std::size_t{3}}, {true, std::size_t{3}}, {true, std::size_t{2}}}) {
            for (const auto& start : starts) {
                for (std::size_t n : lengths) {
                    for (std::uint32_t capacity : {4096u, 1010u}) {  // 1010: the block starts at slot 990
                        SCOPED_TRACE(testing::Message() << ch << " channels, multi_bus " << multi << ", " << used
                                                        << " buses, " << n << " frames, capacity " << capacity
                                                        << ", first start " << start[0] << ", " << start[1]);
                        block(ch, multi, used, start, n, capacity);
                    }
                }
            }
        }
    }
}

// Hosts may hand in the same buffer twice, or buffers that overlap: the end state is that of zeroing
// every bus first, then rendering the audio bus after bus, frame by frame, left before right, whichever
// path renders it.
TEST_P(ReceiverKernelsTest, OverlappingBusBuffersEndAsBusByBusRendering) {
    const std::size_t n = 40;
    struct Layout {
        std::uint32_t channels;
        std::size_t buses;
        std::array<std::size_t, 6> offsets;  // of each channel buffer in one arena, in floats
    };
    const Layout layouts[] = {
        // Left and right of one bus are one buffer, or partly overlap; every other buffer stands apart.
        {1, 1, {0, 0}},
        {1, 1, {0, 3}},
        {3, 2, {0, 100, 200, 200}},
        {5, 3, {0, 100, 200, 300, 400, 400}},
        {5, 3, {0, 100, 200, 300, 400, 401}},
        {2, 1, {0, 2}},
        {2, 1, {0, 5}},
        {4, 2, {0, 100, 200, 202}},
        {6, 3, {0, 5, 200, 300, 400, 500}},
        // A silent bus on the buffers of an audio bus: it is zeroed first, so the audio survives.
        {2, 2, {0, 100, 100, 0}},
        {2, 3, {0, 100, 200, 300, 50, 0}},
        {4, 3, {0, 100, 200, 300, 300, 0}},
        // Overlaps across buses.
        {4, 2, {0, 100, 200, 300}},
        {4, 2, {0, 100, 0, 100}},
        {4, 2, {0, 2, 4, 6}},
        {4, 2, {0, 100, 3, 103}},
        {6, 3, {0, 100, 200, 300, 400, 500}},
        {6, 3, {0, 100, 0, 100, 200, 300}},
        {6, 3, {0, 2, 4, 6, 8, 10}},
        {6, 3, {0, 100, 3, 103, 50, 50}},
        {6, 3, {0, 100, 200, 3, 300, 400}},
        // Two buses of a ring that feeds three, which take one pass only with their buffers apart.
        {6, 2, {0, 100, 0, 100}},
        {5, 2, {0, 100, 3, 103}},
        {6, 2, {0, 2, 4, 6}},
    };
    for (const Layout& l : layouts) {
        const auto& offsets = l.offsets;
        SCOPED_TRACE(testing::Message() << l.channels << " channels, " << l.buses << " buses, offsets " << offsets[0]
                                        << ", " << offsets[1] << ", " << offsets[2] << ", " << offsets[3] << ", "
                                        << offsets[4] << ", " << offsets[5]);
        ondara_receiver_free(handle);
        handle = nullptr;
        fake::reset();
        open_playing(l.channels, 64, true, 4096, 2000);
        const std::uint64_t first = 2000 - kReaderStartBehind;
        std::vector<float> memory(700, kSentinel), expected(700, kSentinel);
        OutputBus views[3];
        for (std::size_t k = 0; k < l.buses; ++k) {
            views[k] = {memory.data() + offsets[2 * k], memory.data() + offsets[2 * k + 1], n};
            std::fill_n(expected.begin() + offsets[2 * k], n, 0.0f);
            std::fill_n(expected.begin() + offsets[2 * k + 1], n, 0.0f);
        }
        for (std::size_t k = 0; k < l.buses && 2 * k < l.channels; ++k) {
            const auto left = static_cast<std::uint32_t>(2 * k);
            const std::uint32_t right = left + 1 < l.channels ? left + 1 : left;
            for (std::size_t i = 0; i < n; ++i) {
                expected[offsets[2 * k] + i] = sample_of(first + i, left);
                expected[offsets[2 * k + 1] + i] = sample_of(first + i, right);
            }
        }
        OndaraProcessResult res{};
        ASSERT_EQ(ondara_receiver_process(handle, views, l.buses, n, &res), ONDARA_OK);
        ASSERT_EQ(res.ring_frames, n);
        EXPECT_EQ(memory, expected);
    }
}

TEST_F(ReceiverTest, MoreThanThreeBusesUsesThree) {
    open_playing(6, 64, true);
    produce(100);
    std::vector<Bus> buses{Bus(8), Bus(8), Bus(8)};
    const auto res = process(buses, 8, 5);  // a fourth descriptor is never read
    EXPECT_EQ(res.bus_count, 3u);
    EXPECT_EQ(buses[2].right[0], sample_of(0, 5));
}

TEST_F(ReceiverTest, BlockLengthLimitedByMaxFramesAndTheShortestBus) {
    open(2, 256, false, 4096, 2000);
    std::vector<Bus> buses{Bus(512)};
    auto res = process(buses, 512);
    expect_report(res, 512, 256, 256, 0);
    for (std::size_t i = 256; i < 512; ++i) ASSERT_EQ(buses[0].left[i], kSentinel);
    EXPECT_EQ(buses[0].left[255], sample_of(976 + 255, 0));

    std::vector<Bus> uneven{Bus(512), Bus(128)};
    res = process(uneven, 200);
    expect_report(res, 200, 128, 128, 0);
    EXPECT_EQ(uneven[0].left[127], sample_of(976 + 256 + 127, 0));
    EXPECT_EQ(uneven[0].left[128], kSentinel);
    EXPECT_EQ(uneven[1].left[127], 0.0f);
}

TEST_F(ReceiverTest, InvalidLiveChannelCountIsSilenceOverWholeViews) {
    open(2, 64);
    produce(1000);
    std::vector<Bus> buses{Bus(100), Bus(30)};
    internals().fade_in_pending = true;
    ring.header->channels = 7;
    const auto res = process(buses, 80);
    expect_report(res, 80, 0, 0, 80);
    EXPECT_EQ(res.channels, 7u);
    EXPECT_EQ(res.bus_count, 2u);
    for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(buses[0].left[i], i < 80 ? 0.0f : kSentinel) << i;
    for (std::size_t i = 0; i < 30; ++i) ASSERT_EQ(buses[1].right[i], 0.0f);
    EXPECT_EQ(buses[1].left[30], kSentinel);  // the short bus ends at its own length, not at the block's
    EXPECT_EQ(buses[1].right[30], kSentinel);
    EXPECT_EQ(internals().ring.cursor(), 0u);
    EXPECT_TRUE(internals().fade_in_pending);
    EXPECT_EQ(ring.header->read_pos, 0u);
}

TEST_F(ReceiverTest, ChannelCountRaisedAfterOpenNeverOverrunsScratch) {
    open(2, 64, false, 4096);
    produce(1000);
    ring.header->channels = 3;  // still inside the mapping (fewer frames), but 64 x 3 > 64 x 2 at open
    ring.header->capacity_frames = 2000;
    std::vector<Bus> buses{Bus(64)};
    const auto res = process(buses, 64);
    expect_report(res, 64, 0, 0, 64);
    EXPECT_EQ(res.channels, 3u);
    for (std::size_t i = 0; i < 64; ++i) ASSERT_EQ(buses[0].left[i], 0.0f);
    EXPECT_EQ(internals().ring.cursor(), 0u);
    // A block small enough for that bound is rendered with the new count.
    const auto small = process(buses, 42);
    expect_report(small, 42, 42, 42, 0);
}

// Seven channels fit both the open-time bound (16 x 7 <= 64 x 6) and the mapping, and are still refused.
TEST_F(ReceiverTest, SevenLiveChannelsWithinEveryBoundAreSilence) {
    open(6, 64, true, 4096);
    produce(1000);
    ring.header->channels = 7;
    ring.header->capacity_frames = 2000;
    std::vector<Bus> buses{Bus(16), Bus(16), Bus(16)};
    const auto res = process(buses, 16);
    expect_report(res, 16, 0, 0, 16);
    EXPECT_EQ(res.channels, 7u);
    for (const Bus& b : buses) {
        for (std::size_t i = 0; i < 16; ++i) ASSERT_TRUE(b.left[i] == 0.0f && b.right[i] == 0.0f) << i;
    }
    EXPECT_EQ(internals().ring.cursor(), 0u);
}

// The companion rewrites the header at every point inside one block: before the first shared access,
// between any two, after the last. Whatever it writes and wherever, the block stays inside the buses
// and the report adds up; a rewrite before the block's header loads is the block of the new header,
// and one after them changes nothing that this block renders.
TEST_F(ReceiverTest, HeaderRewrittenAtEveryPointInsideABlock) {
    struct Rewrite {
        const char* what;
        std::uint32_t channels_at_open;
        void (*apply)(RingHeader&);
    };
    const Rewrite rewrites[] = {
        {"6 to 1 channels", 6, [](RingHeader& h) { h.channels = 1; }},
        {"2 to 1 channels", 2, [](RingHeader& h) { h.channels = 1; }},
        {"1 to 6 channels", 1, [](RingHeader& h) { h.channels = 6; }},
        {"channels 0", 2, [](RingHeader& h) { h.channels = 0; }},
        {"channels 7", 6, [](RingHeader& h) { h.channels = 7; }},
        {"capacity 7", 2, [](RingHeader& h) { h.capacity_frames = 7; }},
        {"capacity past the view", 2, [](RingHeader& h) { h.capacity_frames = 0xFFFFFFFF; }},
        {"capacity 0", 2, [](RingHeader& h) { h.capacity_frames = 0; }},
        {"write_pos far ahead", 2, [](RingHeader& h) { h.write_pos += 1'000'000; }},
        {"write_pos back to 3", 2, [](RingHeader& h) { h.write_pos = 3; }},
        {"read_pos lowered", 2, [](RingHeader& h) { h.read_pos = 0; }},
        {"everything", 3, [](RingHeader& h) { h = RingHeader{}; }},
    };
    constexpr std::size_t kFrames = 40, kHeaderLoads = 4;
    struct Outcome {
        OndaraProcessResult res;
        std::vector<Bus> buses;
        std::uint64_t cursor;
    };
    // One block after a fresh open on 650 frames, with `rewrite` applied before access `at` (or never).
    auto block = [&](const Rewrite& rw, std::size_t at, std::size_t* accesses) {
        ondara_receiver_free(handle);
        handle = nullptr;
        fake::reset();
        open(rw.channels_at_open, 64, true, 200, 650);  // cursor 450, slot 50
        internals().fade_in_pending = true;
        std::size_t n = 0;
        fake::on_shared_access([&](const volatile void*) {
            if (n++ == at) rw.apply(*ring.header);
        });
        Outcome o{{}, {Bus(kFrames), Bus(kFrames), Bus(kFrames)}, 0};
        o.res = process(o.buses, kFrames);
        fake::on_shared_access(nullptr);
        o.cursor = internals().ring.cursor();
        if (accesses != nullptr) *accesses = n;
        return o;
    };
    auto same = [](const Outcome& a, const Outcome& b) {
        for (std::size_t k = 0; k < 3; ++k) {
            if (a.buses[k].left != b.buses[k].left || a.buses[k].right != b.buses[k].right) return false;
        }
        return std::memcmp(&a.res, &b.res, sizeof a.res) == 0 && a.cursor == b.cursor;
    };
    for (const Rewrite& rw : rewrites) {
        SCOPED_TRACE(rw.what);
        std::size_t accesses = 0;
        const Outcome untouched = block(rw, SIZE_MAX, &accesses);
        ASSERT_GT(accesses, kHeaderLoads);
        const Outcome before = block(rw, 0, nullptr);
        for (std::size_t at = 0; at <= accesses; ++at) {
            SCOPED_TRACE(at);
            const Outcome o = block(rw, at, nullptr);
            const auto& r = o.res;
            EXPECT_LE(r.ring_frames, r.rendered_frames);
            EXPECT_LE(r.rendered_frames, kFrames);
            EXPECT_EQ(r.requested_frames, kFrames);
            EXPECT_TRUE(r.silent_frames == r.rendered_frames - r.ring_frames ||
                        (r.rendered_frames == 0 && r.silent_frames == kFrames));
            for (const Bus& b : o.buses) {
                ASSERT_EQ(b.left[kFrames], kSentinel);
                ASSERT_EQ(b.right[kFrames], kSentinel);
            }
            if (at == 0) {
                EXPECT_TRUE(same(o, before));
            }
            if (at >= kHeaderLoads) {
                EXPECT_TRUE(same(o, untouched));
            }
        }
    }
}

}  // namespace
}  // namespace ondara
