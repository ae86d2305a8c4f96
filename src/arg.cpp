#include "arg.h"

#include <string.h>

int arg_init(arg_t *pa, int argc, char **argv) {
    pa->argc = argc;
    pa->argv = argv;
    return 0;
}

int arg_is_exists(arg_t *pa, const char *name) {
    for (int i = 0; i < pa->argc; i++) {
        if (strcmp(pa->argv[i], name) == 0) {
            return 1;
        }
    }
    return 0;
}

char *arg_get_value(arg_t *pa, const char *name) {
    // A match in the last position has nothing after it, so the search goes
    // on past it rather than failing.
    for (int i = 0; i + 1 < pa->argc; i++) {
        if (strcmp(pa->argv[i], name) == 0) {
            return pa->argv[i + 1];
        }
    }
    return nullptr;
}
