// ondara-companion serve-mode: the companion's side of a mode control block. It watches for the
// plug-in's requests and answers each, after a delay, by writing the companion's fields: applied_mode,
// and when asked the mixer volumes and the bridge flag (bit 1 of flags). It never writes the plug-in's
// fields (requested_mode, bit 0 of flags, updated_ms). What it applied it keeps in the block: another
// plug-in instance that opens the block resets it, and a companion has to put its state back then.
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/companion_cli.h"
#include "common/shared_segment.h"
#include "companion/companion_commands.h"
#include "protocol/mode_answer.h"
#include "protocol/mode_block.h"
#include "protocol/shared_access.h"

namespace ondara::tools {
namespace {

constexpr const char* kCommand = "serve-mode";
// How often the block is looked at. Requests are rare; 2 ms keeps the answer prompt at no real cost.
constexpr std::uint32_t kPollMs = 2;

using Clock = std::chrono::steady_clock;

void print_help() {
    std::printf(
        "usage: ondara-companion serve-mode NAME [options]\n"
        "\n"
        "Acts as the companion for the mode control block NAME: creates it if it is missing, else\n"
        "opens it as it is (a request already waiting there is served). Whenever the plug-in side\n"
        "makes a new request (bit 0 of flags set, requested_mode or updated_ms changed), it is\n"
        "applied after --delay by writing applied_mode, and the volumes and bridge flag when given.\n"
        "A request that arrives while another still waits replaces it. Whenever the block no longer\n"
        "carries what was last applied (another plug-in instance opening the block resets it), it is\n"
        "written again at once. The block is left in place at exit: the plug-in may still be using it.\n"
        "serve-mode writes through a mapping of the block. If another process truncates the block\n"
        "while it runs, the next access past the new end ends serve-mode with SIGBUS (on Windows a\n"
        "mapping cannot shrink). Use watch, which only reads copies, to look at a block that may be\n"
        "truncated.\n"
        "\n"
        "  --delay MS          wait before applying a request (default 20)\n"
        "  --volumes A,B,C,D   the four mixer volumes to report with each applied mode\n"
        "  --bridge on|off     the bridge flag to report with each applied mode\n"
        "  --count N           exit after applying N requests\n"
        "  --help              show this text\n");
}

struct ServeOptions {
    std::string name;
    std::uint32_t delay_ms = 20;
    std::optional<std::array<float, 4>> volumes;
    std::optional<bool> bridge;
    std::optional<std::uint64_t> count;
};

std::optional<ServeOptions> parse(int argc, char** argv, int first, bool& help) {
    cli::ParsedArgs args;
    if (!cli::parse_args(kCommand, argc, argv, first,
                         {{"--delay", true}, {"--volumes", true}, {"--bridge", true}, {"--count", true}}, args)) {
        return std::nullopt;
    }
    help = args.help;
    if (help) return ServeOptions{};
    ServeOptions o;
    if (args.positional.size() != 1) {
        cli::error(kCommand, args.positional.empty() ? "needs the mode block's NAME (see --help)"
                                                     : "takes one NAME, not " + std::to_string(args.positional.size()));
        return std::nullopt;
    }
    o.name = args.positional[0];
    if (const std::string* v = args.value("--delay")) {
        const auto n = cli::parse_uint(kCommand, "--delay", *v, 0, 600'000);
        if (!n) return std::nullopt;
        o.delay_ms = static_cast<std::uint32_t>(*n);
    }
    if (const std::string* v = args.value("--volumes")) {
        std::array<float, 4> volumes{};
        std::string_view rest = *v;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t comma = rest.find(',');
            if ((i < 3) != (comma != std::string_view::npos)) {
                cli::error(kCommand, "--volumes wants four numbers separated by commas, not '" + *v + "'");
                return std::nullopt;
            }
            const auto x = cli::parse_real(kCommand, "--volumes", rest.substr(0, comma), -1000.0, 1000.0);
            if (!x) return std::nullopt;
            volumes[i] = static_cast<float>(*x);
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        }
        o.volumes = volumes;
    }
    if (const std::string* v = args.value("--bridge")) {
        if (*v != "on" && *v != "off") {
            cli::error(kCommand, "--bridge wants on or off, not '" + *v + "'");
            return std::nullopt;
        }
        o.bridge = *v == "on";
    }
    if (const std::string* v = args.value("--count")) {
        const auto n = cli::parse_uint(kCommand, "--count", *v, 1, 1'000'000'000);
        if (!n) return std::nullopt;
        o.count = *n;
    }
    return o;
}

// Opens the block as it is, or creates and initialises it when there is none. A segment that appears
// between the two attempts (the plug-in opening at the same moment) is opened on a second try.
std::unique_ptr<SharedSegment> open_or_create(const std::string& name, bool& created, std::string& error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        SharedSegment::Failure failure{};
        auto s = SharedSegment::open(name, SharedSegment::Access::ReadWrite, error, &failure);
        if (s || failure != SharedSegment::Failure::Missing) {
            created = false;
            return s;
        }
        s = SharedSegment::create(name, sizeof(ModeControlBlock), error, &failure);
        if (s) {
            ModeControlLayout::initialise(static_cast<ModeControlBlock*>(s->data()));
            created = true;
            return s;
        }
        if (failure != SharedSegment::Failure::Exists) return nullptr;
    }
    return nullptr;
}

std::string volumes_text(const float* v) {
    char text[96];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f %.2f", static_cast<double>(v[0]), static_cast<double>(v[1]),
                  static_cast<double>(v[2]), static_cast<double>(v[3]));
    return text;
}

}  // namespace

int run_serve_mode(int argc, char** argv, int first) {
    bool help = false;
    std::optional<ServeOptions> parsed = parse(argc, argv, first, help);
    if (!parsed) return cli::kExitUsage;
    if (help) {
        print_help();
        return cli::kExitOk;
    }
    const ServeOptions& o = *parsed;

    cli::install_stop_handlers();
    bool created = false;
    std::string error;
    const std::unique_ptr<SharedSegment> segment = open_or_create(o.name, created, error);
    if (!segment) {
        cli::error(kCommand, error);
        return cli::kExitFailed;
    }
    auto* live = static_cast<ModeControlBlock*>(segment->data());
    if (segment->size() < sizeof(ModeControlBlock) || !ModeControlLayout::validate(ModeControlLayout::snapshot(live))) {
        cli::error(kCommand, o.name + " is not a mode control block");
        return cli::kExitFailed;
    }
    cli::say("serve-mode: %s %s; delay %u ms, volumes %s, bridge %s\n", created ? "created" : "opened",
             o.name.c_str(), o.delay_ms, o.volumes ? volumes_text(o.volumes->data()).c_str() : "unchanged",
             o.bridge ? (*o.bridge ? "on" : "off") : "unchanged");

    std::optional<ModeRequest> served;     // the last request accepted
    ModeRequest candidate;                 // seen once, not yet twice, when has_candidate
    bool has_candidate = false;
    std::optional<ModeRequest> pending;    // accepted, waiting for its delay
    std::optional<std::int32_t> applied_mode;  // what the block carries once a request was applied
    Clock::time_point pending_since{};
    std::uint64_t applied = 0;
    bool valid = true;

    // What serve-mode reports with each applied mode; the mode itself once one is applied.
    AppliedState state{0, o.volumes, o.bridge};
    const auto write_state = [live, &state, &applied_mode](std::int32_t mode) {
        state.mode = mode;
        write_applied_state(live, state);
        applied_mode = mode;
    };

    while (!cli::stop_requested()) {
        const ModeControlBlock b = ModeControlLayout::snapshot(live);
        if (!ModeControlLayout::validate(b)) {
            if (valid) cli::say("serve-mode: %s no longer holds a valid block; waiting\n", o.name.c_str());
            valid = false;
            cli::nap(kPollMs);
            continue;
        }
        valid = true;

        if (applied_mode && !carries_applied_state(b, state)) {
            cli::say("serve-mode: the block no longer carries applied mode %" PRId32
                     " (it reads applied %" PRId32 ", volumes %s); writing it again\n",
                     *applied_mode, b.applied_mode, volumes_text(b.mixer_volumes).c_str());
            write_state(*applied_mode);
        }

        if (const std::optional<ModeRequest> request = request_in(b)) {
            const ModeRequest key = *request;
            // A request lands as three separate stores (mode, flags, stamp); taking it only once two
            // looks in a row agree keeps a half-written one from counting as two requests.
            if (key != served && key != pending) {
                if (has_candidate && candidate == key) {
                    has_candidate = false;
                    if (!mode_exists(key.mode)) {
                        cli::say("serve-mode: ignoring a request for mode %" PRId32 " (modes are 0 to 3)\n", key.mode);
                        served = key;
                    } else {
                        if (pending) cli::say("serve-mode: request for mode %" PRId32 " replaces mode %" PRId32 "\n",
                                              key.mode, pending->mode);
                        else cli::say("serve-mode: request for mode %" PRId32 "\n", key.mode);
                        pending = key;
                        pending_since = Clock::now();
                    }
                } else {
                    candidate = key;
                    has_candidate = true;
                }
            }
        }

        if (pending && Clock::now() - pending_since >= std::chrono::milliseconds(o.delay_ms)) {
            write_state(pending->mode);
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pending_since).count();
            ++applied;
            cli::say("serve-mode: applied mode %" PRId32 " after %lld ms, volumes %s, bridge %s\n", pending->mode,
                     static_cast<long long>(waited), volumes_text(ModeControlLayout::snapshot(live).mixer_volumes).c_str(),
                     (load_shared(&live->flags) & kModeFlagVst3BridgeActive) != 0 ? "on" : "off");
            served = pending;
            pending.reset();
            if (o.count && applied >= *o.count) break;
        }
        cli::nap(kPollMs);
    }
    cli::say("serve-mode: %s after %llu applied request%s; %s left in place\n",
             cli::stop_requested() ? "stopped" : "done", static_cast<unsigned long long>(applied),
             applied == 1 ? "" : "s", o.name.c_str());
    return cli::finish(kCommand, cli::kExitOk);
}

}  // namespace ondara::tools
