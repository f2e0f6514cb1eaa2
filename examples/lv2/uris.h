/*
 * The URIs of ondara-receiver and the URIDs the host maps them to, as in eg-sampler's uris.h.
 */
#ifndef ONDARA_RECEIVER_URIS_H
#define ONDARA_RECEIVER_URIS_H

#include <lv2/atom/atom.h>
#include <lv2/patch/patch.h>
#include <lv2/urid/urid.h>

#define RECEIVER_URI "urn:ondara:receiver"
#define MULTIBUS_URI "urn:ondara:receiver-multibus"
/* The segment names as parameters: patch:Set changes them, the session saves them. */
#define RING_NAME_URI "urn:ondara:receiver#ring_name"
#define MIC_NAME_URI "urn:ondara:receiver#mic_name"
#define MODE_NAME_URI "urn:ondara:receiver#mode_name"
/* The mode the plug-in last asked for, saved with the session so that restoring it asks again. */
#define REQUESTED_MODE_URI "urn:ondara:receiver#requested_mode"

enum { RING = 0, MIC = 1, MODE = 2, SEGMENTS = 3 }; /* the three segments; the index of their names */

typedef struct {
    LV2_URID atom_string, atom_int, atom_urid, atom_object, atom_blank, atom_sequence, patch_set, patch_get,
        patch_property, patch_value, name[SEGMENTS], requested_mode;
} Uris;

static inline void map_uris(LV2_URID_Map* map, Uris* u) {
    u->atom_string = map->map(map->handle, LV2_ATOM__String);
    u->atom_int = map->map(map->handle, LV2_ATOM__Int);
    u->atom_urid = map->map(map->handle, LV2_ATOM__URID);
    u->atom_object = map->map(map->handle, LV2_ATOM__Object);
    u->atom_blank = map->map(map->handle, LV2_ATOM__Blank);
    u->atom_sequence = map->map(map->handle, LV2_ATOM__Sequence);
    u->patch_set = map->map(map->handle, LV2_PATCH__Set);
    u->patch_get = map->map(map->handle, LV2_PATCH__Get);
    u->patch_property = map->map(map->handle, LV2_PATCH__property);
    u->patch_value = map->map(map->handle, LV2_PATCH__value);
    u->name[RING] = map->map(map->handle, RING_NAME_URI);
    u->name[MIC] = map->map(map->handle, MIC_NAME_URI);
    u->name[MODE] = map->map(map->handle, MODE_NAME_URI);
    u->requested_mode = map->map(map->handle, REQUESTED_MODE_URI);
}

#endif
