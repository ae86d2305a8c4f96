// Where a connection goes, in this file: accept_waiting accepts it and
// looks whether it has spoken; wait waits for it (and the others) between
// requests; choose picks the first that spoke; serve reads its request,
// holds the reply back for --delay (hold) and sends it; end_answered closes
// it once its client is done, or show_closed when it closed without a byte.
#include "listener.h"

#include "reader.h"
#include "stop.h"

#include <stdio.h>
#include <string.h>

// How long a connection that was answered may go on sending, at most,
// before it is closed: what comes meanwhile is shown in its block. Its
// client's close ends it at once, and so does another client that speaks.
// What a client sends as the reply reaches it comes one round trip after
// the reply left; a second covers round trips of satellite and congested
// mobile links, where a quarter of a second would miss those from Europe
// to Australia.
#define QUIET_MS 1000
// A client usually sends its request right after it connects. While a
// connection accepted less than this many ms ago is silent, the listener
// waits for it, and the others held, before it accepts more: taking new
// connections at once would mostly wake it only to find them silent too
// (with 16 clients connecting at a time, that costs a tenth of the rate).
// New clients wait in the backlog that long at most.
#define FRESH_MS 5
// Rests of the listening socket after accept fails for want of descriptors
// or memory, in ms.
#define ACCEPT_PAUSE_MIN 10
#define ACCEPT_PAUSE_MAX 1000
// Descriptors kept for all but the held connections: standard input,
// output and error, the listening socket, the file of -o, the connection
// being served, the one answered, and some to spare.
#define FDS_KEPT 16

static_assert(HELD_MAX + 2 <= STOP_WAIT_MAX, "a wait takes every held connection");

int listener_init(listener_t *pl, SOCKET fd, const opt_t *opt, out_t *out, reply_t *reply) {
    pl->fd = fd;
    pl->opt = opt;
    pl->out = out;
    // Without storage the buffer still allocates on its first push.
    (void)buf_init(&pl->bufx);
    pl->reply = reply;
    pl->held_count = 0;
    int room = sock_limit() - FDS_KEPT;
    pl->held_max = room < 1 ? 1 : room < HELD_MAX ? room : HELD_MAX;
    pl->accepts = 0;
    pl->closes = 0;
    pl->answered = INVALID_SOCKET;
    pl->quiet_end = 0;
    pl->taken = 0;
    pl->accept_pause = 0;
    pl->accept_at = 0;
    pl->hinted = 0;
    pl->turns = 0;
    pl->told_len = 0;
    // Every waiting connection is accepted at once, so accept must not
    // wait when there are no more.
    return sock_nonblocking(fd) == 0 && stop_watch(fd) == 0 ? 0 : -1;
}

int listener_destroy(listener_t *pl) {
    buf_destroy(&pl->bufx);
    return 0;
}

// The held connection in state that came first (for HELD_CLOSED, that was
// seen closed first); -1 when none is.
static int first(const listener_t *pl, int state) {
    int found = -1;
    for (int i = 0; i < pl->held_count; i++) {
        if (pl->held[i].state == state &&
            (found < 0 || pl->held[i].order < pl->held[found].order)) {
            found = i;
        }
    }
    return found;
}

// Forgets held connection i (its socket is closed or served elsewhere).
static void drop(listener_t *pl, int i) {
    pl->held[i] = pl->held[--pl->held_count];
}

// Starts a connection's block: the announcement, not written out yet.
static void announce(listener_t *pl, const held_t *h) {
    char peer[SOCK_ADDR_TEXT];
    sock_addr_text(&h->addr, peer);
    out_clear(pl->out); // a failed output is tried again with each connection
    out_printf(pl->out,
               "===========================================\n"
               "A new connection %s:%d%s\n"
               "===========================================\n",
               peer, sock_addr_port(&h->addr), h->when);
}

// Shows held connection i as a connection closed before it sent a byte,
// closes it and forgets it.
static void show_closed(listener_t *pl, int i) {
    announce(pl, &pl->held[i]);
    out_printf(pl->out, "socket close fd=%d\n\n", static_cast<int>(pl->held[i].fd));
    closesocket(pl->held[i].fd);
    drop(pl, i);
}

// Shows the held connections that closed without a byte, in the order they
// closed. Only between blocks: a block is never cut into.
static void show_closes(listener_t *pl) {
    for (int i; (i = first(pl, HELD_CLOSED)) >= 0;) {
        show_closed(pl, i);
    }
}

// Ends the answered connection's block, if one is open, and closes it;
// then what went back to it is told (after the block, where standard error
// and standard output go to the same place).
static void end_answered(listener_t *pl) {
    if (pl->answered != INVALID_SOCKET) {
        reader_end(pl->answered, pl->out, pl->taken);
        pl->answered = INVALID_SOCKET;
        out_tell(pl->out, pl->told, pl->told_len);
        pl->told_len = 0;
    }
}

// Looks whether held connection i, silent so far, has spoken or closed;
// only while none has spoken, so that the first that has is the one served
// next. What it sent is taken for its request at once (reader_first):
// looking would cost a call of its own.
static void look(listener_t *pl, int i) {
    held_t *h = &pl->held[i];
    bool take = buf_get_length(&pl->bufx) == 0 && buf_get_free(&pl->bufx) >= READ_FIRST_MAX;
    int got = take ? reader_first(h->fd, &pl->bufx) : stop_peek(h->fd);
    if (got > 0) {
        h->state = HELD_SPOKE;
    } else if (got == 0) {
        h->state = HELD_CLOSED;
        h->order = ++pl->closes;
    }
}

// Out of descriptors or memory, accept fails at once for as long as that
// lasts: the listening socket rests, longer while it persists, so that the
// loop neither spins nor floods standard error, while the connections held
// are still served.
static void rest(listener_t *pl) {
    pl->accept_pause = pl->accept_pause == 0 ? ACCEPT_PAUSE_MIN : pl->accept_pause * 2;
    if (pl->accept_pause > ACCEPT_PAUSE_MAX) {
        pl->accept_pause = ACCEPT_PAUSE_MAX;
    }
    pl->accept_at = clock_ms() + pl->accept_pause;
}

// The held connection to close, between blocks, to make room for another:
// one that closed without a byte, shown first as it is due, or else the one
// silent the longest; -1 when there is none, or a block is open.
static int to_drop(const listener_t *pl) {
    if (pl->answered != INVALID_SOCKET) {
        return -1;
    }
    int closed = first(pl, HELD_CLOSED);
    return closed >= 0 ? closed : first(pl, HELD_SILENT);
}

// Whether another connection can be held now: below the cap, or by closing
// one (to_drop).
static bool room(const listener_t *pl) {
    return pl->held_count < pl->held_max || to_drop(pl) >= 0;
}

// Accepts the connections waiting, as long as there is room, and holds
// them; each is looked at at once, as a client often sends its request
// with its connection, and the first that has is served next. Called only
// while none has spoken.
static void accept_waiting(listener_t *pl) {
    bool accepted = false; // one connection at least, this call
    while (room(pl) && stop_signal() == 0) {
        sock_addr_t addr;
        sock_len_t size = sizeof addr;
        SOCKET fd = accept(pl->fd, &addr.sa, &size);
        if (fd == INVALID_SOCKET) {
            int code = sock_error();
            if (sock_error_is_interrupt(code)) {
                continue; // another signal: go on
            }
            if (sock_error_is_resource(code) && accepted) {
                return; // more may wait, or none: the next wait says
            }
            if (sock_error_is_resource(code) && to_drop(pl) >= 0) {
                // The descriptors held are those missing (others may be
                // taken, by a parent that left them open): closing one
                // makes room for the connection that woke the wait, as the
                // cap would.
                show_closed(pl, to_drop(pl));
                continue;
            }
            if (!sock_error_is_would_block(code)) {
                sock_perror("accept() error", code);
            }
            if (sock_error_is_resource(code)) {
                rest(pl);
            }
            return;
        }
        accepted = true;
        pl->accept_pause = 0;
        if (pl->held_count == pl->held_max) {
            // Room is made after the accept: should it fail, none is lost.
            show_closed(pl, to_drop(pl));
        }
        held_t *h = &pl->held[pl->held_count];
        h->fd = fd;
        h->addr = addr;
        h->state = HELD_SILENT;
        h->order = ++pl->accepts;
        h->accepted = clock_ms();
        h->when[0] = '\0';
        if (pl->opt->stamp) {
            memcpy(h->when, " at ", 4);
            time_local_text(h->when + 4);
        }
        sock_nosigpipe(fd);
        (void)stop_watch(fd); // on Windows it is already: accepted from a watched socket
        pl->held_count++;
        look(pl, pl->held_count - 1);
        if (h->state == HELD_SPOKE) {
            return; // served next; the others are accepted at the next wait
        }
    }
}

// Waits until something happens between requests, and takes it in: the
// answered client's bytes or its close, a held connection that speaks or
// closes, new connections, the end of the quiet time or of the listening
// socket's rest. Returns 0, or -1 for a stop.
static int wait(listener_t *pl) {
    SOCKET socks[STOP_WAIT_MAX];
    char ready[STOP_WAIT_MAX];
    int held_of[STOP_WAIT_MAX]; // the held connection each socket is; -1 for the others
    int n = 0;
    long long now = clock_ms();
    long long until = -1; // when the wait ends by itself; never
    long long fresh = 0;  // when the silent connection accepted last stops being fresh
    for (int i = 0; i < pl->held_count; i++) {
        if (pl->held[i].state == HELD_SILENT) {
            held_of[n] = i;
            socks[n++] = pl->held[i].fd;
            if (pl->held[i].accepted + FRESH_MS > fresh) {
                fresh = pl->held[i].accepted + FRESH_MS;
            }
        }
    }
    long long rest_end = fresh > pl->accept_at ? fresh : pl->accept_at;
    int listen_at = -1;
    if (now < rest_end) {
        until = rest_end;
    } else if (room(pl)) {
        held_of[n] = -1;
        listen_at = n;
        socks[n++] = pl->fd;
    }
    int answered_at = -1;
    if (pl->answered != INVALID_SOCKET) {
        if (until < 0 || pl->quiet_end < until) {
            until = pl->quiet_end;
        }
        // Past READ_END_MAX nothing more is taken: its bytes would only
        // wake the wait again.
        if (pl->taken < READ_END_MAX) {
            held_of[n] = -1;
            answered_at = n;
            socks[n++] = pl->answered;
        }
    }
    // Blocks are written out here, before the listener waits, and by the
    // reader, before it waits: a block ended by the next client to speak
    // goes out with that client's request.
    out_flush_report(pl->out);
    int ms = until < 0 ? -1 : until > now ? static_cast<int>(until - now) : 0;
    if (stop_wait_any(socks, n, ready, ms) < 0) {
        return -1;
    }
    if (answered_at >= 0 && ready[answered_at] &&
        reader_take(pl->answered, pl->out, &pl->taken) == 0) {
        pl->taken = READ_END_MAX; // nothing more to take: its client closed
        end_answered(pl);
    }
    if (pl->answered != INVALID_SOCKET && clock_ms() >= pl->quiet_end) {
        end_answered(pl);
    }
    // Held connections that have something, in the order they came: the
    // first that has spoken is served next. The others are then only
    // marked as having something, and each is looked at when its turn
    // comes (a close without a byte shows then as it would here).
    for (;;) {
        int next = -1;
        for (int at = 0; at < n; at++) {
            int i = held_of[at];
            if (ready[at] && i >= 0 &&
                (next < 0 || pl->held[i].order < pl->held[held_of[next]].order)) {
                next = at;
            }
        }
        if (next < 0) {
            break;
        }
        ready[next] = 0;
        if (first(pl, HELD_SPOKE) >= 0) {
            pl->held[held_of[next]].state = HELD_SPOKE;
        } else {
            look(pl, held_of[next]);
        }
    }
    if (listen_at >= 0 && ready[listen_at] && first(pl, HELD_SPOKE) < 0) {
        accept_waiting(pl);
    }
    return 0;
}

// The held connection to serve next: of those that spoke, the one accepted
// first. Until one has, waits, and shows those that close without a byte
// between blocks. Returns its index, or -1 for a stop.
static int choose(listener_t *pl) {
    while (first(pl, HELD_SPOKE) < 0) {
        if (pl->answered == INVALID_SOCKET) {
            show_closes(pl);
        }
        if (wait(pl) < 0) {
            return -1;
        }
    }
    // One that speaks ends the answered one's quiet time.
    end_answered(pl);
    show_closes(pl);
    return first(pl, HELD_SPOKE);
}

// The n values of a list of -s or --delay, for turn: the last repeats;
// none, fallback.
static int turn_of(const int *list, int n, long long turn, int fallback) {
    return n == 0 ? fallback : list[turn < n ? turn : n - 1];
}

// Holds the reply to the client of conn_fd back for ms milliseconds, its
// request read, showing what it sends meanwhile. Returns 0 once the time is
// up, 1 when the client has closed its side (or gone), -1 for a stop.
static int hold(listener_t *pl, SOCKET conn_fd, int ms) {
    long long until = clock_ms() + ms;
    int rc = 0;
    (void)stop_watch(conn_fd); // until its reply: it is sent as to a watched socket
    for (long long now; rc == 0 && (now = clock_ms()) < until;) {
        out_flush_report(pl->out);
        // Past READ_END_MAX nothing more is taken: only the time is waited.
        char ready;
        int n = pl->taken < READ_END_MAX ? 1 : 0;
        int got = stop_wait_any(&conn_fd, n, &ready, static_cast<int>(until - now));
        if (got < 0) {
            rc = -1;
        } else if (got > 0 && reader_take(conn_fd, pl->out, &pl->taken) == 0) {
            rc = 1;
        }
    }
    return rc;
}

// Notes what went back to the client at addr, and after how long, to be
// said on standard error when its block ends, so that a client's retries
// can be followed.
static void tell(listener_t *pl, const sock_addr_t *addr, int status, long long waited) {
    char peer[SOCK_ADDR_TEXT];
    sock_addr_text(addr, peer);
    const char *reason = reply_reason(status);
    int len = snprintf(pl->told, sizeof pl->told, "%s:%d answered %d%s%s after %lld ms\n", peer,
                       sock_addr_port(addr), status, *reason != '\0' ? " " : "", reason, waited);
    pl->told_len = len < static_cast<int>(sizeof pl->told) ? len : 0;
}

// Serves held connection h: its announcement, its request shown as it
// arrives, the reply. Returns -1 when a stop came.
static int serve(listener_t *pl, const held_t *h) {
    const opt_t *opt = pl->opt;
    // Read with stop_wait now (on Windows it stays non-blocking, which the
    // reader's receives allow for).
    SOCKET conn_fd = h->fd;

    // Not written out here: the echo carries it out with the request.
    announce(pl, h);
    int result = reader_run(conn_fd, &pl->bufx, pl->out, &pl->frame);
    if (result == READ_STOPPED) {
        closesocket(conn_fd);
        return -1;
    }
    if (result == READ_CLOSED) {
        return 0;
    }
    // Each request takes the next turn of -s and --delay. A preflight that
    // --cors grants takes none, and passes at once: the browser sends the
    // request itself, which is what the statuses are for, only after it.
    int status = 200;
    int delay = 0;
    bool preflight = reply_is_preflight(&pl->frame);
    if (!(opt->cors && preflight)) {
        status = turn_of(opt->statuses, opt->status_count, pl->turns, 200);
        delay = turn_of(opt->delays, opt->delay_count, pl->turns, 0);
        pl->turns++;
    }
    reply_make(pl->reply, status, buf_get_head(&pl->bufx), &pl->frame);
    buf_reset(&pl->bufx);
    if (!opt->cors && !pl->hinted && preflight) {
        // Said once: the browser repeats its preflight, and the request
        // itself shows what it asked.
        fputs("A browser asked for cross-origin access (an OPTIONS preflight); "
              "quorvel --cors grants it\n",
              stderr);
        pl->hinted = 1;
    }
    pl->taken = 0;
    long long start = clock_ms();
    int held = delay > 0 ? hold(pl, conn_fd, delay) : 0;
    if (held < 0) {
        reader_end(conn_fd, pl->out, pl->taken);
        return -1;
    }
    // A peer that has gone makes this fail; nothing more is owed to it. One
    // that only half-closed still reads it. A stop cuts it short.
    (void)sock_send_all(conn_fd, pl->reply->data, pl->reply->len);
    if (stop_signal() != 0) {
        reader_end(conn_fd, pl->out, pl->taken);
        return -1;
    }
    if (opt->status_count > 0 || opt->delay_count > 0) {
        tell(pl, &h->addr, status, held == 0 ? delay : clock_ms() - start);
    }
    // The client sees the end of the reply at once. The socket is closed
    // when its client closes, another client speaks or the quiet time is
    // up, and what its client sent meanwhile is shown first: closing it
    // now, with bytes unread (a body that was not announced, the rest of
    // an HTTP/2 preface, anything sent after the reply), would reset the
    // connection, and a client that is reset may throw away the reply.
    (void)shutdown(conn_fd, SD_SEND);
    (void)stop_watch(conn_fd);
    pl->answered = conn_fd;
    pl->quiet_end = clock_ms() + QUIET_MS;
    if (held > 0) {
        end_answered(pl); // its client closed during the delay
    }
    return 0;
}

int listener_run(listener_t *pl) {
    for (int next; (next = choose(pl)) >= 0 && stop_signal() == 0;) {
        held_t h = pl->held[next];
        drop(pl, next);
        if (serve(pl, &h) < 0) {
            break;
        }
    }
    // A stop: the open block ends, with what its client sent; the held
    // connections close unseen, their bytes unread, as those still in the
    // backlog.
    end_answered(pl);
    while (pl->held_count > 0) {
        closesocket(pl->held[pl->held_count - 1].fd);
        pl->held_count--;
    }
    return 0;
}
