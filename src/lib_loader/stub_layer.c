/* Resolution and shut-down shared by the curses stub units. */

/* The failed assertion of an unresolvable function must end the process in
 * every build type. */
#undef NDEBUG
#include <assert.h>

#include "stub_layer.h"

#include <dlfcn.h>
#include <stdio.h>

void* qv_stub_resolve(struct qv_stub_lib* lib, unsigned index)
{
    if (lib->handle == NULL) {
        lib->handle = lib->open(lib->file_name);
        lib->owned = 1;
    }
    dlerror();
    void* address = dlsym(lib->handle, lib->names[index]);
    if (address == NULL) {
        const char* error = dlerror();
        fprintf(stderr, "implib-gen: %s: failed to resolve symbol '%s' via dlsym: %s\n",
                lib->file_name, lib->names[index], error ? error : "");
        assert(0 && "Assertion in generated code");
    }
    lib->slots[index] = address;
    return address;
}

void qv_stub_unload(struct qv_stub_lib* lib)
{
    if (lib->owned && lib->handle != NULL) {
        dlclose(lib->handle);
        lib->handle = NULL;
        lib->owned = 0;
    }
}
