// The mic and mode blocks as a hostile companion leaves them: the fuzzer overwrites the 40- and 48-byte
// blocks between calls, moves the wall clock, and calls the publish, request and reader exports with
// arbitrary values, on two mic handles that share one block and one mode handle.
//
// Every call is checked exactly against the blocks' documented rules: a non-finite level or a mode
// outside 0..3 is refused with the block untouched; a publish is held back, block untouched, while
// another writer's stamp is at most 300 ms old or at most 300 ms ahead, and otherwise writes a whole
// valid block with clamped levels, this handle's token and the current time; a request changes the
// requested mode, sets the request flag and stamps the time, and nothing else; the readers report the
// block as it is. Neither block is ever touched by a call on the other.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "ondara.h"
#include "protocol/mic_block.h"
#include "protocol/mode_block.h"

namespace {

using namespace ondara;

constexpr char16_t kMicName[] = u"mic";
constexpr char16_t kModeName[] = u"mode";

const std::uint16_t* units(const char16_t* s) { return reinterpret_cast<const std::uint16_t*>(s); }
std::size_t length(const char16_t* s) { return std::char_traits<char16_t>::length(s); }

// The wall clock as whole milliseconds since 1970, from the fake's raw reading.
std::uint64_t now_ms_expected() {
    const platform::ClockReading r = platform::read_clock();
    const auto t = static_cast<std::int64_t>((std::uint64_t{r.high} << 32) | r.low);
    constexpr std::int64_t kEpoch = 116444736000000000;
    return t < kEpoch ? 0 : static_cast<std::uint64_t>(t - kEpoch) / 10'000;
}

// Up to sizeof(Block) fuzzer bytes over a zeroed block.
template <class Block>
Block fuzzed_bytes(FuzzedDataProvider& in) {
    Block b{};
    const auto bytes = in.ConsumeBytes<unsigned char>(sizeof b);
    if (!bytes.empty()) std::memcpy(&b, bytes.data(), bytes.size());
    return b;
}

template <class Block>
Block load(const unsigned char* p) {
    Block b;
    std::memcpy(&b, p, sizeof b);
    return b;
}

template <class Block>
bool same(const Block& a, const Block& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

float clamp_expected(float v) { return v < -120.0f ? -120.0f : (v > 6.0f ? 6.0f : v); }

// A block value from the fuzzer: raw bytes, or one built field by field so that blocks that look
// right (and so may hold the publisher back) come up often.
MicLevelBlock fuzzed_mic_block(FuzzedDataProvider& in, std::uint64_t now, const std::uint64_t* tokens) {
    if (in.ConsumeBool()) return fuzzed_bytes<MicLevelBlock>(in);
    MicLevelBlock b{};
    const std::uint8_t f = in.ConsumeIntegral<std::uint8_t>();
    // Now and then the magic of another kind of segment: an open must never reset one of those.
    b.magic = (f & 0x01) ? in.PickValueInArray({in.ConsumeIntegral<std::uint32_t>(), kRingMagic, kModeMagic}) : kMicMagic;
    b.version = (f & 0x02) ? in.ConsumeIntegral<std::uint32_t>() : 1;
    b.active = (f & 0x04) ? in.ConsumeIntegral<std::uint32_t>() : 1;
    b.published = (f & 0x08) ? in.ConsumeIntegral<std::uint32_t>() : 1;
    // Stamps around the two 300 ms edges come up often; any other age or a future stamp now and then.
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: b.updated_ms = now - 300; break;
        case 1: b.updated_ms = now - 301; break;
        case 2: b.updated_ms = now; break;
        case 3: b.updated_ms = now + 1; break;
        case 4: b.updated_ms = now + 300; break;
        case 5: b.updated_ms = now + 301; break;
        default:
            b.updated_ms = now + static_cast<std::uint64_t>(in.ConsumeIntegralInRange<std::int64_t>(-700, 700));
            break;
    }
    if (f & 0x10) b.updated_ms = in.ConsumeIntegral<std::uint64_t>();
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: b.writer_token = 0; break;
        case 1: b.writer_token = tokens[0]; break;
        case 2: b.writer_token = tokens[1]; break;
        default: b.writer_token = in.ConsumeIntegral<std::uint64_t>(); break;
    }
    b.level_a_db = std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>());
    b.level_b_db = std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>());
    return b;
}

float fuzzed_level(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>());  // NaN and infinities too
        case 1: return in.ConsumeFloatingPointInRange<float>(-200.0f, 50.0f);
        case 2: return in.ConsumeBool() ? INFINITY : -INFINITY;
        default: return std::nanf("");
    }
}

bool held_expected(const MicLevelBlock& b, std::uint64_t now, std::uint64_t own) {
    const bool fresh = now >= b.updated_ms ? now - b.updated_ms <= 300 : b.updated_ms - now <= 300;
    return b.magic == kMicMagic && b.version == 1 && b.active == 1 && b.published == 1 && b.updated_ms != 0 &&
           fresh && b.writer_token != 0 && b.writer_token != own;
}

struct State {
    unsigned char* mic;   // the block's bytes in the fake object
    unsigned char* mode;
    OndaraMicPublisher* pub[2];
    std::uint64_t token[2];
    OndaraModeControl* ctl;
};

void check_publish(FuzzedDataProvider& in, State& s) {
    const int w = in.ConsumeBool() ? 1 : 0;
    const float a = fuzzed_level(in), b = fuzzed_level(in);
    const auto before = load<MicLevelBlock>(s.mic);
    const auto mode_before = load<ModeControlBlock>(s.mode);
    const std::uint64_t now = now_ms_expected();
    const OndaraStatus st = ondara_mic_publish(s.pub[w], a, b);
    const auto after = load<MicLevelBlock>(s.mic);
    FUZZ_CHECK(same(mode_before, load<ModeControlBlock>(s.mode)));
    if (!std::isfinite(a) || !std::isfinite(b)) {
        FUZZ_CHECK(st == ONDARA_INVALID_ARGUMENT);
        FUZZ_CHECK(same(before, after));
        return;
    }
    FUZZ_CHECK(st == ONDARA_OK);
    if (held_expected(before, now, s.token[w])) {
        FUZZ_CHECK(same(before, after));
        return;
    }
    MicLevelBlock e{};
    e.magic = kMicMagic;
    e.version = 1;
    e.updated_ms = now;
    e.level_a_db = clamp_expected(a);
    e.level_b_db = clamp_expected(b);
    e.active = 1;
    e.published = 1;
    e.writer_token = s.token[w];
    FUZZ_CHECK(after.level_a_db >= -120.0f && after.level_a_db <= 6.0f);
    FUZZ_CHECK(after.level_b_db >= -120.0f && after.level_b_db <= 6.0f);
    FUZZ_CHECK(after.magic == kMicMagic && after.version == 1 && after.active == 1 && after.published == 1);
    FUZZ_CHECK(after.writer_token == s.token[w]);
    FUZZ_CHECK(after.updated_ms == now);
    // -0 and +0 both clamp to themselves; compare as values so either sign is accepted for zero.
    FUZZ_CHECK(after.level_a_db == e.level_a_db && after.level_b_db == e.level_b_db);
    e.level_a_db = after.level_a_db;
    e.level_b_db = after.level_b_db;
    FUZZ_CHECK(same(e, after));
}

void check_request(FuzzedDataProvider& in, State& s) {
    const std::int32_t mode = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(-2, 5)
                                               : in.ConsumeIntegral<std::int32_t>();
    const auto before = load<ModeControlBlock>(s.mode);
    const auto mic_before = load<MicLevelBlock>(s.mic);
    const std::uint64_t now = now_ms_expected();
    const OndaraStatus st = ondara_mode_request(s.ctl, mode);
    const auto after = load<ModeControlBlock>(s.mode);
    FUZZ_CHECK(same(mic_before, load<MicLevelBlock>(s.mic)));
    if (mode < 0 || mode > 3) {
        FUZZ_CHECK(st == ONDARA_INVALID_ARGUMENT);
        FUZZ_CHECK(same(before, after));
        return;
    }
    FUZZ_CHECK(st == ONDARA_OK);
    ModeControlBlock e = before;
    e.requested_mode = mode;
    e.flags = before.flags | 1u;
    e.updated_ms = now;
    FUZZ_CHECK(same(e, after));
}

void check_readers(State& s) {
    const auto before = load<ModeControlBlock>(s.mode);
    const auto mic_before = load<MicLevelBlock>(s.mic);
    const std::int32_t applied = ondara_mode_applied(s.ctl);
    FUZZ_CHECK(applied >= -1 && applied <= 3);
    if (before.applied_mode >= 0 && before.applied_mode <= 3) {
        FUZZ_CHECK(applied == before.applied_mode);
    } else {
        FUZZ_CHECK(applied == -1);
    }
    float volumes[5];
    std::memset(volumes, 0xCD, sizeof volumes);
    FUZZ_CHECK(ondara_mode_mixer_volumes(s.ctl, volumes) == ONDARA_OK);
    FUZZ_CHECK(std::memcmp(volumes, before.mixer_volumes, sizeof before.mixer_volumes) == 0);
    const unsigned char fill = 0xCD;
    FUZZ_CHECK(std::memcmp(&volumes[4], &fill, 1) == 0);  // exactly four written
    const std::uint32_t bridge = ondara_mode_vst3_bridge_active(s.ctl);
    FUZZ_CHECK(bridge == ((before.flags >> 1) & 1u));
    FUZZ_CHECK(same(before, load<ModeControlBlock>(s.mode)));
    FUZZ_CHECK(same(mic_before, load<MicLevelBlock>(s.mic)));
}

void check_null_handles() {
    FUZZ_CHECK(ondara_mic_publish(nullptr, 0.0f, 0.0f) == ONDARA_NULL_POINTER);
    FUZZ_CHECK(ondara_mic_publish(nullptr, NAN, 0.0f) == ONDARA_NULL_POINTER);  // the pointer is checked first
    FUZZ_CHECK(ondara_mode_request(nullptr, 1) == ONDARA_NULL_POINTER);
    FUZZ_CHECK(ondara_mode_request(nullptr, 9) == ONDARA_NULL_POINTER);
    FUZZ_CHECK(ondara_mode_applied(nullptr) == -1);
    float v[4] = {5, 5, 5, 5};
    FUZZ_CHECK(ondara_mode_mixer_volumes(nullptr, v) == ONDARA_NULL_POINTER);
    FUZZ_CHECK(v[0] == 5 && v[1] == 5 && v[2] == 5 && v[3] == 5);
    FUZZ_CHECK(ondara_mode_vst3_bridge_active(nullptr) == 0);
}

// How a block comes to be there before the open: not at all, held by the companion and created again
// (so reset), or held by the companion with creating refused (so opened and validated as found).
enum class Before { None, HeldCreated, HeldOpened };

template <class Block>
unsigned char* add_held(const char16_t* name, const Block& value, std::size_t size) {
    unsigned char* obj = fake::add_object(name, size);
    fuzzing::poison_slack(obj, size);
    std::memcpy(obj, &value, std::min(size, sizeof value));
    return obj;
}

void check_fresh_mic(const MicLevelBlock& b, std::uint64_t now) {
    FUZZ_CHECK(b.magic == kMicMagic && b.version == 1 && b.updated_ms == now && b.level_a_db == -120.0f &&
               b.level_b_db == -120.0f && b.active == 1 && b.published == 0 && b.writer_token == 0);
}

void check_fresh_mode(const ModeControlBlock& b, std::uint64_t now) {
    FUZZ_CHECK(b.magic == kModeMagic && b.version == 1 && b.updated_ms == now && b.requested_mode == -1 &&
               b.applied_mode == 0 && b.flags == 0 && b.reserved == 0);
    for (float v : b.mixer_volumes) FUZZ_CHECK(v == 1.0f);
}

void finish() {
    FUZZ_CHECK(fake::live_handles() == 0 && fake::live_views() == 0);
    fake::reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    FuzzedDataProvider in(data, size);
    check_null_handles();

    const std::uint32_t pid = in.ConsumeIntegral<std::uint32_t>();
    fake::set_process_id(pid);
    fake::set_clock_ms(1'704'067'200'000 + in.ConsumeIntegralInRange<std::uint64_t>(0, 1u << 30));

    // -- mic: two publishers on one block.
    const auto mic_before = static_cast<Before>(in.ConsumeIntegralInRange<int>(0, 2));
    const bool mic_short = in.ConsumeIntegralInRange<int>(0, 7) == 0;  // an object too small for the block
    const std::uint64_t tokens_unknown[2] = {0, 0};
    const MicLevelBlock mic_found = fuzzed_mic_block(in, now_ms_expected(), tokens_unknown);
    if (mic_before != Before::None) add_held(kMicName, mic_found, mic_short ? sizeof mic_found - 8 : sizeof mic_found);
    if (mic_before == Before::HeldOpened) fake::fail(fake::Op::Create, 5);

    State s{};
    s.pub[0] = reinterpret_cast<OndaraMicPublisher*>(&s);
    OndaraStatus st = ondara_mic_open(units(kMicName), length(kMicName), &s.pub[0]);
    {
        OndaraStatus expected = ONDARA_OK;
        if (mic_before == Before::None) {
            expected = ONDARA_OK;
        } else if (mic_short) {
            expected = ONDARA_OPEN_BRIDGE_FAILED;
        } else if (mic_before == Before::HeldCreated && (mic_found.magic == kRingMagic || mic_found.magic == kModeMagic)) {
            expected = ONDARA_OPEN_BRIDGE_FAILED;
        } else if (mic_before == Before::HeldOpened &&
                   !(mic_found.magic == kMicMagic && mic_found.version == 1 && mic_found.active == 1)) {
            expected = ONDARA_OPEN_BRIDGE_FAILED;
        }
        FUZZ_CHECK(st == expected);
    }
    if (st != ONDARA_OK) {
        FUZZ_CHECK(s.pub[0] == nullptr);
        if (!mic_short) FUZZ_CHECK(same(mic_found, load<MicLevelBlock>(fake::object_data(kMicName))));  // untouched
        return finish(), 0;
    }
    s.mic = fake::object_data(kMicName);
    FUZZ_CHECK(s.mic != nullptr);
    if (mic_before == Before::None) fuzzing::poison_slack(s.mic, fake::object_size(kMicName));
    if (mic_before == Before::HeldOpened) {
        FUZZ_CHECK(same(mic_found, load<MicLevelBlock>(s.mic)));  // used as found
    } else {
        check_fresh_mic(load<MicLevelBlock>(s.mic), now_ms_expected());
    }
    // The second handle's open creates the existing block again, which resets it.
    FUZZ_CHECK(ondara_mic_open(units(kMicName), length(kMicName), &s.pub[1]) == ONDARA_OK);
    check_fresh_mic(load<MicLevelBlock>(s.mic), now_ms_expected());

    // Learn each handle's token from a publish that nothing can hold back: a zeroed block.
    static std::uint64_t last_serial = 0;
    for (int w = 0; w < 2; ++w) {
        std::memset(s.mic, 0, sizeof(MicLevelBlock));
        FUZZ_CHECK(ondara_mic_publish(s.pub[w], -120.0f, -120.0f) == ONDARA_OK);
        s.token[w] = load<MicLevelBlock>(s.mic).writer_token;
        // The process id in the high half, a serial that no other handle of this process had.
        FUZZ_CHECK((s.token[w] >> 32) == pid);
        FUZZ_CHECK((s.token[w] & 0xFFFFFFFFu) > last_serial || last_serial == 0xFFFFFFFFu);
        last_serial = s.token[w] & 0xFFFFFFFFu;
    }
    FUZZ_CHECK(s.token[0] != s.token[1]);

    // -- mode.
    const auto mode_before = static_cast<Before>(in.ConsumeIntegralInRange<int>(0, 2));
    const bool mode_short = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    ModeControlBlock mode_found = fuzzed_bytes<ModeControlBlock>(in);
    if (in.ConsumeBool()) mode_found.magic = in.PickValueInArray({kModeMagic, kModeMagic, kRingMagic, kMicMagic}), mode_found.version = 1;
    if (mode_before != Before::None) {
        add_held(kModeName, mode_found, mode_short ? sizeof mode_found - 8 : sizeof mode_found);
    }
    if (mode_before == Before::HeldOpened) fake::fail(fake::Op::Create, 5);
    s.ctl = reinterpret_cast<OndaraModeControl*>(&s);
    st = ondara_mode_open(units(kModeName), length(kModeName), &s.ctl);
    {
        OndaraStatus expected = ONDARA_OK;
        if (mode_before != Before::None && mode_short) {
            expected = ONDARA_OPEN_BRIDGE_FAILED;
        } else if (mode_before == Before::HeldCreated &&
                   (mode_found.magic == kRingMagic || mode_found.magic == kMicMagic)) {
            expected = ONDARA_OPEN_BRIDGE_FAILED;
        } else if (mode_before == Before::HeldOpened && !(mode_found.magic == kModeMagic && mode_found.version == 1)) {
            expected = ONDARA_OPEN_BRIDGE_FAILED;
        }
        FUZZ_CHECK(st == expected);
    }
    if (st != ONDARA_OK) {
        FUZZ_CHECK(s.ctl == nullptr);
        FUZZ_CHECK(fake::live_handles() == 2 && fake::live_views() == 2);  // the two mic handles only
        if (!mode_short) FUZZ_CHECK(same(mode_found, load<ModeControlBlock>(fake::object_data(kModeName))));
        ondara_mic_free(s.pub[0]);
        ondara_mic_free(s.pub[1]);
        return finish(), 0;
    }
    s.mode = fake::object_data(kModeName);
    if (mode_before == Before::None) fuzzing::poison_slack(s.mode, fake::object_size(kModeName));
    if (mode_before == Before::HeldOpened) {
        FUZZ_CHECK(same(mode_found, load<ModeControlBlock>(s.mode)));
    } else {
        check_fresh_mode(load<ModeControlBlock>(s.mode), now_ms_expected());
    }

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 6)) {
            case 0: {
                const MicLevelBlock b = fuzzed_mic_block(in, now_ms_expected(), s.token);
                std::memcpy(s.mic, &b, sizeof b);
                break;
            }
            case 1: {
                const ModeControlBlock b = fuzzed_bytes<ModeControlBlock>(in);
                std::memcpy(s.mode, &b, sizeof b);
                break;
            }
            case 2: check_publish(in, s); break;
            case 3: check_request(in, s); break;
            case 4: check_readers(s); break;
            case 5: {
                // Moved here in unsigned arithmetic: the fake's own advance adds in signed 64 bits,
                // which overflows from the raw readings of case 6.
                const platform::ClockReading r = platform::read_clock();
                const std::uint64_t raw = ((std::uint64_t{r.high} << 32) | r.low) +
                                          static_cast<std::uint64_t>(in.ConsumeIntegralInRange<std::int64_t>(-1000, 1000) * 10'000);
                fake::set_clock({static_cast<std::uint32_t>(raw), static_cast<std::uint32_t>(raw >> 32)});
                break;
            }
            default: {
                // Any raw reading, before 1970 included (which reads as 0 ms).
                const std::uint64_t raw = in.ConsumeIntegral<std::uint64_t>();
                fake::set_clock({static_cast<std::uint32_t>(raw), static_cast<std::uint32_t>(raw >> 32)});
                break;
            }
        }
    }

    // Freeing leaves the blocks as they are.
    const auto mic_last = load<MicLevelBlock>(s.mic);
    const auto mode_last = load<ModeControlBlock>(s.mode);
    ondara_mic_free(s.pub[0]);
    ondara_mode_free(s.ctl);
    FUZZ_CHECK(same(mic_last, load<MicLevelBlock>(s.mic)));  // still mapped by the second publisher
    if (mode_before != Before::None) FUZZ_CHECK(same(mode_last, load<ModeControlBlock>(fake::object_data(kModeName))));
    ondara_mic_free(s.pub[1]);
    if (mic_before != Before::None) FUZZ_CHECK(same(mic_last, load<MicLevelBlock>(fake::object_data(kMicName))));
    return finish(), 0;
}
