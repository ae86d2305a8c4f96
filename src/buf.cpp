#include "buf.h"

#include <stdlib.h>
#include <string.h>

int buf_init(buf_t *pb) {
    pb->base = nullptr;
    pb->head = 0;
    pb->tail = 0;
    pb->size = 0;
    char *p = static_cast<char *>(malloc(BUF_DEFAULT_SIZE + 1));
    if (p == nullptr) {
        return -1;
    }
    pb->base = p;
    pb->size = BUF_DEFAULT_SIZE;
    return 0;
}

int buf_destroy(buf_t *pb) {
    if (pb->base != nullptr) {
        free(pb->base);
        pb->base = nullptr;
        pb->head = 0;
        pb->tail = 0;
        pb->size = 0;
    }
    return 0;
}

int buf_reset(buf_t *pb) {
    buf_destroy(pb);
    buf_init(pb);
    return 0;
}

int buf_clean(buf_t *pb) {
    pb->head = 0;
    pb->tail = 0;
    return 0;
}

int buf_push(buf_t *pb, const void *src, int size) {
    if (size <= 0) {
        return 0;
    }
    int room = buf_get_free(pb);
    if (room < size) {
        // Exact fit: the new capacity is tail + size, plus the spare byte.
        // A capacity past the int range is refused like a failed realloc.
        long long capacity = static_cast<long long>(pb->tail) + size;
        if (capacity > BUF_MAX_SIZE) {
            return 0;
        }
        char *p = static_cast<char *>(realloc(pb->base, static_cast<size_t>(capacity) + 1));
        if (p == nullptr) {
            return 0; // the old storage, and every byte in it, is still ours
        }
        pb->base = p;
        pb->size = static_cast<int>(capacity);
    }
    memcpy(pb->base + pb->tail, src, static_cast<size_t>(size));
    pb->tail += size;
    return size;
}

int buf_pop(buf_t *pb, void *dst, int size) {
    if (size <= 0) {
        return 0;
    }
    if (size > pb->tail - pb->head) {
        return -1;
    }
    int k = pb->tail - size;
    if (dst != nullptr) {
        memcpy(dst, pb->base + k, static_cast<size_t>(size));
    }
    pb->tail = k;
    return size;
}

int buf_shift(buf_t *pb, void *dst, int size) {
    if (size <= 0) {
        return 0;
    }
    if (size > pb->tail - pb->head) {
        return -1;
    }
    if (dst != nullptr) {
        memcpy(dst, pb->base + pb->head, static_cast<size_t>(size));
    }
    pb->head += size;
    return size;
}

int buf_read(buf_t *pb, int start, int len, void *dst) {
    if (len <= 0) {
        return 0;
    }
    // Compared as differences so that no sum can overflow.
    int length = buf_get_length(pb);
    if (start < 0 || start > length || len > length - start) {
        return -1;
    }
    memcpy(dst, pb->base + pb->head + start, static_cast<size_t>(len));
    return len;
}

char *buf_realloc(buf_t *pb, int new_size) {
    if (pb->base == nullptr || new_size < pb->tail || new_size > BUF_MAX_SIZE) {
        return nullptr;
    }
    char *p = static_cast<char *>(realloc(pb->base, static_cast<size_t>(new_size) + 1));
    if (p == nullptr) {
        return nullptr;
    }
    pb->base = p;
    pb->size = new_size;
    return p;
}

void buf_to_str(buf_t *pb) {
    if (pb->base != nullptr) {
        pb->base[pb->tail] = '\0';
    }
}

char *buf_get_head(buf_t *pb) {
    return pb->base == nullptr ? nullptr : pb->base + pb->head;
}

char *buf_get_tail(buf_t *pb) {
    return pb->tail == pb->head ? nullptr : pb->base + pb->tail - 1;
}

int buf_get_free(buf_t *pb) {
    return pb->size - pb->tail;
}

int buf_get_length(buf_t *pb) {
    return pb->tail - pb->head;
}

int buf_get_size(buf_t *pb) {
    return pb->size;
}
