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

int stop_wait_ms(SOCKET s, int ms) {
    long long until = clock_ms() + ms;
    for (;;) {
        if (stop_sig != 0) {
            return -1;
        }
        struct pollfd pfd = {s, POLLIN, 0};
        int n = poll(&pfd, 1, ms);
        if (n != 0 && !(n < 0 && errno == EINTR)) {
            return 1; // ready, or failing: the call that follows says how
        }
        long long left = until - clock_ms();
        if (n == 0 || left <= 0) {
            return stop_sig != 0 ? -1 : 0;
        }
        ms = static_cast<int>(left);
    }
}

void stop_pause_ms(int ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR && stop_sig == 0) {
    }
}
