/*
 * ondara-lv2-test-host: loads an LV2 plug-in through lilv as any LV2 host does, offers urid:map and
 * urid:unmap, log:log and a worker, and runs blocks paced in real time (or in step with a test).
 *
 *   ondara-lv2-test-host URI [--seconds S] [--mode M] [--block N] [--in-place] [--out FILE]
 *                            [--worker threaded|immediate|fail-once|none] [--at N] [--set PROPERTY=VALUE]...
 *                            [--save FILE] [--restore FILE]... [--rate HZ] [--until FILE] [--step FILE]
 *                            [--notify-size BYTES]
 *
 *   --mode M      the control `mode` moves to M after the first block, as a user would move it
 *   --block N     frames per run() (default 256, at most 8192)
 *   --in-place    the audio inputs share the buffers of the first audio outputs, as hosts may do
 *   --out FILE    the first two audio outputs as a 32-bit float stereo WAV file
 *   --worker      threaded (the default): work() on a thread of its own, responses delivered after
 *                 run(); immediate: work() and work_response() inside schedule_work, which the
 *                 worker extension allows; fail-once: threaded, but the first respond() fails;
 *                 none: no worker offered
 *   --set P=V     patch:Set of the string property P (the part of its URI after '#') to V, sent
 *                 with the first block (or block N of --at)
 *   --save FILE   the plug-in's state at the end, as Turtle
 *   --restore F   restores the state in Turtle file F before activation (or before block N of --at);
 *                 `--restore own` saves the instance's state and restores that, as jalv does at every
 *                 start
 *   --at N        the --set and --restore options after it act before block N (counted from 0) of
 *                 the running instance instead: a preset or a session loaded while it plays. A state
 *                 is restored while the worker is idle, as the state extension asks
 *   --rate HZ     the sample rate passed to instantiate (the blocks stay paced at 48 kHz)
 *   --until FILE  ends as soon as FILE exists (looked for every 10 ms of audio), or after S seconds,
 *                 whichever comes first: a test that drives a session runs the host for as long as
 *                 that takes on a slow machine, then stops it cleanly
 *   --step FILE   runs in step with a test instead of the clock: no block past the count that FILE
 *                 holds (a decimal number, replaced whole) is run; at each stop the host prints "host:
 *                 at block N" and waits for a larger count, so that the test can change a segment
 *                 between two exact blocks however slowly the machine runs
 *   --notify-size BYTES  the room the notify port gets (default 8192), as a host that gives less than
 *                 the port's rsz:minimumSize would; every event it carries is checked to be whole
 *
 * The audio inputs carry a 440 Hz sine, peak 0.5 on the first input and 0.125 on the second. Every
 * control input keeps its default but `mode`. It prints what the notify port says ("notify
 * ring_name=..."), when ring audio starts and stops ("host: ring audio at N ms", on the monotonic
 * clock), the control outputs by symbol at the end ("control applied_mode=2") and what came out of
 * the first audio output. A notify event that is cut off or a patch:Set without its value is reported
 * as "host: broken notify event".
 */
#define _POSIX_C_SOURCE 200809L

#include <math.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/patch/patch.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#define MAX_BLOCK 8192
#define RATE 48000
#define MAX_PORTS 32
#define MAX_URIDS 64
#define QUEUE 16
#define MESSAGE_MAX 512
#define ATOM_CAPACITY 8192
#define MAX_SETS 4
#define MAX_RESTORES 4

/* ---- urid:map, urid:unmap and log:log ---------------------------------------------------------- */

static char* uris[MAX_URIDS];
static uint32_t uri_count;
static pthread_mutex_t uri_lock = PTHREAD_MUTEX_INITIALIZER;

static LV2_URID map_uri(LV2_URID_Map_Handle handle, const char* uri) {
    uint32_t i;
    LV2_URID id = 0;
    (void)handle;
    pthread_mutex_lock(&uri_lock);
    for (i = 0; i < uri_count && id == 0; ++i) {
        if (strcmp(uris[i], uri) == 0) id = i + 1;
    }
    if (id == 0 && uri_count < MAX_URIDS) {
        uris[uri_count] = malloc(strlen(uri) + 1);
        strcpy(uris[uri_count], uri);
        id = ++uri_count;
    }
    pthread_mutex_unlock(&uri_lock);
    return id;
}

static const char* unmap_uri(LV2_URID_Unmap_Handle handle, LV2_URID urid) {
    const char* uri = NULL;
    (void)handle;
    pthread_mutex_lock(&uri_lock);
    if (urid >= 1 && urid <= uri_count) uri = uris[urid - 1];
    pthread_mutex_unlock(&uri_lock);
    return uri;
}

static int log_vprintf(LV2_Log_Handle handle, LV2_URID type, const char* fmt, va_list ap) {
    (void)handle;
    (void)type;
    printf("plugin: ");
    vprintf(fmt, ap);
    fflush(stdout);
    return 0;
}

static int log_printf(LV2_Log_Handle handle, LV2_URID type, const char* fmt, ...) {
    va_list ap;
    int r;
    va_start(ap, fmt);
    r = log_vprintf(handle, type, fmt, ap);
    va_end(ap);
    return r;
}

/* ---- the worker: requests go to a thread, responses come back to the audio loop ----------------- */

typedef struct {
    uint32_t size;
    unsigned char data[MESSAGE_MAX];
} Message;

typedef struct {
    Message items[QUEUE];
    unsigned head, count;
} Queue;

static int queue_push(Queue* q, uint32_t size, const void* data) {
    Message* m;
    if (size > MESSAGE_MAX || q->count == QUEUE) return 0;
    m = &q->items[(q->head + q->count) % QUEUE];
    m->size = size;
    memcpy(m->data, data, size);
    ++q->count;
    return 1;
}

static int queue_pop(Queue* q, Message* out) {
    if (q->count == 0) return 0;
    *out = q->items[q->head];
    q->head = (q->head + 1) % QUEUE;
    --q->count;
    return 1;
}

enum { WORKER_THREADED, WORKER_IMMEDIATE, WORKER_FAIL_ONCE, WORKER_NONE };

static struct {
    pthread_mutex_t lock;
    pthread_cond_t wake;
    Queue requests, responses;
    pthread_cond_t idle; /* signalled when the worker has nothing left to do */
    int busy;            /* work() is running */
    int stop;
    int kind;
    int failed_once;
    LilvInstance* instance;
    const LV2_Worker_Interface* iface;
} worker = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {{{0}}, 0, 0}, {{{0}}, 0, 0}, PTHREAD_COND_INITIALIZER,
          0, 0, 0, 0, NULL, NULL};

/* A test host may take a lock here; a real one passes messages through a lock-free ring. The worker
   re-checks its queue when woken, so waking it for a response as well is harmless. */
static LV2_Worker_Status push_locked(Queue* q, uint32_t size, const void* data) {
    int ok;
    pthread_mutex_lock(&worker.lock);
    ok = queue_push(q, size, data);
    pthread_cond_signal(&worker.wake);
    pthread_mutex_unlock(&worker.lock);
    return ok ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
}

static LV2_Worker_Status respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
    (void)handle;
    if (worker.kind == WORKER_FAIL_ONCE && !worker.failed_once) {
        worker.failed_once = 1;
        printf("host: refused the worker's first response\n");
        fflush(stdout);
        return LV2_WORKER_ERR_NO_SPACE;
    }
    return push_locked(&worker.responses, size, data);
}

/* The worker run at once: its response reaches the plug-in before schedule_work returns. */
static LV2_Worker_Status respond_at_once(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
    (void)handle;
    return worker.iface->work_response(lilv_instance_get_handle(worker.instance), size, data);
}

static LV2_Worker_Status schedule_work(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
    (void)handle;
    if (worker.kind == WORKER_IMMEDIATE) {
        return worker.iface->work(lilv_instance_get_handle(worker.instance), respond_at_once, NULL, size, data);
    }
    return push_locked(&worker.requests, size, data);
}

static void* worker_thread(void* arg) {
    Message m;
    (void)arg;
    pthread_mutex_lock(&worker.lock);
    for (;;) {
        while (!worker.stop && worker.requests.count == 0) pthread_cond_wait(&worker.wake, &worker.lock);
        if (!queue_pop(&worker.requests, &m)) break; /* stopping with nothing left to do */
        worker.busy = 1;
        pthread_mutex_unlock(&worker.lock);
        worker.iface->work(lilv_instance_get_handle(worker.instance), respond, NULL, m.size, m.data);
        pthread_mutex_lock(&worker.lock);
        worker.busy = 0;
        if (worker.requests.count == 0) pthread_cond_broadcast(&worker.idle);
    }
    pthread_mutex_unlock(&worker.lock);
    return NULL;
}

/* After each run(): hand the responses to the plug-in in the audio thread, then end the cycle. */
static void deliver_responses(void) {
    Message m;
    if (worker.iface == NULL) return;
    for (;;) {
        int got;
        pthread_mutex_lock(&worker.lock);
        got = queue_pop(&worker.responses, &m);
        pthread_mutex_unlock(&worker.lock);
        if (!got) break;
        worker.iface->work_response(lilv_instance_get_handle(worker.instance), m.size, m.data);
    }
    if (worker.iface->end_run != NULL) worker.iface->end_run(lilv_instance_get_handle(worker.instance));
}

/* ---- the host ----------------------------------------------------------------------------------- */

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1000.0 + (double)ts.tv_nsec / 1.0e6;
}

static void sleep_until(double deadline_ms) {
    const double wait = deadline_ms - now_ms();
    struct timespec ts;
    if (wait <= 0.0) return;
    ts.tv_sec = (time_t)(wait / 1000.0);
    ts.tv_nsec = (long)((wait - (double)ts.tv_sec * 1000.0) * 1.0e6);
    nanosleep(&ts, NULL);
}

static char* read_text(const char* path) {
    FILE* f = fopen(path, "rb");
    char* text;
    long n;
    if (f == NULL) return NULL;
    fseek(f, 0, SEEK_END);
    n = ftell(f);
    fseek(f, 0, SEEK_SET);
    text = malloc((size_t)n + 1);
    if (text != NULL && fread(text, 1, (size_t)n, f) != (size_t)n) {
        free(text);
        text = NULL;
    }
    if (text != NULL) text[n] = '\0';
    fclose(f);
    return text;
}

static void put_u32(FILE* f, uint32_t v) {
    const unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16), (unsigned char)(v >> 24)};
    fwrite(b, 1, 4, f);
}

static void put_u16(FILE* f, uint16_t v) {
    const unsigned char b[2] = {(unsigned char)v, (unsigned char)(v >> 8)};
    fwrite(b, 1, 2, f);
}

/* A 32-bit float stereo WAV header for `frames` frames. */
static void wav_header(FILE* f, uint32_t frames) {
    fwrite("RIFF", 1, 4, f);
    put_u32(f, 36 + frames * 8);
    fwrite("WAVEfmt ", 1, 8, f);
    put_u32(f, 16);
    put_u16(f, 3);
    put_u16(f, 2);
    put_u32(f, RATE);
    put_u32(f, RATE * 8);
    put_u16(f, 8);
    put_u16(f, 32);
    fwrite("data", 1, 4, f);
    put_u32(f, frames * 8);
}

static const char* symbol_of(const LilvPlugin* plugin, uint32_t p) {
    return lilv_node_as_string(lilv_port_get_symbol(plugin, lilv_plugin_get_port_by_index(plugin, p)));
}

static void usage(void) {
    fprintf(stderr,
            "usage: ondara-lv2-test-host URI [--seconds S] [--mode M] [--block N] [--in-place] [--out FILE]\n"
            "                            [--worker threaded|immediate|fail-once|none] [--at N] [--set P=V]...\n"
            "                            [--save FILE] [--restore FILE]... [--rate HZ] [--until FILE] [--step FILE]\n"
            "                            [--notify-size BYTES]\n");
}

/* The block count that the --step file holds; 0 while it cannot be read. */
static unsigned long long step_limit(const char* path) {
    char* text = read_text(path);
    const unsigned long long n = text != NULL ? strtoull(text, NULL, 10) : 0;
    free(text);
    return n;
}

static float port_values[MAX_PORTS];
static const LilvPlugin* the_plugin;

static void set_port_value(const char* symbol, void* user_data, const void* value, uint32_t size, uint32_t type) {
    uint32_t p;
    (void)user_data;
    (void)type;
    for (p = 0; p < lilv_plugin_get_num_ports(the_plugin) && p < MAX_PORTS; ++p) {
        if (strcmp(symbol_of(the_plugin, p), symbol) == 0 && size == sizeof(float)) memcpy(&port_values[p], value, sizeof(float));
    }
}

static const void* get_port_value(const char* symbol, void* user_data, uint32_t* size, uint32_t* type) {
    (void)symbol;
    (void)user_data;
    *size = 0;
    *type = 0;
    return NULL; /* ports are the host's business here; the test looks at the plug-in's own state */
}

/* Restores the state in the Turtle file `path` (or, for "own", the instance's own state, as jalv does
 * at every start). A running instance is restored between two blocks, with the worker idle: nothing
 * else of the plug-in runs meanwhile. */
static int restore_state(LilvWorld* world, LV2_URID_Map* map, const LV2_Feature* const* features, const char* path) {
    const int own = strcmp(path, "own") == 0;
    char* text = own ? NULL : read_text(path);
    LilvState* state = own ? lilv_state_new_from_instance(the_plugin, worker.instance, map, NULL, NULL, NULL, NULL,
                                                          get_port_value, NULL, 0, features)
                       : text != NULL ? lilv_state_new_from_string(world, map, text)
                                      : NULL;
    free(text);
    if (state == NULL) {
        fprintf(stderr, "host: cannot read the state in %s\n", path);
        return 0;
    }
    pthread_mutex_lock(&worker.lock);
    while (worker.busy || worker.requests.count > 0) pthread_cond_wait(&worker.idle, &worker.lock);
    lilv_state_restore(state, worker.instance, set_port_value, NULL, 0, features);
    pthread_mutex_unlock(&worker.lock);
    lilv_state_free(state);
    return 1;
}

int main(int argc, char** argv) {
    const char* uri_text = NULL;
    const char *out_path = NULL, *save_path = NULL, *until_path = NULL, *step_path = NULL;
    const char *sets[MAX_SETS], *restores[MAX_RESTORES];
    long long set_at[MAX_SETS], restore_at[MAX_RESTORES], at = -1; /* -1: the first block, or before activation */
    int set_count = 0, restore_count = 0;
    uint32_t notify_size = ATOM_CAPACITY;
    unsigned long long limit = 0;
    double seconds = 2.0, rate = RATE;
    float mode = -1.0f;
    int in_place = 0;
    uint32_t block = 256;
    int i;
    LilvWorld* world;
    LilvNode *uri, *audio_class, *control_class, *input_class, *atom_class;
    uint32_t n_ports, p;
    static float audio[MAX_PORTS][MAX_BLOCK];
    static union {
        LV2_Atom_Sequence seq;
        uint8_t bytes[ATOM_CAPACITY];
    } atoms[MAX_PORTS];
    int is_audio[MAX_PORTS], is_input[MAX_PORTS], is_atom[MAX_PORTS], audio_outs[MAX_PORTS], audio_ins[MAX_PORTS];
    int n_outs = 0, n_ins = 0, mode_port = -1, ring_frames_port = -1;
    LV2_URID_Map map = {NULL, map_uri};
    LV2_URID_Unmap unmap = {NULL, unmap_uri};
    LV2_Log_Log log = {NULL, log_printf, log_vprintf};
    LV2_Worker_Schedule schedule = {NULL, schedule_work};
    LV2_Feature map_feature = {LV2_URID__map, &map}, unmap_feature = {LV2_URID__unmap, &unmap},
                log_feature = {LV2_LOG__log, &log}, schedule_feature = {LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[] = {&map_feature, &unmap_feature, &log_feature, &schedule_feature, NULL};
    pthread_t thread;
    unsigned long long blocks, total_blocks, frame = 0, nonzero_out = 0;
    double start, peak_out = 0.0;
    FILE* out_file = NULL;
    int ring_playing = -1;
    LV2_Atom_Forge forge;
    LV2_URID atom_object, atom_blank, atom_string, atom_urid, atom_chunk, patch_set, patch_property, patch_value;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = atof(argv[++i]);
        else if (strcmp(argv[i], "--mode") == 0 && i + 1 < argc) mode = (float)atof(argv[++i]);
        else if (strcmp(argv[i], "--block") == 0 && i + 1 < argc) block = (uint32_t)atoi(argv[++i]);
        else if (strcmp(argv[i], "--rate") == 0 && i + 1 < argc) rate = atof(argv[++i]);
        else if (strcmp(argv[i], "--in-place") == 0) in_place = 1;
        else if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) out_path = argv[++i];
        else if (strcmp(argv[i], "--save") == 0 && i + 1 < argc) save_path = argv[++i];
        else if (strcmp(argv[i], "--until") == 0 && i + 1 < argc) until_path = argv[++i];
        else if (strcmp(argv[i], "--step") == 0 && i + 1 < argc) step_path = argv[++i];
        else if (strcmp(argv[i], "--at") == 0 && i + 1 < argc) at = atoll(argv[++i]);
        else if (strcmp(argv[i], "--notify-size") == 0 && i + 1 < argc) notify_size = (uint32_t)atoi(argv[++i]);
        else if (strcmp(argv[i], "--set") == 0 && i + 1 < argc && set_count < MAX_SETS) {
            set_at[set_count] = at;
            sets[set_count++] = argv[++i];
        } else if (strcmp(argv[i], "--restore") == 0 && i + 1 < argc && restore_count < MAX_RESTORES) {
            restore_at[restore_count] = at;
            restores[restore_count++] = argv[++i];
        } else if (strcmp(argv[i], "--worker") == 0 && i + 1 < argc) {
            const char* k = argv[++i];
            worker.kind = strcmp(k, "threaded") == 0    ? WORKER_THREADED
                          : strcmp(k, "immediate") == 0 ? WORKER_IMMEDIATE
                          : strcmp(k, "fail-once") == 0 ? WORKER_FAIL_ONCE
                          : strcmp(k, "none") == 0      ? WORKER_NONE
                                                        : -1;
            if (worker.kind < 0) {
                usage();
                return 2;
            }
        } else if (uri_text == NULL && argv[i][0] != '-') uri_text = argv[i];
        else {
            usage();
            return 2;
        }
    }
    if (uri_text == NULL || !(seconds > 0.0 && seconds < 600.0) || block < 1 || block > MAX_BLOCK ||
        notify_size < sizeof(LV2_Atom) || notify_size > ATOM_CAPACITY) {
        usage();
        return 2;
    }
    if (worker.kind == WORKER_NONE) features[3] = NULL;

    world = lilv_world_new();
    lilv_world_load_all(world); /* LV2_PATH, or the standard places */
    uri = lilv_new_uri(world, uri_text);
    the_plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    if (the_plugin == NULL) {
        fprintf(stderr, "host: no plug-in %s on the LV2 path\n", uri_text);
        lilv_node_free(uri);
        lilv_world_free(world);
        return 1;
    }
    n_ports = lilv_plugin_get_num_ports(the_plugin);
    if (n_ports > MAX_PORTS) {
        fprintf(stderr, "host: %u ports are too many\n", n_ports);
        return 1;
    }

    atom_object = map_uri(NULL, LV2_ATOM__Object);
    atom_blank = map_uri(NULL, LV2_ATOM__Blank);
    atom_string = map_uri(NULL, LV2_ATOM__String);
    atom_urid = map_uri(NULL, LV2_ATOM__URID);
    atom_chunk = map_uri(NULL, LV2_ATOM__Chunk);
    patch_set = map_uri(NULL, LV2_PATCH__Set);
    patch_property = map_uri(NULL, LV2_PATCH__property);
    patch_value = map_uri(NULL, LV2_PATCH__value);
    lv2_atom_forge_init(&forge, &map);

    audio_class = lilv_new_uri(world, LV2_CORE__AudioPort);
    control_class = lilv_new_uri(world, LV2_CORE__ControlPort);
    input_class = lilv_new_uri(world, LV2_CORE__InputPort);
    atom_class = lilv_new_uri(world, LV2_ATOM__AtomPort);
    {
        float defaults[MAX_PORTS];
        lilv_plugin_get_port_ranges_float(the_plugin, NULL, NULL, defaults);
        for (p = 0; p < n_ports; ++p) {
            const LilvPort* port = lilv_plugin_get_port_by_index(the_plugin, p);
            is_audio[p] = lilv_port_is_a(the_plugin, port, audio_class);
            is_atom[p] = lilv_port_is_a(the_plugin, port, atom_class);
            is_input[p] = lilv_port_is_a(the_plugin, port, input_class);
            port_values[p] = isnan(defaults[p]) ? 0.0f : defaults[p];
            if (!is_audio[p] && !is_atom[p] && is_input[p] && strcmp(symbol_of(the_plugin, p), "mode") == 0) mode_port = (int)p;
            if (!is_audio[p] && !is_atom[p] && !is_input[p] && strcmp(symbol_of(the_plugin, p), "ring_frames") == 0) {
                ring_frames_port = (int)p;
            }
            if (is_audio[p] && !is_input[p]) audio_outs[n_outs++] = (int)p;
            if (is_audio[p] && is_input[p]) audio_ins[n_ins++] = (int)p;
        }
    }
    printf("host: offering urid:map, urid:unmap, log:log%s\n", worker.kind == WORKER_NONE ? "" : ", worker:schedule");
    fflush(stdout);

    worker.instance = lilv_plugin_instantiate(the_plugin, rate, features);
    if (worker.instance == NULL) {
        fprintf(stderr, "host: instantiation failed\n");
        return 1;
    }
    if (worker.kind != WORKER_NONE) {
        worker.iface = (const LV2_Worker_Interface*)lilv_instance_get_extension_data(worker.instance, LV2_WORKER__interface);
        if (worker.iface == NULL) {
            fprintf(stderr, "host: the plug-in has no worker interface\n");
            return 1;
        }
        if (worker.kind != WORKER_IMMEDIATE) pthread_create(&thread, NULL, worker_thread, NULL);
    }
    for (i = 0; i < restore_count; ++i) {
        if (restore_at[i] < 0 && !restore_state(world, &map, features, restores[i])) return 1;
    }
    for (p = 0; p < n_ports; ++p) {
        void* buffer = is_audio[p] ? (void*)audio[p] : is_atom[p] ? (void*)&atoms[p].seq : (void*)&port_values[p];
        if (in_place && is_audio[p] && is_input[p]) {
            int k;
            for (k = 0; k < n_ins && audio_ins[k] != (int)p; ++k) {
            }
            if (k < n_outs) buffer = audio[audio_outs[k]];
        }
        lilv_instance_connect_port(worker.instance, p, buffer);
    }
    if (out_path != NULL) {
        out_file = fopen(out_path, "wb");
        if (out_file == NULL || n_outs < 2) {
            fprintf(stderr, "host: cannot write %s\n", out_path);
            return 1;
        }
        wav_header(out_file, 0);
    }
    lilv_instance_activate(worker.instance);

    total_blocks = (unsigned long long)(seconds * RATE / block + 0.5);
    start = now_ms();
    for (blocks = 0; blocks < total_blocks; ++blocks) {
        int k;
        if (step_path != NULL && blocks >= limit) {
            const double give_up = now_ms() + 60000.0;
            printf("host: at block %llu\n", blocks);
            fflush(stdout);
            while ((limit = step_limit(step_path)) <= blocks && now_ms() < give_up) sleep_until(now_ms() + 1.0);
            if (limit <= blocks) {
                fprintf(stderr, "host: %s never let block %llu run\n", step_path, blocks);
                return 1;
            }
        }
        for (k = 0; k < restore_count; ++k) {
            if (restore_at[k] != (long long)blocks) continue;
            if (!restore_state(world, &map, features, restores[k])) return 1;
            printf("host: restored %s before block %llu\n", restores[k], blocks);
        }
        /* The inputs: the sine, written into the output buffers when they are shared. */
        for (k = 0; k < n_ins; ++k) {
            float* x = in_place && k < n_outs ? audio[audio_outs[k]] : audio[audio_ins[k]];
            const double peak = k == 0 ? 0.5 : 0.125;
            uint32_t f;
            for (f = 0; f < block; ++f) x[f] = (float)(peak * sin(2.0 * 3.14159265358979323846 * 440.0 * (double)(frame + f) / RATE));
        }
        for (p = 0; p < n_ports; ++p) {
            if (!is_atom[p]) continue;
            if (is_input[p]) {
                LV2_Atom_Forge_Frame seq;
                lv2_atom_forge_set_buffer(&forge, atoms[p].bytes, ATOM_CAPACITY);
                lv2_atom_forge_sequence_head(&forge, &seq, 0);
                for (k = 0; k < set_count; ++k) {
                    const char* eq = strchr(sets[k], '=');
                    char property[256];
                    LV2_Atom_Forge_Frame obj;
                    if ((unsigned long long)(set_at[k] < 0 ? 0 : set_at[k]) != blocks) continue;
                    if (eq == NULL || (size_t)(eq - sets[k]) >= sizeof property - 32) continue;
                    snprintf(property, sizeof property, "urn:ondara:receiver#%.*s", (int)(eq - sets[k]), sets[k]);
                    lv2_atom_forge_frame_time(&forge, 0);
                    lv2_atom_forge_object(&forge, &obj, 0, patch_set);
                    lv2_atom_forge_key(&forge, patch_property);
                    lv2_atom_forge_urid(&forge, map_uri(NULL, property));
                    lv2_atom_forge_key(&forge, patch_value);
                    lv2_atom_forge_string(&forge, eq + 1, (uint32_t)strlen(eq + 1));
                    lv2_atom_forge_pop(&forge, &obj);
                    if (set_at[k] >= 0) printf("host: patch:Set %s with block %llu\n", sets[k], blocks);
                }
                lv2_atom_forge_pop(&forge, &seq);
            } else {
                atoms[p].seq.atom.type = atom_chunk;
                atoms[p].seq.atom.size = notify_size - sizeof(LV2_Atom);
            }
        }
        if (blocks == 1 && mode_port >= 0 && mode >= 0.0f) port_values[mode_port] = mode;
        lilv_instance_run(worker.instance, block);
        deliver_responses();
        for (p = 0; p < n_ports; ++p) {
            if (!is_atom[p] || is_input[p] || atoms[p].seq.atom.type == atom_chunk) continue;
            if (sizeof(LV2_Atom) + atoms[p].seq.atom.size > notify_size) {
                printf("host: broken notify event: a sequence of %u bytes in %u\n", atoms[p].seq.atom.size, notify_size);
                continue;
            }
            LV2_ATOM_SEQUENCE_FOREACH (&atoms[p].seq, ev) {
                const LV2_Atom_Object* obj = (const LV2_Atom_Object*)&ev->body;
                const LV2_Atom *property = NULL, *value = NULL;
                const char* seq_end = (const char*)LV2_ATOM_BODY(&atoms[p].seq) + atoms[p].seq.atom.size;
                if ((const char*)(ev + 1) > seq_end || (const char*)(ev + 1) + ev->body.size > seq_end) {
                    printf("host: broken notify event: it ends past its sequence\n");
                    break;
                }
                if ((ev->body.type != atom_object && ev->body.type != atom_blank) || obj->body.otype != patch_set) continue;
                lv2_atom_object_get(obj, patch_property, &property, patch_value, &value, 0);
                if (property == NULL || property->type != atom_urid || value == NULL || value->type != atom_string) {
                    printf("host: broken notify event: a patch:Set without a property and a string value\n");
                } else {
                    const char* name = unmap_uri(NULL, ((const LV2_Atom_URID*)property)->body);
                    const char* hash = name != NULL ? strchr(name, '#') : NULL;
                    printf("notify %s=%s\n", hash != NULL ? hash + 1 : "?", (const char*)LV2_ATOM_BODY_CONST(value));
                }
            }
        }
        if (ring_frames_port >= 0) {
            const int playing = port_values[ring_frames_port] > 0.0f;
            if (playing != ring_playing) {
                printf("host: ring %s at %.0f ms\n", playing ? "audio" : "silence", now_ms());
                ring_playing = playing;
            }
        }
        fflush(stdout);
        if (n_outs > 0) {
            uint32_t f;
            for (f = 0; f < block; ++f) {
                const double a = fabs(audio[audio_outs[0]][f]);
                nonzero_out += a > 0.0;
                if (a > peak_out) peak_out = a;
            }
        }
        if (out_file != NULL) {
            uint32_t f;
            for (f = 0; f < block; ++f) {
                fwrite(&audio[audio_outs[0]][f], sizeof(float), 1, out_file);
                fwrite(&audio[audio_outs[1]][f], sizeof(float), 1, out_file);
            }
        }
        frame += block;
        if (until_path != NULL && frame / (RATE / 100) != (frame - block) / (RATE / 100)) {
            FILE* f = fopen(until_path, "r");
            if (f != NULL) {
                fclose(f);
                ++blocks;
                break;
            }
        }
        if (step_path == NULL) sleep_until(start + (double)(blocks + 1) * 1000.0 * block / RATE);
    }

    for (p = 0; p < n_ports; ++p) {
        if (!is_audio[p] && !is_atom[p] && !is_input[p]) printf("control %s=%g\n", symbol_of(the_plugin, p), (double)port_values[p]);
    }
    printf("host: blocks=%llu nonzero_out=%llu peak_out=%.4f\n", blocks, nonzero_out, peak_out);
    if (out_file != NULL) {
        fseek(out_file, 0, SEEK_SET);
        wav_header(out_file, (uint32_t)frame);
        fclose(out_file);
    }
    if (save_path != NULL) {
        LilvState* state = lilv_state_new_from_instance(the_plugin, worker.instance, &map, NULL, NULL, NULL, NULL,
                                                        get_port_value, NULL, 0, features);
        char* text = state != NULL ? lilv_state_to_string(world, &map, &unmap, state, "urn:ondara:test-state", NULL) : NULL;
        FILE* f = text != NULL ? fopen(save_path, "w") : NULL;
        if (f == NULL) {
            fprintf(stderr, "host: cannot save the state to %s\n", save_path);
            return 1;
        }
        fputs(text, f);
        fclose(f);
        lilv_free(text);
        lilv_state_free(state);
    }

    lilv_instance_deactivate(worker.instance);
    if (worker.iface != NULL && worker.kind != WORKER_IMMEDIATE) {
        pthread_mutex_lock(&worker.lock);
        worker.stop = 1;
        pthread_cond_signal(&worker.wake);
        pthread_mutex_unlock(&worker.lock);
        pthread_join(thread, NULL);
    }
    lilv_instance_free(worker.instance);
    lilv_node_free(audio_class);
    lilv_node_free(control_class);
    lilv_node_free(input_class);
    lilv_node_free(atom_class);
    lilv_node_free(uri);
    lilv_world_free(world);
    for (i = 0; i < (int)uri_count; ++i) free(uris[i]);
    fflush(stdout);
    return 0;
}
