// The request reader: receives one HTTP request from a connection and
// echoes every byte of it to the console as it goes, then hands the
// connection back to the accept loop, which replies. Where a request ends
// it leaves to the framing, frame.h.
#ifndef QUORVEL_READER_H
#define QUORVEL_READER_H

#include "buf.h"
#include "frame.h"
#include "out.h"
#include "platform.h"

// reader_run's results.
enum {
    READ_REPLY = 0,   // the request was read: the reply is due, the socket open, the block
                      // open for reader_end
    READ_CLOSED = 1,  // no complete header block (the peer went, or it could not be held):
                      // the socket is closed, no reply is due
    READ_STOPPED = 2, // a stop came: all that was received is shown
};

// The most reader_first takes.
#define READ_FIRST_MAX 1024

// Takes the first bytes that the client of conn_fd, watched (stop_watch),
// has sent, without waiting: up to READ_FIRST_MAX of them, into bufx, which must be empty and
// have that much room (buf_get_free). Returns how many; 0 when the client
// has closed (or the connection failed) before sending any;
// SOCK_WOULD_BLOCK while none have come.
int reader_first(SOCKET conn_fd, buf_t *bufx);

// Reads one request from conn_fd into bufx and echoes every byte it
// receives, as it arrives: the header block, then the body. Bytes that
// bufx holds already (reader_first) are the request's first, and shown
// first. *frame says how the request was framed. Returns one of READ_*.
// - READ_REPLY: the header block is kept in bufx, frame->head_len bytes at
//   its head, for the reply; the caller empties bufx (buf_reset). The
//   connection's block on the console stays open: reader_end ends it.
// - READ_CLOSED: the peer went away, or the header block outgrew the
//   buffer, before the header block was complete. Everything received is
//   shown all the same, and a peer that went away after sending something
//   gets its "socket close" line on a line of its own, then the newline
//   that ends the block.
// - READ_STOPPED: shown as far as it came, with no newline.
// What has come is written out before the reader waits for more, and a
// request that is due its reply before it returns; the caller writes out
// the rest (the end of the block, a close), before it waits.
int reader_run(SOCKET conn_fd, buf_t *bufx, out_t *out, frame_t *frame);

// The most that is taken from a client that goes on sending once it was
// answered: more than a socket's receive buffer holds by default, on any
// system.
#define READ_END_MAX (16LL << 20)

// For a connection that was answered, its sending side shut and watched
// (stop_watch): takes whatever its client has sent since, without waiting, as long as there is
// some, and shows it in the connection's block. *taken counts the bytes
// taken since the reply; past READ_END_MAX no more are. Returns 1 while the
// client may send more, 0 once it has closed or gone.
int reader_take(SOCKET conn_fd, out_t *out, long long *taken);

// Ends a connection that was answered: takes what has come (reader_take),
// ends the connection's block with its newline, and closes the socket; the
// caller writes the block out. Returns 0.
int reader_end(SOCKET conn_fd, out_t *out, long long taken);

#endif
