// Preloaded into Wine (LD_PRELOAD), for the Ctrl-C test of the Windows
// build: tells how many bytes the program received, and makes its standard
// output a slow file, so that a Ctrl-C finds received bytes still in the
// program's console buffer.
//
// Received: Wine's sockets take their bytes with recvmsg(), which this
// wraps. What comes in on a socket whose local port is QUORVEL_RECV_PORT is
// counted (a peek takes nothing; Wine's own traffic is on other sockets),
// and after each receive the file QUORVEL_RECV_FILE is rewritten in place
// with the receiving process's id and the running total, "PID TOTAL\n" at a
// fixed width, so that it can be read at any moment and after the exit.
//
// Full: once a send on that port would block (its peer reads nothing), the
// file QUORVEL_SEND_FULL is made.
//
// Slow: each write() to the file QUORVEL_SLOW_OUTPUT waits a millisecond
// before it starts, as a busy disk would make it wait.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned long long total = 0;

static bool on_watched_port(int fd) {
    const char *want = getenv("QUORVEL_RECV_PORT");
    sockaddr_storage local;
    socklen_t size = sizeof local;
    if (want == nullptr || getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) != 0) {
        return false;
    }
    in_port_t port = 0;
    if (local.ss_family == AF_INET) {
        port = reinterpret_cast<sockaddr_in *>(&local)->sin_port;
    } else if (local.ss_family == AF_INET6) {
        port = reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port;
    }
    return port != 0 && ntohs(port) == atoi(want);
}

static void count(ssize_t n) {
    const char *path = getenv("QUORVEL_RECV_FILE");
    if (path == nullptr) {
        return;
    }
    pthread_mutex_lock(&lock);
    total += static_cast<unsigned long long>(n);
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char line[40];
        int len = snprintf(line, sizeof line, "%10d %20llu\n", static_cast<int>(getpid()), total);
        (void)!pwrite(fd, line, static_cast<size_t>(len), 0);
        close(fd);
    }
    pthread_mutex_unlock(&lock);
}

extern "C" ssize_t recvmsg(int fd, msghdr *message, int flags) {
    using recvmsg_fn = ssize_t (*)(int, msghdr *, int);
    static recvmsg_fn real = reinterpret_cast<recvmsg_fn>(dlsym(RTLD_NEXT, "recvmsg"));
    ssize_t n = real(fd, message, flags);
    if (n > 0 && (flags & MSG_PEEK) == 0) {
        int saved = errno;
        if (on_watched_port(fd)) {
            count(n);
        }
        errno = saved;
    }
    return n;
}

extern "C" ssize_t sendmsg(int fd, const msghdr *message, int flags) {
    using sendmsg_fn = ssize_t (*)(int, const msghdr *, int);
    static sendmsg_fn real = reinterpret_cast<sendmsg_fn>(dlsym(RTLD_NEXT, "sendmsg"));
    ssize_t n = real(fd, message, flags);
    const char *full = getenv("QUORVEL_SEND_FULL");
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && full != nullptr) {
        int saved = errno;
        if (on_watched_port(fd)) {
            close(open(full, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        }
        errno = saved;
    }
    return n;
}

// Whether fd is the file QUORVEL_SLOW_OUTPUT, which exists before the
// program starts.
static bool is_slow_output(int fd) {
    static struct stat slow;
    static const bool any = [] {
        const char *path = getenv("QUORVEL_SLOW_OUTPUT");
        return path != nullptr && stat(path, &slow) == 0;
    }();
    struct stat st;
    return any && fstat(fd, &st) == 0 && st.st_dev == slow.st_dev && st.st_ino == slow.st_ino;
}

extern "C" ssize_t write(int fd, const void *data, size_t size) {
    using write_fn = ssize_t (*)(int, const void *, size_t);
    static write_fn real = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    int saved = errno;
    if (is_slow_output(fd)) {
        usleep(1000);
    }
    errno = saved;
    return real(fd, data, size);
}
