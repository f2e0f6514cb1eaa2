// A copying read of the ring, built from the reader's parts the way the render uses them: one pass
// over the header, the frames taken, copied out, then progress published. Tests use it where they
// want the frames themselves in a buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/ring.h"

namespace ondara::test {

// Whole frames into `dest` (`sample_count` floats): the frames taken, then zero frames; a partial
// frame at the end is left as it is. A header that does not fit the view zero-fills `dest` and
// publishes nothing. Returns the frames taken from the ring.
inline std::uint64_t copy_frames(RingReader& r, float* dest, std::size_t sample_count) {
    const RingState s = r.state();
    if (!r.fits(s)) {
        std::fill_n(dest, sample_count, 0.0f);
        return 0;
    }
    const std::uint64_t dest_frames = sample_count / s.channels;
    const RingSpans spans = r.take(s, dest_frames);
    if (spans.frames > 0) {
        std::memcpy(dest, spans.first, spans.first_frames * s.channels * sizeof(float));
        std::memcpy(dest + spans.first_frames * s.channels, spans.second,
                    (spans.frames - spans.first_frames) * s.channels * sizeof(float));
    }
    std::fill(dest + spans.frames * s.channels, dest + dest_frames * s.channels, 0.0f);
    r.publish(s);
    return spans.frames;
}

}  // namespace ondara::test
