// The mic level and mode control blocks on the fake platform: layouts, create-or-open, the publish
// hold-back rule and the mode request and readers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "protocol/mic_block.h"
#include "protocol/mode_block.h"
#include "protocol/ring.h"
#include "test_util.h"

namespace ondara {
namespace {

using test::u16;
using test::units;

constexpr std::uint64_t kNow = 1'704'067'200'000;

class ControlBlockTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        for (auto* m : mics) ondara_mic_free(m);
        ondara_mode_free(mode);
        EXPECT_EQ(fake::live_handles(), 0u);
        EXPECT_EQ(fake::live_views(), 0u);
    }

    OndaraMicPublisher* open_mic(const char* name = "mic") {
        const std::u16string n = u16(name);
        OndaraMicPublisher* m = nullptr;
        EXPECT_EQ(ondara_mic_open(units(n), n.size(), &m), ONDARA_OK);
        mics.push_back(m);
        return m;
    }
    MicLevelBlock* mic_block(const char16_t* name = u"mic") {
        return reinterpret_cast<MicLevelBlock*>(fake::object_data(name));
    }

    void open_mode(const char* name = "mode") {
        const std::u16string n = u16(name);
        ASSERT_EQ(ondara_mode_open(units(n), n.size(), &mode), ONDARA_OK);
    }
    ModeControlBlock* mode_block() { return reinterpret_cast<ModeControlBlock*>(fake::object_data(u"mode")); }

    std::vector<OndaraMicPublisher*> mics;
    OndaraModeControl* mode = nullptr;
};

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST_F(ControlBlockTest, FreshMicBlockInOffsetOrder) {
    open_mic();
    const MicLevelBlock* b = mic_block();
    EXPECT_EQ(b->magic, 0x43494D4Fu);
    EXPECT_EQ(std::memcmp(b, "OMIC", 4), 0);
    EXPECT_EQ(b->version, 1u);
    EXPECT_EQ(b->updated_ms, kNow);
    EXPECT_EQ(bits(b->level_a_db), 0xC2F00000u);
    EXPECT_EQ(bits(b->level_b_db), 0xC2F00000u);
    EXPECT_EQ(b->active, 1u);
    EXPECT_EQ(b->published, 0u);
    EXPECT_EQ(b->writer_token, 0u);
}

TEST_F(ControlBlockTest, FreshModeBlockInOffsetOrder) {
    open_mode();
    const ModeControlBlock* b = mode_block();
    EXPECT_EQ(std::memcmp(b, "OCTL", 4), 0);
    EXPECT_EQ(b->version, 1u);
    EXPECT_EQ(b->updated_ms, kNow);
    EXPECT_EQ(b->requested_mode, -1);
    EXPECT_EQ(b->applied_mode, 0);
    EXPECT_EQ(b->flags, 0u);
    for (float v : b->mixer_volumes) EXPECT_EQ(bits(v), 0x3F800000u);
    EXPECT_EQ(ondara_mode_applied(mode), 0);
    EXPECT_EQ(ondara_mode_vst3_bridge_active(mode), 0u);
    float volumes[4] = {};
    EXPECT_EQ(ondara_mode_mixer_volumes(mode, volumes), ONDARA_OK);
    for (float v : volumes) EXPECT_EQ(v, 1.0f);
}

TEST_F(ControlBlockTest, SecondOpenOfAnExistingBlockResetsIt) {
    auto* a = open_mic();
    ASSERT_EQ(ondara_mic_publish(a, -3.0f, -4.0f), ONDARA_OK);
    ASSERT_EQ(mic_block()->published, 1u);
    fake::advance_clock_ms(50);
    open_mic();
    const MicLevelBlock* b = mic_block();
    EXPECT_EQ(b->published, 0u);
    EXPECT_EQ(b->writer_token, 0u);
    EXPECT_EQ(b->level_a_db, kMinLevelDb);
    EXPECT_EQ(b->updated_ms, kNow + 50);

    open_mode();
    mode_block()->applied_mode = 2;
    mode_block()->flags = 6;
    mode_block()->mixer_volumes[1] = 0.5f;
    OndaraModeControl* second = nullptr;
    const std::u16string n = u16("mode");
    ASSERT_EQ(ondara_mode_open(units(n), n.size(), &second), ONDARA_OK);
    EXPECT_EQ(mode_block()->applied_mode, 0);
    EXPECT_EQ(mode_block()->flags, 0u);
    EXPECT_EQ(mode_block()->mixer_volumes[1], 1.0f);
    ondara_mode_free(second);
}

// A name that already holds another kind of segment (a typo in a configuration, say) is never reset:
// the open fails and writes nothing. A block of the open's own kind, zeros and garbage still are.
TEST_F(ControlBlockTest, AnOpenNeverResetsAnotherKindOfSegment) {
    struct Case {
        bool mic;              // a mic open, else a mode open
        std::uint32_t first;   // the object's first word
        bool reset;
    } cases[] = {
        {true, kRingMagic, false},  {true, kModeMagic, false},  {true, kMicMagic, true},
        {true, 0, true},            {true, 0x4349'4D4E, true},  {false, kRingMagic, false},
        {false, kMicMagic, false},  {false, kModeMagic, true},  {false, 0xFFFF'FFFF, true},
    };
    for (const Case& c : cases) {
        fake::reset();
        unsigned char* bytes = fake::add_object(u"seg", 200);
        for (std::size_t i = 0; i < 200; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
        std::memcpy(bytes, &c.first, 4);
        const std::vector<unsigned char> before(bytes, bytes + 200);
        const std::u16string n = u16("seg");
        OndaraMicPublisher* m = nullptr;
        OndaraModeControl* d = nullptr;
        const OndaraStatus st = c.mic ? ondara_mic_open(units(n), n.size(), &m) : ondara_mode_open(units(n), n.size(), &d);
        const std::string what = std::string(c.mic ? "mic" : "mode") + " open over first word " + std::to_string(c.first);
        EXPECT_EQ(st, c.reset ? ONDARA_OK : ONDARA_OPEN_BRIDGE_FAILED) << what;
        const std::uint32_t own = c.mic ? kMicMagic : kModeMagic;
        if (c.reset) {
            EXPECT_EQ(std::memcmp(bytes, &own, 4), 0) << what;
        } else {
            EXPECT_EQ(std::memcmp(bytes, before.data(), before.size()), 0) << what << " wrote into it";
            EXPECT_EQ(fake::live_handles(), 0u) << what;
            EXPECT_EQ(fake::live_views(), 0u) << what;
        }
        ondara_mic_free(m);
        ondara_mode_free(d);
    }
}

// When the create call fails, an existing block is validated and, if good, used as found.
TEST_F(ControlBlockTest, OpenedBlocksAreValidatedAndLeftUnchanged) {
    struct MicCase {
        void (*mutate)(MicLevelBlock&);
        bool accepted;
    } mic_cases[] = {
        {[](MicLevelBlock&) {}, true},
        {[](MicLevelBlock& b) { b.published = 0, b.writer_token = 0, b.updated_ms = 0; }, true},
        {[](MicLevelBlock& b) { b.magic = 0; }, false},
        {[](MicLevelBlock& b) { b.version = 2; }, false},
        {[](MicLevelBlock& b) { b.active = 0; }, false},
    };
    for (const MicCase& c : mic_cases) {
        fake::reset();
        auto* b = reinterpret_cast<MicLevelBlock*>(fake::add_object(u"mic", 40));
        *b = {kMicMagic, 1, 123, -1.0f, -2.0f, 1, 1, 0x99};
        c.mutate(*b);
        const MicLevelBlock before = *b;
        fake::fail(fake::Op::Create, 5);
        const std::u16string n = u16("mic");
        OndaraMicPublisher* m = nullptr;
        EXPECT_EQ(ondara_mic_open(units(n), n.size(), &m), c.accepted ? ONDARA_OK : ONDARA_OPEN_BRIDGE_FAILED);
        EXPECT_EQ(std::memcmp(&before, b, sizeof before), 0);
        EXPECT_EQ(fake::live_handles(), c.accepted ? 1u : 0u);
        EXPECT_EQ(fake::live_views(), c.accepted ? 1u : 0u);
        ondara_mic_free(m);
    }
    struct ModeCase {
        void (*mutate)(ModeControlBlock&);
        bool accepted;
    } mode_cases[] = {
        {[](ModeControlBlock& b) { b.flags = 0xFFFFFFFF, b.applied_mode = 9, b.mixer_volumes[3] = NAN; }, true},
        {[](ModeControlBlock& b) { b.magic = kMicMagic; }, false},
        {[](ModeControlBlock& b) { b.version = 0; }, false},
    };
    for (const ModeCase& c : mode_cases) {
        fake::reset();
        auto* b = reinterpret_cast<ModeControlBlock*>(fake::add_object(u"mode", 48));
        *b = {kModeMagic, 1, 55, 3, 2, 2, {0.1f, 0.2f, 0.3f, 0.4f}, 0xABCD};
        c.mutate(*b);
        const ModeControlBlock before = *b;
        fake::fail(fake::Op::Create, 5);
        const std::u16string n = u16("mode");
        OndaraModeControl* m = nullptr;
        EXPECT_EQ(ondara_mode_open(units(n), n.size(), &m), c.accepted ? ONDARA_OK : ONDARA_OPEN_BRIDGE_FAILED);
        EXPECT_EQ(m != nullptr, c.accepted);
        EXPECT_EQ(std::memcmp(&before, b, sizeof before), 0);
        ondara_mode_free(m);
        EXPECT_EQ(fake::live_handles(), 0u);
    }
}

TEST_F(ControlBlockTest, WriteStoresPiecesFromTheEndAndStampsTheTime) {
    auto* view = reinterpret_cast<MicLevelBlock*>(fake::add_object(u"w", 40));
    MicLevelBlock b{kMicMagic, 1, 999, 1.0f, 2.0f, 1, 1, 77};
    fake::set_clock_ms(42);
    write_block(view, b);
    EXPECT_EQ(view->updated_ms, 42u);
    EXPECT_EQ(view->writer_token, 77u);
    EXPECT_EQ(view->level_b_db, 2.0f);

    auto* mode_view = reinterpret_cast<ModeControlBlock*>(fake::add_object(u"m", 48));
    ModeControlBlock m{kModeMagic, 1, 5, 1, 2, 3, {4, 5, 6, 7}, 0xFEED};
    fake::set_clock_ms(0);  // before or at the epoch: stored as 0
    fake::advance_clock_ms(-1);
    write_block(mode_view, m);
    EXPECT_EQ(mode_view->updated_ms, 0u);
    EXPECT_EQ(mode_view->reserved, 0xFEEDu);
    EXPECT_EQ(mode_view->mixer_volumes[3], 7.0f);
}

TEST_F(ControlBlockTest, PublishClampsAndChecksInOrder) {
    EXPECT_EQ(ondara_mic_publish(nullptr, NAN, NAN), ONDARA_NULL_POINTER);
    auto* m = open_mic();
    const float inf = std::numeric_limits<float>::infinity();
    const MicLevelBlock before = *mic_block();
    for (auto [a, b] : {std::pair{NAN, 0.0f}, {0.0f, inf}, {-inf, 0.0f}, {0.0f, -NAN}}) {
        EXPECT_EQ(ondara_mic_publish(m, a, b), ONDARA_INVALID_ARGUMENT);
    }
    EXPECT_EQ(std::memcmp(&before, mic_block(), sizeof before), 0);

    fake::advance_clock_ms(7);
    EXPECT_EQ(ondara_mic_publish(m, 10.0f, -200.0f), ONDARA_OK);
    EXPECT_EQ(mic_block()->level_a_db, 6.0f);
    EXPECT_EQ(mic_block()->level_b_db, -120.0f);
    EXPECT_EQ(mic_block()->published, 1u);
    EXPECT_EQ(mic_block()->updated_ms, kNow + 7);
    EXPECT_EQ(ondara_mic_publish(m, -0.0f, -119.5f), ONDARA_OK);
    EXPECT_EQ(bits(mic_block()->level_a_db), 0x80000000u);
    EXPECT_EQ(mic_block()->level_b_db, -119.5f);
}

TEST_F(ControlBlockTest, WriterTokensCarryTheProcessAndASerial) {
    fake::set_process_id(0x1234);
    auto* a = open_mic();
    auto* b = open_mic("other");
    const std::u16string bad;
    OndaraMicPublisher* failed = nullptr;
    EXPECT_EQ(ondara_mic_open(units(bad), 0, &failed), ONDARA_INVALID_ARGUMENT);  // does not advance the serial
    auto* c = open_mic("third");
    ondara_mic_publish(a, 0, 0);
    ondara_mic_publish(b, 0, 0);
    ondara_mic_publish(c, 0, 0);
    const std::uint64_t ta = mic_block(u"mic")->writer_token;
    const std::uint64_t tb = mic_block(u"other")->writer_token;
    const std::uint64_t tc = mic_block(u"third")->writer_token;
    EXPECT_EQ(ta >> 32, 0x1234u);
    EXPECT_NE(ta & 0xFFFFFFFF, 0u);
    EXPECT_EQ(tb, ta + 1);
    EXPECT_EQ(tc, ta + 2);

    // Without the process-wide numbering the copy numbers on its own: distinct, with the pid, never 0.
    fake::set_writer_serial_reachable(false);
    auto* d = open_mic("fourth");
    auto* e = open_mic("fifth");
    ondara_mic_publish(d, 0, 0);
    ondara_mic_publish(e, 0, 0);
    const std::uint64_t td = mic_block(u"fourth")->writer_token;
    EXPECT_EQ(td >> 32, 0x1234u);
    EXPECT_NE(td & 0xFFFFFFFF, 0u);
    EXPECT_NE(mic_block(u"fifth")->writer_token, td);
    EXPECT_EQ(mic_block(u"fifth")->writer_token >> 32, 0x1234u);
}

TEST_F(ControlBlockTest, AnotherFreshWriterIsLeftAloneUntilStale) {
    auto* m = open_mic();
    MicLevelBlock* b = mic_block();
    auto other_wrote = [&](std::uint64_t at) {
        *b = {kMicMagic, 1, at, -1.0f, -1.0f, 1, 1, 0xFFFF000000000001};
    };
    other_wrote(kNow - 300);
    EXPECT_EQ(ondara_mic_publish(m, -5.0f, -5.0f), ONDARA_OK);
    EXPECT_EQ(b->level_a_db, -1.0f);
    other_wrote(kNow - 301);
    EXPECT_EQ(ondara_mic_publish(m, -5.0f, -5.0f), ONDARA_OK);
    EXPECT_EQ(b->level_a_db, -5.0f);
    EXPECT_NE(b->writer_token, 0xFFFF000000000001u);

    // A stamp ahead of the clock is fresh up to the same 300 ms; one further ahead is left over from a
    // clock set back and must not hold every other publisher back until the clock catches up.
    other_wrote(kNow + 300);
    ondara_mic_publish(m, -6.0f, -6.0f);
    EXPECT_EQ(b->level_a_db, -1.0f);
    other_wrote(kNow + 301);
    ondara_mic_publish(m, -6.0f, -6.0f);
    EXPECT_EQ(b->level_a_db, -6.0f);
    other_wrote(kNow + 10'000);
    ondara_mic_publish(m, -6.5f, -6.5f);
    EXPECT_EQ(b->level_a_db, -6.5f);

    // Any of these makes the block free to take.
    for (auto free_it : {+[](MicLevelBlock& x) { x.updated_ms = 0; }, +[](MicLevelBlock& x) { x.writer_token = 0; },
                         +[](MicLevelBlock& x) { x.published = 0; }, +[](MicLevelBlock& x) { x.active = 2; },
                         +[](MicLevelBlock& x) { x.magic = 1; }, +[](MicLevelBlock& x) { x.version = 3; }}) {
        other_wrote(kNow);
        free_it(*b);
        ondara_mic_publish(m, -7.0f, -7.0f);
        EXPECT_EQ(b->level_a_db, -7.0f);
        EXPECT_EQ(b->magic, kMicMagic);  // a damaged header is repaired
        EXPECT_EQ(b->version, 1u);
        EXPECT_EQ(b->active, 1u);
    }
}

TEST_F(ControlBlockTest, OwnTokenAlwaysWritesAndTwoPublishersHoldBackForEachOther) {
    auto* a = open_mic();
    auto* b = open_mic();  // resets the block; both now point at it
    MicLevelBlock* blk = mic_block();
    ASSERT_EQ(ondara_mic_publish(a, -1.0f, -1.0f), ONDARA_OK);
    const std::uint64_t owner = blk->writer_token;
    fake::advance_clock_ms(1);
    ondara_mic_publish(a, -2.0f, -2.0f);  // own token, however fresh
    EXPECT_EQ(blk->level_a_db, -2.0f);
    ondara_mic_publish(b, -3.0f, -3.0f);
    EXPECT_EQ(blk->level_a_db, -2.0f);
    EXPECT_EQ(blk->writer_token, owner);
    fake::advance_clock_ms(301);
    ondara_mic_publish(b, -3.0f, -3.0f);
    EXPECT_EQ(blk->level_a_db, -3.0f);
    EXPECT_NE(blk->writer_token, owner);
    ondara_mic_publish(a, -4.0f, -4.0f);
    EXPECT_EQ(blk->level_a_db, -3.0f);
}

TEST_F(ControlBlockTest, ModeRequestStoresOnlyItsFields) {
    open_mode();
    ModeControlBlock* b = mode_block();
    b->flags = 2;
    b->applied_mode = 1;
    b->mixer_volumes[2] = 0.25f;
    b->reserved = 0x5A5A;
    const ModeControlBlock before = *b;
    for (int bad : {4, 7, -1}) EXPECT_EQ(ondara_mode_request(mode, bad), ONDARA_INVALID_ARGUMENT);
    EXPECT_EQ(std::memcmp(&before, b, sizeof before), 0);

    fake::advance_clock_ms(25);
    const std::size_t maps = fake::calls(fake::Op::Map);
    EXPECT_EQ(ondara_mode_request(mode, 2), ONDARA_OK);
    EXPECT_EQ(fake::calls(fake::Op::Map), maps);
    EXPECT_EQ(b->requested_mode, 2);
    EXPECT_EQ(b->flags, 3u);
    EXPECT_EQ(b->updated_ms, kNow + 25);
    ModeControlBlock expected = before;
    expected.requested_mode = 2;
    expected.flags = 3;
    expected.updated_ms = kNow + 25;
    EXPECT_EQ(std::memcmp(&expected, b, sizeof expected), 0);
    EXPECT_EQ(ondara_mode_request(mode, 0), ONDARA_OK);
    EXPECT_EQ(ondara_mode_request(mode, 3), ONDARA_OK);
    EXPECT_EQ(b->requested_mode, 3);
}

TEST_F(ControlBlockTest, ModeReadersReportWhatTheBlockHolds) {
    open_mode();
    ModeControlBlock* b = mode_block();
    for (auto [applied, expected] : {std::pair{4, -1}, {7, -1}, {-5, -1}, {3, 3}, {0, 0}}) {
        b->applied_mode = applied;
        EXPECT_EQ(ondara_mode_applied(mode), expected) << applied;
    }
    b->flags = 0xFFFFFFFF;
    EXPECT_EQ(ondara_mode_vst3_bridge_active(mode), 1u);
    b->flags = 1;
    EXPECT_EQ(ondara_mode_vst3_bridge_active(mode), 0u);
    b->flags = 2;
    EXPECT_EQ(ondara_mode_vst3_bridge_active(mode), 1u);
    b->magic = 0;  // the readers never test the header
    b->mixer_volumes[1] = std::bit_cast<float>(0x7FC00123u);
    b->mixer_volumes[3] = -3.5f;
    float out[4] = {};
    EXPECT_EQ(ondara_mode_mixer_volumes(mode, nullptr), ONDARA_NULL_POINTER);
    EXPECT_EQ(ondara_mode_mixer_volumes(mode, out), ONDARA_OK);
    EXPECT_EQ(bits(out[1]), 0x7FC00123u);
    EXPECT_EQ(out[3], -3.5f);
}

TEST_F(ControlBlockTest, NullHandlesGetNeutralAnswers) {
    float out[4] = {9, 9, 9, 9};
    EXPECT_EQ(ondara_mode_request(nullptr, 9), ONDARA_NULL_POINTER);
    EXPECT_EQ(ondara_mode_applied(nullptr), -1);
    EXPECT_EQ(ondara_mode_mixer_volumes(nullptr, out), ONDARA_NULL_POINTER);
    EXPECT_EQ(out[0], 9.0f);
    EXPECT_EQ(ondara_mode_vst3_bridge_active(nullptr), 0u);
    ondara_mode_free(nullptr);
    ondara_mic_free(nullptr);
}

TEST_F(ControlBlockTest, OpenArgumentChecks) {
    const std::u16string name = u16("abc");
    const std::u16string bad = {u'a', 0xD800};
    EXPECT_EQ(ondara_mic_open(nullptr, 0, nullptr), ONDARA_NULL_POINTER);
    EXPECT_EQ(ondara_mode_open(units(bad), bad.size(), nullptr), ONDARA_NULL_POINTER);
    EXPECT_EQ(fake::calls(fake::Op::Create), 0u);
    OndaraMicPublisher* m = reinterpret_cast<OndaraMicPublisher*>(&m);
    EXPECT_EQ(ondara_mic_open(units(name), 0, &m), ONDARA_INVALID_ARGUMENT);
    EXPECT_EQ(m, nullptr);
    OndaraModeControl* c = reinterpret_cast<OndaraModeControl*>(&c);
    EXPECT_EQ(ondara_mode_open(nullptr, 3, &c), ONDARA_INVALID_ARGUMENT);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(ondara_mode_open(units(bad), bad.size(), &c), ONDARA_INVALID_ARGUMENT);
    const std::u16string pair = {0xD800, 0xDC00};
    EXPECT_EQ(ondara_mode_open(units(pair), pair.size(), &c), ONDARA_OK);
    ondara_mode_free(c);
    // An empty name up to the first zero could never be found by the companion.
    const std::u16string empty = {0, u'A'};
    c = reinterpret_cast<OndaraModeControl*>(&c);
    EXPECT_EQ(ondara_mode_open(units(empty), empty.size(), &c), ONDARA_OPEN_BRIDGE_FAILED);
    EXPECT_EQ(c, nullptr);
    fake::fail(fake::Op::Create, 5);
    fake::fail(fake::Op::Open, 2);
    EXPECT_EQ(ondara_mic_open(units(name), name.size(), &m), ONDARA_OPEN_BRIDGE_FAILED);
    EXPECT_EQ(m, nullptr);
}

}  // namespace
}  // namespace ondara
