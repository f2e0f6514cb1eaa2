/*
 * A plug-in as its host sees it: a DLL (or shared object) with one exported entry, built here in the
 * three ways a plug-in can use the library:
 *   PLUGIN_LOADER defined   the functions come from ondara_api_load, which loads the library from the
 *                           plug-in's own folder, or from the folder in PLUGIN_LIBRARY_DIR (UTF-8)
 *                           when that is set;
 *   otherwise               the functions are called directly, and the build links either the static
 *                           archive (nothing else to ship) or the shared library's import library.
 *
 * plugin_run opens a receiver on the ring the companion plays into and renders blocks until one holds
 * ring audio, publishes two mic levels and requests a mode, frees everything and describes what it
 * did in `report`. Valid C99 and C++ (plugin_cxx.cpp compiles it as C++).
 */
#if !defined(_WIN32) && !defined(__cplusplus)
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ondara.h"
#ifdef PLUGIN_LOADER
#include "ondara_loader.h"
#endif

#if defined(_WIN32)
#include <windows.h>
#define PLUGIN_EXPORT __declspec(dllexport)
#else
#include <time.h>
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The levels and the mode the test looks for in the segments afterwards. */
#define PLUGIN_LEVEL_A (-6.5f)
#define PLUGIN_LEVEL_B (-18.25f)
#define PLUGIN_MODE 2
#define PLUGIN_FRAMES 256
/* Blocks of 10 ms of waiting for the companion's first frames: a minute at most, which a loaded
 * machine never needs, and a hang is reported rather than waited out by the test. */
#define PLUGIN_ATTEMPTS 6000

#ifdef PLUGIN_LOADER
static OndaraApi api;
#define CALL(function) api.function
#else
#define CALL(function) ondara_##function
#endif

static void pause_10ms(void) {
#if defined(_WIN32)
    Sleep(10);
#else
    struct timespec t;
    t.tv_sec = 0;
    t.tv_nsec = 10000000L;
    nanosleep(&t, NULL);
#endif
}

/* ASCII to UTF-16, as a host would pass the names it was configured with. */
static size_t utf16(const char* text, uint16_t* out, size_t capacity) {
    size_t n = 0;
    while (text[n] != '\0' && n < capacity) {
        out[n] = (uint16_t)(unsigned char)text[n];
        ++n;
    }
    return n;
}

static int fail(char* report, size_t size, int code, const char* what, OndaraStatus status) {
    snprintf(report, size, "plugin: %s: %s", what, CALL(receiver_status_message)(status));
    return code;
}

static int run(const char* ring, const char* mic, const char* mode, char* report, size_t size) {
    uint16_t name[128];
    size_t len;
    OndaraReceiver* receiver = NULL;
    OndaraMicPublisher* publisher = NULL;
    OndaraModeControl* control = NULL;
    OndaraProcessResult result;
    float left[PLUGIN_FRAMES], right[PLUGIN_FRAMES];
    OndaraOutputBus bus;
    OndaraStatus st;
    float peak = 0.0f;
    int attempt, i;

    len = utf16(ring, name, sizeof name / sizeof name[0]);
    st = CALL(receiver_open)(name, len, PLUGIN_FRAMES, 0, &receiver);
    if (st != ONDARA_OK) return fail(report, size, 20, "ondara_receiver_open", st);
    bus.left = left;
    bus.right = right;
    bus.length = PLUGIN_FRAMES;
    memset(&result, 0, sizeof result);
    for (attempt = 0; attempt < PLUGIN_ATTEMPTS; ++attempt) {
        st = CALL(receiver_process)(receiver, &bus, 1, PLUGIN_FRAMES, &result);
        if (st != ONDARA_OK || result.ring_frames > 0) break;
        pause_10ms();
    }
    CALL(receiver_free)(receiver);
    if (st != ONDARA_OK) return fail(report, size, 21, "ondara_receiver_process", st);
    if (result.ring_frames == 0) {
        snprintf(report, size, "plugin: no ring audio after %d blocks", PLUGIN_ATTEMPTS);
        return 22;
    }
    for (i = 0; i < (int)result.rendered_frames; ++i) {
        if (left[i] > peak) peak = left[i];
        if (right[i] > peak) peak = right[i];
    }

    len = utf16(mic, name, sizeof name / sizeof name[0]);
    st = CALL(mic_open)(name, len, &publisher);
    if (st != ONDARA_OK) return fail(report, size, 23, "ondara_mic_open", st);
    st = CALL(mic_publish)(publisher, PLUGIN_LEVEL_A, PLUGIN_LEVEL_B);
    CALL(mic_free)(publisher);
    if (st != ONDARA_OK) return fail(report, size, 24, "ondara_mic_publish", st);

    len = utf16(mode, name, sizeof name / sizeof name[0]);
    st = CALL(mode_open)(name, len, &control);
    if (st != ONDARA_OK) return fail(report, size, 25, "ondara_mode_open", st);
    st = CALL(mode_request)(control, PLUGIN_MODE);
    CALL(mode_free)(control);
    if (st != ONDARA_OK) return fail(report, size, 26, "ondara_mode_request", st);

    snprintf(report, size,
             "plugin: rendered %u frames, %u from the ring (%u channels at %u Hz), peak %.3f; published mic "
             "levels; requested mode %d",
             (unsigned)result.rendered_frames, (unsigned)result.ring_frames, (unsigned)result.channels,
             (unsigned)result.sample_rate, (double)peak, PLUGIN_MODE);
    return 0;
}

/* Returns 0 when every call did what it should; `report` says what happened either way. */
PLUGIN_EXPORT int plugin_run(const char* ring, const char* mic, const char* mode, char* report, size_t size);

#ifdef PLUGIN_LOADER
/* PLUGIN_LIBRARY_DIR, with two stand-ins for what an environment cannot carry everywhere. */
static const char* library_dir(void) {
    const char* dir = getenv("PLUGIN_LIBRARY_DIR");
    if (dir != NULL && strcmp(dir, "(empty)") == 0) return "";
    if (dir != NULL && strcmp(dir, "(invalid)") == 0) return "\xC3\x28";
    return dir;
}

/* Whether the first `n` bytes of a table are 0, as they are after a failed load or an unload. */
static int zero(const OndaraApi* table, size_t n) {
    size_t i;
    for (i = 0; i < n; ++i) {
        if (((const unsigned char*)table)[i] != 0) return 0;
    }
    return 1;
}
#endif

PLUGIN_EXPORT int plugin_run(const char* ring, const char* mic, const char* mode, char* report, size_t size) {
#ifdef PLUGIN_LOADER
    static OndaraApi other, kept;
    OndaraLoadStatus loaded = ondara_api_load(&api, library_dir());
    int code;
    size_t used;
    if (loaded != ONDARA_LOAD_OK) {
        snprintf(report, size,
                 "plugin: ondara_api_load: status %u, os error %lu: %s\nplugin: missing %s, functions %s, message "
                 "of %u bytes",
                 (unsigned)loaded, api.os_error, api.message,
                 api.missing_function != NULL ? api.missing_function : "none",
                 zero(&api, offsetof(OndaraApi, library)) ? "all NULL" : "left", (unsigned)strlen(api.message));
        return 10 + (int)loaded;
    }
    /* A second load of a loaded table is refused and changes nothing; a second table unloaded twice
     * gives back only its own reference (run() calls through the first one afterwards). */
    memcpy(&kept, &api, sizeof api);
    loaded = ondara_api_load(&api, library_dir());
    if (loaded != ONDARA_LOAD_INVALID_ARGUMENT || memcmp(&kept, &api, sizeof api) != 0) {
        snprintf(report, size, "plugin: a second load on the table returned %u", (unsigned)loaded);
        return 30;
    }
    if (ondara_api_load(&other, library_dir()) != ONDARA_LOAD_OK) return 31;
    ondara_api_unload(&other);
    ondara_api_unload(&other);
    code = run(ring, mic, mode, report, size);
    used = strlen(report);
    snprintf(report + used, size - used, "\nplugin: %s", api.message);
    ondara_api_unload(&api);
    if (!zero(&api, sizeof api) || !zero(&other, sizeof other)) return 32;
    return code;
#else
    return run(ring, mic, mode, report, size);
#endif
}

/* Publishers that stay open, for a host that holds several plug-ins at once (host.c --share). With
 * the loader the library is loaded by the first open and given back by the last free. */
static int kept_publishers;

PLUGIN_EXPORT void* plugin_mic_open(const char* mic);
PLUGIN_EXPORT int plugin_mic_publish(void* publisher, float level);
PLUGIN_EXPORT void plugin_mic_free(void* publisher);

PLUGIN_EXPORT void* plugin_mic_open(const char* mic) {
    uint16_t name[128];
    OndaraMicPublisher* publisher = NULL;
#ifdef PLUGIN_LOADER
    if (kept_publishers == 0 && ondara_api_load(&api, library_dir()) != ONDARA_LOAD_OK) return NULL;
#endif
    if (CALL(mic_open)(name, utf16(mic, name, sizeof name / sizeof name[0]), &publisher) == ONDARA_OK) {
        ++kept_publishers;
    }
#ifdef PLUGIN_LOADER
    if (kept_publishers == 0) ondara_api_unload(&api);
#endif
    return publisher;
}

PLUGIN_EXPORT int plugin_mic_publish(void* publisher, float level) {
    return (int)CALL(mic_publish)((OndaraMicPublisher*)publisher, level, level);
}

PLUGIN_EXPORT void plugin_mic_free(void* publisher) {
    CALL(mic_free)((OndaraMicPublisher*)publisher);
#ifdef PLUGIN_LOADER
    if (--kept_publishers == 0) ondara_api_unload(&api);
#else
    --kept_publishers;
#endif
}

#ifdef __cplusplus
}
#endif
