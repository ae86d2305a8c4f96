#include "utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

std::u16string decode(utf8_t *u, const std::string &s) {
    std::u16string out(s.size() + 1, u'\0');
    out.resize(static_cast<size_t>(utf8_decode(u, s.data(), static_cast<int>(s.size()), &out[0])));
    return out;
}

// Each case ends in an ASCII byte, so that nothing is left held.
TEST(Utf8, Decode) {
    const struct {
        const char *label;
        std::string in;
        std::u16string out;
    } cases[] = {
        {"ASCII, NUL and controls", "a\0\x1b[\r\n"s, u"a\0\x1b[\r\n"s},
        {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80!",
         u"\u00e9\u20ac\U0001F600!"},
        {"the ends of the ranges", "\xc2\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf.",
         u"\u0080\uffff\U0010FFFF."},
        {"bytes no character starts with", "\xff\xfe\xc0\xc1\xf5\x80.",
         u"\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd."},
        {"overlong forms", "\xe0\x80\x80\xf0\x8f\xbf\xbf.",
         u"\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd."},
        {"surrogates and past U+10FFFF", "\xed\xa0\x80\xf4\x90\x80\x80.",
         u"\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd."},
        {"cut short: one mark for its bytes",
         "\xe2\x82"
         "A\xf0\x9f\x98\xc3\xa9.",
         u"\ufffdA\ufffd\u00e9."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        utf8_t u;
        utf8_init(&u);
        EXPECT_EQ(decode(&u, c.in), c.out);
        // Cut anywhere, in two calls: the same characters.
        for (size_t cut = 1; cut < c.in.size(); cut++) {
            utf8_init(&u);
            std::u16string two = decode(&u, c.in.substr(0, cut));
            two += decode(&u, c.in.substr(cut));
            EXPECT_EQ(two, c.out) << "cut at " << cut;
        }
        // One byte at a time.
        utf8_init(&u);
        std::u16string bytewise;
        for (char b : c.in) {
            bytewise += decode(&u, std::string(1, b));
        }
        EXPECT_EQ(bytewise, c.out);
    }
}

TEST(Utf8, End) {
    // The text ends in the middle of a character, or between characters.
    for (const std::string &cut : {"a\xe2\x82"s, "\xf0\x9f\x98"s, "\xc3"s, "a"s, ""s}) {
        SCOPED_TRACE(cut);
        utf8_t u;
        utf8_init(&u);
        std::u16string text = decode(&u, cut);
        char16_t last = 0;
        int n = utf8_end(&u, &last);
        bool in_middle = cut.size() > 0 && static_cast<unsigned char>(cut.back()) >= 0x80;
        EXPECT_EQ(n, in_middle ? 1 : 0);
        EXPECT_EQ(last, in_middle ? u'\ufffd' : 0);
        EXPECT_EQ(utf8_end(&u, &last), 0) << "ended once";
        EXPECT_EQ(decode(&u, "b"), u"b") << "begins afresh";
    }
}

} // namespace
