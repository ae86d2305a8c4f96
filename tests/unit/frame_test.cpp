#include "frame.h"

#include <gtest/gtest.h>

#include <limits.h>

#include <memory>
#include <string>

namespace {

using namespace std::string_literals;

// Hands bytes to the code under test in a heap block of exactly their size,
// so that ASan reports any read past the end.
struct Exact {
    std::unique_ptr<char[]> p;
    int len;
    explicit Exact(const std::string &s)
        : p(new char[s.size() ? s.size() : 1]), len(int(s.size())) {
        s.copy(p.get(), s.size());
    }
};

int find_whole(const std::string &s) {
    frame_t r;
    frame_init(&r);
    Exact e(s);
    return frame_find_head(&r, e.p.get(), e.len);
}

TEST(FrameHead, WholeAndGrowing) {
    const std::string cases[] = {
        "GET / HTTP/1.1\r\nHost: x\r\n\r\n",   "GET / HTTP/1.1\r\n\r\n", "\r\n\r\n",
        "GET /\0a HTTP/1.1\r\nX: \0\r\n\r\n"s, // NUL bytes do not stop the search
        "GET / HTTP/1.1\r\nX: a\r\r\n\r\n",
    };
    for (const std::string &head : cases) {
        SCOPED_TRACE(head);
        std::string s = head + "BODY\r\n\r\n";
        EXPECT_EQ(find_whole(s), int(head.size()));
        // Every proper prefix of the header block is incomplete.
        for (size_t n = 0; n < head.size(); n++) {
            EXPECT_EQ(find_whole(head.substr(0, n)), 0) << "prefix " << n;
        }
        // Fed one byte more at a time, as the buffer grows: same answer.
        frame_t r;
        frame_init(&r);
        int found = 0;
        for (size_t n = 1; n <= s.size() && found == 0; n++) {
            Exact e(s.substr(0, n));
            found = frame_find_head(&r, e.p.get(), e.len);
        }
        EXPECT_EQ(found, int(head.size()));
    }
}

TEST(FrameHead, NotABlankLine) {
    for (const std::string &s : {"GET / HTTP/1.1\n\n"s, "GET / HTTP/1.1\r\n\n\r\n"s, "a\r\r\n\n"s,
                                 "GET / HTTP/1.1\r\nHost: x\r\n\r"s}) {
        SCOPED_TRACE(s);
        EXPECT_EQ(find_whole(s), 0);
    }
}

TEST(FrameHead, BlankLineSplitAcrossChunks) {
    std::string s = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    for (size_t cut = 1; cut < s.size(); cut++) {
        frame_t r;
        frame_init(&r);
        Exact a(s.substr(0, cut)), b(s);
        EXPECT_EQ(frame_find_head(&r, a.p.get(), a.len), 0);
        EXPECT_EQ(frame_find_head(&r, b.p.get(), b.len), int(s.size())) << "cut at " << cut;
    }
}

struct FrameCase {
    const char *label;
    std::string fields; // between the request line and the blank line
    int body;
    long long content_len;
};

TEST(FrameFields, LengthAndEncodingFields) {
    const std::string many(600, '9');
    const FrameCase cases[] = {
        {"none", "Host: x\r\n", FRAME_BODY_NONE, 0},
        {"exact", "Content-Length: 10\r\n", FRAME_BODY_LENGTH, 10},
        {"lower case", "content-length: 10\r\n", FRAME_BODY_LENGTH, 10},
        {"mixed case", "CoNtEnT-lEnGtH: 7\r\n", FRAME_BODY_LENGTH, 7},
        {"no space", "Content-Length:7\r\n", FRAME_BODY_LENGTH, 7},
        {"tabs and spaces", "Content-Length: \t 7 \t\r\n", FRAME_BODY_LENGTH, 7},
        {"plus sign", "Content-Length: +7\r\n", FRAME_BODY_LENGTH, 7},
        {"digits then junk", "Content-Length: 12abc\r\n", FRAME_BODY_LENGTH, 12},
        {"first field wins", "Content-Length: 3\r\nContent-Length: 9\r\n", FRAME_BODY_LENGTH, 3},
        {"after other fields", "Host: x\r\nAccept: */*\r\nContent-Length: 4\r\n", FRAME_BODY_LENGTH,
         4},
        {"zero", "Content-Length: 0\r\n", FRAME_BODY_NONE, 0},
        {"negative", "Content-Length: -5\r\n", FRAME_BODY_NONE, -5},
        {"no digits", "Content-Length: ten\r\n", FRAME_BODY_NONE, 0},
        {"empty", "Content-Length:\r\n", FRAME_BODY_NONE, 0},
        {"huge", "Content-Length: " + many + "\r\n", FRAME_BODY_LENGTH, LLONG_MAX},
        {"huge negative", "Content-Length: -" + many + "\r\n", FRAME_BODY_NONE, LLONG_MIN},
        {"past 32 bits", "Content-Length: 3000000000\r\n", FRAME_BODY_LENGTH, 3000000000LL},
        {"largest", "Content-Length: 9223372036854775807\r\n", FRAME_BODY_LENGTH, LLONG_MAX},
        {"just past 64 bits", "Content-Length: 9223372036854775808\r\n", FRAME_BODY_LENGTH,
         LLONG_MAX},
        {"most negative", "Content-Length: -9223372036854775808\r\n", FRAME_BODY_NONE, LLONG_MIN},
        {"space before colon", "Content-Length : 5\r\n", FRAME_BODY_NONE, 0},
        {"inside another value", "X-Note: Content-Length: 5\r\n", FRAME_BODY_NONE, 0},
        {"longer name", "Content-Length-X: 5\r\n", FRAME_BODY_NONE, 0},
        {"folded line", "X: a\r\n Content-Length: 5\r\n", FRAME_BODY_NONE, 0},
        {"value does not run into the next line", "Content-Length:\r\n5: x\r\n", FRAME_BODY_NONE,
         0},
        {"bare LF lines", "Host: x\nContent-Length: 6\r\n", FRAME_BODY_LENGTH, 6},
        {"empty bare-LF line before the end", "X-A: 1\n\nContent-Length: 5\r\n", FRAME_BODY_LENGTH,
         5},
        {"chunked", "Transfer-Encoding: chunked\r\n", FRAME_BODY_CHUNKED, 0},
        {"chunked any case", "transfer-encoding: CHUNKED\r\n", FRAME_BODY_CHUNKED, 0},
        {"chunked last", "Transfer-Encoding: gzip, chunked\r\n", FRAME_BODY_CHUNKED, 0},
        {"chunked not last", "Transfer-Encoding: chunked, gzip\r\nContent-Length: 3\r\n",
         FRAME_BODY_LENGTH, 3},
        {"other coding", "Transfer-Encoding: gzip\r\n", FRAME_BODY_NONE, 0},
        {"chunked beats length", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
         FRAME_BODY_CHUNKED, 5},
        {"later field lists later codings",
         "Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n", FRAME_BODY_NONE, 0},
        {"empty later field", "Transfer-Encoding: chunked\r\nTransfer-Encoding: ,\r\n",
         FRAME_BODY_CHUNKED, 0},
        {"trailing comma and blanks", "Transfer-Encoding: gzip , chunked ,\r\n", FRAME_BODY_CHUNKED,
         0},
        {"chunked with a tail", "Transfer-Encoding: chunkedx\r\n", FRAME_BODY_NONE, 0},
    };
    for (const FrameCase &c : cases) {
        SCOPED_TRACE(c.label);
        std::string head = "POST /Content-Length:%2099 HTTP/1.1\r\n" + c.fields + "\r\n";
        frame_t r;
        frame_init(&r);
        Exact e(head);
        ASSERT_EQ(frame_find_head(&r, e.p.get(), e.len), e.len);
        EXPECT_EQ(frame_read_fields(&r, e.p.get(), e.len), c.body);
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(r.content_len, c.content_len);
    }
}

TEST(FrameFields, ExpectContinue) {
    const struct {
        const char *request_line;
        const char *fields;
        int expected;
    } cases[] = {
        {"POST / HTTP/1.1", "Expect: 100-continue\r\n", 1},
        {"POST / HTTP/1.1", "eXpEcT:\t 100-Continue \t\r\n", 1},
        {"POST / HTTP/1.1", "Host: x\r\nExpect: 100-continue\r\nContent-Length: 9\r\n", 1},
        {"POST / HTTP/2", "Expect: 100-continue\r\n", 1},
        {"POST / HTTP/1.10", "Expect: 100-continue\r\n", 1},
        {"POST / HTTP/1.0", "Expect: 100-continue\r\n", 0},
        {"POST / HTTP/0.9", "Expect: 100-continue\r\n", 0},
        {"POST /", "Expect: 100-continue\r\n", 0},
        {"POST / http/1.1", "Expect: 100-continue\r\n", 0},
        {"POST / HTTP/1.1x", "Expect: 100-continue\r\n", 0},
        {"POST / HTTP/1.1", "Expect: 100-continue, other\r\n", 0},
        {"POST / HTTP/1.1", "Expect: 200-ok\r\n", 0},
        {"POST / HTTP/1.1", "X-Expect: 100-continue\r\n", 0},
        {"POST / HTTP/1.1", "", 0},
    };
    for (const auto &c : cases) {
        std::string head = std::string(c.request_line) + "\r\n" + c.fields + "\r\n";
        SCOPED_TRACE(head);
        frame_t r;
        frame_init(&r);
        Exact e(head);
        frame_read_fields(&r, e.p.get(), e.len);
        EXPECT_EQ(r.expect_continue, c.expected);
    }
}

// Frames a request with the given fields and feeds it body, cut at the
// given points. Returns the first non-zero result of frame_feed, or 0.
int feed(const std::string &fields, const std::string &body, size_t step = 0) {
    std::string head = "POST / HTTP/1.1\r\n" + fields + "\r\n";
    frame_t r;
    frame_init(&r);
    frame_read_fields(&r, head.data(), int(head.size()));
    size_t n = step == 0 ? body.size() : step;
    for (size_t at = 0; at < body.size(); at += n) {
        Exact e(body.substr(at, n));
        int state = frame_feed(&r, e.p.get(), e.len);
        if (state != 0) {
            return state;
        }
    }
    return 0;
}

TEST(FrameFeed, LengthCountsDown) {
    const std::string cl = "Content-Length: 10\r\n";
    EXPECT_EQ(feed(cl, "0123456789"), 1);
    EXPECT_EQ(feed(cl, "0123456789", 1), 1);
    EXPECT_EQ(feed(cl, "0123", 4), 0);
    EXPECT_EQ(feed(cl, "0123456789 and more"), 1); // bytes past the end are not counted
    EXPECT_EQ(feed("", "anything"), 1);
}

const std::string te = "Transfer-Encoding: chunked\r\n";

TEST(FrameFeed, ChunkedComplete) {
    const std::string cases[] = {
        "0\r\n\r\n",
        "5\r\nhello\r\n0\r\n\r\n",
        "5\r\nhe\r\nl\r\n6\r\n world\r\n0\r\n\r\n",
        "A\r\n0123456789\r\na\r\n0123456789\r\n0\r\n\r\n",
        "000005\r\nhello\r\n00\r\n\r\n",
        "5;name=value\r\nhello\r\n0;last\r\n\r\n",
        "5 ;q=\"a b\"\r\nhello\r\n0\t\r\n\r\n",
        "3\r\n\0\r\n\r\n0\r\n\r\n"s,
        "1\r\nx\r\n0\r\nTrailer-One: a\r\nTrailer-Two: b\r\n\r\n",
        "2\r\nab\r\n0\r\nX: 0\r\n\r\n",
    };
    for (const std::string &body : cases) {
        SCOPED_TRACE(body);
        // Whole, byte by byte and in every other step size: complete only at
        // the last byte.
        for (size_t step = 0; step <= 7; step++) {
            EXPECT_EQ(feed(te, body, step), 1) << "step " << step;
        }
        for (size_t n = 0; n < body.size(); n++) {
            EXPECT_EQ(feed(te, body.substr(0, n)), 0) << "prefix " << n;
        }
        EXPECT_EQ(feed(te, body + "GET / HTTP/1.1\r\n\r\n"), 1); // pipelined bytes after it
    }
}

TEST(FrameFeed, ChunkedMalformed) {
    // Each body is malformed at its last byte: reading ends exactly there.
    const std::string cases[] = {
        "x",                 // not hex
        "\r",                // no size at all
        "-",                 // sign
        "5\n",               // bare LF after the size
        "5\r\nhelloX",       // no CRLF after the data
        "5\r\nhello\rX",     // CR without LF
        "8000000000000000",  // just past the 64-bit range
        "ffffffffffffffff",  // far beyond it
        "5 x",               // junk after the size
        "0\r\nTrailer: a\n", // bare LF in a trailer
        "5\r\nhello\r\n\r",  // an empty size line after data
        "0\r\nX: a\r\n\n",   // a bare LF ending the trailers
        "5;a\n",             // an LF inside a chunk extension
    };
    for (const std::string &body : cases) {
        SCOPED_TRACE(body);
        EXPECT_EQ(feed(te, body.substr(0, body.size() - 1)), 0);
        EXPECT_EQ(feed(te, body), -1);
        EXPECT_EQ(feed(te, body, 1), -1);
        EXPECT_EQ(feed(te, body + "more"), -1);
    }
    EXPECT_EQ(feed(te, "80000000\r\nab", 1), 0);         // past 2 GiB is fine
    EXPECT_EQ(feed(te, "7fffffffffffffff\r\nab", 1), 0); // and so is the largest size
}

} // namespace
