/* Start-up check of the curses libraries and the open callbacks of the stubs.
 *
 * The program links no curses library. Before main runs, check_lib proves
 * that a complete set of ABI 5 or of ABI 6 can be opened and records the
 * choice; the stubs then open each library of that ABI at its first use. */
#include "loader.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

static int T_VERSION = 0;

enum { LIB_TINFO, LIB_NCURSESW, LIB_MENUW, LIB_PANELW, LIB_FORMW, LIB_COUNT };

/* Probe order: libtinfo, libncursesw, libmenuw, libpanelw, libformw. */
static const char* const abi5_names[LIB_COUNT] = {
    "libtinfo.so.5", "libncursesw.so.5", "libmenuw.so.5", "libpanelw.so.5", "libformw.so.5",
};
static const char* const abi6_names[LIB_COUNT] = {
    "libtinfo.so.6", "libncursesw.so.6", "libmenuw.so.6", "libpanelw.so.6", "libformw.so.6",
};

/* Opens and closes each library of a set in order; stops at the first one
 * that does not open. */
static int probe_set(const char* const* names)
{
    for (int i = 0; i < LIB_COUNT; i++) {
        void* handle = dlopen(names[i], RTLD_LAZY);
        if (handle == NULL)
            return 0;
        dlclose(handle);
    }
    return 1;
}

__attribute__((constructor)) void check_lib(void)
{
    if (probe_set(abi5_names)) {
        T_VERSION = 5;
        return;
    }
    if (probe_set(abi6_names)) {
        T_VERSION = 6;
        return;
    }
    T_VERSION = 0;
    fprintf(stderr, " cant find valid ncurses v5/v6 exit now.\n");
    exit(-1);
}

int qv_curses_abi(void)
{
    return T_VERSION;
}

static void* open_chosen(int lib, const char* name)
{
    const char* file = T_VERSION == 5 ? abi5_names[lib] : abi6_names[lib];
    void* handle = dlopen(file, RTLD_LAZY);
    if (handle == NULL) {
        fprintf(stderr, "dlopen failed on %s v%d: %s\n", name, T_VERSION, dlerror());
        exit(1);
    }
    return handle;
}

void* load_lib_ncursesw(const char* name) { return open_chosen(LIB_NCURSESW, name); }
void* load_lib_panelw(const char* name) { return open_chosen(LIB_PANELW, name); }
void* load_lib_tinfo(const char* name) { return open_chosen(LIB_TINFO, name); }
void* load_lib_menuw(const char* name) { return open_chosen(LIB_MENUW, name); }
void* load_lib_formw(const char* name) { return open_chosen(LIB_FORMW, name); }
