#include "demo/demo_plot.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace ondara::tools {
namespace {

// The library fades over 32 frames, or over the block's ring frames when it has fewer.
constexpr std::uint64_t kFadeFrames = 32;
constexpr std::size_t kMaxGaps = 3;
constexpr std::uint64_t kContext = 160;   // frames shown on each side of a gap's edge
constexpr std::uint64_t kSplitAbove = 448;  // longer gaps are shown as their two edges

constexpr double kWidth = 1000, kLeft = 60, kRight = 20, kTop = 96, kPanelHeight = 200, kPanelGap = 64;
constexpr double kBreak = 36;   // room for the "... silent frames ..." mark between two windows
constexpr double kYRange = 0.6;  // the axis spans -0.6 to 0.6; the demo's tone peaks at 0.5

struct Span {
    std::uint64_t begin, end;
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

}  // namespace

void DemoPlot::add_block(const float* left, std::uint64_t ring_frames) {
    if (ring_frames_.size() >= max_blocks_) return;
    samples_.insert(samples_.end(), left, left + block_frames_);
    ring_frames_.push_back(std::min<std::uint64_t>(ring_frames, block_frames_));
}

std::vector<DemoPlot::Gap> DemoPlot::gaps() const {
    std::vector<Gap> out;
    for (std::size_t b = 0; b < ring_frames_.size(); ++b) {
        const std::uint64_t start = b * block_frames_;
        if (ring_frames_[b] == block_frames_) continue;
        const Gap g{start + ring_frames_[b], start + block_frames_};
        if (!out.empty() && out.back().end == g.begin) out.back().end = g.end;
        else out.push_back(g);
    }
    return out;
}

bool DemoPlot::write(const std::string& path, std::uint32_t rate, std::string& error) const {
    const std::uint64_t total = samples_.size();
    const std::uint64_t block = block_frames_;
    const std::vector<Gap> all = gaps();
    const std::size_t shown = std::min(all.size(), kMaxGaps);

    // Where the library faded, block by block, as it does: a fade-out at the end of the ring frames
    // of a short block, a fade-in at the start of the ring frames of the block after one.
    std::vector<Span> fade_outs, fade_ins;
    for (std::size_t b = 0; b < ring_frames_.size(); ++b) {
        const std::uint64_t start = b * block, got = ring_frames_[b], fade = std::min(got, kFadeFrames);
        if (got > 0 && b > 0 && ring_frames_[b - 1] < block) fade_ins.push_back({start, start + fade});
        if (got > 0 && got < block) fade_outs.push_back({start + got - fade, start + got});
    }

    File f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!f) {
        error = "cannot write " + path;
        return false;
    }
    std::FILE* out = f.get();
    const double height = kTop + static_cast<double>(std::max<std::size_t>(shown, 1)) * (kPanelHeight + kPanelGap);
    std::fprintf(out,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" "
                 "font-family=\"sans-serif\" font-size=\"13\">\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                 kWidth, height, kWidth, height);
    std::fprintf(out,
                 "<text x=\"%g\" y=\"24\" font-size=\"16\" font-weight=\"bold\">ondara-demo: bus 0, left channel, "
                 "around %s%zu gap%s in the rendered audio</text>\n",
                 kLeft, shown < all.size() ? "the first " : "", shown, shown == 1 ? "" : "s");
    if (shown < all.size()) {
        std::fprintf(out, "<text x=\"%g\" y=\"42\" fill=\"#555\">%zu gaps in all; the others look alike</text>\n",
                     kLeft, all.size());
    }
    // The legend.
    const double ly = 66;
    std::fprintf(out,
                 "<g class=\"legend\">"
                 "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#1f5fbf\" stroke-width=\"2\"/>"
                 "<text x=\"%g\" y=\"%g\">frames from the ring</text>"
                 "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#d62728\" stroke-width=\"3\"/>"
                 "<text x=\"%g\" y=\"%g\">silence</text>"
                 "<rect x=\"%g\" y=\"%g\" width=\"22\" height=\"14\" fill=\"#ff9f1c\" fill-opacity=\"0.35\"/>"
                 "<text x=\"%g\" y=\"%g\">fade-out</text>"
                 "<rect x=\"%g\" y=\"%g\" width=\"22\" height=\"14\" fill=\"#2ca02c\" fill-opacity=\"0.3\"/>"
                 "<text x=\"%g\" y=\"%g\">fade-in</text>"
                 "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#888\" stroke-dasharray=\"4 3\"/>"
                 "<text x=\"%g\" y=\"%g\">block boundary (%llu frames)</text></g>\n",
                 kLeft, ly - 4, kLeft + 24, ly - 4, kLeft + 30, ly, kLeft + 190, ly - 4, kLeft + 214, ly - 4,
                 kLeft + 220, ly, kLeft + 300, ly - 15, kLeft + 328, ly, kLeft + 410, ly - 15, kLeft + 438, ly,
                 kLeft + 512, ly - 12, kLeft + 512, ly + 2, kLeft + 522, ly, static_cast<unsigned long long>(block));

    for (std::size_t i = 0; i < shown; ++i) {
        const Gap g = all[i];
        const double top = kTop + static_cast<double>(i) * (kPanelHeight + kPanelGap) + 22;
        const double mid = top + kPanelHeight / 2;
        const double yscale = (kPanelHeight / 2) / kYRange;
        const std::uint64_t silent = g.end - g.begin;
        const bool ends_at_last = g.end >= total;

        std::vector<Span> windows;
        const std::uint64_t lo = g.begin > kContext ? g.begin - kContext : 0;
        const std::uint64_t hi = std::min(total, g.end + kContext);
        if (silent <= kSplitAbove) windows.push_back({lo, hi});
        else windows = {{lo, std::min(total, g.begin + kContext)}, {g.end > kContext ? g.end - kContext : 0, hi}};

        std::fprintf(out, "<g class=\"gap\" data-begin=\"%llu\" data-end=\"%llu\">\n",
                     static_cast<unsigned long long>(g.begin), static_cast<unsigned long long>(g.end));
        std::fprintf(out,
                     "<text x=\"%g\" y=\"%g\" font-weight=\"bold\">gap %zu: %llu silent frames (%.1f ms) from frame "
                     "%llu, block %llu%s</text>\n",
                     kLeft, top - 8, i + 1, static_cast<unsigned long long>(silent), 1000.0 * silent / rate,
                     static_cast<unsigned long long>(g.begin), static_cast<unsigned long long>(g.begin / block),
                     ends_at_last ? "; the run ends inside it" : "");

        const double plot_width = kWidth - kLeft - kRight;
        const double window_width = windows.size() == 1 ? plot_width : (plot_width - kBreak) / 2;
        for (std::size_t w = 0; w < windows.size(); ++w) {
            const Span win = windows[w];
            const double x0 = kLeft + static_cast<double>(w) * (window_width + kBreak);
            const double fx = window_width / static_cast<double>(std::max<std::uint64_t>(1, win.end - win.begin - 1));
            const auto x_of = [&](double frame) { return x0 + (frame - static_cast<double>(win.begin)) * fx; };
            std::fprintf(out, "<g class=\"window\" data-begin=\"%llu\" data-end=\"%llu\">\n",
                         static_cast<unsigned long long>(win.begin), static_cast<unsigned long long>(win.end));
            std::fprintf(out, "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"#f7f7f7\" stroke=\"#ccc\"/>\n",
                         x0, top, window_width, kPanelHeight);
            // Shading first, so the curves lie on top.
            const auto shade = [&](const std::vector<Span>& spans, const char* cls, const char* colour, double opacity) {
                for (const Span& s : spans) {
                    const std::uint64_t a = std::max(s.begin, win.begin), b = std::min(s.end, win.end);
                    if (a >= b) continue;
                    std::fprintf(out,
                                 "<rect class=\"%s\" data-begin=\"%llu\" data-end=\"%llu\" x=\"%.2f\" y=\"%g\" "
                                 "width=\"%.2f\" height=\"%g\" fill=\"%s\" fill-opacity=\"%g\"/>\n",
                                 cls, static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
                                 x_of(static_cast<double>(a) - 0.5), top,
                                 static_cast<double>(b - a) * fx, kPanelHeight, colour, opacity);
                }
            };
            shade(fade_outs, "fade-out", "#ff9f1c", 0.35);
            shade(fade_ins, "fade-in", "#2ca02c", 0.3);
            std::fprintf(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#bbb\"/>\n", x0, mid,
                         x0 + window_width, mid);
            for (std::uint64_t edge = (win.begin + block - 1) / block * block; edge < win.end; edge += block) {
                const double x = x_of(static_cast<double>(edge) - 0.5);
                std::fprintf(out,
                             "<line class=\"block\" x1=\"%.2f\" y1=\"%g\" x2=\"%.2f\" y2=\"%g\" stroke=\"#888\" "
                             "stroke-dasharray=\"4 3\"/>\n<text x=\"%.2f\" y=\"%g\" font-size=\"11\" fill=\"#555\" "
                             "text-anchor=\"middle\">block %llu</text>\n",
                             x, top, x, top + kPanelHeight, x, top + kPanelHeight + 14,
                             static_cast<unsigned long long>(edge / block));
            }
            // One path per stretch of one kind: ring frames or silence, cut where a block's ring frames end
            // or the next block starts.
            std::uint64_t at = win.begin;
            while (at < win.end) {
                const std::uint64_t b = at / block, start = b * block;
                const bool ring = at - start < ring_frames_[b];
                std::uint64_t end = at;
                while (end < win.end) {
                    const std::uint64_t eb = end / block;
                    if ((end - eb * block < ring_frames_[eb]) != ring) break;
                    ++end;
                }
                std::fprintf(out, "<path class=\"%s\" data-begin=\"%llu\" data-end=\"%llu\" fill=\"none\" "
                                  "stroke=\"%s\" stroke-width=\"%s\" d=\"",
                             ring ? "ring" : "silence", static_cast<unsigned long long>(at),
                             static_cast<unsigned long long>(end), ring ? "#1f5fbf" : "#d62728", ring ? "1.6" : "3");
                for (std::uint64_t k = at; k < end; ++k) {
                    std::fprintf(out, "%s%.2f %.2f", k == at ? "M" : " L", x_of(static_cast<double>(k)),
                                 mid - static_cast<double>(samples_[k]) * yscale);
                }
                std::fprintf(out, "\"/>\n");
                at = end;
            }
            std::fprintf(out, "<text x=\"%g\" y=\"%g\" font-size=\"11\" fill=\"#555\">frame %llu</text>\n", x0,
                         top + kPanelHeight + 28, static_cast<unsigned long long>(win.begin));
            std::fprintf(out, "<text x=\"%g\" y=\"%g\" font-size=\"11\" fill=\"#555\" text-anchor=\"end\">frame %llu</text>\n",
                         x0 + window_width, top + kPanelHeight + 28, static_cast<unsigned long long>(win.end - 1));
            std::fprintf(out, "</g>\n");
        }
        if (windows.size() == 2) {
            const double x = kLeft + window_width + kBreak / 2;
            std::fprintf(out,
                         "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\" fill=\"#d62728\" font-size=\"18\">&#8230;</text>\n"
                         "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\" fill=\"#d62728\" font-size=\"10\">%llu</text>\n",
                         x, mid + 4, x, mid + 20, static_cast<unsigned long long>(silent - 2 * kContext));
        }
        std::fprintf(out, "<text x=\"%g\" y=\"%g\" font-size=\"11\" fill=\"#555\" text-anchor=\"end\">+0.5</text>\n"
                          "<text x=\"%g\" y=\"%g\" font-size=\"11\" fill=\"#555\" text-anchor=\"end\">0</text>\n"
                          "<text x=\"%g\" y=\"%g\" font-size=\"11\" fill=\"#555\" text-anchor=\"end\">-0.5</text>\n",
                     kLeft - 6, mid - 0.5 * yscale + 4, kLeft - 6, mid + 4, kLeft - 6, mid + 0.5 * yscale + 4);
        std::fprintf(out, "</g>\n");
    }
    if (shown == 0) {
        std::fprintf(out, "<text x=\"%g\" y=\"%g\">no gaps: every frame came from the ring</text>\n", kLeft, kTop + 30);
    }
    std::fprintf(out, "</svg>\n");
    if (std::ferror(out) != 0 || std::fclose(f.release()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace ondara::tools
