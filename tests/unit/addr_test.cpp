#include "sock.h"

#include <net/if.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The peer's address as the announcement shows it.
TEST(SockAddr, Text) {
    struct Case {
        const char *label;
        int family;
        const char *address;
        unsigned scope;
        std::string text;
    };
    const unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    const Case cases[] = {
        {"IPv4", AF_INET, "192.0.2.7", 0, "192.0.2.7"},
        {"IPv4 mapped into IPv6", AF_INET6, "::ffff:127.0.0.1", 0, "127.0.0.1"},
        {"IPv6, compressed", AF_INET6, "2001:db8:0:0:0:0:0:1", 0, "[2001:db8::1]"},
        {"link-local with its zone", AF_INET6, "fe80::1", lo, "[fe80::1%lo]"},
        {"a zone whose interface has gone", AF_INET6, "fe80::2", 987654, "[fe80::2%987654]"},
    };
    for (const Case &c : cases) {
        sock_addr_t a;
        memset(&a, 0, sizeof a);
        a.sa.sa_family = static_cast<sa_family_t>(c.family);
        void *bytes = c.family == AF_INET6 ? static_cast<void *>(&a.in6.sin6_addr)
                                           : static_cast<void *>(&a.in.sin_addr);
        ASSERT_EQ(inet_pton(c.family, c.address, bytes), 1) << c.label;
        a.in6.sin6_scope_id = c.family == AF_INET6 ? c.scope : 0;
        char text[SOCK_ADDR_TEXT];
        sock_addr_text(&a, text);
        EXPECT_EQ(text, c.text) << c.label;
    }
}

// -b's value: numeric addresses only, an IPv6 zone by name or number.
TEST(SockAddr, Parse) {
    const unsigned lo = if_nametoindex("lo");
    const std::string by_number = "fe80::1%" + std::to_string(lo);
    const struct {
        std::string text;
        int family; // 0: refused
        std::string shown;
    } cases[] = {
        {"127.0.0.1", AF_INET, "127.0.0.1"},
        {"0.0.0.0", AF_INET, "0.0.0.0"},
        {"::1", AF_INET6, "[::1]"},
        {"::", AF_INET6, "[::]"},
        {"fe80::1%lo", AF_INET6, "[fe80::1%lo]"},
        {by_number, AF_INET6, "[fe80::1%lo]"},
        {"fe80::1%0", 0, ""},
        {"fe80::1%4294967296", 0, ""},
        {"fe80::1%", 0, ""},
        {"fe80::1%no-such-interface", 0, ""},
        {"1.2.3", 0, ""},
        {"localhost", 0, ""},
        {"[::1]", 0, ""},
        {"1111:2222:3333:4444:5555:6666:123.123.123.123", AF_INET6,
         "[1111:2222:3333:4444:5555:6666:7b7b:7b7b]"}, // the longest text, 45 bytes
        {"1111:2222:3333:4444:5555:6666:123.123.123.123%lo", AF_INET6,
         "[1111:2222:3333:4444:5555:6666:7b7b:7b7b%lo]"},
        {"01111:2222:3333:4444:5555:6666:123.123.123.123", 0, ""}, // one byte more
        {"127.0.0.1%lo", 0, ""},
        {"", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        sock_addr_t a;
        ASSERT_EQ(sock_addr_parse(&a, c.text.c_str()), c.family != 0 ? 0 : -1);
        if (c.family != 0) {
            char text[SOCK_ADDR_TEXT];
            sock_addr_text(&a, text);
            EXPECT_EQ(a.sa.sa_family, c.family);
            EXPECT_EQ(text, c.shown);
            EXPECT_EQ(sock_addr_port(&a), 0);
            EXPECT_EQ(sock_addr_is_any6(&a), c.text == "::");
        }
    }
}

} // namespace
