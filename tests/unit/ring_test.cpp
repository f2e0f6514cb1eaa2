#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "fake_platform.h"
#include "protocol/ring.h"
#include "ring_copy.h"
#include "test_util.h"

namespace ondara {
namespace {

using test::FakeRing;
using test::sample_of;
using Kind = SegmentError::Kind;

class RingTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        EXPECT_EQ(fake::live_handles(), 0u);
        EXPECT_EQ(fake::live_views(), 0u);
    }

    RingReader open_ok(const char* name = "ring") {
        auto r = RingReader::open(name);
        EXPECT_TRUE(r.ok());
        return r.ok() ? r.take_value() : RingReader{};
    }
};

TEST_F(RingTest, MissingRingIsOpenFailed) {
    auto r = RingReader::open("nothing");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, Kind::OpenFailed);
    EXPECT_EQ(r.error().name, "nothing");
}

TEST_F(RingTest, HeaderChecks) {
    struct Case {
        void (*mutate)(RingHeader&);
        Kind kind;
    } cases[] = {
        {[](RingHeader& h) { h.magic = 0x42414E4E; }, Kind::InvalidHeader},
        {[](RingHeader& h) { h.version = 2; }, Kind::InvalidHeader},
        {[](RingHeader& h) { h.channels = 0; }, Kind::InvalidHeader},
        {[](RingHeader& h) { h.channels = 7; }, Kind::InvalidHeader},
        {[](RingHeader& h) { h.capacity_frames = 0; }, Kind::InvalidHeader},
        {[](RingHeader& h) { h.sample_rate = 0; }, Kind::InvalidFormat},
    };
    for (const Case& c : cases) {
        fake::reset();
        FakeRing ring = FakeRing::add(u"ring", 2, 64);
        c.mutate(*ring.header);
        auto r = RingReader::open("ring");
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, c.kind);
        EXPECT_EQ(fake::live_handles(), 0u);
        EXPECT_EQ(fake::live_views(), 0u);
    }
    const RingHeader zero_rate{kRingMagic, 1, 0, 2, 64, 0, 0, 0, 0, 0, 0, {}};
    const auto e = check_ring_header(zero_rate).error();
    EXPECT_EQ(e.format, (std::array<std::uint32_t, 3>{0, 2, 64}));
}

TEST_F(RingTest, GeometryLimitsAreExactAndNeverWrap) {
    RingHeader h{kRingMagic, 1, 48000, 1, 0x3FFFFFFF, 0, 0, 0, 0, 0, 0, {}};
    EXPECT_EQ(check_ring_header(h).value(), 72u + 0xFFFFFFFCull);
    h.channels = 2;
    h.capacity_frames = 0x20000000;  // exactly 0x40000000 samples
    EXPECT_EQ(check_ring_header(h).error().kind, Kind::InvalidFormat);
    h.channels = 4;
    h.capacity_frames = 0x40000001;  // 0x100000004 samples: would wrap to 4 in 32 bits
    EXPECT_EQ(check_ring_header(h).error().kind, Kind::InvalidFormat);
}

TEST_F(RingTest, RingShorterThanItsHeaderClaimsFailsToMap) {
    unsigned char* bytes = fake::add_object(u"short", 72 + 2 * 64 * 4 - 4);
    auto* h = reinterpret_cast<RingHeader*>(bytes);
    *h = RingHeader{kRingMagic, 1, 48000, 2, 64, 0, 0, 0, 0, 0, 0, {}};
    auto r = RingReader::open("short");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, Kind::MapFailed);
}

TEST_F(RingTest, InitialCursorStartsAtMost1024FramesAndOneRingBehind) {
    struct Case {
        std::uint64_t write_pos;
        std::uint32_t capacity;
        std::uint64_t cursor;
    } cases[] = {{5000, 4096, 3976}, {5000, 256, 4744}, {700, 4096, 0}, {1024, 4096, 0}};
    for (const Case& c : cases) {
        fake::reset();
        FakeRing::add(u"ring", 1, c.capacity, c.write_pos);
        const RingReader r = open_ok();
        EXPECT_EQ(r.cursor(), c.cursor) << c.write_pos << "/" << c.capacity;
        EXPECT_EQ(r.mapped_len(), 72u + c.capacity * 4u);
    }
}

// The reader hands out where the frames lie and moves its cursor past them; publishing then raises
// read_pos and stores the backlog.
TEST_F(RingTest, TakeGivesTheAvailableFramesWhereTheyLie) {
    FakeRing ring = FakeRing::add(u"ring", 2, 4096);
    RingReader r = open_ok();
    ring.produce(0, 100, sample_of);
    const RingState s = r.state();
    const RingSpans spans = r.take(s, 256);
    EXPECT_EQ(spans.frames, 100u);
    EXPECT_EQ(spans.first_frames, 100u);
    EXPECT_EQ(spans.first, ring.data);
    EXPECT_EQ(r.cursor(), 100u);
    EXPECT_EQ(ring.header->read_pos, 0u);  // nothing is published before the caller is done
    r.publish(s);
    EXPECT_EQ(ring.header->read_pos, 100u);
    EXPECT_EQ(ring.header->backlog_frames, 0u);
}

TEST_F(RingTest, TakeWrapsAroundInTwoSpans) {
    FakeRing ring = FakeRing::add(u"ring", 3, 16);
    RingReader r = open_ok();
    ring.produce(0, 10, sample_of);
    ASSERT_EQ(r.take(r.state(), 10).frames, 10u);
    ring.produce(10, 26, sample_of);  // slots 10..15 then 0..9
    const RingSpans spans = r.take(r.state(), 20);
    EXPECT_EQ(spans.frames, 16u);
    EXPECT_EQ(spans.first, ring.data + 10 * 3);
    EXPECT_EQ(spans.first_frames, 6u);
    EXPECT_EQ(spans.second, ring.data);
    // The same frames copied out, as the render sees them.
    FakeRing copied = FakeRing::add(u"copied", 3, 16);
    RingReader c = open_ok("copied");
    copied.produce(0, 10, sample_of);
    std::vector<float> dest(3 * 10);
    ASSERT_EQ(test::copy_frames(c, dest.data(), dest.size()), 10u);
    copied.produce(10, 26, sample_of);
    dest.assign(3 * 20, -1.0f);
    ASSERT_EQ(test::copy_frames(c, dest.data(), dest.size()), 16u);
    for (std::size_t f = 0; f < 16; ++f) {
        for (std::uint32_t j = 0; j < 3; ++j) ASSERT_EQ(dest[f * 3 + j], sample_of(10 + f, j)) << f;
    }
    for (std::size_t i = 16 * 3; i < dest.size(); ++i) ASSERT_EQ(dest[i], 0.0f);
}

TEST_F(RingTest, CatchesUpWhenAWholeRingBehind) {
    FakeRing ring = FakeRing::add(u"ring", 1, 4096, 2024);
    RingReader r = open_ok();
    ASSERT_EQ(r.cursor(), 1000u);
    ring.produce(2024, 20000, sample_of);
    const RingState s = r.state();
    const RingSpans spans = r.take(s, 8);
    EXPECT_EQ(15904 % 4096, 3616);
    EXPECT_EQ(spans.first, ring.data + 3616);
    EXPECT_EQ(spans.frames, 8u);
    EXPECT_EQ(r.cursor(), 15912u);
    r.publish(s);
    EXPECT_EQ(ring.header->backlog_frames, 20000u - 15912u);
}

TEST_F(RingTest, ProducerRestartMovesTheCursorBackButNotReadPos) {
    FakeRing ring = FakeRing::add(u"ring", 2, 4096, 5000);
    RingReader r = open_ok();
    RingState s = r.state();
    ASSERT_EQ(r.take(s, 4096).frames, 1024u);
    r.publish(s);
    ASSERT_EQ(ring.header->read_pos, 5000u);
    ring.header->write_pos = 10;
    s = r.state();
    const RingSpans spans = r.take(s, 32);
    EXPECT_EQ(spans.frames, 0u);
    EXPECT_EQ(r.cursor(), 10u);
    r.publish(s);
    EXPECT_EQ(ring.header->read_pos, 5000u);
    EXPECT_EQ(ring.header->backlog_frames, 0u);
}

// A block of no frames still catches up and publishes.
TEST_F(RingTest, TakingNothingStillCatchesUpAndPublishes) {
    FakeRing ring = FakeRing::add(u"ring", 3, 4096);
    RingReader r = open_ok();
    ring.produce(0, 9000, sample_of);
    const RingState s = r.state();
    EXPECT_EQ(r.take(s, 0).frames, 0u);
    EXPECT_EQ(r.cursor(), 9000u - 4096u);
    r.publish(s);
    EXPECT_EQ(ring.header->read_pos, 9000u - 4096u);
    EXPECT_EQ(ring.header->backlog_frames, 4096u);
}

// Live capacity 0 fits any view: the cursor jumps to write_pos and no slot is addressed.
TEST_F(RingTest, LiveCapacityZeroJumpsToWritePosAndAddressesNoSlot) {
    FakeRing ring = FakeRing::add(u"ring", 2, 4096);
    RingReader r = open_ok();
    ring.produce(0, 3000, sample_of);
    ring.header->capacity_frames = 0;
    const RingState s = r.state();
    ASSERT_TRUE(r.fits(s));
    const RingSpans spans = r.take(s, 32);
    EXPECT_EQ(spans.frames, 0u);
    EXPECT_EQ(spans.first, nullptr);
    EXPECT_EQ(r.cursor(), 3000u);
    r.publish(s);
    EXPECT_EQ(ring.header->read_pos, 3000u);
    EXPECT_EQ(ring.header->backlog_frames, 0u);
}

// A live channel count of 0, or a data area larger than the view, cannot be read: the caller renders
// silence and publishes nothing (tests/unit/receiver_test). A smaller live geometry can.
TEST_F(RingTest, OnlyALiveHeaderThatFitsTheViewIsReadable) {
    FakeRing ring = FakeRing::add(u"ring", 2, 64);
    RingReader r = open_ok();
    ring.produce(0, 50, sample_of);
    for (auto change : {+[](RingHeader& h) { h.channels = 0; }, +[](RingHeader& h) { h.capacity_frames = 65; },
                        +[](RingHeader& h) { h.channels = 3; },
                        +[](RingHeader& h) { h.channels = 0xFFFFFFFF, h.capacity_frames = 0xFFFFFFFF; }}) {
        const RingHeader saved = *ring.header;
        change(*ring.header);
        EXPECT_FALSE(r.fits(r.state()));
        *ring.header = saved;
    }
    ring.header->capacity_frames = 32;
    const RingState s = r.state();
    ASSERT_TRUE(r.fits(s));
    EXPECT_EQ(r.take(s, 8).frames, 8u);
    EXPECT_EQ(r.cursor(), 50u - 32u + 8u);
}

TEST_F(RingTest, SlotFollowsALiveCapacityChangeBetweenTakes) {
    FakeRing ring = FakeRing::add(u"ring", 1, 64);
    RingReader r = open_ok();
    ring.produce(0, 40, test::sample_of);
    ASSERT_EQ(r.take(r.state(), 10).frames, 10u);  // cursor 10, slot 10
    ring.header->capacity_frames = 7;               // still inside the view
    // oldest = 40 - 7 = 33: the cursor catches up, and slot 33 mod 7 = 5 is read from, then 6, then 0.
    RingSpans spans = r.take(r.state(), 3);
    EXPECT_EQ(spans.first, ring.data + 5);
    EXPECT_EQ(spans.first_frames, 2u);
    EXPECT_EQ(spans.frames, 3u);

    // Without a catch-up: the take goes on from the cursor, but in the new geometry.
    FakeRing other = FakeRing::add(u"other", 1, 64);
    RingReader s = open_ok("other");
    other.produce(0, 12, test::sample_of);
    ASSERT_EQ(s.take(s.state(), 10).frames, 10u);  // cursor 10, slot 10
    other.header->capacity_frames = 7;              // oldest = 5 <= cursor: no catch-up
    spans = s.take(s.state(), 2);
    EXPECT_EQ(spans.first, other.data + 10 % 7);
    EXPECT_EQ(spans.first_frames, 2u);
}

TEST_F(RingTest, TwoReadersRaiseReadPosToTheLargerCursorInEitherOrder) {
    for (bool larger_first : {false, true}) {
        fake::reset();
        FakeRing ring = FakeRing::add(u"ring", 1, 4096, 1924);
        RingReader a = open_ok();  // cursor 900
        ring.header->write_pos = 2224;
        RingReader b = open_ok();  // cursor 1200
        ring.header->write_pos = 2000;
        for (RingReader* reader : larger_first ? std::array{&b, &a} : std::array{&a, &b}) {
            const RingState s = reader->state();
            reader->take(s, 0);
            reader->publish(s);
        }
        EXPECT_EQ(ring.header->read_pos, 1200u);
        EXPECT_EQ(ring.header->backlog_frames, larger_first ? 1100u : 800u);  // the last reader wins
    }
}

// A peer that lowers read_pos between every load and swap does not hold the publish in its loop:
// after a few attempts the raise is left to the next block, and the backlog is still stored.
TEST_F(RingTest, ReadPosRaiseGivesUpAgainstAPeerThatKeepsLoweringIt) {
    FakeRing ring = FakeRing::add(u"ring", 1, 4096);
    RingReader r = open_ok();
    ring.produce(0, 100, sample_of);
    std::size_t accesses = 0;
    fake::on_shared_access([&](const volatile void* field) {
        if (field != &ring.header->read_pos) return;
        // Stops after a while, so that a loop without a bound still ends and the count tells.
        if (++accesses < 1000) ring.header->read_pos = accesses % 2;
    });
    RingState s = r.state();
    EXPECT_EQ(r.take(s, 64).frames, 64u);
    r.publish(s);
    EXPECT_LE(accesses, 5u);
    EXPECT_GE(accesses, 2u);  // the hook saw the raise: this file is built as the audio path's tests are
    EXPECT_EQ(ring.header->backlog_frames, 36u);
    fake::on_shared_access(nullptr);
    s = r.state();
    r.take(s, 0);
    r.publish(s);  // the next block publishes the cursor again
    EXPECT_EQ(ring.header->read_pos, 64u);
}

TEST_F(RingTest, SnapshotCopiesEveryField) {
    FakeRing ring = FakeRing::add(u"ring", 5, 128, 777, 44100);
    ring.header->reserved0 = 0x1111;
    ring.header->reserved1 = 0x2222;
    ring.header->reserved2 = 0x3333;
    ring.header->reserved3[11] = 0x44;
    const RingReader r = open_ok();
    const RingHeader s = r.snapshot();
    EXPECT_EQ(std::memcmp(&s, ring.header, sizeof s), 0);
}

}  // namespace
}  // namespace ondara
