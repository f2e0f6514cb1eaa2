/*
 * ondara-receiver: an LV2 plug-in that plays the companion's audio ring and talks to the companion
 * through the mic and mode blocks. It is meant to be read and copied: every ondara call sits where a
 * plug-in in any format (LV2, VST3, CLAP) would put it.
 *
 *   instantiate   reads the segment names from the environment, opens the mic and mode blocks and
 *                 tries the ring (the companion may not be running yet)
 *   activate      tries the ring again if it is still missing
 *   run           the audio callback: renders the ring into the outputs, meters the inputs and
 *                 publishes their peaks every 50 ms, requests the mode when the control changed,
 *                 and copies what the companion applied to the control outputs
 *   work          (the host's worker thread, if it has one) opens the ring while it is missing, so
 *                 a companion started after the plug-in is picked up without reloading
 *   deactivate    frees the ring; the next activation opens it afresh
 *   cleanup       frees everything that is left
 *
 * Two URIs share this file: urn:ondara:receiver (one stereo output, ring channels 0 and 1) and
 * urn:ondara:receiver-multibus (three stereo outputs, ring channels 2k and 2k+1 on output k).
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "ondara.h"

#define RECEIVER_URI "urn:ondara:receiver"
#define MULTIBUS_URI "urn:ondara:receiver-multibus"

/* Port indices, as in ondara-receiver.ttl. The multi-bus plug-in adds ports 12 to 15. */
enum {
    PORT_OUT_L = 0,
    PORT_OUT_R = 1,
    PORT_IN_L = 2,
    PORT_IN_R = 3,
    PORT_MODE = 4,
    PORT_APPLIED_MODE = 5,
    PORT_VOLUME_1 = 6, /* ... PORT_VOLUME_1 + 3 */
    PORT_BRIDGE = 10,
    PORT_RING_FRAMES = 11,
    PORT_OUT2_L = 12,
    PORT_OUT2_R = 13,
    PORT_OUT3_L = 14,
    PORT_OUT3_R = 15
};

#define MAX_BUSES 3
#define MAX_NAME_UNITS 256
/* The receiver's work buffer is sized for this many frames; longer host blocks are rendered in
 * pieces, so the plug-in needs no promise about the host's block size. */
#define CHUNK_FRAMES 2048
#define METER_SECONDS 0.05     /* the mic levels are the peaks of the last 50 ms of input */
#define RETRY_SECONDS 0.25     /* how often the worker looks for a missing ring */
#define FLOOR_DB (-120.0f)     /* the bottom of the mic block's range: silence */

typedef struct {
    uint16_t units[MAX_NAME_UNITS];
    size_t len;
    char text[4 * MAX_NAME_UNITS]; /* as given, for messages */
} SegmentName;

/* The one message the audio thread sends to the worker, and the one it gets back. Both are copied by
 * the host, so they carry plain values. */
typedef struct {
    OndaraReceiver* to_free; /* NULL: open the ring; else a receiver the audio thread hands back */
} WorkRequest;
typedef struct {
    OndaraReceiver* receiver; /* NULL: still no ring */
} WorkResponse;

typedef struct {
    /* Ports, connected by the host. */
    float* out[MAX_BUSES][2];
    const float* in[2];
    const float* mode;
    float* applied_mode;
    float* volume[4];
    float* bridge;
    float* ring_frames;

    /* What the host offers. */
    LV2_Log_Logger logger;
    LV2_Worker_Schedule* schedule; /* NULL: the ring is looked for only in instantiate and activate */

    /* Fixed at instantiation. */
    int multi_bus;
    uint32_t bus_count;
    SegmentName ring_name, mic_name, mode_name;
    uint32_t meter_window;  /* frames per published level */
    uint32_t retry_window;  /* frames between looks for a missing ring */

    /* The handles. The receiver belongs to the audio thread once opened (the worker only opens it and
     * hands it over); the mic and mode handles are used by the audio thread only, between the opens
     * in instantiate and the frees in cleanup. */
    OndaraReceiver* receiver;
    OndaraMicPublisher* mic;
    OndaraModeControl* mode_control;

    /* Audio-thread state. */
    int32_t requested;          /* the mode last requested; -1 before the first */
    float peak[2];
    uint32_t meter_frames;
    uint32_t retry_frames;
    int open_pending;           /* a ring open is with the worker */
} Receiver;

/* ---- names ------------------------------------------------------------------------------------- */

/* UTF-8 to the UTF-16 code units ondara takes. 0 for malformed or overlong input, or a name too long. */
static int utf8_to_utf16(const char* s, uint16_t* out, size_t cap, size_t* len) {
    const unsigned char* p = (const unsigned char*)s;
    size_t n = 0;
    while (*p != 0) {
        uint32_t cp, min;
        int more, i;
        if (*p < 0x80) { cp = *p; more = 0; min = 0; }
        else if ((*p & 0xE0) == 0xC0) { cp = *p & 0x1F; more = 1; min = 0x80; }
        else if ((*p & 0xF0) == 0xE0) { cp = *p & 0x0F; more = 2; min = 0x800; }
        else if ((*p & 0xF8) == 0xF0) { cp = *p & 0x07; more = 3; min = 0x10000; }
        else return 0;
        ++p;
        for (i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return 0;
            cp = (cp << 6) | (*p & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
        if (n + (cp >= 0x10000 ? 2 : 1) > cap) return 0;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[n++] = (uint16_t)(0xD800 | (cp >> 10));
            out[n++] = (uint16_t)(0xDC00 | (cp & 0x3FF));
        } else {
            out[n++] = (uint16_t)cp;
        }
    }
    *len = n;
    return n > 0;
}

/* The name in environment variable `var`, or `fallback` when it is unset or empty. */
static int read_name(Receiver* self, const char* var, const char* fallback, SegmentName* name) {
    const char* value = getenv(var);
    if (value == NULL || value[0] == '\0') value = fallback;
    if (strlen(value) >= sizeof name->text || !utf8_to_utf16(value, name->units, MAX_NAME_UNITS, &name->len)) {
        lv2_log_error(&self->logger, "ondara-receiver: %s is not a usable segment name (UTF-8, 1 to %d units)\n",
                      var, MAX_NAME_UNITS);
        return 0;
    }
    strcpy(name->text, value);
    return 1;
}

/* ---- opening the ring (instantiate, activate, or the worker; never run) ------------------------ */

static OndaraReceiver* open_ring(Receiver* self, int quiet) {
    OndaraReceiver* receiver = NULL;
    const OndaraStatus st =
        ondara_receiver_open(self->ring_name.units, self->ring_name.len, CHUNK_FRAMES, (uint8_t)self->multi_bus, &receiver);
    if (st == ONDARA_OK) {
        lv2_log_note(&self->logger, "ondara-receiver: ring %s open\n", self->ring_name.text);
    } else if (!quiet) {
        lv2_log_note(&self->logger, "ondara-receiver: ring %s: %s%s\n", self->ring_name.text,
                     ondara_receiver_status_message(st),
                     self->schedule != NULL ? "; looking again while it is missing" : "");
    }
    return receiver;
}

/* ---- LV2 life cycle ---------------------------------------------------------------------------- */

static LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char* bundle_path,
                              const LV2_Feature* const* features) {
    Receiver* self = (Receiver*)calloc(1, sizeof(Receiver));
    LV2_URID_Map* map = NULL;
    LV2_Log_Log* log = NULL;
    OndaraStatus st;
    int i;
    (void)bundle_path;
    if (self == NULL) return NULL;

    for (i = 0; features != NULL && features[i] != NULL; ++i) {
        if (strcmp(features[i]->URI, LV2_URID__map) == 0) map = (LV2_URID_Map*)features[i]->data;
        else if (strcmp(features[i]->URI, LV2_LOG__log) == 0) log = (LV2_Log_Log*)features[i]->data;
        else if (strcmp(features[i]->URI, LV2_WORKER__schedule) == 0) self->schedule = (LV2_Worker_Schedule*)features[i]->data;
    }
    /* Without the host's log (which needs urid:map) the logger writes to the standard error stream. */
    lv2_log_logger_init(&self->logger, map, map != NULL ? log : NULL);
    lv2_log_note(&self->logger, "ondara-receiver: host offers log %s, worker %s\n",
                 map != NULL && log != NULL ? "yes" : "no", self->schedule != NULL ? "yes" : "no");

    self->multi_bus = strcmp(descriptor->URI, MULTIBUS_URI) == 0;
    self->bus_count = self->multi_bus ? MAX_BUSES : 1;
    self->meter_window = (uint32_t)(rate * METER_SECONDS) > 0 ? (uint32_t)(rate * METER_SECONDS) : 1;
    self->retry_window = (uint32_t)(rate * RETRY_SECONDS) > 0 ? (uint32_t)(rate * RETRY_SECONDS) : 1;
    self->requested = -1;

    if (!read_name(self, "ONDARA_RING", "ondara-ring", &self->ring_name) ||
        !read_name(self, "ONDARA_MIC", "ondara-mic", &self->mic_name) ||
        !read_name(self, "ONDARA_MODE", "ondara-mode", &self->mode_name)) {
        free(self);
        return NULL;
    }

    /* The mic and mode blocks may be created by either side: the plug-in opens them once, here, and
     * keeps them until cleanup. A plug-in that cannot have them still plays audio. */
    st = ondara_mic_open(self->mic_name.units, self->mic_name.len, &self->mic);
    if (st != ONDARA_OK) {
        lv2_log_warning(&self->logger, "ondara-receiver: mic block %s: %s\n", self->mic_name.text,
                        ondara_receiver_status_message(st));
    }
    st = ondara_mode_open(self->mode_name.units, self->mode_name.len, &self->mode_control);
    if (st != ONDARA_OK) {
        lv2_log_warning(&self->logger, "ondara-receiver: mode block %s: %s\n", self->mode_name.text,
                        ondara_receiver_status_message(st));
    }
    /* The ring is the companion's: it may not be there yet. */
    self->receiver = open_ring(self, 0);
    return (LV2_Handle)self;
}

static void connect_port(LV2_Handle instance, uint32_t port, void* data) {
    Receiver* self = (Receiver*)instance;
    switch (port) {
        case PORT_OUT_L: self->out[0][0] = (float*)data; break;
        case PORT_OUT_R: self->out[0][1] = (float*)data; break;
        case PORT_OUT2_L: self->out[1][0] = (float*)data; break;
        case PORT_OUT2_R: self->out[1][1] = (float*)data; break;
        case PORT_OUT3_L: self->out[2][0] = (float*)data; break;
        case PORT_OUT3_R: self->out[2][1] = (float*)data; break;
        case PORT_IN_L: self->in[0] = (const float*)data; break;
        case PORT_IN_R: self->in[1] = (const float*)data; break;
        case PORT_MODE: self->mode = (const float*)data; break;
        case PORT_APPLIED_MODE: self->applied_mode = (float*)data; break;
        case PORT_VOLUME_1:
        case PORT_VOLUME_1 + 1:
        case PORT_VOLUME_1 + 2:
        case PORT_VOLUME_1 + 3: self->volume[port - PORT_VOLUME_1] = (float*)data; break;
        case PORT_BRIDGE: self->bridge = (float*)data; break;
        case PORT_RING_FRAMES: self->ring_frames = (float*)data; break;
        default: break;
    }
}

static void activate(LV2_Handle instance) {
    Receiver* self = (Receiver*)instance;
    if (self->receiver == NULL && !self->open_pending) self->receiver = open_ring(self, 1);
    self->peak[0] = self->peak[1] = 0.0f;
    self->meter_frames = 0;
    self->retry_frames = 0;
}

/* ---- the audio callback ------------------------------------------------------------------------ */

static float peak_db(float peak) {
    return peak > 0.0f ? fmaxf(FLOOR_DB, 20.0f * log10f(peak)) : FLOOR_DB;
}

/* Peaks of both inputs; every METER_SECONDS of audio they go out as the mic levels A and B. The
 * publish writes two floats and a time stamp into shared memory; doing it 20 times a second instead
 * of every block keeps the block's traffic (and the companion's work) small. */
static void meter_inputs(Receiver* self, uint32_t n) {
    uint32_t done = 0;
    while (done < n) {
        const uint32_t take = n - done < self->meter_window - self->meter_frames ? n - done
                                                                                 : self->meter_window - self->meter_frames;
        int c;
        uint32_t i;
        for (c = 0; c < 2; ++c) {
            const float* x = self->in[c];
            if (x == NULL) continue;
            for (i = done; i < done + take; ++i) {
                const float a = fabsf(x[i]);
                if (a > self->peak[c]) self->peak[c] = a;  /* a NaN input never wins this compare */
            }
        }
        done += take;
        self->meter_frames += take;
        if (self->meter_frames == self->meter_window) {
            ondara_mic_publish(self->mic, peak_db(self->peak[0]), peak_db(self->peak[1]));
            self->peak[0] = self->peak[1] = 0.0f;
            self->meter_frames = 0;
        }
    }
}

static void run(LV2_Handle instance, uint32_t n) {
    Receiver* self = (Receiver*)instance;
    uint64_t from_ring = 0;
    uint32_t k, c;

    /* Audio: the ring into the outputs, in pieces no longer than the receiver was opened for. */
    if (self->receiver != NULL) {
        uint32_t done = 0;
        while (done < n) {
            const uint32_t frames = n - done < CHUNK_FRAMES ? n - done : CHUNK_FRAMES;
            OndaraOutputBus buses[MAX_BUSES];
            OndaraProcessResult res;
            for (k = 0; k < self->bus_count; ++k) {
                buses[k].left = self->out[k][0] + done;
                buses[k].right = self->out[k][1] + done;
                buses[k].length = frames;
            }
            if (ondara_receiver_process(self->receiver, buses, self->bus_count, frames, &res) == ONDARA_OK) {
                from_ring += res.ring_frames;
            }
            done += frames;
        }
    } else {
        for (k = 0; k < self->bus_count; ++k) {
            for (c = 0; c < 2; ++c) memset(self->out[k][c], 0, sizeof(float) * n);
        }
        /* No ring yet: ask the worker to look again a few times a second. */
        if (self->schedule != NULL && !self->open_pending) {
            self->retry_frames += n;
            if (self->retry_frames >= self->retry_window) {
                WorkRequest req = {NULL};
                self->retry_frames = 0;
                if (self->schedule->schedule_work(self->schedule->handle, sizeof req, &req) == LV2_WORKER_SUCCESS) {
                    self->open_pending = 1;
                }
            }
        }
    }
    *self->ring_frames = (float)from_ring;

    /* The inputs go nowhere but into the mic levels. */
    if (self->mic != NULL) meter_inputs(self, n);

    if (self->mode_control != NULL) {
        /* A request only when the control moved. It is a few stores into shared memory, with no
         * allocation and no lock, and it stays on this thread so that the mode handle has one user. */
        const float wanted = *self->mode;
        const int32_t mode = wanted >= 0.0f && wanted <= 3.0f ? (int32_t)lrintf(wanted) : self->requested;
        float volumes[4];
        int i;
        if (mode != self->requested && mode >= 0) {
            ondara_mode_request(self->mode_control, mode);
            self->requested = mode;
        }
        ondara_mode_mixer_volumes(self->mode_control, volumes);
        for (i = 0; i < 4; ++i) *self->volume[i] = volumes[i];
        *self->applied_mode = (float)ondara_mode_applied(self->mode_control);
        *self->bridge = (float)ondara_mode_vst3_bridge_active(self->mode_control);
    } else {
        int i;
        for (i = 0; i < 4; ++i) *self->volume[i] = 0.0f;
        *self->applied_mode = -1.0f;
        *self->bridge = 0.0f;
    }
}

/* ---- the worker: opens that may take time or fail, off the audio thread ------------------------ */

static LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                              uint32_t size, const void* data) {
    Receiver* self = (Receiver*)instance;
    WorkRequest req;
    WorkResponse response;
    if (size != sizeof req) return LV2_WORKER_ERR_UNKNOWN;
    memcpy(&req, data, sizeof req);
    if (req.to_free != NULL) {
        ondara_receiver_free(req.to_free);
        return LV2_WORKER_SUCCESS;
    }
    response.receiver = open_ring(self, 1);
    if (respond(handle, sizeof response, &response) != LV2_WORKER_SUCCESS) {
        ondara_receiver_free(response.receiver);  /* it could not be handed over */
        return LV2_WORKER_ERR_NO_SPACE;
    }
    return LV2_WORKER_SUCCESS;
}

/* Called in the audio thread's context: takes the new ring over. */
static LV2_Worker_Status work_response(LV2_Handle instance, uint32_t size, const void* data) {
    Receiver* self = (Receiver*)instance;
    WorkResponse response;
    if (size != sizeof response) return LV2_WORKER_ERR_UNKNOWN;
    memcpy(&response, data, sizeof response);
    self->open_pending = 0;
    if (response.receiver == NULL) return LV2_WORKER_SUCCESS;
    if (self->receiver == NULL) {
        self->receiver = response.receiver;
    } else {
        /* Only one open is ever asked for at a time, so this is a safety net; freeing unmaps, which
         * is the worker's job, not the audio thread's. */
        WorkRequest req;
        req.to_free = response.receiver;
        self->schedule->schedule_work(self->schedule->handle, sizeof req, &req);
    }
    return LV2_WORKER_SUCCESS;
}

static void deactivate(LV2_Handle instance) {
    Receiver* self = (Receiver*)instance;
    ondara_receiver_free(self->receiver);
    self->receiver = NULL;
}

static void cleanup(LV2_Handle instance) {
    Receiver* self = (Receiver*)instance;
    ondara_receiver_free(self->receiver);
    ondara_mic_free(self->mic);
    ondara_mode_free(self->mode_control);
    free(self);
}

static const void* extension_data(const char* uri) {
    static const LV2_Worker_Interface worker = {work, work_response, NULL};
    return strcmp(uri, LV2_WORKER__interface) == 0 ? &worker : NULL;
}

static const LV2_Descriptor descriptors[] = {
    {RECEIVER_URI, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data},
    {MULTIBUS_URI, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data},
};

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < sizeof descriptors / sizeof descriptors[0] ? &descriptors[index] : NULL;
}
