/*
 * ondara_loader.h: loads the ondara shared library at run time, by default from the folder of the
 * module that calls it, and hands out its thirteen functions through a table. Plain C (C99 and later)
 * and C++, header only. Nothing to link on Windows; on Linux dlopen, which is in the C library from
 * glibc 2.34 on and in libdl before (CMake: link ${CMAKE_DL_LIBS}, or the target ondara::loader).
 *
 * What it is for. A Windows plug-in DLL linked against the import library ondara.lib loads only when
 * Windows finds ondara.dll on the host's search path: the host executable's folder, the system
 * folders, PATH. The folder of the plug-in itself is not on it, so a host that loads
 * C:\Plugins\MyPlug\myplug.dll with LoadLibraryExW(path, NULL, 0), as hosts do, fails with error 126
 * (module not found) although ondara.dll sits beside myplug.dll. ondara_api_load instead finds the
 * file of the module it is compiled into (the plug-in), and loads ondara.dll from that folder by its
 * full path. The other answer is to link the static archive into the plug-in (see the README).
 *
 *     OndaraApi* ondara = &instance->ondara;         // one per plug-in instance, zeroed (see below)
 *     if (ondara_api_load(ondara, NULL) != ONDARA_LOAD_OK) {
 *         log_error(ondara->message);                // what failed, where, and the system's reason
 *         return failure;
 *     }
 *     ondara->receiver_open(name, name_len, 512, 0, &receiver);
 *     ...
 *     ondara_api_unload(ondara);                     // after every handle is freed
 *
 * Loading more than once. Each successful ondara_api_load takes one reference on the library
 * (LoadLibraryExW, dlopen) and ondara_api_unload gives it back; the operating system maps one file
 * once per process however often it is loaded, and unloads it with the last reference. Give every
 * plug-in instance a table of its own, loaded when it is created and unloaded when it goes: one table
 * shared by several instances would be cleared by the first to unload while the others' audio threads
 * still call through it. A table shared by the whole module is loaded once (when the module is loaded,
 * or by the first instance) and unloaded once. A second ondara_api_load on a table still loaded is
 * refused and leaves it as it is.
 *
 * Threads. Loading and unloading a library may block: call ondara_api_load and ondara_api_unload where
 * the plug-in may block (instantiate, release), never on the audio thread. A loaded table is only read
 * and may be used from any thread, as the functions themselves allow.
 *
 * Paths. Windows: wide-character calls throughout, so folders whose names lie outside the ANSI code
 * page work, and a path longer than MAX_PATH is passed to LoadLibraryExW with the \\?\ prefix; a
 * folder given by the caller is made a full path first (GetFullPathNameW), relative or not.
 * This header includes <windows.h>: define WIN32_LEAN_AND_MEAN or NOMINMAX before it if you want them.
 * Linux: the library is the versioned file, ONDARA_LIBRARY_FILE (libondara.so.0.1), in that folder;
 * the calling module's path is the one it was loaded by (dladdr), relative if the host gave a relative
 * path and did not change its working directory since.
 */
#ifndef ONDARA_LOADER_H
#define ONDARA_LOADER_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ondara.h"

#if defined(_WIN32)
#include <wchar.h>
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifdef __cplusplus
#define ONDARA_LOADER_CAST_(type, value) (static_cast<type>(value))
#define ONDARA_LOADER_PUN_(type, value) (reinterpret_cast<type>(value))
#define ONDARA_LOADER_NULL_ nullptr
extern "C" {
#else
#define ONDARA_LOADER_CAST_(type, value) ((type)(value))
#define ONDARA_LOADER_PUN_(type, value) ((type)(value))
#define ONDARA_LOADER_NULL_ NULL
#endif

#define ONDARA_LOADER_TEXT2_(x) #x
#define ONDARA_LOADER_TEXT_(x) ONDARA_LOADER_TEXT2_(x)

/* The library's file name, which ondara_api_load looks for in the folder. */
#if defined(_WIN32)
#define ONDARA_LIBRARY_FILE "ondara.dll"
#elif ONDARA_VERSION_MAJOR == 0
#define ONDARA_LIBRARY_FILE \
    "libondara.so." ONDARA_LOADER_TEXT_(ONDARA_VERSION_MAJOR) "." ONDARA_LOADER_TEXT_(ONDARA_VERSION_MINOR)
#else
#define ONDARA_LIBRARY_FILE "libondara.so." ONDARA_LOADER_TEXT_(ONDARA_VERSION_MAJOR)
#endif

/* Result of ondara_api_load. */
typedef uint32_t OndaraLoadStatus;
enum {
    ONDARA_LOAD_OK = 0,
    ONDARA_LOAD_INVALID_ARGUMENT = 1,   /* api is NULL or still loaded, or directory is empty or not
                                           valid UTF-8 */
    ONDARA_LOAD_NO_MODULE_PATH = 2,     /* the calling module's own file could not be found */
    ONDARA_LOAD_LIBRARY_NOT_LOADED = 3, /* the library is not in the folder, or could not be loaded
                                           (another architecture, a damaged file): see os_error */
    ONDARA_LOAD_FUNCTION_MISSING = 4,   /* the file lacks one of the functions (missing_function): it is
                                           not this version of ondara */
    ONDARA_LOAD_OUT_OF_MEMORY = 5
};

#define ONDARA_LOAD_MESSAGE_SIZE 1024

/* The thirteen functions (ondara_functions.h: receiver_open for ondara_receiver_open, and so on), and
 * what the last load did. All fields are NULL or 0 while nothing is loaded. */
typedef struct OndaraApi {
#define ONDARA_LOADER_FIELD_(member, Type, Return, Parameters) Type member;
    ONDARA_FUNCTIONS(ONDARA_LOADER_FIELD_)
#undef ONDARA_LOADER_FIELD_

    void* library;                          /* the loaded module (HMODULE, or dlopen's handle) */
    OndaraLoadStatus status;                /* what the last ondara_api_load returned */
    unsigned long os_error;                 /* Windows: GetLastError() of the call that failed; 0 elsewhere, where
                                               dlerror()'s text is in message */
    const char* missing_function;           /* ONDARA_LOAD_FUNCTION_MISSING: the name that was not found */
    char message[ONDARA_LOAD_MESSAGE_SIZE]; /* UTF-8, NUL-terminated: the file loaded, or what failed,
                                               where and why (cut short if it would not fit) */
} OndaraApi;

/* Loads the library from `directory` (UTF-8; NULL: the folder of the module this header is compiled
 * into) and fills `api` with its functions. On failure nothing stays loaded, the function pointers are
 * NULL, and status, os_error and message say what went wrong; a path too long for the message gives
 * way in its middle ("..."), so that the system's reason always fits. `api` must hold nothing: zeroed
 * (a static table, or `= {0}`) or unloaded. A table that is still loaded is refused with
 * ONDARA_LOAD_INVALID_ARGUMENT and left exactly as it is, since another thread may be calling through
 * it. Returns api->status (ONDARA_LOAD_INVALID_ARGUMENT for a NULL or a loaded api). */
static inline OndaraLoadStatus ondara_api_load(OndaraApi* api, const char* directory);

#if defined(_WIN32)
/* The same with a UTF-16 directory. */
static inline OndaraLoadStatus ondara_api_load_w(OndaraApi* api, const wchar_t* directory);
#endif

/* Gives back the reference ondara_api_load took and clears the table. Free every handle the library
 * gave out first. Accepts NULL and a table that holds nothing. */
static inline void ondara_api_unload(OndaraApi* api);

/* ---- implementation ------------------------------------------------------------------------------ */

typedef struct OndaraLoaderEntry_ {
    const char* name;
    size_t offset;
} OndaraLoaderEntry_;

/* Whether the byte continues a UTF-8 sequence: no cut may fall before it. */
#define ONDARA_LOADER_CONTINUES_(byte) ((ONDARA_LOADER_CAST_(unsigned char, byte) & 0xC0u) == 0x80u)

/* Appends `text` to the NUL-terminated UTF-8 text in `buffer` (`size` bytes), cut short to fit. */
static inline void ondara_loader_append_to_(char* buffer, size_t size, const char* text) {
    const size_t used = strlen(buffer);
    const size_t room = size - 1 - used;
    size_t n = strlen(text);
    if (n > room) {
        n = room;
        while (n > 0 && ONDARA_LOADER_CONTINUES_(text[n])) --n;
    }
    memcpy(buffer + used, text, n);
    buffer[used + n] = '\0';
}

static inline void ondara_loader_append_(OndaraApi* api, const char* text) {
    ondara_loader_append_to_(api->message, sizeof api->message, text);
}

/* Appends a path, cut in its middle ("...") where need be so that `after` more bytes still fit behind
 * it: a long folder must not push the system's reason out of the message. */
static inline void ondara_loader_append_path_(OndaraApi* api, const char* path, size_t after) {
    const size_t used = strlen(api->message);
    const size_t room = sizeof api->message - 1 - used;
    const size_t n = strlen(path);
    size_t budget, head, tail;
    if (after > room / 2) after = room / 2; /* the path keeps at least half of what is left */
    budget = room - after;
    if (n <= budget || budget < 16) {
        ondara_loader_append_(api, path);
        return;
    }
    head = (budget - 3) / 2;
    tail = n - (budget - 3 - head);
    while (head > 0 && ONDARA_LOADER_CONTINUES_(path[head])) --head;
    while (tail < n && ONDARA_LOADER_CONTINUES_(path[tail])) ++tail;
    memcpy(api->message + used, path, head);
    memcpy(api->message + used + head, "...", 3);
    memcpy(api->message + used + head + 3, path + tail, n - tail + 1); /* with its NUL */
}

static inline void ondara_loader_append_number_(char* buffer, size_t size, unsigned long value) {
    char digits[24];
    size_t at = sizeof digits - 1;
    digits[at] = '\0';
    do {
        digits[--at] = ONDARA_LOADER_CAST_(char, '0' + ONDARA_LOADER_CAST_(int, value % 10u));
        value /= 10u;
    } while (value != 0u);
    ondara_loader_append_to_(buffer, size, digits + at);
}

static inline OndaraLoadStatus ondara_loader_set_status_(OndaraApi* api, OndaraLoadStatus status,
                                                         unsigned long os_error) {
    api->status = status;
    api->os_error = os_error;
    return status;
}

/* The functions' addresses out of the loaded module, by name: `find` is GetProcAddress or dlsym. */
static inline int ondara_loader_take_functions_(OndaraApi* api, void* library,
                                                int (*find)(void* library, const char* name, void* out)) {
#define ONDARA_LOADER_ENTRY_(member, Type, Return, Parameters) {"ondara_" #member, offsetof(OndaraApi, member)},
    static const OndaraLoaderEntry_ entries[] = {ONDARA_FUNCTIONS(ONDARA_LOADER_ENTRY_)};
#undef ONDARA_LOADER_ENTRY_
    /* One entry for every function pointer in the table, none forgotten. */
    typedef char ondara_loader_check_entries_[sizeof entries / sizeof entries[0] * sizeof(void*) ==
                                                      offsetof(OndaraApi, library)
                                                  ? 1
                                                  : -1];
    size_t i;
    (void)sizeof(ondara_loader_check_entries_);
    for (i = 0; i < sizeof entries / sizeof entries[0]; ++i) {
        if (!find(library, entries[i].name, ONDARA_LOADER_PUN_(char*, api) + entries[i].offset)) {
            api->missing_function = entries[i].name;
            return 0;
        }
    }
    return 1;
}

/* The function pointers go out of the table, the rest stays for the caller to read. */
static inline void ondara_loader_clear_functions_(OndaraApi* api) {
    memset(api, 0, offsetof(OndaraApi, library));
}

#if defined(_WIN32)

static inline int ondara_loader_find_(void* library, const char* name, void* out) {
    const FARPROC address = GetProcAddress(ONDARA_LOADER_CAST_(HMODULE, library), name);
    if (address == ONDARA_LOADER_NULL_) return 0;
    memcpy(out, &address, sizeof address);
    return 1;
}

static inline void ondara_loader_append_wide_(OndaraApi* api, const wchar_t* text, size_t after) {
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, ONDARA_LOADER_NULL_, 0, ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
    char* utf8;
    if (n <= 0) return;
    utf8 = ONDARA_LOADER_CAST_(char*, malloc(ONDARA_LOADER_CAST_(size_t, n)));
    if (utf8 == ONDARA_LOADER_NULL_) return;
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, n, ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_) == n) {
        ondara_loader_append_path_(api, utf8, after);
    }
    free(utf8);
}

/* ": error N (the system's text for it)" into `out`, which it replaces. */
static inline void ondara_loader_error_text_(char* out, size_t size, unsigned long error) {
    wchar_t text[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, ONDARA_LOADER_NULL_, error, 0,
                             text, sizeof text / sizeof text[0], ONDARA_LOADER_NULL_);
    out[0] = '\0';
    ondara_loader_append_to_(out, size, ": error ");
    ondara_loader_append_number_(out, size, error);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' || text[n - 1] == L'.')) --n;
    if (n > 0) {
        char utf8[384];
        text[n] = L'\0';
        if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_) > 0) {
            ondara_loader_append_to_(out, size, " (");
            ondara_loader_append_to_(out, size, utf8);
            ondara_loader_append_to_(out, size, ")");
        }
    }
}

/* what + path + more + the system's reason for `error` (none for 0); the path gives way in its
 * middle to what follows it. */
static inline OndaraLoadStatus ondara_loader_report_w_(OndaraApi* api, OndaraLoadStatus status, unsigned long error,
                                                       const char* what, const wchar_t* path, const char* more) {
    char reason[448];
    reason[0] = '\0';
    if (more != ONDARA_LOADER_NULL_) ondara_loader_append_to_(reason, sizeof reason, more);
    if (error != 0) {
        char text[400];
        ondara_loader_error_text_(text, sizeof text, error);
        ondara_loader_append_to_(reason, sizeof reason, text);
    }
    ondara_loader_append_(api, what);
    if (path != ONDARA_LOADER_NULL_) ondara_loader_append_wide_(api, path, strlen(reason));
    ondara_loader_append_(api, reason);
    return ondara_loader_set_status_(api, status, error);
}

/* A copy of the folder of the module this code is compiled into, ending in a separator; NULL on
 * failure, with the status set. */
static inline wchar_t* ondara_loader_own_directory_w_(OndaraApi* api) {
    static const char anchor = 0; /* lives in this module's image */
    HMODULE self = ONDARA_LOADER_NULL_;
    DWORD capacity = MAX_PATH;
    /* No reference is taken: this code runs inside the module, which stays loaded while it runs. */
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            ONDARA_LOADER_PUN_(LPCWSTR, &anchor), &self)) {
        ondara_loader_report_w_(api, ONDARA_LOAD_NO_MODULE_PATH, GetLastError(),
                                "cannot find the module that holds the caller", ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
        return ONDARA_LOADER_NULL_;
    }
    for (;;) {
        wchar_t* path = ONDARA_LOADER_CAST_(wchar_t*, malloc(capacity * sizeof(wchar_t)));
        DWORD n;
        if (path == ONDARA_LOADER_NULL_) {
            ondara_loader_report_w_(api, ONDARA_LOAD_OUT_OF_MEMORY, 0, "out of memory", ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
            return ONDARA_LOADER_NULL_;
        }
        n = GetModuleFileNameW(self, path, capacity);
        if (n == 0) {
            const DWORD error = GetLastError();
            free(path);
            ondara_loader_report_w_(api, ONDARA_LOAD_NO_MODULE_PATH, error,
                                    "cannot read the calling module's file name", ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
            return ONDARA_LOADER_NULL_;
        }
        if (n < capacity) { /* the whole name, terminated */
            while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
            if (n == 0) {
                ondara_loader_report_w_(api, ONDARA_LOAD_NO_MODULE_PATH, 0,
                                        "the calling module's file name has no folder: ", path, ONDARA_LOADER_NULL_);
                free(path);
                return ONDARA_LOADER_NULL_;
            }
            path[n] = L'\0';
            return path;
        }
        /* Cut short: the name is longer than the buffer. No path is longer than 32767 characters. */
        free(path);
        if (capacity > 32767) {
            ondara_loader_report_w_(api, ONDARA_LOAD_NO_MODULE_PATH, ERROR_INSUFFICIENT_BUFFER,
                                    "the calling module's file name is too long", ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
            return ONDARA_LOADER_NULL_;
        }
        capacity *= 2;
    }
}

static inline OndaraLoadStatus ondara_api_load_w(OndaraApi* api, const wchar_t* directory) {
    static const wchar_t file[] = L"ondara.dll";
    wchar_t* own = ONDARA_LOADER_NULL_;
    const wchar_t* folder = directory;
    wchar_t* path;
    size_t folder_len, at = 0;
    int separator, prefix_unc = 0, prefix_local = 0;
    HMODULE library;
    if (api == ONDARA_LOADER_NULL_ || api->library != ONDARA_LOADER_NULL_) return ONDARA_LOAD_INVALID_ARGUMENT;
    memset(api, 0, sizeof *api);
    if (directory == ONDARA_LOADER_NULL_) {
        own = ondara_loader_own_directory_w_(api);
        if (own == ONDARA_LOADER_NULL_) return api->status;
        folder = own;
    } else if (directory[0] == L'\0') {
        return ondara_loader_report_w_(api, ONDARA_LOAD_INVALID_ARGUMENT, 0, "the directory is empty",
                                       ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
    } else {
        /* The caller's folder as one full path (relative, with . or .., or with forward slashes), which
         * the \\?\ form below needs. */
        const DWORD need = GetFullPathNameW(directory, 0, ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
        DWORD got = 0;
        if (need == 0) {
            return ondara_loader_report_w_(api, ONDARA_LOAD_INVALID_ARGUMENT, GetLastError(),
                                           "cannot make a full path of the directory ", directory, ONDARA_LOADER_NULL_);
        }
        own = ONDARA_LOADER_CAST_(wchar_t*, malloc(need * sizeof(wchar_t)));
        if (own == ONDARA_LOADER_NULL_) {
            return ondara_loader_report_w_(api, ONDARA_LOAD_OUT_OF_MEMORY, 0, "out of memory", ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
        }
        got = GetFullPathNameW(directory, need, own, ONDARA_LOADER_NULL_);
        if (got == 0 || got >= need) {
            const DWORD error = got == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
            free(own);
            return ondara_loader_report_w_(api, ONDARA_LOAD_INVALID_ARGUMENT, error,
                                           "cannot make a full path of the directory ", directory, ONDARA_LOADER_NULL_);
        }
        folder = own;
    }
    folder_len = wcslen(folder);
    separator = folder[folder_len - 1] != L'\\' && folder[folder_len - 1] != L'/';
    /* A full path as long as MAX_PATH or longer needs the \\?\ form, which takes backslashes only. */
    if (folder_len + ONDARA_LOADER_CAST_(size_t, separator) + sizeof file / sizeof file[0] > MAX_PATH &&
        wcsncmp(folder, L"\\\\?\\", 4) != 0) {
        if ((folder[0] == L'\\' || folder[0] == L'/') && (folder[1] == L'\\' || folder[1] == L'/')) {
            prefix_unc = 1; /* \\server\share\... becomes \\?\UNC\server\share\... */
        } else if (folder[0] != L'\0' && folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/')) {
            prefix_local = 1;
        }
    }
    path = ONDARA_LOADER_CAST_(wchar_t*, malloc((8 + folder_len + 1 + sizeof file / sizeof file[0]) * sizeof(wchar_t)));
    if (path == ONDARA_LOADER_NULL_) {
        free(own);
        return ondara_loader_report_w_(api, ONDARA_LOAD_OUT_OF_MEMORY, 0, "out of memory", ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
    }
    if (prefix_unc) {
        memcpy(path, L"\\\\?\\UNC", 7 * sizeof(wchar_t));
        at = 7;
        folder += 1; /* keep one of the two leading separators */
        folder_len -= 1;
    } else if (prefix_local) {
        memcpy(path, L"\\\\?\\", 4 * sizeof(wchar_t));
        at = 4;
    }
    memcpy(path + at, folder, folder_len * sizeof(wchar_t));
    if (prefix_unc || prefix_local) {
        size_t i;
        for (i = at; i < at + folder_len; ++i) {
            if (path[i] == L'/') path[i] = L'\\';
        }
    }
    at += folder_len;
    if (separator) path[at++] = L'\\';
    memcpy(path + at, file, sizeof file);
    free(own);

    library = LoadLibraryExW(path, ONDARA_LOADER_NULL_, 0);
    if (library == ONDARA_LOADER_NULL_) {
        ondara_loader_report_w_(api, ONDARA_LOAD_LIBRARY_NOT_LOADED, GetLastError(), "cannot load ", path, ONDARA_LOADER_NULL_);
        free(path);
        return api->status;
    }
    if (!ondara_loader_take_functions_(api, ONDARA_LOADER_CAST_(void*, library), ondara_loader_find_)) {
        const DWORD error = GetLastError();
        const char* missing = api->missing_function;
        ondara_loader_clear_functions_(api);
        char more[96] = " has no function ";
        FreeLibrary(library);
        ondara_loader_append_to_(more, sizeof more, missing);
        ondara_loader_report_w_(api, ONDARA_LOAD_FUNCTION_MISSING, error, "", path, more);
        free(path);
        return api->status;
    }
    api->library = ONDARA_LOADER_CAST_(void*, library);
    ondara_loader_append_(api, "loaded ");
    ondara_loader_append_wide_(api, path, 0);
    free(path);
    return ondara_loader_set_status_(api, ONDARA_LOAD_OK, 0);
}

static inline OndaraLoadStatus ondara_api_load(OndaraApi* api, const char* directory) {
    wchar_t* wide;
    int n;
    OndaraLoadStatus status;
    if (api == ONDARA_LOADER_NULL_ || api->library != ONDARA_LOADER_NULL_) return ONDARA_LOAD_INVALID_ARGUMENT;
    if (directory == ONDARA_LOADER_NULL_) return ondara_api_load_w(api, ONDARA_LOADER_NULL_);
    memset(api, 0, sizeof *api);
    n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, directory, -1, ONDARA_LOADER_NULL_, 0);
    if (n <= 1) {
        return ondara_loader_report_w_(api, ONDARA_LOAD_INVALID_ARGUMENT, n == 0 ? GetLastError() : 0,
                                       n == 0 ? "the directory is not valid UTF-8" : "the directory is empty",
                                       ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
    }
    wide = ONDARA_LOADER_CAST_(wchar_t*, malloc(ONDARA_LOADER_CAST_(size_t, n) * sizeof(wchar_t)));
    if (wide == ONDARA_LOADER_NULL_) {
        return ondara_loader_report_w_(api, ONDARA_LOAD_OUT_OF_MEMORY, 0, "out of memory", ONDARA_LOADER_NULL_, ONDARA_LOADER_NULL_);
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, directory, -1, wide, n);
    status = ondara_api_load_w(api, wide);
    free(wide);
    return status;
}

static inline void ondara_api_unload(OndaraApi* api) {
    if (api == ONDARA_LOADER_NULL_) return;
    if (api->library != ONDARA_LOADER_NULL_) FreeLibrary(ONDARA_LOADER_CAST_(HMODULE, api->library));
    memset(api, 0, sizeof *api);
}

#else /* POSIX */

/* dlsym gives an object pointer, which ISO C does not convert to a function pointer: copy its bytes,
 * as POSIX allows, into a slot of the same size. */
typedef char ondara_loader_check_pointer_size_[sizeof(void*) == sizeof(OndaraReceiverOpenFn) ? 1 : -1];

static inline int ondara_loader_find_(void* library, const char* name, void* out) {
    void* const address = dlsym(library, name);
    if (address == ONDARA_LOADER_NULL_) return 0;
    memcpy(out, &address, sizeof address);
    return 1;
}

static inline OndaraLoadStatus ondara_loader_report_(OndaraApi* api, OndaraLoadStatus status, const char* what,
                                                     const char* detail) {
    ondara_loader_append_(api, what);
    if (detail != ONDARA_LOADER_NULL_) ondara_loader_append_(api, detail);
    return ondara_loader_set_status_(api, status, 0);
}

/* The file that holds `address`, as the dynamic loader knows it; NULL if none does. dladdr and Dl_info
 * are declared only with _GNU_SOURCE (which C++ compilers define); a C file compiled without it takes
 * dladdr from the process's global scope instead (the C library, from glibc 2.34 on), with the same
 * layout of the record it fills. */
static inline const char* ondara_loader_module_file_(const void* address) {
#if defined(_GNU_SOURCE) || defined(__USE_GNU)
    Dl_info info;
    if (dladdr(address, &info) == 0) return ONDARA_LOADER_NULL_;
    return info.dli_fname;
#else
    typedef struct {
        const char* dli_fname;
        void* dli_fbase;
        const char* dli_sname;
        void* dli_saddr;
    } OndaraLoaderDlInfo_;
    typedef int (*OndaraLoaderDladdr_)(const void*, OndaraLoaderDlInfo_*);
    OndaraLoaderDlInfo_ info;
    OndaraLoaderDladdr_ find = ONDARA_LOADER_NULL_;
    const char* file = ONDARA_LOADER_NULL_;
    void* const global = dlopen(ONDARA_LOADER_NULL_, RTLD_LAZY);
    if (global == ONDARA_LOADER_NULL_) return ONDARA_LOADER_NULL_;
    if (ondara_loader_find_(global, "dladdr", &find) && find(address, &info) != 0) file = info.dli_fname;
    dlclose(global);
    return file;
#endif
}

static inline OndaraLoadStatus ondara_api_load(OndaraApi* api, const char* directory) {
    static const char anchor = 0; /* lives in this module's image */
    static const char file[] = ONDARA_LIBRARY_FILE;
    size_t folder_len;
    char* path;
    void* library;
    if (api == ONDARA_LOADER_NULL_ || api->library != ONDARA_LOADER_NULL_) return ONDARA_LOAD_INVALID_ARGUMENT;
    memset(api, 0, sizeof *api);
    if (directory == ONDARA_LOADER_NULL_) {
        const char* own = ondara_loader_module_file_(&anchor);
        const char* slash = own == ONDARA_LOADER_NULL_ ? ONDARA_LOADER_NULL_ : strrchr(own, '/');
        if (own == ONDARA_LOADER_NULL_) {
            return ondara_loader_report_(api, ONDARA_LOAD_NO_MODULE_PATH,
                                         "cannot find the module that holds the caller", ONDARA_LOADER_NULL_);
        }
        if (slash == ONDARA_LOADER_NULL_) {
            return ondara_loader_report_(api, ONDARA_LOAD_NO_MODULE_PATH,
                                         "the calling module's file name has no folder: ", own);
        }
        directory = own;
        folder_len = ONDARA_LOADER_CAST_(size_t, slash - own);
    } else {
        folder_len = strlen(directory);
        if (folder_len == 0) {
            return ondara_loader_report_(api, ONDARA_LOAD_INVALID_ARGUMENT, "the directory is empty",
                                         ONDARA_LOADER_NULL_);
        }
        if (directory[folder_len - 1] == '/') --folder_len;
    }
    path = ONDARA_LOADER_CAST_(char*, malloc(folder_len + 1 + sizeof file));
    if (path == ONDARA_LOADER_NULL_) {
        return ondara_loader_report_(api, ONDARA_LOAD_OUT_OF_MEMORY, "out of memory", ONDARA_LOADER_NULL_);
    }
    memcpy(path, directory, folder_len);
    path[folder_len] = '/';
    memcpy(path + folder_len + 1, file, sizeof file);

    library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == ONDARA_LOADER_NULL_) {
        const char* reason = dlerror();
        const size_t path_len = strlen(path);
        if (reason == ONDARA_LOADER_NULL_) reason = "dlopen failed";
        /* glibc's reason starts with the path again, which the message already names. */
        if (strncmp(reason, path, path_len) == 0 && reason[path_len] == ':' && reason[path_len + 1] == ' ') {
            reason += path_len + 2;
        }
        ondara_loader_append_(api, "cannot load ");
        ondara_loader_append_path_(api, path, 2 + strlen(reason));
        ondara_loader_report_(api, ONDARA_LOAD_LIBRARY_NOT_LOADED, ": ", reason);
        free(path);
        return api->status;
    }
    if (!ondara_loader_take_functions_(api, library, ondara_loader_find_)) {
        const char* missing = api->missing_function;
        ondara_loader_clear_functions_(api);
        dlclose(library);
        ondara_loader_append_path_(api, path, strlen(" has no function ") + strlen(missing));
        ondara_loader_report_(api, ONDARA_LOAD_FUNCTION_MISSING, " has no function ", missing);
        free(path);
        return api->status;
    }
    api->library = library;
    ondara_loader_append_(api, "loaded ");
    ondara_loader_append_path_(api, path, 0);
    ondara_loader_set_status_(api, ONDARA_LOAD_OK, 0);
    free(path);
    return api->status;
}

static inline void ondara_api_unload(OndaraApi* api) {
    if (api == ONDARA_LOADER_NULL_) return;
    if (api->library != ONDARA_LOADER_NULL_) dlclose(api->library);
    memset(api, 0, sizeof *api);
}

#endif

#undef ONDARA_LOADER_CONTINUES_
#undef ONDARA_LOADER_CAST_
#undef ONDARA_LOADER_PUN_
#undef ONDARA_LOADER_NULL_

#ifdef __cplusplus
}
#endif

#endif /* ONDARA_LOADER_H */
