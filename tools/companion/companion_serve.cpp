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

// The serving loop: looks at the block every few milliseconds, puts back what it applied when the
// block lost it, takes new requests and applies each after the delay.
class ModeServer {
public:
    ModeServer(const ServeOptions& o, ModeControlBlock* live) : o_(o), live_(live), state_{0, o.volumes, o.bridge} {}

    // Serves until a stop is asked for or --count requests are applied; how many were.
    std::uint64_t run() {
        while (!cli::stop_requested()) {
            const ModeControlBlock b = ModeControlLayout::snapshot(live_);
            if (still_valid(b)) {
                reassert(b);
                take_request(b);
                if (apply_due() && o_.count && applied_ >= *o_.count) break;
            }
            cli::nap(kPollMs);
        }
        return applied_;
    }

private:
    bool still_valid(const ModeControlBlock& b) {
        const bool valid = ModeControlLayout::validate(b);
        if (!valid && valid_) cli::say("serve-mode: %s no longer holds a valid block; waiting\n", o_.name.c_str());
        valid_ = valid;
        return valid;
    }

    void write_state(std::int32_t mode) {
        state_.mode = mode;
        write_applied_state(live_, state_);
        applied_mode_ = mode;
    }

    // Another plug-in instance that opens the block resets it: what was applied goes back at once.
    void reassert(const ModeControlBlock& b) {
        if (!applied_mode_ || carries_applied_state(b, state_)) return;
        cli::say("serve-mode: the block no longer carries applied mode %" PRId32 " (it reads applied %" PRId32
                 ", volumes %s); writing it again\n",
                 *applied_mode_, b.applied_mode, volumes_text(b.mixer_volumes).c_str());
        write_state(*applied_mode_);
    }

    // A request lands as three separate stores (mode, flags, stamp); taking it only once two looks in
    // a row agree keeps a half-written one from counting as two requests.
    void take_request(const ModeControlBlock& b) {
        const std::optional<ModeRequest> request = request_in(b);
        if (!request || *request == served_ || *request == pending_) return;
        if (!candidate_ || *candidate_ != *request) {
            candidate_ = request;
            return;
        }
        candidate_.reset();
        if (!mode_exists(request->mode)) {
            cli::say("serve-mode: ignoring a request for mode %" PRId32 " (modes are 0 to 3)\n", request->mode);
            served_ = request;
            return;
        }
        if (pending_) {
            cli::say("serve-mode: request for mode %" PRId32 " replaces mode %" PRId32 "\n", request->mode,
                     pending_->mode);
        } else {
            cli::say("serve-mode: request for mode %" PRId32 "\n", request->mode);
        }
        pending_ = request;
        pending_since_ = Clock::now();
    }

    // Applies the waiting request once its delay has passed; true when it did.
    bool apply_due() {
        if (!pending_ || Clock::now() - pending_since_ < std::chrono::milliseconds(o_.delay_ms)) return false;
        write_state(pending_->mode);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pending_since_).count();
        ++applied_;
        cli::say("serve-mode: applied mode %" PRId32 " after %lld ms, volumes %s, bridge %s\n", pending_->mode,
                 static_cast<long long>(waited), volumes_text(ModeControlLayout::snapshot(live_).mixer_volumes).c_str(),
                 (load_shared(&live_->flags) & kModeFlagVst3BridgeActive) != 0 ? "on" : "off");
        served_ = pending_;
        pending_.reset();
        return true;
    }

    const ServeOptions& o_;
    ModeControlBlock* live_;
    AppliedState state_;                        // reported with each applied mode
    std::optional<ModeRequest> served_;         // the last request accepted
    std::optional<ModeRequest> candidate_;      // seen once, not yet twice
    std::optional<ModeRequest> pending_;        // accepted, waiting for its delay
    std::optional<std::int32_t> applied_mode_;  // what the block carries once a request was applied
    Clock::time_point pending_since_{};
    std::uint64_t applied_ = 0;
    bool valid_ = true;
};

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

    ModeServer server(o, live);
    const std::uint64_t applied = server.run();
    cli::say("serve-mode: %s after %llu applied request%s; %s left in place\n",
             cli::stop_requested() ? "stopped" : "done", static_cast<unsigned long long>(applied),
             applied == 1 ? "" : "s", o.name.c_str());
    return cli::finish(kCommand, cli::kExitOk);
}

}  // namespace ondara::tools
