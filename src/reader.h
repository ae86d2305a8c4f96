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

// Reads one request from conn_fd into bufx and echoes every byte it
// receives, as it arrives: the header block, then the body. *frame says how
// the request was framed. Returns one of READ_*.
// - READ_REPLY: the header block is kept in bufx, frame->head_len bytes at
//   its head, for the reply; the caller empties bufx (buf_reset). The
//   connection's block on the console stays open: reader_end ends it.
// - READ_CLOSED: the peer went away, or the header block outgrew the
//   buffer, before the header block was complete. Everything received is
//   shown all the same, and a peer that went away after sending something
//   gets its "socket close" line on a line of its own, then the newline
//   that ends the block.
// - READ_STOPPED: shown as far as it came, with no newline.
// Everything is written out before the reader returns.
int reader_run(SOCKET conn_fd, buf_t *bufx, out_t *out, frame_t *frame);

// The most reader_end takes from a client that goes on sending: more than
// a socket's receive buffer holds by default, on any system.
#define READ_END_MAX (16LL << 20)

// Ends a connection that was answered and whose sending side is shut:
// whatever its client has sent since is taken without waiting, as long as
// there is some (READ_END_MAX bytes at most), and shown; the connection's
// block ends with its newline and is written out, and the socket is closed.
// Returns 0.
int reader_end(SOCKET conn_fd, out_t *out);

#endif
