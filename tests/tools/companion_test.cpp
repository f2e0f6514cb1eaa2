// ondara-companion and ondara-example-host as separate processes, against each other and against this
// process, which plays the plug-in side through the library's C interface where a test needs one.
// Everything is checked through what crosses the segments: frames, levels and tokens, modes, volumes
// and flags, and what each program prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/shared_segment.h"
#include "ondara.h"
#include "protocol/mic_block.h"
#include "protocol/mode_block.h"
#include "protocol/ring.h"
#include "protocol/shared_access.h"
#include "tools_support.h"
#include "wav_bytes.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ondara::toolstest {
namespace {

using tools::SharedSegment;

// Wine can take seconds to start a process on a busy machine; the waits only bound a hang.
constexpr auto kStartTimeout = 60s;
// How long the example host plays in the crossing test: long enough for play and several watch
// processes to start while it runs, which takes longer under Wine.
#ifdef _WIN32
constexpr const char* kHostSeconds = "6";
#else
constexpr const char* kHostSeconds = "4";
#endif

// Removes the names a test used (POSIX objects outlive their handles), also when an assertion fails.
class Names {
public:
    explicit Names(std::vector<std::string> names) : names_(std::move(names)) {
        for (const std::string& n : names_) SharedSegment::remove_name(n);
    }
    ~Names() {
        for (const std::string& n : names_) SharedSegment::remove_name(n);
    }
    const std::string& operator[](std::size_t i) const { return names_[i]; }

private:
    std::vector<std::string> names_;
};

std::vector<std::uint16_t> utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::string output_file(const std::string& tag) { return unique_name(tag) + ".out"; }

// The digits after `key` in `text`, if any.
std::optional<std::uint64_t> number_after(const std::string& text, const std::string& key) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    std::size_t i = at + key.size();
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    std::uint64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) v = v * 10 + static_cast<std::uint64_t>(text[i] - '0');
    return v;
}

// The level printed after `key` ("A " or "B ") in a watch line, if any.
std::optional<double> level_after(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    return std::strtod(line.c_str() + at + key.size(), nullptr);
}

// Whether `text` holds `line` as a whole line (ended by "\n", or "\r\n" from a Windows program).
bool holds_line(const std::string& text, const std::string& line) {
    const std::string found = line_starting(text, line);
    return found == line || found == line + "\r";
}

bool segment_missing(const std::string& name) {
    std::string error;
    SharedSegment::Failure failure{};
    return SharedSegment::open(name, SharedSegment::Access::ReadOnly, error, &failure) == nullptr &&
           failure == SharedSegment::Failure::Missing;
}

#ifndef _WIN32
// The state letter of a process as Linux shows it ('T': stopped), or 0 when it cannot be read.
char process_state(std::uint32_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');  // after the command name, which may hold anything
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}
#endif

template <class Predicate>
bool eventually(Predicate p, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!p()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Stops `play` as Ctrl-C would where this platform lets a test do so, and checks that it ends
// cleanly and, on POSIX, removes its ring. Elsewhere the process is ended.
void stop_play(Child& play, const std::string& ring) {
    if (!play.interrupt()) {
        play.kill();
        return;
    }
    const std::optional<int> code = play.wait_for(30s);
    ASSERT_TRUE(code.has_value()) << "play did not stop on SIGINT";
    EXPECT_EQ(*code, 0) << play.output();
    EXPECT_NE(play.output().find("play: stopped"), std::string::npos) << play.output();
    EXPECT_TRUE(segment_missing(ring)) << "play left its ring behind";
}

TEST(Companion, AudioMicLevelsAndAModeRequestCrossBetweenTheProcesses) {
    const Names names({unique_name("ring"), unique_name("mic"), unique_name("mode")});
    const std::string &ring = names[0], &mic = names[1], &mode = names[2];

    // The companion's mode side first: it creates the block.
    Child serve = Child::start(companion_path(),
                               {"serve-mode", mode, "--delay", "50", "--volumes", "0.5,0.25,1,0", "--bridge", "on",
                                "--count", "1"},
                               output_file("serve"));
    ASSERT_TRUE(serve.started()) << serve.error();
    ASSERT_TRUE(serve.wait_for_output("serve-mode: created " + mode, kStartTimeout)) << serve.output();

    // The host before the ring exists: it reports why it cannot open it and keeps trying.
    Child host = Child::start(example_host_path(), {ring, mic, mode, "--seconds", kHostSeconds, "--mode", "2"},
                              output_file("host"));
    ASSERT_TRUE(host.started()) << host.error();
    ASSERT_TRUE(host.wait_for_output("ondara_receiver_open(" + ring + "): open bridge failed", kStartTimeout))
        << host.output();

    Child play = Child::start(companion_path(), {"play", ring, "--tone", "440", "--seconds", "600"},
                              output_file("play"));
    ASSERT_TRUE(play.started()) << play.error();
    ASSERT_TRUE(play.wait_for_output("play: ring " + ring, kStartTimeout)) << play.output();

    const std::optional<std::uint64_t> host_pid = number_after(host.output(), "host: pid ");
    ASSERT_TRUE(host_pid.has_value()) << host.output();

    // While the host plays: watch must show its levels (a 0.25 sine is -15 dB RMS) under its token,
    // and the mode it asked for as applied.
    std::string seen;
    bool levels_ok = false, mode_ok = false;
    while (!(levels_ok && mode_ok) && !host.wait_for(0ms)) {
        const RunResult w = run(companion_path(), {"watch", "--once", mic, mode}, output_file("watch"));
        if (w.exit_code != 0) continue;  // the mic block may not exist for a moment at the start
        seen = w.output;
        const std::string mic_line = line_starting(seen, "mic  " + mic);
        const std::string mode_line = line_starting(seen, "mode " + mode);
        const auto a = level_after(mic_line, "  A ");
        const auto b = level_after(mic_line, "  B ");
        levels_ok = mic_line.find("writer pid " + std::to_string(*host_pid) + " #1") != std::string::npos && a &&
                    b && *a > -18 && *a < -12 && *b > -18 && *b < -12;
        mode_ok = mode_line.find("requested 2 (flagged)  applied 2  volumes 0.50 0.25 1.00 0.00  bridge on") !=
                  std::string::npos;
    }
    EXPECT_TRUE(levels_ok) << "last watch output:\n" << seen;
    EXPECT_TRUE(mode_ok) << "last watch output:\n" << seen;

    const std::optional<int> host_code = host.wait_for(kStartTimeout);
    ASSERT_TRUE(host_code.has_value()) << host.output();
    EXPECT_EQ(*host_code, 0) << host.output();
    const std::string out = host.output();
    EXPECT_NE(out.find("ondara_receiver_open(" + ring + "): ok"), std::string::npos) << out;
    const auto ring_frames = number_after(out, "ring_frames=");
    ASSERT_TRUE(ring_frames.has_value()) << out;
    EXPECT_GT(*ring_frames, 0u) << out;
    EXPECT_NE(out.find("host: final applied_mode=2 volumes=0.50,0.25,1.00,0.00 bridge=1"), std::string::npos) << out;

    const std::optional<int> serve_code = serve.wait_for(kStartTimeout);
    ASSERT_TRUE(serve_code.has_value()) << serve.output();
    EXPECT_EQ(*serve_code, 0) << serve.output();
    EXPECT_NE(serve.output().find("serve-mode: applied mode 2 after"), std::string::npos) << serve.output();

    // play saw the host read: its read_pos moved while the host ran.
    EXPECT_NE(play.output().find("reader active"), std::string::npos) << play.output();
    stop_play(play, ring);
}

// The plug-in's side of a ring, rendered from this process: one stereo bus.
class TestReceiver {
public:
    explicit TestReceiver(const std::string& ring) {
        const std::vector<std::uint16_t> wide = utf16(ring);
        status_ = ondara_receiver_open(wide.data(), wide.size(), kBlock, 0, &rx_);
    }
    ~TestReceiver() { ondara_receiver_free(rx_); }
    TestReceiver(const TestReceiver&) = delete;
    TestReceiver& operator=(const TestReceiver&) = delete;

    OndaraStatus status() const { return status_; }
    // Renders one block; its result, with the peak of the left channel in `peak`.
    OndaraProcessResult block() {
        OndaraProcessResult res{};
        const OndaraOutputBus bus{left_.data(), right_.data(), kBlock};
        ondara_receiver_process(rx_, &bus, 1, kBlock, &res);
        peak = 0.0f;
        for (std::size_t i = 0; i < res.rendered_frames; ++i) peak = std::max(peak, std::fabs(left_[i]));
        return res;
    }
    // Renders blocks a little faster than real time at 48 kHz until one comes whole from the ring.
    bool plays(std::chrono::milliseconds timeout) {
        return eventually(
            [&] {
                std::this_thread::sleep_for(4ms);
                return block().ring_frames == kBlock;
            },
            timeout);
    }

    static constexpr std::size_t kBlock = 256;
    float peak = 0.0f;

private:
    OndaraReceiver* rx_ = nullptr;
    OndaraStatus status_ = ONDARA_OK;
    std::array<float, kBlock> left_{}, right_{};
};

// A name mixed up in a configuration: a mic or mode open on the name of a ring that play is writing
// must be refused and leave the ring alone, so that it keeps playing for its reader.
TEST(Companion, AMicOrModeOpenOnALiveRingsNameIsRefusedAndTheRingPlaysOn) {
    const Names names({unique_name("cfring")});
    const std::string& ring = names[0];
    Child play = Child::start(companion_path(), {"play", ring, "--seconds", "600"}, output_file("cfplay"));
    ASSERT_TRUE(play.started()) << play.error();
    ASSERT_TRUE(play.wait_for_output("play: ring " + ring, kStartTimeout)) << play.output();

    const std::vector<std::uint16_t> wide = utf16(ring);
    OndaraMicPublisher* mic = nullptr;
    EXPECT_EQ(ondara_mic_open(wide.data(), wide.size(), &mic), ONDARA_OPEN_BRIDGE_FAILED);
    ondara_mic_free(mic);
    OndaraModeControl* mode = nullptr;
    EXPECT_EQ(ondara_mode_open(wide.data(), wide.size(), &mode), ONDARA_OPEN_BRIDGE_FAILED);
    ondara_mode_free(mode);

    TestReceiver rx(ring);
    ASSERT_EQ(rx.status(), ONDARA_OK);
    ASSERT_TRUE(rx.plays(kStartTimeout));
    EXPECT_NEAR(rx.peak, 0.25f, 0.01f);  // play's tone, after the fade-in
    ASSERT_TRUE(eventually(
        [&] {
            rx.plays(kStartTimeout);
            return play.output().find("reader active") != std::string::npos;
        },
        kStartTimeout))
        << play.output();
    const std::string last = play.output();
    const auto read_pos = number_after(last.substr(last.rfind("read_pos ")), "read_pos ");
    const auto written = number_after(last.substr(last.rfind("written ")), "written ");
    ASSERT_TRUE(read_pos && written) << last;
    EXPECT_LE(*read_pos, *written) << last;
    stop_play(play, ring);
    remove_file(play.output_path());
}

// A companion that restarts while the plug-in still holds its ring: on Windows the plug-in's view keeps
// the segment, on POSIX a play killed outright leaves the name. The new play takes the ring over once
// its producer is gone, when it is large enough, and the receiver that was open all along plays on
// (the counter's restart); one too small, or one whose producer lives, is refused untouched.
TEST(Companion, PlayTakesOverARingNobodyWritesAndRefusesOneTooSmallOrLive) {
    const Names names({unique_name("again")});
    const std::string& ring = names[0];
    Child first = Child::start(companion_path(), {"play", ring, "--seconds", "600"}, output_file("again1"));
    ASSERT_TRUE(first.started()) << first.error();
    ASSERT_TRUE(first.wait_for_output("play: ring " + ring, kStartTimeout)) << first.output();
    TestReceiver rx(ring);
    ASSERT_EQ(rx.status(), ONDARA_OK);
    ASSERT_TRUE(rx.plays(kStartTimeout));

    // A producer that lives is never taken over, not even while it is stopped: the second play is
    // refused, names the holder where the system tells it, and leaves ring and name alone.
    std::string error;
    const auto view = SharedSegment::open(ring, SharedSegment::Access::ReadOnly, error);
    ASSERT_TRUE(view) << error;
    const auto* header = static_cast<const RingHeader*>(view->data());
#ifdef _WIN32
    const std::string holder = "a producer holds the ring " + ring;
#else
    ASSERT_TRUE(first.signal(SIGSTOP));
    ASSERT_TRUE(eventually([&] { return process_state(first.pid()) == 'T'; }, kStartTimeout));
    const std::string holder = "a producer (process " + std::to_string(first.pid()) + ") holds the ring " + ring;
#endif
    [[maybe_unused]] const RingHeader before = snapshot_ring_header(header);
    const RunResult live = run(companion_path(), {"play", ring, "--seconds", "1"}, output_file("again-live"));
    EXPECT_EQ(live.exit_code, 1) << live.output;
    EXPECT_NE(live.output.find(holder + "; it is left as it is"), std::string::npos) << live.output;
#ifndef _WIN32
    const RingHeader after = snapshot_ring_header(header);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the refused play wrote into the ring";
    EXPECT_FALSE(segment_missing(ring));
    ASSERT_TRUE(first.signal(SIGCONT));
    EXPECT_TRUE(eventually([&] { return load_shared(&header->write_pos) > before.write_pos; }, kStartTimeout));
#endif

    first.kill();  // no chance to remove anything
    ASSERT_TRUE(eventually([&] { return rx.block().ring_frames == 0; }, kStartTimeout));

    const RunResult small = run(companion_path(), {"play", ring, "--channels", "6", "--seconds", "1"},
                                output_file("again-small"));
    EXPECT_EQ(small.exit_code, 1) << small.output;
    EXPECT_NE(small.output.find("the ring " + ring + " that is still there is too small for 6 channels of 24000 frames"),
              std::string::npos)
        << small.output;

    // Another format that fills the old ring's bytes exactly: one channel of 48000 frames at 96 kHz.
    Child second = Child::start(companion_path(), {"play", ring, "--channels", "1", "--rate", "96000", "--seconds", "600"},
                                output_file("again2"));
    ASSERT_TRUE(second.started()) << second.error();
    ASSERT_TRUE(second.wait_for_output("play: ring " + ring, kStartTimeout)) << second.output();
    EXPECT_NE(second.output().find("play: took over the ring " + ring), std::string::npos) << second.output();
    ASSERT_TRUE(rx.plays(kStartTimeout)) << second.output();
    const OndaraProcessResult res = rx.block();
    EXPECT_EQ(res.channels, 1u);
    EXPECT_EQ(res.sample_rate, 96000u);
    stop_play(second, ring);
    remove_file(first.output_path());
    remove_file(second.output_path());
}

// Latency is the companion's: after a reader stalls for 0.3 s, play drops source frames until the
// backlog is back at half of --max-latency, instead of keeping the 0.3 s for ever.
TEST(Companion, PlayDropsFramesWhenTheReadersBacklogExceedsItsMaximum) {
    const Names names({unique_name("late")});
    const std::string& ring = names[0];
    Child play = Child::start(companion_path(), {"play", ring, "--max-latency", "100", "--seconds", "600"},
                              output_file("lateplay"));
    ASSERT_TRUE(play.started()) << play.error();
    ASSERT_TRUE(play.wait_for_output("play: ring " + ring, kStartTimeout)) << play.output();
    TestReceiver rx(ring);
    ASSERT_EQ(rx.status(), ONDARA_OK);
    ASSERT_TRUE(rx.plays(kStartTimeout));
    std::string error;
    const auto view = SharedSegment::open(ring, SharedSegment::Access::ReadOnly, error);
    ASSERT_TRUE(view) << error;
    const auto* header = static_cast<const RingHeader*>(view->data());

    std::this_thread::sleep_for(300ms);  // the host stalls
    // Read on a little faster than real time: the backlog comes back to about half of 100 ms.
    EXPECT_TRUE(eventually(
        [&] {
            std::this_thread::sleep_for(4ms);
            rx.block();
            return load_shared(&header->backlog_frames) <= 3200;
        },
        kStartTimeout));
    const auto dropped = [&] {
        const std::string out = play.output();
        const std::size_t at = out.rfind("dropped ");
        return at == std::string::npos ? std::uint64_t{0} : number_after(out.substr(at), "dropped ").value_or(0);
    };
    EXPECT_TRUE(eventually([&] { return dropped() > 0; }, kStartTimeout)) << play.output();
    stop_play(play, ring);
    remove_file(play.output_path());
}

// A reader that stops reading (a stalled host, a plug-in that went away) is not helped by dropping
// frames it never sees: play drops none for it.
TEST(Companion, PlayDropsNothingForAReaderThatStoppedReading) {
    const Names names({unique_name("gone")});
    const std::string& ring = names[0];
    Child play = Child::start(companion_path(), {"play", ring, "--max-latency", "60", "--seconds", "2"},
                              output_file("goneplay"));
    ASSERT_TRUE(play.started()) << play.error();
    ASSERT_TRUE(play.wait_for_output("play: ring " + ring, kStartTimeout)) << play.output();
    {
        TestReceiver rx(ring);
        ASSERT_EQ(rx.status(), ONDARA_OK);
        ASSERT_TRUE(rx.plays(kStartTimeout));
    }  // the reader stops here, with the ring still open until play ends
    const std::optional<int> code = play.wait_for(kStartTimeout);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << play.output();
    const std::string out = play.output();
    const std::size_t last = out.rfind("dropped ");
    ASSERT_NE(last, std::string::npos) << out;
    EXPECT_EQ(number_after(out.substr(last), "dropped "), std::uint64_t{0}) << out;
    EXPECT_NE(out.find("reader idle", last), std::string::npos) << "play never saw the reader\n" << out;
    remove_file(play.output_path());
}

TEST(Companion, ServeModeAnswersAWaitingRequestAfterItsDelayAndWritesOnlyItsOwnFields) {
    const Names names({unique_name("serve")});
    const std::string& name = names[0];
    const std::vector<std::uint16_t> wide = utf16(name);
    OndaraModeControl* mode = nullptr;
    ASSERT_EQ(ondara_mode_open(wide.data(), wide.size(), &mode), ONDARA_OK);
    const std::unique_ptr<OndaraModeControl, void (*)(OndaraModeControl*)> guard(mode, ondara_mode_free);
    // Requested before the companion is there: it must pick this up, not reset the block.
    ASSERT_EQ(ondara_mode_request(mode, 3), ONDARA_OK);

    std::string error;
    const auto view = SharedSegment::open(name, SharedSegment::Access::ReadOnly, error);
    ASSERT_TRUE(view) << error;
    const auto* block = static_cast<const ModeControlBlock*>(view->data());
    const ModeControlBlock requested = ModeControlLayout::snapshot(block);

    Child serve = Child::start(companion_path(),
                               {"serve-mode", name, "--delay", "300", "--volumes", "0.5,0.25,1,0", "--bridge", "on",
                                "--count", "2"},
                               output_file("serve2"));
    ASSERT_TRUE(serve.started()) << serve.error();
    ASSERT_TRUE(serve.wait_for_output("serve-mode: opened " + name, kStartTimeout)) << serve.output();
    ASSERT_TRUE(eventually([&] { return ondara_mode_applied(mode) == 3; }, kStartTimeout)) << serve.output();

    float volumes[4] = {};
    ASSERT_EQ(ondara_mode_mixer_volumes(mode, volumes), ONDARA_OK);
    EXPECT_EQ(volumes[0], 0.5f);
    EXPECT_EQ(volumes[1], 0.25f);
    EXPECT_EQ(volumes[2], 1.0f);
    EXPECT_EQ(volumes[3], 0.0f);
    EXPECT_EQ(ondara_mode_vst3_bridge_active(mode), 1u);
    // The plug-in's fields are as the request left them.
    const ModeControlBlock answered = ModeControlLayout::snapshot(block);
    EXPECT_EQ(answered.requested_mode, requested.requested_mode);
    EXPECT_EQ(answered.updated_ms, requested.updated_ms);
    EXPECT_EQ(answered.flags, requested.flags | kModeFlagVst3BridgeActive);
    EXPECT_EQ(answered.magic, kModeMagic);

    // Another instance of the plug-in opens the block, which resets it: serve-mode puts what it
    // applied back at once, without a new request.
    OndaraModeControl* other = nullptr;
    ASSERT_EQ(ondara_mode_open(wide.data(), wide.size(), &other), ONDARA_OK);
    ondara_mode_free(other);
    EXPECT_TRUE(eventually(
        [&] {
            float v[4] = {};
            ondara_mode_mixer_volumes(mode, v);
            return ondara_mode_applied(mode) == 3 && ondara_mode_vst3_bridge_active(mode) == 1 && v[0] == 0.5f &&
                   v[1] == 0.25f && v[2] == 1.0f && v[3] == 0.0f;
        },
        kStartTimeout))
        << serve.output();

    // A request for a mode that does not exist (the library never sends one; a hostile peer may) is
    // ignored, and what was applied stays.
    {
        const auto writable = SharedSegment::open(name, SharedSegment::Access::ReadWrite, error);
        ASSERT_TRUE(writable) << error;
        auto* live = static_cast<ModeControlBlock*>(writable->data());
        ModeControlBlock hostile = ModeControlLayout::snapshot(live);
        hostile.requested_mode = -5;
        hostile.flags |= kModeFlagRequested;
        write_block(live, hostile);
        ASSERT_TRUE(serve.wait_for_output("serve-mode: ignoring a request for mode -5 (modes are 0 to 3)", kStartTimeout))
            << serve.output();
        EXPECT_EQ(ondara_mode_applied(mode), 3);
    }

    // A second request is not applied before the delay has passed.
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(ondara_mode_request(mode, 1), ONDARA_OK);
    ASSERT_TRUE(eventually([&] { return ondara_mode_applied(mode) == 1; }, kStartTimeout)) << serve.output();
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 290ms);

    const std::optional<int> code = serve.wait_for(kStartTimeout);
    ASSERT_TRUE(code.has_value()) << "serve-mode did not stop after --count 2\n" << serve.output();
    EXPECT_EQ(*code, 0);
    const std::string out = serve.output();
    EXPECT_NE(out.find("request for mode 3"), std::string::npos) << out;
    EXPECT_NE(out.find("applied mode 1 after"), std::string::npos) << out;
    EXPECT_NE(out.find("after 2 applied requests"), std::string::npos) << out;
    EXPECT_NE(out.find("serve-mode: the block no longer carries applied mode 3 (it reads applied 0, volumes 1.00 1.00 "
                       "1.00 1.00); writing it again"),
              std::string::npos)
        << out;
    EXPECT_FALSE(segment_missing(name)) << "serve-mode removed a block the plug-in still uses";
    remove_file(serve.output_path());
}

TEST(Companion, WatchShowsTheBlocksWithoutChangingThemAndNeverCreatesOne) {
    const Names names({unique_name("wmic"), unique_name("wmode"), unique_name("wjunk"), unique_name("absent")});
    const std::string &mic_name = names[0], &mode_name = names[1], &junk = names[2], &absent = names[3];

    const std::vector<std::uint16_t> mic_wide = utf16(mic_name), mode_wide = utf16(mode_name);
    OndaraMicPublisher* mic = nullptr;
    ASSERT_EQ(ondara_mic_open(mic_wide.data(), mic_wide.size(), &mic), ONDARA_OK);
    const std::unique_ptr<OndaraMicPublisher, void (*)(OndaraMicPublisher*)> mic_guard(mic, ondara_mic_free);
    ASSERT_EQ(ondara_mic_publish(mic, -12.5f, -30.5f), ONDARA_OK);
    OndaraModeControl* mode = nullptr;
    ASSERT_EQ(ondara_mode_open(mode_wide.data(), mode_wide.size(), &mode), ONDARA_OK);
    const std::unique_ptr<OndaraModeControl, void (*)(OndaraModeControl*)> mode_guard(mode, ondara_mode_free);
    ASSERT_EQ(ondara_mode_request(mode, 1), ONDARA_OK);

    std::string error;
    const auto mic_view = SharedSegment::open(mic_name, SharedSegment::Access::ReadOnly, error);
    ASSERT_TRUE(mic_view) << error;
    const auto mode_view = SharedSegment::open(mode_name, SharedSegment::Access::ReadOnly, error);
    ASSERT_TRUE(mode_view) << error;
    const auto junk_segment = SharedSegment::create(junk, 64, error);
    ASSERT_TRUE(junk_segment) << error;
    std::array<unsigned char, sizeof(MicLevelBlock)> mic_before{};
    std::array<unsigned char, sizeof(ModeControlBlock)> mode_before{};
    std::memcpy(mic_before.data(), mic_view->data(), mic_before.size());
    std::memcpy(mode_before.data(), mode_view->data(), mode_before.size());
    const std::uint64_t token = MicLevel::snapshot(static_cast<const MicLevelBlock*>(mic_view->data())).writer_token;

    const RunResult w = run(companion_path(), {"watch", "--once", mic_name, mode_name, junk}, output_file("watch1"));
    EXPECT_EQ(w.exit_code, 0) << w.output;
    const std::string mic_line = line_starting(w.output, "mic  " + mic_name);
    EXPECT_NE(mic_line.find("A   -12.5 dB"), std::string::npos) << w.output;
    EXPECT_NE(mic_line.find("B   -30.5 dB"), std::string::npos) << w.output;
    EXPECT_NE(mic_line.find("writer pid " + std::to_string(own_pid()) + " #" + std::to_string(token & 0xFFFFFFFFu)),
              std::string::npos)
        << w.output;
    EXPECT_EQ(token >> 32, own_pid());
    EXPECT_NE(line_starting(w.output, "mode " + mode_name).find("requested 1 (flagged)  applied 0"), std::string::npos)
        << w.output;
    EXPECT_NE(w.output.find(junk + "  unknown block: magic 0x00000000"), std::string::npos) << w.output;
    EXPECT_EQ(std::memcmp(mic_before.data(), mic_view->data(), mic_before.size()), 0) << "watch changed the mic block";
    EXPECT_EQ(std::memcmp(mode_before.data(), mode_view->data(), mode_before.size()), 0) << "watch changed the mode block";

    // A name that is not there is an error, and is still not there afterwards.
    const RunResult missing = run(companion_path(), {"watch", "--once", mic_name, absent}, output_file("watch2"));
    EXPECT_EQ(missing.exit_code, 1) << missing.output;
    EXPECT_NE(missing.output.find("no segment named " + absent), std::string::npos) << missing.output;
    EXPECT_TRUE(segment_missing(absent)) << "watch created a segment";
}

// A 24-bit three-channel file whose every sample tells its frame and channel.
std::int32_t wav_sample(std::uint64_t frame, std::uint32_t channel) {
    return static_cast<std::int32_t>(((frame * 37 + channel * 1111) % 8000)) * 1000 - 4'000'000;
}

TEST(Companion, PlayLoopsAWavFileIntoTheRingAtTheFilesFormat) {
    constexpr std::uint32_t kFileFrames = 700, kChannels = 3, kRate = 8000, kCapacity = 2000;
    const Names names({unique_name("wavring")});
    const std::string& ring = names[0];
    Bytes data;
    for (std::uint64_t f = 0; f < kFileFrames; ++f) {
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            const auto u = static_cast<std::uint32_t>(wav_sample(f, c));
            data.push_back(static_cast<unsigned char>(u));
            data.push_back(static_cast<unsigned char>(u >> 8));
            data.push_back(static_cast<unsigned char>(u >> 16));
        }
    }
    const std::string wav = unique_name("play") + ".wav";
    {
        const Bytes file = riff({{"fmt ", fmt_body(1, kChannels, kRate, 24)}, {"data", data}});
        std::ofstream(wav, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }

    // --channels and --rate give way to the file's own.
    Child play = Child::start(companion_path(),
                              {"play", ring, "--wav", wav, "--channels", "1", "--rate", "44100", "--capacity",
                               std::to_string(kCapacity), "--seconds", "600"},
                              output_file("wavplay"));
    ASSERT_TRUE(play.started()) << play.error();
    ASSERT_TRUE(play.wait_for_output("play: ring " + ring + ": 3 channels at 8000 Hz, 2000 frames", kStartTimeout))
        << play.output();

    std::string error;
    const auto view = SharedSegment::open(ring, SharedSegment::Access::ReadOnly, error);
    ASSERT_TRUE(view) << error;
    auto* header = static_cast<const RingHeader*>(view->data());
    const RingHeader h = snapshot_ring_header(header);
    EXPECT_EQ(h.magic, kRingMagic);
    EXPECT_EQ(h.channels, kChannels);
    EXPECT_EQ(h.sample_rate, kRate);
    ASSERT_EQ(h.capacity_frames, kCapacity);
    ASSERT_GE(view->size(), kRingHeaderSize + std::size_t{kChannels} * kCapacity * sizeof(float));

    // Round the ring more than once and through the file several times.
    ASSERT_TRUE(eventually([&] { return load_shared(&header->write_pos) >= 3 * kCapacity; }, kStartTimeout));
    const std::uint64_t first = load_shared(&header->write_pos);
    std::atomic_thread_fence(std::memory_order_acquire);
    std::vector<float> copy(std::size_t{kChannels} * kCapacity);
    std::memcpy(copy.data(), static_cast<const unsigned char*>(view->data()) + kRingHeaderSize,
                copy.size() * sizeof(float));
    const std::uint64_t last = load_shared(&header->write_pos);
    // Frames that cannot have been overwritten during the copy: the producer may already be writing
    // (unpublished) one 10 ms step past `last`; leave a wide margin for that.
    const std::uint64_t from = last - kCapacity + 400;
    std::uint64_t wrong = 0, checked = 0;
    for (std::uint64_t f = from; f < first; ++f, ++checked) {
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            const float want = static_cast<float>(wav_sample(f % kFileFrames, c)) / 8388608.0f;
            if (copy[(f % kCapacity) * kChannels + c] != want) ++wrong;
        }
    }
    EXPECT_GT(checked, 1000u);
    EXPECT_EQ(wrong, 0u) << "of " << checked << " frames";

    stop_play(play, ring);
    remove_file(wav);
}

TEST(Companion, EveryCommandHasHelpAndRefusesBadArgumentsWithAReason) {
    const Names names({unique_name("cli"), unique_name("taken")});
    const std::string &name = names[0], &taken = names[1];
    // Someone else's ring: play must refuse the name and leave the ring alone; serve-mode must refuse
    // it as a mode block and not write into it.
    std::string error;
    const auto other = produce_ring(taken, 48000, 2, 1024, error);
    ASSERT_TRUE(other) << error;

    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string says;
    };
    const std::string no_wav = unique_name("none") + ".wav";
    const Case cases[] = {
        {{"--help"}, 0, "usage: ondara-companion COMMAND"},
        {{"play", "--help"}, 0, "usage: ondara-companion play NAME"},
        {{"watch", "--help"}, 0, "usage: ondara-companion watch NAME..."},
        {{"serve-mode", "--help"}, 0, "usage: ondara-companion serve-mode NAME"},
        {{}, 2, "usage: ondara-companion COMMAND"},
        {{"record", name}, 2, "unknown command 'record'"},
        {{"play"}, 2, "needs the ring's NAME"},
        {{"play", name, name}, 2, "takes one NAME, not 2"},
        {{"play", "bad/name"}, 2, "may hold only letters"},
        {{"play", name, "--channels", "7"}, 2, "--channels wants a whole number from 1 to 6, not '7'"},
        {{"play", name, "--tone", "30000"}, 2, "--tone must stay below half the sample rate"},
        {{"play", name, "--tone", "440", "--wav", no_wav}, 2, "--wav and --tone cannot be used together"},
        {{"play", name, "--capacity", "100"}, 2, "--capacity must hold at least one 10 ms step (480 frames)"},
        {{"play", name, "--seconds"}, 2, "--seconds needs a value"},
        {{"play", name, "--seconds", "-1"}, 2, "--seconds wants a number"},
        {{"play", name, "--wav", no_wav}, 1, "cannot open " + no_wav},
        {{"play", taken, "--seconds", "1"}, 1, "holds the ring " + taken + "; it is left as it is"},
        {{"watch"}, 2, "needs at least one segment NAME"},
        {{"watch", name, "--interval", "5"}, 2, "--interval wants a whole number from 10"},
        {{"serve-mode", name, "--volumes", "1,2,x,4"}, 2, "--volumes wants a number"},
        {{"serve-mode", name, "--volumes", "1,2,3"}, 2, "--volumes wants four numbers"},
        {{"serve-mode", name, "--bridge", "yes"}, 2, "--bridge wants on or off, not 'yes'"},
        {{"serve-mode", name, "--count", "0"}, 2, "--count wants a whole number from 1"},
        {{"serve-mode", name, "--delay", "10", "--delay", "20"}, 2, "--delay is given twice"},
        {{"serve-mode", name, "--frobnicate"}, 2, "unknown option '--frobnicate'"},
        {{"serve-mode", taken}, 1, taken + " is not a mode control block"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += " " + a;
        const RunResult r = run(companion_path(), c.args, output_file("cli"), 60s);
        EXPECT_EQ(r.exit_code, c.exit_code) << "ondara-companion" << shown << "\n" << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << "ondara-companion" << shown << "\n" << r.output;
    }
    // Neither the refused play nor serve-mode touched the other ring; nothing was left under `name`.
    const RingHeader h = snapshot_ring_header(other->writer().header());
    EXPECT_EQ(h.magic, kRingMagic);
    EXPECT_EQ(h.channels, 2u);
    EXPECT_EQ(h.capacity_frames, 1024u);
    EXPECT_FALSE(segment_missing(taken));
    EXPECT_TRUE(segment_missing(name));
}

TEST(ExampleHost, RefusesBadArgumentsAndReportsAnUnopenableRingByItsStatusMessage) {
    const Names names({unique_name("hring"), unique_name("hmic"), unique_name("hmode")});
    const RunResult few = run(example_host_path(), {names[0], names[1]}, output_file("host1"));
    EXPECT_EQ(few.exit_code, 2) << few.output;
    EXPECT_NE(few.output.find("needs three names"), std::string::npos) << few.output;
    const RunResult bad_mode = run(example_host_path(), {names[0], names[1], names[2], "--mode", "4"}, output_file("host2"));
    EXPECT_EQ(bad_mode.exit_code, 2) << bad_mode.output;

    // No companion at all: the host still runs its loop, all of it silence, and says why.
    const RunResult alone =
        run(example_host_path(), {names[0], names[1], names[2], "--seconds", "0.3"}, output_file("host3"));
    EXPECT_EQ(alone.exit_code, 0) << alone.output;
    EXPECT_NE(alone.output.find("ondara_receiver_open(" + names[0] + "): open bridge failed"), std::string::npos)
        << alone.output;
    EXPECT_NE(alone.output.find("ring_frames=0 "), std::string::npos) << alone.output;
    EXPECT_NE(alone.output.find("host: final applied_mode=0 volumes=1.00,1.00,1.00,1.00 bridge=0"), std::string::npos)
        << alone.output;
}

// What a companion that writes -FLT_MAX into the volumes and a rate of 1 Hz into its ring does to
// the example host: every line still fits its buffer (the sanitized build of the host, where there is
// one, reports any overflow), and the host keeps its own pacing, saying why once.
TEST(ExampleHost, PrintsHostileVolumesInFullAndPacesOnlyBySaneRingRates) {
    const Names names({unique_name("xring"), unique_name("xmic"), unique_name("xmode")});
#ifdef ONDARA_EXAMPLE_HOST_ASAN_PATH
    const std::string host_program = ONDARA_EXAMPLE_HOST_ASAN_PATH;
#else
    const std::string host_program = example_host_path();
#endif
    const std::string max_text = "-340282346638528859811704183484516925440.00";
    {
        Child host = Child::start(host_program, {names[0], names[1], names[2], "--seconds", "1"}, output_file("xhost"));
        ASSERT_TRUE(host.started()) << host.error();
        ASSERT_TRUE(host.wait_for_output("ondara_mode_open(" + names[2] + "): ok", kStartTimeout)) << host.output();
        std::string error;
        const auto block = SharedSegment::open(names[2], SharedSegment::Access::ReadWrite, error);
        ASSERT_TRUE(block) << error;
        auto* live = static_cast<ModeControlBlock*>(block->data());
        for (float& v : live->mixer_volumes) store_shared(&v, -FLT_MAX);
        store_shared(&live->applied_mode, std::int32_t{3});
        const std::optional<int> code = host.wait_for(kStartTimeout);
        ASSERT_TRUE(code.has_value()) << host.output();
        EXPECT_EQ(*code, 0) << host.output();
        EXPECT_TRUE(holds_line(host.output(), "host: final applied_mode=3 volumes=" + max_text + "," + max_text + "," +
                                                  max_text + "," + max_text + " bridge=0"))
            << host.output();
        remove_file(host.output_path());
    }
    {
        std::string error;
        auto ring = produce_ring(names[0], 1, 2, 4096, error);
        ASSERT_TRUE(ring) << error;
        // A quarter of a second at 48 kHz; at the ring's 1 Hz the first block alone would take 256 s.
        const RunResult r = run(host_program, {names[0], names[1], names[2], "--seconds", "0.25"}, output_file("xhost2"),
                                kStartTimeout);
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const std::string said = "host: the ring says 1 Hz; pacing stays at 48000 Hz";
        const std::size_t at = r.output.find(said);
        EXPECT_NE(at, std::string::npos) << r.output;
        EXPECT_EQ(r.output.find(said, at + 1), std::string::npos) << "said more than once:\n" << r.output;
        EXPECT_TRUE(holds_line(r.output, "host: rendered_frames=12032 ring_frames=0 silent_frames=12032 blocks=47"))
            << r.output;
    }
}

// A WAV file's format stands in for --rate and --channels, so it meets the same bounds, and a file
// outside them is refused before any ring exists.
TEST(Companion, PlayRefusesAWavFileOutsideTheOptionsBoundsBeforeCreatingAnything) {
    const Names names({unique_name("badwav")});
    struct Case {
        std::uint16_t channels;
        std::uint32_t rate;
        std::string says;
    };
    const Case cases[] = {
        // 52 bytes: it would have made a 4 GiB ring, to be written at 2^31 frames a second.
        {1, 2147483646, "claims a sample rate of 2147483646 Hz; play takes 1000 to 768000 Hz"},
        {1, 999, "claims a sample rate of 999 Hz"},
        {2, 768001, "claims a sample rate of 768001 Hz"},
        {7, 48000, "has 7 channels; a ring carries 1 to 6"},
    };
    for (const Case& c : cases) {
        Bytes data(std::size_t{c.channels} * 4 * 2, 0);  // four 16-bit frames
        const Bytes bytes = riff({{"fmt ", fmt_body(1, c.channels, c.rate, 16)}, {"data", data}});
        if (c.channels == 1) {
            EXPECT_EQ(bytes.size(), 52u);
        }
        const WavFile wav(bytes);
        const RunResult r = run(companion_path(), {"play", names[0], "--wav", wav.path(), "--seconds", "0.001"},
                                output_file("badwav"));
        EXPECT_EQ(r.exit_code, 2) << c.rate << " Hz, " << c.channels << " channels\n" << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("play: ring"), std::string::npos) << r.output;
        EXPECT_TRUE(segment_missing(names[0]));
    }
}

#ifndef _WIN32

std::string demo_path() { return ONDARA_DEMO_PATH; }

// Where /dev/shm is full, creating a ring (play, ondara-demo) or a mode block (serve-mode) fails at
// once with the name and the reason and removes the half-made object; taking over a ring, or opening
// a block, whose pages cannot be had fails as cleanly and leaves the object as it was. The first
// store into a page that could not be had would end the tool with SIGBUS. The full
// /dev/shm is a small tmpfs mounted over it in a private mount namespace, which takes root.
TEST(Companion, ToolsRefuseAFullShmCleanlyAndLeaveNothingBehind) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs over /dev/shm in a private mount namespace";
    const RunResult probe = run("/usr/bin/unshare", {"-m", "--propagation", "private", "true"}, output_file("probe"));
    if (probe.exit_code != 0) {
        GTEST_SKIP() << "cannot make a private mount namespace here (unshare -m): " << probe.output;
    }
    const std::string wav = unique_name("fulldemo") + ".wav";
    // Inside the namespace: an 8 MiB /dev/shm; play wants 400 MB, the demo 800 MB; then, with the
    // tmpfs filled to the last page, serve-mode wants one page for its 48-byte block.
    const std::string script = R"sh(mount -t tmpfs -o size=8m ondara-test /dev/shm || exit 90
"$1" play ring --channels 1 --rate 768000 --capacity 100000000 --seconds 5
echo "play exit $?"
"$2" --capacity 100000000 --name demo-ring --out "$3"
echo "demo exit $?"
printf 'ONAB\001\000\000\000\200\273\000\000\002\000\000\000\300\135\000\000' > /dev/shm/old
truncate -s 192072 /dev/shm/old
truncate -s 48 /dev/shm/oldmode
dd if=/dev/zero of=/dev/shm/filler bs=64k 2>/dev/null
"$1" serve-mode mode --count 1
echo "serve exit $?"
"$1" play old --seconds 1
echo "take-over exit $?"
"$1" serve-mode oldmode --count 1
echo "serve old exit $?"
echo "old header: $(od -An -tu4 -N20 -w20 /dev/shm/old | xargs)"
rm -f /dev/shm/filler /dev/shm/old /dev/shm/oldmode
echo "left: [$(ls -A /dev/shm)]")sh";
    const RunResult r = run("/usr/bin/unshare",
                            {"-m", "--propagation", "private", "sh", "-c", script, "sh", companion_path(), demo_path(), wav},
                            output_file("fullshm"), 120s);
    remove_file(wav);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("play: cannot create the ring: no space left in /dev/shm for the 400000072 bytes of ring"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("play exit 1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("cannot create the ring: no space left in /dev/shm for the 800000072 bytes of demo-ring"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("demo exit 1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("serve-mode: no space left in /dev/shm for the 48 bytes of mode"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("serve exit 1\n"), std::string::npos) << r.output;
    // Taking over a ring whose data pages were never given, and opening a block whose page was not:
    // a clean failure, the old header as it was.
    EXPECT_NE(r.output.find("no space left in /dev/shm for the 192072 bytes of old; it is left as it is"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("take-over exit 1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("serve old exit 1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("old header: 1111576143 1 48000 2 24000"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("left: []"), std::string::npos) << r.output;
}

// A ring of another user is refused as the library refuses it: play neither takes it over nor
// writes into it, and its name stays.
TEST(Companion, PlayRefusesAnotherUsersRingAndLeavesItAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a ring to another user";
    const Names names({unique_name("others")});
    const std::string& name = names[0];
    std::string error;
    auto ring = produce_ring(name, 48000, 2, 24000, error);
    ASSERT_TRUE(ring) << error;
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(::fchown(fd, 65534, 65534), 0) << std::strerror(errno);
    EXPECT_EQ(::fchmod(fd, 0666), 0) << std::strerror(errno);
    ::close(fd);
    const RingHeader before = snapshot_ring_header(ring->writer().header());
    const RunResult r = run(companion_path(), {"play", name, "--seconds", "1"}, output_file("others"));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("the segment " + name + " belongs to another user"), std::string::npos) << r.output;
    const RingHeader after = snapshot_ring_header(ring->writer().header());
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "play wrote into another user's ring";
    struct stat st {};
    EXPECT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0) << "the name is gone";
}

// Shrinks the POSIX object `name` to `bytes`, as a hostile or careless process may.
void truncate_segment(const std::string& name, off_t bytes) {
    const std::string object = "/" + name;
    const int fd = ::shm_open(object.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(::ftruncate(fd, bytes), 0) << std::strerror(errno);
    ::close(fd);
}

// watch only reads: a block truncated under it is shown as such, not a SIGBUS.
TEST(Companion, WatchShowsASegmentTruncatedUnderItAndCarriesOn) {
    const Names names({unique_name("tmic"), unique_name("tring")});
    const std::vector<std::uint16_t> wide = utf16(names[0]);
    OndaraMicPublisher* mic = nullptr;
    ASSERT_EQ(ondara_mic_open(wide.data(), wide.size(), &mic), ONDARA_OK);
    ondara_mic_free(mic);  // the block stays
    std::string error;
    auto ring = produce_ring(names[1], 48000, 2, 48000, error);
    ASSERT_TRUE(ring) << error;

    Child watch = Child::start(companion_path(), {"watch", names[0], names[1], "--interval", "10"}, output_file("twatch"));
    ASSERT_TRUE(watch.started()) << watch.error();
    ASSERT_TRUE(watch.wait_for_output("ring " + names[1], kStartTimeout)) << watch.output();
    ASSERT_TRUE(watch.wait_for_output("mic  " + names[0], kStartTimeout)) << watch.output();
    truncate_segment(names[0], 20);
    truncate_segment(names[1], 0);  // the ring loses everything, its header included
    EXPECT_TRUE(watch.wait_for_output(names[0] + "  truncated (20 bytes)", kStartTimeout)) << watch.output();
    EXPECT_TRUE(watch.wait_for_output(names[1] + "  truncated (0 bytes)", kStartTimeout)) << watch.output();
    truncate_segment(names[0], 0);
    EXPECT_TRUE(watch.wait_for_output(names[0] + "  truncated (0 bytes)", kStartTimeout)) << watch.output();
    ASSERT_TRUE(watch.interrupt());
    const std::optional<int> code = watch.wait_for(kStartTimeout);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << watch.output();
    remove_file(watch.output_path());
}

// The ring is removed however play and ondara-demo are stopped: a reader of play's output that goes
// away (SIGPIPE, now ignored: the failed write stops play), a closed terminal (SIGHUP), and for the
// demo SIGINT, SIGTERM and SIGHUP.
TEST(Companion, PipesClosedAndSignalsLeaveNoRingBehind) {
    const Names names({unique_name("pipe"), unique_name("hup"), unique_name("demo")});
    {
        // play NAME | head -c 20, with play's exit status on stderr.
        const std::string script = R"({ "$0" play "$1" --seconds 600; echo "play exit $?" >&2; } | head -c 20 >/dev/null)";
        const RunResult r = run("/bin/sh", {"-c", script, companion_path(), names[0]}, output_file("pipe"), 60s);
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_NE(r.output.find("play: standard output was closed or could not be written; stopped"), std::string::npos)
            << r.output;
        EXPECT_NE(r.output.find("play exit 1\n"), std::string::npos) << r.output;
        EXPECT_TRUE(segment_missing(names[0])) << "play left its ring behind";
    }
    {
        Child play = Child::start(companion_path(), {"play", names[1], "--seconds", "600"}, output_file("hup"));
        ASSERT_TRUE(play.started()) << play.error();
        ASSERT_TRUE(play.wait_for_output("play: ring " + names[1], kStartTimeout)) << play.output();
        ASSERT_TRUE(play.signal(SIGHUP));
        const std::optional<int> code = play.wait_for(30s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0) << play.output();
        EXPECT_NE(play.output().find("play: stopped"), std::string::npos) << play.output();
        EXPECT_TRUE(segment_missing(names[1])) << "play left its ring behind";
        remove_file(play.output_path());
    }
    const std::string wav = unique_name("demo") + ".wav";
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        // A million blocks take the demo half a minute; it is stopped as soon as its ring is there.
        Child demo = Child::start(demo_path(), {"--blocks", "1000000", "--name", names[2], "--out", wav},
                                  output_file("demo"));
        ASSERT_TRUE(demo.started()) << demo.error();
        ASSERT_TRUE(eventually([&] { return !segment_missing(names[2]); }, kStartTimeout)) << demo.output();
        ASSERT_TRUE(demo.signal(number));
        const std::optional<int> code = demo.wait_for(30s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 128 + number) << demo.output();
        EXPECT_NE(demo.output().find("ondara-demo: stopped by signal " + std::to_string(number)), std::string::npos)
            << demo.output();
        EXPECT_TRUE(segment_missing(names[2])) << "ondara-demo left its ring behind after signal " << number;
        remove_file(demo.output_path());
    }
    remove_file(wav);
}

#endif  // !_WIN32

}  // namespace
}  // namespace ondara::toolstest
