/*
 * A plug-in host, as far as loading goes: it loads the plug-in named by its full path the way hosts
 * do, calls its entry and says what happened.
 *
 *   ondara-shipping-host PLUGIN RING MIC MODE [--altered-search-path]
 *
 * Windows: LoadLibraryExW(PLUGIN, NULL, 0), or with LOAD_WITH_ALTERED_SEARCH_PATH, which makes
 * Windows resolve the plug-in's own imports from its folder too (hosts do not pass it). Linux:
 * dlopen(PLUGIN, RTLD_NOW | RTLD_LOCAL). Afterwards it reports whether the ondara library is still
 * loaded in the process, and from where.
 *
 * Exit status: the entry's result; 3 when the plug-in does not load; 4 when it has no entry; 2 for
 * wrong arguments.
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
#endif

typedef int (*PluginRun)(const char* ring, const char* mic, const char* mode, char* report, size_t size);

static char report[4096];

#if defined(_WIN32)

static void print_wide(const char* before, const wchar_t* text) {
    static char utf8[4 * 32768];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, (int)sizeof utf8, NULL, NULL) == 0) strcpy(utf8, "?");
    printf("%s%s\n", before, utf8);
}

static int narrow(const wchar_t* text, char* out, int size) {
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL) != 0;
}

int wmain(int argc, wchar_t** argv) {
    char ring[256], mic[256], mode[256];
    DWORD flags = 0;
    HMODULE plugin, library;
    PluginRun entry;
    FARPROC address;
    int code;
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

int main(int argc, char** argv) {
    void* plugin;
    void* library;
    void* address;
    PluginRun entry;
    int code;
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
