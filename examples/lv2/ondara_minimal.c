/*
 * ondara-minimal: the shortest LV2 plug-in that uses all three ondara families. Read it to see where
 * each call goes in a plug-in's life; ondara_receiver.c is the full version, which also survives a
 * companion that restarts, renames from the host, a saved session and hosts without a worker.
 *
 * LV2 sorts a plug-in's functions into threading classes: the Instantiation class (instantiate,
 * activate, deactivate, cleanup) never runs at the same time as anything else of the instance; the
 * Audio class (run, work_response) runs on the audio thread, which must not wait, lock, allocate or
 * make a system call; the worker's work() runs on a thread of the host's own, where all of that is
 * allowed. So: opens and frees in the Instantiation class or the worker, everything else in run().
 */
#define _POSIX_C_SOURCE 200809L

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "ondara.h"

#define MINIMAL_URI "urn:ondara:minimal"

enum { PORT_OUT_L, PORT_OUT_R, PORT_IN_L, PORT_IN_R, PORT_MODE, PORT_APPLIED_MODE };

#define MAX_FRAMES 4096 /* the longest piece one ondara_receiver_process call renders */

/* ondara takes segment names as UTF-16; these names come from the environment, as plain ASCII. */
typedef struct {
    uint16_t units[64];
    size_t len;
} Name;

typedef struct {
    float* out[2];
    const float* in[2];
    const float* mode;
    float* applied_mode;
    LV2_Worker_Schedule* schedule;

    Name ring_name, mic_name, mode_name;
    OndaraReceiver* receiver; /* NULL until the worker has opened the ring */
    OndaraMicPublisher* mic;
    OndaraModeControl* mode_control;

    uint32_t look_window, look_frames; /* frames between two looks for the ring */
    int looking;                       /* an open is with the worker */
    uint32_t meter_window, meter_frames;
    float peak[2];
    float mode_seen; /* the mode control at the last run(): a request goes out when it moves */
    int running;     /* run() has run since activate() */
} Minimal;

static int name_from_env(Name* name, const char* variable, const char* fallback) {
    const char* text = getenv(variable);
    size_t i;
    if (text == NULL || text[0] == '\0') text = fallback;
    for (i = 0; text[i] != '\0'; ++i) {
        if (i == sizeof name->units / sizeof name->units[0] || (unsigned char)text[i] > 0x7F) return 0;
        name->units[i] = (uint16_t)(unsigned char)text[i];
    }
    name->len = i;
    return 1;
}

/* Instantiation class. Opens nothing: a host may instantiate a plug-in only to look at it. */
static LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char* bundle_path,
                              const LV2_Feature* const* features) {
    Minimal* self = (Minimal*)calloc(1, sizeof(Minimal));
    (void)descriptor;
    (void)bundle_path;
    if (self == NULL) return NULL;
    /* The worker is required (lv2:requiredFeature): the ring is opened there, off the audio thread. */
    if (lv2_features_query(features, LV2_WORKER__schedule, &self->schedule, true, NULL) != NULL ||
        !(rate > 0.0 && rate < 1.0e7) || !name_from_env(&self->ring_name, "ONDARA_RING", "ondara-ring") ||
        !name_from_env(&self->mic_name, "ONDARA_MIC", "ondara-mic") ||
        !name_from_env(&self->mode_name, "ONDARA_MODE", "ondara-mode")) {
        free(self);
        return NULL;
    }
    self->look_window = (uint32_t)(rate / 4);   /* look for the ring every 0.25 s */
    self->meter_window = (uint32_t)(rate / 20); /* publish the mic levels every 50 ms */
    return (LV2_Handle)self;
}

/* Instantiation class (hosts also call it between runs). */
static void connect_port(LV2_Handle instance, uint32_t port, void* data) {
    Minimal* self = (Minimal*)instance;
    switch (port) {
        case PORT_OUT_L: self->out[0] = (float*)data; break;
        case PORT_OUT_R: self->out[1] = (float*)data; break;
        case PORT_IN_L: self->in[0] = (const float*)data; break;
        case PORT_IN_R: self->in[1] = (const float*)data; break;
        case PORT_MODE: self->mode = (const float*)data; break;
        case PORT_APPLIED_MODE: self->applied_mode = (float*)data; break;
        default: break;
    }
}

/* Instantiation class: opens the mic and mode blocks (which creates them, or resets them when they
 * exist). The ring is opened by the worker at the first run(), so that it starts no further behind
 * the companion than ondara_receiver_open puts it, plus the block or two the worker's answer takes,
 * however long the host waits before running. */
static void activate(LV2_Handle instance) {
    Minimal* self = (Minimal*)instance;
    if (self->mic == NULL) ondara_mic_open(self->mic_name.units, self->mic_name.len, &self->mic);
    if (self->mode_control == NULL) ondara_mode_open(self->mode_name.units, self->mode_name.len, &self->mode_control);
    self->look_frames = self->look_window; /* look at once */
    self->running = 0;
}

static float level_db(float peak) { return peak > 0.0f ? 20.0f * log10f(peak) : -120.0f; }

/* Audio class: no waiting, locking, allocation or system call, and none in the ondara calls here. */
static void run(LV2_Handle instance, uint32_t n) {
    Minimal* self = (Minimal*)instance;
    uint32_t done = 0, i;
    int c;

    /* The inputs' peaks first: a host may give the same buffer as an input and an output. */
    for (c = 0; c < 2; ++c) {
        for (i = 0; i < n; ++i) self->peak[c] = fmaxf(self->peak[c], fabsf(self->in[c][i]));
    }
    self->meter_frames += n;
    if (self->mic != NULL && self->meter_frames >= self->meter_window) {
        ondara_mic_publish(self->mic, level_db(self->peak[0]), level_db(self->peak[1]));
        self->peak[0] = self->peak[1] = 0.0f;
        self->meter_frames = 0;
    }

    /* The ring into the outputs, in pieces no longer than the receiver was opened for. */
    while (done < n) {
        const uint32_t frames = n - done < MAX_FRAMES ? n - done : MAX_FRAMES;
        OndaraOutputBus bus = {self->out[0] + done, self->out[1] + done, frames};
        if (self->receiver == NULL || ondara_receiver_process(self->receiver, &bus, 1, frames, NULL) != ONDARA_OK) {
            memset(bus.left, 0, sizeof(float) * frames);
            memset(bus.right, 0, sizeof(float) * frames);
        }
        done += frames;
    }
    if (self->receiver == NULL && !self->looking && (self->look_frames += n) >= self->look_window) {
        self->look_frames = 0;
        self->looking = 1; /* before schedule_work: a host may answer inside it */
        if (self->schedule->schedule_work(self->schedule->handle, 0, NULL) != LV2_WORKER_SUCCESS) self->looking = 0;
    }

    /* A mode request when the control moves, not for the value it starts with (another instance
     * starting up must not override what the companion applied); the applied mode is what the
     * companion reports. */
    if (self->mode_control != NULL) {
        if (self->running && *self->mode != self->mode_seen && *self->mode >= 0.0f && *self->mode <= 3.0f) {
            ondara_mode_request(self->mode_control, (int32_t)lrintf(*self->mode));
        }
        *self->applied_mode = (float)ondara_mode_applied(self->mode_control);
    } else {
        *self->applied_mode = -1.0f;
    }
    self->mode_seen = *self->mode;
    self->running = 1;
}

/* The worker's thread: opening maps memory, which the audio thread must not do. */
static LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                              uint32_t size, const void* data) {
    Minimal* self = (Minimal*)instance;
    OndaraReceiver* receiver = NULL;
    (void)size;
    (void)data;
    /* Fails while the companion has not created the ring: the answer is NULL, and run() looks again. */
    ondara_receiver_open(self->ring_name.units, self->ring_name.len, MAX_FRAMES, 0, &receiver);
    if (respond(handle, sizeof receiver, &receiver) != LV2_WORKER_SUCCESS) {
        ondara_receiver_free(receiver);
        return LV2_WORKER_ERR_NO_SPACE; /* the host lost it: this plug-in stops looking (the full one asks again) */
    }
    return LV2_WORKER_SUCCESS;
}

/* Audio class, after run(): the worker's answer. */
static LV2_Worker_Status work_response(LV2_Handle instance, uint32_t size, const void* data) {
    Minimal* self = (Minimal*)instance;
    if (size != sizeof(OndaraReceiver*)) return LV2_WORKER_ERR_UNKNOWN;
    memcpy(&self->receiver, data, sizeof self->receiver);
    self->looking = 0;
    return LV2_WORKER_SUCCESS;
}

/* Instantiation class. The handles are kept, and the next activation goes on with them: the receiver
 * then plays on from where it stopped, as far behind as the pause was long, up to a whole ring (the
 * full plug-in frees the ring here and opens it afresh). */
static void deactivate(LV2_Handle instance) { (void)instance; }

/* Instantiation class: frees what activate and the worker opened (ondara's frees accept NULL). */
static void cleanup(LV2_Handle instance) {
    Minimal* self = (Minimal*)instance;
    ondara_receiver_free(self->receiver);
    ondara_mic_free(self->mic);
    ondara_mode_free(self->mode_control);
    free(self);
}

/* Any thread. */
static const void* extension_data(const char* uri) {
    static const LV2_Worker_Interface worker = {work, work_response, NULL};
    return strcmp(uri, LV2_WORKER__interface) == 0 ? &worker : NULL;
}

static const LV2_Descriptor descriptor = {MINIMAL_URI, instantiate, connect_port, activate,
                                          run, deactivate, cleanup, extension_data};

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) { return index == 0 ? &descriptor : NULL; }
