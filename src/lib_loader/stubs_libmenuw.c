/* Lazy-binding stubs of libmenuw. */
#define NCURSES_NOMACROS 1
#include <menu.h>

#include "loader.h"
#include "stub_layer.h"

#define QV_MENUW_FUNCTIONS(X, XV)                                                   \
    X(ITEM*, current_item, (const MENU* menu), (menu))                              \
    X(int, item_count, (const MENU* menu), (menu))                                  \
    X(int, item_index, (const ITEM* item), (item))                                  \
    X(void*, item_userptr, (const ITEM* item), (item))                              \
    X(int, menu_driver, (MENU* menu, int request), (menu, request))                 \
    X(ITEM*, new_item, (const char* name, const char* description), (name, description)) \
    X(MENU*, new_menu, (ITEM** items), (items))                                     \
    X(int, post_menu, (MENU* menu), (menu))                                         \
    X(int, set_current_item, (MENU* menu, ITEM* item), (menu, item))                \
    X(int, set_item_userptr, (ITEM* item, void* pointer), (item, pointer))          \
    X(int, set_menu_sub, (MENU* menu, WINDOW* window), (menu, window))              \
    X(int, unpost_menu, (MENU* menu), (menu))                                       \
    X(int, set_menu_mark, (MENU* menu, const char* mark), (menu, mark))             \
    X(int, set_menu_format, (MENU* menu, int rows, int cols), (menu, rows, cols))   \
    XV(menu_format, (const MENU* menu, int* rows, int* cols), (menu, rows, cols))   \
    X(int, top_row, (const MENU* menu), (menu))

enum { QV_MENUW_FUNCTIONS(QV_STUB_INDEX, QV_STUB_INDEX_VOID) QV_MENUW_COUNT };

static const char* const menuw_names[QV_MENUW_COUNT] = {
    QV_MENUW_FUNCTIONS(QV_STUB_NAME, QV_STUB_NAME_VOID)
};
static void* menuw_slots[QV_MENUW_COUNT];

static struct qv_stub_lib menuw_lib = {
    "libmenuw.so.6", load_lib_menuw, 0, 0, menuw_names, menuw_slots,
};

#define QV_MENUW_STUB(ret, name, params, args) \
    QV_STUB_DEFINE(menuw_lib, menuw_slots, ret, name, params, args)
#define QV_MENUW_STUB_VOID(name, params, args) \
    QV_STUB_DEFINE_VOID(menuw_lib, menuw_slots, name, params, args)

QV_MENUW_FUNCTIONS(QV_MENUW_STUB, QV_MENUW_STUB_VOID)

/* Shut-down order: libtinfo, libpanelw, libncursesw, libmenuw (a larger
 * priority runs earlier), then the screen's item list. */
__attribute__((destructor(102))) static void unload_lib(void)
{
    qv_stub_unload(&menuw_lib);
}
