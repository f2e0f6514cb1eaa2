// ondara-demo: the companion and the host in one process.
//
// The companion half creates an audio ring and writes a tone into it, one block period at a time, and
// runs into the two troubles a real companion has: it stops producing for a while (the ring runs dry)
// and later runs at half speed for a stretch (blocks come up short). The host half goes through the
// library's exported C functions only, exactly as a plug-in would: it opens the ring, renders 256-frame
// blocks as an audio callback would, and writes bus 0 to a WAV file, so the silence and the fades the
// library puts around every gap can be heard and seen in any audio editor.
//
// Time is simulated: each block the producer writes what it would have written during one block
// period, then the host renders that block. No waiting, so any run takes well under a second.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <csignal>
#endif

#include "common/shared_segment.h"
#include "common/wav_writer.h"
#include "demo/demo_plot.h"
#include "ondara.h"
#include "protocol/ring_producer.h"

namespace {

using ondara::RingFormat;
using ondara::RingProducer;
using ondara::RingWriter;
using ondara::tools::DemoPlot;
using ondara::tools::WavWriter;

constexpr std::size_t kBlockFrames = 256;
// How far ahead of the reader the producer normally stays: 1.25 blocks, so that when it stops the ring
// runs dry in the middle of a block and the fade-out shows.
constexpr std::uint64_t kLeadFrames = 320;
constexpr std::uint64_t kMinCapacity = kLeadFrames + kBlockFrames;
constexpr std::uint64_t kMaxBlocks = 1'000'000;
constexpr double kPi = 3.14159265358979323846;
// The picture covers at most this many blocks from the start (5 MB of samples).
constexpr std::uint64_t kPlotBlocks = 20000;

struct Options {
    std::uint32_t rate = 48000;
    std::uint32_t channels = 2;
    std::uint32_t capacity = 4096;
    std::uint64_t blocks = 400;
    std::string out = "ondara-demo.wav";
    std::string plot = "ondara-demo.svg";
    std::string name;  // empty: ondara-demo-<pid>
    bool float_wav = false;
};

void print_help(std::FILE* to) {
    std::fprintf(to,
                 "usage: ondara-demo [options]\n"
                 "\n"
                 "Plays a companion that writes a tone into an audio ring (with an underrun and a\n"
                 "stretch of short blocks) and a host that renders it through the ondara C interface,\n"
                 "then writes the host's bus 0 to a stereo WAV file and prints what happened.\n"
                 "\n"
                 "  --rate HZ         sample rate (default 48000)\n"
                 "  --channels N      ring channels, 1 to 6 (default 2); above 2 every pair of\n"
                 "                    channels goes to its own bus\n"
                 "  --capacity N      ring capacity in frames, at least %llu (default 4096)\n"
                 "  --blocks N        256-frame blocks to render, 1 to %llu (default 400)\n"
                 "  --out FILE        WAV file to write (default ondara-demo.wav)\n"
                 "  --float           write 32-bit float samples instead of 16-bit PCM\n"
                 "  --plot FILE       SVG picture of bus 0's left channel around the first gaps\n"
                 "                    (default ondara-demo.svg)\n"
                 "  --name NAME       segment name (default ondara-demo-<pid>)\n"
                 "  --help            show this text\n",
                 static_cast<unsigned long long>(kMinCapacity), static_cast<unsigned long long>(kMaxBlocks));
}

bool parse_number(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || v < min || v > max) return false;
    out = v;
    return true;
}

// False after printing why; `help` is set when --help was asked for.
bool parse_options(int argc, char** argv, Options& o, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool has_value = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        const auto take_value = [&]() -> bool {
            if (has_value) return true;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ondara-demo: %.*s needs a value\n", static_cast<int>(arg.size()), arg.data());
                return false;
            }
            value = argv[++i];
            return true;
        };
        const auto number = [&](std::uint64_t min, std::uint64_t max, std::uint64_t& out) -> bool {
            if (!take_value()) return false;
            if (parse_number(value, min, max, out)) return true;
            std::fprintf(stderr, "ondara-demo: %.*s wants a whole number from %llu to %llu, not '%.*s'\n",
                         static_cast<int>(arg.size()), arg.data(), static_cast<unsigned long long>(min),
                         static_cast<unsigned long long>(max), static_cast<int>(value.size()), value.data());
            return false;
        };
        const auto file_name = [&](std::string& out) -> bool {
            if (!take_value()) return false;
            if (value.empty()) {
                std::fprintf(stderr, "ondara-demo: %.*s needs a file name\n", static_cast<int>(arg.size()), arg.data());
                return false;
            }
            out = std::string(value);
            return true;
        };

        std::uint64_t n = 0;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        } else if (arg == "--rate") {
            if (!number(1000, 768000, n)) return false;
            o.rate = static_cast<std::uint32_t>(n);
        } else if (arg == "--channels") {
            if (!number(1, 6, n)) return false;
            o.channels = static_cast<std::uint32_t>(n);
        } else if (arg == "--capacity") {
            if (!number(kMinCapacity, 0xFFFFFFFFu, n)) return false;
            o.capacity = static_cast<std::uint32_t>(n);
        } else if (arg == "--blocks") {
            if (!number(1, kMaxBlocks, o.blocks)) return false;
        } else if (arg == "--out") {
            if (!file_name(o.out)) return false;
        } else if (arg == "--plot") {
            if (!file_name(o.plot)) return false;
        } else if (arg == "--name") {
            if (!take_value()) return false;
            o.name = std::string(value);
        } else if (arg == "--float" && !has_value) {
            o.float_wav = true;
        } else {
            std::fprintf(stderr, "ondara-demo: unknown option '%s' (see --help)\n", argv[i]);
            return false;
        }
    }
    return true;
}

std::uint32_t process_id() {
#if defined(_WIN32)
    return static_cast<std::uint32_t>(GetCurrentProcessId());
#else
    return static_cast<std::uint32_t>(::getpid());
#endif
}

#if !defined(_WIN32)
// The signal that asked the demo to stop, or 0. The ring is a POSIX object that outlives the process,
// so SIGINT, SIGTERM and SIGHUP end the block loop instead of the process, and the ring is removed on
// the way out; SIGPIPE is ignored, so that output to a closed pipe fails instead of killing the demo
// before its cleanup. (On Windows the mapping goes with the process.)
volatile std::sig_atomic_t g_stop_signal = 0;
extern "C" void on_stop_signal(int number) { g_stop_signal = number; }

void stop_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}
#else
constexpr int g_stop_signal = 0;
void stop_on_signals() {}
#endif

// The companion: a sine per channel (440, 550, 660, ... Hz, so every channel is told apart by ear),
// and a production schedule with one stop and one slow stretch.
class Producer {
public:
    Producer(RingWriter& ring, std::uint32_t rate, std::uint64_t blocks)
        : ring_(ring),
          rate_(rate),
          gap_begin_(blocks * 3 / 10),
          gap_end_(gap_begin_ + std::max<std::uint64_t>(2, blocks / 20)),
          slow_begin_(blocks * 6 / 10),
          slow_end_(slow_begin_ + std::max<std::uint64_t>(4, blocks / 20)) {}

    // Before the host opens the ring: the usual lead is already there.
    void prefill() { write(kLeadFrames); }

    // One block period of production, before the host renders block `block`.
    void run_block(std::uint64_t block) {
        if (block >= gap_begin_ && block < gap_end_) return;  // stopped: the ring runs dry
        if (block >= slow_begin_ && block < slow_end_) {
            write(kBlockFrames / 2);  // half speed: the reader soon gets short blocks
            return;
        }
        // Normally the producer tops the ring up to one block plus the lead ahead of what the reader
        // has taken, which also refills the lead after a stop or a slow stretch.
        const std::uint64_t target = ring_.read_pos() + kLeadFrames + kBlockFrames;
        const std::uint64_t written = ring_.write_pos();
        if (target > written) write(target - written);
    }

    std::uint64_t gap_begin() const { return gap_begin_; }
    std::uint64_t gap_end() const { return gap_end_; }
    std::uint64_t slow_begin() const { return slow_begin_; }
    std::uint64_t slow_end() const { return slow_end_; }

private:
    // Samples first, then write_pos: a reader never sees a position ahead of its frames.
    void write(std::uint64_t frames) {
        const std::uint64_t from = ring_.write_pos();
        const std::uint32_t ch = ring_.channels();
        for (std::uint64_t f = from; f < from + frames; ++f) {
            float* slot = ring_.slot(f);
            for (std::uint32_t c = 0; c < ch; ++c) {
                const double hz = 110.0 * (4 + c);
                // Phase from the frame number itself, reduced to one cycle while still exact.
                const double cycles = std::fmod(hz * static_cast<double>(f), static_cast<double>(rate_)) / rate_;
                slot[c] = static_cast<float>(0.5 * std::sin(2.0 * kPi * cycles));
            }
        }
        ring_.publish(from + frames);
    }

    RingWriter& ring_;
    std::uint32_t rate_;
    std::uint64_t gap_begin_, gap_end_, slow_begin_, slow_end_;
};

struct ReceiverDeleter {
    void operator()(OndaraReceiver* r) const { ondara_receiver_free(r); }
};
using ReceiverPtr = std::unique_ptr<OndaraReceiver, ReceiverDeleter>;

// "121, 242-259": a sorted block list as ranges, cut short after a few.
std::string ranges(const std::vector<std::uint64_t>& blocks) {
    std::string s;
    std::size_t shown = 0;
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t j = i;
        while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1) ++j;
        if (shown == 6) {
            s += ", ...";
            break;
        }
        if (!s.empty()) s += ", ";
        s += std::to_string(blocks[i]);
        if (j > i) s += "-" + std::to_string(blocks[j]);
        ++shown;
        i = j + 1;
    }
    return s.empty() ? "none" : s;
}

void print_status_error(const char* call, OndaraStatus status) {
    std::fprintf(stderr, "ondara-demo: %s: %s (status %u)\n", call, ondara_receiver_status_message(status),
                 static_cast<unsigned>(status));
}

int run(const Options& o) {
    const std::string name = o.name.empty() ? "ondara-demo-" + std::to_string(process_id()) : o.name;
    stop_on_signals();
    std::string error;
    RingProducer::Error failed;
    std::optional<RingProducer> ring = RingProducer::create(name, RingFormat{o.rate, o.channels, o.capacity}, failed);
    if (!ring) {
        std::fprintf(stderr, "ondara-demo: cannot create the ring: %s\n", failed.message.c_str());
        return 1;
    }
    // The ring is this process's: its name goes with it, however run() returns.
    struct RemoveName {
        RingProducer& ring;
        ~RemoveName() {
            std::uint32_t code = 0;
            if (ring.remove_name(code) == ondara::platform::Removal::Failed) {
                std::fprintf(stderr, "ondara-demo: the ring %s could not be removed (error %u)\n", ring.name().c_str(),
                             static_cast<unsigned>(code));
            }
        }
    } remove_name{*ring};
    Producer producer(ring->writer(), o.rate, o.blocks);
    producer.prefill();

    // The host's side from here on: the exported C functions and nothing else.
    const bool multi_bus = o.channels > 2;
    const std::size_t bus_count = multi_bus ? (o.channels + 1) / 2 : 1;
    OndaraReceiver* raw = nullptr;
    const std::vector<std::uint16_t> utf16(name.begin(), name.end());  // ASCII only, see check_segment_name
    const OndaraStatus opened = ondara_receiver_open(utf16.data(), utf16.size(), kBlockFrames, multi_bus ? 1 : 0, &raw);
    if (opened != ONDARA_OK) {
        print_status_error("ondara_receiver_open", opened);
        return 1;
    }
    const ReceiverPtr receiver(raw);

    std::vector<std::vector<float>> storage(2 * bus_count, std::vector<float>(kBlockFrames));
    std::vector<OndaraOutputBus> buses(bus_count);
    for (std::size_t k = 0; k < bus_count; ++k) {
        buses[k] = {storage[2 * k].data(), storage[2 * k + 1].data(), kBlockFrames};
    }

    WavWriter wav;
    const auto format = o.float_wav ? WavWriter::Format::Float32 : WavWriter::Format::Pcm16;
    if (!wav.open(o.out, o.rate, format, error)) {
        std::fprintf(stderr, "ondara-demo: %s\n", error.c_str());
        return 1;
    }

    DemoPlot plot(kBlockFrames, kPlotBlocks);

    // A value no rendered sample can have: whatever still holds it afterwards was not written.
    constexpr float kUnwritten = 7.0f;
    std::uint64_t ring_frames = 0, silent_frames = 0, unwritten = 0, noisy_silence = 0;
    std::vector<std::uint64_t> fade_outs, fade_ins;
    bool previous_short = false;
    for (std::uint64_t b = 0; b < o.blocks && g_stop_signal == 0; ++b) {
        producer.run_block(b);
        for (auto& channel : storage) std::fill(channel.begin(), channel.end(), kUnwritten);

        OndaraProcessResult res{};
        const OndaraStatus st = ondara_receiver_process(receiver.get(), buses.data(), buses.size(), kBlockFrames, &res);
        if (st != ONDARA_OK) {
            print_status_error("ondara_receiver_process", st);
            return 1;
        }
        if (res.rendered_frames != kBlockFrames || res.ring_frames + res.silent_frames != res.rendered_frames ||
            res.channels != o.channels || res.sample_rate != o.rate || res.bus_count != bus_count) {
            std::fprintf(stderr,
                         "ondara-demo: block %llu: unexpected result (rendered %llu, ring %llu, silent %llu, "
                         "channels %u, rate %u, buses %u)\n",
                         static_cast<unsigned long long>(b), static_cast<unsigned long long>(res.rendered_frames),
                         static_cast<unsigned long long>(res.ring_frames),
                         static_cast<unsigned long long>(res.silent_frames), res.channels, res.sample_rate,
                         res.bus_count);
            return 1;
        }

        for (const auto& channel : storage) {
            unwritten += static_cast<std::uint64_t>(std::count(channel.begin(), channel.end(), kUnwritten));
            for (std::size_t i = res.ring_frames; i < kBlockFrames; ++i) noisy_silence += channel[i] != 0.0f;
        }

        ring_frames += res.ring_frames;
        silent_frames += res.silent_frames;
        const bool is_short = res.ring_frames < res.rendered_frames;
        if (res.ring_frames > 0 && is_short) fade_outs.push_back(b);
        if (res.ring_frames > 0 && previous_short) fade_ins.push_back(b);
        previous_short = is_short;

        if (!wav.write(buses[0].left, buses[0].right, kBlockFrames, error)) {
            std::fprintf(stderr, "ondara-demo: %s\n", error.c_str());
            return 1;
        }
        plot.add_block(buses[0].left, res.ring_frames);
    }
    if (const int number = g_stop_signal; number != 0) {
        std::fprintf(stderr, "ondara-demo: stopped by signal %d; removing ring %s\n", number, name.c_str());
        return 128 + number;
    }
    if (!wav.close(error)) {
        std::fprintf(stderr, "ondara-demo: %s\n", error.c_str());
        return 1;
    }
    if (!plot.write(o.plot, o.rate, error)) {
        std::fprintf(stderr, "ondara-demo: %s\n", error.c_str());
        return 1;
    }

    const unsigned long long gap_last = producer.gap_end() - 1, slow_last = producer.slow_end() - 1;
    std::printf("ondara-demo: ring \"%s\", %u Hz, %u channel%s, %u frames; %llu blocks of %zu frames into %zu bus%s\n",
                name.c_str(), o.rate, o.channels, o.channels == 1 ? "" : "s", o.capacity,
                static_cast<unsigned long long>(o.blocks), kBlockFrames, bus_count, bus_count == 1 ? "" : "es");
    std::printf("producer stopped in blocks %llu-%llu, ran at half speed in blocks %llu-%llu\n\n",
                static_cast<unsigned long long>(producer.gap_begin()), gap_last,
                static_cast<unsigned long long>(producer.slow_begin()), slow_last);
    std::printf("  %-22s %llu\n", "blocks", static_cast<unsigned long long>(o.blocks));
    std::printf("  %-22s %llu\n", "frames from ring", static_cast<unsigned long long>(ring_frames));
    std::printf("  %-22s %llu\n", "silent frames", static_cast<unsigned long long>(silent_frames));
    std::printf("  %-22s %-6zu blocks %s\n", "fade-outs", fade_outs.size(), ranges(fade_outs).c_str());
    std::printf("  %-22s %-6zu blocks %s\n", "fade-ins", fade_ins.size(), ranges(fade_ins).c_str());
    std::printf("  %-22s %llu\n", "write_pos", static_cast<unsigned long long>(ring->writer().write_pos()));
    std::printf("  %-22s %llu\n", "read_pos", static_cast<unsigned long long>(ring->writer().read_pos()));
    std::printf("  %-22s %u\n\n", "backlog_frames", ring->writer().backlog_frames());

    const double seconds = static_cast<double>(wav.frames_written()) / o.rate;
    std::printf("wrote %s: %llu stereo frames, %.3f s at %u Hz, %s\n", o.out.c_str(),
                static_cast<unsigned long long>(wav.frames_written()), seconds, o.rate,
                o.float_wav ? "32-bit float" : "16-bit PCM");
    const std::size_t gaps = plot.gaps().size();
    std::printf("wrote %s: bus 0's left channel around %s%zu gap%s\n", o.plot.c_str(), gaps > 3 ? "the first 3 of " : "",
                gaps, gaps == 1 ? "" : "s");

    if (unwritten != 0 || noisy_silence != 0) {
        std::fprintf(stderr,
                     "ondara-demo: the library left %llu output samples unwritten and %llu silent-frame samples "
                     "non-zero\n",
                     static_cast<unsigned long long>(unwritten), static_cast<unsigned long long>(noisy_silence));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!parse_options(argc, argv, options, help)) return 2;
    if (help) {
        print_help(stdout);
        return 0;
    }
    if (!options.name.empty()) {
        if (const std::string why = ondara::tools::check_segment_name(options.name); !why.empty()) {
            std::fprintf(stderr, "ondara-demo: --name: %s\n", why.c_str());
            return 2;
        }
    }
    if (const std::string why = ondara::check_ring_format(RingFormat{options.rate, options.channels, options.capacity});
        !why.empty()) {
        std::fprintf(stderr, "ondara-demo: %s\n", why.c_str());
        return 2;
    }
    return run(options);
}
