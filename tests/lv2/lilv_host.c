/*
 * ondara-lv2-test-host: loads an LV2 plug-in through lilv as any LV2 host does, offers urid:map,
 * log:log and a worker on its own thread, and runs 256-frame blocks paced in real time.
 *
 *   ondara-lv2-test-host URI [--seconds S] [--mode M]
 *
 * The audio inputs carry a 440 Hz sine, peak 0.5 on the first input and 0.125 on the second. Every
 * control input keeps its default but `mode`, which is set to M. At the end it prints the control
 * outputs by symbol ("control applied_mode=2") and what came out of the first audio output.
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
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#define BLOCK 256
#define RATE 48000
#define MAX_PORTS 32
#define MAX_URIDS 64
#define QUEUE 16
#define MESSAGE_MAX 64

/* ---- urid:map and log:log ---------------------------------------------------------------------- */

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

static struct {
    pthread_mutex_t lock;
    pthread_cond_t wake;
    Queue requests, responses;
    int stop;
    LilvInstance* instance;
    const LV2_Worker_Interface* iface;
} worker = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {{{0}}, 0, 0}, {{{0}}, 0, 0}, 0, NULL, NULL};

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

static LV2_Worker_Status schedule_work(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
    (void)handle;
    return push_locked(&worker.requests, size, data);
}

static LV2_Worker_Status respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
    (void)handle;
    return push_locked(&worker.responses, size, data);
}

static void* worker_thread(void* arg) {
    Message m;
    (void)arg;
    pthread_mutex_lock(&worker.lock);
    for (;;) {
        while (!worker.stop && worker.requests.count == 0) pthread_cond_wait(&worker.wake, &worker.lock);
        if (!queue_pop(&worker.requests, &m)) break; /* stopping with nothing left to do */
        pthread_mutex_unlock(&worker.lock);
        worker.iface->work(lilv_instance_get_handle(worker.instance), respond, NULL, m.size, m.data);
        pthread_mutex_lock(&worker.lock);
    }
    pthread_mutex_unlock(&worker.lock);
    return NULL;
}

/* After each run(): hand the responses to the plug-in in the audio thread, then end the cycle. */
static void deliver_responses(void) {
    Message m;
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

int main(int argc, char** argv) {
    const char* uri_text = NULL;
    double seconds = 2.0;
    float mode = 0.0f;
    int i;
    LilvWorld* world;
    const LilvPlugin* plugin;
    LilvNode *uri, *audio_class, *control_class, *input_class;
    uint32_t n_ports, p;
    static float audio[MAX_PORTS][BLOCK];
    float control[MAX_PORTS];
    int is_audio[MAX_PORTS], is_input[MAX_PORTS], first_audio_out = -1;
    LV2_URID_Map map = {NULL, map_uri};
    LV2_Log_Log log = {NULL, log_printf, log_vprintf};
    LV2_Worker_Schedule schedule = {NULL, schedule_work};
    LV2_Feature map_feature = {LV2_URID__map, &map}, log_feature = {LV2_LOG__log, &log},
                schedule_feature = {LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[] = {&map_feature, &log_feature, &schedule_feature, NULL};
    pthread_t thread;
    unsigned long long blocks, total_blocks, frame = 0, nonzero_out = 0;
    double start, peak_out = 0.0;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = atof(argv[++i]);
        else if (strcmp(argv[i], "--mode") == 0 && i + 1 < argc) mode = (float)atof(argv[++i]);
        else if (uri_text == NULL && argv[i][0] != '-') uri_text = argv[i];
        else {
            fprintf(stderr, "usage: ondara-lv2-test-host URI [--seconds S] [--mode M]\n");
            return 2;
        }
    }
    if (uri_text == NULL || !(seconds > 0.0 && seconds < 600.0)) {
        fprintf(stderr, "usage: ondara-lv2-test-host URI [--seconds S] [--mode M]\n");
        return 2;
    }

    world = lilv_world_new();
    lilv_world_load_all(world); /* LV2_PATH, or the standard places */
    uri = lilv_new_uri(world, uri_text);
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    if (plugin == NULL) {
        fprintf(stderr, "host: no plug-in %s on the LV2 path\n", uri_text);
        lilv_node_free(uri);
        lilv_world_free(world);
        return 1;
    }
    n_ports = lilv_plugin_get_num_ports(plugin);
    if (n_ports > MAX_PORTS) {
        fprintf(stderr, "host: %u ports are too many\n", n_ports);
        return 1;
    }

    audio_class = lilv_new_uri(world, LV2_CORE__AudioPort);
    control_class = lilv_new_uri(world, LV2_CORE__ControlPort);
    input_class = lilv_new_uri(world, LV2_CORE__InputPort);
    {
        float defaults[MAX_PORTS];
        lilv_plugin_get_port_ranges_float(plugin, NULL, NULL, defaults);
        for (p = 0; p < n_ports; ++p) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
            is_audio[p] = lilv_port_is_a(plugin, port, audio_class);
            is_input[p] = lilv_port_is_a(plugin, port, input_class);
            control[p] = isnan(defaults[p]) ? 0.0f : defaults[p];
            if (!is_audio[p] && is_input[p] &&
                strcmp(lilv_node_as_string(lilv_port_get_symbol(plugin, port)), "mode") == 0) {
                control[p] = mode;
            }
            if (is_audio[p] && !is_input[p] && first_audio_out < 0) first_audio_out = (int)p;
        }
    }
    printf("host: offering urid:map, log:log, worker:schedule\n");
    fflush(stdout);

    worker.instance = lilv_plugin_instantiate(plugin, RATE, features);
    if (worker.instance == NULL) {
        fprintf(stderr, "host: instantiation failed\n");
        return 1;
    }
    worker.iface = (const LV2_Worker_Interface*)lilv_instance_get_extension_data(worker.instance, LV2_WORKER__interface);
    if (worker.iface == NULL) {
        fprintf(stderr, "host: the plug-in has no worker interface\n");
        return 1;
    }
    pthread_create(&thread, NULL, worker_thread, NULL);
    for (p = 0; p < n_ports; ++p) {
        lilv_instance_connect_port(worker.instance, p, is_audio[p] ? (void*)audio[p] : (void*)&control[p]);
    }
    lilv_instance_activate(worker.instance);

    total_blocks = (unsigned long long)(seconds * RATE / BLOCK + 0.5);
    start = now_ms();
    for (blocks = 0; blocks < total_blocks; ++blocks) {
        uint32_t in_index = 0;
        for (p = 0; p < n_ports; ++p) {
            if (is_audio[p] && is_input[p]) {
                const double peak = in_index++ == 0 ? 0.5 : 0.125;
                int f;
                for (f = 0; f < BLOCK; ++f) {
                    audio[p][f] = (float)(peak * sin(2.0 * 3.14159265358979323846 * 440.0 * (double)(frame + f) / RATE));
                }
            }
        }
        lilv_instance_run(worker.instance, BLOCK);
        deliver_responses();
        if (first_audio_out >= 0) {
            int f;
            for (f = 0; f < BLOCK; ++f) {
                const double a = fabs(audio[first_audio_out][f]);
                nonzero_out += a > 0.0;
                if (a > peak_out) peak_out = a;
            }
        }
        frame += BLOCK;
        sleep_until(start + (double)(blocks + 1) * 1000.0 * BLOCK / RATE);
    }

    for (p = 0; p < n_ports; ++p) {
        if (!is_audio[p] && !is_input[p]) {
            printf("control %s=%g\n",
                   lilv_node_as_string(lilv_port_get_symbol(plugin, lilv_plugin_get_port_by_index(plugin, p))),
                   (double)control[p]);
        }
    }
    printf("host: blocks=%llu nonzero_out=%llu peak_out=%.4f\n", blocks, nonzero_out, peak_out);

    lilv_instance_deactivate(worker.instance);
    pthread_mutex_lock(&worker.lock);
    worker.stop = 1;
    pthread_cond_signal(&worker.wake);
    pthread_mutex_unlock(&worker.lock);
    pthread_join(thread, NULL);
    lilv_instance_free(worker.instance);
    lilv_node_free(audio_class);
    lilv_node_free(control_class);
    lilv_node_free(input_class);
    lilv_node_free(uri);
    lilv_world_free(world);
    for (i = 0; i < (int)uri_count; ++i) free(uris[i]);
    return 0;
}
