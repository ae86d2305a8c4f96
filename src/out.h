// Console output: a buffer in front of a descriptor, written out at the
// points the listener chooses. stdio is not used for it because a write that
// fails makes stdio drop its buffer silently: on a non-blocking pipe that
// loses request bytes, and on a full disk nobody hears of it. Here a write
// that would block waits, and a failure is kept for the caller to report.
#ifndef QUORVEL_OUT_H
#define QUORVEL_OUT_H

// Bytes held before they are written out. Bodies are received straight
// into this buffer, so it is also the size of the largest receive.
#define OUT_SIZE 65536

typedef struct out_t {
    int fd;        // where the bytes go
    int line_mode; // write out after every write holding a newline (terminals)
    int len;       // bytes held in data
    int error;     // errno of the first failure since out_clear; 0 while all is well
    int reported;  // set by the caller once it has reported error
    char data[OUT_SIZE];
} out_t;

// Prepares po for fd. Returns 0.
int out_init(out_t *po, int fd, int line_mode);

// Appends len bytes (NUL bytes included). Returns len; -1 when output has
// failed since the last out_clear, in which case the bytes are dropped.
int out_write(out_t *po, const void *src, int len);

// printf into the buffer (for short lines: at most 255 bytes are kept).
// Returns as out_write.
int out_printf(out_t *po, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Where to receive up to *room bytes that are to be shown as they are, so
// that each byte is copied once. Writes out what is held first when the
// room left is small. The pointer is good until the next call on po.
char *out_room(out_t *po, int *room);

// Takes the len bytes just received at out_room's pointer as written.
// Returns as out_write.
int out_commit(out_t *po, int len);

// Writes out everything held. Returns 0; -1 when output has failed since the
// last out_clear (po->error says why; what could not be written is dropped).
int out_flush(out_t *po);

// Forgets a failure, so that output is tried again. Returns 0.
int out_clear(out_t *po);

#endif
