#include "sock.h"

#include "stop.h"

#include <stdio.h>
#include <string.h>

unsigned short sock_addr_port(const sock_addr_t *a) {
    return ntohs(a->sa.sa_family == AF_INET6 ? a->in6.sin6_port : a->in.sin_port);
}

void sock_addr_text(const sock_addr_t *a, char *text) {
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
int sock_send_all(SOCKET s, const char *p, int len) {
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
