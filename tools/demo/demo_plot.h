// The demo's picture: bus 0's left channel around the first gaps in the rendered audio, as an SVG
// file. Each window shows the block boundaries, the frames that came from the ring, the silence the
// library rendered instead, and the fade-out and fade-in around it, shaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ondara::tools {

class DemoPlot {
public:
    // Keeps the samples of the first `max_blocks` blocks; gaps after them are not plotted.
    DemoPlot(std::size_t block_frames, std::uint64_t max_blocks) : block_frames_(block_frames), max_blocks_(max_blocks) {}

    // One rendered block: its first `block_frames` left samples and how many of them came from the ring
    // (the rest are silence).
    void add_block(const float* left, std::uint64_t ring_frames);

    // Writes the SVG; false with `error` set when the file cannot be written.
    bool write(const std::string& path, std::uint32_t rate, std::string& error) const;

    // A run of silent frames [begin, end) in the rendered stream.
    struct Gap {
        std::uint64_t begin, end;
    };
    std::vector<Gap> gaps() const;

private:
    std::size_t block_frames_;
    std::uint64_t max_blocks_;
    std::vector<float> samples_;
    std::vector<std::uint64_t> ring_frames_;  // per block
};

}  // namespace ondara::tools
