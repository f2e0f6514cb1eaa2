// A soak across processes: a producer process writes the ramp at a steady real-time pace while two
// receiver processes render blocks of different sizes, and three mic publishers in their own processes
// start and stop in turn. Each receiver checks that what it got is the ramp, frame after frame, with
// silence only where the producer had nothing yet; that read_pos never went down; the parent checks
// that read_pos ends at the last frame and that the mic block always had exactly one owner, handed
// on only after the owner went quiet. ONDARA_SOAK_SECONDS sets the length (default 3; scripts/soak
// runs longer).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ondara.h"
#include "os_support.h"
#include "platform/clock.h"
#include "protocol/mic_block.h"
#include "protocol/shared_access.h"

namespace ondara::ostest {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kCapacity = 65536;  // 1.4 s: a receiver is never a whole ring behind
constexpr std::uint64_t kChunk = 240;       // 5 ms of audio per producer step

std::uint64_t soak_seconds() {
    const char* s = std::getenv("ONDARA_SOAK_SECONDS");
    const std::uint64_t v = s != nullptr ? std::strtoull(s, nullptr, 10) : 0;
    return v > 0 ? v : 3;
}

std::uint64_t total_frames(std::uint64_t seconds) { return seconds * 1000 / 5 * kChunk; }

void sleep_until_ms(std::uint64_t unix_ms) {
    while (now_ms() < unix_ms) std::this_thread::sleep_for(1ms);
}

// args: name seconds ready... — starts writing once every receiver has said, through a segment of
// its own, that it holds the ring open at frame 0.
ONDARA_CHILD_ROLE(soak_producer_role, "soak-producer") {
    const std::u16string name = u16(args.at(0));
    const std::uint64_t total = total_frames(parse_u64(args.at(1)));
    auto ring = ProducedRing::create(name, 2, kCapacity, kRate);
    if (!ring) return child_fail(2, "cannot create the ring");
    ring->announce();
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (!wait_until([&] { return SharedView::open(u16(args[i]), sizeof(MicLevelBlock)).has_value(); }, 60s)) {
            return child_fail(2, "a receiver never got ready");
        }
    }
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t f = 0, step = 0; f < total; f += kChunk, ++step) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(5 * step));
        ring->write_ramp(f, f + kChunk);
        ring->publish(f + kChunk);
    }
    // Hold the ring until both readers are through (the last reader's cursor is the total).
    if (!wait_until([&] { return ring->read_pos() >= total; }, 20s)) return child_fail(3, "readers never finished");
    std::this_thread::sleep_for(200ms);
    return 0;
}

// args: name block total ready
ONDARA_CHILD_ROLE(soak_receiver_role, "soak-receiver") {
    const std::u16string name = u16(args.at(0));
    const std::size_t block = parse_u64(args.at(1));
    const std::uint64_t total = parse_u64(args.at(2));
    const std::u16string ready = u16(args.at(3));
    OndaraReceiver* rx = nullptr;
    if (!wait_until([&] { return ondara_receiver_open(units(name), name.size(), block, 0, &rx) == ONDARA_OK; }, 60s)) {
        return child_fail(2, "the ring never opened");
    }
    OndaraMicPublisher* ready_flag = nullptr;  // its segment tells the producer to start
    if (ondara_mic_open(units(ready), ready.size(), &ready_flag) != ONDARA_OK) return child_fail(2, "no ready flag");
    auto view = SharedView::open(name, kRingHeaderSize);
    if (!view) return child_fail(2, "cannot map the ring header");
    const RingHeader* header = view->as<RingHeader>();
    std::vector<float> left(block), right(block);
    const OndaraOutputBus bus{left.data(), right.data(), block};
    std::uint64_t received = 0, read_pos = 0, checked = 0;
    bool after_short = true;  // nothing came before: the first audio fades in, as after a gap
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(total / kRate + 30);
    while (received < total) {
        if (std::chrono::steady_clock::now() > deadline) return child_fail(4, "timed out at frame " + std::to_string(received));
        OndaraProcessResult res{};
        ondara_receiver_process(rx, &bus, 1, block, &res);
        if (res.rendered_frames != block || res.ring_frames + res.silent_frames != block) return child_fail(5, "bad report");
        // The receiver opened at frame 0, before the first frame was written, and never falls a whole
        // ring behind: its frames are exactly 0, 1, 2, ... Frames at unity gain must be the ramp.
        // The first block with audio, and a block after a short one, fade in over their first 32
        // frames; a short one fades out over its last 32 ring frames.
        const std::size_t fade = std::min<std::size_t>(res.ring_frames, 32);
        const std::size_t from = after_short ? fade : 0;
        const std::size_t to = res.ring_frames < block ? res.ring_frames - fade : res.ring_frames;
        for (std::size_t i = from; i < to; ++i) {
            if (left[i] != ramp(received + i, 0) || right[i] != ramp(received + i, 1)) {
                return child_fail(6, "frame " + std::to_string(received + i) + " is not the ramp");
            }
            ++checked;
        }
        for (std::size_t i = res.ring_frames; i < block; ++i) {
            if (left[i] != 0.0f || right[i] != 0.0f) return child_fail(7, "silence is not silent");
        }
        received += res.ring_frames;
        after_short = res.ring_frames < block;
        const std::uint64_t now = load_shared(&header->read_pos);
        if (now < read_pos) return child_fail(8, "read_pos went down");
        read_pos = now;
        if (res.ring_frames < block) std::this_thread::sleep_for(1ms);  // caught up: wait for the producer
    }
    ondara_receiver_free(rx);
    ondara_mic_free(ready_flag);
    if (checked < total / 2) return child_fail(9, "too few frames at unity gain: " + std::to_string(checked));
    return 0;
}

// args: name start_ms stop_ms — opens at once, publishes every 20 ms from start to stop (wall clock).
ONDARA_CHILD_ROLE(soak_mic_role, "soak-mic") {
    const std::u16string name = u16(args.at(0));
    const std::uint64_t start = parse_u64(args.at(1)), stop = parse_u64(args.at(2));
    OndaraMicPublisher* mic = nullptr;
    if (ondara_mic_open(units(name), name.size(), &mic) != ONDARA_OK) return child_fail(2, "cannot open the mic block");
    sleep_until_ms(start);
    while (now_ms() < stop) {
        ondara_mic_publish(mic, -20.0f, -30.0f);
        std::this_thread::sleep_for(20ms);
    }
    ondara_mic_free(mic);
    return 0;
}

TEST(Soak, ProducerReceiversAndMicPublishersAcrossProcesses) {
    const std::uint64_t seconds = soak_seconds();
    const std::uint64_t total = total_frames(seconds);
    const std::string ring_name = unique_name("soak-ring"), mic_name = unique_name("soak-mic");
    const std::string ready[2] = {unique_name("soak-ready"), unique_name("soak-ready")};
    NameCleanup cleanup(ring_name);
    cleanup.add(mic_name);
    cleanup.add(ready[0]);
    cleanup.add(ready[1]);
    const std::u16string mic16 = u16(mic_name);
    OndaraMicPublisher* creator = nullptr;  // creates the block; never publishes
    ASSERT_EQ(ondara_mic_open(units(mic16), mic16.size(), &creator), ONDARA_OK);
    auto mic_view = SharedView::open(mic16, sizeof(MicLevelBlock));
    ASSERT_TRUE(mic_view.has_value());
    const MicLevelBlock* mic_block = mic_view->as<MicLevelBlock>();

    // Every publisher opens (which resets the block) well before the first one publishes.
#if defined(_WIN32)
    const std::uint64_t t0 = now_ms() + 4000;
#else
    const std::uint64_t t0 = now_ms() + 1000;
#endif
    const std::uint64_t d = seconds * 1000;
    // Each hand-over happens about 300 ms after the holder stops; the next publisher starts well after
    // that, so it finds the block held and waits its turn.
    const std::uint64_t windows[3][2] = {{t0, t0 + d / 2}, {t0 + d / 4, t0 + 3 * d / 4}, {t0 + 7 * d / 10, t0 + d}};
    std::vector<ChildProcess> mics;
    for (const auto& w : windows) {
        mics.push_back(ChildProcess::spawn("soak-mic", {mic_name, std::to_string(w[0]), std::to_string(w[1])}));
        ASSERT_TRUE(mics.back().started()) << mics.back().error();
    }
    // The producer only succeeds once read_pos has reached the last frame, the larger of the two cursors.
    ChildProcess producer = ChildProcess::spawn("soak-producer", {ring_name, std::to_string(seconds), ready[0], ready[1]});
    ASSERT_TRUE(producer.started()) << producer.error();
    ChildProcess rx64 = ChildProcess::spawn("soak-receiver", {ring_name, "64", std::to_string(total), ready[0]});
    ChildProcess rx333 = ChildProcess::spawn("soak-receiver", {ring_name, "333", std::to_string(total), ready[1]});
    ASSERT_TRUE(rx64.started() && rx333.started());

    // Watch the mic block: an owner may only lose it after its own last write is over 300 ms old.
    sleep_until_ms(t0);
    std::vector<std::uint64_t> owners;
    std::uint64_t owner = 0, owner_last_ms = 0, steals = 0;
    while (now_ms() < t0 + d + 500) {
        const std::uint64_t token = load_shared(&mic_block->writer_token);
        const std::uint64_t stamp = load_shared(&mic_block->updated_ms);
        if (token != 0 && token != owner) {
            if (owner != 0 && stamp <= owner_last_ms + 300) ++steals;
            owners.push_back(token);
            owner = token;
        }
        if (token == owner) owner_last_ms = std::max(owner_last_ms, stamp);
        std::this_thread::sleep_for(2ms);
    }

    const auto limit = std::chrono::seconds(seconds + 60);
    for (ChildProcess* c : {&producer, &rx64, &rx333}) EXPECT_EQ(c->wait_for(limit), std::optional<int>(0));
    for (ChildProcess& c : mics) EXPECT_EQ(c.wait_for(limit), std::optional<int>(0));
    EXPECT_EQ(steals, 0u) << "a live writer lost the mic block";
    std::string seen;
    for (std::uint64_t o : owners) {
        seen.append(" ").append(std::to_string(o >> 32)).append(":").append(std::to_string(o & 0xFFFFFFFF));
    }
    ASSERT_EQ(owners.size(), 3u) << "each publisher should have held the block once, in turn; owners (pid:serial):"
                                 << seen << "; publishers " << mics[0].pid() << " " << mics[1].pid() << " "
                                 << mics[2].pid();
    EXPECT_EQ(owners[0] >> 32, mics[0].pid());
    EXPECT_EQ(owners[1] >> 32, mics[1].pid());
    EXPECT_EQ(owners[2] >> 32, mics[2].pid());
    ondara_mic_free(creator);
}

}  // namespace
}  // namespace ondara::ostest
