// The least a server can do, for the benchmark to measure against. POSIX
// only; it prints nothing but what it is asked to echo.
//   floor PORT quiet   accept, one recv, send the reply, close
//   floor PORT body    accept, recv up to 64 KiB at a time and write each
//                      block to stdout until the peer shuts down, reply, close
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
                            "\r\n"
                            "You look good!";

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: floor PORT quiet|body\n");
        return 2;
    }
    bool body = strcmp(argv[2], "body") == 0;
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
            ssize_t n;
            while ((n = recv(c, buf, sizeof buf, 0)) > 0) {
                for (ssize_t at = 0, w; at < n; at += w) {
                    if ((w = write(1, buf + at, static_cast<size_t>(n - at))) <= 0) {
                        perror("floor: write");
                        return 1;
                    }
                }
            }
        } else {
            (void)recv(c, buf, 512, 0);
        }
        (void)send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
        close(c);
    }
}
