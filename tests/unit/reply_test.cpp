#include "reply.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string fixed = "HTTP/1.1 200 OK\r\n"
                          "Server: quorvel (Power by dellabrix)\r\n"
                          "Content-Type: text/html\r\n"
                          "Content-Length: 14\r\n";
const std::string end = "Connection: close\r\n\r\nYou look good!";

// The reply to head, with status, made as the command line's fields, body
// (null: the default) and cors ask.
std::string reply_to(const std::string &head, int cors, int status = 200,
                     const std::vector<const char *> &fields = {},
                     const std::string *body = nullptr) {
    frame_t f;
    frame_init(&f);
    EXPECT_EQ(frame_find_head(&f, head.data(), int(head.size())), int(head.size()));
    frame_read_fields(&f, head.data(), int(head.size()));
    reply_t r;
    EXPECT_EQ(reply_init(&r, fields.data(), int(fields.size()), body ? body->data() : nullptr,
                         body ? int(body->size()) : 0, cors),
              0);
    int len = reply_make(&r, status, head.data(), &f);
    EXPECT_EQ(len, r.len);
    std::string reply(r.data, size_t(r.len));
    reply_destroy(&r);
    return reply;
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

TEST(Reply, AskedFor) {
    // The reply that -s, -H and --body ask for, to a plain GET and, with
    // --cors, to a request with an Origin.
    const std::string server = "Server: quorvel (Power by dellabrix)\r\n";
    const std::string type = "Content-Type: text/html\r\n";
    const std::string own = server + type + "Content-Length: 14\r\n";
    const std::string binary = "\0\r\n\xff\r\nend"s;
    const struct {
        const char *label;
        int status;
        std::vector<const char *> fields;
        const std::string *body;
        int cors;
        std::string expected;
    } cases[] = {
        {"a status and its reason",
         503,
         {},
         nullptr,
         0,
         "HTTP/1.1 503 Service Unavailable\r\n" + own + end},
        {"429", 429, {}, nullptr, 0, "HTTP/1.1 429 Too Many Requests\r\n" + own + end},
        {"an unregistered code keeps its space",
         599,
         {},
         nullptr,
         0,
         "HTTP/1.1 599 \r\n" + own + end},
        {"418 is registered unused", 418, {}, nullptr, 0, "HTTP/1.1 418 \r\n" + own + end},
        {"204: no body, no length",
         204,
         {},
         nullptr,
         0,
         "HTTP/1.1 204 No Content\r\n" + server + type + "Connection: close\r\n\r\n"},
        {"205",
         205,
         {},
         nullptr,
         0,
         "HTTP/1.1 205 Reset Content\r\n" + server + type + "Connection: close\r\n\r\n"},
        {"304, with --cors and a field",
         304,
         {"ETag: \"a\""},
         nullptr,
         1,
         "HTTP/1.1 304 Not Modified\r\n" + server + type +
             "Access-Control-Allow-Origin: http://a\r\nAccess-Control-Allow-Credentials: "
             "true\r\nVary: Origin\r\nETag: \"a\"\r\nConnection: close\r\n\r\n"},
        {"Server and Content-Type replaced where they stand, in any letter case",
         200,
         {"content-TYPE: application/json", "X-A: 1", "SERVER:gone fishing"},
         nullptr,
         0,
         "HTTP/1.1 200 OK\r\nSERVER:gone fishing\r\ncontent-TYPE: application/json\r\n"
         "Content-Length: 14\r\nX-A: 1\r\n" +
             end},
        {"the last of a name counts",
         200,
         {"Server: a", "Server: b"},
         nullptr,
         0,
         "HTTP/1.1 200 OK\r\nServer: b\r\n" + type + "Content-Length: 14\r\n" + end},
        {"Server: left out; X; sent empty; X: alone adds nothing",
         200,
         {"Server:", "X-Empty;", "X-None: \t", "content-type;"},
         nullptr,
         0,
         "HTTP/1.1 200 OK\r\ncontent-type:\r\nContent-Length: 14\r\nX-Empty:\r\n" + end},
        {"added fields in the order given, after the grant, repeats kept",
         200,
         {"Set-Cookie: a=1", "Retry-After: 1", "Set-Cookie: b=2"},
         nullptr,
         1,
         "HTTP/1.1 200 OK\r\n" + own +
             "Access-Control-Allow-Origin: http://a\r\nAccess-Control-Allow-Credentials: "
             "true\r\nVary: Origin\r\nSet-Cookie: a=1\r\nRetry-After: 1\r\nSet-Cookie: "
             "b=2\r\n" +
             end},
        {"a binary body with NUL and CR LF, and its length",
         201,
         {},
         &binary,
         0,
         "HTTP/1.1 201 Created\r\n" + server + type +
             "Content-Length: 9\r\nConnection: close\r\n\r\n" + binary},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string head =
            c.cors ? "GET / HTTP/1.1\r\nOrigin: http://a\r\n\r\n" : "GET / HTTP/1.1\r\n\r\n";
        EXPECT_EQ(reply_to(head, c.cors, c.status, c.fields, c.body), c.expected);
    }
    // Made once, the reply is made again for each request, whatever came
    // before: a longer status line, then a shorter one, then a grant.
    frame_t f;
    frame_init(&f);
    const std::string head = "GET / HTTP/1.1\r\nOrigin: http://a\r\n\r\n";
    frame_read_fields(&f, head.data(), int(head.size()));
    reply_t r;
    const char *fields[] = {"X-A: 1"};
    ASSERT_EQ(reply_init(&r, fields, 1, nullptr, 0, 1), 0);
    for (int status : {511, 200, 204, 599, 200}) {
        SCOPED_TRACE(status);
        reply_make(&r, status, head.data(), &f);
        EXPECT_EQ(std::string(r.data, size_t(r.len)), reply_to(head, 1, status, {"X-A: 1"}));
    }
    reply_destroy(&r);
}

TEST(Reply, Reserved) {
    const struct {
        const char *name;
        int cors;
        int reserved;
    } cases[] = {
        {"Content-Length", 0, 1},
        {"transfer-ENCODING", 0, 1},
        {"Connection", 0, 1},
        {"Vary", 0, 0},
        {"Vary", 1, 1},
        {"access-control-allow-origin", 1, 1},
        {"Access-Control-Max-Age", 1, 0},
        {"Content-Lengths", 0, 0},
        {"Server", 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reply_field_reserved(c.name, int(strlen(c.name)), c.cors), c.reserved);
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
