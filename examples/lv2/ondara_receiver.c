/*
 * ondara-receiver: an LV2 plug-in that plays the companion's audio ring and talks to the companion
 * through the mic and mode blocks. It is meant to be read and copied: every ondara call sits where a
 * plug-in in any format (LV2, VST3, CLAP) would put it, and it survives what a real session does to
 * it: a companion that starts late, restarts or changes format, hosts that run the worker at once or
 * hand in the same buffer as input and output, and more instances of it coming and going.
 *
 *   instantiate   reads the default segment names from the environment; opens nothing, so that a
 *                 host that only looks at the plug-in disturbs no running session
 *   activate      opens the ring, the mic block and the mode block (the ring may not be there yet)
 *   run           the audio callback: meters the inputs, renders the ring into the outputs, publishes
 *                 the inputs' peaks every 50 ms, requests the mode when the control moves, copies what
 *                 the companion applied to the control outputs, and asks the worker for opens
 *   work          (the host's worker thread, if it has one) every open and free after activation: the
 *                 ring while it is missing or once it has been silent for half a second (a companion
 *                 that restarted), and the segments whose names the host changed
 *   save/restore  the three segment names, which are the plug-in's state (patch:Set changes them)
 *   deactivate    frees the ring; the next activation opens it afresh
 *   cleanup       frees everything that is left
 *
 * Two URIs share this code: urn:ondara:receiver (one stereo output, ring channels 0 and 1) and
 * urn:ondara:receiver-multibus (three stereo outputs, ring channels 2k and 2k+1 on output k).
 * ondara_minimal.c is the short version of it, to read first: this one adds what a real session needs.
 *
 * This file holds the life cycle, the receiver on the audio thread and the worker; segments.c the
 * names, opens and frees and the state; notify.c the patch messages; uris.h the URIs.
 */
#define _POSIX_C_SOURCE 200809L

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <lv2/core/lv2_util.h>

#include "ondara_receiver.h"

/* ---- LV2 life cycle ---------------------------------------------------------------------------- */

static LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char* bundle_path,
                              const LV2_Feature* const* features) {
    Receiver* self = (Receiver*)calloc(1, sizeof(Receiver));
    LV2_Log_Log* log = NULL;
    int i;
    (void)bundle_path;
    if (self == NULL) return NULL;

    /* Every feature is optional (lv2:optionalFeature in the description): without the worker the
     * opens happen at activation, without urid:map there is no state and no patch message. */
    lv2_features_query(features, LV2_URID__map, &self->map, false, LV2_LOG__log, &log, false, LV2_WORKER__schedule,
                       &self->schedule, false, NULL);
    /* Without the host's log (which needs urid:map) the logger writes to the standard error stream. */
    lv2_log_logger_init(&self->logger, self->map, self->map != NULL ? log : NULL);
    lv2_log_note(&self->logger, "ondara-receiver: host offers log %s, worker %s, urid:map %s\n",
                 self->map != NULL && log != NULL ? "yes" : "no", self->schedule != NULL ? "yes" : "no",
                 self->map != NULL ? "yes" : "no");
    /* The windows below are counted in frames; a rate that is no audio rate would make them meaningless
     * (or their conversion undefined). */
    if (!(rate > 0.0 && rate <= MAX_RATE)) {
        lv2_log_error(&self->logger, "ondara-receiver: refusing a sample rate of %g Hz\n", rate);
        free(self);
        return NULL;
    }
    self->rate = rate;
    self->multi_bus = strcmp(descriptor->URI, MULTIBUS_URI) == 0;
    self->bus_count = self->multi_bus ? MAX_BUSES : 1;
    self->meter_window = (uint32_t)fmax(1.0, rate * METER_SECONDS);
    self->retry_window = (uint32_t)fmax(1.0, rate * RETRY_SECONDS);
    self->silence_window = (uint32_t)fmax(1.0, rate * SILENCE_SECONDS);

    /* The environment gives the defaults; a restored session or patch:Set replaces them. */
    for (i = 0; i < SEGMENTS; ++i) {
        const char* value = getenv(segment_variable[i]);
        if (value == NULL || value[0] == '\0') value = segment_default[i];
        if (!set_name(&self->defaults[i], value, strlen(value))) {
            lv2_log_error(&self->logger, "ondara-receiver: %s is not a usable segment name (UTF-8, 1 to %d bytes)\n",
                          segment_variable[i], MAX_NAME_BYTES);
            free(self);
            return NULL;
        }
    }
    memcpy(self->names, self->defaults, sizeof self->names);
    memcpy(self->rt_names, self->defaults, sizeof self->rt_names);
    pthread_mutex_init(&self->names_lock, NULL);
    atomic_init(&self->lost_answers, 0);
    atomic_init(&self->requested, -1);
    self->restore_mode = -1;

    if (self->map != NULL) {
        map_uris(self->map, &self->uris);
        lv2_atom_forge_init(&self->forge, self->map);
    }
    /* Nothing is opened here: a host that instantiates the plug-in only to look at it (a scan, a
     * second instance that never runs) must not reset the mic and mode blocks of a running session. */
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
        case PORT_RING_RATE: self->ring_rate = (float*)data; break;
        case PORT_MIC_LEVEL_A: self->mic_level[0] = (float*)data; break;
        case PORT_MIC_LEVEL_B: self->mic_level[1] = (float*)data; break;
        case PORT_CONTROL: self->control = (const LV2_Atom_Sequence*)data; break;
        case PORT_NOTIFY: self->notify = (LV2_Atom_Sequence*)data; break;
        default: break;
    }
}

/* Where the handle of `what` is kept. */
static void** slot_of(Receiver* self, uint32_t what) {
    return what == RING ? (void**)&self->receiver : what == MIC ? (void**)&self->mic : (void**)&self->mode_control;
}

/* Replaces the handle of `what` by `handle` (which may be NULL) while nothing else runs. */
static void replace_now(Receiver* self, uint32_t what, void* handle) {
    void** slot = slot_of(self, what);
    free_handle(self, what, *slot);
    *slot = handle;
}

/* Puts a ring receiver just opened (or none) in place of none. A ring opened again under a name whose
 * audio was played may be that same ring, no longer written: a new receiver starts up to 1024 frames
 * behind its write position and would play those frames a second time. They are muted and count as
 * no audio; only a frame beyond them shows that the companion writes again. The receiver reports no
 * write position, so a companion that took the ring over and restarted its counter loses those
 * frames too. A name under which no ring opens has lost the one we played: whatever ring turns up
 * there later is another, and nothing of it is muted. */
static void install_ring(Receiver* self, void* handle) {
    self->receiver = (OndaraReceiver*)handle;
    self->silent_frames = 0;
    self->retry_frames = 0;
    self->ring_produced = 0;
    if (handle == NULL) self->ring_played = 0;
    self->stale_frames = self->ring_played ? OPEN_LEAD_FRAMES : 0;
    self->unmute_fade = 0;
    self->skip_frames = 0;
}

static void activate(LV2_Handle instance) {
    Receiver* self = (Receiver*)instance;
    int i;
    /* Answers to what an earlier activation asked are freed when they come; this one starts afresh. */
    ++self->generation;
    self->job_pending = 0;
    self->lost_seen = atomic_load(&self->lost_answers);
    /* Names that changed and have not been opened yet (no worker, a restore before the first
     * activation, or a rename still with the worker when the host deactivated) take effect now. */
    if (self->renamed != 0) {
        pthread_mutex_lock(&self->names_lock);
        for (i = 0; i < SEGMENTS; ++i) {
            if (self->renamed & (1u << i)) self->names[i] = self->rt_names[i];
        }
        pthread_mutex_unlock(&self->names_lock);
        if (self->renamed & (1u << RING)) self->ring_played = 0;
        if (self->renamed & (1u << MIC)) replace_now(self, MIC, NULL);
        if (self->renamed & (1u << MODE)) replace_now(self, MODE, NULL);
        self->renamed = 0;
    }
    /* The mic and mode blocks are opened where they are first needed, and kept until cleanup. */
    if (self->mic == NULL) self->mic = (OndaraMicPublisher*)open_segment(self, MIC, &self->names[MIC], 1, 1);
    if (self->mode_control == NULL) {
        self->mode_control = (OndaraModeControl*)open_segment(self, MODE, &self->names[MODE], 1, 1);
    }
    /* The ring is the companion's: it may not be there yet. A receiver starts up to 1024 frames behind
     * the companion and stays that far behind, so it is opened as late as possible: with a worker, at
     * the first run(), since a host may activate long before it runs (jalv waits up to 40 ms).
     * Without one, here. */
    self->ring_quiet = 0;
    self->missing_said = 0;
    self->silent_frames = 0;
    self->retry_frames = self->retry_window; /* the first run() asks for the ring at once */
    if (self->receiver == NULL && self->schedule == NULL) {
        install_ring(self, open_segment(self, RING, &self->names[RING], 1, 1));
    }
    self->peak[0] = self->peak[1] = 0.0f;
    self->level[0] = self->level[1] = FLOOR_DB;
    self->meter_frames = 0;
    self->notify_names = (1u << SEGMENTS) - 1;
}

/* ---- the audio callback ------------------------------------------------------------------------ */

/* In dB, clamped as the mic block clamps it. */
static float peak_db(float peak) {
    return peak > 0.0f ? fminf(CEILING_DB, fmaxf(FLOOR_DB, 20.0f * log10f(peak))) : FLOOR_DB;
}

/* Peaks of both inputs; every METER_SECONDS of audio they go out as the mic levels A and B. The
 * publish writes two floats and a time stamp into shared memory (no allocation, lock or system call,
 * it reads the clock from user space); doing it 20 times a second instead of every block keeps the
 * block's traffic, and the companion's work, small. Silence has no level in dB: it is sent as the
 * floor, -120 dB, since the library refuses -infinity. */
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
                if (a > self->peak[c]) self->peak[c] = a; /* a NaN input never wins this compare */
            }
        }
        done += take;
        self->meter_frames += take;
        if (self->meter_frames == self->meter_window) {
            self->level[0] = peak_db(self->peak[0]);
            self->level[1] = peak_db(self->peak[1]);
            ondara_mic_publish(self->mic, self->level[0], self->level[1]);
            self->peak[0] = self->peak[1] = 0.0f;
            self->meter_frames = 0;
        }
    }
}

/* Frames [at, at + got) of the outputs came from the ring. Those that may have been played before
 * (stale_frames) are silenced, and the first ones after them fade in over up to 32 frames, as the
 * library fades in audio that comes back. Returns the frames that count as audio. */
static uint32_t unmute(Receiver* self, uint32_t at, uint32_t got) {
    const uint32_t mute = got < self->stale_frames ? got : self->stale_frames;
    uint32_t k, i;
    if (mute > 0) {
        for (k = 0; k < self->bus_count; ++k) {
            memset(self->out[k][0] + at, 0, sizeof(float) * mute);
            memset(self->out[k][1] + at, 0, sizeof(float) * mute);
        }
        self->stale_frames -= mute;
        self->unmute_fade = self->stale_frames == 0;
    }
    if (self->unmute_fade && got > mute) {
        const uint32_t len = got - mute < 32 ? got - mute : 32;
        for (k = 0; k < self->bus_count; ++k) {
            for (i = 0; i < len; ++i) {
                const float gain = (float)(i + 1) / (float)len;
                self->out[k][0][at + mute + i] *= gain;
                self->out[k][1][at + mute + i] *= gain;
            }
        }
        self->unmute_fade = 0;
    }
    return got - mute;
}

/* Renders `frames` ring frames into the outputs from frame `at` on. Only a port the host left
 * unconnected (a null buffer) is refused; then nothing is rendered. */
static int render_piece(Receiver* self, uint32_t at, uint32_t frames, OndaraProcessResult* res) {
    OndaraOutputBus buses[MAX_BUSES];
    uint32_t k;
    for (k = 0; k < self->bus_count; ++k) {
        buses[k].left = self->out[k][0] + at;
        buses[k].right = self->out[k][1] + at;
        buses[k].length = frames;
    }
    memset(res, 0, sizeof *res);
    return ondara_receiver_process(self->receiver, buses, self->bus_count, frames, res) == ONDARA_OK;
}

/* A ring opened by the worker starts up to 1024 frames behind the companion at the open, and the
 * host runs a block or two before the answer is back (it ran `asked_frames` since it asked). What
 * the companion wrote meanwhile is read into the outputs, which the block then overwrites, and
 * dropped: the reader starts at most 1024 frames and this block behind. Dropped frames that may have
 * been played count against the muted ones, and the audio after them fades in. */
static void skip_late_frames(Receiver* self, uint32_t n) {
    while (self->skip_frames > 0 && n > 0) {
        const uint32_t most = n < CHUNK_FRAMES ? n : CHUNK_FRAMES;
        const uint32_t frames = self->skip_frames < most ? self->skip_frames : most;
        OndaraProcessResult res;
        const int ok = render_piece(self, 0, frames, &res);
        const uint32_t got = (uint32_t)res.ring_frames;
        self->stale_frames -= got < self->stale_frames ? got : self->stale_frames;
        /* What follows the dropped frames fades in: the receiver fades in by itself only after a
         * piece that ran short. */
        if (got > 0) self->unmute_fade = self->stale_frames == 0 && got == frames;
        /* A ring that has no more frames is caught up: nothing is left to drop. */
        self->skip_frames = ok && got == frames ? self->skip_frames - got : 0;
    }
}

/* The ring into the outputs, in pieces no longer than the receiver was opened for; the frames that
 * came from the ring. Without a ring, silence. */
static uint64_t render(Receiver* self, uint32_t n) {
    uint64_t from_ring = 0;
    uint32_t done = 0, k;
    if (self->receiver == NULL) {
        for (k = 0; k < self->bus_count; ++k) {
            memset(self->out[k][0], 0, sizeof(float) * n);
            memset(self->out[k][1], 0, sizeof(float) * n);
        }
        self->ring_rate_seen = 0;
        return 0;
    }
    skip_late_frames(self, n);
    while (done < n) {
        const uint32_t frames = n - done < CHUNK_FRAMES ? n - done : CHUNK_FRAMES;
        OndaraProcessResult res;
        if (!render_piece(self, done, frames, &res)) break;
        from_ring += unmute(self, done, (uint32_t)res.ring_frames);
        self->ring_rate_seen = res.sample_rate;
        self->ring_channels_seen = res.channels;
        done += frames;
    }
    return from_ring;
}

/* Hands `handle` back to the worker to be freed (unmapping is no work for the audio thread). */
static void give_back(Receiver* self, uint32_t what, void* handle, uint32_t why) {
    int i;
    if (handle == NULL) return;
    for (i = 0; i < TO_FREE_MAX; ++i) {
        if (self->to_free[i] == NULL) {
            self->to_free[i] = handle;
            self->to_free_what[i] = what;
            self->to_free_why[i] = why;
            return;
        }
    }
    /* No slot left: cleanup frees it with everything else it holds. */
}

int send_job(Receiver* self, const Job* job) {
    return self->schedule->schedule_work(self->schedule->handle, sizeof *job, job) == LV2_WORKER_SUCCESS;
}

static void send_frees(Receiver* self) {
    int i;
    for (i = 0; i < TO_FREE_MAX; ++i) {
        if (self->to_free[i] != NULL) {
            Job job;
            memset(&job, 0, sizeof job);
            job.type = JOB_FREE;
            job.what = self->to_free_what[i];
            job.why = self->to_free_why[i];
            job.handle = self->to_free[i];
            if (job.why == FREE_SILENT) memcpy(job.name, self->rt_names[RING].text, sizeof job.name);
            if (!send_job(self, &job)) return; /* the host's queue is full: next time */
            self->to_free[i] = NULL;
        }
    }
}

/* Asks the worker to open `what` under the name the audio thread knows; one open at a time. False
 * when the host's queue is full: ask again later. */
static int ask_open(Receiver* self, uint32_t what, uint32_t why) {
    Job job;
    memset(&job, 0, sizeof job);
    job.type = JOB_OPEN;
    job.what = what;
    job.why = why;
    job.generation = self->generation;
    job.quiet = what == RING && why != OPEN_NAMED ? (uint32_t)self->ring_quiet : 0;
    job.serial = self->rename_serial[what];
    job.missing_said = what == RING ? (uint32_t)self->missing_said : 0;
    memcpy(job.name, self->rt_names[what].text, sizeof job.name);
    /* Before scheduling: a host may run the worker and deliver its answer inside schedule_work. */
    self->job_pending = 1;
    if (what == RING) self->asked_frames = 0;
    if (send_job(self, &job)) return 1;
    self->job_pending = 0;
    return 0;
}

/* What needs the worker, in order of importance; one open at a time. */
static void schedule_opens(Receiver* self, uint32_t n) {
    uint32_t what;
    if (self->schedule == NULL) return;
    send_frees(self);
    if (self->job_pending && atomic_load(&self->lost_answers) != self->lost_seen) {
        self->lost_seen = atomic_load(&self->lost_answers);
        self->job_pending = 0; /* that answer will never come; ask again */
    }
    if (self->job_pending) return;
    for (what = 0; what < SEGMENTS; ++what) {
        if (self->renamed & (1u << what)) {
            ask_open(self, what, OPEN_NAMED);  /* its answer ends the rename (work_response) */
            return;
        }
    }
    if (self->receiver == NULL) {
        self->retry_frames += n;
        if (self->retry_frames >= self->retry_window) {
            self->retry_frames = 0;
            ask_open(self, RING, OPEN_MISSING);
        }
    } else if (self->silent_frames >= self->silence_window) {
        self->silent_frames = 0;
        if (self->ring_produced) {
            /* A ring that has gone quiet: a companion that restarted made a new one under the same
             * name, or will write into this one again. Opening it by name gets whichever it is. */
            ask_open(self, RING, OPEN_SILENT);
        } else {
            /* Opened again and still silent: let it go, so that nothing of ours keeps an abandoned
             * segment alive (Windows keeps one while anyone has it open), and look for it anew. Said
             * once; the looks that follow are quiet until audio flows again. */
            give_back(self, RING, self->receiver, self->ring_quiet ? FREE_PLAIN : FREE_SILENT);
            self->receiver = NULL;
            self->retry_frames = 0;
            self->ring_quiet = 1;
            send_frees(self);
        }
    }
}

static void run(LV2_Handle instance, uint32_t n) {
    Receiver* self = (Receiver*)instance;
    uint64_t from_ring;
    int i;

    if (self->asked_frames < UINT32_MAX - n) self->asked_frames += n;
    read_control(self);

    /* The inputs first: a host may hand the same buffer in and out, and rendering overwrites it. */
    if (self->mic != NULL) meter_inputs(self, n);
    *self->mic_level[0] = self->level[0];
    *self->mic_level[1] = self->level[1];

    from_ring = render(self, n);
    /* Within the ranges the ports declare. */
    *self->ring_frames = (float)(from_ring < MAX_SHOWN_FRAMES ? from_ring : MAX_SHOWN_FRAMES);
    *self->ring_rate = (float)(self->ring_rate_seen < MAX_SHOWN_RATE ? self->ring_rate_seen : MAX_SHOWN_RATE);
    if (self->receiver != NULL) {
        if (from_ring > 0) {
            if (self->ring_quiet && self->schedule != NULL) {
                /* Found again after quiet looks: the worker says so, with its format. */
                Job job;
                memset(&job, 0, sizeof job);
                job.type = JOB_RING_PLAYS;
                job.channels = self->ring_channels_seen;
                job.sample_rate = self->ring_rate_seen;
                memcpy(job.name, self->rt_names[RING].text, sizeof job.name);
                send_job(self, &job);
            }
            self->silent_frames = 0;
            self->ring_produced = 1;
            self->ring_played = 1;
            self->ring_quiet = 0;
        } else if (self->silent_frames < UINT32_MAX - n) {
            self->silent_frames += n;
        }
    }

    if (self->mode_control != NULL) {
        /* A request when the control moves, not for the value it has at the first run: that is only a
         * default (or a host's scan, or another instance starting up) and must not override what the
         * companion applied for a running session. A restored session asks again for the mode it had
         * asked for. The request is a few stores into shared memory, with no allocation, lock or system
         * call. */
        const float wanted = *self->mode;
        const int usable = wanted >= 0.0f && wanted <= 3.0f;
        int32_t mode = -1;
        float volumes[4];
        if (self->renamed & (1u << MODE)) {
            /* A new mode block is on its way (a preset, a restored session, patch:Set): what the
             * session or the control asks for is for that block, and asked of it once it is open. */
        } else {
            if (self->restore_mode >= 0) mode = self->restore_mode;
            else if (usable && (self->request_control || (self->first_run_done && wanted != self->mode_seen))) {
                mode = (int32_t)lrintf(wanted);
            }
            if (mode >= 0) {
                ondara_mode_request(self->mode_control, mode);
                atomic_store(&self->requested, mode);
            }
            self->mode_seen = wanted;
            self->restore_mode = -1;
            self->request_control = 0;
        }
        /* The applied mode first: the companion writes it after the volumes and the bridge flag, so
         * whoever sees a new mode then also reads what goes with it. */
        *self->applied_mode = (float)ondara_mode_applied(self->mode_control);
        ondara_mode_mixer_volumes(self->mode_control, volumes);
        for (i = 0; i < 4; ++i) *self->volume[i] = volumes[i] > 0.0f ? fminf(volumes[i], 1.0f) : 0.0f; /* NaN: 0 */
        *self->bridge = (float)ondara_mode_vst3_bridge_active(self->mode_control);
    } else {
        for (i = 0; i < 4; ++i) *self->volume[i] = 0.0f;
        *self->applied_mode = -1.0f;
        *self->bridge = 0.0f;
        self->mode_seen = *self->mode;
    }
    self->first_run_done = 1;

    schedule_opens(self, n);
    write_notify(self);
}

/* ---- the worker: opens that take time or fail, off the audio thread ---------------------------- */

static LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                              uint32_t size, const void* data) {
    Receiver* self = (Receiver*)instance;
    Job job;
    Answer answer;
    SegmentName name;
    if (size != sizeof job) return LV2_WORKER_ERR_UNKNOWN;
    memcpy(&job, data, sizeof job);
    if (job.what >= SEGMENTS) return LV2_WORKER_ERR_UNKNOWN;
    if (job.type == JOB_REFUSED_NAME) {
        lv2_log_warning(&self->logger, "ondara-receiver: refused a %s name that is no usable segment name (UTF-8, 1 to "
                        "%d bytes)\n", segment_what[job.what], MAX_NAME_BYTES);
        return LV2_WORKER_SUCCESS;
    }
    job.name[MAX_NAME_BYTES] = '\0';
    if (job.type == JOB_RING_PLAYS) {
        say_ring_format(self, job.name, "plays", job.channels, job.sample_rate);
        return LV2_WORKER_SUCCESS;
    }
    if (job.type == JOB_FREE) {
        if (job.why == FREE_SILENT) {
            lv2_log_note(&self->logger, "ondara-receiver: ring %s stays silent, also opened again: its companion "
                         "stopped; let go of it, looking for it every 0.25 s\n", job.name);
        }
        free_handle(self, job.what, job.handle);
        return LV2_WORKER_SUCCESS;
    }
    /* The audio thread sends only names it has checked; anything else opens nothing, but is still
     * answered, since the audio thread waits for an answer to every open. */
    const int named = set_name(&name, job.name, strlen(job.name));
    if (job.why == OPEN_NAMED && named) {
        /* The host's new name is the session's from now on. */
        pthread_mutex_lock(&self->names_lock);
        self->names[job.what] = name;
        pthread_mutex_unlock(&self->names_lock);
    }
    if (job.why == OPEN_SILENT && !job.quiet) {
        lv2_log_note(&self->logger, "ondara-receiver: ring %s silent for %.1f s; opening it again\n", job.name,
                     SILENCE_SECONDS);
    }
    answer.what = job.what;
    answer.why = job.why;
    answer.generation = job.generation;
    answer.serial = job.serial;
    answer.handle = named ? open_segment(self, job.what, &name, !job.quiet && !job.missing_said, !job.quiet) : NULL;
    if (respond(handle, sizeof answer, &answer) != LV2_WORKER_SUCCESS) {
        /* It cannot be handed over; the audio thread learns that the answer is lost and asks again. */
        free_handle(self, job.what, answer.handle);
        atomic_fetch_add(&self->lost_answers, 1u);
        return LV2_WORKER_ERR_NO_SPACE;
    }
    return LV2_WORKER_SUCCESS;
}

/* In the audio thread's context, after run() or, with a worker that runs at once, inside it: puts the
 * new handle in place; the one it replaces goes back to the worker. */
static LV2_Worker_Status work_response(LV2_Handle instance, uint32_t size, const void* data) {
    Receiver* self = (Receiver*)instance;
    Answer answer;
    void** slot;
    if (size != sizeof answer) return LV2_WORKER_ERR_UNKNOWN;
    memcpy(&answer, data, sizeof answer);
    if (answer.what >= SEGMENTS) return LV2_WORKER_ERR_UNKNOWN;
    if (answer.generation != self->generation) {
        /* Asked for before the last activation, which opened afresh. */
        give_back(self, answer.what, answer.handle, FREE_PLAIN);
        return LV2_WORKER_SUCCESS;
    }
    self->job_pending = 0;
    if (answer.why == OPEN_NAMED) {
        /* A name the host set again meanwhile is still to be opened; this answer stands until then. */
        if (answer.serial == self->rename_serial[answer.what]) self->renamed &= ~(1u << answer.what);
    }
    if (answer.what == RING && answer.handle == NULL && answer.why == OPEN_MISSING) {
        self->missing_said = 1; /* said once: the looks that follow are quiet */
        self->ring_played = 0;
        return LV2_WORKER_SUCCESS;
    }
    /* A ring that could not be opened again is gone: it is let go and looked for. A renamed segment
     * that cannot be opened is no longer used under its old name either. */
    slot = slot_of(self, answer.what);
    give_back(self, answer.what, *slot, FREE_PLAIN);
    *slot = NULL;
    if (answer.what == RING) {
        if (answer.why == OPEN_NAMED) self->ring_played = 0; /* another ring: none of its audio was played */
        install_ring(self, answer.handle);
        if (answer.handle == NULL) {
            self->ring_quiet = 1;
        } else {
            self->missing_said = 0;
            self->skip_frames = self->asked_frames;
        }
    } else {
        *slot = answer.handle;
    }
    if (answer.what == MODE && answer.handle != NULL) {
        /* Another companion's block: what the control asks for now is the user's choice for it. */
        self->request_control = 1;
    }
    return LV2_WORKER_SUCCESS;
}

static void deactivate(LV2_Handle instance) {
    Receiver* self = (Receiver*)instance;
    int i;
    replace_now(self, RING, NULL);
    for (i = 0; i < TO_FREE_MAX; ++i) {
        free_handle(self, self->to_free_what[i], self->to_free[i]);
        self->to_free[i] = NULL;
    }
    ++self->generation;
}

static void cleanup(LV2_Handle instance) {
    Receiver* self = (Receiver*)instance;
    int i;
    /* Every handle there is, also one that the host still had on its way to the audio thread. */
    for (i = 0; i < HELD_MAX; ++i) free_handle(self, self->held[i].what, self->held[i].handle);
    pthread_mutex_destroy(&self->names_lock);
    free(self);
}

static const void* extension_data(const char* uri) {
    static const LV2_Worker_Interface worker = {work, work_response, NULL};
    static const LV2_State_Interface state = {save, restore};
    if (strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
    if (strcmp(uri, LV2_STATE__interface) == 0) return &state;
    return NULL;
}

static const LV2_Descriptor descriptors[] = {
    {RECEIVER_URI, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data},
    {MULTIBUS_URI, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data},
};

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < sizeof descriptors / sizeof descriptors[0] ? &descriptors[index] : NULL;
}
