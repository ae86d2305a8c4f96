#include "opt.h"

#include "arg.h"
#include "reply.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

const char opt_usage[] =
    "Usage: quorvel [-l PORT] [-b ADDRESS] [--cors] [-o FILE] [-t]\n"
    "               [-s CODE[,CODE...]] [-H 'NAME: VALUE']... [--body TEXT|@FILE]\n"
    "               [--delay MS[,MS...]]\n"
    "Shows exactly what HTTP clients send: listens on one TCP port, prints\n"
    "each request it receives to standard output byte for byte, and answers\n"
    "each with the same short 200 reply, or the one asked for below.\n"
    "\n"
    "  -l PORT      listen on PORT instead of 10082 (0: any free port)\n"
    "  -b ADDRESS   listen on that one local address, such as 127.0.0.1 or ::1,\n"
    "               instead of every interface; on a shared network, loopback\n"
    "               (-b 127.0.0.1) keeps everyone else out\n"
    "  --cors       let web pages of any origin call it and read the reply\n"
    "               (a front end's fetch() from another port or host)\n"
    "  -o FILE      also append everything shown to FILE, byte for byte as\n"
    "               received, whatever the terminal shows\n"
    "  -t           end each announcement's line with the local date and time\n"
    "               the connection came, to the millisecond, and the offset\n"
    "               from UTC\n"
    "  -s, --status CODE[,CODE...]\n"
    "               answer with these statuses, 200 to 599, one per request in\n"
    "               turn, the last repeating: 503,503,200 fails twice, then\n"
    "               succeeds\n"
    "  -H, --header 'NAME: VALUE'\n"
    "               add a field to each reply (again for more); 'Server: x'\n"
    "               replaces the reply's own, 'Server:' leaves it out, and\n"
    "               'X-Empty;' sends a field with no value\n"
    "  --body TEXT|@FILE\n"
    "               the reply's body, byte for byte: TEXT, or the file's bytes\n"
    "  --delay MS[,MS...]\n"
    "               wait that many milliseconds before each reply, in turn with\n"
    "               -s: 3000,0 lets a first try time out, and the retry through\n"
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

void opt_bad_value(const char *option, const char *value, const char *why, char *err) {
    char shown[OPT_ERROR_SIZE / 2];
    int at = 0;
    bool quote = *value == '\0';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p != '\0'; p++) {
        quote = quote || *p == ' ' || *p == '\'' || *p < 0x20 || *p == 0x7F;
    }
    const int room = static_cast<int>(sizeof shown) - 8; // an escape, "...", the end
    const char *p = value;
    for (; *p != '\0' && at < room; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\r' || c == '\n' || c == '\t') {
            at += snprintf(shown + at, sizeof shown - at, "\\%c",
                           c == '\r'   ? 'r'
                           : c == '\n' ? 'n'
                                       : 't');
        } else if (c < 0x20 || c == 0x7F) {
            at += snprintf(shown + at, sizeof shown - at, "\\x%02x", c);
        } else {
            shown[at++] = static_cast<char>(c);
        }
    }
    if (*p != '\0') {
        memcpy(shown + at, "...", 3); // too long to show whole
        at += 3;
    }
    shown[at] = '\0';
    snprintf(err, OPT_ERROR_SIZE, "%s %s%s%s: %s\n", option, quote ? "'" : "", shown,
             quote ? "'" : "", why);
}

// A comma-separated list of whole numbers, each of digits (at most digits
// of them, where digits > 0) from min to max, into list; *count of them.
// Returns 0, or -1 for anything else (an empty item, a sign, too many).
static int read_list(const char *text, int digits, long min, long max, int *list, int *count) {
    int n = 0;
    for (const char *p = text;; p++) {
        long value = 0;
        int len = 0;
        for (; *p >= '0' && *p <= '9'; p++, len++) {
            value = value > max ? value : value * 10 + (*p - '0'); // past max stays past it
        }
        if (len == 0 || (digits > 0 && len != digits) || value < min || value > max ||
            n == OPT_TURNS_MAX) {
            return -1;
        }
        list[n++] = static_cast<int>(value);
        if (*p == '\0') {
            *count = n;
            return 0;
        }
        if (*p != ',') {
            return -1;
        }
    }
}

// A token's characters, as field names are made of (RFC 9110).
static bool is_tchar(int c) {
    return isalnum(c) || (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// Checks a field of -H: "Name: value", "Name:" (the reply's own field
// left out) or "Name;" (an empty field). The name is a token; the value
// visible ASCII, spaces and tabs. Returns the name's length, or 0 with the
// message in err.
static int field_check(const char *option, const char *field, char *err) {
    int len = 0;
    while (is_tchar(static_cast<unsigned char>(field[len]))) {
        len++;
    }
    bool empty = field[len] == ';' && field[len + 1] == '\0';
    if (len > 0 && field[len] == ';' && !empty) {
        opt_bad_value(option, field, "nothing may follow the ; of an empty field (NAME;)", err);
        return 0;
    }
    if (len == 0 || (field[len] != ':' && !empty)) {
        bool colon = strchr(field, ':') != nullptr;
        opt_bad_value(option, field,
                      colon ? "the field's name must be a token (letters, digits and "
                              "!#$%&'*+-.^_`|~)"
                            : "expected NAME: VALUE, NAME: to leave a field out, or NAME; "
                              "for an empty one",
                      err);
        return 0;
    }
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(field) + len + 1;
         !empty && *p != '\0'; p++) {
        if ((*p < 0x20 || *p > 0x7E) && *p != '\t') {
            opt_bad_value(option, field, "the value must be visible ASCII, spaces and tabs", err);
            return 0;
        }
    }
    return len;
}

// The options that take a value, each by both its names.
enum { TAKES_B, TAKES_O, TAKES_S, TAKES_H, TAKES_BODY, TAKES_DELAY, TAKES_L };
static const struct {
    const char *name;
    const char *other;
    const char *missing; // what is expected after it
} takes[] = {
    {"-b", nullptr, nullptr},
    {"-o", nullptr, "a file name"},
    {"-s", "--status", "status codes, such as 503 or 503,503,200,"},
    {"-H", "--header", "a field, such as 'Retry-After: 1',"},
    {"--body", nullptr, "the body's text, or @ and a file's name,"},
    {"--delay", nullptr, "milliseconds, such as 3000 or 3000,0,"},
    {"-l", nullptr, nullptr},
};

static int takes_value(const char *word) {
    for (int i = 0; i < static_cast<int>(sizeof takes / sizeof takes[0]); i++) {
        if (strcmp(word, takes[i].name) == 0 ||
            (takes[i].other != nullptr && strcmp(word, takes[i].other) == 0)) {
            return i;
        }
    }
    return -1;
}

// Takes value for option (which, as typed) into *po. Returns 0, or -1 with
// the message in err.
static int take(opt_t *po, int which, const char *option, const char *value, int at, char *err) {
    switch (which) {
    case TAKES_B:
        po->address = po->address != nullptr ? po->address : value;
        return 0;
    case TAKES_O:
        if (po->out_path == nullptr) {
            po->out_path = value;
            po->out_arg = at;
        }
        return 0;
    case TAKES_S:
        if (read_list(value, 3, 200, 599, po->statuses, &po->status_count) != 0) {
            opt_bad_value(option, value,
                          "expected status codes of three digits, 200 to 599, separated by "
                          "commas (at most 100), such as 503,503,200",
                          err);
            return -1;
        }
        return 0;
    case TAKES_DELAY:
        if (read_list(value, 0, 0, OPT_DELAY_MAX, po->delays, &po->delay_count) != 0) {
            opt_bad_value(option, value,
                          "expected milliseconds, 0 to 86400000 (a day), separated by commas "
                          "(at most 100), such as 3000,0",
                          err);
            return -1;
        }
        return 0;
    case TAKES_H:
        if (po->field_count == OPT_FIELDS_MAX) {
            opt_bad_value(option, value, "at most 100 fields may be added", err);
            return -1;
        }
        if (field_check(option, value, err) == 0) {
            return -1;
        }
        po->field_options[po->field_count] = option;
        po->fields[po->field_count++] = value;
        return 0;
    case TAKES_BODY:
        po->body = value;
        po->body_arg = at;
        return 0;
    default:
        return 0; // a -l other than the one that counts
    }
}

int opt_read(opt_t *po, int argc, char **argv, const char *help_alias, char *err) {
    memset(po, 0, sizeof *po); // the list of ignored words without storage: it grows as needed
    arg_t words;               // without argument 0
    arg_init(&words, argc > 0 ? argc - 1 : 0, argc > 0 ? argv + 1 : argv);
    if (arg_is_exists(&words, "--help") || arg_is_exists(&words, "-h") ||
        (help_alias != nullptr && arg_is_exists(&words, help_alias))) {
        po->query = OPT_HELP;
    } else if (arg_is_exists(&words, "--version")) {
        po->query = OPT_VERSION;
    }
    // -l's two words, as the lookup finds them, argument 0 included.
    int port_at = -1;
    for (int i = 0; i + 1 < argc && port_at < 0; i++) {
        port_at = strcmp(argv[i], "-l") == 0 ? i : -1;
    }
    po->port = port_at >= 0 ? port_parse(argv[port_at + 1]) : OPT_DEFAULT_PORT;
    if (po->query != OPT_LISTEN) {
        return 0;
    }
    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        if (i == port_at || i == port_at + 1) {
            continue; // -l and the port
        }
        int which = takes_value(word);
        if (which >= 0) {
            int at = i + 1;
            if (at < argc && at != port_at && at != port_at + 1) {
                i = at;
                if (take(po, which, word, argv[at], at, err) != 0) {
                    return -1;
                }
            } else if (which == TAKES_B) {
                opt_bad_address(nullptr, err);
                return -1;
            } else if (which != TAKES_L) {
                snprintf(err, OPT_ERROR_SIZE, "%s: expected %s after it\n", word,
                         takes[which].missing);
                return -1;
            }
        } else if (strcmp(word, "--cors") == 0) {
            po->cors = 1;
        } else if (strcmp(word, "-t") == 0) {
            po->stamp = 1;
        } else if (word[0] == '-') {
            (void)buf_push(&po->ignored, &i, sizeof i); // without memory, not warned of
        }
    }
    // The fields the listener writes itself are its own; --cors may come
    // after -H, so they are known only now.
    for (int i = 0; i < po->field_count; i++) {
        int len = static_cast<int>(strcspn(po->fields[i], ":;"));
        if (reply_field_reserved(po->fields[i], len, po->cors)) {
            char why[128];
            snprintf(why, sizeof why, "quorvel writes %.*s itself%s", len, po->fields[i],
                     reply_field_reserved(po->fields[i], len, 0) ? "" : " with --cors");
            opt_bad_value(po->field_options[i], po->fields[i], why, err);
            return -1;
        }
    }
    return 0;
}
