/* A stand-in for one curses library in end-to-end runs. It serves no curses
 * function, so the first call of any function of the library it replaces
 * cannot be resolved. Built with STAND_IN_VANISHES, it removes its own file
 * when it is first opened: the program's start-up check finds it, and the
 * library is gone by its first use. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <unistd.h>

int qvfw_curses_stand_in(void)
{
    return 0;
}

#ifdef STAND_IN_VANISHES
__attribute__((constructor)) static void vanish(void)
{
    Dl_info info;
    if (dladdr((void*)qvfw_curses_stand_in, &info) != 0 && info.dli_fname != NULL)
        unlink(info.dli_fname);
}
#endif
