/*
 * ondara-receiver's patch messages, on the audio thread: patch:Set of a segment name and patch:Get on
 * the control port, patch:Set of each name on the notify port.
 */
#define _POSIX_C_SOURCE 200809L

#include <string.h>

#include <lv2/atom/util.h>

#include "ondara_receiver.h"

/* patch:Set of a name, patch:Get of one or all, from the host (a UI, automation, a session loader). */
void read_control(Receiver* self) {
    const Uris* u = &self->uris;
    if (self->control == NULL || self->map == NULL) return;
    LV2_ATOM_SEQUENCE_FOREACH (self->control, ev) {
        const LV2_Atom_Object* obj = (const LV2_Atom_Object*)&ev->body;
        const LV2_Atom* property = NULL;
        const LV2_Atom* value = NULL;
        uint32_t what;
        if (ev->body.type != u->atom_object && ev->body.type != u->atom_blank) continue;
        if (obj->body.otype != u->patch_set && obj->body.otype != u->patch_get) continue;
        lv2_atom_object_get(obj, u->patch_property, &property, u->patch_value, &value, 0);
        if (obj->body.otype == u->patch_get && property == NULL) {
            self->notify_names = (1u << SEGMENTS) - 1;
            continue;
        }
        if (property == NULL || property->type != u->atom_urid) continue;
        for (what = 0; what < SEGMENTS && ((const LV2_Atom_URID*)property)->body != u->name[what]; ++what) {
        }
        if (what == SEGMENTS) continue;
        if (obj->body.otype == u->patch_get) {
            self->notify_names |= 1u << what;
        } else if (value != NULL && value->type == u->atom_string) {
            const char* text = (const char*)LV2_ATOM_BODY_CONST(value);
            const size_t bytes = value->size > 0 ? strnlen(text, value->size) : 0;
            SegmentName name;
            if (set_name(&name, text, bytes)) {
                /* The name it has already changes nothing: reopening would reset the block. */
                if (strcmp(name.text, self->rt_names[what].text) != 0) {
                    self->rt_names[what] = name;
                    self->renamed |= 1u << what;
                    ++self->rename_serial[what];
                }
            } else if (self->schedule != NULL) {
                /* Said by the worker: the log is no place for the audio thread. */
                Job job;
                memset(&job, 0, sizeof job);
                job.type = JOB_REFUSED_NAME;
                job.what = what;
                send_job(self, &job);
            }
            self->notify_names |= 1u << what;
        }
    }
}

/* The bytes that one patch:Set of a name of `len` bytes takes in a sequence, as the forge writes it:
 * the event's time, the object's header, two property headers, the URID atom and the string atom,
 * each padded to 8 bytes. */
static uint32_t notify_event_size(uint32_t len) {
    return (uint32_t)(sizeof(int64_t) + sizeof(LV2_Atom_Object) + 2 * 2 * sizeof(uint32_t) +
                      lv2_atom_pad_size(sizeof(LV2_Atom_URID)) + sizeof(LV2_Atom) + lv2_atom_pad_size(len + 1));
}

/* patch:Set of each name the host should hear about, on the notify port. */
void write_notify(Receiver* self) {
    const Uris* u = &self->uris;
    LV2_Atom_Forge_Frame seq;
    uint32_t what;
    if (self->notify == NULL || self->map == NULL) return;
    lv2_atom_forge_set_buffer(&self->forge, (uint8_t*)self->notify, self->notify->atom.size);
    if (!lv2_atom_forge_sequence_head(&self->forge, &seq, 0)) return;
    for (what = 0; what < SEGMENTS; ++what) {
        LV2_Atom_Forge_Frame obj;
        const SegmentName* name = &self->rt_names[what];
        const uint32_t len = (uint32_t)strlen(name->text);
        if (!(self->notify_names & (1u << what))) continue;
        /* Whole events or none: a host that gives less room than the port asks for (rsz:minimumSize)
         * gets the events that fit, and the rest next time, never half of one. A long name that does
         * not fit holds back none of the others. */
        if (self->forge.offset + notify_event_size(len) > self->forge.size) continue;
        lv2_atom_forge_frame_time(&self->forge, 0);
        lv2_atom_forge_object(&self->forge, &obj, 0, u->patch_set);
        lv2_atom_forge_key(&self->forge, u->patch_property);
        lv2_atom_forge_urid(&self->forge, u->name[what]);
        lv2_atom_forge_key(&self->forge, u->patch_value);
        lv2_atom_forge_string(&self->forge, name->text, len);
        lv2_atom_forge_pop(&self->forge, &obj);
        self->notify_names &= ~(1u << what);
    }
    lv2_atom_forge_pop(&self->forge, &seq);
}
