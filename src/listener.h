// The listener: the accept loop, and the serving of one connection at a
// time. It owns the listening socket's connections from their accept to
// their close: the one being served, and the one last answered, whose
// close waits for the end of its quiet time (see listener.cpp).
#ifndef QUORVEL_LISTENER_H
#define QUORVEL_LISTENER_H

#include "buf.h"
#include "frame.h"
#include "opt.h"
#include "out.h"
#include "platform.h"
#include "reply.h"

typedef struct listener_t {
    SOCKET fd;           // the listening socket; the caller's, never closed here
    const opt_t *opt;    // what the command line asked
    out_t *out;          // the console, and the copy of -o
    buf_t bufx;          // the header block of the request being read
    frame_t frame;       // how that request is framed
    reply_t *reply;      // the reply being sent
    SOCKET answered;     // the connection last answered, until its close; INVALID_SOCKET
    long long quiet_end; // clock_ms() when the answered connection's quiet time is up
    int accept_pause;    // ms to rest after accept failed for want of resources; 0
    int hinted;          // the hint of --cors has been given
} listener_t;

// Prepares *pl to serve the clients of fd, a listening socket, as *opt
// asks, showing them on *out and answering with *reply (both the caller's,
// kept for the life of *pl). Returns 0.
int listener_init(listener_t *pl, SOCKET fd, const opt_t *opt, out_t *out, reply_t *reply);

// Serves clients until a stop request comes, then ends the block of the
// connection left open and closes every connection. Returns 0.
int listener_run(listener_t *pl);

// Frees what *pl holds. Returns 0.
int listener_destroy(listener_t *pl);

#endif
