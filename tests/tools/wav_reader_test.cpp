// The companion's WAV reader over files built byte by byte here, so that every field is known: the
// sample conversions at their extremes (sign of 24-bit samples, the float specials), interleaving,
// the chunk walk (padding, foreign chunks, a data chunk that claims too much), reading in pieces and
// rewinding, and the files it must refuse.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "common/wav_reader.h"
#include "tools_support.h"
#include "wav_bytes.h"

namespace ondara::toolstest {
namespace {

using tools::WavReader;
std::vector<float> read_all(WavReader& r) {
    std::vector<float> out(static_cast<std::size_t>(r.frames() * r.channels() + 16), -99.0f);
    std::string error;
    const std::size_t got = r.read(out.data(), static_cast<std::size_t>(r.frames()) + 4, error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(got, r.frames());
    // Nothing written past the frames read.
    EXPECT_EQ(out[got * r.channels()], -99.0f);
    out.resize(got * r.channels());
    return out;
}

TEST(WavReader, ConvertsEveryEncodingAtItsExtremesAndKeepsTheInterleaving) {
    {
        // Three channels, so that a reader mixing up frames and samples shows.
        Bytes data;
        const std::int16_t s[] = {0, 1, -1, 32767, -32768, 16384};
        for (const std::int16_t v : s) put16(data, static_cast<std::uint16_t>(v));
        WavFile f(riff({{"fmt ", fmt_body(1, 3, 44100, 16)}, {"data", data}}));
        WavReader r;
        std::string error;
        ASSERT_TRUE(r.open(f.path(), error)) << error;
        EXPECT_EQ(r.channels(), 3u);
        EXPECT_EQ(r.sample_rate(), 44100u);
        EXPECT_EQ(r.frames(), 2u);
        EXPECT_EQ(r.encoding(), WavReader::Encoding::Pcm16);
        const std::vector<float> got = read_all(r);
        ASSERT_EQ(got.size(), 6u);
        for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(got[i], s[i] / 32768.0f) << i;
    }
    {
        // 24-bit: the sign bit is bit 23, and only three bytes per sample may be read.
        const std::int32_t s[] = {0, 1, -1, 8388607, -8388608, 0x123456, -0x123456};
        Bytes data;
        for (const std::int32_t v : s) {
            const auto u = static_cast<std::uint32_t>(v);
            data.push_back(static_cast<unsigned char>(u));
            data.push_back(static_cast<unsigned char>(u >> 8));
            data.push_back(static_cast<unsigned char>(u >> 16));
        }
        WavFile f(riff({{"fmt ", fmt_body(1, 1, 96000, 24)}, {"data", data}}));
        WavReader r;
        std::string error;
        ASSERT_TRUE(r.open(f.path(), error)) << error;
        EXPECT_EQ(r.encoding(), WavReader::Encoding::Pcm24);
        const std::vector<float> got = read_all(r);
        ASSERT_EQ(got.size(), 7u);
        for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(got[i], static_cast<float>(s[i]) / 8388608.0f) << i;
    }
    {
        const std::int32_t s[] = {std::numeric_limits<std::int32_t>::min(), -1, 0, 1 << 30};
        Bytes data;
        for (const std::int32_t v : s) put32(data, static_cast<std::uint32_t>(v));
        WavFile f(riff({{"fmt ", fmt_body(1, 2, 48000, 32)}, {"data", data}}));
        WavReader r;
        std::string error;
        ASSERT_TRUE(r.open(f.path(), error)) << error;
        EXPECT_EQ(r.encoding(), WavReader::Encoding::Pcm32);
        const std::vector<float> got = read_all(r);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0], -1.0f);
        EXPECT_EQ(got[2], 0.0f);
        EXPECT_EQ(got[3], 0.5f);
        EXPECT_LT(got[1], 0.0f);
    }
    {
        // Floats pass unchanged, except the values no output should ever carry.
        const float s[] = {0.5f, -1.0f, 1.0e-3f, std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
        Bytes data;
        for (const float v : s) {
            std::uint32_t bits;
            std::memcpy(&bits, &v, 4);
            put32(data, bits);
        }
        WavFile f(riff({{"fmt ", fmt_body(3, 2, 48000, 32)}, {"fact", {3, 0, 0, 0}}, {"data", data}}));
        WavReader r;
        std::string error;
        ASSERT_TRUE(r.open(f.path(), error)) << error;
        EXPECT_EQ(r.encoding(), WavReader::Encoding::Float32);
        const std::vector<float> got = read_all(r);
        const std::vector<float> want = {0.5f, -1.0f, 1.0e-3f, 0.0f, 0.0f, 0.0f};
        EXPECT_EQ(got, want);
    }
    {
        const double s[] = {0.25, -0.75, 1.0e300, std::numeric_limits<double>::quiet_NaN()};
        Bytes data;
        for (const double v : s) {
            std::uint64_t bits;
            std::memcpy(&bits, &v, 8);
            put32(data, static_cast<std::uint32_t>(bits));
            put32(data, static_cast<std::uint32_t>(bits >> 32));
        }
        WavFile f(riff({{"fmt ", fmt_body(3, 1, 48000, 64)}, {"data", data}}));
        WavReader r;
        std::string error;
        ASSERT_TRUE(r.open(f.path(), error)) << error;
        EXPECT_EQ(r.encoding(), WavReader::Encoding::Float64);
        const std::vector<float> got = read_all(r);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0], 0.25f);
        EXPECT_EQ(got[1], -0.75f);
        EXPECT_TRUE(std::isfinite(got[2]));  // far out of float range: clamped, never infinite
        EXPECT_EQ(got[3], 0.0f);
    }
}

TEST(WavReader, ReadsTheExtensibleFormByItsSubformat) {
    Bytes pcm;
    put16(pcm, 0x4000);
    put16(pcm, 0xC000);
    WavFile a(riff({{"fmt ", extensible_body(1, 2, 48000, 16)}, {"data", pcm}}));
    WavReader r;
    std::string error;
    ASSERT_TRUE(r.open(a.path(), error)) << error;
    EXPECT_EQ(r.encoding(), WavReader::Encoding::Pcm16);
    EXPECT_EQ(read_all(r), (std::vector<float>{0.5f, -0.5f}));

    Bytes flt;
    put32(flt, 0x3F000000);  // 0.5f
    WavFile b(riff({{"fmt ", extensible_body(3, 1, 48000, 32)}, {"data", flt}}));
    ASSERT_TRUE(r.open(b.path(), error)) << error;
    EXPECT_EQ(r.encoding(), WavReader::Encoding::Float32);
    EXPECT_EQ(read_all(r), (std::vector<float>{0.5f}));

    WavFile c(riff({{"fmt ", extensible_body(1, 2, 48000, 16, true)}, {"data", pcm}}));
    EXPECT_FALSE(r.open(c.path(), error));
    EXPECT_NE(error.find("sub-format"), std::string::npos) << error;
}

TEST(WavReader, WalksPastOtherChunksAndPaddingAndTakesOnlyTheWholeFramesThere) {
    Bytes data;
    for (int i = 0; i < 4; ++i) put16(data, static_cast<std::uint16_t>(i * 1000));
    // A LIST chunk before the format and an odd-sized one (with its pad byte) before the data.
    const Bytes list = {'I', 'N', 'F', 'O', 'x', 'y', 'z', 'w'};
    const Bytes odd = {1, 2, 3};
    WavFile f(riff({{"LIST", list}, {"fmt ", fmt_body(1, 2, 8000, 16)}, {"junk", odd}, {"data", data}}));
    WavReader r;
    std::string error;
    ASSERT_TRUE(r.open(f.path(), error)) << error;
    EXPECT_EQ(read_all(r), (std::vector<float>{0.0f, 1000 / 32768.0f, 2000 / 32768.0f, 3000 / 32768.0f}));

    // A data chunk that claims more than the file holds (a recording cut short): the frames that are
    // there, without the half frame at the end.
    Bytes cut;
    put_tag(cut, "RIFF");
    put32(cut, 0xFFFFFFF0u);
    put_tag(cut, "WAVE");
    put_chunk(cut, "fmt ", fmt_body(1, 2, 8000, 16));
    put_tag(cut, "data");
    put32(cut, 4000);
    for (int i = 0; i < 5; ++i) put16(cut, static_cast<std::uint16_t>(100 * (i + 1)));
    WavFile g(cut);
    ASSERT_TRUE(r.open(g.path(), error)) << error;
    EXPECT_EQ(r.frames(), 2u);
    EXPECT_EQ(read_all(r).size(), 4u);
}

TEST(WavReader, ReadsInPiecesAndRewindsToTheFirstFrame) {
    Bytes data;
    for (int i = 0; i < 10; ++i) put16(data, static_cast<std::uint16_t>(i * 100));
    WavFile f(riff({{"fmt ", fmt_body(1, 1, 8000, 16)}, {"data", data}}));
    WavReader r;
    std::string error;
    ASSERT_TRUE(r.open(f.path(), error)) << error;
    float buf[16] = {};
    EXPECT_EQ(r.read(buf, 3, error), 3u);
    EXPECT_EQ(buf[2], 200 / 32768.0f);
    EXPECT_EQ(r.read(buf, 16, error), 7u);  // the rest, and no more
    EXPECT_EQ(buf[0], 300 / 32768.0f);
    EXPECT_EQ(buf[6], 900 / 32768.0f);
    EXPECT_EQ(error, "");
    EXPECT_EQ(r.read(buf, 16, error), 0u);
    ASSERT_TRUE(r.rewind(error)) << error;
    EXPECT_EQ(r.read(buf, 1, error), 1u);
    EXPECT_EQ(buf[0], 0.0f);
}

TEST(WavReader, RefusesWhatItCannotPlayAndSaysWhy) {
    Bytes pcm(8, 0);
    struct Case {
        const char* what;
        Bytes bytes;
        const char* reason;
    };
    Bytes rf64 = riff({{"fmt ", fmt_body(1, 2, 8000, 16)}, {"data", pcm}});
    std::memcpy(rf64.data(), "RF64", 4);
    const Case cases[] = {
        {"not RIFF", {'a', 'b', 'c', 'd', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not a RIFF/WAVE"},
        {"too short", {'R', 'I', 'F', 'F'}, "too short"},
        {"RF64", rf64, "RF64"},
        {"no format", riff({{"data", pcm}}), "no format chunk"},
        {"no data", riff({{"fmt ", fmt_body(1, 2, 8000, 16)}}), "no data chunk"},
        {"8-bit", riff({{"fmt ", fmt_body(1, 2, 8000, 8)}, {"data", pcm}}), "unsupported encoding"},
        {"A-law", riff({{"fmt ", fmt_body(6, 1, 8000, 8)}, {"data", pcm}}), "unsupported encoding"},
        {"no channels", riff({{"fmt ", fmt_body(1, 0, 8000, 16, 2)}, {"data", pcm}}), "no channels"},
        {"rate 0", riff({{"fmt ", fmt_body(1, 2, 0, 16)}, {"data", pcm}}), "sample rate is 0"},
        {"block size", riff({{"fmt ", fmt_body(1, 2, 8000, 16, 6)}, {"data", pcm}}), "block size"},
        {"short format", riff({{"fmt ", Bytes(10, 0)}, {"data", pcm}}), "too short"},
    };
    for (const Case& c : cases) {
        WavFile f(c.bytes);
        WavReader r;
        std::string error;
        EXPECT_FALSE(r.open(f.path(), error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find(f.path()), std::string::npos) << c.what << ": " << error;
    }
    WavReader r;
    std::string error;
    EXPECT_FALSE(r.open(unique_name("missing") + ".wav", error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

}  // namespace
}  // namespace ondara::toolstest
