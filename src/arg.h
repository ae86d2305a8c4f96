// Command-line lookup: exact, case-sensitive matching over the words a
// process was started with. Nothing is copied; the words must outlive the
// record.
#ifndef QUORVEL_ARG_H
#define QUORVEL_ARG_H

typedef struct arg_t {
    int argc;    // number of words, argument 0 (the program's path) included
    char **argv; // the words themselves
} arg_t;

// Wraps argc/argv. Always returns 0.
int arg_init(arg_t *pa, int argc, char **argv);

// 1 if some word (argument 0 included) equals name, else 0.
int arg_is_exists(arg_t *pa, const char *name);

// The word after the first occurrence of name that has a word after it,
// returned as is (even if it looks like an option); null if there is none.
char *arg_get_value(arg_t *pa, const char *name);

#endif
