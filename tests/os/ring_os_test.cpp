// The audio ring over real shared memory: a ring that another process creates and writes, read by the
// reader and by the receiver exports here, with the reader's progress travelling back.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

#include "ondara.h"
#include "os_resources.h"
#include "os_support.h"
#include "protocol/ring.h"
#include "protocol/ring_producer.h"
#include "protocol/shared_access.h"
#include "ring_copy.h"

namespace ondara::ostest {
namespace {

// Polls until the companion's ring can be opened, or gives the last error after the time-out. The
// child may not have created the object, sized it or written its magic yet.
Expected<RingReader> open_ring_when_ready(const std::string& name) {
    std::optional<Expected<RingReader>> last;
    wait_until(
        [&] {
            last.emplace(RingReader::open(name));
            return last->ok();
        },
        10s);
    return std::move(*last);
}

OndaraReceiver* open_receiver_when_ready(const std::u16string& name, std::size_t max_frames, bool multi_bus) {
    OndaraReceiver* rx = nullptr;
    wait_until(
        [&] {
            return ondara_receiver_open(units(name), name.size(), max_frames, multi_bus ? 1 : 0, &rx) == ONDARA_OK;
        },
        10s);
    return rx;
}

// ---- a ring from another process, and the reader's progress seen there ----------------------------

constexpr std::uint32_t kProgressCapacity = 1200;
constexpr std::uint64_t kProgressFirstWrite = 3000;
constexpr std::uint64_t kProgressSecondWrite = 3500;
constexpr std::uint64_t kProgressFirstRead = 1000;

// The companion side: a ring with 3000 frames in it, then 500 more once the reader's first read is
// visible here as read_pos and backlog_frames; succeeds when the second read is visible too.
ONDARA_CHILD_ROLE(ring_progress_role, "ring-progress") {
    if (args.size() != 1) return child_fail(2, "ring-progress NAME");
    auto ring = ProducedRing::create(u16(args[0]), 2, kProgressCapacity, 44100);
    if (!ring) return child_fail(3, "cannot create the ring");
    ring->write_ramp(0, kProgressFirstWrite);
    ring->publish(kProgressFirstWrite);
    ring->announce();

    // The reader starts 1024 frames behind write_pos and reads 1000 of them.
    const std::uint64_t first_pos = kProgressFirstWrite - kReaderStartBehind + kProgressFirstRead;
    const std::uint32_t first_backlog = static_cast<std::uint32_t>(kProgressFirstWrite - first_pos);
    if (!wait_until([&] { return ring->read_pos() == first_pos && ring->backlog() == first_backlog; }, 10s)) {
        return child_fail(4, "first read not seen: read_pos " + std::to_string(ring->read_pos()) + ", backlog " +
                                 std::to_string(ring->backlog()));
    }
    ring->write_ramp(kProgressFirstWrite, kProgressSecondWrite);
    ring->publish(kProgressSecondWrite);
    if (!wait_until([&] { return ring->read_pos() == kProgressSecondWrite && ring->backlog() == 0; }, 10s)) {
        return child_fail(5, "second read not seen: read_pos " + std::to_string(ring->read_pos()) + ", backlog " +
                                 std::to_string(ring->backlog()));
    }
    return 0;
}

TEST(RingAcrossProcesses, ReaderOpensAChildsRingReadsItAndItsProgressReachesTheChild) {
    const std::string name = unique_name("progress");
    NameCleanup cleanup(name);
    ChildProcess child = ChildProcess::spawn("ring-progress", {name});
    ASSERT_TRUE(child.started()) << child.error();

    auto opened = open_ring_when_ready(name);
    ASSERT_TRUE(opened.ok()) << "error kind " << static_cast<int>(opened.error().kind);
    RingReader reader = opened.take_value();

    const RingHeader h = reader.snapshot();
    EXPECT_EQ(h.magic, kRingMagic);
    EXPECT_EQ(h.version, kRingVersion);
    EXPECT_EQ(h.sample_rate, 44100u);
    EXPECT_EQ(h.channels, 2u);
    EXPECT_EQ(h.capacity_frames, kProgressCapacity);
    EXPECT_EQ(h.write_pos, kProgressFirstWrite);
    EXPECT_EQ(h.read_pos, 0u);
    EXPECT_EQ(reader.mapped_len(), kRingHeaderSize + 2 * kProgressCapacity * sizeof(float));

    // From frame 1976 (slot 776) the 1000 frames run past the end of the data area and on from its start.
    std::vector<float> dest(2 * kProgressFirstRead, -1.0f);
    ASSERT_EQ(test::copy_frames(reader, dest.data(), dest.size()), kProgressFirstRead);
    const std::uint64_t first = kProgressFirstWrite - kReaderStartBehind;
    for (std::uint64_t i = 0; i < kProgressFirstRead; ++i) {
        ASSERT_EQ(dest[2 * i], ramp(first + i, 0)) << "frame " << i;
        ASSERT_EQ(dest[2 * i + 1], ramp(first + i, 1)) << "frame " << i;
    }

    // The child answers the progress it saw with 500 more frames.
    ASSERT_TRUE(wait_until([&] { return reader.snapshot().write_pos == kProgressSecondWrite; }, 10s))
        << "the child never wrote its second batch; exit code "
        << child.wait_for(0ms).value_or(-1);
    std::vector<float> more(2 * kProgressCapacity, -1.0f);
    const std::uint64_t expect_more = kProgressSecondWrite - (first + kProgressFirstRead);
    ASSERT_EQ(test::copy_frames(reader, more.data(), more.size()), expect_more);
    for (std::uint64_t i = 0; i < expect_more; ++i) {
        ASSERT_EQ(more[2 * i], ramp(first + kProgressFirstRead + i, 0)) << "frame " << i;
        ASSERT_EQ(more[2 * i + 1], ramp(first + kProgressFirstRead + i, 1)) << "frame " << i;
    }
    EXPECT_TRUE(std::all_of(more.begin() + 2 * expect_more, more.end(), [](float v) { return v == 0.0f; }))
        << "frames after the last written one must be silence";

    EXPECT_EQ(child.wait_for(10s), std::optional<int>(0));
}

// ---- a header claiming more than the object holds -------------------------------------------------

class RingSmallerThanItsHeaderClaims : public ::testing::TestWithParam<std::uint32_t> {};

// The object holds 200 frames of two channels; the header claims `GetParam()` frames. One frame more
// stays inside the object's last page, so only an exact size check catches it; the larger claim
// reaches pages beyond the object.
TEST_P(RingSmallerThanItsHeaderClaims, IsRefusedWithMapFailedAndLeavesNothingOpen) {
    if (GetParam() == 201 && !views_are_checked_to_the_byte()) {
        GTEST_SKIP() << "this platform maps up to the end of the object's last page";
    }
    const std::string name = unique_name("short-ring");
    NameCleanup cleanup(name);
    constexpr std::uint32_t kHeld = 200;
    auto ring = ProducedRing::create(u16(name), 2, kHeld, 48000);
    ASSERT_TRUE(ring);
    ring->announce();
    {
        auto fits = RingReader::open(name);
        ASSERT_TRUE(fits.ok()) << "the honest header must open";
    }
    store_shared(&ring->header()->capacity_frames, GetParam());

    const ResourceCount before = count_resources();
    auto opened = RingReader::open(name);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind, SegmentError::Kind::MapFailed);

    const std::u16string wide = u16(name);
    int marker = 0;
    OndaraReceiver* rx = reinterpret_cast<OndaraReceiver*>(&marker);  // must be overwritten with null
    EXPECT_EQ(ondara_receiver_open(units(wide), wide.size(), 256, 0, &rx), ONDARA_OPEN_BRIDGE_FAILED);
    EXPECT_EQ(rx, nullptr);
    if (rx != nullptr && rx != reinterpret_cast<OndaraReceiver*>(&marker)) ondara_receiver_free(rx);
    expect_nothing_left_open(before, count_resources());
}

INSTANTIATE_TEST_SUITE_P(OsRing, RingSmallerThanItsHeaderClaims, ::testing::Values(201u, 4096u),
                         [](const auto& p) { return "claims_" + std::to_string(p.param) + "_frames"; });

// ---- end to end: a paced producer in another process, the receiver rendering here -----------------

constexpr std::uint32_t kRampRate = 48000;
constexpr std::uint32_t kRampCapacity = 16384;
constexpr std::uint64_t kTickFrames = 256;
constexpr auto kTickPeriod = 2ms;
constexpr std::uint64_t kStallAt = 40000;      // the producer stops for a while: the receiver runs dry
constexpr std::uint64_t kLapAt = 70000;        // the producer writes two rings at once: the receiver is lapped
constexpr std::uint64_t kTotalFrames = 130000; // f * 8 + 5 stays far below 2^24
constexpr std::uint32_t kAttachedSentinel = 0xFFFFFFFFu;

// Writes ticks of 256 frames every 2 ms from `pos` until `to`. A tick waits while it would overwrite
// frames the receiver has not copied yet (read_pos is raised only after the copy): a receiver stalled
// by a busy machine could otherwise copy slots that are being rewritten, and the frames it got would
// be a mix of two laps that no check can tell from a fault. Returns false if the receiver stays that
// far behind for 10 s.
bool produce_paced(ProducedRing& ring, std::uint64_t& pos, std::uint64_t to) {
    auto next = std::chrono::steady_clock::now();
    while (pos < to) {
        const std::uint64_t end = std::min(pos + kTickFrames, to);
        if (!wait_until([&] { return end <= ring.read_pos() + kRampCapacity; }, 10s)) return false;
        ring.write_ramp(pos, end);
        ring.publish(end);
        pos = end;
        next += kTickPeriod;
        std::this_thread::sleep_until(next);
    }
    return true;
}

// The companion playing audio: steady ticks, one stall, one burst of two whole rings, steady again.
// The burst is written only once the receiver has caught up, and the producer then waits until the
// receiver has taken half a ring, so that the lap never overwrites slots while the receiver copies them.
// A real companion never waits for its reader; this one does, so that every frame stays checkable.
ONDARA_CHILD_ROLE(ramp_producer_role, "ramp-producer") {
    if (args.size() != 2) return child_fail(2, "ramp-producer NAME CHANNELS");
    const auto channels = static_cast<std::uint32_t>(parse_u64(args[1]));
    auto ring = ProducedRing::create(u16(args[0]), channels, kRampCapacity, kRampRate);
    if (!ring) return child_fail(3, "cannot create the ring");
    // The receiver's first block stores backlog_frames, which tells this side that it is reading.
    store_shared(&ring->header()->backlog_frames, kAttachedSentinel);
    ring->announce();
    if (!wait_until([&] { return ring->backlog() != kAttachedSentinel; }, 10s)) {
        return child_fail(4, "no receiver attached");
    }

    std::uint64_t pos = 0;
    if (!produce_paced(*ring, pos, kStallAt)) return child_fail(8, "receiver stalled before the stall");
    std::this_thread::sleep_for(150ms);
    if (!produce_paced(*ring, pos, kLapAt)) return child_fail(8, "receiver stalled before the lap");

    if (!wait_until([&] { return ring->read_pos() == pos; }, 10s)) return child_fail(5, "receiver never caught up");
    const std::uint64_t lapped = pos + 2 * std::uint64_t{kRampCapacity};
    ring->write_ramp(lapped - kRampCapacity, lapped);  // the frames before those are overwritten anyway
    ring->publish(lapped);
    pos = lapped;
    if (!wait_until([&] { return ring->read_pos() >= lapped - kRampCapacity / 2; }, 10s)) {
        return child_fail(6, "receiver never read the lapped ring");
    }

    if (!produce_paced(*ring, pos, kTotalFrames)) return child_fail(8, "receiver stalled after the lap");
    if (!wait_until([&] { return ring->read_pos() == kTotalFrames; }, 10s)) {
        return child_fail(7, "receiver stopped at " + std::to_string(ring->read_pos()));
    }
    return 0;
}

// Follows the ramp through rendered blocks. A frame rendered at gain 1 must hold exactly the ramp
// value of the frame that comes next in the ring; nothing may be repeated or reordered, and a jump
// forward is only allowed where the producer was a whole ring ahead of the jump's target. Frames
// inside a fade (the first 32 after silence, the last 32 before it) are only checked to lie between
// silence and the ramp value, since the gain scales them.
class RampFollower {
public:
    RampFollower(std::uint32_t channels, std::uint64_t capacity) : channels_(channels), capacity_(capacity) {}

    // `sample(i, j)`: ring channel j of block frame i as rendered.
    template <class Sample>
    void block(const OndaraProcessResult& res, Sample&& sample, std::uint64_t write_pos_after) {
        const std::uint64_t got = res.ring_frames;
        const std::uint64_t rendered = res.rendered_frames;
        const bool faded_in = fade_in_pending_;
        const bool faded_out = got < rendered;
        fade_in_pending_ = got < rendered;
        if (got < rendered) ++short_blocks_;
        if (got == 0) return;
        const std::uint64_t fade = std::min<std::uint64_t>(got, 32);
        auto unity = [&](std::uint64_t i) { return !(faded_in && i < fade) && !(faded_out && i + fade >= got); };

        // The block's first frame, from its first sample at gain 1; without one, the expected frame.
        std::uint64_t start = next_;
        for (std::uint64_t i = 0; i < got; ++i) {
            if (!unity(i)) continue;
            const float v = sample(i, 0);
            const auto f = static_cast<std::uint64_t>(v / 8.0f);
            if (!(v >= 0.0f) || ramp(f, 0) != v || f < i) {
                fail("block frame " + std::to_string(i) + " holds " + std::to_string(v) + ", not a ramp frame");
                return;
            }
            start = f - i;
            break;
        }
        if (start != next_) {
            if (start < next_) {
                fail("block starts at frame " + std::to_string(start) + ", expected " + std::to_string(next_) +
                     ": frames repeated");
            } else if (start + capacity_ > write_pos_after) {
                fail("block starts at frame " + std::to_string(start) + ", expected " + std::to_string(next_) +
                     ", with write_pos " + std::to_string(write_pos_after) + ": frames skipped without a lap");
            }
            ++jumps_;
        }
        for (std::uint64_t i = 0; i < got; ++i) {
            for (std::uint32_t j = 0; j < channels_; ++j) {
                const float s = sample(i, j);
                const float expected = ramp(start + i, j);
                const bool ok = unity(i) ? s == expected : (s >= 0.0f && s <= expected);
                if (!ok) {
                    fail("frame " + std::to_string(start + i) + " channel " + std::to_string(j) + " (block frame " +
                         std::to_string(i) + " of " + std::to_string(got) + (unity(i) ? "" : ", faded") +
                         ") is " + std::to_string(s) + ", expected " + std::to_string(expected));
                    return;
                }
            }
            ++(unity(i) ? exact_frames_ : faded_frames_);
        }
        next_ = start + got;
    }

    std::uint64_t next() const noexcept { return next_; }
    std::uint64_t jumps() const noexcept { return jumps_; }
    std::uint64_t exact_frames() const noexcept { return exact_frames_; }
    std::uint64_t faded_frames() const noexcept { return faded_frames_; }
    std::uint64_t short_blocks() const noexcept { return short_blocks_; }
    bool failed() const noexcept { return failures_ > 0; }

private:
    void fail(const std::string& what) {
        if (++failures_ <= 5) ADD_FAILURE() << what;
    }

    std::uint32_t channels_;
    std::uint64_t capacity_;
    std::uint64_t next_ = 0;  // the reader starts at frame 0: the producer began only once it was reading
    bool fade_in_pending_ = true;  // as in a fresh receiver
    std::uint64_t jumps_ = 0;
    std::uint64_t exact_frames_ = 0;
    std::uint64_t faded_frames_ = 0;
    std::uint64_t short_blocks_ = 0;
    int failures_ = 0;
};

struct RampCase {
    const char* label;
    std::uint32_t channels;
    bool multi_bus;
    std::size_t bus_count;

    friend std::ostream& operator<<(std::ostream& os, const RampCase& c) { return os << c.label; }
};

class RampAcrossProcesses : public ::testing::TestWithParam<RampCase> {};

TEST_P(RampAcrossProcesses, EveryRenderedFrameIsTheNextOfTheRamp) {
    const RampCase c = GetParam();
    constexpr std::size_t kMaxFrames = 2048;
    constexpr std::size_t kBusLength = 4096;
    constexpr float kUntouched = -1.0f;  // no ramp or faded ramp value is negative
    // Sizes below, at and above max_frames; all above the fade length so every full block has frames
    // at gain 1.
    constexpr std::array<std::size_t, 10> kBlockSizes{256, 37, 480, 1024, 64, 3000, 128, 700, 256, 512};

    const std::string name = unique_name("ramp");
    NameCleanup cleanup(name);
    ChildProcess child = ChildProcess::spawn("ramp-producer", {name, std::to_string(c.channels)});
    ASSERT_TRUE(child.started()) << child.error();

    const std::u16string wide = u16(name);
    const std::unique_ptr<OndaraReceiver, decltype(&ondara_receiver_free)> rx(
        open_receiver_when_ready(wide, kMaxFrames, c.multi_bus), &ondara_receiver_free);
    ASSERT_NE(rx, nullptr) << "the child's ring never opened";
    // write_pos as the producer left it after each block, for telling a lap from a fault.
    auto header_view = SharedView::open(wide, kRingHeaderSize);
    ASSERT_TRUE(header_view);
    const RingHeader* live = header_view->as<RingHeader>();

    std::vector<std::vector<float>> storage(2 * c.bus_count, std::vector<float>(kBusLength));
    std::vector<OndaraOutputBus> buses(c.bus_count);
    for (std::size_t k = 0; k < c.bus_count; ++k) {
        buses[k] = {storage[2 * k].data(), storage[2 * k + 1].data(), kBusLength};
    }
    const std::size_t audio_buses = c.multi_bus ? std::min<std::size_t>(c.bus_count, (c.channels + 1) / 2) : 1;
    auto sample = [&](std::uint64_t i, std::uint32_t j) { return storage[j][i]; };  // bus j/2, side j%2

    RampFollower follower(c.channels, kRampCapacity);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::size_t blocks = 0;
    while (follower.next() < kTotalFrames && !follower.failed() && std::chrono::steady_clock::now() < deadline) {
        const std::size_t frames = kBlockSizes[blocks % kBlockSizes.size()];
        for (auto& s : storage) std::fill(s.begin(), s.end(), kUntouched);
        OndaraProcessResult res{};
        ASSERT_EQ(ondara_receiver_process(rx.get(), buses.data(), buses.size(), frames, &res), ONDARA_OK);
        const std::uint64_t write_pos_after = load_shared(&live->write_pos);

        const std::size_t rendered = std::min(frames, kMaxFrames);
        ASSERT_EQ(res.requested_frames, frames);
        ASSERT_EQ(res.rendered_frames, rendered);
        ASSERT_EQ(res.ring_frames + res.silent_frames, rendered);
        ASSERT_EQ(res.channels, c.channels);
        ASSERT_EQ(res.bus_count, c.bus_count);
        ASSERT_EQ(res.sample_rate, kRampRate);
        ASSERT_EQ(res.reserved, 0u);

        // Silence after the ring's frames and on buses without ring channels; nothing past the block.
        for (std::size_t k = 0; k < c.bus_count; ++k) {
            for (int side = 0; side < 2; ++side) {
                const std::vector<float>& s = storage[2 * k + side];
                const std::size_t from = k < audio_buses ? res.ring_frames : 0;
                ASSERT_TRUE(std::all_of(s.begin() + from, s.begin() + rendered, [](float v) { return v == 0.0f; }))
                    << "bus " << k << " side " << side << " not silent after frame " << from;
                ASSERT_TRUE(std::all_of(s.begin() + rendered, s.end(), [&](float v) { return v == kUntouched; }))
                    << "bus " << k << " side " << side << " written past frame " << rendered;
            }
        }
        follower.block(res, sample, write_pos_after);
        ++blocks;
        // A producer that gave up has nothing more to send; no need to wait for the deadline.
        if (res.ring_frames == 0 && !child.running()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + blocks % 3));
    }
    EXPECT_EQ(follower.next(), kTotalFrames) << "the last frame never arrived";
    EXPECT_EQ(child.wait_for(10s), std::optional<int>(0));
    // The producer's stall and burst make both paths happen; the counts show that they were exercised.
    EXPECT_GE(follower.jumps(), 1u) << "the burst of two rings never lapped the receiver";
    EXPECT_GE(follower.short_blocks(), 1u);
    EXPECT_GE(follower.exact_frames(), kTotalFrames / 4);
    std::printf("[ ramp %s ] %zu blocks, %llu frames at gain 1, %llu faded, %llu short blocks, %llu jumps\n",
                c.label, blocks, static_cast<unsigned long long>(follower.exact_frames()),
                static_cast<unsigned long long>(follower.faded_frames()),
                static_cast<unsigned long long>(follower.short_blocks()),
                static_cast<unsigned long long>(follower.jumps()));
}

INSTANTIATE_TEST_SUITE_P(OsRing, RampAcrossProcesses,
                         ::testing::Values(RampCase{"stereo", 2, false, 2}, RampCase{"six_channels", 6, true, 3}),
                         [](const auto& p) { return std::string(p.param.label); });

// ---- the producer's lock ----------------------------------------------------------------------------

constexpr RingFormat kHeldFormat{48000, 2, 4096};
constexpr std::uint64_t kHeldWritePos = 1'000'000;

// A producer that has been running a while, and then only lives until it is killed.
ONDARA_CHILD_ROLE(ring_producer_role, "ring-producer") {
    if (args.size() != 1) return child_fail(2, "ring-producer NAME");
    RingProducer::Error error;
    auto p = RingProducer::create(args[0], kHeldFormat, error);
    if (!p) return child_fail(3, error.message);
    p->writer().publish(kHeldWritePos);
    for (;;) std::this_thread::sleep_for(1s);
}

// Tries to take `name` over from a thread of its own: on Windows a mutex is the thread's, and the
// thread that holds it would take it again.
RingProducer::Error take_over_elsewhere(const std::string& name, const RingFormat& format) {
    RingProducer::Error error;
    std::thread([&] { (void)RingProducer::take_over(name, format, error); }).join();
    return error;
}

TEST(RingProducerAcrossProcesses, TakesOverOnlyOnceTheProducerIsGoneAndRestartsTheCounter) {
    const std::string name = unique_name("held");
    NameCleanup cleanup(name);
    ChildProcess child = ChildProcess::spawn("ring-producer", {name});
    ASSERT_TRUE(child.started()) << child.error();
    Expected<RingReader> reader = open_ring_when_ready(name);  // maps the ring all along
    ASSERT_TRUE(reader.ok());
    ASSERT_TRUE(wait_until([&] { return reader.value().state().write_pos == kHeldWritePos; }, 10s));

    const RingFormat exact{96000, 1, 8192};  // the same bytes to the last one
    RingProducer::Error refused = take_over_elsewhere(name, exact);
    EXPECT_EQ(refused.kind, RingProducer::Failure::Held) << refused.message;
#if defined(__linux__)
    EXPECT_EQ(refused.holder, child.pid()) << refused.message;
#endif
    const RingHeader held = reader.value().snapshot();
    EXPECT_EQ(held.channels, 2u);
    EXPECT_EQ(held.write_pos, kHeldWritePos);

    child.kill();  // SIGKILL or TerminateProcess, and reaped: no chance to let go of anything
    RingProducer::Error error;
    std::optional<RingProducer> taken = RingProducer::take_over(name, exact, error);
    ASSERT_TRUE(taken) << error.message;
    const RingHeader fresh = reader.value().snapshot();
    EXPECT_EQ(fresh.write_pos, 0u);
    EXPECT_EQ(fresh.read_pos, 0u);
    EXPECT_EQ(fresh.channels, 1u);
    EXPECT_EQ(fresh.capacity_frames, 8192u);
    EXPECT_EQ(fresh.sample_rate, 96000u);
    EXPECT_EQ(take_over_elsewhere(name, exact).kind, RingProducer::Failure::Held) << "the new owner holds it now";
}

#ifndef _WIN32
// A producer whose name someone removed, and which another ring has taken since, leaves that name alone.
TEST(RingProducerAcrossProcesses, LeavesANameThatAnotherRingHasTakenSince) {
    const std::string name = unique_name("renamed");
    NameCleanup cleanup(name);
    RingProducer::Error error;
    std::optional<RingProducer> first = RingProducer::create(name, kHeldFormat, error);
    ASSERT_TRUE(first) << error.message;
    remove_segment_name(name);
    std::optional<RingProducer> second = RingProducer::create(name, kHeldFormat, error);
    ASSERT_TRUE(second) << error.message;
    std::uint32_t code = 0;
    EXPECT_EQ(first->remove_name(code), platform::Removal::NotOurs);
    EXPECT_TRUE(RingReader::open(name).ok()) << "the second ring lost its name";
    EXPECT_EQ(second->remove_name(code), platform::Removal::Removed);
    EXPECT_FALSE(RingReader::open(name).ok());
}
#endif

}  // namespace
}  // namespace ondara::ostest
