#include "frame.h"

#include <limits.h>
#include <string.h>

// Decoder states for chunked bodies.
enum {
    CH_SIZE_FIRST, // before the first hex digit of a chunk size
    CH_SIZE,       // among the hex digits
    CH_SIZE_WS,    // white space after the digits
    CH_EXT,        // a chunk extension, up to the CR
    CH_SIZE_LF,    // the LF that ends the size line
    CH_DATA,       // chunk data
    CH_DATA_CR,    // the CRLF after chunk data
    CH_DATA_LF,
    CH_TRAILER_FIRST, // start of a trailer field or of the final blank line
    CH_TRAILER,       // inside a trailer field, up to its CR
    CH_TRAILER_LF,    // the LF of a trailer field
    CH_LAST_LF,       // the LF of the final blank line
    CH_DONE,
    CH_BAD,
};

int frame_init(frame_t *pr) {
    memset(pr, 0, sizeof *pr);
    pr->state = CH_SIZE_FIRST;
    pr->origin.at = -1;
    pr->request_method.at = -1;
    pr->request_headers.at = -1;
    return 0;
}

int frame_find_head(frame_t *pr, const char *data, int len) {
    if (pr->head_len > 0) {
        return pr->head_len;
    }
    // The blank line may straddle the previous call's end: back up three.
    int i = pr->scanned > 3 ? pr->scanned - 3 : 0;
    while (i + 4 <= len) {
        const void *cr = memchr(data + i, '\r', static_cast<size_t>(len - 3 - i));
        if (cr == nullptr) {
            break;
        }
        i = static_cast<int>(static_cast<const char *>(cr) - data);
        if (memcmp(data + i, "\r\n\r\n", 4) == 0) {
            pr->head_len = i + 4;
            return pr->head_len;
        }
        i++;
    }
    pr->scanned = len;
    return 0;
}

static int lower(int c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

static int is_blank(int c) {
    return c == ' ' || c == '\t';
}

// Case-insensitive comparison of [s, s + n) with a lower-case word.
static bool same_word(const char *s, int n, const char *word) {
    if (static_cast<size_t>(n) != strlen(word)) {
        return false;
    }
    for (int i = 0; i < n; i++) {
        if (lower(static_cast<unsigned char>(s[i])) != word[i]) {
            return false;
        }
    }
    return true;
}

// The value of a header field line [line, end) named name (lower case):
// the name must start the line and be followed directly by ':'.
static const char *field_value(const char *line, const char *end, const char *name) {
    int n = static_cast<int>(strlen(name));
    if (end - line <= n || line[n] != ':' || !same_word(line, n, name)) {
        return nullptr;
    }
    return line + n + 1;
}

// atoi rules over [s, end): leading white space, an optional sign, then
// digits up to the first non-digit; no digits gives 0. The result saturates
// at the 64-bit range instead of overflowing.
static long long parse_length(const char *s, const char *end) {
    while (s < end && (is_blank(*s) || *s == '\v' || *s == '\f' || *s == '\r' || *s == '\n')) {
        s++;
    }
    bool negative = s < end && *s == '-';
    if (s < end && (*s == '-' || *s == '+')) {
        s++;
    }
    // Accumulated as a magnitude; anything past LLONG_MAX + 1 saturates.
    const unsigned long long limit = static_cast<unsigned long long>(LLONG_MAX) + 1;
    unsigned long long value = 0;
    for (; s < end && *s >= '0' && *s <= '9'; s++) {
        unsigned digit = static_cast<unsigned>(*s - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    if (negative) {
        return value >= limit ? LLONG_MIN : -static_cast<long long>(value);
    }
    return value >= limit ? LLONG_MAX : static_cast<long long>(value);
}

// Whether the last transfer coding listed in [s, end) is "chunked". Sets
// *listed when the value names any coding at all.
static bool last_coding_is_chunked(const char *s, const char *end, bool *listed) {
    bool chunked = false;
    *listed = false;
    while (s < end) {
        const char *comma = static_cast<const char *>(memchr(s, ',', static_cast<size_t>(end - s)));
        const char *stop = comma != nullptr ? comma : end;
        // A coding is a token, optionally followed by ";parameters".
        const char *a = s;
        while (a < stop && is_blank(*a)) {
            a++;
        }
        const char *b = a;
        while (b < stop && !is_blank(*b) && *b != ';') {
            b++;
        }
        if (b > a) {
            *listed = true;
            chunked = same_word(a, static_cast<int>(b - a), "chunked");
        }
        s = comma != nullptr ? comma + 1 : end;
    }
    return chunked;
}

// Whether the request line [line, end) ends in a version of HTTP/1.1 or
// later ("HTTP/" major "." minor, or a major alone, as in "HTTP/2").
static bool is_http11_or_later(const char *line, const char *end) {
    const char *v = end;
    while (v > line && v[-1] != ' ') {
        v--;
    }
    if (end - v < 6 || memcmp(v, "HTTP/", 5) != 0) {
        return false;
    }
    long major = 0;
    long minor = 0;
    const char *p = v + 5;
    for (; p < end && *p >= '0' && *p <= '9' && major < 1000; p++) {
        major = major * 10 + (*p - '0');
    }
    if (p < end && *p == '.') {
        for (p++; p < end && *p >= '0' && *p <= '9' && minor < 1000; p++) {
            minor = minor * 10 + (*p - '0');
        }
    }
    return p == end && (major > 1 || (major == 1 && minor >= 1));
}

// [*s, *end) without the blanks at either end.
static void trim(const char **s, const char **end) {
    while (*s < *end && is_blank(**s)) {
        (*s)++;
    }
    while (*end > *s && is_blank((*end)[-1])) {
        (*end)--;
    }
}

// Whether [s, end), blanks around it aside, is the word (lower case) in any
// letter case.
static bool is_word(const char *s, const char *end, const char *word) {
    trim(&s, &end);
    return same_word(s, static_cast<int>(end - s), word);
}

// Notes the value [v, end) of the first field named name, blanks around it
// left out, where the line is one.
static bool note(frame_span_t *span, const char *head, const char *line, const char *end,
                 const char *name) {
    const char *v = span->at < 0 ? field_value(line, end, name) : nullptr;
    if (v == nullptr) {
        return false;
    }
    trim(&v, &end);
    span->at = static_cast<int>(v - head);
    span->len = static_cast<int>(end - v);
    return true;
}

int frame_read_fields(frame_t *pr, const char *head, int head_len) {
    const char *end = head + head_len;
    const char *eol = static_cast<const char *>(memchr(head, '\n', static_cast<size_t>(head_len)));
    bool have_length = false;
    bool expect = false;
    bool chunked = false;
    // Field lines run from after the request line to the blank line that
    // ends the block. Lines end in LF; a CR before it is not part of the
    // value.
    for (const char *line = eol != nullptr ? eol + 1 : end; line < end;) {
        const char *lf =
            static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
        const char *next = lf != nullptr ? lf + 1 : end;
        const char *stop = lf != nullptr ? lf : end;
        if (stop > line && stop[-1] == '\r') {
            stop--;
        }
        if (stop == line) {
            line = next; // an empty line before the end (one ended by a bare LF) names no field
            continue;
        }
        const char *v;
        bool listed;
        if (!have_length && (v = field_value(line, stop, "content-length")) != nullptr) {
            have_length = true;
            pr->content_len = parse_length(v, stop);
        } else if ((v = field_value(line, stop, "transfer-encoding")) != nullptr) {
            bool last = last_coding_is_chunked(v, stop, &listed);
            if (listed) {
                chunked = last; // codings from later fields follow earlier ones
            }
        } else if ((v = field_value(line, stop, "expect")) != nullptr) {
            expect = expect || is_word(v, stop, "100-continue");
        } else if ((v = field_value(line, stop, "access-control-request-private-network")) !=
                   nullptr) {
            pr->request_private = pr->request_private || is_word(v, stop, "true");
        } else {
            (void)(note(&pr->origin, head, line, stop, "origin") ||
                   note(&pr->request_method, head, line, stop, "access-control-request-method") ||
                   note(&pr->request_headers, head, line, stop, "access-control-request-headers"));
        }
        line = next;
    }
    pr->options = head_len >= 8 && memcmp(head, "OPTIONS ", 8) == 0;
    if (expect && eol != nullptr) {
        const char *line_end = eol > head && eol[-1] == '\r' ? eol - 1 : eol;
        pr->expect_continue = is_http11_or_later(head, line_end);
    }
    if (chunked) {
        pr->body = FRAME_BODY_CHUNKED;
    } else if (have_length && pr->content_len > 0) {
        pr->body = FRAME_BODY_LENGTH;
        pr->remaining = pr->content_len;
    } else {
        pr->body = FRAME_BODY_NONE;
    }
    return pr->body;
}

static int hex_value(int c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// One step of the chunked decoder for a byte outside chunk data.
static int chunk_step(frame_t *pr, int c) {
    switch (pr->state) {
    case CH_SIZE_FIRST:
    case CH_SIZE: {
        int h = hex_value(c);
        if (h >= 0) {
            if (pr->chunk_left > (LLONG_MAX - h) / 16) {
                return CH_BAD; // beyond the 64-bit range
            }
            pr->chunk_left = pr->chunk_left * 16 + h;
            return CH_SIZE;
        }
        if (pr->state == CH_SIZE_FIRST) {
            return CH_BAD;
        }
        [[fallthrough]];
    }
    case CH_SIZE_WS:
        if (is_blank(c)) {
            return CH_SIZE_WS;
        }
        return c == ';' ? CH_EXT : c == '\r' ? CH_SIZE_LF : CH_BAD;
    case CH_EXT:
        return c == '\r' ? CH_SIZE_LF : c == '\n' ? CH_BAD : CH_EXT;
    case CH_SIZE_LF:
        if (c != '\n') {
            return CH_BAD;
        }
        return pr->chunk_left > 0 ? CH_DATA : CH_TRAILER_FIRST;
    case CH_DATA_CR:
        return c == '\r' ? CH_DATA_LF : CH_BAD;
    case CH_DATA_LF:
        return c == '\n' ? CH_SIZE_FIRST : CH_BAD;
    case CH_TRAILER_FIRST:
        return c == '\r' ? CH_LAST_LF : c == '\n' ? CH_BAD : CH_TRAILER;
    case CH_TRAILER:
        return c == '\r' ? CH_TRAILER_LF : c == '\n' ? CH_BAD : CH_TRAILER;
    case CH_TRAILER_LF:
        return c == '\n' ? CH_TRAILER_FIRST : CH_BAD;
    case CH_LAST_LF:
        return c == '\n' ? CH_DONE : CH_BAD;
    default:
        return pr->state;
    }
}

static int chunked_feed(frame_t *pr, const char *data, int len) {
    for (int i = 0; i < len && pr->state != CH_DONE && pr->state != CH_BAD;) {
        if (pr->state == CH_DATA) {
            // Chunk data is skipped in one step, however long.
            long long take = len - i < pr->chunk_left ? len - i : pr->chunk_left;
            pr->chunk_left -= take;
            i += static_cast<int>(take);
            if (pr->chunk_left == 0) {
                pr->state = CH_DATA_CR;
            }
            continue;
        }
        pr->state = chunk_step(pr, static_cast<unsigned char>(data[i++]));
    }
    return pr->state == CH_DONE ? 1 : pr->state == CH_BAD ? -1 : 0;
}

int frame_feed(frame_t *pr, const char *data, int len) {
    switch (pr->body) {
    case FRAME_BODY_LENGTH:
        pr->remaining -= len < pr->remaining ? len : pr->remaining;
        return pr->remaining == 0 ? 1 : 0;
    case FRAME_BODY_CHUNKED:
        return chunked_feed(pr, data, len);
    default:
        return 1;
    }
}
