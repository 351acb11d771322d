/* Lazy-binding stub layer shared by the per-library stub units.
 *
 * Each stub keeps the curses function's own name and signature. Its first
 * call opens the library through the library's callback (when no handle is
 * open yet), looks the function up with dlsym and stores the address in the
 * function's slot; every call then goes through that slot. */
#ifndef QVFW_STUB_LAYER_H
#define QVFW_STUB_LAYER_H

struct qv_stub_lib {
    const char* file_name;                /* the library's ABI 6 file name */
    void* (*open)(const char* file_name); /* the loader's callback */
    void* handle;                         /* null until the first call */
    int owned;                            /* opened by this layer: closed at exit */
    const char* const* names;             /* served function names, fixed order */
    void** slots;                         /* one address per name, empty at start */
};

/* Resolves function `index` of `lib`, stores it in its slot and returns it.
 * An unresolvable name ends the process with a message and a failed
 * assertion. */
void* qv_stub_resolve(struct qv_stub_lib* lib, unsigned index);

/* Closes the library's handle when this layer opened it. */
void qv_stub_unload(struct qv_stub_lib* lib);

/* Index enumeration entry of one served function. */
#define QV_STUB_INDEX(ret, name, params, args) QV_IDX_##name,
#define QV_STUB_INDEX_VOID(name, params, args) QV_IDX_##name,
/* Name table entry of one served function. */
#define QV_STUB_NAME(ret, name, params, args) #name,
#define QV_STUB_NAME_VOID(name, params, args) #name,

/* The address of a served function: its slot, resolved on first use. */
#define QV_STUB_TARGET(lib, slots, name) \
    (slots[QV_IDX_##name] != 0 ? slots[QV_IDX_##name] : qv_stub_resolve(&lib, QV_IDX_##name))

/* Definition of the stub of a function returning a value. */
#define QV_STUB_DEFINE(lib, slots, ret, name, params, args) \
    ret name params                                         \
    {                                                       \
        typedef ret(*qv_target_t) params;                   \
        qv_target_t target = (qv_target_t)QV_STUB_TARGET(lib, slots, name); \
        return target args;                                 \
    }

/* Definition of the stub of a function returning nothing. */
#define QV_STUB_DEFINE_VOID(lib, slots, name, params, args) \
    void name params                                        \
    {                                                       \
        typedef void(*qv_target_t) params;                  \
        qv_target_t target = (qv_target_t)QV_STUB_TARGET(lib, slots, name); \
        target args;                                        \
    }

#endif
