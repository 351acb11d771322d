/* Lazy-binding stubs of libpanelw. */
#define NCURSES_NOMACROS 1
#include <panel.h>

#include "loader.h"
#include "stub_layer.h"

#define QV_PANELW_FUNCTIONS(X, XV)                    \
    X(int, hide_panel, (PANEL* panel), (panel))       \
    X(PANEL*, new_panel, (WINDOW* window), (window))  \
    X(int, show_panel, (PANEL* panel), (panel))       \
    X(int, top_panel, (PANEL* panel), (panel))        \
    XV(update_panels, (void), ())                     \
    X(int, del_panel, (PANEL* panel), (panel))

enum { QV_PANELW_FUNCTIONS(QV_STUB_INDEX, QV_STUB_INDEX_VOID) QV_PANELW_COUNT };

static const char* const panelw_names[QV_PANELW_COUNT] = {
    QV_PANELW_FUNCTIONS(QV_STUB_NAME, QV_STUB_NAME_VOID)
};
static void* panelw_slots[QV_PANELW_COUNT];

static struct qv_stub_lib panelw_lib = {
    "libpanelw.so.6", load_lib_panelw, 0, 0, panelw_names, panelw_slots,
};

#define QV_PANELW_STUB(ret, name, params, args) \
    QV_STUB_DEFINE(panelw_lib, panelw_slots, ret, name, params, args)
#define QV_PANELW_STUB_VOID(name, params, args) \
    QV_STUB_DEFINE_VOID(panelw_lib, panelw_slots, name, params, args)

QV_PANELW_FUNCTIONS(QV_PANELW_STUB, QV_PANELW_STUB_VOID)

__attribute__((destructor(104))) static void unload_lib(void)
{
    qv_stub_unload(&panelw_lib);
}
