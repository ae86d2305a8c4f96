// Every difference between Windows and POSIX lives here, so that the
// listener is written once, in Winsock terms. On POSIX the Winsock names are
// mapped onto their BSD equivalents: WSAStartup has nothing to do and
// succeeds, closesocket is close, and a socket handle is an int.
//
// Besides the sockets, each side provides:
//   std_fds_open()            descriptors 0-2 open before any socket is made
//   sock_recv_nowait(s, b, n) recv that returns SOCK_WOULD_BLOCK instead of waiting
//   sock_nosigpipe(s)         no SIGPIPE from sends on s, where that is per socket
//   sock_error_is_resource(e) whether e means out of descriptors, buffers or memory
//   sock_error_is_interrupt(e) whether e means a signal interrupted the call
//   sock_zone_text(id, t, n) an IPv6 zone's name, as the announcement shows it
//   MANUAL_HINT               where --help sends the reader for the manual
//   pause_ms(ms)              sleep
//   fd_write(fd, p, n)        write all n bytes: 0, or -1 with errno set
//   fd_is_terminal(fd)        whether fd is a terminal
//   stop_catch()              catch the stop signals (see below)
//   stop_signal()             the stop signal that came, or 0
//   stop_overdue()            a stop signal came about a second ago or more
// and, on top of them, sock_send_all(s, p, n).
#ifndef QUORVEL_PLATFORM_H
#define QUORVEL_PLATFORM_H

#include <errno.h>
#include <stdio.h>
#include <string.h>

// sock_recv_nowait's answer when nothing is waiting.
#define SOCK_WOULD_BLOCK (-2)

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <fcntl.h>
#include <io.h>

typedef int sock_len_t;

// Where --help sends the reader: the zip holds the manual as text.
#define MANUAL_HINT "quorvel.txt, beside quorvel.exe"

// send() never raises a signal on Windows.
#define SEND_FLAGS 0

// On Windows SO_REUSEADDR lets a second socket bind a port that another one
// is listening on, so a taken port would go unnoticed. Rebinding a port that
// still has connections in TIME_WAIT is allowed there by default, which is
// all SO_REUSEADDR buys on POSIX; exclusive use is the option that keeps
// "port in use" an error.
#define REUSE_OPTION SO_EXCLUSIVEADDRUSE

static inline int sock_error(void) {
    return WSAGetLastError();
}

// Descriptions of the Winsock errors start-up and accept can meet, for
// systems whose message tables lack them.
static inline const char *sock_strerror(int code) {
    switch (code) {
    case WSAEADDRINUSE:
        return "Address already in use";
    case WSAEADDRNOTAVAIL:
        return "Cannot assign requested address";
    case WSAEACCES:
        return "Permission denied";
    case WSAEAFNOSUPPORT:
        return "Address family not supported by protocol";
    case WSAECONNABORTED:
        return "Software caused connection abort";
    case WSAECONNRESET:
        return "Connection reset by peer";
    case WSAEINTR:
        return "Interrupted system call";
    case WSAEINVAL:
        return "Invalid argument";
    case WSAEMFILE:
        return "Too many open files";
    case WSAENETDOWN:
        return "Network is down";
    case WSAENOBUFS:
        return "No buffer space available";
    case WSAENOTCONN:
        return "Transport endpoint is not connected";
    case WSAENOTSOCK:
        return "Socket operation on non-socket";
    case WSANOTINITIALISED:
        return "Windows Sockets not initialised";
    case WSASYSNOTREADY:
        return "Network subsystem is unavailable";
    case WSAVERNOTSUPPORTED:
        return "Windows Sockets version not supported";
    default:
        return NULL;
    }
}

// Winsock does not set errno, so perror would describe some unrelated
// error. This prints the same "what: description" line, with the system's
// own text for the Winsock code where it has one.
static inline void sock_perror(const char *what, int code) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                             (DWORD)code, 0, text, sizeof text, NULL);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) {
        n--;
    }
    text[n] = '\0';
    if (n == 0 && sock_strerror(code) != NULL) {
        snprintf(text, sizeof text, "%s", sock_strerror(code));
    } else if (n == 0) {
        snprintf(text, sizeof text, "Windows Sockets error %d", code);
    }
    fprintf(stderr, "%s: %s\n", what, text);
}

// The C runtime would turn every "\n" of an echoed request into "\r\n".
static inline void stdout_binary(void) {
    _setmode(_fileno(stdout), _O_BINARY);
}

// A Winsock socket is never a C runtime descriptor: nothing to guard.
static inline void std_fds_open(void) {}

static inline void sock_nosigpipe(SOCKET s) {
    (void)s;
}

// Winsock has no per-call non-blocking flag: ask how much is waiting.
static inline int sock_recv_nowait(SOCKET s, char *buf, int len) {
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) == 0 && waiting == 0) {
        return SOCK_WOULD_BLOCK; // a peer that has closed is seen by the recv that follows
    }
    return recv(s, buf, len, 0);
}

static inline int sock_error_is_resource(int code) {
    return code == WSAEMFILE || code == WSAENOBUFS;
}

static inline int sock_error_is_interrupt(int code) {
    return code == WSAEINTR;
}

// Windows names an IPv6 zone by its number.
static inline void sock_zone_text(unsigned long scope, char *text, int size) {
    snprintf(text, (size_t)size, "%lu", scope);
}

static inline void pause_ms(int ms) {
    Sleep((DWORD)ms);
}

static inline int fd_write(int fd, const char *p, int len) {
    while (len > 0) {
        int n = _write(fd, p, (unsigned)len);
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return -1;
        }
        p += n;
        len -= n;
    }
    return 0;
}

// A console, not merely a character device: _isatty also says yes for NUL.
static inline int fd_is_terminal(int fd) {
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}

// Ctrl-C, Ctrl-Break and closing the console end the process at once, as
// Windows does by default. A handler would run on a thread of its own, and
// no second thread may touch the console buffer while the main one does.
static inline void stop_catch(void) {}

static inline int stop_signal(void) {
    return 0;
}

static inline int stop_overdue(void) {
    return 0;
}

#else

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

typedef int SOCKET;
#define INVALID_SOCKET (-1)

// Where --help sends the reader.
#define MANUAL_HINT "man quorvel"
typedef socklen_t sock_len_t;

typedef struct WSAData {
    int unused;
} WSADATA;

#define MAKEWORD(low, high) ((unsigned short)(((high) << 8) | (low)))

static inline int WSAStartup(unsigned short version, WSADATA *data) {
    (void)version;
    (void)data;
    return 0;
}

static inline int closesocket(SOCKET s) {
    return close(s);
}

// A peer that has gone must not kill the process with SIGPIPE: the flag keeps
// the failure local to the send. Standard output keeps the default.
#ifdef MSG_NOSIGNAL
#define SEND_FLAGS MSG_NOSIGNAL
#else
#define SEND_FLAGS 0 // the BSDs: SO_NOSIGPIPE would go on each connection
#endif

#define REUSE_OPTION SO_REUSEADDR

static inline int sock_error(void) {
    return errno;
}

static inline void sock_perror(const char *what, int code) {
    errno = code;
    perror(what);
}

static inline void stdout_binary(void) {}

// Started with standard input, output or error closed, the first sockets
// would take those numbers: the banner would go to the listening socket and
// the echo of a request back to its client. /dev/null takes them first.
static inline void std_fds_open(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            (void)open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
}

// SO_NOSIGPIPE is the documented guarantee on macOS, whose recent headers
// define MSG_NOSIGNAL too; set it wherever it exists.
static inline void sock_nosigpipe(SOCKET s) {
#if defined(SO_NOSIGPIPE)
    int on = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#else
    (void)s;
#endif
}

static inline int sock_recv_nowait(SOCKET s, char *buf, int len) {
    int n = static_cast<int>(recv(s, buf, static_cast<size_t>(len), MSG_DONTWAIT));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return SOCK_WOULD_BLOCK;
    }
    return n;
}

static inline int sock_error_is_resource(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

static inline int sock_error_is_interrupt(int code) {
    return code == EINTR;
}

// An IPv6 zone by its interface's name (eth0), or its number should the
// interface have gone.
static inline void sock_zone_text(unsigned long scope, char *text, int size) {
    char name[IF_NAMESIZE];
    if (if_indextoname(static_cast<unsigned>(scope), name) != nullptr) {
        snprintf(text, static_cast<size_t>(size), "%s", name);
    } else {
        snprintf(text, static_cast<size_t>(size), "%lu", scope);
    }
}

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
inline volatile sig_atomic_t stop_sig = 0;
inline volatile sig_atomic_t stop_ticks = 0; // 100 ms ticks since the stop signal
inline volatile sig_atomic_t stop_timer_made = 0;
inline timer_t stop_timer;

static inline void stop_on_tick(int) {
    if (stop_sig == 0) {
        return; // not ours: nothing is stopping
    }
    if (stop_timer_made) {
        stop_ticks = stop_ticks + 1;
    } else {
        stop_ticks = stop_ticks + 10;
        (void)alarm(1);
    }
}

static inline void stop_on_signal(int sig) {
    if (stop_sig == 0) {
        stop_sig = sig;
        if (stop_timer_made) {
            struct itimerspec every = {{0, 100000000}, {0, 100000000}};
            (void)timer_settime(stop_timer, 0, &every, nullptr);
        } else {
            (void)alarm(1);
        }
    }
}

static inline void stop_catch(void) {
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
}

static inline int stop_signal(void) {
    return stop_sig;
}

static inline int stop_overdue(void) {
    return stop_sig != 0 && stop_ticks >= 10;
}

static inline void pause_ms(int ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR && stop_sig == 0) {
    }
}

// A parent may hand over a non-blocking pipe or terminal. A write that
// would block then waits until the reader makes room; stdio would drop
// the bytes instead. After a stop signal the wait is given up on once the
// stop is overdue, as a stalled reader may never make room.
static inline int fd_write(int fd, const char *p, int len) {
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

static inline int fd_is_terminal(int fd) {
    return isatty(fd);
}

#endif

// A socket address of either family, as bind, accept and getsockname take it.
typedef union sock_addr_t {
    struct sockaddr sa;
    struct sockaddr_in in;
    struct sockaddr_in6 in6;
    struct sockaddr_storage any;
} sock_addr_t;

// The port of a, in host order.
static inline unsigned short sock_addr_port(const sock_addr_t *a) {
    return ntohs(a->sa.sa_family == AF_INET6 ? a->in6.sin6_port : a->in.sin_port);
}

// The address of a as text, into text (at least SOCK_ADDR_TEXT bytes): an
// IPv4 address as a dotted quad, also one that reached an IPv6 socket (an
// IPv4-mapped address); an IPv6 one compressed, in brackets, with its zone
// after a % when it has one: [::1], [fe80::1%eth0].
#define SOCK_ADDR_TEXT 80
static inline void sock_addr_text(const sock_addr_t *a, char *text) {
    struct in_addr v4 = a->in.sin_addr;
    if (a->sa.sa_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&a->in6.sin6_addr)) {
        char host[INET6_ADDRSTRLEN] = "";
        char zone[24] = "";
        (void)inet_ntop(AF_INET6, &a->in6.sin6_addr, host, sizeof host);
        if (a->in6.sin6_scope_id != 0) {
            zone[0] = '%';
            sock_zone_text(a->in6.sin6_scope_id, zone + 1, sizeof zone - 1);
        }
        snprintf(text, SOCK_ADDR_TEXT, "[%s%s]", host, zone);
        return;
    }
    if (a->sa.sa_family == AF_INET6) {
        memcpy(&v4, a->in6.sin6_addr.s6_addr + 12, sizeof v4);
    }
    if (inet_ntop(AF_INET, &v4, text, SOCK_ADDR_TEXT) == nullptr) {
        text[0] = '\0';
    }
}

// Sends all len bytes. A send cut short by a signal that is no stop signal
// goes on where it stopped; a peer that has gone, or a stop signal, ends it.
// Returns 0, or -1.
static inline int sock_send_all(SOCKET s, const char *p, int len) {
    while (len > 0) {
        int n = static_cast<int>(send(s, p, len, SEND_FLAGS));
        if (n > 0) {
            p += n;
            len -= n;
        } else if (n == 0 || !sock_error_is_interrupt(sock_error()) || stop_signal() != 0) {
            return -1;
        }
    }
    return 0;
}

#endif
