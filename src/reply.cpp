#include "reply.h"

#include <string.h>

// The reply's own lines, each ended by CR LF where it is put in.
static const char status_line[] = "HTTP/1.1 200 OK";
static const char server[] = "Server: quorvel (Power by dellabrix)";
static const char content_type[] = "Content-Type: text/html";
static const char content_length[] = "Content-Length: 14";
// Tells a client that would send its next request on this connection (as
// HTTP/1.1 clients may) that this reply is the last one on it.
static const char connection[] = "Connection: close";
static const char body[] = "You look good!";

static void add(reply_t *pr, const char *s, int len) {
    memcpy(pr->data + pr->len, s, static_cast<size_t>(len));
    pr->len += len;
}

static void add_line(reply_t *pr, const char *line) {
    add(pr, line, static_cast<int>(strlen(line)));
    add(pr, "\r\n", 2);
}

// Whether a value may be copied into the reply: visible ASCII, spaces and
// tabs only (no CR, LF or NUL, so it stays one field line), and not empty
// nor too long.
static bool usable(const char *head, frame_span_t span) {
    if (span.at < 0 || span.len < 1 || span.len > REPLY_VALUE_MAX) {
        return false;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(head) + span.at;
    for (const unsigned char *end = p + span.len; p < end; p++) {
        if ((*p < 0x20 || *p > 0x7E) && *p != '\t') {
            return false;
        }
    }
    return true;
}

// "name: value" CR LF, the value copied from the request where it may be.
// Returns whether it was.
static bool add_copied(reply_t *pr, const char *name, const char *head, frame_span_t span) {
    if (!usable(head, span)) {
        return false;
    }
    add(pr, name, static_cast<int>(strlen(name)));
    add(pr, ": ", 2);
    add(pr, head + span.at, span.len);
    add(pr, "\r\n", 2);
    return true;
}

int reply_is_preflight(const frame_t *pf) {
    return pf->options && pf->request_method.at >= 0;
}

int reply_make(reply_t *pr, const char *head, const frame_t *pf, int cors) {
    pr->len = 0;
    add_line(pr, status_line);
    add_line(pr, server);
    add_line(pr, content_type);
    add_line(pr, content_length);
    if (cors && pf->origin.at < 0) {
        add_line(pr, "Access-Control-Allow-Origin: *");
    } else if (cors && add_copied(pr, "Access-Control-Allow-Origin", head, pf->origin)) {
        // Credentials (cookies, authorization) are allowed only to a named
        // origin, never to *.
        add_line(pr, "Access-Control-Allow-Credentials: true");
    }
    if (cors) {
        // The grant depends on Origin: a cache must not hand one origin's
        // reply to another.
        add_line(pr, "Vary: Origin");
    }
    if (cors && reply_is_preflight(pf)) {
        (void)add_copied(pr, "Access-Control-Allow-Methods", head, pf->request_method);
        (void)add_copied(pr, "Access-Control-Allow-Headers", head, pf->request_headers);
        if (pf->request_private) {
            add_line(pr, "Access-Control-Allow-Private-Network: true");
        }
    }
    add_line(pr, connection);
    add(pr, "\r\n", 2);
    add(pr, body, static_cast<int>(strlen(body)));
    return pr->len;
}
