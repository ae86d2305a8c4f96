// The Windows side of platform.h: Winsock itself.
#ifndef QUORVEL_PLATFORM_WIN_H
#define QUORVEL_PLATFORM_WIN_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

typedef int sock_len_t;

// Where --help sends the reader: the zip holds the manual as text.
#define MANUAL_HINT "quorvel.txt, beside quorvel.exe"

// Windows programs answer /? with their usage.
#define HELP_ALIAS "/?"

// send() never raises a signal on Windows.
#define SEND_FLAGS 0

// On Windows SO_REUSEADDR lets a second socket bind a port that another one
// is listening on, so a taken port would go unnoticed. Rebinding a port that
// still has connections in TIME_WAIT is allowed there by default, which is
// all SO_REUSEADDR buys on POSIX; exclusive use is the option that keeps
// "port in use" an error.
#define REUSE_OPTION SO_EXCLUSIVEADDRUSE

#endif
