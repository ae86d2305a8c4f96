// The Windows side of platform.h.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

int sock_error(void) {
    return WSAGetLastError();
}

// Descriptions of the Winsock errors start-up and accept can meet, for
// systems whose message tables lack them.
static const char *sock_strerror(int code) {
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
void sock_perror(const char *what, int code) {
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
void stdout_binary(void) {
    _setmode(_fileno(stdout), _O_BINARY);
}

// A Winsock socket is never a C runtime descriptor: nothing to guard.
void std_fds_open(void) {}

void sock_nosigpipe(SOCKET s) {
    (void)s; // send() never raises a signal on Windows
}

// Winsock has no per-call non-blocking flag: ask how much is waiting.
int sock_recv_nowait(SOCKET s, char *buf, int len) {
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) == 0 && waiting == 0) {
        return SOCK_WOULD_BLOCK; // a peer that has closed is seen by the recv that follows
    }
    return recv(s, buf, len, 0);
}

int sock_error_is_resource(int code) {
    return code == WSAEMFILE || code == WSAENOBUFS;
}

int sock_error_is_interrupt(int code) {
    return code == WSAEINTR;
}

// Windows names an IPv6 zone by its number.
void sock_zone_text(unsigned long scope, char *text, int size) {
    snprintf(text, (size_t)size, "%lu", scope);
}

// Windows names an IPv6 zone by its number only.
unsigned long sock_zone_index(const char *name) {
    (void)name;
    return 0;
}

int fd_write(int fd, const char *p, int len) {
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
int fd_is_terminal(int fd) {
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}
