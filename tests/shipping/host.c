/*
 * A plug-in host, as far as loading goes: it loads the plug-in named by its full path the way hosts
 * do, calls its entry and says what happened.
 *
 *   ondara-shipping-host PLUGIN RING MIC MODE [--altered-search-path]
 *   ondara-shipping-host --share MIC PLUGIN...
 *
 * Windows: LoadLibraryExW(PLUGIN, NULL, 0), or with LOAD_WITH_ALTERED_SEARCH_PATH, which makes
 * Windows resolve the plug-in's own imports from its folder too (hosts do not pass it). Linux:
 * dlopen(PLUGIN, RTLD_NOW | RTLD_LOCAL). Afterwards it reports whether the ondara library is still
 * loaded in the process, and from where.
 *
 * With --share it loads every plug-in at once, as a session with several does, and has them publish
 * (their entries plugin_mic_*): two publishers in each of the first two plug-ins and one in each other,
 * each on a block of its own (MIC-1, MIC-2, ...), then one publisher of each plug-in on MIC, where the
 * first plug-in publishes first in every round and should keep the block.
 *
 * Exit status: the entry's result; 3 when the plug-in does not load; 4 when it has no entry; 5 when a
 * publisher does not open; 2 for wrong arguments.
 */
#if !defined(_WIN32)
#define _GNU_SOURCE /* RTLD_NOLOAD */
#endif

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#endif

typedef int (*PluginRun)(const char* ring, const char* mic, const char* mode, char* report, size_t size);
typedef void* (*PluginMicOpen)(const char* mic);
typedef int (*PluginMicPublish)(void* publisher, float level);
typedef void (*PluginMicFree)(void* publisher);

static char report[4096];

#define SHARE_PLUGINS 8
#define SHARE_ROUNDS 20

static void* symbol(void* module, const char* name);
static unsigned long now_ms(void);

static int share(const char* mic, void* const* modules, int count) {
    PluginMicOpen open[SHARE_PLUGINS];
    PluginMicPublish publish[SHARE_PLUGINS];
    PluginMicFree release[SHARE_PLUGINS];
    void* own[2 * SHARE_PLUGINS];
    int owner[2 * SHARE_PLUGINS];
    void* shared[SHARE_PLUGINS];
    char name[300];
    int i, j, opened = 0, code = 0;
    for (i = 0; i < count; ++i) {
        void* const o = symbol(modules[i], "plugin_mic_open");
        void* const p = symbol(modules[i], "plugin_mic_publish");
        void* const f = symbol(modules[i], "plugin_mic_free");
        if (o == NULL || p == NULL || f == NULL) {
            printf("host: plug-in %d has no plugin_mic_* entries\n", i + 1);
            return 4;
        }
        memcpy(&open[i], &o, sizeof o);
        memcpy(&publish[i], &p, sizeof p);
        memcpy(&release[i], &f, sizeof f);
    }
    for (i = 0; i < count && code == 0; ++i) {
        for (j = 0; j < (i < 2 ? 2 : 1); ++j) {
            snprintf(name, sizeof name, "%s-%d", mic, opened + 1);
            own[opened] = open[i](name);
            if (own[opened] == NULL) {
                printf("host: plug-in %d cannot open %s\n", i + 1, name);
                code = 5;
                break;
            }
            owner[opened] = i;
            publish[i](own[opened++], -20.0f);
        }
    }
    if (code == 0) printf("host: %d publishers in %d plug-ins\n", opened, count);
    for (i = 0; i < count && code == 0; ++i) {
        shared[i] = open[i](mic);
        if (shared[i] == NULL) {
            printf("host: plug-in %d cannot open %s\n", i + 1, mic);
            while (i-- > 0) release[i](shared[i]);
            code = 5;
        }
    }
    if (code == 0) {
        int round;
        const unsigned long started = now_ms();
        for (round = 0; round < SHARE_ROUNDS; ++round) {
            for (i = 0; i < count; ++i) publish[i](shared[i], i == 0 ? -10.0f : -40.0f);
        }
        /* The first plug-in keeps the block only while its stamp is fresh: the test needs the time. */
        printf("host: %d rounds on %s took %lu ms\n", SHARE_ROUNDS, mic, now_ms() - started);
        for (i = 0; i < count; ++i) release[i](shared[i]);
    }
    for (j = 0; j < opened; ++j) release[owner[j]](own[j]);
    return code;
}

#if defined(_WIN32)

static void print_wide(const char* before, const wchar_t* text) {
    static char utf8[4 * 32768];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, (int)sizeof utf8, NULL, NULL) == 0) strcpy(utf8, "?");
    printf("%s%s\n", before, utf8);
}

static int narrow(const wchar_t* text, char* out, int size) {
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL) != 0;
}

static void* symbol(void* module, const char* name) {
    const FARPROC address = GetProcAddress((HMODULE)module, name);
    void* out;
    memcpy(&out, &address, sizeof out);
    return out;
}

static unsigned long now_ms(void) { return (unsigned long)GetTickCount64(); }

static int wmain_share(int argc, wchar_t** argv) {
    void* modules[SHARE_PLUGINS];
    char mic[256];
    int i, code;
    if (argc < 4 || argc - 3 > SHARE_PLUGINS || !narrow(argv[2], mic, sizeof mic)) {
        fprintf(stderr, "usage: ondara-shipping-host --share MIC PLUGIN...\n");
        return 2;
    }
    for (i = 0; i < argc - 3; ++i) {
        modules[i] = (void*)LoadLibraryExW(argv[3 + i], NULL, 0);
        if (modules[i] == NULL) {
            printf("host: LoadLibraryExW failed: error %lu\n", (unsigned long)GetLastError());
            while (i-- > 0) FreeLibrary((HMODULE)modules[i]);
            return 3;
        }
    }
    code = share(mic, modules, argc - 3);
    for (i = 0; i < argc - 3; ++i) FreeLibrary((HMODULE)modules[i]);
    printf("host: ondara.dll is %s\n", GetModuleHandleW(L"ondara.dll") == NULL ? "not loaded" : "loaded");
    fflush(stdout);
    return code;
}

int wmain(int argc, wchar_t** argv) {
    char ring[256], mic[256], mode[256];
    DWORD flags = 0;
    HMODULE plugin, library;
    PluginRun entry;
    FARPROC address;
    int code;
    if (argc > 1 && wcscmp(argv[1], L"--share") == 0) return wmain_share(argc, argv);
    if (argc < 5 || argc > 6 || (argc == 6 && wcscmp(argv[5], L"--altered-search-path") != 0) ||
        !narrow(argv[2], ring, sizeof ring) || !narrow(argv[3], mic, sizeof mic) ||
        !narrow(argv[4], mode, sizeof mode)) {
        fprintf(stderr, "usage: ondara-shipping-host PLUGIN RING MIC MODE [--altered-search-path]\n");
        return 2;
    }
    if (argc == 6) flags = LOAD_WITH_ALTERED_SEARCH_PATH;
    print_wide("host: loading ", argv[1]);
    plugin = LoadLibraryExW(argv[1], NULL, flags);
    if (plugin == NULL) {
        printf("host: LoadLibraryExW failed: error %lu\n", (unsigned long)GetLastError());
        return 3;
    }
    address = GetProcAddress(plugin, "plugin_run");
    if (address == NULL) {
        printf("host: the plug-in has no plugin_run\n");
        FreeLibrary(plugin);
        return 4;
    }
    memcpy(&entry, &address, sizeof entry);
    code = entry(ring, mic, mode, report, sizeof report);
    printf("%s\nhost: plugin_run returned %d\n", report, code);
    library = GetModuleHandleW(L"ondara.dll");
    if (library == NULL) {
        printf("host: ondara.dll is not loaded\n");
    } else {
        static wchar_t path[32768];
        const DWORD n = GetModuleFileNameW(library, path, sizeof path / sizeof path[0]);
        if (n == 0 || n == sizeof path / sizeof path[0]) wcscpy(path, L"?");
        print_wide("host: ondara.dll is loaded from ", path);
    }
    FreeLibrary(plugin);
    fflush(stdout);
    return code;
}

#else

static void* symbol(void* module, const char* name) { return dlsym(module, name); }

static unsigned long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (unsigned long)t.tv_sec * 1000ul + (unsigned long)(t.tv_nsec / 1000000);
}

static int main_share(int argc, char** argv) {
    void* modules[SHARE_PLUGINS];
    int i, code;
    if (argc < 4 || argc - 3 > SHARE_PLUGINS) {
        fprintf(stderr, "usage: ondara-shipping-host --share MIC PLUGIN...\n");
        return 2;
    }
    for (i = 0; i < argc - 3; ++i) {
        modules[i] = dlopen(argv[3 + i], RTLD_NOW | RTLD_LOCAL);
        if (modules[i] == NULL) {
            printf("host: dlopen failed: %s\n", dlerror());
            while (i-- > 0) dlclose(modules[i]);
            return 3;
        }
    }
    code = share(argv[2], modules, argc - 3);
    for (i = 0; i < argc - 3; ++i) dlclose(modules[i]);
    fflush(stdout);
    return code;
}

int main(int argc, char** argv) {
    void* plugin;
    void* library;
    void* address;
    PluginRun entry;
    int code;
    if (argc > 1 && strcmp(argv[1], "--share") == 0) return main_share(argc, argv);
    if (argc != 5) {
        fprintf(stderr, "usage: ondara-shipping-host PLUGIN RING MIC MODE\n");
        return 2;
    }
    printf("host: loading %s\n", argv[1]);
    plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == NULL) {
        printf("host: dlopen failed: %s\n", dlerror());
        return 3;
    }
    address = dlsym(plugin, "plugin_run");
    if (address == NULL) {
        printf("host: the plug-in has no plugin_run\n");
        dlclose(plugin);
        return 4;
    }
    memcpy(&entry, &address, sizeof entry);
    code = entry(argv[2], argv[3], argv[4], report, sizeof report);
    printf("%s\nhost: plugin_run returned %d\n", report, code);
    library = dlopen(ONDARA_SONAME, RTLD_NOW | RTLD_NOLOAD);
    if (library == NULL) {
        printf("host: %s is not loaded\n", ONDARA_SONAME);
    } else {
        printf("host: %s is loaded\n", ONDARA_SONAME);
        dlclose(library);
    }
    dlclose(plugin);
    fflush(stdout);
    return code;
}

#endif
