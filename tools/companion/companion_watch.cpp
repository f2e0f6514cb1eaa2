// ondara-companion watch: shows what the plug-in side writes into the control blocks, live. It only
// ever opens existing segments read-only and looks at them through copies (SegmentReader), so
// watching can never disturb either side, and nothing either side does to a segment, truncating it
// included, can fault the watcher. Each segment is recognised by the magic at its start; an audio
// ring is shown too.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/companion_cli.h"
#include "common/shared_segment.h"
#include "companion/companion_commands.h"
#include "platform/clock.h"
#include "protocol/mic_block.h"
#include "protocol/mode_block.h"
#include "protocol/ring.h"

namespace ondara::tools {
namespace {

constexpr const char* kCommand = "watch";
constexpr int kMeterCells = 20;
constexpr float kMeterFloorDb = -60.0f;  // the meter's empty end; one cell is 3 dB

void print_help() {
    std::printf(
        "usage: ondara-companion watch NAME... [options]\n"
        "\n"
        "Opens existing segments read-only (never creates or writes one) and shows their fields live,\n"
        "telling each kind by its magic:\n"
        "  mic block   the two levels with a meter, the writer token as process id and writer number,\n"
        "              and how long ago updated_ms was stamped\n"
        "  mode block  requested and applied mode, the mixer volumes, the flags\n"
        "  audio ring  format, write_pos, read_pos, backlog_frames\n"
        "A segment that shrinks while it is watched is shown as truncated, with its size.\n"
        "On a terminal the lines update in place; otherwise they are printed again every interval.\n"
        "\n"
        "  --once         print one snapshot and exit\n"
        "  --interval MS  time between updates (default 100 on a terminal, 1000 otherwise)\n"
        "  --help         show this text\n");
}

struct Watched {
    std::string name;
    std::unique_ptr<SegmentReader> segment;
};

// The most any description reads: the largest of the block headers.
constexpr std::size_t kLookBytes = std::max({sizeof(MicLevelBlock), sizeof(ModeControlBlock), sizeof(RingHeader)});

// The block of type T from the copied bytes.
template <class T>
T copy_as(const unsigned char* bytes) {
    T block;
    std::memcpy(&block, bytes, sizeof block);
    return block;
}

std::string meter(float db) {
    const float clamped = std::min(0.0f, std::max(kMeterFloorDb, db));
    const int cells = static_cast<int>((clamped - kMeterFloorDb) / (-kMeterFloorDb / kMeterCells) + 0.5f);
    // Appended piece by piece: GCC 12 warns (-Wrestrict, wrongly) about "[" + std::string(...).
    std::string bar;
    bar.reserve(static_cast<std::size_t>(kMeterCells) + 2);
    bar += '[';
    bar.append(static_cast<std::size_t>(cells), '#');
    bar.append(static_cast<std::size_t>(kMeterCells - cells), '.');
    bar += ']';
    return bar;
}

std::string age(std::uint64_t stamp_ms, std::uint64_t now) {
    if (stamp_ms == 0) return "never";
    if (stamp_ms > now) return "0 ms ago (stamped " + std::to_string(stamp_ms - now) + " ms ahead of this clock)";
    return std::to_string(now - stamp_ms) + " ms ago";
}

std::string describe_mic(const std::string& name, const MicLevelBlock& b, std::uint64_t now) {
    char text[320];
    std::string writer;
    if (b.writer_token == 0) {
        writer = "writer none";
    } else {
        // The library's token: the publishing process's id in the high half, its writer number in
        // that process in the low half.
        writer = "writer pid " + std::to_string(b.writer_token >> 32) + " #" +
                 std::to_string(b.writer_token & 0xFFFFFFFFu);
    }
    std::snprintf(text, sizeof text, "mic  %s  A %7.1f dB %s  B %7.1f dB %s  %s  updated %s%s%s%s", name.c_str(),
                  static_cast<double>(b.level_a_db), meter(b.level_a_db).c_str(), static_cast<double>(b.level_b_db),
                  meter(b.level_b_db).c_str(), writer.c_str(), age(b.updated_ms, now).c_str(),
                  b.published == 1 ? "" : "  (nothing published yet)", b.active == 1 ? "" : "  (inactive)",
                  b.version == 1 ? "" : "  (unknown version)");
    return text;
}

std::string describe_mode(const std::string& name, const ModeControlBlock& b, std::uint64_t now) {
    const std::string requested = b.requested_mode < 0 ? "none" : std::to_string(b.requested_mode);
    char text[320];
    std::snprintf(text, sizeof text,
                  "mode %s  requested %s%s  applied %" PRId32 "  volumes %.2f %.2f %.2f %.2f  bridge %s  flags 0x%" PRIX32
                  "  request stamped %s%s",
                  name.c_str(), requested.c_str(), (b.flags & kModeFlagRequested) != 0 ? " (flagged)" : "",
                  b.applied_mode, static_cast<double>(b.mixer_volumes[0]), static_cast<double>(b.mixer_volumes[1]),
                  static_cast<double>(b.mixer_volumes[2]), static_cast<double>(b.mixer_volumes[3]),
                  (b.flags & kModeFlagVst3BridgeActive) != 0 ? "on" : "off", b.flags, age(b.updated_ms, now).c_str(),
                  b.version == 1 ? "" : "  (unknown version)");
    return text;
}

std::string describe_ring(const std::string& name, const RingHeader& h) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "ring %s  %" PRIu32 " ch at %" PRIu32 " Hz, %" PRIu32 " frames  write_pos %" PRIu64 "  read_pos %" PRIu64
                  "  backlog_frames %" PRIu32,
                  name.c_str(), h.channels, h.sample_rate, h.capacity_frames, h.write_pos, h.read_pos,
                  h.backlog_frames);
    return text;
}

std::string describe(const Watched& w, std::uint64_t now) {
    unsigned char bytes[kLookBytes] = {};
    std::size_t size = 0;
    std::string error;
    if (!w.segment->read(bytes, sizeof bytes, size, error)) return "?    " + w.name + "  " + error;
    if (size < w.segment->opened_size()) return "?    " + w.name + "  truncated (" + std::to_string(size) + " bytes)";
    if (size < sizeof(std::uint32_t)) return "?    " + w.name + "  too small to hold a magic";
    const auto magic = copy_as<std::uint32_t>(bytes);
    const auto too_small = [&](const char* kind) {
        return "?    " + w.name + "  " + kind + " magic but only " + std::to_string(size) + " bytes";
    };
    if (magic == kMicMagic) {
        if (size < sizeof(MicLevelBlock)) return too_small("mic");
        return describe_mic(w.name, copy_as<MicLevelBlock>(bytes), now);
    }
    if (magic == kModeMagic) {
        if (size < sizeof(ModeControlBlock)) return too_small("mode");
        return describe_mode(w.name, copy_as<ModeControlBlock>(bytes), now);
    }
    if (magic == kRingMagic) {
        if (size < sizeof(RingHeader)) return too_small("ring");
        return describe_ring(w.name, copy_as<RingHeader>(bytes));
    }
    char text[64];
    std::snprintf(text, sizeof text, "  unknown block: magic 0x%08" PRIX32 ", ", magic);
    return "?    " + w.name + text + std::to_string(size) + " bytes";
}

}  // namespace

int run_watch(int argc, char** argv, int first) {
    cli::ParsedArgs args;
    if (!cli::parse_args(kCommand, argc, argv, first, {{"--once", false}, {"--interval", true}}, args)) {
        return cli::kExitUsage;
    }
    if (args.help) {
        print_help();
        return cli::kExitOk;
    }
    if (args.positional.empty()) {
        cli::error(kCommand, "needs at least one segment NAME (see --help)");
        return cli::kExitUsage;
    }
    const bool once = args.has("--once");
    const bool terminal = !once && cli::stdout_is_terminal();
    std::uint32_t interval = terminal ? 100 : 1000;
    if (const std::string* v = args.value("--interval")) {
        const auto n = cli::parse_uint(kCommand, "--interval", *v, 10, 3'600'000);
        if (!n) return cli::kExitUsage;
        interval = static_cast<std::uint32_t>(*n);
    }

    std::vector<Watched> watched;
    for (const std::string& name : args.positional) {
        std::string error;
        auto segment = SegmentReader::open(name, error);
        if (!segment) {
            cli::error(kCommand, error);
            return cli::kExitFailed;
        }
        watched.push_back({name, std::move(segment)});
    }

    cli::install_stop_handlers();
    // In place on a terminal that takes cursor moves; elsewhere (or on an old console) line after line.
    const bool in_place = terminal && cli::enable_cursor_control();
    bool drawn = false;
    do {
        const std::uint64_t now = now_ms();
        std::string out;
        if (in_place && drawn) out += "\x1b[" + std::to_string(watched.size()) + "A";
        for (const Watched& w : watched) {
            out += describe(w, now);
            if (in_place) out += "\x1b[K";
            out += "\n";
        }
        if (!in_place && !once && drawn) out = "--\n" + out;
        cli::say("%s", out.c_str());
        drawn = true;
        if (once) break;
        cli::nap(interval);
    } while (!cli::stop_requested());
    return cli::finish(kCommand, cli::kExitOk);
}

}  // namespace ondara::tools
