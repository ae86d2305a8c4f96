// Allocation failure on demand. The unit tests link with malloc and realloc
// wrapped; while alloc_fail is set, both return null without allocating.
#ifndef QUORVEL_ALLOC_FAIL_H
#define QUORVEL_ALLOC_FAIL_H

extern bool alloc_fail;

// Sets alloc_fail for the lifetime of the object.
struct alloc_fail_scope {
    alloc_fail_scope() {
        alloc_fail = true;
    }
    ~alloc_fail_scope() {
        alloc_fail = false;
    }
};

#endif
