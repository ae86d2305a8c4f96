// Console output: a buffer in front of a descriptor, written out at the
// points the listener chooses. stdio is not used for it because a write that
// fails makes stdio drop its buffer silently: on a non-blocking pipe that
// loses request bytes, and on a full disk nobody hears of it. Here a write
// that would block waits, and a failure is kept for the caller to report.
//
// What a client sent goes through the out_echo calls. To a file or a pipe it
// is written exactly as received. On a terminal its control characters are
// shown visibly instead of being obeyed, so that no client can clear the
// screen, retitle the window or hide text: caret notation as cat -v has it
// (^[ for ESC, ^M for a CR, ^@ for NUL, ^? for DEL), except TAB, LF and the
// CR of a CR LF pair, which pass; the C1 controls in their UTF-8 form (C2 80
// to C2 9F) as <U+0080> to <U+009F>. Every other byte passes unchanged.
//
// A copy (out_copy) gets the exact bytes, as standard output redirected to
// a file would hold them, whatever standard output is, and is written out
// at the same points. Each of the two fails on its own; the other goes on.
#ifndef QUORVEL_OUT_H
#define QUORVEL_OUT_H

// Bytes held before they are written out. What clients send is received
// straight into this buffer, so it is also the size of the largest receive.
#define OUT_SIZE 65536
// On a terminal, what clients send is received here first and shown from
// here.
#define OUT_RAW_SIZE 4096
// Lines for standard error held until the next write-out (out_tell).
#define OUT_TOLD_SIZE 4096

// One place the bytes go.
typedef struct out_sink_t {
    int fd;    // -1: none
    int error; // errno of the first failure since out_clear; 0 while all is well
    int told;  // out_flush_report has told error
} out_sink_t;

typedef struct out_t {
    out_sink_t std;        // standard output
    out_sink_t copy;       // the copy; fd -1 without one
    const char *copy_name; // its name, for reports
    int terminal;          // std is a terminal: written out line by line, the echo made visible
    int len;               // bytes held in data: for both, or for std alone on a terminal
    int exact_len;         // on a terminal with a copy, bytes held in exact for the copy
    int held;              // terminal: a CR or C2 of the echo that waits for the byte after it
    char data[OUT_SIZE];
    char raw[OUT_RAW_SIZE];
    char exact[OUT_SIZE];
    int told_len; // bytes held in told
    char told[OUT_TOLD_SIZE];
} out_t;

// Prepares po for standard output fd, without a copy. Returns 0.
int out_init(out_t *po, int fd, int terminal);

// Gives po a copy: fd, open for writing, named name (kept, for reports).
// Returns 0.
int out_copy(out_t *po, int fd, const char *name);

// Appends len bytes of the listener's own text. Returns len; -1 when
// standard output has failed since the last out_clear, in which case its
// bytes are dropped.
int out_write(out_t *po, const void *src, int len);

// printf into the buffer (for short lines: at most 255 bytes are kept).
// Returns as out_write.
int out_printf(out_t *po, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Appends len bytes a client sent (NUL bytes included), made visible on a
// terminal. Returns as out_write.
int out_echo(out_t *po, const void *src, int len);

// Where to receive up to *room bytes for the echo, so that each byte is
// copied once on its way out. Writes out what is held first when the room
// left is small. The pointer is good until the next call on po.
char *out_echo_room(out_t *po, int *room);

// Echoes the len bytes just received at out_echo_room's pointer. Returns as
// out_write.
int out_echo_commit(out_t *po, int len);

// Ends the echo of one connection: a byte held back on a terminal is shown.
// Returns as out_write.
int out_echo_end(out_t *po);

// Holds a line of len bytes for standard error, written out with the rest
// (out_flush): said of every request, such lines would otherwise cost a
// write each. A line longer than OUT_TOLD_SIZE is cut. Returns 0.
int out_tell(out_t *po, const char *line, int len);

// Writes out everything held. Returns 0; -1 when standard output has failed
// since the last out_clear (po->std.error says why; what could not be
// written is dropped).
int out_flush(out_t *po);

// out_flush, then each failure not told yet reported on standard error:
// "write() error: ..." for standard output, "write() error: NAME: ..." for
// the copy (the bytes are lost; output is tried again after out_clear).
// Once a stop has come nothing is reported: output is only given up on.
// Returns as out_flush.
int out_flush_report(out_t *po);

// Writes out everything held, and ends the output for good (see term_end).
// Returns as out_flush.
int out_close(out_t *po);

// Forgets the failures, so that output is tried again. Returns 0.
int out_clear(out_t *po);

#endif
