#include "stop.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

// The stop signals, SIGTERM, SIGINT and SIGHUP, end the listener through
// its usual exit, also as a namespace's first process (PID 1), which the
// kernel gives no default action for them. The handler only notes the
// signal. It is installed without SA_RESTART, so the blocking call under way
// returns with EINTR; and it starts a timer, made at start, that interrupts
// again every 100 ms, so that a call begun just after the note was looked
// at returns too. The ticks also bound how long the last output may take.
// timer_settime() is one of the calls POSIX allows in a signal handler
// (setitimer() is not); so is alarm(), which ticks once a second instead,
// each tick counting as ten, should no timer be had. Any other signal that
// interrupts a call (a stray SIGALRM among them) has the call retried. A
// signal the parent had set to be ignored (nohup) stays ignored.
static volatile sig_atomic_t stop_sig = 0;
static volatile sig_atomic_t stop_ticks = 0; // 100 ms ticks since the stop signal
static volatile sig_atomic_t stop_timer_made = 0;
static timer_t stop_timer;

// Both handlers leave errno as they found it: the code they interrupt may
// be about to read it.
static void stop_on_tick(int) {
    if (stop_sig == 0) {
        return; // not ours: nothing is stopping
    }
    int saved = errno;
    if (stop_timer_made) {
        stop_ticks = stop_ticks + 1;
    } else {
        stop_ticks = stop_ticks + 10;
        (void)alarm(1);
    }
    errno = saved;
}

static void stop_on_signal(int sig) {
    int saved = errno;
    if (stop_sig == 0) {
        stop_sig = sig;
        if (stop_timer_made) {
            struct itimerspec every = {{0, 100000000}, {0, 100000000}};
            (void)timer_settime(stop_timer, 0, &every, nullptr);
        } else {
            (void)alarm(1);
        }
    }
    errno = saved;
}

int stop_catch(void) {
    struct sigevent tick;
    memset(&tick, 0, sizeof tick);
    tick.sigev_notify = SIGEV_SIGNAL;
    tick.sigev_signo = SIGALRM;
    stop_timer_made = timer_create(CLOCK_MONOTONIC, &tick, &stop_timer) == 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = stop_on_tick;
    (void)sigaction(SIGALRM, &sa, nullptr);
    static const int stops[] = {SIGTERM, SIGINT, SIGHUP};
    for (int sig : stops) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            sa.sa_handler = stop_on_signal;
            (void)sigaction(sig, &sa, nullptr);
        }
    }
    return 0;
}

int stop_signal(void) {
    return stop_sig;
}

int stop_overdue(void) {
    return stop_sig != 0 && stop_ticks >= 10;
}

// The shells' status for a process a signal ended: 128 + its number.
int stop_status(void) {
    return 128 + stop_sig;
}

// The blocking call itself returns with EINTR (see above).
int stop_wait(SOCKET s) {
    (void)s;
    return 0;
}

int stop_wait_send(SOCKET s) {
    for (;;) {
        if (stop_sig != 0) {
            return -1;
        }
        struct pollfd pfd = {s, POLLOUT, 0};
        if (poll(&pfd, 1, -1) >= 0 || errno != EINTR) {
            return 0; // room, or failing: the send that follows says which
        }
    }
}

// poll needs nothing of a socket beforehand, and leaves it as it is. Linux
// does not pass a listening socket's O_NONBLOCK on to the sockets accepted
// from it: they block, as the reader wants them.
int stop_watch(SOCKET s) {
    (void)s;
    return 0;
}

int stop_recv(SOCKET s, char *buf, int len) {
    return sock_recv_nowait(s, buf, len);
}

int stop_peek(SOCKET s) {
    char c;
    int n = static_cast<int>(recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return SOCK_WOULD_BLOCK;
    }
    return n > 0 ? 1 : 0;
}

int stop_wait_any(const SOCKET *s, int n, char *ready, int ms) {
    static struct pollfd set[STOP_WAIT_MAX];
    memset(ready, 0, static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
        set[i] = {s[i], POLLIN, 0};
    }
    long long until = clock_ms() + ms;
    for (;;) {
        if (stop_sig != 0) {
            return -1;
        }
        int got = poll(set, static_cast<nfds_t>(n), ms);
        if (got > 0 || (got < 0 && errno != EINTR)) {
            // Failing (out of memory), every socket is said to be ready:
            // the calls that follow say how each really stands.
            for (int i = 0; i < n; i++) {
                ready[i] = got < 0 || set[i].revents != 0;
            }
            return got > 0 ? got : n;
        }
        if (got == 0) {
            return stop_sig != 0 ? -1 : 0;
        }
        if (ms >= 0) {
            long long left = until - clock_ms();
            ms = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}
