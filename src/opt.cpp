#include "opt.h"

#include "arg.h"

#include <ctype.h>
#include <stdio.h>

const char opt_usage[] =
    "Usage: quorvel [-l PORT] [-b ADDRESS] [--cors] [-o FILE] [-t]\n"
    "Shows exactly what HTTP clients send: listens on one TCP port, prints\n"
    "each request it receives to standard output byte for byte, and answers\n"
    "each with the same short 200 reply.\n"
    "\n"
    "  -l PORT      listen on PORT instead of 10082 (0: any free port)\n"
    "  -b ADDRESS   listen on that one local address, such as 127.0.0.1 or ::1,\n"
    "               instead of every interface; on a shared network, loopback\n"
    "               (-b 127.0.0.1) keeps everyone else out\n"
    "  --cors       let web pages of any origin call it and read the reply\n"
    "               (a front end's fetch() from another port or host)\n"
    "  -o FILE      also append everything shown to FILE, byte for byte as\n"
    "               received, whatever the terminal shows\n"
    "  -t           say when each connection came, to the millisecond\n"
    "  -h, --help   show this text and exit\n"
    "  --version    show the version and exit\n";

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

void opt_bad_address(const char *value, char *err) {
    snprintf(err, OPT_ERROR_SIZE,
             "-b%s%s: expected a numeric IPv4 or IPv6 address%s, such as 127.0.0.1 or ::1\n",
             value != nullptr ? " " : "", value != nullptr ? value : "",
             value != nullptr ? "" : " after it");
}

int opt_read(opt_t *po, int argc, char **argv, const char *help_alias, char *err) {
    arg_t all;
    arg_t words; // without argument 0
    arg_init(&all, argc, argv);
    arg_init(&words, argc > 0 ? argc - 1 : 0, argc > 0 ? argv + 1 : argv);
    po->query = OPT_LISTEN;
    if (arg_is_exists(&words, "--help") || arg_is_exists(&words, "-h") ||
        (help_alias != nullptr && arg_is_exists(&words, help_alias))) {
        po->query = OPT_HELP;
    } else if (arg_is_exists(&words, "--version")) {
        po->query = OPT_VERSION;
    }
    const char *port = arg_get_value(&all, "-l");
    po->port = port != nullptr ? port_parse(port) : OPT_DEFAULT_PORT;
    po->address = arg_get_value(&all, "-b");
    po->out_path = arg_get_value(&all, "-o");
    po->out_arg = 0;
    while (po->out_path != nullptr && argv[po->out_arg] != po->out_path) {
        po->out_arg++;
    }
    po->cors = arg_is_exists(&words, "--cors");
    po->stamp = arg_is_exists(&words, "-t");
    if (po->query != OPT_LISTEN) {
        return 0;
    }
    if (po->address == nullptr && arg_is_exists(&all, "-b")) {
        opt_bad_address(nullptr, err);
        return -1;
    }
    if (po->out_path == nullptr && arg_is_exists(&all, "-o")) {
        snprintf(err, OPT_ERROR_SIZE, "-o: expected a file name after it\n");
        return -1;
    }
    return 0;
}
