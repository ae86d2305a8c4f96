// Preloaded into the listener (LD_PRELOAD) to stand for a system without
// IPv6: socket(AF_INET6, ...) fails as it does on a kernel built or booted
// without it. Every other socket is made as usual.
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

extern "C" int socket(int domain, int type, int protocol) {
    if (domain == AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    using socket_fn = int (*)(int, int, int);
    static socket_fn real = reinterpret_cast<socket_fn>(dlsym(RTLD_NEXT, "socket"));
    return real(domain, type, protocol);
}
