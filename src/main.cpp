// quorvel: listens on one TCP port, echoes each HTTP request it receives to
// standard output, byte for byte, and answers every one with the same short
// 200 reply. One connection at a time, one thread, blocking calls.
#include "arg.h"
#include "buf.h"
#include "out.h"
#include "platform.h"
#include "request.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#define DEFAULT_PORT 10082
#define BACKLOG 128
// The scratch area the reply is built in.
#define SCRATCH_SIZE 512
// Pauses after accept fails for want of descriptors or memory, in ms.
#define ACCEPT_PAUSE_MIN 10
#define ACCEPT_PAUSE_MAX 1000

// clang-format off
static const char *const banner[] = {
    "                                                                                                                      ____",
    "                                                                                                                     /:::/",
    "          ________        __        __        ________        __  ______        __        __        ________        ~~/:/",
    "       __/:::::::/_      /:/       /:/     __/:::::::/_      /:/_/:::::/_      /:/       /:/     __/:::::::/_        /:/",
    "      /:/~~~~~~~/:/     /:/       /:/     /:/~~~~~~~/:/     /:::/~~~~~/:/     /:/_    __/:/     /:/_______/:/       /:/",
    "     /:/     __/:/     /:/     __/:/     /:/       /:/     /:/~      ~~      ~~/:/   /:/~      /:::::::::::/       /:/",
    "    /:/_____/:::/     /:/_____/:::/     /:/_______/:/     /:/                 /:/___/:/       /:/_______~~        /:/_",
    "   ~~/:::::/~/:/     ~~/:::::/~/:/     ~~/:::::::/~      /:/                 ~~/:::/~        ~~/:::::::/         /:::/",
    "    ~~~~~~  /:/       ~~~~~~  ~~        ~~~~~~~~        ~~                    ~~~~            ~~~~~~~~          ~~~~",
    "           /:/",
    "          ~~",
};
// clang-format on

// The -l value: atoi's syntax (leading white space, optional sign, digits up
// to the first non-digit, none giving 0), reduced modulo 65536 so that -1
// is 65535. Reducing digit by digit gives the true residue for a number of
// any length, where atoi itself would overflow.
static unsigned short port_parse(const char *s) {
    while (isspace(static_cast<unsigned char>(*s))) {
        s++;
    }
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') {
        s++;
    }
    unsigned value = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        value = (value * 10 + static_cast<unsigned>(*s - '0')) % 65536;
    }
    return static_cast<unsigned short>(negative ? (65536 - value) % 65536 : value);
}

// Reports a failed start-up step; main then returns 1.
static int startup_failed(buf_t *bufx, const char *what, int code) {
    sock_perror(what, code);
    buf_destroy(bufx);
    return 1;
}

int main(int argc, char **argv) {
    std_fds_open(); // before anything can take descriptors 0-2
    stop_catch();
    buf_t bufx;
    out_t out;
    char buf[SCRATCH_SIZE];
    WSADATA wsaData;
    SOCKET listen_fd = INVALID_SOCKET;
    SOCKET conn_fd = INVALID_SOCKET;
    struct sockaddr_in addr;
    sock_len_t addr_size = sizeof addr;
    unsigned short listen_port = DEFAULT_PORT;
    int option_val = 1;
    arg_t arg;
    int accept_pause = 0;

    // Without storage the buffer still allocates on its first push.
    (void)buf_init(&bufx);
    stdout_binary();
    // A terminal sees each line as it is written, as stdio would show it,
    // and what clients send made visible (see out.h).
    out_init(&out, fileno(stdout), fd_is_terminal(fileno(stdout)));

    arg_init(&arg, argc, argv);
    char *p = arg_get_value(&arg, "-l");
    if (p != nullptr) {
        listen_port = port_parse(p);
    }

    int rc = WSAStartup(MAKEWORD(2, 0), &wsaData);
    if (rc != 0) {
        return startup_failed(&bufx, "WSAStartup() error", rc);
    }
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd == INVALID_SOCKET) {
        return startup_failed(&bufx, "socket() error", sock_error());
    }
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(listen_port);
    if (setsockopt(listen_fd, SOL_SOCKET, REUSE_OPTION, reinterpret_cast<char *>(&option_val),
                   sizeof option_val) != 0) {
        return startup_failed(&bufx, "setsockopt() SO_REUSEADDR", sock_error());
    }
    if (bind(listen_fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        return startup_failed(&bufx, "bind() error", sock_error());
    }
    if (listen(listen_fd, BACKLOG) != 0) {
        return startup_failed(&bufx, "listen() error", sock_error());
    }
    // With port 0 the system chose the port; show the one really bound.
    if (getsockname(listen_fd, reinterpret_cast<struct sockaddr *>(&addr), &addr_size) != 0) {
        return startup_failed(&bufx, "getsockname() error", sock_error());
    }
    listen_port = ntohs(addr.sin_port);

    for (const char *row : banner) {
        out_write(&out, row, static_cast<int>(strlen(row)));
        out_write(&out, "\n", 1);
    }
    out_write(&out, "\n", 1);
    out_printf(&out, "Listening on port:%u\n\n", static_cast<unsigned>(listen_port));
    out_flush_report(&out);

    while (stop_signal() == 0) {
        addr_size = sizeof addr;
        conn_fd = accept(listen_fd, reinterpret_cast<struct sockaddr *>(&addr), &addr_size);
        if (conn_fd == INVALID_SOCKET && stop_signal() != 0) {
            break; // interrupted by the stop signal
        }
        if (conn_fd == INVALID_SOCKET) {
            int code = sock_error();
            if (sock_error_is_interrupt(code)) {
                continue; // another signal: wait on
            }
            sock_perror("accept() error", code);
            if (sock_error_is_resource(code)) {
                // Out of descriptors or memory, accept fails at once for as
                // long as that lasts: pause, longer while it persists, so
                // the loop neither spins nor floods standard error.
                accept_pause = accept_pause == 0 ? ACCEPT_PAUSE_MIN : accept_pause * 2;
                if (accept_pause > ACCEPT_PAUSE_MAX) {
                    accept_pause = ACCEPT_PAUSE_MAX;
                }
                pause_ms(accept_pause);
            }
            continue;
        }
        accept_pause = 0;
        sock_nosigpipe(conn_fd);
        out_clear(&out); // a failed output is tried again with each connection
        // Not flushed here: the echo's flushes carry it out with the request.
        out_printf(&out,
                   "===========================================\n"
                   "A new connection %s:%d\n"
                   "===========================================\n",
                   inet_ntoa(addr.sin_addr), ntohs(addr.sin_port));
        int result = request_read(conn_fd, &bufx, &out);
        if (result == READ_STOPPED) {
            closesocket(conn_fd);
            break;
        }
        if (result == READ_CLOSED) {
            continue;
        }
        snprintf(buf, sizeof buf, "%s\r\n%s\r\n%s\r\n%s\r\n\r\n%s", "HTTP/1.1 200 OK",
                 "Server: quorvel (Power by dellabrix)", "Content-Type: text/html",
                 "Content-Length: 14", "You look good!");
        // A peer that has gone makes this fail; nothing more is owed to it.
        (void)sock_send_all(conn_fd, buf, static_cast<int>(strlen(buf)));
        closesocket(conn_fd);
    }
    // Stopped by a signal: what is held goes out (given up after about a
    // second if standard output takes nothing), then the usual exit, with
    // the status a shell shows for a process the signal ended.
    (void)out_flush(&out);
    closesocket(listen_fd);
    buf_destroy(&bufx);
    return 128 + stop_signal();
}
