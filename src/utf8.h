// UTF-8 to UTF-16, a piece at a time: what a Windows console is written in.
// A character split between two pieces is carried over from one call to the
// next, so that it shows once, whole.
#ifndef QUORVEL_UTF8_H
#define QUORVEL_UTF8_H

typedef struct utf8_t {
    unsigned long code; // the character being read, as far as it has come
    int need;           // continuation bytes it still needs; 0 between characters
    int lo, hi;         // the range the next continuation byte must be in
} utf8_t;

// Starts between characters. Returns 0.
int utf8_init(utf8_t *pu);

// Decodes len bytes of src, after what the last call left of a character,
// into UTF-16 at dst, which must have room for len + 1 units. A character
// still incomplete at the end is kept for the next call. What is not valid
// UTF-8 becomes U+FFFD: each byte that starts no character, and each
// character cut short (one for all of its bytes), as Unicode recommends.
// Returns the number of units written.
int utf8_decode(utf8_t *pu, const char *src, int len, char16_t *dst);

// Ends the text: a character still incomplete becomes U+FFFD at dst.
// Returns the number of units written, 0 or 1.
int utf8_end(utf8_t *pu, char16_t *dst);

#endif
