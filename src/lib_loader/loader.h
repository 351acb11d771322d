/* Run-time loader of the curses libraries (ABI 5 or 6). */
#ifndef QVFW_LIB_LOADER_H
#define QVFW_LIB_LOADER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Open callbacks of the stub layer: each opens its own library of the ABI
 * chosen at start-up and never returns null (a failure ends the process).
 * The name is the stub layer's file name of the library, used in the
 * failure message only. */
void* load_lib_ncursesw(const char* name);
void* load_lib_panelw(const char* name);
void* load_lib_tinfo(const char* name);
void* load_lib_menuw(const char* name);
void* load_lib_formw(const char* name);

/* The ABI of the curses libraries chosen at start-up: 5 or 6 (0 before). */
int qv_curses_abi(void);

#ifdef __cplusplus
}
#endif

#endif
