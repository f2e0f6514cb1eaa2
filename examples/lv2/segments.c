/*
 * ondara-receiver's segments: their names (UTF-8 from the host, UTF-16 for ondara), opening and freeing
 * them, which happens only off the audio thread, and the state, which is the three names and the mode
 * last asked for.
 */
#define _POSIX_C_SOURCE 200809L

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <lv2/atom/atom.h>

#include "ondara_receiver.h"

const char* const segment_what[SEGMENTS] = {"ring", "mic block", "mode block"};
const char* const segment_variable[SEGMENTS] = {"ONDARA_RING", "ONDARA_MIC", "ONDARA_MODE"};
const char* const segment_default[SEGMENTS] = {"ondara-ring", "ondara-mic", "ondara-mode"};

/* ---- names ------------------------------------------------------------------------------------- */

/* UTF-8 to the UTF-16 code units ondara takes. 0 for malformed or overlong input, or a name too long.
 * Allocates nothing, so the audio thread may use it for names that arrive in patch:Set. */
static int utf8_to_utf16(const char* s, size_t bytes, uint16_t* out, size_t cap, size_t* len) {
    const unsigned char* p = (const unsigned char*)s;
    const unsigned char* end = p + bytes;
    size_t n = 0;
    while (p < end) {
        uint32_t cp, min;
        int more, i;
        if (*p == 0) return 0;
        if (*p < 0x80) { cp = *p; more = 0; min = 0; }
        else if ((*p & 0xE0) == 0xC0) { cp = *p & 0x1F; more = 1; min = 0x80; }
        else if ((*p & 0xF0) == 0xE0) { cp = *p & 0x0F; more = 2; min = 0x800; }
        else if ((*p & 0xF8) == 0xF0) { cp = *p & 0x07; more = 3; min = 0x10000; }
        else return 0;
        ++p;
        for (i = 0; i < more; ++i, ++p) {
            if (p == end || (*p & 0xC0) != 0x80) return 0;
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

/* Makes `name` from `bytes` bytes of UTF-8; 0 (and `name` unchanged) when they are no usable name. */
int set_name(SegmentName* name, const char* text, size_t bytes) {
    SegmentName n;
    if (bytes > MAX_NAME_BYTES || !utf8_to_utf16(text, bytes, n.units, MAX_NAME_BYTES, &n.len)) return 0;
    memcpy(n.text, text, bytes);
    n.text[bytes] = '\0';
    *name = n;
    return 1;
}

void copy_names(pthread_mutex_t* lock, SegmentName* to, const SegmentName* from) {
    pthread_mutex_lock(lock);
    memcpy(to, from, sizeof(SegmentName) * SEGMENTS);
    pthread_mutex_unlock(lock);
}

/* ---- handles: opened and freed only off the audio thread --------------------------------------- */

void hold(Receiver* self, uint32_t what, void* handle) {
    int i;
    if (handle == NULL) return;
    for (i = 0; i < HELD_MAX; ++i) {
        if (self->held[i].handle == NULL) {
            self->held[i].what = what;
            self->held[i].handle = handle;
            return;
        }
    }
    /* Cannot happen: at most a few handles are ever on their way. */
    lv2_log_error(&self->logger, "ondara-receiver: more than %d handles at once\n", HELD_MAX);
}

void free_handle(Receiver* self, uint32_t what, void* handle) {
    int i;
    if (handle == NULL) return;
    for (i = 0; i < HELD_MAX; ++i) {
        if (self->held[i].handle == handle) self->held[i].handle = NULL;
    }
    if (what == RING) ondara_receiver_free((OndaraReceiver*)handle);
    else if (what == MIC) ondara_mic_free((OndaraMicPublisher*)handle);
    else ondara_mode_free((OndaraModeControl*)handle);
}

/* The ring's format, and what is wrong with it for this host. */
void say_ring_format(Receiver* self, const char* name, const char* what, uint32_t channels, uint32_t rate) {
    lv2_log_note(&self->logger, "ondara-receiver: ring %s %s: %u channel%s at %u Hz\n", name, what, channels,
                 channels == 1 ? "" : "s", rate);
    if (fabs((double)rate - self->rate) > 0.5) {
        /* Nothing converts rates: the audio would play at the wrong speed, with gaps or drops. */
        lv2_log_warning(&self->logger,
                        "ondara-receiver: ring %s runs at %u Hz, the host at %.0f Hz: its audio plays at the wrong "
                        "speed; start the companion at %.0f Hz\n",
                        name, rate, self->rate, self->rate);
    }
    if (channels > 2 * self->bus_count) {
        lv2_log_note(&self->logger, "ondara-receiver: ring %s has %u channels; this plug-in plays %s\n", name, channels,
                     self->multi_bus ? "channels 0 to 5" : "channels 0 and 1 (the 3-bus plug-in plays 6)");
    }
}

/* Opens the segment `what` by `name`; NULL when it cannot be had. A failure is said when `say_failure`,
 * success when `say_success`. A ring that opens is probed with a block of no frames, which tells its
 * format without reading any audio. */
void* open_segment(Receiver* self, uint32_t what, const SegmentName* name, int say_failure, int say_success) {
    void* handle = NULL;
    OndaraStatus st;
    if (what == RING) {
        st = ondara_receiver_open(name->units, name->len, CHUNK_FRAMES, (uint8_t)self->multi_bus,
                                  (OndaraReceiver**)&handle);
    } else if (what == MIC) {
        st = ondara_mic_open(name->units, name->len, (OndaraMicPublisher**)&handle);
    } else {
        st = ondara_mode_open(name->units, name->len, (OndaraModeControl**)&handle);
    }
    if (st != ONDARA_OK) {
        if (say_failure && what == RING) {
            lv2_log_warning(&self->logger, "ondara-receiver: ring %s not found or not usable (%s): the companion may "
                            "not be running%s\n", name->text, ondara_receiver_status_message(st),
                            self->schedule != NULL ? "; looking for it every 0.25 s" : "");
        } else if (say_failure) {
            lv2_log_warning(&self->logger, "ondara-receiver: %s %s: %s\n", segment_what[what], name->text,
                            ondara_receiver_status_message(st));
        }
        return NULL;
    }
    hold(self, what, handle);
    if (!say_success) return handle;
    if (what == RING) {
        OndaraProcessResult probe;
        memset(&probe, 0, sizeof probe);
        ondara_receiver_process((OndaraReceiver*)handle, NULL, 0, 0, &probe);
        say_ring_format(self, name->text, "open", probe.channels, probe.sample_rate);
    } else {
        lv2_log_note(&self->logger, "ondara-receiver: %s %s open\n", segment_what[what], name->text);
    }
    return handle;
}

/* ---- state: the three names and the mode asked for --------------------------------------------- */

LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t flags, const LV2_Feature* const* features) {
    Receiver* self = (Receiver*)instance;
    SegmentName names[SEGMENTS];
    int i;
    (void)flags;
    (void)features;
    if (self->map == NULL) return LV2_STATE_ERR_NO_FEATURE;
    copy_names(&self->names_lock, names, self->names);
    for (i = 0; i < SEGMENTS; ++i) {
        const LV2_State_Status st = store(handle, self->uris.name[i], names[i].text, strlen(names[i].text) + 1,
                                          self->uris.atom_string, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
        if (st != LV2_STATE_SUCCESS) return st;
    }
    {
        const int32_t requested = atomic_load(&self->requested);
        return store(handle, self->uris.requested_mode, &requested, sizeof requested, self->uris.atom_int,
                     LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    }
}

/* Nothing else runs during a restore. Names that changed are opened anew: by the worker at the next
 * run, or at the next activation. A name missing from the state is the environment's default. The mode
 * the session had asked for, if any, is asked for at the next run; hosts also restore states that
 * were saved before anything was asked for (jalv saves and restores one at every start), and those
 * ask for nothing. */
LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                         uint32_t flags, const LV2_Feature* const* features) {
    Receiver* self = (Receiver*)instance;
    int i;
    (void)flags;
    (void)features;
    if (self->map == NULL) return LV2_STATE_ERR_NO_FEATURE;
    for (i = 0; i < SEGMENTS; ++i) {
        size_t size = 0;
        uint32_t type = 0, value_flags = 0;
        const char* text = (const char*)retrieve(handle, self->uris.name[i], &size, &type, &value_flags);
        SegmentName name = self->defaults[i];
        if (text != NULL && type == self->uris.atom_string && !set_name(&name, text, strnlen(text, size))) {
            lv2_log_warning(&self->logger, "ondara-receiver: the session's %s name is no usable segment name; using %s\n",
                            segment_what[i], self->defaults[i].text);
        }
        if (strcmp(name.text, self->rt_names[i].text) != 0) {
            self->renamed |= 1u << i;
            ++self->rename_serial[i];
        }
        self->names[i] = name;
        self->rt_names[i] = name;
    }
    {
        size_t size = 0;
        uint32_t type = 0, value_flags = 0;
        const void* value = retrieve(handle, self->uris.requested_mode, &size, &type, &value_flags);
        int32_t mode = -1;
        if (value != NULL && type == self->uris.atom_int && size == sizeof mode) memcpy(&mode, value, sizeof mode);
        self->restore_mode = mode >= 0 && mode <= 3 ? mode : -1;
        /* The session's request, also for a save that comes before the next run asks for it. */
        if (self->restore_mode >= 0) atomic_store(&self->requested, self->restore_mode);
    }
    self->notify_names = (1u << SEGMENTS) - 1;
    return LV2_STATE_SUCCESS;
}
