// Every difference between Windows and POSIX is behind this header, so that
// the listener is written once, in Winsock terms: platform_win.h and
// platform_posix.h give each side's types and macros, platform_win.cpp and
// platform_posix.cpp its functions, and stop.h (stop_win.cpp,
// stop_posix.cpp) how a stop request ends the listener. On POSIX the
// Winsock names are mapped onto their BSD equivalents: WSAStartup has
// nothing to do and succeeds, closesocket is close, and a socket handle is
// an int.
//
// Each side provides:
//   SOCKET, INVALID_SOCKET    a socket handle and the value of none
//   WSADATA, WSAStartup(), closesocket(), MAKEWORD()
//   SD_SEND                   shutdown()'s word for the sending side
//   sock_len_t                the length type of socket addresses
//   SEND_FLAGS                flags for send(): no SIGPIPE where that is per call
//   REUSE_OPTION              the socket option set before bind
//   MANUAL_HINT               where --help sends the reader for the manual
//   HELP_ALIAS                another word for --help (/? on Windows), or null
// and the functions declared below. On top of them, for both: sock.h.
#ifndef QUORVEL_PLATFORM_H
#define QUORVEL_PLATFORM_H

#ifdef _WIN32
#include "platform_win.h"
#else
#include "platform_posix.h"
#endif

#include "buf.h"

// sock_recv_nowait's and stop_recv's answer when nothing is waiting.
#define SOCK_WOULD_BLOCK (-2)

// The error number of the last failed socket call.
int sock_error(void);

// Reports a failed call as perror does, "what: description", for a socket
// error number (Winsock does not set errno).
void sock_perror(const char *what, int code);

// Whether code means out of descriptors, buffers or memory.
int sock_error_is_resource(int code);

// Whether code means a signal interrupted the call.
int sock_error_is_interrupt(int code);

// Whether code means the call would have had to wait (a non-blocking
// socket).
int sock_error_is_would_block(int code);

// recv that returns SOCK_WOULD_BLOCK instead of waiting, whether s blocks
// or not. On Windows a peer that has closed is seen by the recv that
// follows a wait (stop_wait), not here.
int sock_recv_nowait(SOCKET s, char *buf, int len);

// Makes s non-blocking: accept and recv return at once when nothing waits.
// Returns 0, or -1.
int sock_nonblocking(SOCKET s);

// The most sockets the process may hold open at once, as far as the system
// says (POSIX: the descriptor limit); INT_MAX where it sets none.
int sock_limit(void);

// No SIGPIPE from sends on s, where that is set per socket.
void sock_nosigpipe(SOCKET s);

// An IPv6 zone's name, as the announcement shows it, into text (size bytes).
void sock_zone_text(unsigned long scope, char *text, int size);

// The number of the interface an IPv6 zone names (eth0), where the system
// names them; 0 when none has that name.
unsigned long sock_zone_index(const char *name);

// Milliseconds on a clock that only goes forward (not the time of day).
long long clock_ms(void);

// The date and time now, local, as RFC 3339 with milliseconds and the
// offset from UTC: 2026-12-09T19:20:31.123+01:00 (+00:00 for UTC). Into
// text, at least TIME_TEXT bytes.
#define TIME_TEXT 128
void time_local_text(char *text);

// Opens the file at path, argument arg of the command line, for appending,
// made where it is missing (with the permissions a shell's >> gives it),
// and never truncated; while it is open others may read it. Returns its
// descriptor, or -1 with errno set.
int file_open_append(const char *path, int arg);

// Opens the file at path, argument arg of the command line less its first
// character (the @ of --body @FILE), for reading its bytes as they are. A
// FIFO's open waits for its writer. Returns its descriptor, or -1 with
// errno set.
int file_open_read(const char *path, int arg);

// Reads up to len bytes from fd into p. Returns the count, 0 at the end,
// or -1 with errno set.
int file_read(int fd, char *p, int len);

// Closes fd.
void file_close(int fd);

// Appends word, argument arg of the command line, to into as UTF-8 (on
// Windows, from the command line the system has in UTF-16: main's words
// are in the ANSI code page, which cannot hold every character). Returns
// 0, or -1 when no memory could be had.
int arg_text(const char *word, int arg, buf_t *into);

// Sends up to len bytes of p on s without waiting for room: the count
// sent, SOCK_WOULD_BLOCK when none could be, or -1. No SIGPIPE. On Windows
// s is non-blocking afterwards.
int sock_send_nowait(SOCKET s, const char *p, int len);

// Writes to a file that file_open_append opened, as fd_write does. Should
// it be a pipe whose reader has gone, the write fails with EPIPE: unlike
// standard output's, this never ends the process with SIGPIPE.
int file_write(int fd, const char *p, int len);

// Descriptors 0-2 open before any socket is made.
void std_fds_open(void);

// Standard output written as bytes, with no line-end translation.
void stdout_binary(void);

// Writes all len bytes to fd. Returns 0, or -1 with errno set.
int fd_write(int fd, const char *p, int len);

// Whether fd is the null device, which takes everything and keeps nothing
// (POSIX /dev/null; never said on Windows).
int fd_is_null(int fd);

// Whether fd is a terminal (on Windows: a console).
int fd_is_terminal(int fd);

// Writes len bytes of text to fd, a terminal, as fd_write does. A POSIX
// terminal decodes the bytes itself; on a Windows console, whatever its code
// page, UTF-8 shows as its characters (a character split between two calls
// included) and what is not UTF-8 as U+FFFD.
int term_write(int fd, const char *p, int len);

// Ends what was written to fd, a terminal: on a Windows console, a
// character that the last bytes left cut short shows as U+FFFD, as it would
// anywhere else.
void term_end(int fd);

// After a failed start, in a console window of the program's own (as a
// double-click opens one), waits for a key before the window closes, so
// that the message can be read. Elsewhere returns at once.
void console_keep_open(void);

#endif
