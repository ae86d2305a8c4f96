#include "out.h"

#include "platform.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int out_init(out_t *po, int fd, int line_mode) {
    po->fd = fd;
    po->line_mode = line_mode;
    po->len = 0;
    po->error = 0;
    po->reported = 0;
    return 0;
}

// Writes [p, p + len) to the descriptor, keeping the first failure.
static int put(out_t *po, const char *p, int len) {
    if (fd_write(po->fd, p, len) != 0) {
        po->error = errno != 0 ? errno : EIO;
        return -1;
    }
    return 0;
}

int out_flush(out_t *po) {
    if (po->error == 0 && po->len > 0) {
        (void)put(po, po->data, po->len);
    }
    po->len = 0;
    return po->error == 0 ? 0 : -1;
}

int out_write(out_t *po, const void *src, int len) {
    if (len > OUT_SIZE - po->len) {
        (void)out_flush(po);
    }
    if (po->error != 0) {
        return -1;
    }
    if (len >= OUT_SIZE) {
        (void)put(po, static_cast<const char *>(src), len); // too big to be worth copying
    } else if (len > 0) {
        memcpy(po->data + po->len, src, static_cast<size_t>(len));
        po->len += len;
    }
    if (po->line_mode && len > 0 && memchr(src, '\n', static_cast<size_t>(len)) != nullptr) {
        (void)out_flush(po);
    }
    return po->error == 0 ? len : -1;
}

// Below this much room a receive would be small: write out first.
#define ROOM_MIN (OUT_SIZE / 4)

char *out_room(out_t *po, int *room) {
    if (OUT_SIZE - po->len < ROOM_MIN) {
        (void)out_flush(po);
    }
    *room = OUT_SIZE - po->len;
    return po->data + po->len;
}

int out_commit(out_t *po, int len) {
    if (po->error != 0) {
        return -1;
    }
    const char *p = po->data + po->len;
    po->len += len;
    if (po->line_mode && memchr(p, '\n', static_cast<size_t>(len)) != nullptr) {
        (void)out_flush(po);
    }
    return po->error == 0 ? len : -1;
}

int out_printf(out_t *po, const char *format, ...) {
    char line[256];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n < 0) {
        return -1;
    }
    return out_write(po, line,
                     n < static_cast<int>(sizeof line) ? n : static_cast<int>(sizeof line) - 1);
}

int out_clear(out_t *po) {
    po->error = 0;
    po->reported = 0;
    return 0;
}
