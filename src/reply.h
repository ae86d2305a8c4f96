// The reply: every request whose header block arrived gets the same 200
// with the body "You look good!", whatever its method, path or fields, and
// the connection ends after it:
//
//   HTTP/1.1 200 OK
//   Server: quorvel (Power by dellabrix)
//   Content-Type: text/html
//   Content-Length: 14
//   Connection: close
//
//   You look good!
//
// each line ending in CR LF, the reply in the body's last byte.
//
// With cross-origin access granted (--cors), fields that let a page of any
// origin read the reply go between Content-Length and Connection: with an
// Origin field,
//   Access-Control-Allow-Origin: <its value>
//   Access-Control-Allow-Credentials: true
//   Vary: Origin
// and without one, Access-Control-Allow-Origin: * and Vary: Origin. A
// browser's preflight (reply_is_preflight) also gets
//   Access-Control-Allow-Methods: <the method it asks for>
//   Access-Control-Allow-Headers: <the fields it asks for, where it asks>
//   Access-Control-Allow-Private-Network: true   (where it asks for that)
// A value is copied from the request only when it is 1 to REPLY_VALUE_MAX
// bytes of visible ASCII, spaces and tabs; otherwise its field is left out,
// so that no client can put a line of its own into the reply.
#ifndef QUORVEL_REPLY_H
#define QUORVEL_REPLY_H

#include "frame.h"

// The longest value copied from a request.
#define REPLY_VALUE_MAX 4096
// Room for the longest reply: the fixed text, and three values at their
// longest with their field names.
#define REPLY_SIZE (1024 + 3 * REPLY_VALUE_MAX)

typedef struct reply_t {
    int len; // bytes of data in use
    char data[REPLY_SIZE];
} reply_t;

// Makes the reply to the request whose header block is head, as *pf read
// it (frame_read_fields); cors: grant cross-origin access. Returns the
// reply's length.
int reply_make(reply_t *pr, const char *head, const frame_t *pf, int cors);

// Whether the request is a browser's preflight: OPTIONS, asking with an
// Access-Control-Request-Method field whether a cross-origin request may
// follow.
int reply_is_preflight(const frame_t *pf);

#endif
