// The audio-thread calls make no system call: a child process enters seccomp strict mode, where any
// system call but read, write and exit kills it, then renders blocks and reads the mode block many
// times, reports through a pipe and exits. The clock-reading calls (publish, request) are left out:
// reading the clock may legitimately enter the kernel on some machines.
#include <gtest/gtest.h>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "mode_block.h"
#include "ondara.h"
#include "platform.h"
#include "ring.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

namespace ondara {
namespace {

struct Report {
    std::uint64_t blocks;
    std::uint64_t ring_frames;
    std::uint64_t silent_frames;
    std::int64_t applied_sum;
    std::uint64_t bridge_sum;
    float volume_sum;
};

std::string name_of(const char* what) { return std::string("ondara-rt-") + what + "-" + std::to_string(::getpid()); }

const std::uint16_t* units(const std::u16string& s) { return reinterpret_cast<const std::uint16_t*>(s.data()); }

TEST(RealTime, RenderAndModeReadersMakeNoSystemCall) {
    if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind cannot run a seccomp strict child";
    const std::string ring_name = name_of("ring"), mode_name = name_of("mode");
    const std::u16string ring16(ring_name.begin(), ring_name.end()), mode16(mode_name.begin(), mode_name.end());

    // The companion's ring: stereo, 4096 frames.
    constexpr std::uint32_t kCapacity = 4096;
    const std::size_t bytes = kRingHeaderSize + kCapacity * 2 * sizeof(float);
    const std::u16string z = ring16 + u'\0';
    const platform::Handle h = platform::create_mapping(z.c_str(), static_cast<std::uint32_t>(bytes));
    ASSERT_NE(h, platform::kNoHandle);
    auto* header = static_cast<RingHeader*>(platform::map_view(h, bytes));
    ASSERT_NE(header, nullptr);
    auto* data = reinterpret_cast<float*>(header + 1);
    *header = RingHeader{kRingMagic, kRingVersion, 48000, 2, kCapacity, 0, 0, 0, 0, 0, 0, {}};

    OndaraReceiver* rx = nullptr;
    OndaraModeControl* mode = nullptr;
    ASSERT_EQ(ondara_receiver_open(units(ring16), ring16.size(), 256, 1, &rx), ONDARA_OK);
    ASSERT_EQ(ondara_mode_open(units(mode16), mode16.size(), &mode), ONDARA_OK);
    std::vector<float> buffers(6 * 256);
    OndaraOutputBus buses[3];
    for (std::size_t k = 0; k < 3; ++k) buses[k] = {&buffers[2 * k * 256], &buffers[(2 * k + 1) * 256], 256};

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) ::_exit(3);
        Report rep{};
        std::uint64_t write_pos = 0;
        float volumes[4];
        for (std::uint64_t i = 0; i < 20000; ++i) {
            // Play the producer too: full blocks, short ones and gaps.
            const std::uint64_t n = (i % 5) * 100;
            for (std::uint64_t f = write_pos; f < write_pos + n; ++f) {
                data[(f % kCapacity) * 2] = 0.25f;
                data[(f % kCapacity) * 2 + 1] = -0.25f;
            }
            write_pos += n;
            header->write_pos = write_pos;
            OndaraProcessResult res{};
            ondara_receiver_process(rx, buses, 3, 64 + i % 200, &res);
            rep.ring_frames += res.ring_frames;
            rep.silent_frames += res.silent_frames;
            ++rep.blocks;
            rep.applied_sum += ondara_mode_applied(mode);
            rep.bridge_sum += ondara_mode_vst3_bridge_active(mode);
            ondara_mode_mixer_volumes(mode, volumes);
            rep.volume_sum += volumes[0];
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

    ondara_receiver_free(rx);
    ondara_mode_free(mode);
    platform::unmap_view(header, bytes);
    platform::close_mapping(h);
    ::shm_unlink(("/" + ring_name).c_str());
    ::shm_unlink(("/" + mode_name).c_str());
}

}  // namespace
}  // namespace ondara
#endif
