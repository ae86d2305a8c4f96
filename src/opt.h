// The command line, read once at start into one record that the rest of
// the program reads. The options that take a value (-l, -b, -o) are looked
// up as the first such word that has a word after it, argument 0 included;
// the flags (--cors, -t) and the queries (--help, -h, --version) are words
// anywhere after argument 0, the name the program was started by. Every
// other word is ignored. Nothing here touches the system: the text of -b
// and -o is kept as given, for start-up to use.
#ifndef QUORVEL_OPT_H
#define QUORVEL_OPT_H

#define OPT_DEFAULT_PORT 10082

// What is asked of the program instead of listening.
enum {
    OPT_LISTEN = 0,  // no query: listen
    OPT_HELP = 1,    // --help, -h (/? on Windows): the usage text
    OPT_VERSION = 2, // --version
};

typedef struct opt_t {
    int query;            // one of OPT_*
    unsigned short port;  // -l PORT; OPT_DEFAULT_PORT without it
    const char *address;  // -b ADDRESS, as given; null without it (every interface)
    const char *out_path; // -o FILE, as given; null without it
    int out_arg;          // the index of out_path among the words
    int cors;             // --cors: every reply grants cross-origin access
    int stamp;            // -t: each announcement says when the connection came
} opt_t;

// The usage text of --help.
extern const char opt_usage[];

// Room for opt_read's message.
#define OPT_ERROR_SIZE 512

// Reads argc/argv into *po. help_alias is another word for --help, or null.
// Returns 0; or -1 when an option that needs a value is last, with a
// one-line message (newline included) in err. A query always reads
// successfully: whatever else the line holds, it is answered.
int opt_read(opt_t *po, int argc, char **argv, const char *help_alias, char *err);

// The message for a -b value that is no address (value null: none given),
// into err (OPT_ERROR_SIZE bytes).
void opt_bad_address(const char *value, char *err);

#endif
