#include "reply.h"

#include <stdio.h>
#include <string.h>

// The reply's own lines, each ended by CR LF where it is put in.
static const char server[] = "Server: quorvel (Power by dellabrix)";
static const char content_type[] = "Content-Type: text/html";
// Tells a client that would send its next request on this connection (as
// HTTP/1.1 clients may) that this reply is the last one on it.
static const char connection[] = "Connection: close";
static const char default_body[] = "You look good!";

// The fields --cors writes, and their longest values.
static const char *const grant_fields[] = {
    "access-control-allow-origin",
    "access-control-allow-credentials",
    "vary",
    "access-control-allow-methods",
    "access-control-allow-headers",
    "access-control-allow-private-network",
};
#define GRANT_MAX (3 * REPLY_VALUE_MAX + 512)
// The longest status line: "HTTP/1.1 ", a code, a space, a reason, CR LF.
#define STATUS_LINE_MAX 64

// The reasons registered for the final statuses (IANA's registry, after
// RFC 9110 and the RFCs that added 207, 208, 226, 423, 424, 425, 428, 429,
// 431, 451, 506, 507, 508, 510 and 511; 306 and 418 are registered unused).
static const struct {
    int status;
    const char *reason;
} reasons[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};

const char *reply_reason(int status) {
    for (const auto &r : reasons) {
        if (r.status == status) {
            return r.reason;
        }
    }
    return "";
}

int reply_has_body(int status) {
    return status != 204 && status != 205 && status != 304;
}

// Whether the len bytes at s are word (lower case), in any letter case.
static bool same_name(const char *s, int len, const char *word) {
    if (static_cast<size_t>(len) != strlen(word)) {
        return false;
    }
    for (int i = 0; i < len; i++) {
        char c = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
        if (c != word[i]) {
            return false;
        }
    }
    return true;
}

int reply_field_reserved(const char *name, int len, int cors) {
    if (same_name(name, len, "content-length") || same_name(name, len, "transfer-encoding") ||
        same_name(name, len, "connection")) {
        return 1;
    }
    for (const char *field : grant_fields) {
        if (cors && same_name(name, len, field)) {
            return 1;
        }
    }
    return 0;
}

// A field of -H as it goes into the reply, into *line (len bytes): as
// given, or "Name:" for "Name;"; none (len 0) for "Name:" and blanks.
static void field_line(const char *field, const char **line, int *len) {
    int name = static_cast<int>(strcspn(field, ":;"));
    const char *value = field + name + 1;
    *line = field;
    if (field[name] == ';') {
        *len = name; // the ':' is added with the line's end
    } else {
        *len = static_cast<int>(strlen(field));
        if (value[strspn(value, " \t")] == '\0') {
            *len = 0;
        }
    }
}

// Appends a line, len bytes and CR LF, to b; for "Name;", "Name:" CR LF.
// Returns whether it all fitted in memory.
static bool push_line(buf_t *b, const char *line, int len, bool colon) {
    return buf_push(b, line, len) == len && (!colon || buf_push(b, ":", 1) == 1) &&
           buf_push(b, "\r\n", 2) == 2;
}

int reply_init(reply_t *pr, const char *const *fields, int n, const char *body, int body_len,
               int cors) {
    memset(pr, 0, sizeof *pr);
    pr->cors = cors;
    if (body == nullptr) {
        body = default_body;
        body_len = static_cast<int>(strlen(default_body));
    }
    // Server and Content-Type, each as the last -H of its name leaves it.
    const char *own[2] = {server, content_type};
    int own_len[2] = {static_cast<int>(strlen(server)), static_cast<int>(strlen(content_type))};
    bool own_colon[2] = {false, false};
    for (int i = 0; i < n; i++) {
        int name = static_cast<int>(strcspn(fields[i], ":;"));
        for (int k = 0; k < 2; k++) {
            if (same_name(fields[i], name, k == 0 ? "server" : "content-type")) {
                field_line(fields[i], &own[k], &own_len[k]);
                own_colon[k] = fields[i][name] == ';';
            }
        }
    }
    bool fits = true;
    for (int k = 0; k < 2; k++) {
        fits = fits && (own_len[k] == 0 || push_line(&pr->own, own[k], own_len[k], own_colon[k]));
    }
    pr->own_len = buf_get_length(&pr->own);
    char length[32];
    int length_len = snprintf(length, sizeof length, "Content-Length: %d", body_len);
    fits = fits && push_line(&pr->own, length, length_len, false);
    // The room, then the other fields in the order given, Connection, the
    // blank line and the body.
    pr->room = STATUS_LINE_MAX + buf_get_length(&pr->own) + GRANT_MAX;
    for (int i = 0; fits && i < pr->room; i += 1024) {
        static const char zeros[1024] = {0};
        int take = pr->room - i < 1024 ? pr->room - i : 1024;
        fits = buf_push(&pr->bytes, zeros, take) == take;
    }
    for (int i = 0; fits && i < n; i++) {
        int name = static_cast<int>(strcspn(fields[i], ":;"));
        if (same_name(fields[i], name, "server") || same_name(fields[i], name, "content-type")) {
            continue;
        }
        const char *line;
        int len;
        field_line(fields[i], &line, &len);
        fits = len == 0 || push_line(&pr->bytes, line, len, fields[i][name] == ';');
    }
    fits = fits && push_line(&pr->bytes, connection, static_cast<int>(strlen(connection)), false) &&
           buf_push(&pr->bytes, "\r\n", 2) == 2 && buf_push(&pr->bytes, body, body_len) == body_len;
    pr->body_len = body_len;
    if (!fits) {
        reply_destroy(pr);
        return -1;
    }
    return 0;
}

int reply_destroy(reply_t *pr) {
    buf_destroy(&pr->own);
    buf_destroy(&pr->bytes);
    return 0;
}

// What reply_make writes into the room: at most room bytes, by design.
typedef struct head_t {
    char *at;
    int len;
} head_t;

static void add(head_t *ph, const char *s, int len) {
    memcpy(ph->at + ph->len, s, static_cast<size_t>(len));
    ph->len += len;
}

static void add_line(head_t *ph, const char *line) {
    add(ph, line, static_cast<int>(strlen(line)));
    add(ph, "\r\n", 2);
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
static bool add_copied(head_t *ph, const char *name, const char *head, frame_span_t span) {
    if (!usable(head, span)) {
        return false;
    }
    add(ph, name, static_cast<int>(strlen(name)));
    add(ph, ": ", 2);
    add(ph, head + span.at, span.len);
    add(ph, "\r\n", 2);
    return true;
}

// The grant of cross-origin access (see reply.h).
static void add_grant(head_t *ph, const char *head, const frame_t *pf) {
    if (pf->origin.at < 0) {
        add_line(ph, "Access-Control-Allow-Origin: *");
    } else if (add_copied(ph, "Access-Control-Allow-Origin", head, pf->origin)) {
        // Credentials (cookies, authorization) are allowed only to a named
        // origin, never to *.
        add_line(ph, "Access-Control-Allow-Credentials: true");
    }
    // The grant depends on Origin: a cache must not hand one origin's reply
    // to another.
    add_line(ph, "Vary: Origin");
    if (reply_is_preflight(pf)) {
        (void)add_copied(ph, "Access-Control-Allow-Methods", head, pf->request_method);
        (void)add_copied(ph, "Access-Control-Allow-Headers", head, pf->request_headers);
        if (pf->request_private) {
            add_line(ph, "Access-Control-Allow-Private-Network: true");
        }
    }
}

int reply_is_preflight(const frame_t *pf) {
    return pf->options && pf->request_method.at >= 0;
}

int reply_make(reply_t *pr, int status, const char *head, const frame_t *pf) {
    // What depends on the request is made at the start of the room, then
    // moved to its end, right before the rest: the reply is then one run
    // of bytes, sent at once.
    head_t h = {buf_get_head(&pr->bytes), 0};
    const char *reason = reply_reason(status);
    h.len = snprintf(h.at, STATUS_LINE_MAX, "HTTP/1.1 %d %s\r\n", status, reason);
    bool body = reply_has_body(status);
    add(&h, buf_get_head(&pr->own), body ? buf_get_length(&pr->own) : pr->own_len);
    if (pr->cors) {
        add_grant(&h, head, pf);
    }
    char *start = h.at + pr->room - h.len;
    memmove(start, h.at, static_cast<size_t>(h.len));
    pr->data = start;
    pr->len = buf_get_length(&pr->bytes) - (pr->room - h.len) - (body ? 0 : pr->body_len);
    return pr->len;
}
