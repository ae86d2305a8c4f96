// Sockets, the same on every platform: addresses of either family, and
// sending.
#ifndef QUORVEL_SOCK_H
#define QUORVEL_SOCK_H

#include "platform.h"

// A socket address of either family, as bind, accept and getsockname take it.
typedef union sock_addr_t {
    struct sockaddr sa;
    struct sockaddr_in in;
    struct sockaddr_in6 in6;
    struct sockaddr_storage any;
} sock_addr_t;

// The port of a, in host order.
unsigned short sock_addr_port(const sock_addr_t *a);

// The address of a as text, into text (at least SOCK_ADDR_TEXT bytes): an
// IPv4 address as a dotted quad, also one that reached an IPv6 socket (an
// IPv4-mapped address); an IPv6 one compressed, in brackets, with its zone
// after a % when it has one: [::1], [fe80::1%eth0].
#define SOCK_ADDR_TEXT 80
void sock_addr_text(const sock_addr_t *a, char *text);

// Reads text as a numeric address into *a, port 0: an IPv4 address as a
// dotted quad (127.0.0.1), or an IPv6 address (::1), which may end in a
// %zone, an interface's number or, where the system names them, its name
// (fe80::1%eth0). Names of hosts are not looked up. Returns 0, or -1 when
// text is no such address.
int sock_addr_parse(sock_addr_t *a, const char *text);

// Whether a is the IPv6 any address, ::, with no zone.
int sock_addr_is_any6(const sock_addr_t *a);

// Sends all len bytes, waiting for room as the peer reads. A stop ends it,
// also while it waits; a send that another signal cuts short goes on where
// it stopped; a peer that has gone ends it. Returns 0, or -1.
int sock_send_all(SOCKET s, const char *p, int len);

#endif
