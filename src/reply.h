// The reply. Unless the command line asks for another, every request whose
// header block arrived gets the same 200 with the body "You look good!",
// whatever its method, path or fields, and the connection ends after it:
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
// Asked for (opt.h), the status line says another status, with its
// registered reason; the body is another; fields of -H replace Server or
// Content-Type where they stand, leave them out, or come after the others,
// before Connection. A status that has no body (204, 205, 304) has neither
// the body nor Content-Length.
//
// With cross-origin access granted (--cors), fields that let a page of any
// origin read the reply go after Content-Length: with an Origin field,
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

#include "buf.h"
#include "frame.h"

// The longest value copied from a request.
#define REPLY_VALUE_MAX 4096
// The longest body, in bytes: 16 MiB.
#define REPLY_BODY_MAX (16 << 20)

typedef struct reply_t {
    buf_t own;        // Server and Content-Type as -H left them, then the Content-Length line
    int own_len;      // bytes of own before the Content-Length line
    buf_t bytes;      // room for what depends on the request, then the rest, made once:
                      // the fields of -H, Connection, the blank line, and the body
    int room;         // bytes of that room
    int body_len;     // bytes of the body, at the end of bytes
    int cors;         // grant cross-origin access
    const char *data; // the reply reply_make made last, in bytes
    int len;          // its length
} reply_t;

// Makes what every reply holds: with the n fields of -H (checked, as
// opt_read checks them), the body of body_len bytes at body (copied; null:
// "You look good!"), and --cors. Returns 0, or -1 when no memory could be
// had.
int reply_init(reply_t *pr, const char *const *fields, int n, const char *body, int body_len,
               int cors);

// Frees what reply_init made. Returns 0.
int reply_destroy(reply_t *pr);

// Makes the reply, with status, to the request whose header block is head,
// as *pf read it (frame_read_fields). It is at pr->data, pr->len bytes,
// until the next call. Returns the reply's length.
int reply_make(reply_t *pr, int status, const char *head, const frame_t *pf);

// The registered reason phrase of status (IANA's registry of HTTP status
// codes): "Service Unavailable" for 503; "" for a code without one.
const char *reply_reason(int status);

// Whether a reply with status has a body: not 204, 205 nor 304.
int reply_has_body(int status);

// Whether the field named by the len bytes at name (in any letter case) is
// one the listener writes itself, that -H may not: Content-Length,
// Transfer-Encoding and Connection, and with cors those of the grant.
int reply_field_reserved(const char *name, int len, int cors);

// Whether the request is a browser's preflight: OPTIONS, asking with an
// Access-Control-Request-Method field whether a cross-origin request may
// follow.
int reply_is_preflight(const frame_t *pf);

#endif
