// One audio block from the ring into the host's buses. Runs on the host's audio thread: no
// allocation, lock, wait or system call, and nothing touched outside the bus views and the ring's
// view. The frames are deinterleaved straight from where they lie in the ring (at most two spans), by
// the kernels the receiver picked at open (render_kernels.h), and each output sample of the block is
// written once: ring audio, or zero.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "protocol/shared_access.h"
#include "render/render.h"
#include "render/render_kernels.h"

namespace ondara {
namespace {

void zero(float* p, std::size_t n) noexcept {
    if (n > 0) std::memset(p, 0, n * sizeof(float));  // all-zero bits are 0.0f
}

// Whether a bus's left and right buffers share some samples without being the same buffer. The
// vector kernels store several frames of one channel before the other channel's, which gives another
// result than the frame by frame order only then.
bool partly_overlapping(const OutputBus& b, std::size_t n) noexcept {
    const auto l = reinterpret_cast<std::uintptr_t>(b.left), r = reinterpret_cast<std::uintptr_t>(b.right);
    const std::uintptr_t bytes = n * sizeof(float);
    return l != r && l < r + bytes && r < l + bytes;
}

// Whether none of the channel buffers of the first `bus_count` buses shares a sample with another over
// n samples: only then may one pass fill all of them, since it interleaves their stores.
bool all_apart(const OutputBus* b, std::size_t bus_count, std::size_t n) noexcept {
    const std::uintptr_t bytes = n * sizeof(float);
    if (bus_count == 1) {  // stereo and mono rings, by far the most common
        const auto l = reinterpret_cast<std::uintptr_t>(b[0].left), r = reinterpret_cast<std::uintptr_t>(b[0].right);
        return l + bytes <= r || r + bytes <= l;
    }
    std::uintptr_t start[2 * kMaxBuses];
    for (std::size_t k = 0; k < bus_count; ++k) {
        start[2 * k] = reinterpret_cast<std::uintptr_t>(b[k].left);
        start[2 * k + 1] = reinterpret_cast<std::uintptr_t>(b[k].right);
    }
    for (std::size_t a = 0; a < 2 * bus_count; ++a) {
        for (std::size_t c = a + 1; c < 2 * bus_count; ++c) {
            if (start[a] < start[c] + bytes && start[c] < start[a] + bytes) return false;
        }
    }
    return true;
}

// A block across the ring's end: its first span, then the rest into the buffers just past it.
ONDARA_NOINLINE void through_two_spans(Deinterleave kernel, const RingSpans& spans, std::size_t channel,
                                       std::size_t got, float* out[], std::size_t buffers) noexcept {
    const std::size_t first = static_cast<std::size_t>(spans.first_frames);
    kernel(spans.first + channel, first, out);
    for (std::size_t c = 0; c < buffers; ++c) out[c] += first;
    kernel(spans.second + channel, got - first, out);
}

// The block's `got` frames through `kernel`, which starts at ring channel `channel`. A block in one
// span, nearly every one, keeps nothing for after the call, so that the caller spills nothing for it.
void through_spans(Deinterleave kernel, const RingSpans& spans, std::size_t channel, std::size_t got, float* out[],
                   std::size_t buffers) noexcept {
    if (got > spans.first_frames) return through_two_spans(kernel, spans, channel, got, out, buffers);
    kernel(spans.first + channel, got, out);
}

// The one audio bus of a ring wider than two channels, as a one-output plug-in on a surround ring has
// it: its pair alone, frame by frame where its two buffers partly overlap.
ONDARA_NOINLINE void render_first_bus(const RenderKernels& kernels, std::size_t ch, const RingSpans& spans,
                                      const OutputBus& bus, std::size_t got) noexcept {
    float* out[2] = {bus.left, bus.right};
    through_spans(partly_overlapping(bus, got) ? kPlainKernels[ch].pair : kernels[ch].pair, spans, 0, got, out, 2);
}

// Bus after bus, so that buffers shared between buses end as the last bus left them; a bus whose two
// buffers partly overlap frame by frame, left before right.
ONDARA_NOINLINE void render_buses_in_turn(const RenderKernels& kernels, std::size_t ch, const RingSpans& spans,
                                          const OutputBus* buses, std::size_t audio_buses, std::size_t got) noexcept {
    for (std::size_t k = 0; k < audio_buses; ++k) {
        const ChannelKernels& set = partly_overlapping(buses[k], got) ? kPlainKernels[ch] : kernels[ch];
        float* out[2] = {buses[k].left, buses[k].right};
        through_spans(2 * k + 1 < ch ? set.pair : set.lone, spans, 2 * k, got, out, 2);
    }
}

// The first two of the three buses that a ring of five or six channels feeds, in one pass over the
// frames where two pairs would read each of them twice; else bus after bus.
ONDARA_NOINLINE void render_two_buses(const RenderKernels& kernels, std::size_t ch, const RingSpans& spans,
                                      const OutputBus* buses, std::size_t got) noexcept {
    if (!all_apart(buses, 2, got)) return render_buses_in_turn(kernels, ch, spans, buses, 2, got);
    float* out[4] = {buses[0].left, buses[0].right, buses[1].left, buses[1].right};
    through_spans(kernels[ch].two, spans, 0, got, out, 4);
}

// Every other layout. One bus, or two of three, takes a short way of its own, without the loop's
// registers to save.
ONDARA_NOINLINE void render_bus_by_bus(const RenderKernels& kernels, std::size_t ch, const RingSpans& spans,
                                       const OutputBus* buses, std::size_t audio_buses, std::size_t got) noexcept {
    if (audio_buses == 1 && ch > 2) return render_first_bus(kernels, ch, spans, buses[0], got);
    if (audio_buses == 2 && ch >= 5) return render_two_buses(kernels, ch, spans, buses, got);
    render_buses_in_turn(kernels, ch, spans, buses, audio_buses, got);
}

// The block's `got` frames of a `ch`-channel ring (already checked to be 1 to 6) into the audio buses,
// at most (ch + 1) / 2 of them: one pass over all the buses the ring feeds wherever it can.
inline void render_audio(const RenderKernels& kernels, std::size_t ch, const RingSpans& spans, const OutputBus* buses,
                         std::size_t audio_buses, std::size_t got) noexcept {
    if (got == 0) return;
    const std::size_t fed = (ch + 1) / 2;
    if (audio_buses == fed && all_apart(buses, fed, got)) {
        // Written out rather than looped: one bus, what most rings feed, then takes four moves.
        float* out[2 * kMaxBuses] = {buses[0].left, buses[0].right};
        if (fed > 1) out[2] = buses[1].left, out[3] = buses[1].right;
        if (fed > 2) out[4] = buses[2].left, out[5] = buses[2].right;
        through_spans(kernels[ch].all, spans, 0, got, out, 2 * fed);
    } else {
        render_bus_by_bus(kernels, ch, spans, buses, audio_buses, got);
    }
}

// Gains are one float division each; fade-in reaches exactly 1.0, fade-out exactly 0.0.
void fade_in(float* p, std::size_t len) noexcept {
    for (std::size_t i = 0; i < len; ++i) p[i] *= static_cast<float>(i + 1) / static_cast<float>(len);
}

void fade_out(float* p, std::size_t len) noexcept {
    for (std::size_t j = 0; j < len; ++j) p[j] *= static_cast<float>(len - 1 - j) / static_cast<float>(len);
}

// A block with more to it than ring audio over every frame of every bus: buses without ring audio and
// the frames after `got` are zeroed first, then the audio buses are filled in bus order, then the
// fades are applied. Every sample 0..R-1 is thus written exactly once in effect.
ONDARA_NOINLINE void render_with_gaps(const RenderKernels& kernels, std::size_t ch, const RingSpans& spans,
                                      const OutputBus* buses, std::size_t used, std::size_t audio_buses,
                                      std::size_t got, std::size_t R, bool fade_in_pending) noexcept {
    for (std::size_t k = 0; k < used; ++k) {
        const std::size_t from = k < audio_buses ? got : 0;
        zero(buses[k].left + from, R - from);
        zero(buses[k].right + from, R - from);
    }
    if (got == 0) return;
    render_audio(kernels, ch, spans, buses, audio_buses, got);
    const std::size_t fade = static_cast<std::size_t>(std::min<std::uint64_t>(got, kFadeFrames));
    // Fade-in over every bus first, then fade-out: where the two overlap the gains multiply in that
    // order, even when the host hands the same buffer in twice.
    if (fade_in_pending) {
        for (std::size_t k = 0; k < used; ++k) {
            fade_in(buses[k].left, fade);
            fade_in(buses[k].right, fade);
        }
    }
    if (got < R) {
        for (std::size_t k = 0; k < used; ++k) {
            fade_out(buses[k].left + got - fade, fade);
            fade_out(buses[k].right + got - fade, fade);
        }
    }
}

// A block the ring cannot feed at all: silence over the whole of every bus in use, the ring left alone.
ONDARA_NOINLINE void render_silence(const OutputBus* buses, std::size_t used, std::size_t frames) noexcept {
    for (std::size_t k = 0; k < used; ++k) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(buses[k].length, frames));
        zero(buses[k].left, len);
        zero(buses[k].right, len);
    }
}

}  // namespace

void render_block(Receiver& r, const OutputBus* buses, std::size_t bus_count, std::size_t frames,
                  ProcessResult* out) noexcept {
    const std::size_t used = std::min(bus_count, kMaxBuses);

    // The one pass over the header that this block works from, whatever the companion writes meanwhile.
    const RingState s = r.ring.state();
    const std::size_t ch = s.channels;

    std::size_t R = 0;
    if (used > 0) {
        R = static_cast<std::size_t>(std::min<std::uint64_t>(r.max_frames, frames));
        for (std::size_t k = 0; k < used; ++k) R = static_cast<std::size_t>(std::min<std::uint64_t>(R, buses[k].length));
    }

    // An unusable channel count, or one raised after open so far that the block would need more than
    // max_frames x the channel count at open, is the companion's fault: silence over every bus, the
    // ring left alone. (R counts samples of a host buffer, so R x 6 cannot wrap.)
    if (ch == 0 || ch > kMaxRingChannels || R * ch > r.sample_limit) {
        render_silence(buses, used, frames);
        if (out != nullptr) {
            *out = ProcessResult{frames, 0, 0, frames, s.channels, static_cast<std::uint32_t>(used), s.sample_rate, 0};
        }
        return;
    }
    // A header that describes more than the view holds gives a silent block and no progress.
    const bool readable = r.ring.fits(s);
    const RingSpans spans = readable ? r.ring.take(s, R) : RingSpans{};
    const std::size_t got = static_cast<std::size_t>(spans.frames);

    const std::size_t audio_buses = r.multi_bus ? std::min(used, (ch + 1) / 2) : std::min<std::size_t>(used, 1);
    if (got == R && used == audio_buses && !r.fade_in_pending) {
        render_audio(r.kernels, ch, spans, buses, audio_buses, got);  // ring audio over every sample
    } else {
        render_with_gaps(r.kernels, ch, spans, buses, used, audio_buses, got, R, r.fade_in_pending);
    }
    // A block of no frames at all (hosts send them to flush parameters) says nothing about the
    // audio, so a fade-in still owed after a gap stays owed.
    if (R > 0) r.fade_in_pending = got < R;
    // The frames are out of the ring: only now may the producer learn that their slots are free.
    if (readable) r.ring.publish(s);

    if (out != nullptr) {
        *out = ProcessResult{frames, R, got, R - got, s.channels, static_cast<std::uint32_t>(used), s.sample_rate, 0};
    }
}

}  // namespace ondara
