#include "reader.h"

#include "frame.h"
#include "sock.h"
#include "stop.h"

#include <errno.h>
#include <stdio.h>

// Makes room for len more bytes. buf_push grows storage to an exact fit,
// which with most allocators copies everything buffered so far: done for
// every chunk of a long header block, that is quadratic. Growing in doubling
// steps keeps it linear. Should this fail, buf_push still tries the exact fit.
static void reserve(buf_t *bufx, int len) {
    if (buf_get_free(bufx) >= len || buf_get_head(bufx) == nullptr) {
        return;
    }
    long long want = 2LL * buf_get_size(bufx);
    long long need = static_cast<long long>(bufx->tail) + len;
    if (want < need) {
        want = need;
    }
    if (want > BUF_MAX_SIZE) {
        want = BUF_MAX_SIZE;
    }
    (void)buf_realloc(bufx, static_cast<int>(want));
}

// receive's answer when a stop came.
#define RECV_STOPPED (-3)

// Receives what the client sends into the room out_echo_room gives: to a
// file or a pipe, straight into the console buffer, up to 64 KiB at a time,
// so that each byte is copied once on its way out; to a terminal, through a
// 4 KiB area, from which it is shown in caret notation. *at says where the
// bytes went, and out_echo_commit shows them. When nothing is waiting,
// everything held for the console is written out first: what has arrived
// shows before the listener waits, and the announcement shows who holds it.
// While bytes keep coming they are gathered. A wait that a signal other than
// a stop signal interrupts is taken up again. Returns the count, 0 when the
// peer has closed, -1 on failure, RECV_STOPPED once a stop has come.
static int receive(SOCKET s, out_t *out, char **at) {
    for (;;) {
        if (stop_signal() != 0) {
            return RECV_STOPPED;
        }
        int len;
        char *p = out_echo_room(out, &len);
        int n = sock_recv_nowait(s, p, len);
        if (n == SOCK_WOULD_BLOCK) {
            out_flush_report(out);
            p = out_echo_room(out, &len); // the writing out emptied the buffer
            // A stop interrupts the wait (see stop.h).
            n = stop_wait(s) != 0 ? -1 : static_cast<int>(recv(s, p, len, 0));
        }
        if (n < 0 && stop_signal() != 0) {
            return RECV_STOPPED;
        }
        if (n < 0 && sock_error_is_interrupt(sock_error())) {
            continue;
        }
        *at = p;
        return n;
    }
}

int reader_first(SOCKET conn_fd, buf_t *bufx) {
    char first[READ_FIRST_MAX];
    int n = stop_recv(conn_fd, first, READ_FIRST_MAX);
    if (n > 0) {
        (void)buf_push(bufx, first, n); // fits: no storage is needed
    }
    return n == SOCK_WOULD_BLOCK || n > 0 ? n : 0;
}

int reader_run(SOCKET conn_fd, buf_t *bufx, out_t *out, frame_t *frame) {
    frame_init(frame);
    int result = READ_REPLY;
    // What reader_first took, shown first.
    int head_len = buf_get_length(bufx) > 0
                       ? frame_find_head(frame, buf_get_head(bufx), buf_get_length(bufx))
                       : 0;
    bool received = buf_get_length(bufx) > 0;
    if (received) {
        out_echo(out, buf_get_head(bufx), buf_get_length(bufx));
    }
    char *at;
    // The header block is shown as it arrives, and held until its blank
    // line is found, for its framing fields.
    while (head_len == 0) {
        int n = receive(conn_fd, out, &at);
        if (n == RECV_STOPPED) {
            out_echo_end(out); // shown as far as it came; no newline
            return READ_STOPPED;
        }
        if (n <= 0) {
            // What came is shown; the close line starts a line of its own.
            out_echo_end(out);
            if (received) {
                out_write(out, "\n", 1);
            }
            out_printf(out, "socket close fd=%d\n", static_cast<int>(conn_fd));
            result = READ_CLOSED;
            break;
        }
        received = true;
        bool fits = n <= BUF_MAX_SIZE - buf_get_length(bufx);
        bool held = false;
        if (fits) {
            reserve(bufx, n);
            held = buf_push(bufx, at, n) == n;
        }
        out_echo_commit(out, n); // shown even when it cannot be held
        if (!fits) {
            fputs("buf_push() error: Header block too large\n", stderr);
            result = READ_CLOSED;
            break;
        }
        if (!held) {
            errno = ENOMEM;
            perror("buf_push() error");
            result = READ_CLOSED;
            break;
        }
        head_len = frame_find_head(frame, buf_get_head(bufx), buf_get_length(bufx));
    }
    if (result == READ_CLOSED) {
        closesocket(conn_fd);
    } else {
        // Body bytes that came with the header block count towards the
        // body; what is still missing is read below.
        const char *str = buf_get_head(bufx);
        int str_len = buf_get_length(bufx);
        frame_read_fields(frame, str, head_len);
        int state = frame_feed(frame, str + head_len, str_len - head_len);
        if (state == 0 && frame->expect_continue) {
            // The client waits for this before it sends its body. Should the
            // send fail, the peer has gone, and the reads below find out.
            static const char interim[] = "HTTP/1.1 100 Continue\r\n\r\n";
            (void)sock_send_all(conn_fd, interim, static_cast<int>(sizeof interim - 1));
        }
        while (state == 0) {
            int i = receive(conn_fd, out, &at);
            if (i == RECV_STOPPED) {
                out_echo_end(out);
                return READ_STOPPED;
            }
            if (i <= 0) {
                break; // a short body still gets its reply
            }
            state = frame_feed(frame, at, i);
            out_echo_commit(out, i);
        }
        // The request is written out before it is answered: a client that
        // has its reply finds its request in the output. The connection
        // stays open; the reply goes out, then what comes after it is shown
        // in this block (reader_end).
        out_flush_report(out);
        return READ_REPLY;
    }
    out_echo_end(out);
    out_write(out, "\n", 1);
    buf_reset(bufx);
    return result;
}

int reader_take(SOCKET conn_fd, out_t *out, long long *taken) {
    while (*taken < READ_END_MAX) {
        int len;
        char *at = out_echo_room(out, &len);
        int n = stop_recv(conn_fd, at, len);
        if (n > 0) {
            out_echo_commit(out, n);
            *taken += n;
        } else if (n == SOCK_WOULD_BLOCK) {
            return 1;
        } else if (n == 0 || !sock_error_is_interrupt(sock_error())) {
            return 0; // the client closed, or it went
        }
    }
    return 1;
}

int reader_end(SOCKET conn_fd, out_t *out, long long taken) {
    // Closing a socket with bytes unread makes the system reset the
    // connection, and a client that is sent a reset may throw away the
    // reply it has not read yet. So all that came is read first, after a
    // stop too (nothing here waits for the client); a client that goes on
    // sending as fast as it is read is given up on all the same, once
    // READ_END_MAX bytes are taken.
    (void)reader_take(conn_fd, out, &taken);
    out_echo_end(out);
    out_write(out, "\n", 1);
    closesocket(conn_fd);
    return 0;
}
