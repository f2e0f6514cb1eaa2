// The LV2 plug-in ondara-receiver in hosts none of us wrote (Debian's lv2_validate, lv2ls, lv2info,
// lv2apply) and in ondara-lv2-test-host on liblilv, through what a real session does to it: a
// companion that starts late, restarts with another format, another instance that starts up, hosts
// that run the worker at once or hand in the same buffers in and out, long blocks, a name that is
// wrong, and a session saved and restored. What crosses the segments is checked exactly where a ring
// of known content allows it; otherwise by what the plug-in and the companion report.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/shared_segment.h"
#include "common/wav_reader.h"
#include "common/wav_writer.h"
#include "protocol/shared_access.h"
#include "tools_support.h"

namespace ondara::toolstest {
namespace {

constexpr const char* kUri = "urn:ondara:receiver";
constexpr const char* kMultiUri = "urn:ondara:receiver-multibus";
constexpr auto kStartTimeout = 60s;

// Gives this process's children the plug-in's search path and segment names, and removes the
// segments afterwards, also when an assertion fails.
class Lv2Session {
public:
    explicit Lv2Session(const std::string& tag)
        : ring(unique_name(tag + "-ring")), mic(unique_name(tag + "-mic")), mode(unique_name(tag + "-mode")) {
        setenv("LV2_PATH", ONDARA_LV2_DIR, 1);
        setenv("ONDARA_RING", ring.c_str(), 1);
        setenv("ONDARA_MIC", mic.c_str(), 1);
        setenv("ONDARA_MODE", mode.c_str(), 1);
        clean();
    }
    ~Lv2Session() { clean(); }
    void clean() const {
        for (const std::string* n : {&ring, &mic, &mode}) tools::SharedSegment::remove_name(*n);
    }
    const std::string ring, mic, mode;
};

std::optional<double> number_after(const std::string& text, const std::string& key) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str() + at + key.size(), &end);
    if (end == text.c_str() + at + key.size()) return std::nullopt;
    return v;
}

// The last value that the test host printed for a control output.
std::optional<double> control(const std::string& out, const std::string& symbol) {
    const std::size_t at = out.rfind("control " + symbol + "=");
    if (at == std::string::npos) return std::nullopt;
    return number_after(out.substr(at), "control " + symbol + "=");
}

std::string host_path() { return ONDARA_LV2_TEST_HOST; }

// The mic levels A and B that watch shows for `mic`.
std::optional<std::pair<double, double>> mic_levels(const std::string& mic) {
    const RunResult watch = run(companion_path(), {"watch", "--once", mic}, unique_name("watch") + ".out");
    const std::string line = line_starting(watch.output, "mic  " + mic);
    const auto a = number_after(line, " A "), b = number_after(line, " B ");
    if (!a || !b) return std::nullopt;
    return std::make_pair(*a, *b);
}

std::string mode_line(const std::string& mode) {
    const RunResult watch = run(companion_path(), {"watch", "--once", mode}, unique_name("watch") + ".out");
    return line_starting(watch.output, "mode " + mode);
}

// Ring frame f, channel c of the test rings: values that say which frame and channel they are, all
// different, none 0, so that an output sample tells where it came from.
float ring_sample(std::uint64_t f, std::uint32_t c) {
    return static_cast<float>((f % 2048) + 1) / 8192.0f * (c % 2 == 0 ? 1.0f : -1.0f) + static_cast<float>(c) / 16.0f;
}

// The frame that a full-gain sample pair of channels 0 and 1 came from, modulo 2048.
std::int64_t frame_of(float left) { return std::lround(left * 8192.0f) - 1; }

// A companion played by the test: a ring of known content, kept 32768 frames (0.68 s) ahead of its
// reader's read_pos instead of paced by the clock, so that what the reader gets does not depend on
// how fast this machine runs the host. (A reader starts 1024 frames behind write_pos, so its first
// block may still run short while this thread catches up.)
class KnownRing {
public:
    static constexpr std::uint64_t kLead = 32768;
    KnownRing(const std::string& name, std::uint32_t channels) {
        std::string error;
        ring_ = produce_ring(name, 48000, channels, 65536, error);
        EXPECT_TRUE(ring_) << error;
        if (ring_) thread_ = std::thread([this] { produce(); });
    }
    ~KnownRing() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
private:
    void produce() {
        const std::uint32_t ch = ring_->writer().channels();
        std::vector<float> chunk(std::size_t{1024} * ch);
        while (!stop_) {
            while (ring_->writer().write_pos() < ring_->writer().read_pos() + kLead) {
                const std::uint64_t from = ring_->writer().write_pos();
                for (std::uint64_t i = 0; i < 1024; ++i) {
                    for (std::uint32_t c = 0; c < ch; ++c) chunk[i * ch + c] = ring_sample(from + i, c);
                }
                ring_->writer().append(chunk.data(), 1024);
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    std::optional<RingProducer> ring_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

std::vector<float> read_wav(const std::string& path, std::uint32_t& channels) {
    tools::WavReader wav;
    std::string error;
    if (!wav.open(path, error)) {
        ADD_FAILURE() << error;
        return {};
    }
    channels = wav.channels();
    std::vector<float> frames(static_cast<std::size_t>(wav.frames()) * channels);
    EXPECT_EQ(wav.read(frames.data(), wav.frames(), error), wav.frames()) << error;
    return frames;
}

// Runs the test host with `args` and creates the known ring (two channels) a second after the
// plug-in first looked for it, after the worker's first looks and their answers.
RunResult run_with_late_ring(const std::string& ring_name, const std::vector<std::string>& args, const std::string& tag) {
    RunResult r;
    Child host = Child::start(ONDARA_LV2_TEST_HOST, args, unique_name(tag) + ".out");
    if (host.wait_for_output("the companion may not be running; looking for it every 0.25 s", kStartTimeout)) {
        std::this_thread::sleep_for(1s);
        const KnownRing ring(ring_name, 2);
        r.exit_code = host.wait_for(kStartTimeout).value_or(-1);
    }
    r.output = host.output();
    remove_file(host.output_path());
    return r;
}

// Checks a recording of the outputs against the known ring: after the last silent frame (the start,
// and any gap while the producer caught up with a reader that had just opened), a fade-in over 32
// frames, then every frame of the ring in order, each output from its own ring channel, to the end,
// and at least `at_least` frames of it.
void expect_known_ring_audio(const std::vector<float>& out, std::size_t channels, std::size_t at_least) {
    const std::size_t frames = out.size() / channels;
    std::size_t start = frames;
    while (start > 0 && out[(start - 1) * channels] != 0.0f) --start;  // channel 0 of the ring is never 0
    ASSERT_GE(frames - start, at_least) << "ring audio from output frame " << start << " of " << frames;
    const std::int64_t f0 = frame_of(out[(start + 32) * channels]) - 32;
    std::size_t wrong = 0;
    for (std::size_t i = 0; start + i < frames; ++i) {
        const std::uint64_t f = static_cast<std::uint64_t>(f0 + 2048 * 64) + i;
        const float gain = i < 32 ? static_cast<float>(i + 1) / 32.0f : 1.0f;
        for (std::uint32_t k = 0; k < channels; ++k) {
            const float want = ring_sample(f, k) * gain;
            if (out[(start + i) * channels + k] != want && ++wrong <= 5) {
                ADD_FAILURE() << "output frame " << start + i << " channel " << k << ": " << out[(start + i) * channels + k]
                              << ", ring frame " << f << " holds " << want;
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << "of " << frames - start << " frames from output frame " << start;
}

// The monotonic time (ms) of the first "host: ring audio" line after `after`.
std::optional<double> audio_after(const std::string& out, double after) {
    for (std::size_t at = out.find("host: ring audio at "); at != std::string::npos;
         at = out.find("host: ring audio at ", at + 1)) {
        const auto t = number_after(out.substr(at), "host: ring audio at ");
        if (t && *t >= after) return t;
    }
    return std::nullopt;
}

double monotonic_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TEST(Lv2, BundleIsValidSelfContainedAndDescribed) {
    const std::string bundle = std::string(ONDARA_LV2_DIR) + "/ondara-receiver.lv2/";
    const RunResult valid = run(ONDARA_LV2_VALIDATE, {bundle + "manifest.ttl", bundle + "ondara-receiver.ttl", bundle + "ondara-minimal.ttl"},
                                unique_name("validate") + ".out");
    EXPECT_EQ(valid.exit_code, 0) << valid.output;
    EXPECT_NE(valid.output.find("Found 0 errors"), std::string::npos) << valid.output;

    // Nothing but the C library (and its loader) and libm; nothing exported but lv2_descriptor.
    const RunResult needed = run(ONDARA_READELF, {"-d", bundle + "ondara-receiver.so"}, unique_name("readelf") + ".out");
    for (std::size_t at = needed.output.find("(NEEDED)"); at != std::string::npos;
         at = needed.output.find("(NEEDED)", at + 1)) {
        const std::string lib = line_starting(needed.output.substr(at), "(NEEDED)");
        EXPECT_TRUE(lib.find("[libc.so.6]") != std::string::npos || lib.find("[libm.so.6]") != std::string::npos ||
                    lib.find("[libgcc_s.so.1]") != std::string::npos || lib.find("[ld-linux") != std::string::npos)
            << lib;
    }
    // Loads with glibc 2.34 and later: no symbol of a newer version.
    for (const char* so : {"ondara-receiver.so", "ondara-minimal.so"}) {
        const RunResult versions = run(ONDARA_READELF, {"-V", bundle + so}, unique_name("versions") + ".out");
        for (std::size_t at = versions.output.find("GLIBC_2."); at != std::string::npos;
             at = versions.output.find("GLIBC_2.", at + 1)) {
            EXPECT_LE(std::atoi(versions.output.c_str() + at + 8), 34) << so << ": " << line_starting(versions.output.substr(at), "GLIBC_2.");
        }
        const RunResult sections = run(ONDARA_READELF, {"-S", bundle + so}, unique_name("sections") + ".out");
        EXPECT_EQ(sections.output.find(".debug_info"), std::string::npos) << so << " is not stripped";
    }
    EXPECT_EQ(needed.output.find("RPATH"), std::string::npos) << needed.output;
    EXPECT_EQ(needed.output.find("RUNPATH"), std::string::npos) << needed.output;
    const RunResult symbols =
        run(ONDARA_NM, {"-D", "--defined-only", bundle + "ondara-receiver.so"}, unique_name("nm") + ".out");
    EXPECT_EQ(symbols.exit_code, 0) << symbols.output;
    EXPECT_NE(symbols.output.find(" T lv2_descriptor\n"), std::string::npos) << symbols.output;
    EXPECT_EQ(std::count(symbols.output.begin(), symbols.output.end(), '\n'), 1) << symbols.output;

    setenv("LV2_PATH", ONDARA_LV2_DIR, 1);
    const RunResult ls = run(ONDARA_LV2LS, {}, unique_name("lv2ls") + ".out");
    EXPECT_EQ(ls.exit_code, 0);
    EXPECT_EQ(ls.output, "urn:ondara:minimal\nurn:ondara:receiver\nurn:ondara:receiver-multibus\n");
    const RunResult info = run(ONDARA_LV2INFO, {kUri}, unique_name("lv2info") + ".out");
    EXPECT_EQ(info.exit_code, 0) << info.output;
    for (const char* want :
         {"ondara-receiver.lv2/ondara-receiver.so", "Author:            the ondara authors",
          "http://lv2plug.in/ns/ext/worker#interface", "http://lv2plug.in/ns/ext/state#interface",
          "http://lv2plug.in/ns/lv2core#isLive", "http://lv2plug.in/ns/lv2core#hardRTCapable", "Symbol:      mode",
          "2 = \"Mode 2\"", "Symbol:      applied_mode", "-1 = \"None yet (no mode block)\"", "Symbol:      volume_4",
          "Symbol:      bridge", "Symbol:      ring_frames", "Symbol:      ring_rate", "Symbol:      mic_level_b",
          "Symbol:      control",
          "Symbol:      notify", "Symbol:      in_r", "Group:       urn:ondara:receiver#out",
          "Designation: http://lv2plug.in/ns/ext/port-groups#right"}) {
        EXPECT_NE(info.output.find(want), std::string::npos) << want << "\n" << info.output;
    }
    const RunResult multi = run(ONDARA_LV2INFO, {kMultiUri}, unique_name("lv2info-m") + ".out");
    EXPECT_NE(multi.output.find("Symbol:      out3_r"), std::string::npos) << multi.output;
    EXPECT_NE(multi.output.find("Group:       urn:ondara:receiver-multibus#bus3"), std::string::npos) << multi.output;

    // A sample rate that is no audio rate is refused at instantiation, with a reason.
    for (const char* rate : {"nan", "-48000", "0", "1e12"}) {
        const RunResult r = run(host_path(), {kUri, "--rate", rate, "--seconds", "0.1"}, unique_name("rate") + ".out");
        EXPECT_EQ(r.exit_code, 1) << rate << "\n" << r.output;
        EXPECT_NE(r.output.find("ondara-receiver: refusing a sample rate of"), std::string::npos) << r.output;
    }
}

// The bundle copied alone into a fresh home's ~/.lv2, as users install plug-ins, with no LV2_PATH:
// lv2info finds it and lv2apply renders with it. lv2apply runs the plug-in one frame per call and as
// fast as it can, so the ring's content is fixed before it runs: what comes out then depends on
// nothing but the plug-in. The input is loud for 100 ms and quiet afterwards, on each side at its own
// level, and lv2apply sets the mode control without moving it, which asks the companion for nothing.
TEST(Lv2, ABundleCopiedAloneRendersAFixedRingInLv2apply) {
    const Lv2Session s("apply");
    const std::string home = unique_name("home");
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home + "/.lv2");
    std::filesystem::copy(std::string(ONDARA_LV2_DIR) + "/ondara-receiver.lv2", home + "/.lv2/ondara-receiver.lv2");

    constexpr std::uint32_t kChannels = 6, kCapacity = 4096;
    std::string error;
    auto ring = produce_ring(s.ring, 48000, kChannels, kCapacity, error);
    ASSERT_TRUE(ring) << error;
    std::vector<float> content(std::size_t{kCapacity} * kChannels);
    for (std::uint64_t f = 0; f < kCapacity; ++f) {
        for (std::uint32_t c = 0; c < kChannels; ++c) content[f * kChannels + c] = ring_sample(f, c);
    }
    ring->writer().append(content.data(), kCapacity);

    const std::string in = unique_name("apply-in") + ".wav";
    {
        tools::WavWriter w;
        ASSERT_TRUE(w.open(in, 48000, tools::WavWriter::Format::Float32, error)) << error;
        std::vector<float> l(12000), r(12000);
        for (std::size_t i = 0; i < l.size(); ++i) {
            const float x = static_cast<float>(std::sin(0.13 * static_cast<double>(i)));
            l[i] = x * (i < 4800 ? 0.5f : 0.25f);     // -6.0 dBFS, then -12.0
            r[i] = x * (i < 4800 ? 0.125f : 0.0625f);  // -18.1 dBFS, then -24.1
        }
        ASSERT_TRUE(w.write(l.data(), r.data(), l.size(), error)) << error;
        ASSERT_TRUE(w.close(error)) << error;
    }
    const std::string old_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("HOME", std::filesystem::absolute(home).c_str(), 1);
    unsetenv("LV2_PATH");
    const RunResult info = run(ONDARA_LV2INFO, {kUri}, unique_name("home-info") + ".out");
    struct Run {
        const char* uri;
        std::uint32_t outputs;
    };
    std::vector<RunResult> applied;
    for (const Run& r : {Run{kUri, 2}, Run{kMultiUri, 6}}) {
        const std::string out = unique_name("apply-out") + std::to_string(r.outputs) + ".wav";
        applied.push_back(run(ONDARA_LV2APPLY, {"-i", in, "-o", out, "-c", "mode", "2", r.uri}, unique_name("apply") + ".out"));
        std::uint32_t channels = 0;
        const std::vector<float> frames = read_wav(out, channels);
        remove_file(out);
        ASSERT_EQ(channels, r.outputs) << applied.back().output;
        ASSERT_EQ(frames.size(), std::size_t{12000} * channels);
        // The receiver starts 1024 frames behind the producer; one frame per call gets no fade.
        for (std::size_t i = 0; i < 12000; ++i) {
            for (std::uint32_t k = 0; k < channels; ++k) {
                const float want = i < 1024 ? ring_sample(kCapacity - 1024 + i, k) : 0.0f;
                ASSERT_EQ(frames[i * channels + k], want) << r.uri << " frame " << i << " output " << k;
            }
        }
    }
    setenv("HOME", old_home.c_str(), 1);
    std::filesystem::remove_all(home);
    remove_file(in);
    EXPECT_EQ(info.exit_code, 0) << info.output;
    EXPECT_NE(info.output.find("/.lv2/ondara-receiver.lv2/ondara-receiver.so"), std::string::npos) << info.output;
    for (const RunResult& r : applied) {
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_NE(r.output.find("ring " + s.ring + " open: 6 channels at 48000 Hz"), std::string::npos) << r.output;
    }
    // The last 50 ms window was quiet: -12 and -24 dB, not the loud start.
    const auto levels = mic_levels(s.mic);
    ASSERT_TRUE(levels);
    EXPECT_NEAR(levels->first, -12.0, 0.11);
    EXPECT_NEAR(levels->second, -24.1, 0.11);
    EXPECT_NE(mode_line(s.mode).find("requested none"), std::string::npos) << mode_line(s.mode);
}

// A companion that starts a second after the plug-in, in a host that runs blocks of 4096 frames (more
// than the receiver is opened for) in buffers that the inputs share with the outputs: the worker finds
// the ring, every frame of it comes out in order with its own left and right, fading in at the start,
// and the mic levels are those of the inputs, not of the audio rendered over them.
TEST(Lv2, ALateRingPlaysWholeInLongInPlaceBlocks) {
    const Lv2Session s("inplace");
    const std::string out_wav = unique_name("inplace") + ".wav";
    const RunResult host = run_with_late_ring(
        s.ring, {kUri, "--seconds", "5", "--block", "4096", "--in-place", "--out", out_wav}, "inplace-host");
    const std::string& out = host.output;
    ASSERT_EQ(host.exit_code, 0) << out;
    EXPECT_NE(out.find("plugin: ondara-receiver: ring " + s.ring + " open: 2 channels at 48000 Hz"), std::string::npos)
        << out;
    EXPECT_EQ(control(out, "ring_frames"), 4096) << out;
    EXPECT_EQ(control(out, "ring_rate"), 48000) << out;
    EXPECT_NEAR(control(out, "mic_level_a").value_or(0), -6.02, 0.05) << out;
    EXPECT_NEAR(control(out, "mic_level_b").value_or(0), -18.06, 0.05) << out;
    std::uint32_t channels = 0;
    const std::vector<float> frames = read_wav(out_wav, channels);
    remove_file(out_wav);
    ASSERT_EQ(channels, 2u);
    expect_known_ring_audio(frames, 2, 48000);
    const auto levels = mic_levels(s.mic);
    ASSERT_TRUE(levels);
    EXPECT_NEAR(levels->first, -6.0, 0.11);
    EXPECT_NEAR(levels->second, -18.1, 0.11);
}

// The minimal plug-in, which opens the ring on the worker too: every frame of a late ring, in order.
TEST(Lv2, TheMinimalPluginPlaysALateRing) {
    const Lv2Session s("minimal");
    const std::string out_wav = unique_name("minimal") + ".wav";
    Child host = Child::start(ONDARA_LV2_TEST_HOST, {"urn:ondara:minimal", "--seconds", "3", "--out", out_wav},
                              unique_name("minimal-host") + ".out");
    ASSERT_TRUE(host.wait_for_output("host: offering", kStartTimeout)) << host.output();
    std::this_thread::sleep_for(1s);
    {
        const KnownRing ring(s.ring, 2);
        EXPECT_EQ(host.wait_for(kStartTimeout).value_or(-1), 0) << host.output();
    }
    remove_file(host.output_path());
    std::uint32_t channels = 0;
    const std::vector<float> frames = read_wav(out_wav, channels);
    remove_file(out_wav);
    expect_known_ring_audio(frames, 2, 24000);
}

// Hosts that run the worker inside schedule_work, and one whose first response fails: both still get
// the ring when the companion creates it a second later, after the worker's first looks.
TEST(Lv2, WorkersThatAnswerAtOnceOrLoseAnAnswerStillGetTheRing) {
    for (const char* kind : {"immediate", "fail-once"}) {
        SCOPED_TRACE(kind);
        const Lv2Session s(std::string("worker-") + kind);
        const std::string out_wav = unique_name("worker") + ".wav";
        const RunResult host =
            run_with_late_ring(s.ring, {kUri, "--seconds", "4", "--worker", kind, "--out", out_wav}, "worker-host");
        const std::string& out = host.output;
        ASSERT_EQ(host.exit_code, 0) << out;
        EXPECT_NE(out.find("ring " + s.ring + " open: 2 channels"), std::string::npos) << out;
        EXPECT_EQ(out.find("host: refused the worker's first response") != std::string::npos,
                  std::string(kind) == "fail-once")
            << out;
        std::uint32_t channels = 0;
        const std::vector<float> frames = read_wav(out_wav, channels);
        remove_file(out_wav);
        expect_known_ring_audio(frames, 2, 48000);
    }
}

// A session's life: the companion's mode side answers the mode the user picks; another instance of the
// plug-in starts and stops meanwhile (a second host, a scan); then the companion's audio side is
// stopped and started again with another format. The first instance keeps the mode and volumes the
// companion applied, picks up the new ring within a second, and says that its rate is not the host's.
// The mic block's name is the ring's here, a typo in a configuration: the mic open is refused and
// the ring plays on.
TEST(Lv2, ASessionSurvivesAnotherInstanceAndACompanionRestartingWithAnotherFormat) {
    const Lv2Session s("session");
    setenv("ONDARA_MIC", s.ring.c_str(), 1);
    Child serve = Child::start(companion_path(),
                               {"serve-mode", s.mode, "--delay", "20", "--volumes", "0.5,0.25,1,0", "--bridge", "on"},
                               unique_name("session-serve") + ".out");
    ASSERT_TRUE(serve.wait_for_output("serve-mode:", kStartTimeout)) << serve.output();
    Child play = Child::start(companion_path(), {"play", s.ring, "--seconds", "600"}, unique_name("session-play") + ".out");
    ASSERT_TRUE(play.wait_for_output("play: ring", kStartTimeout)) << play.output();
    // The host runs until the test has seen what it waits for, however long a busy machine takes.
    const std::string stop_file = unique_name("session-stop");
    remove_file(stop_file);
    Child host = Child::start(host_path(), {kUri, "--seconds", "300", "--mode", "2", "--until", stop_file},
                              unique_name("session-host") + ".out");
    ASSERT_TRUE(host.wait_for_output("host: ring audio at", kStartTimeout)) << host.output();
    ASSERT_TRUE(serve.wait_for_output("serve-mode: applied mode 2", kStartTimeout)) << serve.output();

    // Another instance comes and goes, restoring its own fresh state as jalv does: it opens the mic and
    // mode blocks (which resets them) and asks for no mode of its own.
    const RunResult second =
        run(host_path(), {kUri, "--seconds", "0.5", "--restore", "own"}, unique_name("session-second") + ".out");
    EXPECT_EQ(second.exit_code, 0) << second.output;
    EXPECT_NE(second.output.find("control applied_mode=2"), std::string::npos) << second.output;

    ASSERT_TRUE(play.interrupt());
    ASSERT_TRUE(play.wait_for(kStartTimeout).has_value());
    const double stopped = monotonic_ms();
    Child again = Child::start(companion_path(), {"play", s.ring, "--channels", "6", "--rate", "44100", "--seconds", "600"},
                               unique_name("session-again") + ".out");
    ASSERT_TRUE(again.wait_for_output("play: ring", kStartTimeout)) << again.output();
    const double restarted = monotonic_ms();
    std::optional<double> resumed;
    for (const auto give_up = std::chrono::steady_clock::now() + kStartTimeout;
         !resumed && std::chrono::steady_clock::now() < give_up; std::this_thread::sleep_for(20ms)) {
        resumed = audio_after(host.output(), stopped);
    }
    // A second of audio more, so that the controls at the end show the new ring.
    std::this_thread::sleep_for(1s);
    std::ofstream(stop_file).put('\n');
    const std::optional<int> code = host.wait_for(kStartTimeout);
    remove_file(stop_file);
    ASSERT_TRUE(code.has_value());
    const std::string out = host.output();
    EXPECT_EQ(*code, 0) << out;
    ASSERT_TRUE(resumed) << out;
    // The plug-in finds the new ring within 0.25 s of its creation (its look for a missing ring), or
    // at the reopen after 0.5 s of silence; a second leaves room for a busy machine.
    EXPECT_LT(*resumed - restarted, 1000.0) << out;
    EXPECT_NE(out.find("ring " + s.ring + " runs at 44100 Hz, the host at 48000 Hz"), std::string::npos) << out;
    EXPECT_EQ(control(out, "ring_rate"), 44100) << out;
    EXPECT_EQ(control(out, "applied_mode"), 2) << out;
    EXPECT_EQ(control(out, "volume_1"), 0.5) << out;
    EXPECT_EQ(control(out, "volume_2"), 0.25) << out;
    EXPECT_EQ(control(out, "bridge"), 1) << out;
    EXPECT_NE(out.find("mic block " + s.ring + ": open bridge failed"), std::string::npos) << out;
    EXPECT_NE(mode_line(s.mode).find("applied 2  volumes 0.50 0.25 1.00 0.00  bridge on"), std::string::npos)
        << mode_line(s.mode);
    again.interrupt();
    serve.interrupt();
    again.wait_for(kStartTimeout);
    serve.wait_for(kStartTimeout);
    for (const Child* c : {&serve, &play, &host, &again}) remove_file(c->output_path());
}

// The host runs in step with the test, so that what the ring holds at each block is exact however
// slowly the machine runs. First a companion that writes a block's worth of frames per block, as one
// at the host's rate does: the worker's open and its answer take a block or two, and the reader then
// starts at most 1024 frames and one block behind. Then bursts with short gaps: each gap far shorter
// than the half second after which a silent ring is opened again, all of them together longer; the
// plug-in keeps the ring and plays every burst whole.
TEST(Lv2, AReaderStartsCloseAndShortGapsInItsRingNeverAddUpToAReopen) {
    const Lv2Session s("gaps");
    std::string error;
    auto ring = produce_ring(s.ring, 48000, 2, 8192, error);
    ASSERT_TRUE(ring) << error;
    const std::string step = unique_name("gaps-step"), stop = unique_name("gaps-stop");
    std::uint64_t block = 0;
    const auto allow = [&step, &block](std::uint64_t blocks) {
        std::ofstream(step + ".new") << blocks;
        std::filesystem::rename(step + ".new", step);
        block = blocks;
    };
    allow(0);
    Child host = Child::start(host_path(), {kUri, "--seconds", "300", "--step", step, "--until", stop},
                              unique_name("gaps-host") + ".out");
    const auto run_to = [&](std::uint64_t blocks) {
        allow(blocks);
        return host.wait_for_output("host: at block " + std::to_string(blocks) + "\n", kStartTimeout);
    };
    const std::vector<float> burst(2048, 0.25f);  // 1024 frames: 4 blocks of 256
    for (int i = 0; i < 4; ++i) ring->writer().append(burst.data(), 1024);  // a companion that has been running
    while (host.output().find("host: ring audio at") == std::string::npos && block < 5000) {
        ring->writer().append(burst.data(), 256);
        ASSERT_TRUE(run_to(block + 1)) << host.output();
    }
    EXPECT_LE(ring->writer().write_pos() - ring->writer().read_pos(), 1024u) << "after the first block with audio, " << block;
    while (ring->writer().read_pos() < ring->writer().write_pos() && block < 5000) ASSERT_TRUE(run_to(block + 1)) << host.output();
    // 15 gaps of 2048 frames, 0.64 s in all.
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(run_to(block + 8)) << host.output();
        ring->writer().append(burst.data(), 1024);
        ASSERT_TRUE(run_to(block + 4)) << host.output();
        EXPECT_EQ(ring->writer().read_pos(), ring->writer().write_pos()) << "burst " << i << "\n" << host.output();
    }
    std::ofstream(stop).put('\n');
    allow(block + 100);
    const std::optional<int> code = host.wait_for(kStartTimeout);
    remove_file(step);
    remove_file(stop);
    EXPECT_EQ(code, 0) << host.output();
    EXPECT_EQ(host.output().find("opening it again"), std::string::npos) << host.output();
    remove_file(host.output_path());
}

// A state saved by the test host, for restoring: the three names and the mode asked for.
std::string write_state(const std::string& ring, const std::string& mic, const std::string& mode, int requested) {
    const std::string path = unique_name("preset-state" + std::to_string(requested)) + ".ttl";
    std::ofstream(path) << "<urn:ondara:test-state> a <http://lv2plug.in/ns/ext/presets#Preset> ;\n"
                        << "  <http://lv2plug.in/ns/lv2core#appliesTo> <urn:ondara:receiver> ;\n"
                        << "  <http://lv2plug.in/ns/ext/state#state> [\n"
                        << "    <urn:ondara:receiver#ring_name> \"" << ring << "\" ;\n"
                        << "    <urn:ondara:receiver#mic_name> \"" << mic << "\" ;\n"
                        << "    <urn:ondara:receiver#mode_name> \"" << mode << "\" ;\n"
                        << "    <urn:ondara:receiver#requested_mode> \"" << requested
                        << "\"^^<http://www.w3.org/2001/XMLSchema#int>\n  ] .\n";
    return path;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A running instance, whose mode control asked for mode 3, gets what a host hands it while it plays:
// a patch:Set of the mode block's name to the name it has, a preset that names another ring, then one
// that names another mode block and asks for mode 2. Each segment that changed is opened under its new
// name; the mic block and the first mode block are opened once and never reset; only the new mode
// block is asked for mode 2.
TEST(Lv2, ARunningInstanceOpensWhatAPresetRenamesAndLeavesTheRestAlone) {
    const Lv2Session s("preset");
    const std::string ring2 = unique_name("preset-ring2"), mode2 = unique_name("preset-mode2");
    const KnownRing first(s.ring, 2), second(ring2, 2);
    Child serve = Child::start(companion_path(), {"serve-mode", s.mode, "--delay", "0"}, unique_name("preset-serve") + ".out");
    ASSERT_TRUE(serve.wait_for_output("serve-mode:", kStartTimeout)) << serve.output();
    const std::string ring_only = write_state(ring2, s.mic, s.mode, -1), new_mode = write_state(ring2, s.mic, mode2, 2);
    const std::string stop = unique_name("preset-stop");
    Child host = Child::start(host_path(),
                              {kUri, "--seconds", "300", "--mode", "3", "--until", stop, "--at", "20", "--set",
                               "mode_name=" + s.mode, "--at", "40", "--restore", ring_only, "--at", "80", "--restore",
                               new_mode},
                              unique_name("preset-host") + ".out");
    EXPECT_TRUE(serve.wait_for_output("serve-mode: applied mode 3", kStartTimeout)) << serve.output();
    EXPECT_TRUE(host.wait_for_output("mode block " + mode2 + " open", kStartTimeout)) << host.output();
    for (const auto give_up = std::chrono::steady_clock::now() + kStartTimeout;
         mode_line(mode2).find("requested 2 (flagged)") == std::string::npos && std::chrono::steady_clock::now() < give_up;
         std::this_thread::sleep_for(20ms)) {
    }
    std::ofstream(stop).put('\n');
    const std::optional<int> code = host.wait_for(kStartTimeout);
    const std::string out = host.output();
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("ring " + ring2 + " open: 2 channels"), std::string::npos) << out;
    EXPECT_EQ(count(out, "mic block " + s.mic + " open"), 1u) << out;
    EXPECT_EQ(count(out, "mode block " + s.mode + " open"), 1u) << out;
    EXPECT_EQ(count(out, "mode block " + mode2 + " open"), 1u) << out;
    EXPECT_NE(mode_line(mode2).find("requested 2 (flagged)"), std::string::npos) << mode_line(mode2);
    EXPECT_NE(mode_line(s.mode).find("applied 3"), std::string::npos) << mode_line(s.mode);
    serve.interrupt();
    serve.wait_for(kStartTimeout);
    EXPECT_EQ(serve.output().find("request for mode 2"), std::string::npos) << serve.output();
    EXPECT_EQ(serve.output().find("no longer carries"), std::string::npos) << serve.output();
    tools::SharedSegment::remove_name(mode2);
    for (const std::string& f : {ring_only, new_mode, stop, host.output_path(), serve.output_path()}) remove_file(f);
}

// The segment names are the plug-in's state: set through patch:Set, reported on the notify port,
// saved with the session, and restored from it; so is the mode it asked for, which is asked for again.
TEST(Lv2, SegmentNamesAreSetThroughPatchSetAndSavedAndRestoredWithTheSession) {
    const Lv2Session s("state");
    const std::string ring2 = unique_name("state-ring2"), mic2 = unique_name("state-mic2");
    const std::string state = unique_name("state") + ".ttl";
    const RunResult first = run(host_path(),
                                {kUri, "--seconds", "0.5", "--mode", "3", "--set", "ring_name=" + ring2, "--set",
                                 "mic_name=" + mic2, "--save", state},
                                unique_name("state1") + ".out");
    EXPECT_EQ(first.exit_code, 0) << first.output;
    EXPECT_NE(first.output.find("notify ring_name=" + ring2 + "\n"), std::string::npos) << first.output;
    EXPECT_NE(first.output.find("notify mic_name=" + mic2 + "\n"), std::string::npos) << first.output;
    EXPECT_NE(first.output.find("plugin: ondara-receiver: mic block " + mic2 + " open"), std::string::npos) << first.output;
    const std::string saved = read_file(state);
    EXPECT_NE(saved.find("\"" + ring2 + "\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"" + mic2 + "\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"" + s.mode + "\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("requested_mode> \"3\"^^xsd:int"), std::string::npos) << saved;
    // Another instance opens the mode block, which resets it: the request is gone from the block.
    EXPECT_EQ(run(host_path(), {kUri, "--seconds", "0.1"}, unique_name("state0") + ".out").exit_code, 0);
    EXPECT_NE(mode_line(s.mode).find("requested none"), std::string::npos) << mode_line(s.mode);

    // A host that gives the notify port less room than it asks for, and a name of 255 bytes, whose
    // patch:Set does not fit in 300 bytes: the names that fit are reported, whole, and none is cut.
    for (const char* room : {"192", "300"}) {
        const RunResult r = run(host_path(), {kUri, "--seconds", "0.2", "--notify-size", room, "--set",
                                              "ring_name=" + std::string(255, 'n')},
                                unique_name("notify") + ".out");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(r.output.find("host: broken notify event"), std::string::npos) << room << "\n" << r.output;
        EXPECT_NE(r.output.find("notify mic_name=" + s.mic + "\n"), std::string::npos) << room << "\n" << r.output;
        EXPECT_NE(r.output.find("notify mode_name=" + s.mode + "\n"), std::string::npos) << room << "\n" << r.output;
    }

    const std::string not_ring = unique_name("not-this-ring"), not_mic = unique_name("not-this-mic");
    setenv("ONDARA_RING", not_ring.c_str(), 1);
    setenv("ONDARA_MIC", not_mic.c_str(), 1);
    const RunResult second = run(host_path(), {kUri, "--seconds", "0.5", "--restore", state}, unique_name("state2") + ".out");
    remove_file(state);
    tools::SharedSegment::remove_name(mic2);
    EXPECT_EQ(second.exit_code, 0) << second.output;
    EXPECT_NE(second.output.find("plugin: ondara-receiver: mic block " + mic2 + " open"), std::string::npos) << second.output;
    EXPECT_NE(second.output.find("ring " + ring2 + " not found or not usable (open bridge failed): the companion may not be running"),
              std::string::npos) << second.output;
    EXPECT_NE(second.output.find("notify ring_name=" + ring2 + "\n"), std::string::npos) << second.output;
    EXPECT_EQ(second.output.find(not_ring), std::string::npos) << second.output;
    EXPECT_EQ(second.output.find(not_mic), std::string::npos) << second.output;
    EXPECT_NE(mode_line(s.mode).find("requested 3 (flagged)"), std::string::npos) << mode_line(s.mode);

    // A rename whose answer the host loses (its worker's first respond() fails) is asked for again:
    // the levels go to the new mic block, not to the old one or nowhere.
    const std::string mic3 = unique_name("state-mic3");
    const RunResult lost = run(host_path(), {kUri, "--seconds", "1", "--worker", "fail-once", "--set", "mic_name=" + mic3},
                               unique_name("state3") + ".out");
    EXPECT_EQ(lost.exit_code, 0) << lost.output;
    EXPECT_NE(lost.output.find("host: refused the worker's first response"), std::string::npos) << lost.output;
    const auto levels = mic_levels(mic3);
    // The instance opened the environment's mic block before the rename.
    for (const std::string* n : {&mic3, &not_mic}) tools::SharedSegment::remove_name(*n);
    ASSERT_TRUE(levels) << lost.output;
    EXPECT_NEAR(levels->first, -6.0, 0.11) << lost.output;
}

}  // namespace
}  // namespace ondara::toolstest
