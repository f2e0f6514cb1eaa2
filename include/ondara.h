/*
 * ondara: the plug-in side of the shared-memory bridge to the companion application.
 *
 * Three families of calls, each over one named shared-memory segment:
 *   receiver  pulls audio from a ring that the companion creates (the library only ever opens it)
 *             and renders it into up to three stereo output buses;
 *   mic       publishes two levels in dB into a block that either side may create;
 *   mode      requests an operating mode and reads back what the companion applied.
 *
 * Conventions shared by every call:
 *   - Every call runs on the caller's thread; the library starts no threads, takes no locks, needs no
 *     initialisation call and keeps no log. No failure ever crosses this interface as an exception.
 *   - Handles are opaque records owned by the library from *_open to the matching *_free. One handle is
 *     used by one thread at a time; different handles are independent, also on one segment.
 *   - Segment names are UTF-16 code units with an explicit count and no terminator. The library copies
 *     what it needs and never keeps the caller's buffer. A zero code unit ends the name the platform
 *     sees, and a name that is empty up to that zero cannot be opened.
 *   - Pointer arguments are checked before values: a null handle or out-pointer gives
 *     ONDARA_NULL_POINTER; a null or empty name gives ONDARA_INVALID_ARGUMENT.
 *   - Every open writes *out on every path once out is non-null: the handle on success, NULL on failure.
 *     A failed open leaves nothing allocated and nothing mapped.
 *   - Freeing a handle closes its segment and leaves the shared block as it is. The library never
 *     removes a segment: the companion owns the segments' lifetime.
 *   - POSIX: a segment is the shared-memory object "/" + name, created with mode 0600 whatever the
 *     umask; an object owned by another user is refused (ONDARA_OPEN_BRIDGE_FAILED). The pages of every
 *     view are reserved before it is mapped, also of an object someone else made, so a full file
 *     system fails the open instead of faulting (an object the open itself just created is removed
 *     again; any other is left as it is). A peer that truncates a mapped object makes the next access
 *     to it fault in the caller; nothing in the library can prevent that (a Windows section cannot
 *     shrink).
 *   - Exhausted memory has no status: the library writes "ondara: out of memory" to the standard error
 *     stream and ends the process, and never hands out a partly built handle.
 *
 * Thread tags used below:
 *   [audio-thread]  safe on a real-time thread: no allocation, lock, wait or system call.
 *   [audio-thread, reads the clock]
 *                   as [audio-thread], and reads the wall clock: on Windows GetSystemTimePreciseAsFileTime,
 *                   a read in user mode; on Linux clock_gettime through the vDSO, which stays in user
 *                   space on the usual clock sources (tsc, kvm-clock) and makes a system call only on one
 *                   that user space cannot read.
 *   [any-thread]    no handle involved; safe from any thread at any time.
 *   [handle-thread] one thread at a time per handle; may allocate, map and make system calls. Call it
 *                   off the audio thread (in a plug-in: its worker, or activation).
 */
#ifndef ONDARA_H
#define ONDARA_H

#include <stddef.h>
#include <stdint.h>

#include "ondara_functions.h"

/* The version of this header and of the library built with it. ONDARA_VERSION is one number that
 * compares in order: 10000 * major + 100 * minor + patch (0.1.0 is 100). While the major version is 0,
 * a new minor version may change the interface, so the Linux library's soname carries both numbers
 * (libondara.so.0.1). */
#define ONDARA_VERSION_MAJOR 0
#define ONDARA_VERSION_MINOR 1
#define ONDARA_VERSION_PATCH 0
#define ONDARA_VERSION (ONDARA_VERSION_MAJOR * 10000 + ONDARA_VERSION_MINOR * 100 + ONDARA_VERSION_PATCH)

#if defined(_WIN32)
#define ONDARA_CALL __cdecl
#else
#define ONDARA_CALL
#endif

#if defined(ONDARA_STATIC)
/* Linked from the static archive into a program or plug-in, which exports none of these. */
#define ONDARA_API
#elif defined(_WIN32)
/* The DLL's exports are listed in its module-definition file. */
#define ONDARA_API
#elif defined(__GNUC__)
#define ONDARA_API __attribute__((visibility("default")))
#else
#define ONDARA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result of every call that can fail; a 32-bit value whatever the compiler's enum size. */
typedef uint32_t OndaraStatus;
enum {
    ONDARA_OK = 0,                  /* "ok" */
    ONDARA_NULL_POINTER = 1,        /* "null pointer" */
    ONDARA_INVALID_ARGUMENT = 2,    /* "invalid argument" */
    ONDARA_OPEN_BRIDGE_FAILED = 3,  /* "open bridge failed": creating, opening, mapping or validating failed */
    ONDARA_PREPARE_FAILED = 4       /* "prepare failed": the ring's channel count changed during open */
};

/* One stereo output bus owned by the host. Both buffers hold `length` samples. */
typedef struct OndaraOutputBus {
    float* left;
    float* right;
    uint64_t length;
} OndaraOutputBus;

/* What one ondara_receiver_process call did. */
typedef struct OndaraProcessResult {
    uint64_t requested_frames; /* the frames argument */
    uint64_t rendered_frames;  /* frames written into the buses; 0 when the ring's channel count is invalid */
    uint64_t ring_frames;      /* frames taken from the ring; never more than rendered_frames */
    uint64_t silent_frames;    /* rendered - ring; requested_frames when the channel count is invalid */
    uint32_t channels;         /* the ring's channel count as read for this block, also when invalid */
    uint32_t bus_count;        /* buses in use: the bus_count argument capped at 3 */
    uint32_t sample_rate;      /* the ring's sample rate as read for this block */
    uint32_t reserved;         /* always 0 */
} OndaraProcessResult;

/* Layout checks that compile in C and in C++. */
#define ONDARA_LAYOUT_CHECK(name, cond) typedef char ondara_layout_check_##name[(cond) ? 1 : -1]
ONDARA_LAYOUT_CHECK(output_bus_size, sizeof(OndaraOutputBus) == 24 || sizeof(void*) != 8);
ONDARA_LAYOUT_CHECK(output_bus_length, offsetof(OndaraOutputBus, length) == 2 * sizeof(void*));
ONDARA_LAYOUT_CHECK(process_result_size, sizeof(OndaraProcessResult) == 48);
ONDARA_LAYOUT_CHECK(process_result_ring_frames, offsetof(OndaraProcessResult, ring_frames) == 16);
ONDARA_LAYOUT_CHECK(process_result_channels, offsetof(OndaraProcessResult, channels) == 32);
ONDARA_LAYOUT_CHECK(process_result_sample_rate, offsetof(OndaraProcessResult, sample_rate) == 40);
ONDARA_LAYOUT_CHECK(process_result_reserved, offsetof(OndaraProcessResult, reserved) == 44);
#undef ONDARA_LAYOUT_CHECK

typedef struct OndaraReceiver OndaraReceiver;
typedef struct OndaraMicPublisher OndaraMicPublisher;
typedef struct OndaraModeControl OndaraModeControl;

/* ---- status ----------------------------------------------------------------------------------- */

/* The fixed message of a status: "ok", "null pointer", "invalid argument", "open bridge failed",
 * "prepare failed"; "unknown status" for any other value. Never NULL; the string is constant and lives
 * as long as the library is loaded. [any-thread] */
ONDARA_API const char* ONDARA_CALL ondara_receiver_status_message(OndaraStatus status);

/* ---- receiver --------------------------------------------------------------------------------- */

/* Opens the audio ring `name` that the companion created (never creates it) and prepares a receiver for
 * blocks of up to `max_frames` frames; `multi_bus` non-zero sends ring channels 2k, 2k+1 to bus k,
 * zero sends only channels 0 and 1 to bus 0. Allocates only the handle, whatever max_frames is. The
 * receiver starts up to 1024 frames behind the companion, and its first ring frames fade in.
 * Returns ONDARA_NULL_POINTER (out is NULL, nothing written), ONDARA_INVALID_ARGUMENT (null or empty
 * name, invalid UTF-16, max_frames 0), ONDARA_OPEN_BRIDGE_FAILED (no such ring, or its header or size
 * is unusable), ONDARA_PREPARE_FAILED (its channel count became unusable during open).
 *
 * A companion that restarts: the receiver never fails, it renders silence (ring_frames 0) when the ring
 * holds nothing new. On POSIX a restarted companion makes a new object under the name, which only a new
 * open finds: the old handle keeps the old object and stays silent. On Windows the old segment lives as
 * long as any handle keeps it open, and a companion that finds it may take it over with a fresh header
 * and its frame counter back at 0, which an open receiver follows by itself (a write_pos below its
 * cursor is a restart). So, off the audio thread: once a receiver has had no ring frames for about half
 * a second, open the ring again by name and swap the new handle in at the start of a block; free the
 * old one off the audio thread too. Free a receiver that stays silent after such a reopen (and look
 * for the ring again now and then): otherwise it alone may keep an abandoned segment alive, too small
 * for a companion that restarts with a larger format.
 *
 * Latency is the companion's to keep: the receiver renders what the ring holds and never waits, and
 * writes back after every block how far it is behind (backlog_frames) and where it is (read_pos), so
 * that a companion can drop or stretch its audio to keep that near a target.
 * [handle-thread] */
ONDARA_API OndaraStatus ONDARA_CALL ondara_receiver_open(const uint16_t* name, size_t name_len, size_t max_frames,
                                                         uint8_t multi_bus, OndaraReceiver** out);

/* Renders one block of up to `frames` frames into the first min(bus_count, 3) buses: R = min(frames,
 * max_frames, every bus length) samples of each channel are written (out->rendered_frames), samples
 * from R on are left exactly as they were: render long host blocks in pieces of max_frames.
 * Bus k gets ring channels 2k (left) and 2k+1 (right); a ring channel that would be the right of a bus
 * but is missing (an odd channel count: mono, 3 or 5 channels) makes that bus carry its left channel on
 * both sides, and a bus beyond the ring's channels is silence. Without multi_bus only bus 0 gets audio.
 * Frames the ring lacks are silence. Audio that stops within a block fades out over its last
 * min(frames taken, 32) frames, and audio that comes back after a short or empty block, or after the
 * open, fades in over its first min(frames taken, 32) frames; a block of 0 frames leaves a pending
 * fade-in pending. When the ring's channel count is unusable (0, above 6, or so high that R x channels
 * exceeds max_frames x the channel count at open) the block is silence over min(bus length, frames)
 * samples of every bus and the ring is not read. The header is read once per block: a companion that
 * rewrites it during the call gets a wrong block at worst, never a write outside the buses or a read
 * outside the ring. out->sample_rate is the ring's, which nothing converts: a ring at another rate than
 * the host's plays at the wrong speed.
 * `buses` may be NULL when bus_count is 0; `out` may be NULL. The buses stay owned by the caller;
 * nothing is kept after return.
 * Returns ONDARA_OK, or ONDARA_NULL_POINTER for a null handle, null buses with bus_count > 0, or a null
 * channel pointer in a bus in use (then nothing is read or written). [audio-thread] */
ONDARA_API OndaraStatus ONDARA_CALL ondara_receiver_process(OndaraReceiver* handle, const OndaraOutputBus* buses,
                                                            size_t bus_count, size_t frames,
                                                            OndaraProcessResult* out);

/* Closes the ring and releases the handle; the ring itself is left as it is. Accepts NULL.
 * [handle-thread] */
ONDARA_API void ONDARA_CALL ondara_receiver_free(OndaraReceiver* handle);

/* ---- mic -------------------------------------------------------------------------------------- */

/* Creates the mic level block `name`, or resets it when it exists and can be created again: a second
 * open of an existing mic block, also one another instance or process uses, sets its levels to -120 dB
 * and forgets who published (the first publisher afterwards takes it). An existing segment that holds
 * another kind of block (the audio ring, a mode block) is never written: the open fails with
 * ONDARA_OPEN_BRIDGE_FAILED. An existing block is opened and validated as it is only when creating
 * fails. Returns ONDARA_OK, ONDARA_NULL_POINTER, ONDARA_INVALID_ARGUMENT or ONDARA_OPEN_BRIDGE_FAILED.
 * Open it where it is first needed rather than when a host merely loads the plug-in. [handle-thread] */
ONDARA_API OndaraStatus ONDARA_CALL ondara_mic_open(const uint16_t* name, size_t name_len, OndaraMicPublisher** out);

/* Publishes two levels in dB, clamped to [-120, 6], unless another writer refreshed the block within the
 * last 300 ms, or stamped it at most 300 ms ahead of this clock (then nothing is written and ONDARA_OK
 * is returned all the same); a stamp further ahead holds nobody back. Returns ONDARA_OK,
 * ONDARA_NULL_POINTER (checked first) or ONDARA_INVALID_ARGUMENT (a level is NaN or infinite; the block
 * is untouched). Silence has no level in dB: 20 log10(0) is -infinity, which is refused, and the
 * companion's meter then keeps the last level; pass -120 (or floor the level) instead. Allocates
 * nothing, takes no lock and never waits; reads the wall clock twice. [audio-thread, reads the clock] */
ONDARA_API OndaraStatus ONDARA_CALL ondara_mic_publish(OndaraMicPublisher* handle, float level_a, float level_b);

/* Closes the block and releases the handle; the block keeps its last values. Accepts NULL.
 * [handle-thread] */
ONDARA_API void ONDARA_CALL ondara_mic_free(OndaraMicPublisher* handle);

/* ---- mode ------------------------------------------------------------------------------------- */

/* Creates the mode control block `name`, or resets it when it exists and can be created again: a second
 * open of an existing mode block, also one another instance or the companion uses, puts it back to no
 * request, applied mode 0, volumes 1.0 and no flags, until the companion writes its state again. An
 * existing segment that holds another kind of block (the audio ring, a mic block) is never written:
 * the open fails with ONDARA_OPEN_BRIDGE_FAILED. An existing block is opened and validated as it is
 * only when creating fails. Returns ONDARA_OK, ONDARA_NULL_POINTER, ONDARA_INVALID_ARGUMENT or
 * ONDARA_OPEN_BRIDGE_FAILED. Open it where it is first needed rather than when a host merely loads the
 * plug-in. [handle-thread] */
ONDARA_API OndaraStatus ONDARA_CALL ondara_mode_open(const uint16_t* name, size_t name_len, OndaraModeControl** out);

/* Requests mode 0..3 from the companion; never waits for it. Returns ONDARA_OK, ONDARA_NULL_POINTER or
 * ONDARA_INVALID_ARGUMENT (any other mode; the block is untouched). Request a mode when the user picks
 * one, not for a default at start-up, which would override what the companion applied for a running
 * session. Allocates nothing, takes no lock and never waits; reads the wall clock once.
 * [audio-thread, reads the clock] */
ONDARA_API OndaraStatus ONDARA_CALL ondara_mode_request(OndaraModeControl* handle, int32_t mode);

/* The mode the companion reports as applied, 0..3, or -1 (also for a null handle, or a value outside
 * 0..3). A fresh or reset block reads 0 until the companion has answered: 0 does not mean that the
 * companion applied mode 0. [audio-thread] */
ONDARA_API int32_t ONDARA_CALL ondara_mode_applied(OndaraModeControl* handle);

/* Copies the four mixer volumes into out[0..3] unchanged (1.0 each in a fresh block; any float the
 * companion wrote, also outside 0..1). Returns ONDARA_OK or ONDARA_NULL_POINTER (handle or out null;
 * nothing written). [audio-thread] */
ONDARA_API OndaraStatus ONDARA_CALL ondara_mode_mixer_volumes(OndaraModeControl* handle, float* out);

/* 1 when the companion reports its VST3 bridge active, else 0 (also for a null handle). [audio-thread] */
ONDARA_API uint32_t ONDARA_CALL ondara_mode_vst3_bridge_active(OndaraModeControl* handle);

/* Closes the block and releases the handle; the block is left as it is. Accepts NULL. [handle-thread] */
ONDARA_API void ONDARA_CALL ondara_mode_free(OndaraModeControl* handle);

/* ---- function pointer types ------------------------------------------------------------------ */

/* One type per function above, for a program that takes the functions from a library it loads itself
 * (ondara_loader.h does): OndaraReceiverOpenFn for ondara_receiver_open, and so on. */
#define ONDARA_FUNCTION_TYPE_(member, Type, Return, Parameters) typedef Return(ONDARA_CALL* Type) Parameters;
ONDARA_FUNCTIONS(ONDARA_FUNCTION_TYPE_)
#undef ONDARA_FUNCTION_TYPE_

#ifdef __cplusplus
}
#endif

#endif /* ONDARA_H */
