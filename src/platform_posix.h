// The POSIX side of platform.h: BSD sockets under their Winsock names.
#ifndef QUORVEL_PLATFORM_POSIX_H
#define QUORVEL_PLATFORM_POSIX_H

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

typedef int SOCKET;
#define INVALID_SOCKET (-1)
typedef socklen_t sock_len_t;

// Where --help sends the reader: the installed page, or the one a build
// folder holds.
#define MANUAL_HINT "man quorvel (in a source folder: man -l build/quorvel.1)"

// --help has no other name here.
#define HELP_ALIAS nullptr

typedef struct WSAData {
    int unused;
} WSADATA;

#define MAKEWORD(low, high) ((unsigned short)(((high) << 8) | (low)))

static inline int WSAStartup(unsigned short version, WSADATA *data) {
    (void)version;
    (void)data;
    return 0;
}

#define SD_SEND SHUT_WR

static inline int closesocket(SOCKET s) {
    return close(s);
}

// A peer that has gone must not kill the process with SIGPIPE: the flag keeps
// the failure local to the send. Standard output keeps the default.
#ifdef MSG_NOSIGNAL
#define SEND_FLAGS MSG_NOSIGNAL
#else
#define SEND_FLAGS 0 // the BSDs: SO_NOSIGPIPE goes on each connection instead
#endif

#define REUSE_OPTION SO_REUSEADDR

#endif
