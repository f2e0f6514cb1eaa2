// Every path of create-or-open and open-only, and what each leaves behind.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "platform/segment.h"
#include "protocol/ring_producer.h"
#include "test_util.h"

namespace ondara {
namespace {

using fake::Op;
using Kind = SegmentError::Kind;

class SegmentTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        EXPECT_EQ(fake::live_handles(), 0u);
        EXPECT_EQ(fake::live_views(), 0u);
    }

    Expected<Segment> create_or_open(std::string_view name, std::uint32_t size = 48, bool accept = true) {
        return Segment::create_or_open(
            name, size,
            [](const void*) { return true; },
            [&](void* view) {
                ++initialised;
                static_cast<unsigned char*>(view)[0] = 0xAA;
            },
            [&](const void* view) {
                ++validated;
                seen_first_byte = static_cast<const unsigned char*>(view)[0];
                return accept;
            });
    }

    Expected<Segment> open(std::string_view name, Segment::CheckResult verdict) {
        return Segment::open(
            name, 72, [&](const void* view) { seen_first_byte = static_cast<const unsigned char*>(view)[0]; },
            [&] {
                // The probe view is gone before the check runs.
                views_during_check = fake::live_views();
                return verdict.ok() ? Segment::CheckResult(verdict.value()) : Segment::CheckResult(verdict.error());
            });
    }

    int initialised = 0;
    int validated = 0;
    int seen_first_byte = -1;
    std::size_t views_during_check = 99;
};

TEST_F(SegmentTest, CreateOfANewNameInitialisesWithoutValidating) {
    auto s = create_or_open("fresh");
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(initialised, 1);
    EXPECT_EQ(validated, 0);
    EXPECT_EQ(s.value().length(), 48u);
    EXPECT_EQ(fake::object_size(u"fresh"), 48u);
    EXPECT_EQ(fake::live_handles(), 1u);
    EXPECT_EQ(fake::live_views(), 1u);
    s.value() = Segment();  // releases it
    EXPECT_FALSE(fake::object_exists(u"fresh"));  // the last handle and view took the object with them
}

TEST_F(SegmentTest, CreateOfAnExistingNameStillInitialises) {
    unsigned char* bytes = fake::add_object(u"live", 48);
    bytes[0] = 0x11;
    auto s = create_or_open("live");
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(initialised, 1);
    EXPECT_EQ(validated, 0);
    EXPECT_EQ(bytes[0], 0xAA);
    s.value() = Segment();
    EXPECT_TRUE(fake::object_exists(u"live"));  // the companion still holds it
}

TEST_F(SegmentTest, ExistingObjectTooSmallFailsToMapAndClosesTheHandle) {
    fake::add_object(u"small", 40);
    auto s = create_or_open("small", 48);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::MapFailed);
    EXPECT_EQ(s.error().os_error, 5u);
    EXPECT_EQ(initialised, 0);
}

TEST_F(SegmentTest, MapFailureAfterCreateCarriesTheMapError) {
    fake::fail(Op::Map, 1455);
    auto s = create_or_open("mapfail");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::MapFailed);
    EXPECT_EQ(s.error().os_error, 1455u);
}

TEST_F(SegmentTest, CreateAndOpenBothFailingCarriesTheOpenErrorAndTheName) {
    fake::fail(Op::Create, 5);
    fake::fail(Op::Open, 6);
    auto s = create_or_open("both\xC3\xA9");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::CreateOrOpenFailed);
    EXPECT_EQ(s.error().os_error, 6u);
    EXPECT_EQ(s.error().name, "both\xC3\xA9");
}

TEST_F(SegmentTest, OpenedAfterCreateFailsIsValidatedAndLeftAsFound) {
    unsigned char* bytes = fake::add_object(u"found", 48);
    bytes[0] = 0x33;
    fake::fail(Op::Create, 5);
    auto s = create_or_open("found");
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(validated, 1);
    EXPECT_EQ(initialised, 0);
    EXPECT_EQ(seen_first_byte, 0x33);
    EXPECT_EQ(bytes[0], 0x33);
}

TEST_F(SegmentTest, OpenedAndRejectedReleasesViewAndHandle) {
    fake::add_object(u"bad", 48);
    fake::fail(Op::Create, 5);
    auto s = create_or_open("bad", 48, false);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::InvalidHeader);
    EXPECT_EQ(fake::calls(Op::Unmap), 1u);
    EXPECT_EQ(fake::calls(Op::Close), 1u);
}

TEST_F(SegmentTest, OpenedThenMapFailed) {
    fake::add_object(u"nomap", 48);
    fake::fail(Op::Create, 5);
    fake::fail(Op::Map, 8);
    auto s = create_or_open("nomap");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::MapFailed);
    EXPECT_EQ(s.error().os_error, 8u);
    EXPECT_EQ(validated, 0);
}

TEST_F(SegmentTest, OpenOfAMissingNameCarriesTheNameByteForByte) {
    const std::string name("ring-\xE2\x82\xAC-\xF0\x9F\x98\x80", 12);
    auto s = open(name, std::size_t{72});
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::OpenFailed);
    EXPECT_EQ(s.error().os_error, 2u);
    EXPECT_EQ(s.error().name, name);
    EXPECT_EQ(fake::calls(Op::Create), 0u);  // open-only never creates
}

TEST_F(SegmentTest, OpenProbeMapFailed) {
    fake::add_object(u"r", 100);
    fake::fail(Op::Map, 9);
    auto s = open("r", std::size_t{100});
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::MapFailed);
    EXPECT_EQ(s.error().os_error, 9u);
}

TEST_F(SegmentTest, OpenProbeRejectedPassesTheCheckersError) {
    fake::add_object(u"r", 100)[0] = 0x44;
    auto s = open("r", SegmentError::invalid_format(1, 2, 3));
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::InvalidFormat);
    EXPECT_EQ(s.error().format, (std::array<std::uint32_t, 3>{1, 2, 3}));
    EXPECT_EQ(seen_first_byte, 0x44);
    EXPECT_EQ(views_during_check, 0u);
}

TEST_F(SegmentTest, OpenFullMapFailed) {
    fake::add_object(u"r", 100);
    auto s = open("r", std::size_t{101});  // more than the object holds
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Kind::MapFailed);
    EXPECT_EQ(fake::calls(Op::Unmap), 1u);  // the probe
}

TEST_F(SegmentTest, OpenMapsTheFullLengthTheCheckAsksFor) {
    fake::add_object(u"r", 100);
    auto s = open("r", std::size_t{100});
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s.value().length(), 100u);
    EXPECT_EQ(views_during_check, 0u);
    EXPECT_EQ(fake::live_views(), 1u);
}

TEST_F(SegmentTest, NameUpToAZeroCodeUnitAddressesTheObject) {
    fake::add_object(u"A", 100);
    auto s = open(std::string("A\0B", 3), std::size_t{100});
    ASSERT_TRUE(s.ok());
}

TEST_F(SegmentTest, EmptyEffectiveNameIsRefusedByCreateAndOpen) {
    auto created = create_or_open(std::string("\0A", 2));
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().kind, Kind::CreateOrOpenFailed);
    auto opened = open(std::string("\0", 1), std::size_t{72});
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind, Kind::OpenFailed);
}

// The producer's refusals and failures leave the ring as it was and nothing open (TearDown).
TEST_F(SegmentTest, AProducerRefusedOrFailingLeavesTheRingAndNothingOpen) {
    const RingFormat format{48000, 2, 64};
    RingProducer::Error error;
    std::optional<RingProducer> first = RingProducer::create("r", format, error);
    ASSERT_TRUE(first) << error.message;
    EXPECT_FALSE(RingProducer::create("r", format, error));
    EXPECT_EQ(error.kind, RingProducer::Failure::Exists);

    // Held: the fake tells the holder, as Linux does.
    fake::drop_producer_lock(u"r");
    fake::hold_producer_lock(u"r", 777);
    EXPECT_FALSE(RingProducer::take_over("r", format, error));
    EXPECT_EQ(error.kind, RingProducer::Failure::Held);
    EXPECT_EQ(error.holder, 777u);
    EXPECT_NE(error.message.find("a producer (process 777) holds the ring r"), std::string::npos) << error.message;
    fake::drop_producer_lock(u"r");

    first->writer().publish(500);
    EXPECT_FALSE(RingProducer::take_over("r", RingFormat{48000, 2, 65}, error));
    EXPECT_EQ(error.kind, RingProducer::Failure::TooSmall);
    fake::fail(Op::Map, 8, 1);  // the full view, after the header's
    EXPECT_FALSE(RingProducer::take_over("r", format, error));
    EXPECT_EQ(error.kind, RingProducer::Failure::Failed);
    EXPECT_EQ(first->writer().write_pos(), 500u) << "a failed take-over wrote into the ring";
    EXPECT_EQ(first->writer().header()->channels, 2u);
    first.reset();
    fake::release_object(u"r");
}

}  // namespace
}  // namespace ondara
