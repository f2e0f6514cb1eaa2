#include <gtest/gtest.h>

#include <vector>

#include "fake_platform.h"
#include "ring.h"
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
        return r.ok() ? r.value() : RingReader{};
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
    const auto e = std::get<SegmentError>(check_ring_header(zero_rate));
    EXPECT_EQ(e.format, (std::array<std::uint32_t, 3>{0, 2, 64}));
}

TEST_F(RingTest, GeometryLimitsAreExactAndNeverWrap) {
    RingHeader h{kRingMagic, 1, 48000, 1, 0x3FFFFFFF, 0, 0, 0, 0, 0, 0, {}};
    EXPECT_EQ(std::get<std::size_t>(check_ring_header(h)), 72u + 0xFFFFFFFCull);
    h.channels = 2;
    h.capacity_frames = 0x20000000;  // exactly 0x40000000 samples
    EXPECT_EQ(std::get<SegmentError>(check_ring_header(h)).kind, Kind::InvalidFormat);
    h.channels = 4;
    h.capacity_frames = 0x40000001;  // 0x100000004 samples: would wrap to 4 in 32 bits
    EXPECT_EQ(std::get<SegmentError>(check_ring_header(h)).kind, Kind::InvalidFormat);
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
        RingReader r = open_ok();
        EXPECT_EQ(r.cursor, c.cursor) << c.write_pos << "/" << c.capacity;
        EXPECT_EQ(r.mapped_len, 72u + c.capacity * 4u);
        r.close();
    }
}

TEST_F(RingTest, ReadCopiesAvailableFramesThenZeroFrames) {
    FakeRing ring = FakeRing::add(u"ring", 2, 4096);
    RingReader r = open_ok();
    ring.produce(0, 100, sample_of);
    std::vector<float> dest(512, -1.0f);
    EXPECT_EQ(r.read(dest.data(), dest.size()), 100u);
    for (std::size_t f = 0; f < 256; ++f) {
        for (std::uint32_t j = 0; j < 2; ++j) {
            ASSERT_EQ(dest[f * 2 + j], f < 100 ? sample_of(f, j) : 0.0f) << f;
        }
    }
    EXPECT_EQ(r.cursor, 100u);
    EXPECT_EQ(ring.header->read_pos, 100u);
    EXPECT_EQ(ring.header->backlog_frames, 0u);
    r.close();
}

TEST_F(RingTest, ReadWrapsAroundInTwoSpans) {
    FakeRing ring = FakeRing::add(u"ring", 3, 16);
    RingReader r = open_ok();
    ring.produce(0, 10, sample_of);
    std::vector<float> dest(3 * 10);
    ASSERT_EQ(r.read(dest.data(), dest.size()), 10u);
    ring.produce(10, 26, sample_of);  // slots 10..15 then 0..9
    dest.assign(3 * 20, -1.0f);
    ASSERT_EQ(r.read(dest.data(), dest.size()), 16u);
    for (std::size_t f = 0; f < 16; ++f) {
        for (std::uint32_t j = 0; j < 3; ++j) ASSERT_EQ(dest[f * 3 + j], sample_of(10 + f, j)) << f;
    }
    for (std::size_t i = 16 * 3; i < dest.size(); ++i) ASSERT_EQ(dest[i], 0.0f);
    r.close();
}

TEST_F(RingTest, CatchesUpWhenAWholeRingBehind) {
    FakeRing ring = FakeRing::add(u"ring", 1, 4096);
    RingReader r = open_ok();
    ring.produce(0, 20000, sample_of);
    r.cursor = 1000;
    std::vector<float> dest(8);
    ASSERT_EQ(r.read(dest.data(), dest.size()), 8u);
    EXPECT_EQ(dest[0], ring.data[15904 % 4096]);
    EXPECT_EQ(15904 % 4096, 3616);
    EXPECT_EQ(dest[0], sample_of(15904, 0));
    EXPECT_EQ(r.cursor, 15912u);
    EXPECT_EQ(ring.header->backlog_frames, 20000u - 15912u);
    r.close();
}

TEST_F(RingTest, ProducerRestartMovesTheCursorBackButNotReadPos) {
    FakeRing ring = FakeRing::add(u"ring", 2, 4096);
    RingReader r = open_ok();
    ring.produce(0, 5000, sample_of);
    r.cursor = 5000;
    std::vector<float> dest(64);
    ASSERT_EQ(r.read(dest.data(), dest.size()), 0u);
    ASSERT_EQ(ring.header->read_pos, 5000u);
    ring.header->write_pos = 10;
    dest.assign(64, -1.0f);
    EXPECT_EQ(r.read(dest.data(), dest.size()), 0u);
    EXPECT_EQ(r.cursor, 10u);
    for (float v : dest) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(ring.header->read_pos, 5000u);
    EXPECT_EQ(ring.header->backlog_frames, 0u);
    r.close();
}

TEST_F(RingTest, PartialFramesAtTheEndOfDestAreNeverWritten) {
    FakeRing ring = FakeRing::add(u"ring", 3, 4096);
    RingReader r = open_ok();
    ring.produce(0, 4000, sample_of);
    std::vector<float> dest(1000, -1.0f);
    EXPECT_EQ(r.read(dest.data(), dest.size()), 333u);
    EXPECT_EQ(dest[998], sample_of(332, 2));
    EXPECT_EQ(dest[999], -1.0f);

    // Less than one frame: nothing written, yet the catch-up and publishing happen.
    r.cursor = 0;
    ring.header->write_pos = 9000;
    ring.header->read_pos = 0;
    float tiny[2] = {-1.0f, -1.0f};
    EXPECT_EQ(r.read(tiny, 2), 0u);
    EXPECT_EQ(tiny[0], -1.0f);
    EXPECT_EQ(tiny[1], -1.0f);
    EXPECT_EQ(r.cursor, 9000u - 4096u);
    EXPECT_EQ(ring.header->read_pos, 9000u - 4096u);
    EXPECT_EQ(ring.header->backlog_frames, 4096u);
    r.close();
}

TEST_F(RingTest, LiveChannelsZeroIsSilenceWithoutProgress) {
    FakeRing ring = FakeRing::add(u"ring", 2, 4096);
    RingReader r = open_ok();
    ring.produce(0, 3000, sample_of);
    ring.header->backlog_frames = 77;
    ring.header->channels = 0;
    std::vector<float> dest(101, -1.0f);
    EXPECT_EQ(r.read(dest.data(), dest.size()), 0u);
    for (float v : dest) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(r.cursor, 0u);
    EXPECT_EQ(ring.header->read_pos, 0u);
    EXPECT_EQ(ring.header->backlog_frames, 77u);
    r.close();
}

TEST_F(RingTest, LiveCapacityZeroJumpsToWritePosAndCopiesNothing) {
    FakeRing ring = FakeRing::add(u"ring", 2, 4096);
    RingReader r = open_ok();
    ring.produce(0, 3000, sample_of);
    ring.header->capacity_frames = 0;
    std::vector<float> dest(64, -1.0f);
    EXPECT_EQ(r.read(dest.data(), dest.size()), 0u);
    for (float v : dest) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(r.cursor, 3000u);
    EXPECT_EQ(ring.header->read_pos, 3000u);
    EXPECT_EQ(ring.header->backlog_frames, 0u);
    r.close();
}

TEST_F(RingTest, LiveHeaderGrownPastTheMappingIsSilence) {
    FakeRing ring = FakeRing::add(u"ring", 2, 64);
    RingReader r = open_ok();
    ring.produce(0, 50, sample_of);
    for (auto grow : {+[](RingHeader& h) { h.capacity_frames = 65; }, +[](RingHeader& h) { h.channels = 3; },
                      +[](RingHeader& h) { h.channels = 0xFFFFFFFF, h.capacity_frames = 0xFFFFFFFF; }}) {
        RingHeader saved = *ring.header;
        grow(*ring.header);
        std::vector<float> dest(60, -1.0f);
        EXPECT_EQ(r.read(dest.data(), dest.size()), 0u);
        for (float v : dest) ASSERT_EQ(v, 0.0f);
        EXPECT_EQ(r.cursor, 0u);
        EXPECT_EQ(ring.header->read_pos, 0u);
        *ring.header = saved;
    }
    // A smaller live geometry still fits the view and is read as the header says.
    ring.header->capacity_frames = 32;
    std::vector<float> dest(2 * 8);
    EXPECT_EQ(r.read(dest.data(), dest.size()), 8u);
    EXPECT_EQ(r.cursor, 50u - 32u + 8u);
    r.close();
}

TEST_F(RingTest, SlotFollowsALiveCapacityChangeBetweenReads) {
    FakeRing ring = FakeRing::add(u"ring", 1, 64);
    RingReader r = open_ok();
    ring.produce(0, 40, test::sample_of);
    std::vector<float> dest(10);
    ASSERT_EQ(r.read(dest.data(), dest.size()), 10u);  // cursor 10, slot 10
    ring.header->capacity_frames = 7;                   // still inside the view
    for (std::size_t i = 0; i < 64; ++i) ring.data[i] = static_cast<float>(i);
    ASSERT_EQ(r.read(dest.data(), 3), 3u);
    // oldest = 40 - 7 = 33: the cursor catches up, and slot 33 mod 7 = 5 is read from.
    EXPECT_EQ(dest[0], 5.0f);
    EXPECT_EQ(dest[1], 6.0f);
    EXPECT_EQ(dest[2], 0.0f);  // wrapped to slot 0
    r.close();

    // Without a catch-up: the read goes on from the cursor, but in the new geometry.
    fake::reset();
    ring = FakeRing::add(u"ring", 1, 64);
    RingReader s = open_ok();
    ring.produce(0, 12, test::sample_of);
    ASSERT_EQ(s.read(dest.data(), 10), 10u);  // cursor 10, slot 10
    ring.header->capacity_frames = 7;         // oldest = 5 <= cursor: no catch-up
    ASSERT_EQ(s.read(dest.data(), 2), 2u);
    EXPECT_EQ(dest[0], ring.data[10 % 7]);
    EXPECT_EQ(dest[1], ring.data[11 % 7]);
    s.close();
}

TEST_F(RingTest, TwoReadersRaiseReadPosToTheLargerCursorInEitherOrder) {
    for (bool larger_first : {false, true}) {
        fake::reset();
        FakeRing ring = FakeRing::add(u"ring", 1, 4096);
        ring.produce(0, 2000, sample_of);
        RingReader a = open_ok();
        RingReader b = open_ok();
        a.cursor = 900;
        b.cursor = 1200;
        std::vector<float> none;
        if (larger_first) {
            b.read(none.data(), 0);
            a.read(none.data(), 0);
        } else {
            a.read(none.data(), 0);
            b.read(none.data(), 0);
        }
        EXPECT_EQ(ring.header->read_pos, 1200u);
        EXPECT_EQ(ring.header->backlog_frames, larger_first ? 1100u : 800u);  // the last reader wins
        a.close();
        b.close();
    }
}

// A peer that lowers read_pos between every load and swap does not hold the read in its loop: after a
// few attempts the raise is left to the next read, and the backlog is still stored.
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
    std::vector<float> dest(64);
    EXPECT_EQ(r.read(dest.data(), dest.size()), 64u);
    EXPECT_LE(accesses, 5u);
    EXPECT_EQ(ring.header->backlog_frames, 36u);
    fake::on_shared_access(nullptr);
    r.read(dest.data(), 0);  // the next read publishes the cursor again
    EXPECT_EQ(ring.header->read_pos, 64u);
    r.close();
}

TEST_F(RingTest, SnapshotCopiesEveryField) {
    FakeRing ring = FakeRing::add(u"ring", 5, 128, 777, 44100);
    ring.header->reserved0 = 0x1111;
    ring.header->reserved1 = 0x2222;
    ring.header->reserved2 = 0x3333;
    ring.header->reserved3[11] = 0x44;
    RingReader r = open_ok();
    const RingHeader s = r.snapshot();
    EXPECT_EQ(std::memcmp(&s, ring.header, sizeof s), 0);
    r.close();
}

}  // namespace
}  // namespace ondara
