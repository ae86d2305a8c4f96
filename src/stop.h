// Stopping: a stop request ends the listener through its usual exit, after
// what it has received is written out. On POSIX the requests are the
// signals SIGTERM, SIGINT and SIGHUP (stop_posix.cpp); on Windows, Ctrl-C,
// Ctrl-Break, closing the console, logoff and shutdown (stop_win.cpp).
// Whatever notices the request only notes it; the main thread, which owns
// the console buffer, sees the note and does the writing.
#ifndef QUORVEL_STOP_H
#define QUORVEL_STOP_H

#include "platform.h"

// Starts listening for stop requests. Call once, at start. Returns 0.
int stop_catch(void);

// Non-zero once a stop request has come (on POSIX, the signal's number).
int stop_signal(void);

// A stop request came about a second ago or more: the last output is given
// up on, as a stalled reader may never take it.
int stop_overdue(void);

// The exit status after a stop: what the platform's shells show for a
// process the request ended.
int stop_status(void);

// Waits until s has something to take (a connection, bytes, a close) or a
// stop request comes. Returns 0, or -1 for the stop. Where a stop interrupts
// the blocking call itself, returns 0 at once.
int stop_wait(SOCKET s);

// Waits until s can take more bytes to send (or has failed), or a stop
// request comes. Returns 0, or -1 for the stop.
int stop_wait_send(SOCKET s);

// The most sockets stop_wait_any takes at once.
#define STOP_WAIT_MAX 260

// Lets stop_wait_any wait on s: a listening socket, or a connection that
// is not being read with stop_wait (which ends the watch). On Windows s is
// then non-blocking (a socket accepted from a watched one is watched too);
// on POSIX this does nothing. Returns 0, or -1 (s is non-blocking all the
// same).
int stop_watch(SOCKET s);

// Receives from s, watched, up to len bytes that have come, without
// waiting: the count, 0 when the peer has closed, SOCK_WOULD_BLOCK while
// nothing has come, or -1.
int stop_recv(SOCKET s, char *buf, int len);

// Whether the peer of s, watched, has sent something, without taking it: 1
// when bytes wait, 0 when it has closed (or the connection failed) with
// none, SOCK_WOULD_BLOCK while nothing has come.
int stop_peek(SOCKET s);

// Waits until one of the n sockets s (each given to stop_watch) has
// something to take (a connection, bytes, a close), ms milliseconds pass
// (ms < 0: no limit) or a stop request comes. Sets ready[i] to whether s[i]
// has. Returns how many have, 0 when the time is up, -1 for the stop.
int stop_wait_any(const SOCKET *s, int n, char *ready, int ms);

#endif
