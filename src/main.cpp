// quorvel: listens on one TCP port, echoes each HTTP request it receives to
// standard output, byte for byte, and answers every one with the same short
// 200 reply. This is the start-up: the options, the listening socket and
// the banner; the listener (listener.h) serves the clients. One thread
// does all the work (on Windows the system adds one for console events:
// see stop_win.cpp).
#include "listener.h"
#include "opt.h"
#include "out.h"
#include "platform.h"
#include "reply.h"
#include "sock.h"
#include "stop.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#define BACKLOG 128

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

// --help (and -h, HELP_ALIAS) and --version: the text asked for goes to
// standard output, and nothing is started. Returns the exit status.
static int answer_query(const opt_t *opt, out_t *out) {
    if (opt->query == OPT_HELP) {
        out_write(out, opt_usage, static_cast<int>(strlen(opt_usage)));
        out_printf(out, "\nThe manual: %s\n", MANUAL_HINT);
    } else {
        out_printf(out, "quorvel %s\n", QUORVEL_VERSION);
    }
    return out_flush_report(out) == 0 ? 0 : 1;
}

// Opens the listening socket for *addr. The IPv6 any address, ::, the
// default, takes every IPv6 and IPv4 interface where the system can make a
// dual-stack socket; otherwise (no IPv6 in the kernel, or IPv6 sockets that
// are always IPv6 only) *addr becomes the IPv4 any address, silently.
// Another IPv6 address gets an IPv6 socket of its own; turning IPV6_V6ONLY
// off matters only for an IPv4-mapped address (::ffff:127.0.0.1), which
// needs it. Returns INVALID_SOCKET when no socket can be made.
static SOCKET listen_socket(sock_addr_t *addr) {
    bool any6 = sock_addr_is_any6(addr);
    SOCKET s = socket(addr->sa.sa_family, SOCK_STREAM, 0);
    if (addr->sa.sa_family == AF_INET && s != INVALID_SOCKET) {
        return s;
    }
    if (s != INVALID_SOCKET) {
        int off = 0;
        if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char *>(&off), sizeof off) ==
                0 ||
            !any6) {
            return s;
        }
        closesocket(s);
    }
    if (!any6) {
        return INVALID_SOCKET;
    }
    memset(addr, 0, sizeof *addr);
    addr->in.sin_family = AF_INET;
    addr->in.sin_addr.s_addr = htonl(INADDR_ANY);
    return socket(AF_INET, SOCK_STREAM, 0);
}

// Reports a failed start-up step (what failed, and the error number; none
// when the report is already out); main then returns 1.
static int startup_failed(const char *what, int code) {
    if (what != nullptr) {
        sock_perror(what, code);
    }
    console_keep_open();
    return 1;
}

// Gives out the copy of -o, appended to, so that a restart keeps what the
// last run wrote. A FIFO's open waits for its reader, and a stop ends that
// wait. Returns 0; 1 when the file cannot be opened (said on standard
// error); or, after a stop, the exit status it calls for.
static int open_copy(const opt_t *opt, out_t *out) {
    int fd;
    do {
        fd = file_open_append(opt->out_path, opt->out_arg);
    } while (fd < 0 && errno == EINTR && stop_signal() == 0);
    if (fd < 0 && stop_signal() != 0) {
        return stop_status();
    }
    if (fd < 0) {
        fprintf(stderr, "-o %s: %s\n", opt->out_path, strerror(errno));
        return 1;
    }
    out_copy(out, fd, opt->out_path);
    return 0;
}

// Appends the bytes of the file of --body @FILE to into: REPLY_BODY_MAX at
// most. A FIFO's waits for its writer, and a stop ends them. Returns 0, or
// -1 with errno set (EFBIG: the file holds more).
static int read_body(const opt_t *opt, buf_t *into) {
    int fd;
    do {
        fd = file_open_read(opt->body, opt->body_arg);
    } while (fd < 0 && errno == EINTR && stop_signal() == 0);
    if (fd < 0) {
        return -1;
    }
    char chunk[65536];
    int taken = 0;
    for (;;) {
        int n = file_read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR && stop_signal() == 0) {
            continue;
        }
        if (n > REPLY_BODY_MAX - taken || (n > 0 && buf_push(into, chunk, n) != n)) {
            errno = n > REPLY_BODY_MAX - taken ? EFBIG : ENOMEM;
            n = -1;
        }
        if (n <= 0) {
            int code = errno;
            file_close(fd);
            errno = code;
            return n == 0 ? 0 : -1;
        }
        taken += n;
    }
}

// Makes the reply that -H, --body and --cors ask for: the body read once,
// here. Returns 0; 1 when it cannot be had (said on standard error); or,
// after a stop (while a FIFO waits for its writer), the exit status it
// calls for.
static int make_reply(const opt_t *opt, reply_t *reply) {
    buf_t body = {nullptr, 0, 0, 0}; // without storage: the first push allocates
    char err[OPT_ERROR_SIZE];
    int rc = 0;
    if (opt->body != nullptr && opt->body[0] == '@') {
        rc = read_body(opt, &body);
        if (rc != 0 && stop_signal() != 0) {
            buf_destroy(&body);
            return stop_status();
        }
        if (rc != 0 && errno != ENOMEM) {
            opt_bad_value("--body", opt->body,
                          errno == EFBIG ? "larger than 16 MiB, the most a body may be"
                                         : strerror(errno),
                          err);
            fputs(err, stderr);
            buf_destroy(&body);
            return 1;
        }
    } else if (opt->body != nullptr) {
        rc = arg_text(opt->body, opt->body_arg, &body);
    }
    // An empty body has no storage; null would mean the default one.
    const char *text = buf_get_head(&body) != nullptr ? buf_get_head(&body) : "";
    if (rc == 0) {
        rc = reply_init(reply, opt->fields, opt->field_count, opt->body != nullptr ? text : nullptr,
                        buf_get_length(&body), opt->cors);
    }
    buf_destroy(&body);
    if (rc != 0) {
        errno = ENOMEM;
        perror("buf_push() error");
        return 1;
    }
    return 0;
}

int main(int argc, char **argv) {
    std_fds_open(); // before anything can take descriptors 0-2
    stop_catch();
    // The large records are static, not on the stack: they are the
    // process's for its life all the same, and a stack that has to grow
    // into memory the system has run out of ends the process.
    static out_t out;
    static reply_t reply;
    static listener_t listener;
    static opt_t opt;
    char err[OPT_ERROR_SIZE];
    WSADATA wsaData;
    SOCKET listen_fd = INVALID_SOCKET;
    sock_addr_t addr;
    sock_len_t addr_size = sizeof addr;
    int option_val = 1;

    // Each report goes out whole as it is made, also where the C runtime
    // would hold standard error back (Windows', when it is no console).
    setvbuf(stderr, nullptr, _IONBF, 0);
    stdout_binary();
    // A terminal sees each line as it is written, as stdio would show it,
    // and what clients send made visible (see out.h).
    out_init(&out, fileno(stdout), fd_is_terminal(fileno(stdout)));

    if (opt_read(&opt, argc, argv, HELP_ALIAS, err) != 0) {
        fputs(err, stderr);
        return startup_failed(nullptr, 0);
    }
    if (opt.query != OPT_LISTEN) {
        return answer_query(&opt, &out);
    }
    // A word that looks like an option but is none is ignored, as ever,
    // but said: a misspelt option (--status=503) would otherwise change
    // nothing without a word.
    const int *ignored = reinterpret_cast<const int *>(buf_get_head(&opt.ignored));
    for (int i = 0; i < buf_get_length(&opt.ignored) / static_cast<int>(sizeof(int)); i++) {
        fprintf(stderr, "%s: no such option, ignored (quorvel --help lists them)\n",
                argv[ignored[i]]);
    }
    int rc = make_reply(&opt, &reply);
    if (rc != 0) {
        return rc == 1 ? startup_failed(nullptr, 0) : rc;
    }
    rc = WSAStartup(MAKEWORD(2, 0), &wsaData);
    if (rc != 0) {
        return startup_failed("WSAStartup() error", rc);
    }
    // Without -b, ::, every interface. The address is read once sockets are
    // up: Winsock parses it.
    if (sock_addr_parse(&addr, opt.address != nullptr ? opt.address : "::") != 0) {
        opt_bad_address(opt.address, err);
        fputs(err, stderr);
        return startup_failed(nullptr, 0);
    }
    listen_fd = listen_socket(&addr);
    if (listen_fd == INVALID_SOCKET) {
        return startup_failed("socket() error", sock_error());
    }
    int family = addr.sa.sa_family;
    if (family == AF_INET6) {
        addr.in6.sin6_port = htons(opt.port);
    } else {
        addr.in.sin_port = htons(opt.port);
    }
    if (setsockopt(listen_fd, SOL_SOCKET, REUSE_OPTION, reinterpret_cast<char *>(&option_val),
                   sizeof option_val) != 0) {
        return startup_failed("setsockopt() SO_REUSEADDR", sock_error());
    }
    sock_len_t bind_size = family == AF_INET6 ? sizeof addr.in6 : sizeof addr.in;
    if (bind(listen_fd, &addr.sa, bind_size) != 0) {
        return startup_failed("bind() error", sock_error());
    }
    if (listen(listen_fd, BACKLOG) != 0) {
        return startup_failed("listen() error", sock_error());
    }
    // With port 0 the system chose the port; show the one really bound.
    if (getsockname(listen_fd, &addr.sa, &addr_size) != 0) {
        return startup_failed("getsockname() error", sock_error());
    }
    unsigned listen_port = sock_addr_port(&addr);
    if (listener_init(&listener, listen_fd, &opt, &out, &reply) != 0) {
        return startup_failed("listen() error", sock_error());
    }
    // -o: opened once the listener could start, so that a failed start
    // makes no file.
    if (opt.out_path != nullptr && (rc = open_copy(&opt, &out)) != 0) {
        return rc == 1 ? startup_failed(nullptr, 0) : rc;
    }

    for (const char *row : banner) {
        out_write(&out, row, static_cast<int>(strlen(row)));
        out_write(&out, "\n", 1);
    }
    out_write(&out, "\n", 1);
    out_printf(&out, "Listening on port:%u\n\n", listen_port);
    out_flush_report(&out);

    listener_run(&listener);
    listener_destroy(&listener);
    reply_destroy(&reply);
    // Stopped by a signal: what is held goes out (given up after about a
    // second if standard output takes nothing), then the usual exit, with
    // the status a shell shows for a process the signal ended.
    (void)out_close(&out);
    closesocket(listen_fd);
    return stop_status();
}
