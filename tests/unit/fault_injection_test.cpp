// Every failure path of the three opens, with every kind of platform error: the documented status,
// *out null, and nothing left open afterwards.
#include <gtest/gtest.h>

#include "protocol/mic_block.h"
#include "protocol/mode_block.h"
#include "test_util.h"

namespace ondara {
namespace {

using fake::Op;
using test::FakeRing;
using test::u16;
using test::units;

constexpr std::uint32_t kErrors[] = {2, 5, 8, 87, 1455, 0xFFFFFFFF};

enum class Family { Mic, Mode, Receiver };

// Opens the family's handle on "seg"; returns the status, frees any handle, and checks *out.
OndaraStatus open_and_free(Family family) {
    const std::u16string name = u16("seg");
    OndaraStatus status = 0;
    void* handle = &status;  // a non-null value the open must overwrite
    switch (family) {
        case Family::Mic:
            status = ondara_mic_open(units(name), name.size(), reinterpret_cast<OndaraMicPublisher**>(&handle));
            ondara_mic_free(static_cast<OndaraMicPublisher*>(handle));
            break;
        case Family::Mode:
            status = ondara_mode_open(units(name), name.size(), reinterpret_cast<OndaraModeControl**>(&handle));
            ondara_mode_free(static_cast<OndaraModeControl*>(handle));
            break;
        case Family::Receiver:
            status = ondara_receiver_open(units(name), name.size(), 256, 1, reinterpret_cast<OndaraReceiver**>(&handle));
            ondara_receiver_free(static_cast<OndaraReceiver*>(handle));
            break;
    }
    EXPECT_EQ(handle == nullptr, status != ONDARA_OK) << "status " << status;
    return status;
}

// An existing block of the family, valid or not, held by the companion.
void add_block(Family family, bool valid) {
    if (family == Family::Mic) {
        auto* b = reinterpret_cast<MicLevelBlock*>(fake::add_object(u"seg", 40));
        *b = {valid ? kMicMagic : 0u, 1, 1, 0.0f, 0.0f, 1, 0, 0};
    } else {
        auto* b = reinterpret_cast<ModeControlBlock*>(fake::add_object(u"seg", 48));
        *b = {valid ? kModeMagic : 0u, 1, 1, -1, 0, 0, {1, 1, 1, 1}, 0};
    }
}

struct Scenario {
    const char* what;
    void (*arrange)(Family, std::uint32_t error);
    OndaraStatus expected;
};

const Scenario kBlockScenarios[] = {
    {"created, mapped", [](Family, std::uint32_t) {}, ONDARA_OK},
    {"created, map failed", [](Family, std::uint32_t e) { fake::fail(Op::Map, e); }, ONDARA_OPEN_BRIDGE_FAILED},
    {"create and open failed",
     [](Family, std::uint32_t e) {
         fake::fail(Op::Create, e);
         fake::fail(Op::Open, e);
     },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"create failed, nothing to open", [](Family, std::uint32_t e) { fake::fail(Op::Create, e); },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"opened, map failed",
     [](Family f, std::uint32_t e) {
         add_block(f, true);
         fake::fail(Op::Create, e);
         fake::fail(Op::Map, e);
     },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"opened, rejected",
     [](Family f, std::uint32_t e) {
         add_block(f, false);
         fake::fail(Op::Create, e);
     },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"opened, accepted",
     [](Family f, std::uint32_t e) {
         add_block(f, true);
         fake::fail(Op::Create, e);
     },
     ONDARA_OK},
};

const Scenario kRingScenarios[] = {
    {"full view mapped", [](Family, std::uint32_t) { FakeRing::add(u"seg", 2, 512); }, ONDARA_OK},
    {"open failed", [](Family, std::uint32_t e) {
         FakeRing::add(u"seg", 2, 512);
         fake::fail(Op::Open, e);
     },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"no ring", [](Family, std::uint32_t) {}, ONDARA_OPEN_BRIDGE_FAILED},
    {"probe map failed",
     [](Family, std::uint32_t e) {
         FakeRing::add(u"seg", 2, 512);
         fake::fail(Op::Map, e);
     },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"probe rejected (header)", [](Family, std::uint32_t) { FakeRing::add(u"seg", 2, 512).header->magic = 0; },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"probe rejected (format)", [](Family, std::uint32_t) { FakeRing::add(u"seg", 2, 512).header->sample_rate = 0; },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"full map failed",
     [](Family, std::uint32_t e) {
         FakeRing::add(u"seg", 2, 512);
         fake::fail(Op::Map, e, 1);
     },
     ONDARA_OPEN_BRIDGE_FAILED},
    {"ring shorter than its header",
     [](Family, std::uint32_t) { FakeRing::add(u"seg", 2, 512).header->capacity_frames = 513; },
     ONDARA_OPEN_BRIDGE_FAILED},
};

template <std::size_t N>
void sweep(Family family, const Scenario (&scenarios)[N]) {
    for (const Scenario& s : scenarios) {
        for (std::uint32_t error : kErrors) {
            SCOPED_TRACE(testing::Message() << s.what << ", error " << error);
            fake::reset();
            s.arrange(family, error);
            EXPECT_EQ(open_and_free(family), s.expected);
            EXPECT_EQ(fake::live_handles(), 0u);
            EXPECT_EQ(fake::live_views(), 0u);
        }
    }
}

TEST(FaultInjection, MicOpen) { sweep(Family::Mic, kBlockScenarios); }
TEST(FaultInjection, ModeOpen) { sweep(Family::Mode, kBlockScenarios); }
TEST(FaultInjection, ReceiverOpen) { sweep(Family::Receiver, kRingScenarios); }

// Failing any single platform call of a successful open, at any position, never leaves anything open.
TEST(FaultInjection, EveryCallOfEveryOpenFailsInTurn) {
    for (Family family : {Family::Mic, Family::Mode, Family::Receiver}) {
        for (Op op : {Op::Create, Op::Open, Op::Map}) {
            for (int skip = 0; skip < 3; ++skip) {
                for (bool existing : {false, true}) {
                    SCOPED_TRACE(testing::Message() << int(family) << " op " << int(op) << " skip " << skip);
                    fake::reset();
                    if (family == Family::Receiver) {
                        FakeRing::add(u"seg", 6, 100);
                    } else if (existing) {
                        add_block(family, true);
                    }
                    fake::fail(op, 5, skip);
                    const OndaraStatus s = open_and_free(family);
                    EXPECT_TRUE(s == ONDARA_OK || s == ONDARA_OPEN_BRIDGE_FAILED) << s;
                    EXPECT_EQ(fake::live_handles(), 0u);
                    EXPECT_EQ(fake::live_views(), 0u);
                }
            }
        }
    }
}

}  // namespace
}  // namespace ondara
