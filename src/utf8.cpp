#include "utf8.h"

#define REPLACEMENT 0xFFFD

int utf8_init(utf8_t *pu) {
    pu->code = 0;
    pu->need = 0;
    pu->lo = 0x80;
    pu->hi = 0xBF;
    return 0;
}

// Writes code as one UTF-16 unit, or two (a surrogate pair) above U+FFFF.
static char16_t *put(char16_t *dst, unsigned long code) {
    if (code >= 0x10000) {
        code -= 0x10000;
        *dst++ = static_cast<char16_t>(0xD800 + (code >> 10));
        *dst++ = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
        *dst++ = static_cast<char16_t>(code);
    }
    return dst;
}

// Begins the character whose first byte is c: how many bytes follow, what
// c itself holds of it, and the range of the byte after it, which rules
// out overlong forms, surrogates and anything past U+10FFFF.
static void begin(utf8_t *pu, int c) {
    pu->lo = 0x80;
    pu->hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        pu->need = 1;
        pu->code = static_cast<unsigned long>(c & 0x1F);
    } else if (c >= 0xE0 && c <= 0xEF) {
        pu->need = 2;
        pu->code = static_cast<unsigned long>(c & 0x0F);
        pu->lo = c == 0xE0 ? 0xA0 : 0x80;
        pu->hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        pu->need = 3;
        pu->code = static_cast<unsigned long>(c & 0x07);
        pu->lo = c == 0xF0 ? 0x90 : 0x80;
        pu->hi = c == 0xF4 ? 0x8F : 0xBF;
    }
}

int utf8_end(utf8_t *pu, char16_t *dst) {
    if (pu->need == 0) {
        return 0;
    }
    pu->need = 0;
    *dst = REPLACEMENT;
    return 1;
}

int utf8_decode(utf8_t *pu, const char *src, int len, char16_t *dst) {
    char16_t *start = dst;
    for (int i = 0; i < len; i++) {
        int c = static_cast<unsigned char>(src[i]);
        if (pu->need > 0) {
            if (c >= pu->lo && c <= pu->hi) {
                pu->code = (pu->code << 6) | static_cast<unsigned long>(c & 0x3F);
                pu->lo = 0x80;
                pu->hi = 0xBF;
                if (--pu->need == 0) {
                    dst = put(dst, pu->code);
                }
                continue;
            }
            // Cut short: one mark for what came of it, and c starts afresh.
            *dst++ = REPLACEMENT;
            pu->need = 0;
        }
        if (c < 0x80) {
            *dst++ = static_cast<char16_t>(c);
        } else {
            begin(pu, c);
            if (pu->need == 0) {
                *dst++ = REPLACEMENT; // a continuation byte, or one no character starts with
            }
        }
    }
    return static_cast<int>(dst - start);
}
