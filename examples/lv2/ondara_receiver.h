/*
 * What the files of ondara-receiver share: the instance, the messages between the audio thread and
 * the worker, and the functions that one file gives the others.
 *
 *   ondara_receiver.c  the LV2 life cycle: instantiate, activate, run (the receiver on the audio
 *                      thread) and the worker that opens and frees off it
 *   segments.c         segment names, opening and freeing the three segments, the state (save, restore)
 *   notify.c           patch:Set and patch:Get on the control port, patch:Set on the notify port
 *   uris.h             the URIs and their URIDs
 */
#ifndef ONDARA_RECEIVER_H
#define ONDARA_RECEIVER_H

#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "ondara.h"
#include "uris.h"

/* Port indices, as in ondara-receiver.ttl. The multi-bus plug-in adds ports 17 to 20. */
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
    PORT_RING_RATE = 12,
    PORT_MIC_LEVEL_A = 13,
    PORT_MIC_LEVEL_B = 14,
    PORT_CONTROL = 15,
    PORT_NOTIFY = 16,
    PORT_OUT2_L = 17,
    PORT_OUT2_R = 18,
    PORT_OUT3_L = 19,
    PORT_OUT3_R = 20
};

#define MAX_BUSES 3
#define MAX_NAME_BYTES 255 /* UTF-8 bytes of a segment name, and so at most as many UTF-16 units */
/* The receiver's work buffer is sized for this many frames; longer host blocks are rendered in
 * pieces, so the plug-in needs no promise about the host's block size. */
#define CHUNK_FRAMES 2048
#define METER_SECONDS 0.05  /* the mic levels are the peaks of the last 50 ms of input */
#define RETRY_SECONDS 0.25  /* how often the worker looks for a missing ring */
#define SILENCE_SECONDS 0.5 /* an open ring without a frame for this long is opened again */
#define OPEN_LEAD_FRAMES 1024 /* a receiver starts at most this far behind the companion */
#define FLOOR_DB (-120.0f)  /* the bottom of the mic block's range: silence */
#define CEILING_DB 6.0f     /* its top */
#define MAX_RATE 10.0e6     /* no audio host runs faster; the windows above then fit in 32 bits */
#define MAX_SHOWN_FRAMES 65536u /* the ranges of the ring_frames and ring_rate outputs */
#define MAX_SHOWN_RATE 768000u

/* The three segments (RING, MIC, MODE in uris.h), also the index of their names and handles. */
extern const char* const segment_what[SEGMENTS];     /* "ring", "mic block", "mode block" */
extern const char* const segment_variable[SEGMENTS]; /* ONDARA_RING, ONDARA_MIC, ONDARA_MODE */
extern const char* const segment_default[SEGMENTS];  /* ondara-ring, ondara-mic, ondara-mode */

typedef struct {
    uint16_t units[MAX_NAME_BYTES];
    size_t len;
    char text[MAX_NAME_BYTES + 1]; /* as given, NUL-terminated */
} SegmentName;

/* What the audio thread asks of the worker. Copied by the host, so it carries plain values only. */
enum { JOB_OPEN, JOB_FREE, JOB_REFUSED_NAME, JOB_RING_PLAYS };
enum {
    OPEN_MISSING, /* the ring is not open: look for it */
    OPEN_SILENT,  /* the ring has been silent: open it again by name */
    OPEN_NAMED,   /* the host gave the segment a new name */
    FREE_PLAIN,   /* a handle that was replaced */
    FREE_SILENT   /* a ring that stayed silent even after it was opened again */
};
typedef struct {
    uint32_t type;       /* JOB_* */
    uint32_t what;       /* RING, MIC or MODE */
    uint32_t why;        /* OPEN_* or FREE_* */
    uint32_t generation; /* of the activation that asked: answers for an older one are freed */
    uint32_t quiet;      /* JOB_OPEN: this was said already, log nothing routine */
    uint32_t missing_said; /* JOB_OPEN: that the ring is missing was said already */
    uint32_t serial;     /* JOB_OPEN, OPEN_NAMED: which rename of the segment this opens */
    uint32_t channels;   /* JOB_RING_PLAYS: the ring's format */
    uint32_t sample_rate;
    void* handle;        /* JOB_FREE: the handle */
    char name[MAX_NAME_BYTES + 1];
} Job;
typedef struct {
    uint32_t what, why, generation, serial;
    void* handle; /* NULL: it could not be opened */
} Answer;

/* Every handle the plug-in holds, wherever it is (in use, on its way to the audio thread in the host's
 * queue, or on its way back to be freed), so that cleanup frees each exactly once. Only the worker
 * and the Instantiation-class functions, which never run at the same time, touch it. */
#define HELD_MAX 16
#define TO_FREE_MAX 8 /* handles waiting on the audio thread to go back to the worker */
typedef struct {
    uint32_t what;
    void* handle;
} Held;

typedef struct {
    /* Ports, connected by the host. */
    float* out[MAX_BUSES][2];
    const float* in[2];
    const float* mode;
    float* applied_mode;
    float* volume[4];
    float* bridge;
    float* ring_frames;
    float* ring_rate;
    float* mic_level[2];
    const LV2_Atom_Sequence* control;
    LV2_Atom_Sequence* notify;

    /* What the host offers. */
    LV2_URID_Map* map; /* NULL: no state and no patch messages, the names stay as the environment says */
    LV2_Log_Logger logger;
    LV2_Worker_Schedule* schedule; /* NULL: opens happen only in activate */
    Uris uris;
    LV2_Atom_Forge forge;

    /* Fixed at instantiation. */
    double rate;
    int multi_bus;
    uint32_t bus_count;
    uint32_t meter_window;   /* frames per published level */
    uint32_t retry_window;   /* frames between looks for a missing ring */
    uint32_t silence_window; /* frames without a ring frame before the ring is opened again */
    SegmentName defaults[SEGMENTS];

    /* The session's names: what save() stores. Written by instantiate and restore, and by the worker
     * when a name the host set takes effect; save() may run at the same time as the worker, hence the
     * lock, which the audio thread never takes. */
    pthread_mutex_t names_lock;
    SegmentName names[SEGMENTS];

    Held held[HELD_MAX];
    atomic_uint lost_answers; /* answers the worker could not hand to the host (respond() failed) */
    atomic_int requested;     /* the mode last asked for, -1 before any: run() writes it, save() reads it */

    /* Audio-thread state (run, work_response; activate and restore while nothing else runs). */
    OndaraReceiver* receiver;
    OndaraMicPublisher* mic;
    OndaraModeControl* mode_control;
    SegmentName rt_names[SEGMENTS]; /* the names as the audio thread knows them */
    uint32_t renamed;               /* bit per segment: to be opened under its new name */
    uint32_t rename_serial[SEGMENTS]; /* counts each segment's renames: only the answer to the latest
                                         one ends a rename, and a lost or stale one leaves it to do */
    uint32_t notify_names;          /* bit per segment: tell the host its name */
    uint32_t generation;
    int job_pending;       /* an open is with the worker; set before schedule_work, which may answer at once */
    unsigned lost_seen;
    void* to_free[TO_FREE_MAX];
    uint32_t to_free_what[TO_FREE_MAX], to_free_why[TO_FREE_MAX];
    uint32_t retry_frames;
    uint32_t silent_frames;
    int ring_produced;     /* the open ring has given a frame since it was opened */
    int ring_quiet;        /* the ring's comings and goings were reported; until audio flows again */
    int missing_said;      /* that the ring is missing was said; until it is found */
    int ring_played;       /* audio of the ring under this name was played: a ring opened again may hold it */
    uint32_t stale_frames; /* frames the receiver may still give that may have been played: muted */
    uint32_t asked_frames; /* frames the host ran since the worker was last asked for the ring */
    uint32_t skip_frames;  /* frames written while the ring's open was on its way back: dropped */
    int unmute_fade;       /* the first frames after the muted ones fade in */
    uint32_t ring_rate_seen, ring_channels_seen;
    int first_run_done;
    int32_t restore_mode;  /* a restored session's mode, asked for at the next run; -1 for none */
    int request_control;   /* ask for the control's mode at the next run (a new mode block) */
    float mode_seen;       /* the mode control at the previous run */
    float peak[2];
    float level[2]; /* the levels last published, in dB */
    uint32_t meter_frames;
} Receiver;

/* segments.c: names, opens and frees (off the audio thread), the state. */
int set_name(SegmentName* name, const char* text, size_t bytes);
void copy_names(pthread_mutex_t* lock, SegmentName* to, const SegmentName* from);
void hold(Receiver* self, uint32_t what, void* handle);
void free_handle(Receiver* self, uint32_t what, void* handle);
void say_ring_format(Receiver* self, const char* name, const char* what, uint32_t channels, uint32_t rate);
void* open_segment(Receiver* self, uint32_t what, const SegmentName* name, int say_failure, int say_success);
LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t flags,
                      const LV2_Feature* const* features);
LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                         uint32_t flags, const LV2_Feature* const* features);

/* notify.c: patch messages, on the audio thread. */
void read_control(Receiver* self);
void write_notify(Receiver* self);

/* ondara_receiver.c: a job for the worker, from the audio thread; false when the host's queue is full. */
int send_job(Receiver* self, const Job* job);

#endif
