// ondara-companion play: the companion's audio side. Creates the ring, writes a tone or a WAV file into
// it at the pace a real companion would (by the wall clock, whether or not anyone reads), and shows
// what the plug-in's receiver writes back.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/companion_cli.h"
#include "common/companion_ring.h"
#include "common/wav_reader.h"
#include "companion/companion_commands.h"

namespace ondara::tools {
namespace {

constexpr const char* kCommand = "play";
constexpr double kPi = 3.14159265358979323846;
constexpr float kToneAmplitude = 0.25f;  // -12 dBFS peak: audible, never near clipping
// The sample rates play accepts, from --rate or from a WAV file: what audio hardware runs at, with
// room on both sides. The bound also keeps the ring (half a second by default) and the writing pace
// to something a machine can give; a file's header is not trusted beyond it.
constexpr std::uint32_t kMinRate = 1000;
constexpr std::uint32_t kMaxRate = 768000;
// A reader whose read_pos has not moved for this long is counted as gone.
constexpr auto kReaderIdle = std::chrono::milliseconds(500);
constexpr std::uint32_t kDefaultMaxLatencyMs = 100;
#if defined(_WIN32)
// A segment stays while any process has it open, so a ring that a plug-in still holds cannot be made
// anew. An ondara receiver lets go of a ring that has been silent for about a second; a ring too small
// for the new format is waited for that long, and then some.
constexpr auto kHolderGrace = std::chrono::milliseconds(2500);
#else
constexpr auto kHolderGrace = std::chrono::milliseconds(0);
#endif

using Clock = std::chrono::steady_clock;

void print_help() {
    std::printf(
        "usage: ondara-companion play NAME [options]\n"
        "\n"
        "Creates the audio ring NAME, as the companion application does, and writes audio into it in\n"
        "real time until --seconds have passed or Ctrl-C. The ring is removed when play ends, also\n"
        "on SIGTERM or SIGHUP and when its output can no longer be written (a closed pipe).\n"
        "A ring of that name that no producer writes any more (its companion ended while a plug-in\n"
        "still holds it, or was killed before it could remove it) is taken over when it is large\n"
        "enough: a fresh header, the frame counter back at 0, which the plug-in follows by itself.\n"
        "One that is too small is refused (on Windows after waiting a little for its holder to let\n"
        "go), and so is any other segment of that name.\n"
        "Latency is the companion's to keep: when the active reader's backlog (frames written that\n"
        "it has not read) exceeds --max-latency, play drops source frames until the backlog is back\n"
        "at half of it, as after a stall of the host.\n"
        "One status line shows the time, the frames written, and what the plug-in's receiver reports\n"
        "back: its read_pos, its backlog_frames (also in ms), the source frames dropped, and the\n"
        "underruns seen (times an active reader had emptied the ring). On a terminal the line updates\n"
        "in place; otherwise a line a second.\n"
        "\n"
        "  --tone HZ          a sine of HZ on every channel, at -12 dBFS (the default: 440)\n"
        "  --wav FILE         the samples of a WAV file (16-, 24-, 32-bit PCM or 32-, 64-bit float),\n"
        "                     played over and over; its channel count and rate replace\n"
        "                     --channels and --rate and are held to the same bounds\n"
        "  --channels N       channels, 1 to 6 (default 2)\n"
        "  --rate HZ          sample rate, 1000 to 768000 (default 48000)\n"
        "  --capacity FRAMES  ring capacity (default: half a second at the rate)\n"
        "  --seconds S        stop after S seconds (default: run until Ctrl-C)\n"
        "  --max-latency MS   the reader's largest backlog before frames are dropped (default 100;\n"
        "                     0: never drop)\n"
        "  --help             show this text\n");
}

struct PlayOptions {
    std::string name;
    std::optional<std::string> wav;
    double tone_hz = 440.0;
    bool tone_given = false;
    std::uint32_t channels = 2;
    std::uint32_t rate = 48000;
    std::optional<std::uint32_t> capacity;
    std::optional<double> seconds;
    std::uint32_t max_latency_ms = kDefaultMaxLatencyMs;
};

// Where the samples come from: a tone computed from the frame number, or a WAV file read in a loop.
class Source {
public:
    virtual ~Source() = default;
    // Fills `frames` interleaved frames; false after printing why when it cannot.
    virtual bool fill(float* out, std::size_t frames) = 0;
};

class ToneSource final : public Source {
public:
    ToneSource(double hz, std::uint32_t rate, std::uint32_t channels) : hz_(hz), rate_(rate), channels_(channels) {}

    bool fill(float* out, std::size_t frames) override {
        for (std::size_t i = 0; i < frames; ++i, ++frame_) {
            // The phase from the frame number itself, reduced to one cycle while still exact, so it
            // never drifts however long the tone plays.
            const double cycles = std::fmod(hz_ * static_cast<double>(frame_), static_cast<double>(rate_)) / rate_;
            const auto s = static_cast<float>(kToneAmplitude * std::sin(2.0 * kPi * cycles));
            for (std::uint32_t c = 0; c < channels_; ++c) *out++ = s;
        }
        return true;
    }

private:
    double hz_;
    std::uint32_t rate_;
    std::uint32_t channels_;
    std::uint64_t frame_ = 0;
};

class WavSource final : public Source {
public:
    explicit WavSource(std::unique_ptr<WavReader> reader) : reader_(std::move(reader)) {}

    bool fill(float* out, std::size_t frames) override {
        while (frames > 0) {
            std::string error;
            const std::size_t got = reader_->read(out, frames, error);
            if (!error.empty()) {
                cli::error(kCommand, error);
                return false;
            }
            out += got * reader_->channels();
            frames -= got;
            if (frames > 0 && !reader_->rewind(error)) {  // at the end: from the top again
                cli::error(kCommand, error);
                return false;
            }
        }
        return true;
    }

private:
    std::unique_ptr<WavReader> reader_;
};

std::optional<PlayOptions> parse(int argc, char** argv, int first, bool& help) {
    cli::ParsedArgs args;
    if (!cli::parse_args(kCommand, argc, argv, first,
                         {{"--wav", true},
                          {"--tone", true},
                          {"--channels", true},
                          {"--rate", true},
                          {"--capacity", true},
                          {"--seconds", true},
                          {"--max-latency", true}},
                         args)) {
        return std::nullopt;
    }
    help = args.help;
    if (help) return PlayOptions{};
    PlayOptions o;
    if (args.positional.size() != 1) {
        cli::error(kCommand, args.positional.empty() ? "needs the ring's NAME (see --help)"
                                                     : "takes one NAME, not " + std::to_string(args.positional.size()));
        return std::nullopt;
    }
    o.name = args.positional[0];
    if (const std::string why = CompanionRing::check_name(o.name); !why.empty()) {
        cli::error(kCommand, why);
        return std::nullopt;
    }
    if (args.has("--wav") && args.has("--tone")) {
        cli::error(kCommand, "--wav and --tone cannot be used together");
        return std::nullopt;
    }
    if (const std::string* v = args.value("--wav")) {
        if (v->empty()) {
            cli::error(kCommand, "--wav needs a file name");
            return std::nullopt;
        }
        o.wav = *v;
    }
    if (const std::string* v = args.value("--channels")) {
        const auto n = cli::parse_uint(kCommand, "--channels", *v, 1, kMaxRingChannels);
        if (!n) return std::nullopt;
        o.channels = static_cast<std::uint32_t>(*n);
    }
    if (const std::string* v = args.value("--rate")) {
        const auto n = cli::parse_uint(kCommand, "--rate", *v, kMinRate, kMaxRate);
        if (!n) return std::nullopt;
        o.rate = static_cast<std::uint32_t>(*n);
    }
    if (const std::string* v = args.value("--capacity")) {
        const auto n = cli::parse_uint(kCommand, "--capacity", *v, 1, 0xFFFFFFFFu);
        if (!n) return std::nullopt;
        o.capacity = static_cast<std::uint32_t>(*n);
    }
    if (const std::string* v = args.value("--tone")) {
        const auto hz = cli::parse_real(kCommand, "--tone", *v, 1.0, 384000.0);
        if (!hz) return std::nullopt;
        o.tone_hz = *hz;
        o.tone_given = true;
    }
    if (const std::string* v = args.value("--seconds")) {
        const auto s = cli::parse_real(kCommand, "--seconds", *v, 0.001, 1.0e7);
        if (!s) return std::nullopt;
        o.seconds = *s;
    }
    if (const std::string* v = args.value("--max-latency")) {
        const auto ms = cli::parse_uint(kCommand, "--max-latency", *v, 0, 60'000);
        if (!ms) return std::nullopt;
        o.max_latency_ms = static_cast<std::uint32_t>(*ms);
    }
    return o;
}

std::string status_line(double elapsed, std::uint64_t written, std::uint64_t read_pos, std::uint32_t backlog,
                        std::uint32_t rate, std::uint64_t dropped, std::uint64_t underruns, const char* reader) {
    char line[240];
    std::snprintf(line, sizeof line,
                  "%8.1f s  written %llu  read_pos %llu  backlog_frames %u (%.1f ms)  dropped %llu  underruns %llu  "
                  "reader %s",
                  elapsed, static_cast<unsigned long long>(written), static_cast<unsigned long long>(read_pos), backlog,
                  1000.0 * backlog / rate, static_cast<unsigned long long>(dropped),
                  static_cast<unsigned long long>(underruns), reader);
    return line;
}

// Creates the ring, or takes over one of that name that nobody writes any more (see --help). Null
// after setting `error`.
std::unique_ptr<CompanionRing> make_ring(const PlayOptions& o, std::uint32_t capacity, std::string& error,
                                         bool& taken_over) {
    const Clock::time_point give_up = Clock::now() + kHolderGrace;
    bool said_waiting = false;
    for (;;) {
        bool exists = false;
        std::unique_ptr<CompanionRing> ring = CompanionRing::create(o.name, o.rate, o.channels, capacity, error, &exists);
        if (ring || !exists) return ring;
        CompanionRing::TakeOver result{};
        ring = CompanionRing::take_over(o.name, o.rate, o.channels, capacity, error, result);
        if (ring) {
            taken_over = true;
            return ring;
        }
        if (result != CompanionRing::TakeOver::TooSmall) return nullptr;
        if (Clock::now() >= give_up || cli::stop_requested()) {
#if defined(_WIN32)
            error += "; a reader still holds it (an ondara receiver lets go of a ring that stays silent for about "
                     "a second): stop it, or play a format that fits";
#else
            error += "; remove it (rm /dev/shm/" + o.name + ") or play a format that fits";
#endif
            return nullptr;
        }
        if (!said_waiting) {
            cli::say("play: %s; waiting for it to be let go\n", error.c_str());
            said_waiting = true;
        }
        cli::nap(100);
    }
}

}  // namespace

int run_play(int argc, char** argv, int first) {
    bool help = false;
    std::optional<PlayOptions> parsed = parse(argc, argv, first, help);
    if (!parsed) return cli::kExitUsage;
    if (help) {
        print_help();
        return cli::kExitOk;
    }
    PlayOptions& o = *parsed;

    std::unique_ptr<Source> source;
    std::string what;
    if (o.wav) {
        auto reader = std::make_unique<WavReader>();
        std::string error;
        if (!reader->open(*o.wav, error)) {
            cli::error(kCommand, error);
            return cli::kExitFailed;
        }
        // The file's format stands in for --channels and --rate, so it is held to their bounds; this
        // is before anything is created.
        if (reader->channels() < 1 || reader->channels() > kMaxRingChannels) {
            cli::error(kCommand, *o.wav + " has " + std::to_string(reader->channels()) + " channels; a ring carries 1 to " +
                                     std::to_string(kMaxRingChannels));
            return cli::kExitUsage;
        }
        if (reader->sample_rate() < kMinRate || reader->sample_rate() > kMaxRate) {
            cli::error(kCommand, *o.wav + " claims a sample rate of " + std::to_string(reader->sample_rate()) +
                                     " Hz; play takes " + std::to_string(kMinRate) + " to " + std::to_string(kMaxRate) +
                                     " Hz");
            return cli::kExitUsage;
        }
        if (reader->frames() == 0) {
            cli::error(kCommand, *o.wav + " holds no audio");
            return cli::kExitFailed;
        }
        o.channels = reader->channels();
        o.rate = reader->sample_rate();
        char text[160];
        std::snprintf(text, sizeof text, "%s, %llu frames of %s, looped", o.wav->c_str(),
                      static_cast<unsigned long long>(reader->frames()), WavReader::encoding_name(reader->encoding()));
        what = text;
        source = std::make_unique<WavSource>(std::move(reader));
    } else {
        if (o.tone_hz >= o.rate / 2.0) {
            cli::error(kCommand, "--tone must stay below half the sample rate (" + std::to_string(o.rate / 2) + " Hz)");
            return cli::kExitUsage;
        }
        char text[64];
        std::snprintf(text, sizeof text, "a %g Hz tone", o.tone_hz);
        what = text;
        source = std::make_unique<ToneSource>(o.tone_hz, o.rate, o.channels);
    }

    // Written in steps of 10 ms: small enough that a reader a few blocks behind always finds audio,
    // large enough that the loop hardly costs anything.
    const std::uint32_t chunk = std::max<std::uint32_t>(1, o.rate / 100);
    const std::uint32_t capacity = o.capacity.value_or(std::max<std::uint32_t>(chunk, o.rate / 2));
    if (capacity < chunk) {
        // Otherwise every step would overwrite frames that no reader could have taken yet.
        cli::error(kCommand, "--capacity must hold at least one 10 ms step (" + std::to_string(chunk) + " frames)");
        return cli::kExitUsage;
    }
    if (const std::string why = CompanionRing::check_format(o.rate, o.channels, capacity); !why.empty()) {
        cli::error(kCommand, why);
        return cli::kExitUsage;
    }

    cli::install_stop_handlers();
    std::string error;
    bool taken_over = false;
    std::unique_ptr<CompanionRing> ring = make_ring(o, capacity, error, taken_over);
    if (!ring) {
        cli::error(kCommand, "cannot create the ring: " + error);
        return cli::kExitFailed;
    }
    if (taken_over) {
        cli::say("play: took over the ring %s that nobody wrote any more: fresh header, counter restarted\n",
                 o.name.c_str());
    }
    cli::say("play: ring %s: %u channel%s at %u Hz, %u frames; playing %s\n", o.name.c_str(), o.channels,
             o.channels == 1 ? "" : "s", o.rate, capacity, what.c_str());

    const bool terminal = cli::stdout_is_terminal();
    const auto status_every = terminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    const std::uint64_t limit = o.seconds ? static_cast<std::uint64_t>(std::llround(*o.seconds * o.rate)) : ~0ull;

    std::vector<float> buffer(std::size_t{chunk} * o.channels);
    const Clock::time_point start = Clock::now();
    Clock::time_point next_status = start + status_every;
    Clock::time_point last_read_change = start;
    // `written` counts the source's frames, which follow the clock; the ring holds those not dropped.
    std::uint64_t written = 0, dropped = 0, last_read_pos = 0, underruns = 0;
    std::uint32_t last_backlog = 0;
    bool reader_seen = false, failed = false, draining = false;
    std::uint64_t read_at_last_step = 0;
    const std::uint64_t max_latency = std::uint64_t{o.max_latency_ms} * o.rate / 1000;
    const std::uint64_t latency_target = max_latency / 2;
    std::size_t shown = 0;  // length of the line on the terminal, to blank what a shorter one leaves
    std::uint64_t shown_written = ~0ull;

    const auto show = [&](Clock::time_point now, bool final_line) {
        // The last line, unless the line just printed already says it all.
        if (final_line && !terminal && shown_written == written) return;
        shown_written = written;
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const bool active = reader_seen && now - last_read_change < kReaderIdle;
        const std::string line = status_line(elapsed, written, last_read_pos, ring->backlog_frames(), o.rate, dropped,
                                             underruns, active ? "active" : reader_seen ? "idle" : "none yet");
        if (terminal) {
            const std::size_t pad = shown > line.size() ? shown - line.size() : 0;
            cli::say("\r%s%*s%s", line.c_str(), static_cast<int>(pad), "", final_line ? "\n" : "");
            shown = line.size();
        } else {
            cli::say("%s\n", line.c_str());
        }
    };

    while (!cli::stop_requested() && written < limit) {
        const Clock::time_point now = Clock::now();
        // Everything due by now at the nominal rate: pacing by the clock rather than by the sleeps
        // keeps the long-run rate exact whatever the sleeps overshoot.
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
        const std::uint64_t due = std::min<std::uint64_t>(
            limit, static_cast<std::uint64_t>(static_cast<long double>(ns) * o.rate / 1e9L));
        const bool reader_active = reader_seen && now - last_read_change < kReaderIdle;
        while (written < due) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, due - written));
            if (!source->fill(buffer.data(), n)) {
                failed = true;
                break;
            }
            // The backlog the active reader has yet to read, counting frames written since it last
            // published. Past the maximum, the oldest frames of the source are dropped until the
            // backlog is back at the target: half the maximum, so that it does not hover at the limit.
            // Only a reader that has just read starts that: one that stopped reading (a stalled host,
            // a plug-in that went away) is not helped by frames it never sees.
            std::size_t skip = 0;
            if (max_latency > 0 && reader_active) {
                const std::uint64_t pos = ring->write_pos(), read = ring->read_pos();
                const std::uint64_t backlog = pos > read ? pos - read : 0;
                if (read != read_at_last_step && backlog + n > max_latency) draining = true;
                read_at_last_step = read;
                if (draining) {
                    skip = static_cast<std::size_t>(
                        std::min<std::uint64_t>(n, backlog + n > latency_target ? backlog + n - latency_target : 0));
                    if (backlog + n - skip <= latency_target) draining = false;
                }
            }
            ring->append(buffer.data() + skip * o.channels, n - skip);
            written += n;
            dropped += skip;
        }
        if (failed) break;

        const std::uint64_t read_pos = ring->read_pos();
        const std::uint32_t backlog = ring->backlog_frames();
        if (read_pos != last_read_pos) {
            last_read_pos = read_pos;
            last_read_change = now;
            reader_seen = true;
        }
        if (reader_seen && now - last_read_change < kReaderIdle) {
            if (backlog == 0 && last_backlog != 0) ++underruns;
            last_backlog = backlog;
        }
        if (now >= next_status) {
            show(now, false);
            next_status += status_every;
            if (next_status < now) next_status = now + status_every;
        }
        cli::nap(5);
    }
    show(Clock::now(), true);

    const double played = static_cast<double>(written) / o.rate;
    ring.reset();  // unmaps and, on POSIX, removes the ring: this process created it and owns it
    cli::say("play: %s after %.2f s of audio; ring %s %s\n",
             failed ? "failed" : cli::stop_requested() ? "stopped" : "finished", played, o.name.c_str(),
#if defined(_WIN32)
             "released"
#else
             "removed"
#endif
    );
    return cli::finish(kCommand, failed ? cli::kExitFailed : cli::kExitOk);
}

}  // namespace ondara::tools
