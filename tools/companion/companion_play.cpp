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
#include "common/shared_segment.h"
#include "common/wav_reader.h"
#include "companion/companion_commands.h"
#include "protocol/ring_producer.h"

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
// The largest host block that the latency floor counts in: a reader that keeps up is up to one block
// behind its schedule.
constexpr std::uint32_t kLargestHostBlock = 512;
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
        "A producer holds its ring through a lock that the system drops when the process ends. A ring\n"
        "of that name whose producer is gone (it ended while a plug-in still holds the ring, or was\n"
        "killed before it could remove it) is taken over at once when it is large enough: a fresh\n"
        "header, the frame counter back at 0, which the plug-in follows by itself. A ring whose\n"
        "producer still lives, even stopped, is refused and left alone; so is one that is too small\n"
        "(on Windows after waiting a little for its holder to let go), any other segment of that\n"
        "name, and one of another user. Only the producer that owns the name removes it.\n"
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
        "  --max-latency MS   the reader's largest backlog before frames are dropped (default 100,\n"
        "                     or the smallest that works where that is more; 0: never drop). It\n"
        "                     must hold a 10 ms write step, the 1024 frames a reader starts behind\n"
        "                     and a host block of up to 512 frames: below that, a reader that keeps\n"
        "                     up would lose audio, and play refuses it, naming the smallest value\n"
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
    bool max_latency_given = false;
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
    if (const std::string why = check_segment_name(o.name); !why.empty()) {
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
        o.max_latency_given = true;
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

// Opens the source the options name: the WAV file, whose format then replaces --channels and --rate,
// or the tone. Null after printing why, with the exit status in `status`.
std::unique_ptr<Source> open_source(PlayOptions& o, std::string& what, int& status) {
    status = cli::kExitUsage;
    if (!o.wav) {
        if (o.tone_hz >= o.rate / 2.0) {
            cli::error(kCommand, "--tone must stay below half the sample rate (" + std::to_string(o.rate / 2) + " Hz)");
            return nullptr;
        }
        char text[64];
        std::snprintf(text, sizeof text, "a %g Hz tone", o.tone_hz);
        what = text;
        return std::make_unique<ToneSource>(o.tone_hz, o.rate, o.channels);
    }
    auto reader = std::make_unique<WavReader>();
    std::string error;
    if (!reader->open(*o.wav, error)) {
        cli::error(kCommand, error);
        status = cli::kExitFailed;
        return nullptr;
    }
    // The file's format stands in for --channels and --rate, so it is held to their bounds; this is
    // before anything is created.
    if (reader->channels() < 1 || reader->channels() > kMaxRingChannels) {
        cli::error(kCommand, *o.wav + " has " + std::to_string(reader->channels()) + " channels; a ring carries 1 to " +
                                 std::to_string(kMaxRingChannels));
        return nullptr;
    }
    if (reader->sample_rate() < kMinRate || reader->sample_rate() > kMaxRate) {
        cli::error(kCommand, *o.wav + " claims a sample rate of " + std::to_string(reader->sample_rate()) +
                                 " Hz; play takes " + std::to_string(kMinRate) + " to " + std::to_string(kMaxRate) +
                                 " Hz");
        return nullptr;
    }
    if (reader->frames() == 0) {
        cli::error(kCommand, *o.wav + " holds no audio");
        status = cli::kExitFailed;
        return nullptr;
    }
    o.channels = reader->channels();
    o.rate = reader->sample_rate();
    char text[160];
    std::snprintf(text, sizeof text, "%s, %llu frames of %s, looped", o.wav->c_str(),
                  static_cast<unsigned long long>(reader->frames()), WavReader::encoding_name(reader->encoding()));
    what = text;
    return std::make_unique<WavSource>(std::move(reader));
}

// The smallest --max-latency, in frames, at which a reader that keeps up never loses a frame: one
// write step on top of the backlog such a reader keeps (it starts up to 1024 frames behind and reads
// on at the rate) and of one host block it may be late by.
std::uint64_t latency_floor_frames(std::uint32_t chunk, std::uint32_t capacity) {
    return std::uint64_t{chunk} + std::min<std::uint64_t>(capacity, kReaderStartBehind) + kLargestHostBlock;
}

std::uint64_t frames_to_ms_up(std::uint64_t frames, std::uint32_t rate) { return (frames * 1000 + rate - 1) / rate; }

// Creates the ring, or takes over one of that name whose producer is gone (see --help). Empty after
// setting `error`.
std::optional<RingProducer> make_ring(const PlayOptions& o, std::uint32_t capacity, std::string& error,
                                      bool& taken_over) {
    const Clock::time_point give_up = Clock::now() + kHolderGrace;
    bool said_waiting = false;
    const RingFormat format{o.rate, o.channels, capacity};
    for (;;) {
        RingProducer::Error failed;
        std::optional<RingProducer> ring = RingProducer::create_or_take_over(o.name, format, failed, taken_over);
        error = failed.message;
        if (ring || failed.kind != RingProducer::Failure::TooSmall) return ring;
        if (Clock::now() >= give_up || cli::stop_requested()) {
#if defined(_WIN32)
            error += "; a reader still holds it (an ondara receiver lets go of a ring that stays silent for about "
                     "a second): stop it, or play a format that fits";
#else
            error += "; remove it (rm /dev/shm/" + o.name + ") or play a format that fits";
#endif
            return std::nullopt;
        }
        if (!said_waiting) {
            cli::say("play: %s; waiting for it to be let go\n", error.c_str());
            said_waiting = true;
        }
        cli::nap(100);
    }
}

// The writing loop: the source's frames into the ring at the pace of the clock, the latency rule, and
// the status line.
class Player {
public:
    Player(const PlayOptions& o, RingWriter& ring, Source& source, std::uint32_t chunk, std::uint64_t latency_floor)
        : o_(o),
          ring_(ring),
          source_(source),
          chunk_(chunk),
          terminal_(cli::stdout_is_terminal()),
          status_every_(terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000)),
          limit_(o.seconds ? static_cast<std::uint64_t>(std::llround(*o.seconds * o.rate)) : ~0ull),
          max_latency_(std::uint64_t{o.max_latency_ms} * o.rate / 1000),
          // Half the maximum, so that the backlog does not hover at the limit; never below what a reader
          // that keeps up holds anyway, or the drop itself would starve it.
          latency_target_(std::max(max_latency_ / 2, latency_floor - chunk)),
          buffer_(std::size_t{chunk} * o.channels) {}

    // Plays until --seconds have passed, a stop was asked for or the source fails; false on failure.
    bool run() {
        start_ = Clock::now();
        next_status_ = start_ + status_every_;
        last_read_change_ = start_;
        while (!cli::stop_requested() && written_ < limit_) {
            const Clock::time_point now = Clock::now();
            if (!write_due(now)) return finish(false);
            watch_reader(now);
            if (now >= next_status_) {
                show(now, false);
                next_status_ += status_every_;
                if (next_status_ < now) next_status_ = now + status_every_;
            }
            cli::nap(5);
        }
        return finish(true);
    }

    double played_seconds() const { return static_cast<double>(written_) / o_.rate; }

private:
    bool finish(bool ok) {
        show(Clock::now(), true);
        return ok;
    }

    bool reader_active(Clock::time_point now) const { return reader_seen_ && now - last_read_change_ < kReaderIdle; }

    // Everything due by `now` at the nominal rate: pacing by the clock rather than by the sleeps keeps
    // the long-run rate exact whatever the sleeps overshoot.
    bool write_due(Clock::time_point now) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
        const std::uint64_t due =
            std::min<std::uint64_t>(limit_, static_cast<std::uint64_t>(static_cast<long double>(ns) * o_.rate / 1e9L));
        const bool active = reader_active(now);
        while (written_ < due) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, due - written_));
            if (!source_.fill(buffer_.data(), n)) return false;
            const std::size_t skip = active ? frames_to_drop(n) : 0;
            ring_.append(buffer_.data() + skip * o_.channels, n - skip);
            written_ += n;
            dropped_ += skip;
        }
        return true;
    }

    // The backlog the active reader has yet to read, counting the `n` frames about to be written. Past
    // the maximum, the oldest frames of the source are dropped until the backlog is back at the target.
    // Only a reader that has just read starts that: one that stopped reading (a stalled host, a plug-in
    // that went away) is not helped by frames it never sees.
    std::size_t frames_to_drop(std::size_t n) {
        if (max_latency_ == 0) return 0;
        const std::uint64_t pos = ring_.write_pos(), read = ring_.read_pos();
        const std::uint64_t backlog = pos > read ? pos - read : 0;
        if (read != read_at_last_step_ && backlog + n > max_latency_) draining_ = true;
        read_at_last_step_ = read;
        if (!draining_) return 0;
        const auto skip = static_cast<std::size_t>(
            std::min<std::uint64_t>(n, backlog + n > latency_target_ ? backlog + n - latency_target_ : 0));
        if (backlog + n - skip <= latency_target_) draining_ = false;
        return skip;
    }

    // What the reader wrote back: whether it reads, and the underruns it had.
    void watch_reader(Clock::time_point now) {
        const std::uint64_t read_pos = ring_.read_pos();
        const std::uint32_t backlog = ring_.backlog_frames();
        if (read_pos != last_read_pos_) {
            last_read_pos_ = read_pos;
            last_read_change_ = now;
            reader_seen_ = true;
        }
        if (reader_active(now)) {
            if (backlog == 0 && last_backlog_ != 0) ++underruns_;
            last_backlog_ = backlog;
        }
    }

    void show(Clock::time_point now, bool final_line) {
        // The last line, unless the line just printed already says it all.
        if (final_line && !terminal_ && shown_written_ == written_) return;
        shown_written_ = written_;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const std::string line =
            status_line(elapsed, written_, last_read_pos_, ring_.backlog_frames(), o_.rate, dropped_, underruns_,
                        reader_active(now) ? "active" : reader_seen_ ? "idle" : "none yet");
        if (terminal_) {
            const std::size_t pad = shown_ > line.size() ? shown_ - line.size() : 0;
            cli::say("\r%s%*s%s", line.c_str(), static_cast<int>(pad), "", final_line ? "\n" : "");
            shown_ = line.size();
        } else {
            cli::say("%s\n", line.c_str());
        }
    }

    const PlayOptions& o_;
    RingWriter& ring_;
    Source& source_;
    const std::uint32_t chunk_;
    const bool terminal_;
    const std::chrono::milliseconds status_every_;
    const std::uint64_t limit_;
    const std::uint64_t max_latency_;
    const std::uint64_t latency_target_;
    std::vector<float> buffer_;
    Clock::time_point start_, next_status_, last_read_change_;
    // `written_` counts the source's frames, which follow the clock; the ring holds those not dropped.
    std::uint64_t written_ = 0, dropped_ = 0, last_read_pos_ = 0, underruns_ = 0, read_at_last_step_ = 0;
    std::uint32_t last_backlog_ = 0;
    bool reader_seen_ = false, draining_ = false;
    std::size_t shown_ = 0;  // length of the line on the terminal, to blank what a shorter one leaves
    std::uint64_t shown_written_ = ~0ull;
};

// What became of the ring's name at the end, for the last line: only the owner removes it.
std::string release_ring(RingProducer& ring) {
    std::uint32_t code = 0;
    switch (ring.remove_name(code)) {
        case platform::Removal::Removed:
#if defined(_WIN32)
            return "released";
#else
            return "removed";
#endif
        case platform::Removal::NotOurs: return "left to the segment that now has its name";
        case platform::Removal::Failed: break;
    }
    return "not removed (" + platform::error_text(code) + ")";
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
    std::string what;
    int status = cli::kExitOk;
    const std::unique_ptr<Source> source = open_source(o, what, status);
    if (!source) return status;

    // Written in steps of 10 ms: small enough that a reader a few blocks behind always finds audio,
    // large enough that the loop hardly costs anything.
    const std::uint32_t chunk = std::max<std::uint32_t>(1, o.rate / 100);
    const std::uint32_t capacity = o.capacity.value_or(std::max<std::uint32_t>(chunk, o.rate / 2));
    if (capacity < chunk) {
        // Otherwise every step would overwrite frames that no reader could have taken yet.
        cli::error(kCommand, "--capacity must hold at least one 10 ms step (" + std::to_string(chunk) + " frames)");
        return cli::kExitUsage;
    }
    if (const std::string why = check_ring_format(RingFormat{o.rate, o.channels, capacity}); !why.empty()) {
        cli::error(kCommand, why);
        return cli::kExitUsage;
    }
    const std::uint64_t floor = latency_floor_frames(chunk, capacity);
    const auto floor_ms = static_cast<std::uint32_t>(frames_to_ms_up(floor, o.rate));
    // The default gives way at rates where it is below the floor; a value asked for is refused.
    if (!o.max_latency_given) o.max_latency_ms = std::max(o.max_latency_ms, floor_ms);
    if (o.max_latency_ms != 0 && std::uint64_t{o.max_latency_ms} * o.rate / 1000 < floor) {
        cli::error(kCommand, "--max-latency " + std::to_string(o.max_latency_ms) +
                                 " would drop audio of a reader that keeps up; the smallest that works at " +
                                 std::to_string(o.rate) + " Hz is " + std::to_string(floor_ms) +
                                 " (or 0: never drop)");
        return cli::kExitUsage;
    }

    cli::install_stop_handlers();
    std::string error;
    bool taken_over = false;
    std::optional<RingProducer> ring = make_ring(o, capacity, error, taken_over);
    if (!ring) {
        cli::error(kCommand, "cannot create the ring: " + error);
        return cli::kExitFailed;
    }
    if (taken_over) {
        cli::say("play: took over the ring %s whose producer is gone: fresh header, counter restarted\n",
                 o.name.c_str());
    }
    cli::say("play: ring %s: %u channel%s at %u Hz, %u frames; playing %s\n", o.name.c_str(), o.channels,
             o.channels == 1 ? "" : "s", o.rate, capacity, what.c_str());

    Player player(o, ring->writer(), *source, chunk, floor);
    const bool ok = player.run();
    const std::string fate = release_ring(*ring);
    ring.reset();  // unmaps, closes and lets go of the lock
    cli::say("play: %s after %.2f s of audio; ring %s %s\n",
             !ok ? "failed" : cli::stop_requested() ? "stopped" : "finished", player.played_seconds(), o.name.c_str(),
             fate.c_str());
    return cli::finish(kCommand, ok ? cli::kExitOk : cli::kExitFailed);
}

}  // namespace ondara::tools
