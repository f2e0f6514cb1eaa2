#include <gtest/gtest.h>

#include "api/status.h"
#include "fake_platform.h"
#include "platform/clock.h"
#include "platform/names.h"

namespace ondara {
namespace {

std::optional<std::string> decode(std::initializer_list<char16_t> units) {
    const std::u16string s(units);
    return decode_name(s.data(), s.size());
}

TEST(DecodeName, RefusesUnpairedSurrogates) {
    EXPECT_FALSE(decode({0xDC00}));
    EXPECT_FALSE(decode({u'A', 0xD800}));
    EXPECT_FALSE(decode({0xD800, u'A'}));
    EXPECT_FALSE(decode({0xDBFF, 0xDBFF, 0xDC00}));
}

TEST(DecodeName, ConvertsToUtf8) {
    EXPECT_EQ(decode({0xD800, 0xDC00}), std::string("\xF0\x90\x80\x80"));
    EXPECT_EQ(decode({0xDBFF, 0xDFFF}), std::string("\xF4\x8F\xBF\xBF"));
    EXPECT_EQ(decode({u'a', 0x00E9, 0x20AC}), std::string("a\xC3\xA9\xE2\x82\xAC"));
    // The first and last code point of each length.
    EXPECT_EQ(decode({0x007F, 0x0080, 0x07FF, 0x0800, 0xFFFF}),
              std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"));
    // U+0000 is an ordinary character when decoding.
    EXPECT_EQ(decode({u'A', 0, u'B'}), std::string("A\0B", 3));
}

TEST(EncodeName, RoundTripsWithOneTerminator) {
    const std::u16string original = {u'x', 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0, u'y'};
    const auto utf8 = decode_name(original.data(), original.size());
    ASSERT_TRUE(utf8);
    const std::u16string encoded = encode_name(*utf8);
    EXPECT_EQ(encoded, original + u'\0');
    EXPECT_EQ(utf8_up_to_zero(encoded.c_str()), std::string("x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
}

TEST(EncodeName, MalformedUtf8NeverReadsPastTheEnd) {
    EXPECT_EQ(encode_name("\xE2\x82"), (std::u16string{0xFFFD, 0xFFFD, 0}));
    EXPECT_EQ(encode_name("a\xFF"), (std::u16string{u'a', 0xFFFD, 0}));
    // A lead byte at the end of the view, with a continuation byte just past it in memory.
    EXPECT_EQ(encode_name(std::string_view("\xC3\xA9", 1)), (std::u16string{0xFFFD, 0}));
}

platform::ClockReading reading(std::int64_t filetime) {
    const auto bits = static_cast<std::uint64_t>(filetime);
    return {static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32)};
}

TEST(Clock, ConvertsFiletimeToUnixMilliseconds) {
    EXPECT_EQ(kUnixEpochFiletime, 0x019DB1DED53E8000);
    EXPECT_EQ(filetime_to_unix_ms(reading(kUnixEpochFiletime)), 0u);
    EXPECT_EQ(filetime_to_unix_ms(reading(kUnixEpochFiletime - 1)), 0u);
    EXPECT_EQ(filetime_to_unix_ms(reading(0)), 0u);
    EXPECT_EQ(filetime_to_unix_ms({0xFFFFFFFF, 0xFFFFFFFF}), 0u);  // negative as a signed count
    EXPECT_EQ(filetime_to_unix_ms(reading(kUnixEpochFiletime + 9'999)), 0u);
    EXPECT_EQ(filetime_to_unix_ms(reading(kUnixEpochFiletime + 10'000)), 1u);
    EXPECT_EQ(filetime_to_unix_ms(reading(kUnixEpochFiletime + 19'999)), 1u);
    EXPECT_EQ(filetime_to_unix_ms(reading(kUnixEpochFiletime + 10'000'000)), 1000u);
    // 2024-01-01 00:00:00 UTC
    EXPECT_EQ(filetime_to_unix_ms(reading(133485408000000000)), 1'704'067'200'000u);
}

TEST(Clock, NowReadsThePlatformClockEachTime) {
    fake::reset();
    fake::set_clock_ms(5000);
    EXPECT_EQ(now_ms(), 5000u);
    fake::advance_clock_ms(-6000);  // set back before the epoch
    EXPECT_EQ(now_ms(), 0u);
}

TEST(StatusMessage, FixedTableAndUnknownValues) {
    const char* expected[] = {"ok", "null pointer", "invalid argument", "open bridge failed", "prepare failed"};
    for (std::uint32_t s = 0; s < 5; ++s) {
        EXPECT_STREQ(ondara_receiver_status_message(s), expected[s]);
        EXPECT_EQ(ondara_receiver_status_message(s), ondara_receiver_status_message(s));
    }
    for (std::uint32_t s : {5u, 6u, 1000u, 0xFFFFFFFFu}) EXPECT_STREQ(ondara_receiver_status_message(s), "unknown status");
}

}  // namespace
}  // namespace ondara
