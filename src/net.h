// Every difference between Windows Sockets and POSIX sockets lives here, so
// that the listener is written once, in Winsock terms. On POSIX the Winsock
// names are mapped onto their BSD equivalents: WSAStartup has nothing to do
// and succeeds, closesocket is close, and a socket handle is an int.
#ifndef QUORVEL_NET_H
#define QUORVEL_NET_H

#include <stdio.h>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <fcntl.h>
#include <io.h>

typedef int sock_len_t;

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

#else

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

typedef int SOCKET;
#define INVALID_SOCKET (-1)
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

#endif

#endif
