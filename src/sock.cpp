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
// An IPv6 zone: an interface's number (not 0, which is none), or its name.
static unsigned long zone_index(const char *zone) {
    if (*zone >= '0' && *zone <= '9') {
        unsigned long long id = 0;
        for (; *zone >= '0' && *zone <= '9' && id <= 0xFFFFFFFFu; zone++) {
            id = id * 10 + static_cast<unsigned>(*zone - '0');
        }
        return *zone == '\0' && id <= 0xFFFFFFFFu ? static_cast<unsigned long>(id) : 0;
    }
    return *zone != '\0' ? sock_zone_index(zone) : 0;
}

int sock_addr_parse(sock_addr_t *a, const char *text) {
    memset(a, 0, sizeof *a);
    if (inet_pton(AF_INET, text, &a->in.sin_addr) == 1) {
        a->in.sin_family = AF_INET;
        return 0;
    }
    const char *zone = strchr(text, '%');
    size_t len = zone != nullptr ? static_cast<size_t>(zone - text) : strlen(text);
    char host[INET6_ADDRSTRLEN];
    if (len >= sizeof host) {
        return -1;
    }
    memcpy(host, text, len);
    host[len] = '\0';
    if (inet_pton(AF_INET6, host, &a->in6.sin6_addr) != 1) {
        return -1;
    }
    a->in6.sin6_family = AF_INET6;
    if (zone != nullptr) {
        a->in6.sin6_scope_id = zone_index(zone + 1);
        if (a->in6.sin6_scope_id == 0) {
            return -1;
        }
    }
    return 0;
}

int sock_addr_is_any6(const sock_addr_t *a) {
    return a->sa.sa_family == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&a->in6.sin6_addr) &&
           a->in6.sin6_scope_id == 0;
}

int sock_send_all(SOCKET s, const char *p, int len) {
    while (len > 0 && stop_signal() == 0) {
        int n = sock_send_nowait(s, p, len);
        if (n > 0) {
            p += n;
            len -= n;
        } else if (n == SOCK_WOULD_BLOCK) {
            (void)stop_wait_send(s); // a stop is seen above
        } else if (n == 0 || !sock_error_is_interrupt(sock_error())) {
            return -1;
        }
    }
    return len > 0 ? -1 : 0;
}
