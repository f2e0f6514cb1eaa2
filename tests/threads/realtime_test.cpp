// The audio-thread calls make no system call: a child process installs a seccomp filter that kills it
// at any system call but read, write, exit and rt_sigreturn (the set that strict mode allows), then
// renders blocks, reads the mode block, publishes mic levels and requests modes many times, reports
// through a pipe and exits. Publish and request read the wall clock, which Linux serves from the
// vDSO without entering the kernel on the usual clock sources (tsc, kvm-clock). Strict mode itself
// cannot show that on x86: it also turns the TSC off, so the vDSO's clock read faults there. On a
// machine whose clock source needs the real system call, the test says so and skips.
#include <gtest/gtest.h>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ondara.h"
#include "platform/platform.h"
#include "protocol/mic_block.h"
#include "protocol/mode_block.h"
#include "protocol/ring.h"
#include "protocol/ring_producer.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

namespace ondara {
namespace {

struct Report {
    std::uint64_t blocks;
    std::uint64_t published;
    std::uint64_t requested;
    std::uint64_t ring_frames;
    std::uint64_t silent_frames;
    std::int64_t applied_sum;
    std::uint64_t bridge_sum;
    float volume_sum;
};

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

// From here on any system call but read, write, exit and rt_sigreturn kills the process. False when
// the filter cannot be installed.
bool forbid_system_calls() {
    const sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_read, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rt_sigreturn, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                             const_cast<sock_filter*>(filter)};
    return kAuditArch != 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs `body` in a child that may make no system call; true when it got through to its raw exit.
template <class Body>
bool runs_without_system_calls(Body body) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        if (!forbid_system_calls()) ::_exit(3);
        body();
        ::syscall(SYS_exit, 0);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string clock_source() {
    std::ifstream in("/sys/devices/system/clocksource/clocksource0/current_clocksource");
    std::string name;
    return std::getline(in, name) ? name : "unknown";
}

std::string name_of(const char* what) { return std::string("ondara-rt-") + what + "-" + std::to_string(::getpid()); }

const std::uint16_t* units(const std::u16string& s) { return reinterpret_cast<const std::uint16_t*>(s.data()); }

TEST(RealTime, AudioThreadCallsMakeNoSystemCall) {
    if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind cannot run a child under a seccomp filter";
    if (!runs_without_system_calls([] {}))
        GTEST_SKIP() << "this kernel or architecture offers no seccomp filter";
    if (!runs_without_system_calls([] {
            timespec ts{};
            ::clock_gettime(CLOCK_REALTIME, &ts);
        })) {
        GTEST_SKIP() << "reading the wall clock is a system call on this machine (clock source " << clock_source()
                     << "), so the clock-reading calls cannot be shown to make none";
    }
    const std::string ring_name = name_of("ring"), mode_name = name_of("mode"), mic_name = name_of("mic");
    const std::u16string ring16(ring_name.begin(), ring_name.end()), mode16(mode_name.begin(), mode_name.end()),
        mic16(mic_name.begin(), mic_name.end());

    // The companion's ring: stereo, 4096 frames.
    constexpr std::uint32_t kCapacity = 4096;
    RingProducer::Error error;
    std::optional<RingProducer> producer = RingProducer::create(ring_name, RingFormat{48000, 2, kCapacity}, error);
    ASSERT_TRUE(producer) << error.message;
    producer->remove_name_on_release();
    RingWriter& ring = producer->writer();

    OndaraReceiver* rx = nullptr;
    OndaraModeControl* mode = nullptr;
    ASSERT_EQ(ondara_receiver_open(units(ring16), ring16.size(), 256, 1, &rx), ONDARA_OK);
    ASSERT_EQ(ondara_mode_open(units(mode16), mode16.size(), &mode), ONDARA_OK);
    OndaraMicPublisher* mic = nullptr;
    ASSERT_EQ(ondara_mic_open(units(mic16), mic16.size(), &mic), ONDARA_OK);
    std::vector<float> buffers(6 * 256);
    OndaraOutputBus buses[3];
    for (std::size_t k = 0; k < 3; ++k) buses[k] = {&buffers[2 * k * 256], &buffers[(2 * k + 1) * 256], 256};

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        if (!forbid_system_calls()) ::_exit(3);
        Report rep{};
        std::uint64_t write_pos = 0;
        float volumes[4];
        for (std::uint64_t i = 0; i < 20000; ++i) {
            // Play the producer too: full blocks, short ones and gaps.
            const std::uint64_t n = (i % 5) * 100;
            for (std::uint64_t f = write_pos; f < write_pos + n; ++f) {
                ring.slot(f)[0] = 0.25f;
                ring.slot(f)[1] = -0.25f;
            }
            write_pos += n;
            ring.publish(write_pos);
            OndaraProcessResult res{};
            ondara_receiver_process(rx, buses, 3, 64 + i % 200, &res);
            rep.ring_frames += res.ring_frames;
            rep.silent_frames += res.silent_frames;
            ++rep.blocks;
            rep.applied_sum += ondara_mode_applied(mode);
            rep.bridge_sum += ondara_mode_vst3_bridge_active(mode);
            ondara_mode_mixer_volumes(mode, volumes);
            rep.volume_sum += volumes[0];
            rep.published += ondara_mic_publish(mic, -static_cast<float>(i % 100), -50.0f) == ONDARA_OK;
            rep.requested += ondara_mode_request(mode, static_cast<std::int32_t>(i % 4)) == ONDARA_OK;
        }
        // Only write and exit are allowed: no exit_group, so the raw exit system call.
        ::syscall(SYS_write, fds[1], &rep, sizeof rep);
        ::syscall(SYS_exit, 0);
    }
    ::close(fds[1]);
    Report rep{};
    const ssize_t got = ::read(fds[0], &rep, sizeof rep);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                                   << ": a system call on the audio path";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof rep));
    EXPECT_EQ(rep.blocks, 20000u);
    EXPECT_GT(rep.ring_frames, 0u);
    EXPECT_GT(rep.silent_frames, 0u);
    EXPECT_EQ(rep.applied_sum, 0);  // a fresh block: applied mode 0, bridge off, volumes 1.0
    EXPECT_EQ(rep.bridge_sum, 0u);
    EXPECT_EQ(rep.volume_sum, 20000.0f);
    EXPECT_EQ(rep.published, 20000u);
    EXPECT_EQ(rep.requested, 20000u);
    // The last publish and the last request reached the blocks.
    const std::u16string mic_z = mic16 + u'\0', mode_z = mode16 + u'\0';
    const platform::Handle mh = platform::open_mapping(mic_z.c_str()), dh = platform::open_mapping(mode_z.c_str());
    ASSERT_NE(mh, platform::kNoHandle);
    ASSERT_NE(dh, platform::kNoHandle);
    const auto* mic_block = static_cast<const MicLevelBlock*>(platform::map_view(mh, sizeof(MicLevelBlock)));
    const auto* mode_block = static_cast<const ModeControlBlock*>(platform::map_view(dh, sizeof(ModeControlBlock)));
    ASSERT_NE(mic_block, nullptr);
    ASSERT_NE(mode_block, nullptr);
    EXPECT_EQ(mic_block->level_a_db, -99.0f);
    EXPECT_EQ(mic_block->published, 1u);
    EXPECT_EQ(mode_block->requested_mode, 3);
    platform::unmap_view(const_cast<MicLevelBlock*>(mic_block), sizeof(MicLevelBlock));
    platform::unmap_view(const_cast<ModeControlBlock*>(mode_block), sizeof(ModeControlBlock));
    platform::close_mapping(mh);
    platform::close_mapping(dh);
    ondara_mic_free(mic);

    ondara_receiver_free(rx);
    ondara_mode_free(mode);
    producer.reset();  // unmaps, closes and removes the ring
    ::shm_unlink(("/" + mode_name).c_str());
    ::shm_unlink(("/" + mic_name).c_str());
}

}  // namespace
}  // namespace ondara
#endif
