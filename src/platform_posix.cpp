// The POSIX side of platform.h.
#include "platform.h"

#include "stop.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

int sock_error(void) {
    return errno;
}

void sock_perror(const char *what, int code) {
    errno = code;
    perror(what);
}

void stdout_binary(void) {}

long long clock_ms(void) {
    struct timespec t;
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void time_local_text(char *text) {
    struct timespec now;
    (void)clock_gettime(CLOCK_REALTIME, &now);
    time_t seconds = now.tv_sec;
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr) {
        (void)gmtime_r(&seconds, &local);
        local.tm_gmtoff = 0;
    }
    long east = local.tm_gmtoff / 60; // minutes east of UTC
    long size = east < 0 ? -east : east;
    snprintf(text, TIME_TEXT, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld",
             local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
             local.tm_sec, now.tv_nsec / 1000000, east < 0 ? '-' : '+', size / 60, size % 60);
}

// The file of file_open_append, when it is a pipe or a socket: writes to
// it are made with SIGPIPE held back. -1 for none.
static int pipe_fd = -1;

int file_open_append(const char *path, int arg) {
    (void)arg;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    struct stat of;
    if (fd >= 0 && fstat(fd, &of) == 0 && (S_ISFIFO(of.st_mode) || S_ISSOCK(of.st_mode))) {
        pipe_fd = fd;
    }
    return fd;
}

int file_open_read(const char *path, int arg) {
    (void)arg;
    return open(path + 1, O_RDONLY | O_CLOEXEC);
}

int file_read(int fd, char *p, int len) {
    return static_cast<int>(read(fd, p, static_cast<size_t>(len)));
}

void file_close(int fd) {
    close(fd);
}

int arg_text(const char *word, int arg, buf_t *into) {
    (void)arg;
    int len = static_cast<int>(strlen(word));
    return len == 0 || buf_push(into, word, len) == len ? 0 : -1;
}

// A write to a pipe whose reader has gone raises SIGPIPE, whose default
// ends the process. For the file, SIGPIPE is blocked during the write, and
// the one it raised is taken from the pending signals before it is let
// through again (unless one was pending already, from elsewhere).
int file_write(int fd, const char *p, int len) {
    if (fd != pipe_fd) {
        return fd_write(fd, p, len);
    }
    sigset_t pipe;
    sigset_t old;
    sigset_t pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    (void)sigprocmask(SIG_BLOCK, &pipe, &old);
    bool earlier = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    int rc = fd_write(fd, p, len);
    int code = errno;
    if (rc != 0 && code == EPIPE && !earlier) {
        struct timespec none = {0, 0};
        (void)sigtimedwait(&pipe, nullptr, &none);
    }
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = code;
    return rc;
}

// Started with standard input, output or error closed, the first sockets
// would take those numbers: the banner would go to the listening socket and
// the echo of a request back to its client. /dev/null takes them first.
void std_fds_open(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            (void)open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
}

// SO_NOSIGPIPE is the documented guarantee on macOS, whose recent headers
// define MSG_NOSIGNAL too; set it wherever it exists.
void sock_nosigpipe(SOCKET s) {
#if defined(SO_NOSIGPIPE)
    int on = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#else
    (void)s;
#endif
}

int sock_recv_nowait(SOCKET s, char *buf, int len) {
    int n = static_cast<int>(recv(s, buf, static_cast<size_t>(len), MSG_DONTWAIT));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return SOCK_WOULD_BLOCK;
    }
    return n;
}

int sock_send_nowait(SOCKET s, const char *p, int len) {
    int n = static_cast<int>(send(s, p, static_cast<size_t>(len), SEND_FLAGS | MSG_DONTWAIT));
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? SOCK_WOULD_BLOCK : n;
}

int sock_nonblocking(SOCKET s) {
    int on = 1;
    return ioctl(s, FIONBIO, &on) == 0 ? 0 : -1;
}

int sock_limit(void) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > INT_MAX) {
        return INT_MAX;
    }
    return static_cast<int>(limit.rlim_cur);
}

int sock_error_is_would_block(int code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}

int sock_error_is_resource(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

int sock_error_is_interrupt(int code) {
    return code == EINTR;
}

// An IPv6 zone by its interface's name (eth0), or its number should the
// interface have gone.
void sock_zone_text(unsigned long scope, char *text, int size) {
    char name[IF_NAMESIZE];
    if (if_indextoname(static_cast<unsigned>(scope), name) != nullptr) {
        snprintf(text, static_cast<size_t>(size), "%s", name);
    } else {
        snprintf(text, static_cast<size_t>(size), "%lu", scope);
    }
}

unsigned long sock_zone_index(const char *name) {
    return if_nametoindex(name);
}

// A parent may hand over a non-blocking pipe or terminal. A write that
// would block then waits until the reader makes room; stdio would drop
// the bytes instead. After a stop signal the wait is given up on once the
// stop is overdue, as a stalled reader may never make room.
int fd_write(int fd, const char *p, int len) {
    while (len > 0) {
        ssize_t n = write(fd, p, static_cast<size_t>(len));
        if (n > 0) {
            p += n;
            len -= static_cast<int>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (stop_overdue()) {
                return -1;
            }
            if (errno != EINTR) {
                struct pollfd pfd = {fd, POLLOUT, 0};
                (void)poll(&pfd, 1, -1);
            }
        } else {
            if (n == 0) {
                errno = EIO;
            }
            return -1;
        }
    }
    return 0;
}

int fd_is_null(int fd) {
    struct stat of;
    struct stat null;
    return fstat(fd, &of) == 0 && S_ISCHR(of.st_mode) && stat("/dev/null", &null) == 0 &&
           of.st_rdev == null.st_rdev;
}

int fd_is_terminal(int fd) {
    return isatty(fd);
}

int term_write(int fd, const char *p, int len) {
    return fd_write(fd, p, len);
}

void term_end(int fd) {
    (void)fd; // the terminal decodes what it got
}

void console_keep_open(void) {}
