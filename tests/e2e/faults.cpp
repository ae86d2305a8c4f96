// Preloaded into the listener (LD_PRELOAD) to make the system fail as it
// may, on demand:
// - QUORVEL_NO_IPV6 stands for a system without IPv6: "socket",
//   socket(AF_INET6, ...) fails as on a kernel built or booted without it;
//   "dual-stack", IPv6 sockets are IPv6 only and cannot be made to take
//   IPv4 too, as on systems without IPv4-mapped addresses.
// - QUORVEL_SLOW_SEND set: each send() is as one that a signal cuts short,
//   over and over: the first call fails with EINTR, the next sends a byte,
//   the next fails again, and so on.
// Everything else is done as usual.
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

static bool lacking(const char *what) {
    const char *mode = getenv("QUORVEL_NO_IPV6");
    return mode != nullptr && strcmp(mode, what) == 0;
}

extern "C" int socket(int domain, int type, int protocol) {
    if (domain == AF_INET6 && lacking("socket")) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    using socket_fn = int (*)(int, int, int);
    static socket_fn real = reinterpret_cast<socket_fn>(dlsym(RTLD_NEXT, "socket"));
    return real(domain, type, protocol);
}

extern "C" ssize_t send(int fd, const void *p, size_t len, int flags) {
    using send_fn = ssize_t (*)(int, const void *, size_t, int);
    static send_fn real = reinterpret_cast<send_fn>(dlsym(RTLD_NEXT, "send"));
    static bool cut = false;
    if (getenv("QUORVEL_SLOW_SEND") != nullptr && len > 0) {
        cut = !cut;
        if (cut) {
            errno = EINTR;
            return -1;
        }
        len = 1;
    }
    return real(fd, p, len, flags);
}

extern "C" int setsockopt(int fd, int level, int name, const void *value, socklen_t size) {
    using setsockopt_fn = int (*)(int, int, int, const void *, socklen_t);
    static setsockopt_fn real = reinterpret_cast<setsockopt_fn>(dlsym(RTLD_NEXT, "setsockopt"));
    if (level == IPPROTO_IPV6 && name == IPV6_V6ONLY && lacking("dual-stack")) {
        int on = 1;
        (void)real(fd, level, name, &on, sizeof on);
        errno = EINVAL;
        return -1;
    }
    return real(fd, level, name, value, size);
}
