#include "out.h"

#include "platform.h"
#include "stop.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// Below this much room a receive would be small: write out first.
#define ROOM_MIN (OUT_SIZE / 4)

static void sink_init(out_sink_t *ps, int fd) {
    ps->fd = fd;
    ps->error = 0;
    ps->told = 0;
}

int out_init(out_t *po, int fd, int terminal) {
    // Bytes for the null device are not written at all: with -o, half the
    // writes of a large body would go there.
    sink_init(&po->std, fd_is_null(fd) ? -1 : fd);
    sink_init(&po->copy, -1);
    po->copy_name = nullptr;
    po->terminal = terminal;
    po->len = 0;
    po->exact_len = 0;
    po->held = 0;
    po->told_len = 0;
    return 0;
}

int out_copy(out_t *po, int fd, const char *name) {
    sink_init(&po->copy, fd);
    po->copy_name = name;
    return 0;
}

// Whether the copy is given the bytes of data itself: it is, unless
// standard output is a terminal, which is given another form of them.
static bool shared(const out_t *po) {
    return !po->terminal && po->copy.fd >= 0;
}

// Writes [p, p + len) to a sink that has not failed, with write, keeping
// its first failure.
static void put(out_sink_t *ps, int (*write)(int, const char *, int), const char *p, int len) {
    if (ps->fd < 0 || ps->error != 0 || len <= 0) {
        return;
    }
    if (write(ps->fd, p, len) != 0) {
        ps->error = errno != 0 ? errno : EIO;
    }
}

// Where data goes: standard output, and the copy where it is shared.
static void put_data(out_t *po, const char *p, int len) {
    put(&po->std, po->terminal ? term_write : fd_write, p, len);
    if (shared(po)) {
        put(&po->copy, file_write, p, len);
    }
}

// Whether nobody takes what data holds any more.
static bool data_dropped(const out_t *po) {
    return po->std.error != 0 && (!shared(po) || po->copy.error != 0);
}

// Writes out the lines held for standard error. A failure there has
// nowhere to be said.
static void flush_told(out_t *po) {
    if (po->told_len > 0) {
        (void)fwrite(po->told, 1, static_cast<size_t>(po->told_len), stderr);
        po->told_len = 0;
    }
}

int out_flush(out_t *po) {
    put_data(po, po->data, po->len);
    po->len = 0;
    put(&po->copy, file_write, po->exact, po->exact_len);
    po->exact_len = 0;
    flush_told(po);
    return po->std.error == 0 ? 0 : -1;
}

int out_tell(out_t *po, const char *line, int len) {
    if (len > OUT_TOLD_SIZE - po->told_len) {
        flush_told(po);
    }
    len = len < OUT_TOLD_SIZE ? len : OUT_TOLD_SIZE;
    memcpy(po->told + po->told_len, line, static_cast<size_t>(len));
    po->told_len += len;
    return 0;
}

// Holds len bytes in buf (OUT_SIZE bytes, *held of them in use), which
// write_out writes out: first, when they do not fit, and instead, when they
// would fill it.
static void hold(out_t *po, char *buf, int *held, const void *src, int len,
                 void (*write_out)(out_t *, const char *, int)) {
    if (len > OUT_SIZE - *held) {
        write_out(po, buf, *held);
        *held = 0;
    }
    if (len >= OUT_SIZE) {
        write_out(po, static_cast<const char *>(src), len); // too big to be worth copying
    } else if (len > 0) {
        memcpy(buf + *held, src, static_cast<size_t>(len));
        *held += len;
    }
}

static void write_copy(out_t *po, const char *p, int len) {
    put(&po->copy, file_write, p, len);
}

// Appends to what data holds, unless nobody takes it.
static void append(out_t *po, const void *src, int len) {
    if (!data_dropped(po)) {
        hold(po, po->data, &po->len, src, len, put_data);
    }
}

// On a terminal with a copy: appends the exact bytes the copy is due.
static void append_exact(out_t *po, const void *src, int len) {
    if (po->terminal && po->copy.fd >= 0 && po->copy.error == 0) {
        hold(po, po->exact, &po->exact_len, src, len, write_copy);
    }
}

// Ends a call that appended src: on a terminal, lines show as they end,
// as stdio's line buffering would show them.
static int written(out_t *po, const void *src, int len) {
    if (po->terminal && len > 0 && memchr(src, '\n', static_cast<size_t>(len)) != nullptr) {
        (void)out_flush(po);
    }
    return po->std.error == 0 ? len : -1;
}

int out_write(out_t *po, const void *src, int len) {
    append(po, src, len);
    append_exact(po, src, len);
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
    append_exact(po, src, len);
    return written(po, src, len);
}

int out_echo_end(out_t *po) {
    if (po->held != 0) {
        show_held(po, po->held);
        po->held = 0;
    }
    return po->std.error == 0 ? 0 : -1;
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
    if (!data_dropped(po)) {
        po->len += len;
    }
    return po->std.error == 0 ? len : -1;
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

// The error number of a failure since the last out_clear that has not been
// told yet, so that each failure is reported once; 0 otherwise.
static int untold(out_sink_t *ps) {
    if (ps->error == 0 || ps->told) {
        return 0;
    }
    ps->told = 1;
    return ps->error;
}

int out_flush_report(out_t *po) {
    int rc = out_flush(po);
    int std_code = untold(&po->std);
    int copy_code = untold(&po->copy);
    if (stop_signal() != 0) {
        return rc;
    }
    if (std_code != 0) {
        errno = std_code;
        perror("write() error");
    }
    if (copy_code != 0) {
        fprintf(stderr, "write() error: %s: %s\n", po->copy_name, strerror(copy_code));
    }
    return rc;
}

int out_close(out_t *po) {
    int rc = out_flush(po);
    if (po->terminal && po->std.error == 0) {
        term_end(po->std.fd);
    }
    return rc;
}

int out_clear(out_t *po) {
    po->std.error = 0;
    po->std.told = 0;
    po->copy.error = 0;
    po->copy.told = 0;
    return 0;
}
