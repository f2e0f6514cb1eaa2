// A hostile companion: an audio ring whose header the fuzzer sets before the open and rewrites between
// ondara_receiver_process calls, and also inside a call, just before any one of the call's accesses to
// the header, rendered into buses of fuzzer-chosen number and lengths.
//
// Every call is checked against a model of what the reader must do, kept here from the header's
// documented rules: the reader starts up to min(capacity, 1024) frames behind the producer, skips what
// the producer has overwritten, follows a producer that restarted, raises read_pos only as an atomic
// maximum, and renders silence when the channel count is unusable or the header no longer fits the
// mapped view. Sample values are checked exactly, fades included, and everything outside the written
// range (bus guards, the ring's data, the header fields the reader does not own) must be untouched.
// Inside a call the model works from the values the library actually loaded (recorded as it loads
// them), and the library must load each header field it uses at most once per call.
//
// The ring object is sized exactly from its header (or off by a few bytes, to exercise refusal), and
// the fake's allocation slack is poisoned so that any read past it is an ASan report.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "ondara.h"
#include "protocol/ring.h"
#include "render/render.h"

namespace {

using namespace ondara;

constexpr char16_t kName[] = u"ring";
constexpr float kSentinel = -7.5f;
constexpr std::size_t kGuard = 8;
constexpr std::uint64_t kFade = 32;
constexpr std::size_t kBusesChecked = 5;

// The ring's data area holds 1, 2, 3, ... by float index, so every sample names where it came from.
float data_value(std::uint64_t index) { return static_cast<float>(index + 1); }

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

RingHeader read_header(const unsigned char* obj) {
    RingHeader h;
    std::memcpy(&h, obj, sizeof h);
    return h;
}

void write_header(unsigned char* obj, const RingHeader& h) { std::memcpy(obj, &h, sizeof h); }

bool header_acceptable(const RingHeader& h) {
    return h.magic == kRingMagic && h.version == kRingVersion && h.channels >= 1 && h.channels <= 6 &&
           h.capacity_frames != 0 && h.sample_rate != 0 &&
           std::uint64_t{h.channels} * h.capacity_frames <= 0x3FFFFFFF;
}

// What the reader must hold between calls.
struct Model {
    std::uint64_t cursor = 0;
    bool fade_in_pending = true;  // silence lies behind a fresh receiver: its first audio fades in
    std::uint64_t mapped_samples = 0;
    std::uint64_t sample_limit = 0;  // max_frames x channels at open
    bool multi_bus = false;
    std::uint64_t max_frames = 0;
};

struct Bus {
    std::vector<float> left, right;  // exactly length + kGuard each
    std::uint64_t length = 0;
    bool null_left = false, null_right = false;
};

// Applies a fuzzer-chosen set of rewrites to the live header, as a companion would between blocks.
void rewrite_header(FuzzedDataProvider& in, unsigned char* obj) {
    RingHeader h = read_header(obj);
    const std::uint8_t what = in.ConsumeIntegral<std::uint8_t>();
    if (what & 0x01) h.channels = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 8) : in.ConsumeIntegral<std::uint32_t>();
    if (what & 0x02) {
        h.capacity_frames = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 5000) : in.ConsumeIntegral<std::uint32_t>();
    }
    if (what & 0x04) h.write_pos += in.ConsumeIntegralInRange<std::uint64_t>(0, 3000);
    if (what & 0x08) h.write_pos = in.ConsumeIntegral<std::uint64_t>();
    if (what & 0x10) h.read_pos = in.ConsumeIntegral<std::uint64_t>();
    if (what & 0x20) h.sample_rate = in.ConsumeIntegral<std::uint32_t>();
    if (what & 0x40) h.magic = in.ConsumeIntegral<std::uint32_t>();
    if (what & 0x80) h.version = in.ConsumeIntegral<std::uint32_t>();
    write_header(obj, h);
}

// A rewrite of some header fields just before the library's `at`-th access to the header inside one
// call, and what the library loaded: each field's value at its last access, and how often it was
// accessed.
struct InCall {
    std::size_t at = SIZE_MAX;
    std::uint8_t fields = 0;
    RingHeader values{};
    std::size_t accesses = 0;
    bool applied = false;
    bool applied_after_read_pos = false;  // after the last access to read_pos
    RingHeader seen{};
    std::size_t count[kRingHeaderSize] = {};

    void plan(FuzzedDataProvider& in) {
        if (!in.ConsumeBool()) return;
        at = in.ConsumeIntegralInRange<std::size_t>(0, 9);
        fields = in.ConsumeIntegral<std::uint8_t>();
        values.channels = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 8) : in.ConsumeIntegral<std::uint32_t>();
        values.capacity_frames = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 5000) : in.ConsumeIntegral<std::uint32_t>();
        values.write_pos = in.ConsumeIntegral<std::uint64_t>() % (in.ConsumeBool() ? 20000 : ~std::uint64_t{0});
        values.read_pos = in.ConsumeIntegral<std::uint64_t>();
        values.sample_rate = in.ConsumeIntegral<std::uint32_t>();
    }

    // The header as the rewrite leaves it (only the chosen fields are stored).
    RingHeader rewritten(RingHeader h) const {
        if (fields & 0x01) h.channels = values.channels;
        if (fields & 0x02) h.capacity_frames = values.capacity_frames;
        if (fields & 0x04) h.write_pos = values.write_pos;
        if (fields & 0x08) h.read_pos = values.read_pos;
        if (fields & 0x10) h.sample_rate = values.sample_rate;
        return h;
    }

    void on_access(unsigned char* obj, const volatile void* field) {
        if (accesses++ == at) {
            write_header(obj, rewritten(read_header(obj)));
            applied = true;
            applied_after_read_pos = true;
        }
        const auto offset = static_cast<std::size_t>(static_cast<const volatile unsigned char*>(field) - obj);
        FUZZ_CHECK(offset < kRingHeaderSize);  // the audio path touches nothing but the header this way
        ++count[offset];
        const std::size_t width = offset == offsetof(RingHeader, write_pos) || offset == offsetof(RingHeader, read_pos) ? 8 : 4;
        std::memcpy(reinterpret_cast<unsigned char*>(&seen) + offset, obj + offset, width);
        if (offset == offsetof(RingHeader, read_pos)) applied_after_read_pos = false;
    }
};

// One process call with fuzzer-chosen buses, checked against the model.
void process_once(FuzzedDataProvider& in, OndaraReceiver* handle, unsigned char* obj, Model& m) {
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, kBusesChecked);
    const std::uint8_t shape = in.ConsumeIntegral<std::uint8_t>();
    std::size_t frames = in.ConsumeIntegralInRange<std::size_t>(0, 2100);
    if (shape & 0x01) frames = in.ConsumeBool() ? SIZE_MAX : in.ConsumeIntegral<std::size_t>();
    const bool null_buses = (shape & 0x02) != 0;
    const bool null_out = (shape & 0x04) != 0;
    const bool null_channel = (shape & 0x08) != 0;
    // Host buffers that overlap, within a bus or across buses: all channels are windows of one arena.
    const bool aliased = (shape & 0x20) != 0;

    std::vector<Bus> buses(n);
    std::vector<OndaraOutputBus> views(n);
    std::vector<float> arena;
    if (aliased) {
        arena.assign(in.ConsumeIntegralInRange<std::size_t>(1, 4400), kSentinel);
        for (std::size_t k = 0; k < n; ++k) {
            std::uint64_t length = in.ConsumeIntegralInRange<std::uint64_t>(0, 2100);
            if (std::min<std::uint64_t>(length, frames) > arena.size()) length = arena.size();
            const std::uint64_t room = arena.size() - std::min<std::uint64_t>(length, frames);
            const std::uint64_t left = in.ConsumeIntegralInRange<std::uint64_t>(0, room);
            std::uint64_t right = 0;
            switch (in.ConsumeIntegralInRange<int>(0, 3)) {
                case 0: right = left; break;  // the same buffer twice
                case 1: right = std::min(room, left + in.ConsumeIntegralInRange<std::uint64_t>(1, 8)); break;
                case 2:  // where the previous bus's left channel starts, as far as this view fits there
                    right = k > 0 ? std::min<std::uint64_t>(room, static_cast<std::uint64_t>(views[k - 1].left - arena.data())) : left;
                    break;
                default: right = in.ConsumeIntegralInRange<std::uint64_t>(0, room); break;
            }
            buses[k].length = length;
            views[k] = {arena.data() + left, arena.data() + right, length};
        }
    }
    for (std::size_t k = 0; k < n && !aliased; ++k) {
        Bus& b = buses[k];
        b.length = in.ConsumeIntegralInRange<std::uint64_t>(0, 2100);
        if (in.ConsumeBool() && in.ConsumeBool()) b.length = in.ConsumeIntegral<std::uint64_t>() | (std::uint64_t{1} << 63);
        // A huge length is allowed: only min(length, frames) samples may be used, and those are
        // backed as long as frames is small; otherwise it is simply allocated at the small size.
        const std::uint64_t backed = std::min<std::uint64_t>(b.length, 2100);
        b.left.assign(backed + kGuard, kSentinel);
        b.right.assign(backed + kGuard, kSentinel);
        if (null_channel && in.ConsumeBool()) (in.ConsumeBool() ? b.null_left : b.null_right) = true;
        views[k] = {b.null_left ? nullptr : b.left.data(), b.null_right ? nullptr : b.right.data(), b.length};
    }
    // Never hand the library more than is backed: a bus whose length outruns its buffer stays that
    // length only when frames keeps the view within the buffer.
    for (std::size_t k = 0; k < n && !aliased; ++k) {
        if (buses[k].length > 2100 && frames > 2100) frames = 2100;
    }
    const std::vector<float> arena_before = arena;

    const std::size_t used = std::min<std::size_t>(n, 3);
    bool null_ptr = null_buses && n > 0;
    for (std::size_t k = 0; k < used; ++k) null_ptr = null_ptr || buses[k].null_left || buses[k].null_right;

    const RingHeader before = read_header(obj);
    InCall ic;
    ic.plan(in);
    fake::on_shared_access([&](const volatile void* field) { ic.on_access(obj, field); });

    OndaraProcessResult res;
    std::memset(&res, 0xAB, sizeof res);
    const OndaraProcessResult untouched = res;
    const OndaraOutputBus* arg = null_buses ? nullptr : (n == 0 && (shape & 0x10) ? nullptr : views.data());
    const OndaraStatus st = ondara_receiver_process(handle, arg, n, frames, null_out ? nullptr : &res);
    fake::on_shared_access(nullptr);

    const RingHeader after = read_header(obj);
    // Each field the block works from is loaded once: a second load could disagree with the first.
    for (std::size_t field : {offsetof(RingHeader, channels), offsetof(RingHeader, capacity_frames),
                              offsetof(RingHeader, write_pos), offsetof(RingHeader, sample_rate)}) {
        FUZZ_CHECK(ic.count[field] <= 1);
    }
    // What the library loaded; a field it never loaded is as it was before the call.
    RingHeader seen = before;
    if (ic.count[offsetof(RingHeader, channels)]) seen.channels = ic.seen.channels;
    if (ic.count[offsetof(RingHeader, capacity_frames)]) seen.capacity_frames = ic.seen.capacity_frames;
    if (ic.count[offsetof(RingHeader, write_pos)]) seen.write_pos = ic.seen.write_pos;
    if (ic.count[offsetof(RingHeader, sample_rate)]) seen.sample_rate = ic.seen.sample_rate;
    const RingHeader after_rewrite = ic.applied ? ic.rewritten(before) : before;
    auto check_bus_untouched_from = [&](std::size_t k, std::uint64_t from) {
        if (aliased) return;  // the arena is compared as a whole
        for (std::size_t i = from; i < buses[k].left.size(); ++i) {
            FUZZ_CHECK(same_bits(buses[k].left[i], kSentinel));
            FUZZ_CHECK(same_bits(buses[k].right[i], kSentinel));
        }
    };

    if (null_ptr) {
        FUZZ_CHECK(st == ONDARA_NULL_POINTER);
        FUZZ_CHECK(std::memcmp(&res, &untouched, sizeof res) == 0);
        for (std::size_t k = 0; k < n; ++k) check_bus_untouched_from(k, 0);
        FUZZ_CHECK(arena == arena_before || !aliased);
        FUZZ_CHECK(ic.accesses == 0);
        FUZZ_CHECK(std::memcmp(&before, &after, sizeof before) == 0);
        return;
    }
    FUZZ_CHECK(st == ONDARA_OK);

    // Buses from the fourth on are never used, whatever they hold.
    for (std::size_t k = used; k < n; ++k) check_bus_untouched_from(k, 0);

    std::uint64_t R = 0;
    if (used > 0) {
        R = std::min<std::uint64_t>(m.max_frames, frames);
        for (std::size_t k = 0; k < used; ++k) R = std::min<std::uint64_t>(R, std::min<std::uint64_t>(buses[k].length, frames));
    }
    const std::uint64_t ch = seen.channels;

    OndaraProcessResult expect{};
    expect.requested_frames = frames;
    expect.channels = seen.channels;
    expect.bus_count = static_cast<std::uint32_t>(used);
    expect.sample_rate = seen.sample_rate;
    expect.reserved = 0;

    if (ch == 0 || ch > 6 || R * ch > m.sample_limit) {
        // Silence over every whole view, the ring and the model left alone.
        expect.silent_frames = frames;
        if (aliased) {
            std::vector<float> shadow = arena_before;
            for (std::size_t k = 0; k < used; ++k) {
                const std::uint64_t view = std::min<std::uint64_t>(buses[k].length, frames);
                std::fill_n(shadow.data() + (views[k].left - arena.data()), view, 0.0f);
                std::fill_n(shadow.data() + (views[k].right - arena.data()), view, 0.0f);
            }
            FUZZ_CHECK(std::memcmp(shadow.data(), arena.data(), arena.size() * sizeof(float)) == 0);
        }
        for (std::size_t k = 0; k < used && !aliased; ++k) {
            const std::uint64_t view = std::min<std::uint64_t>(buses[k].length, frames);
            for (std::uint64_t i = 0; i < view; ++i) FUZZ_CHECK(buses[k].left[i] == 0.0f && buses[k].right[i] == 0.0f);
            check_bus_untouched_from(k, view);
        }
        FUZZ_CHECK(std::memcmp(&after_rewrite, &after, sizeof after) == 0);
        if (!null_out) FUZZ_CHECK(std::memcmp(&res, &expect, sizeof res) == 0);
        return;
    }

    std::uint64_t got = 0;
    RingHeader expect_header = after_rewrite;
    const std::uint64_t cap = seen.capacity_frames;
    const std::uint64_t wp = seen.write_pos;
    const bool fits = ch * cap <= m.mapped_samples;
    std::uint64_t from = 0;
    if (fits) {
        std::uint64_t c = m.cursor;
        const std::uint64_t oldest = wp > cap ? wp - cap : 0;
        if (c < oldest) c = oldest;
        if (c > wp) c = wp;
        from = c;
        got = std::min(wp - c, R);
        c += got;
        m.cursor = c;
        // The raise compares with what read_pos held at its last access; a rewrite after that stands.
        const bool lowered_after = ic.applied_after_read_pos && (ic.fields & 0x08) != 0;
        expect_header.read_pos = lowered_after ? ic.values.read_pos : std::max(ic.seen.read_pos, c);
        expect_header.backlog_frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(wp - c, 0xFFFFFFFF));
    }
    FUZZ_CHECK(std::memcmp(&expect_header, &after, sizeof after) == 0);

    const std::uint64_t audio_buses = m.multi_bus ? std::min<std::uint64_t>(used, (ch + 1) / 2) : std::min<std::uint64_t>(used, 1);
    const std::uint64_t fade = std::min(got, kFade);
    auto source = [&](std::uint64_t i, std::uint64_t channel) { return data_value(((from + i) % cap) * ch + channel); };
    if (aliased) {
        // Overlapping buffers: the result is whatever the documented order of steps leaves, replayed
        // here step by step on a copy: silence after the audio, then the audio bus by bus and frame by
        // frame (left, then right), then every bus's fade-in, then every bus's fade-out.
        std::vector<float> shadow = arena_before;
        auto at = [&](const float* p) { return shadow.data() + (p - arena.data()); };
        for (std::size_t k = 0; k < used; ++k) {
            const std::uint64_t start = k < audio_buses ? got : 0;
            std::fill(at(views[k].left) + start, at(views[k].left) + R, 0.0f);
            std::fill(at(views[k].right) + start, at(views[k].right) + R, 0.0f);
        }
        for (std::size_t k = 0; k < audio_buses; ++k) {
            const std::uint64_t lc = 2 * k, rc = 2 * k + 1 < ch ? 2 * k + 1 : 2 * k;
            for (std::uint64_t i = 0; i < got; ++i) {
                at(views[k].left)[i] = source(i, lc);
                at(views[k].right)[i] = source(i, rc);
            }
        }
        if (got > 0 && m.fade_in_pending) {
            for (std::size_t k = 0; k < used; ++k) {
                for (float* p : {at(views[k].left), at(views[k].right)}) {
                    for (std::uint64_t i = 0; i < fade; ++i) p[i] *= static_cast<float>(i + 1) / static_cast<float>(fade);
                }
            }
        }
        if (got > 0 && got < R) {
            for (std::size_t k = 0; k < used; ++k) {
                for (float* p : {at(views[k].left) + got - fade, at(views[k].right) + got - fade}) {
                    for (std::uint64_t j = 0; j < fade; ++j) p[j] *= static_cast<float>(fade - 1 - j) / static_cast<float>(fade);
                }
            }
        }
        FUZZ_CHECK(std::memcmp(shadow.data(), arena.data(), arena.size() * sizeof(float)) == 0);
    }
    for (std::size_t k = 0; k < used && !aliased; ++k) {
        for (std::uint64_t i = 0; i < R; ++i) {
            float l = 0.0f, r = 0.0f;
            if (k < audio_buses && i < got) {
                const std::uint64_t slot = (from + i) % cap;
                const std::uint64_t lc = 2 * k, rc = 2 * k + 1 < ch ? 2 * k + 1 : 2 * k;
                l = data_value(slot * ch + lc);
                r = data_value(slot * ch + rc);
                if (m.fade_in_pending && i < fade) {
                    const float g = static_cast<float>(i + 1) / static_cast<float>(fade);
                    l *= g;
                    r *= g;
                }
                if (got < R && i >= got - fade) {
                    const float g = static_cast<float>(fade - 1 - (i - (got - fade))) / static_cast<float>(fade);
                    l *= g;
                    r *= g;
                }
            }
            FUZZ_CHECK(same_bits(buses[k].left[i], l) || (l == 0.0f && buses[k].left[i] == 0.0f));
            FUZZ_CHECK(same_bits(buses[k].right[i], r) || (r == 0.0f && buses[k].right[i] == 0.0f));
        }
        check_bus_untouched_from(k, R);
    }
    if (R > 0) m.fade_in_pending = got < R;  // a block of no frames keeps a pending fade-in

    expect.rendered_frames = R;
    expect.ring_frames = got;
    expect.silent_frames = R - got;
    if (!null_out) {
        FUZZ_CHECK(res.ring_frames <= res.rendered_frames);
        FUZZ_CHECK(res.silent_frames == res.rendered_frames - res.ring_frames);
        FUZZ_CHECK(std::memcmp(&res, &expect, sizeof res) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    FuzzedDataProvider in(data, size);

    // The header as the companion left it before the open.
    RingHeader h{};
    h.magic = kRingMagic;
    h.version = kRingVersion;
    h.channels = in.ConsumeIntegralInRange<std::uint32_t>(1, 6);
    h.capacity_frames = in.ConsumeIntegralInRange<std::uint32_t>(1, 4096);
    h.sample_rate = in.ConsumeBool() ? 48000 : in.ConsumeIntegral<std::uint32_t>();
    h.write_pos = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 10000) : in.ConsumeIntegral<std::uint64_t>();
    h.read_pos = in.ConsumeIntegral<std::uint64_t>();
    const std::uint8_t damage = in.ConsumeIntegral<std::uint8_t>();
    const std::uint64_t exact = kRingHeaderSize + std::uint64_t{h.channels} * h.capacity_frames * sizeof(float);
    std::uint64_t object_size = exact;
    if (damage & 0x01) h.magic = in.ConsumeIntegral<std::uint32_t>();
    if (damage & 0x02) h.version = in.ConsumeIntegral<std::uint32_t>();
    if (damage & 0x04) h.channels = in.ConsumeIntegral<std::uint32_t>();
    if (damage & 0x08) h.capacity_frames = in.ConsumeIntegral<std::uint32_t>();
    if (damage & 0x10) {
        const int delta = in.ConsumeIntegralInRange<int>(-80, 16);
        object_size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, static_cast<std::int64_t>(exact) + delta));
    }
    // After the probe passed, the companion may change the channel count before the full view is
    // mapped and read again.
    std::optional<std::uint32_t> changed_channels;
    if (damage & 0x20) changed_channels = in.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    const std::size_t max_frames = in.ConsumeIntegralInRange<std::size_t>(0, 4096);
    const bool multi_bus = in.ConsumeBool();

    unsigned char* obj = fake::add_object(kName, object_size);
    fuzzing::poison_slack(obj, object_size);
    if (object_size >= kRingHeaderSize) {
        write_header(obj, h);
        for (std::uint64_t i = 0; i < (object_size - kRingHeaderSize) / sizeof(float); ++i) {
            const float v = data_value(i);
            std::memcpy(obj + kRingHeaderSize + i * sizeof(float), &v, sizeof v);
        }
    } else {
        std::memcpy(obj, &h, object_size);
    }
    int maps = 0;
    if (changed_channels) {
        fake::on_map([&](void* view) {
            if (++maps == 2) static_cast<RingHeader*>(view)->channels = *changed_channels;
        });
    }

    const std::u16string name(kName);
    OndaraReceiver* handle = reinterpret_cast<OndaraReceiver*>(&handle);
    const OndaraStatus st = ondara_receiver_open(reinterpret_cast<const std::uint16_t*>(name.data()), name.size(),
                                                 max_frames, multi_bus ? 1 : 0, &handle);
    const bool usable = object_size >= kRingHeaderSize && header_acceptable(h) &&
                        object_size >= kRingHeaderSize + std::uint64_t{h.channels} * h.capacity_frames * 4;
    OndaraStatus expected = ONDARA_OK;
    if (max_frames == 0) {
        expected = ONDARA_INVALID_ARGUMENT;
    } else if (!usable) {
        expected = ONDARA_OPEN_BRIDGE_FAILED;
    } else if (changed_channels && (*changed_channels == 0 || *changed_channels > 6)) {
        expected = ONDARA_PREPARE_FAILED;
    }
    FUZZ_CHECK(st == expected);
    fake::on_map(nullptr);
    if (st != ONDARA_OK) {
        FUZZ_CHECK(handle == nullptr);
        FUZZ_CHECK(fake::live_handles() == 0 && fake::live_views() == 0);
        fake::reset();
        return 0;
    }
    FUZZ_CHECK(handle != nullptr);
#if defined(ONDARA_FUZZ_PLAIN_KERNELS)
    reinterpret_cast<Receiver*>(handle)->kernels = select_render_kernels(RenderIsa::Plain);
#endif

    Model m;
    m.max_frames = max_frames;
    m.multi_bus = multi_bus;
    m.mapped_samples = std::uint64_t{h.channels} * h.capacity_frames;
    m.sample_limit = std::uint64_t{max_frames} * (changed_channels ? *changed_channels : h.channels);
    const std::uint64_t behind = std::min<std::uint64_t>(h.capacity_frames, 1024);
    m.cursor = h.write_pos >= behind ? h.write_pos - behind : 0;

    for (int step = 0; step < 24 && in.remaining_bytes() > 0; ++step) {
        rewrite_header(in, obj);
        process_once(in, handle, obj, m);
    }

    // The reader never writes the audio.
    for (std::uint64_t i = 0; i < m.mapped_samples; ++i) {
        float v;
        std::memcpy(&v, obj + kRingHeaderSize + i * sizeof(float), sizeof v);
        FUZZ_CHECK(same_bits(v, data_value(i)));
    }
    ondara_receiver_free(handle);
    FUZZ_CHECK(fake::live_handles() == 0 && fake::live_views() == 0);
    FUZZ_CHECK(fake::object_exists(kName));  // the ring is the companion's to remove
    fake::reset();
    return 0;
}
