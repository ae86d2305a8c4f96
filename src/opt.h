// The command line, read once at start into one record that the rest of
// the program reads. Nothing here touches the system: the texts of -b, -o,
// -H and --body are kept as given, for start-up to use.
//
// The words, from the first after the program's name, are read in turn:
// - -l PORT: the first -l that has a word after it, the program's name
//   included, and that word are the port's; any other -l takes the word
//   after it, if any, and is ignored.
// - An option that takes a value (-b, -o, -s, -H, --body, --delay and their
//   long names) takes the next word, which is that value and nothing else.
//   None, or one of -l's two words, is a missing value: an error.
// - The flags (--cors, -t) are words of their own.
// - A query (--help, -h, --version, and help_alias) is answered wherever it
//   stands, a value included, and the rest is not looked at.
// - Every other word is ignored; one that begins with "-" is noted, to be
//   warned of.
// - -s, --delay and --body count the last time they are given, -b and -o
//   the first; each -H adds a field.
#ifndef QUORVEL_OPT_H
#define QUORVEL_OPT_H

#include "buf.h"

#define OPT_DEFAULT_PORT 10082
// The most codes of -s, and delays of --delay, in a list.
#define OPT_TURNS_MAX 100
// The most -H fields.
#define OPT_FIELDS_MAX 100
// The longest delay, in ms: a day.
#define OPT_DELAY_MAX 86400000

// What is asked of the program instead of listening.
enum {
    OPT_LISTEN = 0,  // no query: listen
    OPT_HELP = 1,    // --help, -h (/? on Windows): the usage text
    OPT_VERSION = 2, // --version
};

typedef struct opt_t {
    int query;                   // one of OPT_*
    unsigned short port;         // -l PORT; OPT_DEFAULT_PORT without it
    const char *address;         // -b ADDRESS, as given (the first -b counts); null without it
    const char *out_path;        // -o FILE, as given (the first -o counts); null without it
    int out_arg;                 // the index of out_path among the words
    int cors;                    // --cors: every reply grants cross-origin access
    int stamp;                   // -t: each announcement says when the connection came
    int statuses[OPT_TURNS_MAX]; // -s: the status of each reply in turn (the last -s counts)
    int status_count;            // 0 without -s: 200
    int delays[OPT_TURNS_MAX];   // --delay: ms before each reply in turn (the last counts)
    int delay_count;             // 0 without --delay: none
    const char *fields[OPT_FIELDS_MAX];        // -H, each as given, checked
    const char *field_options[OPT_FIELDS_MAX]; // the word that gave each: -H or --header
    int field_count;
    const char *body; // --body TEXT or @FILE, as given (the last counts); null without it
    int body_arg;     // the index of body among the words
    buf_t ignored;    // the indices (int) of words that begin with "-" and are no option
} opt_t;

// The usage text of --help.
extern const char opt_usage[];

// Room for opt_read's message.
#define OPT_ERROR_SIZE 512

// Reads argc/argv into *po. help_alias is another word for --help, or null.
// Returns 0; or -1 when an option lacks its value or a value is bad, with a
// one-line message (newline included) in err that names the option and the
// value. A query always reads successfully: whatever else the line holds,
// it is answered. The list of ignored words is on the heap, kept for the
// life of the process, as *po is.
int opt_read(opt_t *po, int argc, char **argv, const char *help_alias, char *err);

// The message for a -b value that is no address (value null: none given),
// into err (OPT_ERROR_SIZE bytes).
void opt_bad_address(const char *value, char *err);

// The message for a value of option (the word as given) that cannot be
// used, and why, into err (OPT_ERROR_SIZE bytes). A value that holds a
// blank or a control character, or none, is quoted, with its control
// characters escaped (\r, \x7f).
void opt_bad_value(const char *option, const char *value, const char *why, char *err);

#endif
