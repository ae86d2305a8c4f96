#include "listener.h"

#include "reader.h"
#include "sock.h"
#include "stop.h"

#include <stdio.h>
#include <string.h>

// How long a connection that was answered may go on sending, at most,
// before it is closed: what comes meanwhile is shown in its block. A new
// client ends it at once. What a client sends as the reply reaches it
// comes one round trip after the reply left; a second covers round trips
// of satellite and congested mobile links, where a quarter of a second
// would miss those from Europe to Australia.
#define QUIET_MS 1000
// Pauses after accept fails for want of descriptors or memory, in ms.
#define ACCEPT_PAUSE_MIN 10
#define ACCEPT_PAUSE_MAX 1000

int listener_init(listener_t *pl, SOCKET fd, const opt_t *opt, out_t *out, reply_t *reply) {
    pl->fd = fd;
    pl->opt = opt;
    pl->out = out;
    // Without storage the buffer still allocates on its first push.
    (void)buf_init(&pl->bufx);
    pl->reply = reply;
    pl->answered = INVALID_SOCKET;
    pl->quiet_end = 0;
    pl->accept_pause = 0;
    pl->hinted = 0;
    return 0;
}

int listener_destroy(listener_t *pl) {
    buf_destroy(&pl->bufx);
    return 0;
}

// Out of descriptors or memory, accept fails at once for as long as that
// lasts: pause, longer while it persists, so that the loop neither spins
// nor floods standard error.
static void rest(listener_t *pl) {
    pl->accept_pause = pl->accept_pause == 0 ? ACCEPT_PAUSE_MIN : pl->accept_pause * 2;
    if (pl->accept_pause > ACCEPT_PAUSE_MAX) {
        pl->accept_pause = ACCEPT_PAUSE_MAX;
    }
    stop_pause_ms(pl->accept_pause);
}

// Serves the connection just accepted from addr: its announcement, its
// request shown as it arrives, the reply. Returns -1 when a stop came.
static int serve(listener_t *pl, SOCKET conn_fd, const sock_addr_t *addr) {
    out_t *out = pl->out;
    char when[TIME_TEXT + 4] = "";
    if (pl->opt->stamp) {
        memcpy(when, " at ", 4);
        time_local_text(when + 4);
    }
    char peer[SOCK_ADDR_TEXT];
    sock_nosigpipe(conn_fd);
    out_clear(out); // a failed output is tried again with each connection
    sock_addr_text(addr, peer);
    // Not flushed here: the echo's flushes carry it out with the request.
    out_printf(out,
               "===========================================\n"
               "A new connection %s:%d%s\n"
               "===========================================\n",
               peer, sock_addr_port(addr), when);
    int result = reader_run(conn_fd, &pl->bufx, out, &pl->frame);
    if (result == READ_STOPPED) {
        closesocket(conn_fd);
        return -1;
    }
    if (result == READ_CLOSED) {
        return 0;
    }
    reply_make(pl->reply, buf_get_head(&pl->bufx), &pl->frame, pl->opt->cors);
    buf_reset(&pl->bufx);
    if (!pl->opt->cors && !pl->hinted && reply_is_preflight(&pl->frame)) {
        // Said once: the browser repeats its preflight, and the request
        // itself shows what it asked.
        fputs("A browser asked for cross-origin access (an OPTIONS preflight); "
              "quorvel --cors grants it\n",
              stderr);
        pl->hinted = 1;
    }
    // A peer that has gone makes this fail; nothing more is owed to it.
    (void)sock_send_all(conn_fd, pl->reply->data, pl->reply->len);
    // The client sees the end of the reply at once; the socket is closed
    // once the next client comes or the quiet time is up, whichever is
    // first, and what its client sent meanwhile is shown first.
    // Closing it now, with bytes unread (a body that was not announced,
    // the rest of an HTTP/2 preface, anything sent after the reply),
    // would reset the connection, and a client that is reset may throw
    // away the reply. Waiting on the listening socket alone, the
    // listener wakes once per connection, as it would without the wait;
    // the price is that when nobody comes next, the block's newline
    // comes at the end of the quiet time, even after a prompt close.
    (void)shutdown(conn_fd, SD_SEND);
    pl->answered = conn_fd;
    pl->quiet_end = clock_ms() + QUIET_MS;
    return 0;
}

int listener_run(listener_t *pl) {
    sock_addr_t addr;
    while (stop_signal() == 0) {
        int ready;
        if (pl->answered != INVALID_SOCKET) {
            long long left = pl->quiet_end - clock_ms();
            ready = stop_wait_ms(pl->fd, left > 0 ? static_cast<int>(left) : 0);
            reader_end(pl->answered, pl->out);
            pl->answered = INVALID_SOCKET;
            if (ready == 0) {
                continue; // the quiet time is up, and nobody is waiting
            }
        } else {
            ready = stop_wait(pl->fd) != 0 ? -1 : 1;
        }
        if (ready < 0) {
            break;
        }
        sock_len_t addr_size = sizeof addr;
        SOCKET conn_fd = accept(pl->fd, &addr.sa, &addr_size);
        if (conn_fd == INVALID_SOCKET && stop_signal() != 0) {
            break; // interrupted by the stop
        }
        if (conn_fd == INVALID_SOCKET) {
            int code = sock_error();
            if (sock_error_is_interrupt(code)) {
                continue; // another signal: wait on
            }
            sock_perror("accept() error", code);
            if (sock_error_is_resource(code)) {
                rest(pl);
            }
            continue;
        }
        pl->accept_pause = 0;
        if (serve(pl, conn_fd, &addr) < 0) {
            break;
        }
    }
    if (pl->answered != INVALID_SOCKET) {
        reader_end(pl->answered, pl->out);
        pl->answered = INVALID_SOCKET;
    }
    return 0;
}
