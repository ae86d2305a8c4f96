#include "out.h"

#include "platform.h"
#include "stop.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// Below this much room a receive would be small: write out first.
#define ROOM_MIN (OUT_SIZE / 4)

int out_init(out_t *po, int fd, int terminal) {
    po->fd = fd;
    po->terminal = terminal;
    po->len = 0;
    po->error = 0;
    po->told = 0;
    po->held = 0;
    return 0;
}

// Writes [p, p + len) to the descriptor, keeping the first failure.
static int put(out_t *po, const char *p, int len) {
    if ((po->terminal ? term_write(po->fd, p, len) : fd_write(po->fd, p, len)) != 0) {
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

static void append(out_t *po, const void *src, int len) {
    if (len > OUT_SIZE - po->len) {
        (void)out_flush(po);
    }
    if (po->error != 0) {
        return;
    }
    if (len >= OUT_SIZE) {
        (void)put(po, static_cast<const char *>(src), len); // too big to be worth copying
    } else if (len > 0) {
        memcpy(po->data + po->len, src, static_cast<size_t>(len));
        po->len += len;
    }
}

// Ends a call that appended src: on a terminal, lines show as they end,
// as stdio's line buffering would show them.
static int written(out_t *po, const void *src, int len) {
    if (po->terminal && len > 0 && memchr(src, '\n', static_cast<size_t>(len)) != nullptr) {
        (void)out_flush(po);
    }
    return po->error == 0 ? len : -1;
}

int out_write(out_t *po, const void *src, int len) {
    append(po, src, len);
    return written(po, src, len);
}

// Shows a held byte that turned out not to start a pair.
static void show_held(out_t *po, int held) {
    append(po, held == '\r' ? "^M" : "\xC2", held == '\r' ? 2 : 1);
}

// The terminal's form of the echo (see out.h). A CR or C2 is held until the
// byte after it arrives, in this call or the next, to tell a CR LF pair or a
// C1 control from the byte alone.
static void escape(out_t *po, const unsigned char *p, int len) {
    const unsigned char *end = p + len;
    const unsigned char *run = p; // bytes since here pass as they are
    for (; p < end; p++) {
        int c = *p;
        if (po->held != 0) {
            int held = po->held;
            po->held = 0;
            if (held == '\r' && c == '\n') {
                append(po, "\r\n", 2);
                run = p + 1;
                continue;
            }
            if (held == 0xC2 && c >= 0x80 && c <= 0x9F) {
                char name[9];
                snprintf(name, sizeof name, "<U+%04X>", c);
                append(po, name, 8);
                run = p + 1;
                continue;
            }
            show_held(po, held);
            run = p;
        }
        if (c == '\r' || c == 0xC2) {
            append(po, run, static_cast<int>(p - run));
            po->held = c;
            run = p + 1;
        } else if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
            append(po, run, static_cast<int>(p - run));
            char caret[2] = {'^', static_cast<char>(c == 0x7F ? '?' : c + '@')};
            append(po, caret, 2);
            run = p + 1;
        }
    }
    append(po, run, static_cast<int>(end - run));
}

int out_echo(out_t *po, const void *src, int len) {
    if (!po->terminal) {
        return out_write(po, src, len);
    }
    escape(po, static_cast<const unsigned char *>(src), len);
    return written(po, src, len);
}

int out_echo_end(out_t *po) {
    if (po->held != 0) {
        show_held(po, po->held);
        po->held = 0;
    }
    return po->error == 0 ? 0 : -1;
}

char *out_echo_room(out_t *po, int *room) {
    if (po->terminal) {
        *room = OUT_RAW_SIZE;
        return po->raw;
    }
    if (OUT_SIZE - po->len < ROOM_MIN) {
        (void)out_flush(po);
    }
    *room = OUT_SIZE - po->len;
    return po->data + po->len;
}

int out_echo_commit(out_t *po, int len) {
    if (po->terminal) {
        return out_echo(po, po->raw, len);
    }
    if (po->error == 0) {
        po->len += len;
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

int out_flush_report(out_t *po) {
    int rc = out_flush(po);
    int code = out_failure(po);
    if (code != 0 && stop_signal() == 0) {
        errno = code;
        perror("write() error");
    }
    return rc;
}

int out_failure(out_t *po) {
    if (po->error == 0 || po->told) {
        return 0;
    }
    po->told = 1;
    return po->error;
}

int out_clear(out_t *po) {
    po->error = 0;
    po->told = 0;
    return 0;
}
