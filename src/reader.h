// The request reader: receives one HTTP request from a connection and
// echoes every byte of it to the console as it goes, then hands the
// connection back to the accept loop, which replies. Where a request ends
// it leaves to the framing, frame.h.
#ifndef QUORVEL_READER_H
#define QUORVEL_READER_H

#include "buf.h"
#include "out.h"
#include "platform.h"

// reader_run's results.
enum {
    READ_REPLY = 0,   // the request was read: the reply is due, the socket open
    READ_CLOSED = 1,  // no complete header block (the peer went, or it could not be held):
                      // the socket is closed, no reply is due
    READ_STOPPED = 2, // a stop came: all that was received is shown
};

// Reads one request from conn_fd into bufx and echoes every byte it
// receives, as it arrives: the header block, then the body, then a newline.
// Returns one of READ_*. The connection is closed early when the peer went
// away, or the header block outgrew the buffer, before the header block was
// complete; everything received is shown all the same, and a peer that went
// away after sending something gets its "socket close" line on a line of
// its own.
int reader_run(SOCKET conn_fd, buf_t *bufx, out_t *out);

#endif
