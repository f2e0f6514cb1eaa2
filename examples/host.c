/*
 * ondara-example-host: a plug-in host's use of ondara, in plain C, without a real audio device.
 *
 *   ondara-example-host RING MIC MODE [--seconds S] [--mode M]
 *
 * It opens a mode handle, a mic publisher and a receiver on the three names, runs a simulated audio
 * loop (256-frame blocks, one block period of sleep each), publishes the levels of what it rendered as
 * the two mic levels, requests mode M, and prints what comes back. Then it frees the three handles.
 *
 * The calling order is the same for each family: *_open gives a handle (and always writes *out), any
 * number of calls use it, *_free ends it. In a real plug-in the opens and frees run on the host's
 * main thread, ondara_receiver_process and the mode readers on the audio thread.
 *
 * Try it against the stand-in companion:
 *   ondara-companion serve-mode demo-mode --volumes 0.5,0.5,1,1 --bridge on &
 *   ondara-companion play demo-ring --seconds 10 &
 *   ondara-example-host demo-ring demo-mic demo-mode
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* clock_gettime, nanosleep */
#endif

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ondara.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

#define BLOCK_FRAMES 256
#define MAX_NAME 200
#define RETRY_MS 250.0 /* how often a missing ring is looked for again */
/* The ring's sample rate is the companion's word: it paces this host only inside this range. A rate
 * of 1 would otherwise mean 256 s per block, and a huge one a loop that never sleeps. */
#define MIN_PACING_RATE 8000u
#define MAX_PACING_RATE 768000u
/* Every value printed here comes from the other process, so each line's buffer holds the longest text
 * its values can make: "%.2f" of -FLT_MAX is 43 characters, a name MAX_NAME. */
#define FLOAT_TEXT_MAX 48
#define LINE_MAX_CHARS (MAX_NAME + 4 * FLOAT_TEXT_MAX + 128)

/* ---- what a plug-in gets from its host: a clock, and somewhere to print ---------------------- */

static double now_ms(void) {
#if defined(_WIN32)
    LARGE_INTEGER freq, t;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)freq.QuadPart;
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1000.0 + (double)ts.tv_nsec / 1.0e6;
#endif
}

/* Pacing by deadline rather than by fixed sleeps keeps the average block rate right even where a
 * sleep overshoots (Windows' Sleep can round up to its 15.6 ms timer tick); blocks then come in small
 * bursts, as they do from many real audio drivers. */
static void sleep_until(double deadline_ms) {
    const double wait = deadline_ms - now_ms();
    if (wait <= 0.0) return;
#if defined(_WIN32)
    Sleep((DWORD)wait);
#else
    {
        struct timespec ts;
        ts.tv_sec = (time_t)(wait / 1000.0);
        ts.tv_nsec = (long)((wait - (double)ts.tv_sec * 1000.0) * 1.0e6);
        nanosleep(&ts, NULL);
    }
#endif
}

static unsigned long process_id(void) {
#if defined(_WIN32)
    return (unsigned long)GetCurrentProcessId();
#else
    return (unsigned long)getpid();
#endif
}

/* Output goes to a file or a pipe in tests: flush every line so it is there at once. */
static void say(const char* line) {
    fputs(line, stdout);
    fflush(stdout);
}

/* ---- names: ondara takes UTF-16 code units with a count ---------------------------------------- */

/* ASCII names widen unit by unit; anything else would need a real UTF-8 to UTF-16 conversion. */
static int to_utf16(const char* name, uint16_t* out, size_t* len) {
    size_t i, n = strlen(name);
    if (n == 0 || n > MAX_NAME) return 0;
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)name[i];
        if (c >= 0x80) return 0;
        out[i] = c;
    }
    *len = n;
    return 1;
}

/* ---- levels ------------------------------------------------------------------------------------ */

static float level_db(const float* samples, size_t n) {
    double sum = 0.0;
    size_t i;
    for (i = 0; i < n; ++i) sum += (double)samples[i] * samples[i];
    if (sum <= 0.0) return -120.0f; /* silence: the bottom of the mic block's range */
    return (float)(10.0 * log10(sum / (double)n));
}

static void print_mode(const char* what, OndaraModeControl* mode) {
    float v[4] = {0, 0, 0, 0};
    char line[LINE_MAX_CHARS];
    ondara_mode_mixer_volumes(mode, v);
    snprintf(line, sizeof line, "host: %s applied_mode=%d volumes=%.2f,%.2f,%.2f,%.2f bridge=%u\n", what,
             (int)ondara_mode_applied(mode), v[0], v[1], v[2], v[3], (unsigned)ondara_mode_vst3_bridge_active(mode));
    say(line);
}

static int usage(const char* why) {
    if (why != NULL) fprintf(stderr, "ondara-example-host: %s\n", why);
    fprintf(stderr, "usage: ondara-example-host RING MIC MODE [--seconds S] [--mode M]\n");
    return 2;
}

int main(int argc, char** argv) {
    const char* names[3] = {NULL, NULL, NULL};
    uint16_t ring_name[MAX_NAME], mic_name[MAX_NAME], mode_name[MAX_NAME];
    size_t ring_len = 0, mic_len = 0, mode_len = 0;
    double seconds = 3.0;
    int requested = 2, positional = 0, rate_refused = 0, i;
    char line[LINE_MAX_CHARS];

    OndaraReceiver* receiver = NULL;
    OndaraMicPublisher* mic = NULL;
    OndaraModeControl* mode = NULL;
    OndaraStatus st, last_open_status = ONDARA_OK;

    static float left[BLOCK_FRAMES], right[BLOCK_FRAMES];
    OndaraOutputBus bus;
    OndaraProcessResult res;
    unsigned long long blocks, total_blocks, rendered = 0, ring_frames = 0, silent = 0;
    float level_a = -120.0f, level_b = -120.0f;
    int32_t applied_seen = -2;
    double block_ms, start, next_block, next_retry;
    uint32_t rate = 48000;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(NULL);
            return 0;
        } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            char* end = NULL;
            seconds = strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(seconds > 0.0 && seconds <= 3600.0)) {
                return usage("--seconds wants a number of seconds from 0 to 3600");
            }
        } else if (strcmp(argv[i], "--mode") == 0 && i + 1 < argc) {
            char* end = NULL;
            const long m = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || m < 0 || m > 3) return usage("--mode wants 0, 1, 2 or 3");
            requested = (int)m;
        } else if (argv[i][0] == '-') {
            return usage("unknown option");
        } else if (positional < 3) {
            names[positional++] = argv[i];
        } else {
            return usage("too many names");
        }
    }
    if (positional != 3) return usage("needs three names");
    if (!to_utf16(names[0], ring_name, &ring_len) || !to_utf16(names[1], mic_name, &mic_len) ||
        !to_utf16(names[2], mode_name, &mode_len)) {
        return usage("names are 1 to 200 ASCII characters");
    }
    snprintf(line, sizeof line, "host: pid %lu\n", process_id());
    say(line);

    /* 1. Open. The mic and mode opens create their block, or reset it when it is already there. */
    st = ondara_mode_open(mode_name, mode_len, &mode);
    snprintf(line, sizeof line, "host: ondara_mode_open(%s): %s\n", names[2], ondara_receiver_status_message(st));
    say(line);
    st = ondara_mic_open(mic_name, mic_len, &mic);
    snprintf(line, sizeof line, "host: ondara_mic_open(%s): %s\n", names[1], ondara_receiver_status_message(st));
    say(line);
    if (mode == NULL || mic == NULL) {
        ondara_mic_free(mic); /* both accept NULL */
        ondara_mode_free(mode);
        return 1;
    }

    /* 2. Use. A request never waits: the companion answers in its own time, seen through the readers. */
    st = ondara_mode_request(mode, requested);
    snprintf(line, sizeof line, "host: ondara_mode_request(%d): %s\n", requested, ondara_receiver_status_message(st));
    say(line);

    bus.left = left;
    bus.right = right;
    bus.length = BLOCK_FRAMES;
    block_ms = 1000.0 * BLOCK_FRAMES / rate;
    total_blocks = (unsigned long long)(seconds * 1000.0 / block_ms + 0.5);
    start = now_ms();
    next_block = start;
    next_retry = start;

    for (blocks = 0; blocks < total_blocks; ++blocks) {
        /* The ring is the companion's; until it exists, look for it a few times a second. A real
         * plug-in does this on its main thread, never in the audio callback. */
        if (receiver == NULL && now_ms() >= next_retry) {
            st = ondara_receiver_open(ring_name, ring_len, BLOCK_FRAMES, 0, &receiver);
            if (st != last_open_status || st == ONDARA_OK) {
                snprintf(line, sizeof line, "host: ondara_receiver_open(%s): %s\n", names[0],
                         ondara_receiver_status_message(st));
                say(line);
            }
            last_open_status = st;
            next_retry = now_ms() + RETRY_MS;
        }

        /* The audio callback: render, then meter what was rendered. */
        if (receiver != NULL) {
            ondara_receiver_process(receiver, &bus, 1, BLOCK_FRAMES, &res);
            rendered += res.rendered_frames;
            ring_frames += res.ring_frames;
            silent += res.silent_frames;
            /* A real host runs at its own rate; this one follows the ring's, when it is a rate at all. */
            if (res.sample_rate >= MIN_PACING_RATE && res.sample_rate <= MAX_PACING_RATE) {
                if (res.sample_rate != rate) {
                    rate = res.sample_rate;
                    block_ms = 1000.0 * BLOCK_FRAMES / rate;
                }
            } else if (res.sample_rate != 0 && !rate_refused) {
                rate_refused = 1; /* said once: the ring reports its rate with every block */
                snprintf(line, sizeof line,
                         "host: the ring says %lu Hz; pacing stays at %lu Hz (%u to %u Hz are followed)\n",
                         (unsigned long)res.sample_rate, (unsigned long)rate, MIN_PACING_RATE, MAX_PACING_RATE);
                say(line);
            }
        } else {
            memset(left, 0, sizeof left);
            memset(right, 0, sizeof right);
            rendered += BLOCK_FRAMES;
            silent += BLOCK_FRAMES;
        }
        level_a = level_db(left, BLOCK_FRAMES);
        level_b = level_db(right, BLOCK_FRAMES);
        ondara_mic_publish(mic, level_a, level_b);

        if (ondara_mode_applied(mode) != applied_seen) {
            applied_seen = ondara_mode_applied(mode);
            print_mode("now", mode);
        }

        next_block += block_ms;
        sleep_until(next_block);
    }

    snprintf(line, sizeof line, "host: rendered_frames=%llu ring_frames=%llu silent_frames=%llu blocks=%llu\n",
             rendered, ring_frames, silent, blocks);
    say(line);
    snprintf(line, sizeof line, "host: last levels %.1f dB, %.1f dB\n", level_a, level_b);
    say(line);
    print_mode("final", mode);

    /* 3. Free, in any order; each leaves its segment as it is. */
    ondara_receiver_free(receiver);
    ondara_mic_free(mic);
    ondara_mode_free(mode);
    return 0;
}
