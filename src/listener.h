// The listener: the accept loop, and the serving of one request at a time,
// in the order clients speak. It owns every connection from its accept to
// its close:
// - the held ones, accepted and not yet served: silent so far, or with
//   something to take (bytes, or a close), or closed without a byte and
//   waiting to be shown;
// - the one being served: its request read and shown, then answered;
// - the one last answered, whose close waits for its client, for another
//   client to speak, or for the end of its quiet time.
// Between requests it waits on all of them and the listening socket
// together; while it reads a request, on that connection alone.
#ifndef QUORVEL_LISTENER_H
#define QUORVEL_LISTENER_H

#include "buf.h"
#include "frame.h"
#include "opt.h"
#include "out.h"
#include "platform.h"
#include "reply.h"
#include "sock.h"

// The most connections held at once (fewer where the descriptor limit is
// low): at the cap the one silent the longest is closed to make room.
#define HELD_MAX 256

// What a held connection has done so far.
enum {
    HELD_SILENT = 0, // nothing yet
    HELD_SPOKE = 1,  // bytes wait, or a close after some
    HELD_CLOSED = 2, // closed (or failed) without a byte: shown as an early close
};

typedef struct held_t {
    SOCKET fd;
    int state; // one of HELD_*

    long long order;          // when accepted (HELD_CLOSED: when seen closed), as a count
    long long accepted;       // clock_ms() at the accept
    sock_addr_t addr;         // the peer
    char when[TIME_TEXT + 4]; // with -t, " at " and the local time of the accept; else ""
} held_t;

typedef struct listener_t {
    SOCKET fd;        // the listening socket; the caller's, never closed here
    const opt_t *opt; // what the command line asked
    out_t *out;       // the console, and the copy of -o
    buf_t bufx;       // the header block of the request being read
    frame_t frame;    // how that request is framed
    reply_t *reply;   // the reply being sent
    held_t held[HELD_MAX];
    int held_count;    // in use, in no order (order says which came first)
    int held_max;      // the cap, HELD_MAX or fewer
    long long accepts; // connections accepted so far
    long long closes;  // held connections seen closed so far

    SOCKET answered; // the connection last answered, until its close; INVALID_SOCKET

    long long quiet_end; // clock_ms() when the answered connection's quiet time is up
    long long taken;     // bytes taken from the answered connection's client since its reply
    int accept_pause;    // ms that accept rests after failing for want of resources; 0
    long long accept_at; // clock_ms() when that rest ends
    int hinted;          // the hint of --cors has been given
    long long turns;     // requests that took their turn of -s and --delay
    char
        told[SOCK_ADDR_TEXT + 96]; // what went back to the answered client, said at its block's end
    int told_len;
} listener_t;

// Prepares *pl to serve the clients of fd, a listening socket, as *opt
// asks, showing them on *out and answering with *reply (both the caller's,
// kept for the life of *pl). Returns 0, or -1 when fd cannot be waited on
// (sock_error() says why).
int listener_init(listener_t *pl, SOCKET fd, const opt_t *opt, out_t *out, reply_t *reply);

// Serves clients until a stop request comes, then ends the block of the
// connection left open and closes every connection; those not served show
// nothing. Returns 0.
int listener_run(listener_t *pl);

// Frees what *pl holds. Returns 0.
int listener_destroy(listener_t *pl);

#endif
