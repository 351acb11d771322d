/* Lazy-binding stubs of libtinfo. */
#define NCURSES_NOMACROS 1
#include <curses.h>

#include "loader.h"
#include "stub_layer.h"

#define QV_TINFO_FUNCTIONS(X, XV)                                    \
    X(int, cbreak, (void), ())                                       \
    X(int, keypad, (WINDOW* window, bool enable), (window, enable))  \
    X(int, curs_set, (int visibility), (visibility))

enum { QV_TINFO_FUNCTIONS(QV_STUB_INDEX, QV_STUB_INDEX_VOID) QV_TINFO_COUNT };

static const char* const tinfo_names[QV_TINFO_COUNT] = {
    QV_TINFO_FUNCTIONS(QV_STUB_NAME, QV_STUB_NAME_VOID)
};
static void* tinfo_slots[QV_TINFO_COUNT];

static struct qv_stub_lib tinfo_lib = {
    "libtinfo.so.6", load_lib_tinfo, 0, 0, tinfo_names, tinfo_slots,
};

#define QV_TINFO_STUB(ret, name, params, args) \
    QV_STUB_DEFINE(tinfo_lib, tinfo_slots, ret, name, params, args)
#define QV_TINFO_STUB_VOID(name, params, args) \
    QV_STUB_DEFINE_VOID(tinfo_lib, tinfo_slots, name, params, args)

QV_TINFO_FUNCTIONS(QV_TINFO_STUB, QV_TINFO_STUB_VOID)

__attribute__((destructor(105))) static void unload_lib(void)
{
    qv_stub_unload(&tinfo_lib);
}
