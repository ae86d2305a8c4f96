#include "reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

const std::string fixed = "HTTP/1.1 200 OK\r\n"
                          "Server: quorvel (Power by dellabrix)\r\n"
                          "Content-Type: text/html\r\n"
                          "Content-Length: 14\r\n";
const std::string end = "Connection: close\r\n\r\nYou look good!";

std::string reply_to(const std::string &head, int cors) {
    frame_t f;
    frame_init(&f);
    EXPECT_EQ(frame_find_head(&f, head.data(), int(head.size())), int(head.size()));
    frame_read_fields(&f, head.data(), int(head.size()));
    reply_t r;
    int len = reply_make(&r, head.data(), &f, cors);
    EXPECT_EQ(len, r.len);
    return std::string(r.data, size_t(r.len));
}

// Every line of the header block is a field line: a name, ": ", and a value
// of visible ASCII, spaces and tabs; nothing else in between.
void expect_well_formed(const std::string &reply) {
    size_t at = reply.find("\r\n") + 2;
    for (size_t eol; (eol = reply.find("\r\n", at)) != at; at = eol + 2) {
        ASSERT_NE(eol, std::string::npos);
        std::string line = reply.substr(at, eol - at);
        size_t colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << line;
        for (char c : line) {
            EXPECT_TRUE((c >= 0x20 && c <= 0x7E) || c == '\t') << line;
        }
    }
    EXPECT_EQ(reply.substr(at), "\r\nYou look good!");
}

TEST(Reply, Table) {
    const std::string preflight = "OPTIONS /api HTTP/1.1\r\n"
                                  "Origin: http://localhost:8000\r\n"
                                  "Access-Control-Request-Method: PUT\r\n";
    const std::string asked = "Access-Control-Request-Headers: content-type,x-debug\r\n";
    const std::string granted = "Access-Control-Allow-Origin: http://localhost:8000\r\n"
                                "Access-Control-Allow-Credentials: true\r\n"
                                "Vary: Origin\r\n";
    const std::string long_origin = "http://" + std::string(4096 - 7 - 5, 'a') + ".test";
    const struct {
        const char *label;
        std::string fields; // after "GET / HTTP/1.1" or the preflight's lines
        int cors;
        bool preflight;
        std::string added; // between Content-Length and Connection
    } cases[] = {
        {"plain", "Host: x\r\n", 0, false, ""},
        {"an Origin, without --cors", "Origin: http://localhost:8000\r\n", 0, false, ""},
        {"a preflight, without --cors", asked, 0, true, ""},
        {"--cors, no Origin", "Host: x\r\n", 1, false,
         "Access-Control-Allow-Origin: *\r\nVary: Origin\r\n"},
        {"--cors, an Origin with a tab inside", "Origin: http://a\tb\r\n", 1, false,
         "Access-Control-Allow-Origin: http://a\tb\r\nAccess-Control-Allow-Credentials: true\r\n"
         "Vary: Origin\r\n"},
        {"--cors, an Origin holding DEL", "Origin: http://a\x7f\r\n", 1, false, "Vary: Origin\r\n"},
        {"--cors, an Origin", "Origin: http://localhost:8000\r\n", 1, false, granted},
        {"--cors, the first Origin, blanks around it, any letter case",
         "origin: \t http://localhost:8000 \r\nOrigin: http://other\r\n", 1, false, granted},
        {"--cors, Origin: null", "Origin: null\r\n", 1, false,
         "Access-Control-Allow-Origin: null\r\nAccess-Control-Allow-Credentials: true\r\n"
         "Vary: Origin\r\n"},
        {"--cors, a preflight", asked, 1, true,
         granted + "Access-Control-Allow-Methods: PUT\r\n"
                   "Access-Control-Allow-Headers: content-type,x-debug\r\n"},
        {"--cors, a preflight from a public page",
         asked + "Access-Control-Request-Private-Network: true\r\n", 1, true,
         granted + "Access-Control-Allow-Methods: PUT\r\n"
                   "Access-Control-Allow-Headers: content-type,x-debug\r\n"
                   "Access-Control-Allow-Private-Network: true\r\n"},
        {"--cors, a preflight from a page that does not ask for private network access",
         asked + "Access-Control-Request-Private-Network: false\r\n", 1, true,
         granted + "Access-Control-Allow-Methods: PUT\r\n"
                   "Access-Control-Allow-Headers: content-type,x-debug\r\n"},
        {"--cors, a request method outside a preflight",
         "Origin: http://localhost:8000\r\nAccess-Control-Request-Method: PUT\r\n", 1, false,
         granted},
        {"--cors, an Origin holding a bare CR", "Origin: http://a\rSet-Cookie: x=1\r\n", 1, false,
         "Vary: Origin\r\n"},
        {"--cors, an Origin holding a byte past ASCII", "Origin: http://caf\xc3\xa9\r\n", 1, false,
         "Vary: Origin\r\n"},
        {"--cors, an empty Origin", "Origin:  \r\n", 1, false, "Vary: Origin\r\n"},
        {"--cors, an Origin of 4 KiB", "Origin: " + long_origin + "\r\n", 1, false,
         "Access-Control-Allow-Origin: " + long_origin +
             "\r\nAccess-Control-Allow-Credentials: true\r\nVary: Origin\r\n"},
        {"--cors, an Origin over 4 KiB", "Origin: " + long_origin + "x\r\n", 1, false,
         "Vary: Origin\r\n"},
        {"--cors, a preflight asking for fields with a NUL",
         "Access-Control-Request-Headers: a\0b\r\n"s + asked, 1, true,
         granted + "Access-Control-Allow-Methods: PUT\r\n"},
        {"--cors, a preflight asking for no fields", "", 1, true,
         granted + "Access-Control-Allow-Methods: PUT\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string head = (c.preflight ? preflight : "GET / HTTP/1.1\r\n") + c.fields + "\r\n";
        std::string reply = reply_to(head, c.cors);
        EXPECT_EQ(reply, fixed + c.added + end);
        expect_well_formed(reply);
    }
}

TEST(Reply, Preflight) {
    frame_t f;
    frame_init(&f);
    const std::string heads[] = {
        "OPTIONS * HTTP/1.1\r\nAccess-Control-Request-Method: GET\r\n\r\n",
        "OPTIONS / HTTP/1.1\r\nOrigin: http://a\r\n\r\n",
        "options / HTTP/1.1\r\nAccess-Control-Request-Method: GET\r\n\r\n",
        "POST / HTTP/1.1\r\nAccess-Control-Request-Method: GET\r\n\r\n",
        "OPTIONSX / HTTP/1.1\r\nAccess-Control-Request-Method: GET\r\n\r\n",
    };
    const int expected[] = {1, 0, 0, 0, 0};
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(heads[i]);
        frame_init(&f);
        frame_read_fields(&f, heads[i].data(), int(heads[i].size()));
        EXPECT_EQ(reply_is_preflight(&f), expected[i]);
    }
}

} // namespace
