// The LV2 plug-in ondara-receiver in hosts none of us wrote (Debian's lv2_validate, lv2ls, lv2info,
// lv2apply) and in ondara-lv2-test-host on liblilv, with ondara-companion as the companion. What
// crosses the segments is checked: the ring's tone in the rendered file, the input's peaks in the
// mic block, the mode control as the request, and serve-mode's answer on the control outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "tools_support.h"
#include "shared_segment.h"
#include "wav_reader.h"
#include "wav_writer.h"

namespace ondara::toolstest {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr const char* kUri = "urn:ondara:receiver";

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

TEST(Lv2, BundleValidatesAndHostsFindIt) {
    const std::string bundle = std::string(ONDARA_LV2_DIR) + "/ondara-receiver.lv2/";
    const RunResult valid = run(ONDARA_LV2_VALIDATE, {bundle + "manifest.ttl", bundle + "ondara-receiver.ttl"},
                                unique_name("validate") + ".out");
    EXPECT_EQ(valid.exit_code, 0) << valid.output;
    EXPECT_NE(valid.output.find("Found 0 errors"), std::string::npos) << valid.output;

    setenv("LV2_PATH", ONDARA_LV2_DIR, 1);
    const RunResult ls = run(ONDARA_LV2LS, {}, unique_name("lv2ls") + ".out");
    EXPECT_EQ(ls.exit_code, 0);
    EXPECT_EQ(ls.output, "urn:ondara:receiver\nurn:ondara:receiver-multibus\n");

    const RunResult info = run(ONDARA_LV2INFO, {kUri}, unique_name("lv2info") + ".out");
    EXPECT_EQ(info.exit_code, 0) << info.output;
    for (const char* want : {"ondara-receiver.lv2/ondara-receiver.so", "http://lv2plug.in/ns/ext/worker#interface",
                             "http://lv2plug.in/ns/ext/worker#schedule", "Symbol:      mode", "3 = \"Mode 3\"",
                             "Symbol:      applied_mode", "Symbol:      volume_4", "Symbol:      bridge",
                             "Symbol:      ring_frames", "Symbol:      in_r"}) {
        EXPECT_NE(info.output.find(want), std::string::npos) << want << "\n" << info.output;
    }
    const RunResult multi = run(ONDARA_LV2INFO, {"urn:ondara:receiver-multibus"}, unique_name("lv2info-m") + ".out");
    EXPECT_NE(multi.output.find("Symbol:      out3_r"), std::string::npos) << multi.output;
}

// lv2apply runs the plug-in faster than real time over a file: the ring's backlog (the receiver
// starts 1024 frames behind the producer) comes out first, then the ring runs dry.
TEST(Lv2, Lv2applyRendersTheRingAndReportsLevelsAndMode) {
    const Lv2Session s("apply");
    const std::string in = unique_name("apply-in") + ".wav", out = unique_name("apply-out") + ".wav";
    {
        // Half a second of a 1 kHz sine: peak 0.5 (-6.02 dBFS) left, 0.125 (-18.06 dBFS) right.
        tools::WavWriter w;
        std::string error;
        ASSERT_TRUE(w.open(in, 48000, tools::WavWriter::Format::Float32, error)) << error;
        std::vector<float> l(24000), r(24000);
        for (std::size_t i = 0; i < l.size(); ++i) {
            const double x = std::sin(2.0 * kPi * 1000.0 * static_cast<double>(i) / 48000.0 + 0.5);
            l[i] = static_cast<float>(0.5 * x);
            r[i] = static_cast<float>(0.125 * x);
        }
        ASSERT_TRUE(w.write(l.data(), r.data(), l.size(), error)) << error;
        ASSERT_TRUE(w.close(error)) << error;
    }
    Child play = Child::start(companion_path(), {"play", s.ring, "--seconds", "20"}, unique_name("apply-play") + ".out");
    ASSERT_TRUE(play.started()) << play.error();
    ASSERT_TRUE(play.wait_for_output("playing", 30s)) << play.output();
    std::this_thread::sleep_for(200ms);  // a backlog of well over 1024 frames

    const RunResult apply = run(ONDARA_LV2APPLY, {"-i", in, "-o", out, "-c", "mode", "2", kUri},
                                unique_name("apply-run") + ".out");
    ASSERT_EQ(apply.exit_code, 0) << apply.output;
    EXPECT_NE(apply.output.find("ring " + s.ring + " open"), std::string::npos) << apply.output;

    tools::WavReader wav;
    std::string error;
    ASSERT_TRUE(wav.open(out, error)) << error;
    ASSERT_EQ(wav.channels(), 2u);
    ASSERT_EQ(wav.frames(), 24000u);
    std::vector<float> frames(2 * 24000);
    ASSERT_EQ(wav.read(frames.data(), 24000, error), 24000u) << error;
    // The first 1024 - 32 frames (before the fade-out where the ring ran dry) are play's 440 Hz tone
    // at 0.25 peak on both channels: each sample follows from its two neighbours as a sine does.
    const double two_cos = 2.0 * std::cos(2.0 * kPi * 440.0 / 48000.0);
    double peak = 0.0;
    for (std::size_t i = 1; i + 1 < 992; ++i) {
        const float l = frames[2 * i];
        ASSERT_EQ(l, frames[2 * i + 1]) << "frame " << i;
        ASSERT_NEAR(frames[2 * (i - 1)] + frames[2 * (i + 1)], two_cos * l, 1e-4) << "frame " << i;
        peak = std::max(peak, std::fabs(static_cast<double>(l)));
    }
    EXPECT_NEAR(peak, 0.25, 0.002);
    // Then the ring ran dry: silence to the end, since play writes in real time.
    EXPECT_EQ(frames[2 * 23999], 0.0f);

    const RunResult watch = run(companion_path(), {"watch", "--once", s.mic, s.mode}, unique_name("apply-watch") + ".out");
    ASSERT_EQ(watch.exit_code, 0) << watch.output;
    const std::string mic_line = line_starting(watch.output, "mic  " + s.mic);
    const auto a = number_after(mic_line, " A "), b = number_after(mic_line, " B ");
    ASSERT_TRUE(a && b) << watch.output;
    EXPECT_NEAR(*a, -6.0, 0.11) << mic_line;
    EXPECT_NEAR(*b, -18.1, 0.11) << mic_line;
    EXPECT_NE(line_starting(watch.output, "mode " + s.mode).find("requested 2 (flagged)"), std::string::npos)
        << watch.output;
    play.interrupt();
    play.wait_for(30s);
}

// The lilv host offers the worker: started before the companion, the plug-in finds the ring
// through it once play creates it, and reads back what serve-mode applied.
TEST(Lv2, LilvHostWithWorkerPicksUpALateRingAndReadsTheControls) {
    const Lv2Session s("lilv");
    Child serve = Child::start(companion_path(),
                               {"serve-mode", s.mode, "--delay", "20", "--volumes", "0.5,0.25,1,0", "--bridge", "on"},
                               unique_name("lilv-serve") + ".out");
    ASSERT_TRUE(serve.wait_for_output("serve-mode:", 30s)) << serve.output();
    Child host = Child::start(ONDARA_LV2_TEST_HOST, {kUri, "--seconds", "3", "--mode", "3"},
                              unique_name("lilv-host") + ".out");
    ASSERT_TRUE(host.wait_for_output("open bridge failed; looking again", 30s)) << host.output();
    Child play = Child::start(companion_path(), {"play", s.ring, "--seconds", "20"}, unique_name("lilv-play") + ".out");
    ASSERT_TRUE(play.started()) << play.error();

    const std::optional<int> code = host.wait_for(60s);
    ASSERT_TRUE(code.has_value());
    const std::string out = host.output();
    EXPECT_EQ(*code, 0) << out;
    EXPECT_NE(out.find("plugin: ondara-receiver: host offers log yes, worker yes"), std::string::npos) << out;
    EXPECT_NE(out.find("plugin: ondara-receiver: ring " + s.ring + " open"), std::string::npos) << out;
    EXPECT_NE(out.find("control applied_mode=3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("control volume_1=0.5\ncontrol volume_2=0.25\ncontrol volume_3=1\ncontrol volume_4=0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("control bridge=1\n"), std::string::npos) << out;
    // Paced in real time against play, the last block came whole from the ring.
    EXPECT_NE(out.find("control ring_frames=256\n"), std::string::npos) << out;
    const auto peak = number_after(out, "peak_out=");
    ASSERT_TRUE(peak.has_value()) << out;
    EXPECT_NEAR(*peak, 0.25, 0.002);

    // The host's inputs (peaks 0.5 and 0.125) arrived as the mic levels.
    const RunResult watch = run(companion_path(), {"watch", "--once", s.mic}, unique_name("lilv-watch") + ".out");
    const std::string mic_line = line_starting(watch.output, "mic  " + s.mic);
    const auto a = number_after(mic_line, " A "), b = number_after(mic_line, " B ");
    ASSERT_TRUE(a && b) << watch.output;
    EXPECT_NEAR(*a, -6.0, 0.11);
    EXPECT_NEAR(*b, -18.1, 0.11);
    play.interrupt();
    serve.interrupt();
    play.wait_for(30s);
    serve.wait_for(30s);
}

}  // namespace
}  // namespace ondara::toolstest
