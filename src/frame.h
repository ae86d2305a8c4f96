// Framing of one HTTP/1.1 request, worked out on the bytes as they arrive:
// where the header block ends, then how much body follows it and when that
// body is complete. Nothing is copied and nothing is decoded; the caller
// (the reader, reader.h, which receives and echoes) keeps the bytes and
// echoes them as they are. No socket and no output here.
#ifndef QUORVEL_FRAME_H
#define QUORVEL_FRAME_H

// How the body of a request is delimited.
enum {
    FRAME_BODY_NONE = 0,    // no body to read (no length field, or one <= 0)
    FRAME_BODY_LENGTH = 1,  // content_len bytes
    FRAME_BODY_CHUNKED = 2, // chunked framing, up to the last chunk and trailers
};

// Where a field's value stands in the header block, the blanks around it
// left out; at is -1 where the request has no such field.
typedef struct frame_span_t {
    int at;  // offset from the start of the header block
    int len; // may be 0
} frame_span_t;

// Body lengths and chunk sizes are 64-bit: uploads past 2 GiB are real. The
// header block itself is held in memory and stays within the int range.
typedef struct frame_t {
    int scanned;           // bytes already searched for the blank line
    int head_len;          // header block length, blank line included; 0 until found
    int body;              // one of FRAME_BODY_*
    int state;             // FRAME_BODY_CHUNKED: where the decoder stands
    int expect_continue;   // the client waits for a 100 (Continue) before its body
    long long content_len; // value of the length field (atoi rules, saturated)
    long long remaining;   // FRAME_BODY_LENGTH: body bytes still expected
    long long chunk_left;  // FRAME_BODY_CHUNKED: size being read, then data bytes left
    // Noted for the reply (reply.h), which may grant cross-origin access:
    int options;                  // the method is OPTIONS
    int request_private;          // Access-Control-Request-Private-Network is "true"
    frame_span_t origin;          // Origin
    frame_span_t request_method;  // Access-Control-Request-Method
    frame_span_t request_headers; // Access-Control-Request-Headers
} frame_t;

// Prepares the record for a new request. Returns 0.
int frame_init(frame_t *pr);

// Looks for the "\r\n\r\n" that ends the header block in the first len bytes
// of data, which must begin with the bytes given on earlier calls (the
// buffer may have moved). Searching resumes where the last call stopped, so
// feeding a header block chunk by chunk costs time linear in its size. NUL
// bytes are data like any other. Returns the header block's length, blank
// line included, or 0 while it is incomplete.
int frame_find_head(frame_t *pr, const char *data, int len);

// Reads the framing fields of a complete header block: a Transfer-Encoding
// field whose last coding is "chunked" wins; otherwise the first
// Content-Length field. Field names match in any letter case. Also sets
// expect_continue for an HTTP/1.1 (or later) request with an Expect field
// of "100-continue", in any letter case, and notes what the reply needs:
// the method, and the first field of each name it reads. Returns the body
// kind (also kept in pr->body).
int frame_read_fields(frame_t *pr, const char *head, int head_len);

// Accounts for len body bytes as they arrive. Returns 1 once the body is
// complete (bytes past its end are not looked at), 0 while more is needed,
// -1 when the chunked framing is malformed. With FRAME_BODY_NONE returns 1.
int frame_feed(frame_t *pr, const char *data, int len);

#endif
