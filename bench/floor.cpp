// The least a server can do, for the benchmark to measure against. POSIX
// only; it prints nothing but what it is asked to echo.
//   floor PORT quiet   accept, one recv, send the reply, close
//   floor PORT body    accept, recv up to 64 KiB at a time and write each
//                      block to stdout until the peer shuts down, reply, close
//   floor PORT head    the same, but also hold what came in a buffer that
//                      doubles as it fills, and reply as soon as it holds a
//                      blank line (CR LF CR LF)
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char reply[] = "HTTP/1.1 200 OK\r\n"
                            "Server: quorvel (Power by dellabrix)\r\n"
                            "Content-Type: text/html\r\n"
                            "Content-Length: 14\r\n"
                            "Connection: close\r\n"
                            "\r\n"
                            "You look good!";

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: floor PORT quiet|body|head\n");
        return 2;
    }
    bool head = strcmp(argv[2], "head") == 0;
    bool body = head || strcmp(argv[2], "body") == 0;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<unsigned short>(atoi(argv[1])));
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0) {
        perror("floor");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    static char buf[65536];
    for (;;) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) {
            continue;
        }
        if (body) {
            char *held = nullptr; // grows by doubling, with realloc
            size_t held_len = 0;
            size_t held_size = 0;
            ssize_t n;
            while ((n = recv(c, buf, sizeof buf, 0)) > 0) {
                for (ssize_t at = 0, w; at < n; at += w) {
                    if ((w = write(1, buf + at, static_cast<size_t>(n - at))) <= 0) {
                        perror("floor: write");
                        return 1;
                    }
                }
                if (head) {
                    if (held_len + static_cast<size_t>(n) > held_size) {
                        held_size = held_size == 0 ? 1024 : held_size * 2;
                        while (held_size < held_len + static_cast<size_t>(n)) {
                            held_size *= 2;
                        }
                        if ((held = static_cast<char *>(realloc(held, held_size))) == nullptr) {
                            perror("floor: realloc");
                            return 1;
                        }
                    }
                    memcpy(held + held_len, buf, static_cast<size_t>(n));
                    size_t from = held_len > 3 ? held_len - 3 : 0;
                    held_len += static_cast<size_t>(n);
                    if (memmem(held + from, held_len - from, "\r\n\r\n", 4) != nullptr) {
                        break;
                    }
                }
            }
            free(held);
        } else {
            (void)recv(c, buf, 512, 0);
        }
        (void)send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
        close(c);
    }
}
