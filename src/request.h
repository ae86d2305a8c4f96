// The request reader: receives one HTTP request from a connection and
// echoes every byte of it to the console as it goes, then hands the
// connection back to the accept loop, which replies.
#ifndef QUORVEL_REQUEST_H
#define QUORVEL_REQUEST_H

#include "buf.h"
#include "out.h"
#include "platform.h"

// The scratch area the reader receives header bytes into.
#define SCRATCH_SIZE 512

// request_read's results.
enum {
    READ_REPLY = 0,   // the request was read: the reply is due, the socket open
    READ_CLOSED = 1,  // the connection ended before its header block: closed, no reply
    READ_STOPPED = 2, // a stop signal came: all that was received is shown
};

// Reads one request from conn_fd and echoes every byte it receives: the
// header block once it is complete, then the body as it arrives, then a
// newline. Returns one of READ_*. The connection is closed early when the
// peer went away, or the header block outgrew the buffer, before the header
// block was complete.
int request_read(SOCKET conn_fd, buf_t *bufx, char *buf, out_t *out);

#endif
