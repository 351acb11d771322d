/* Lazy-binding stubs of libncursesw. */
#define NCURSES_NOMACROS 1
#include <curses.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "loader.h"
#include "stub_layer.h"

#define QV_NCURSESW_FUNCTIONS(X, XV)                                                     \
    X(int, clear, (void), ())                                                            \
    X(WINDOW*, derwin, (WINDOW* parent, int lines, int cols, int y, int x),              \
      (parent, lines, cols, y, x))                                                       \
    X(int, doupdate, (void), ())                                                         \
    X(int, endwin, (void), ())                                                           \
    X(int, getmouse, (MEVENT* event), (event))                                           \
    X(WINDOW*, initscr, (void), ())                                                      \
    X(int, noecho, (void), ())                                                           \
    X(int, refresh, (void), ())                                                          \
    X(int, set_escdelay, (int delay), (delay))                                           \
    X(int, use_default_colors, (void), ())                                               \
    X(int, waddnstr, (WINDOW* window, const char* text, int length), (window, text, length)) \
    X(int, wclear, (WINDOW* window), (window))                                           \
    X(bool, wenclose, (const WINDOW* window, int y, int x), (window, y, x))              \
    X(int, wgetch, (WINDOW* window), (window))                                           \
    X(bool, wmouse_trafo, (const WINDOW* window, int* y, int* x, bool to_screen),        \
      (window, y, x, to_screen))                                                         \
    X(int, wmove, (WINDOW* window, int y, int x), (window, y, x))                        \
    X(int, delwin, (WINDOW* window), (window))                                           \
    X(bool, has_colors, (void), ())                                                      \
    X(int, init_pair, (NCURSES_PAIRS_T pair, NCURSES_COLOR_T fg, NCURSES_COLOR_T bg),    \
      (pair, fg, bg))                                                                    \
    X(WINDOW*, newpad, (int lines, int cols), (lines, cols))                             \
    X(int, pnoutrefresh, (WINDOW* pad, int pminrow, int pmincol, int sminrow,            \
                          int smincol, int smaxrow, int smaxcol),                        \
      (pad, pminrow, pmincol, sminrow, smincol, smaxrow, smaxcol))                       \
    X(int, start_color, (void), ())                                                      \
    X(int, wbkgd, (WINDOW* window, chtype ch), (window, ch))                             \
    X(int, wclrtoeol, (WINDOW* window), (window))                                        \
    X(int, wnoutrefresh, (WINDOW* window), (window))                                     \
    X(int, wrefresh, (WINDOW* window), (window))                                         \
    X(int, wresize, (WINDOW* window, int lines, int cols), (window, lines, cols))

/* Served by hand below: the mouse mask, whose type is wider under ABI 5 on a
 * 64-bit machine, and the two printf-style functions. */
#define QV_NCURSESW_OWN(X) X(mousemask) X(mvwprintw) X(wprintw)
#define QV_OWN_INDEX(name) QV_IDX_##name,
#define QV_OWN_NAME(name) #name,

enum {
    QV_NCURSESW_FUNCTIONS(QV_STUB_INDEX, QV_STUB_INDEX_VOID)
    QV_NCURSESW_OWN(QV_OWN_INDEX)
    QV_NCURSESW_COUNT
};

static const char* const ncursesw_names[QV_NCURSESW_COUNT] = {
    QV_NCURSESW_FUNCTIONS(QV_STUB_NAME, QV_STUB_NAME_VOID)
    QV_NCURSESW_OWN(QV_OWN_NAME)
};
static void* ncursesw_slots[QV_NCURSESW_COUNT];

static struct qv_stub_lib ncursesw_lib = {
    "libncursesw.so.6", load_lib_ncursesw, 0, 0, ncursesw_names, ncursesw_slots,
};

#define QV_NCURSESW_STUB(ret, name, params, args) \
    QV_STUB_DEFINE(ncursesw_lib, ncursesw_slots, ret, name, params, args)
#define QV_NCURSESW_STUB_VOID(name, params, args) \
    QV_STUB_DEFINE_VOID(ncursesw_lib, ncursesw_slots, name, params, args)

QV_NCURSESW_FUNCTIONS(QV_NCURSESW_STUB, QV_NCURSESW_STUB_VOID)

/* The ABI 5 library of a 64-bit machine takes and returns the mask as an
 * unsigned long; the mask is passed at the library's own width. */
mmask_t mousemask(mmask_t newmask, mmask_t* oldmask)
{
    void* target = QV_STUB_TARGET(ncursesw_lib, ncursesw_slots, mousemask);
    if (qv_curses_abi() == 5 && sizeof(unsigned long) != sizeof(mmask_t)) {
        typedef unsigned long (*wide_t)(unsigned long, unsigned long*);
        unsigned long old = 0;
        unsigned long result = ((wide_t)target)(newmask, oldmask != NULL ? &old : NULL);
        if (oldmask != NULL)
            *oldmask = (mmask_t)old;
        return (mmask_t)result;
    }
    typedef mmask_t (*narrow_t)(mmask_t, mmask_t*);
    return ((narrow_t)target)(newmask, oldmask);
}

/* The formatted text reaches the library's function as one "%s" argument:
 * portable C cannot pass a variable argument list on unchanged. */
static char* format_text(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(NULL, 0, format, copy);
    va_end(copy);
    if (length < 0)
        return NULL;
    char* text = malloc((size_t)length + 1);
    if (text != NULL)
        vsnprintf(text, (size_t)length + 1, format, args);
    return text;
}

int mvwprintw(WINDOW* window, int y, int x, const char* format, ...)
{
    typedef int (*target_t)(WINDOW*, int, int, const char*, ...);
    target_t target = (target_t)QV_STUB_TARGET(ncursesw_lib, ncursesw_slots, mvwprintw);
    va_list args;
    va_start(args, format);
    char* text = format_text(format, args);
    va_end(args);
    if (text == NULL)
        return ERR;
    int result = target(window, y, x, "%s", text);
    free(text);
    return result;
}

int wprintw(WINDOW* window, const char* format, ...)
{
    typedef int (*target_t)(WINDOW*, const char*, ...);
    target_t target = (target_t)QV_STUB_TARGET(ncursesw_lib, ncursesw_slots, wprintw);
    va_list args;
    va_start(args, format);
    char* text = format_text(format, args);
    va_end(args);
    if (text == NULL)
        return ERR;
    int result = target(window, "%s", text);
    free(text);
    return result;
}

__attribute__((destructor(103))) static void unload_lib(void)
{
    qv_stub_unload(&ncursesw_lib);
}
