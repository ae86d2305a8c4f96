#include "alloc_fail.h"

#include <stddef.h>

bool alloc_fail = false;

extern "C" {
void *__real_malloc(size_t n);
void *__real_realloc(void *p, size_t n);

void *__wrap_malloc(size_t n) {
    return alloc_fail ? nullptr : __real_malloc(n);
}

void *__wrap_realloc(void *p, size_t n) {
    return alloc_fail ? nullptr : __real_realloc(p, n);
}
}
