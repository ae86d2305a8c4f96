#include "alloc_fail.h"
#include "buf.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

// A buffer that frees itself at the end of a test.
struct Buf {
    buf_t b;
    Buf() {
        EXPECT_EQ(buf_init(&b), 0);
    }
    ~Buf() {
        buf_destroy(&b);
    }
    std::string text() {
        return std::string(buf_get_head(&b), static_cast<size_t>(buf_get_length(&b)));
    }
};

void push(buf_t *b, const std::string &s) {
    ASSERT_EQ(buf_push(b, s.data(), static_cast<int>(s.size())), static_cast<int>(s.size()));
}

TEST(Buf, GrowsToExactFit) {
    Buf x;
    char chunk[512];
    memset(chunk, 'a', sizeof chunk);
    EXPECT_EQ(buf_get_size(&x.b), BUF_DEFAULT_SIZE);
    EXPECT_EQ(buf_push(&x.b, chunk, 512), 512);
    char *first = x.b.base;
    EXPECT_EQ(buf_push(&x.b, chunk, 512), 512);
    EXPECT_EQ(x.b.base, first) << "a push that exactly fits the free room must not grow";
    EXPECT_EQ(x.b.tail, 1024);
    EXPECT_EQ(buf_get_free(&x.b), 0);
    buf_to_str(&x.b); // the spare byte takes the terminator of a full buffer
    EXPECT_EQ(x.b.base[1024], '\0');
    EXPECT_EQ(buf_push(&x.b, chunk, 512), 512);
    EXPECT_EQ(buf_get_size(&x.b), 1536);
    EXPECT_EQ(buf_get_free(&x.b), 0);
    buf_to_str(&x.b); // storage is 1537 bytes: ASan catches anything less
    EXPECT_EQ(strlen(buf_get_head(&x.b)), 1536u);
}

TEST(Buf, PushOfNothingChangesNothing) {
    Buf x;
    push(&x.b, "abc");
    for (int size : {0, -1, -1000}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(buf_push(&x.b, "zzz", size), 0);
        EXPECT_EQ(x.text(), "abc");
        EXPECT_EQ(buf_get_size(&x.b), BUF_DEFAULT_SIZE);
    }
}

TEST(Buf, WithoutStorage) {
    buf_t b;
    {
        alloc_fail_scope fail;
        EXPECT_EQ(buf_init(&b), -1);
    }
    EXPECT_EQ(b.base, nullptr);
    EXPECT_EQ(b.head | b.tail | b.size, 0);
    EXPECT_EQ(buf_get_head(&b), nullptr);
    EXPECT_EQ(buf_get_tail(&b), nullptr);
    buf_to_str(&b); // nothing to terminate, and no crash
    EXPECT_EQ(buf_realloc(&b, 100), nullptr);
    EXPECT_EQ(b.base, nullptr);

    // A push allocates exactly what it needs, plus the spare byte.
    push(&b, "hello");
    EXPECT_EQ(buf_get_size(&b), 5);
    EXPECT_EQ(buf_get_length(&b), 5);
    buf_to_str(&b);
    EXPECT_STREQ(buf_get_head(&b), "hello");

    // The same after buf_destroy; destroying twice is harmless.
    EXPECT_EQ(buf_destroy(&b), 0);
    EXPECT_EQ(buf_destroy(&b), 0);
    EXPECT_EQ(b.base, nullptr);
    push(&b, "xy");
    EXPECT_EQ(buf_get_size(&b), 2);
    buf_destroy(&b);
}

TEST(Buf, FailedGrowthKeepsEverything) {
    Buf x;
    std::string stored(1000, 'k');
    push(&x.b, stored);
    buf_t before = x.b;
    const std::string more(100, 'n'); // made first: a static C++ runtime's new is wrapped too
    {
        alloc_fail_scope fail;
        EXPECT_EQ(buf_push(&x.b, more.data(), 100), 0);
        EXPECT_EQ(buf_realloc(&x.b, 4096), nullptr);
    }
    EXPECT_EQ(x.b.base, before.base);
    EXPECT_EQ(x.b.head, before.head);
    EXPECT_EQ(x.b.tail, before.tail);
    EXPECT_EQ(x.b.size, before.size);
    EXPECT_EQ(x.text(), stored);
    // And the next push, with memory back, succeeds.
    push(&x.b, "tail");
    EXPECT_EQ(x.text(), stored + "tail");
}

TEST(Buf, CapacityPastIntRangeIsRefused) {
    Buf x;
    push(&x.b, "abcd");
    // The sizes alone would pass INT_MAX; nothing is read from src.
    EXPECT_EQ(buf_push(&x.b, "", 0x7fffffff - 2), 0);
    EXPECT_EQ(x.text(), "abcd");
    EXPECT_EQ(buf_get_size(&x.b), BUF_DEFAULT_SIZE);
    EXPECT_EQ(buf_realloc(&x.b, 0x7fffffff), nullptr);
}

TEST(Buf, ShiftAndPop) {
    Buf x;
    push(&x.b, "0123456789");
    char out[16] = {};
    EXPECT_EQ(buf_shift(&x.b, out, 3), 3);
    EXPECT_STREQ(out, "012");
    EXPECT_EQ(buf_pop(&x.b, out, 2), 2);
    EXPECT_STREQ(out, "892");
    EXPECT_EQ(x.text(), "34567");
    EXPECT_EQ(*buf_get_tail(&x.b), '7');

    // Too much is refused and changes nothing; null destinations discard.
    EXPECT_EQ(buf_shift(&x.b, out, 6), -1);
    EXPECT_EQ(buf_pop(&x.b, out, 6), -1);
    EXPECT_EQ(buf_shift(&x.b, out, 0), 0);
    EXPECT_EQ(buf_pop(&x.b, nullptr, -2), 0);
    EXPECT_EQ(x.text(), "34567");
    EXPECT_EQ(buf_pop(&x.b, nullptr, 1), 1);
    EXPECT_EQ(buf_shift(&x.b, nullptr, 1), 1);
    EXPECT_EQ(x.text(), "456");

    // Shifting everything leaves head at tail, not at 0, and free unchanged.
    int free_before = buf_get_free(&x.b);
    EXPECT_EQ(buf_shift(&x.b, nullptr, 3), 3);
    EXPECT_EQ(x.b.head, x.b.tail);
    EXPECT_EQ(x.b.head, 7);
    EXPECT_EQ(buf_get_length(&x.b), 0);
    EXPECT_EQ(buf_get_free(&x.b), free_before);
    EXPECT_EQ(buf_get_tail(&x.b), nullptr);

    push(&x.b, "ab");
    EXPECT_EQ(buf_pop(&x.b, out, 2), 2); // popping the whole length is fine
    EXPECT_EQ(buf_get_length(&x.b), 0);
}

TEST(Buf, ReadBounds) {
    Buf x;
    push(&x.b, "xx0123456789");
    ASSERT_EQ(buf_shift(&x.b, nullptr, 2), 2); // offsets count from the head
    struct {
        int start, len, result;
        const char *copied;
    } cases[] = {
        {0, 10, 10, "0123456789"}, // the whole stored length
        {0, 9, 9, "012345678"},    {3, 7, 7, "3456789"}, {9, 1, 1, "9"},  {10, 1, -1, ""},
        {0, 11, -1, ""},           {4, 7, -1, ""},       {-1, 2, -1, ""}, {0x7fffffff, 1, -1, ""},
        {1, 0x7fffffff, -1, ""},   {0, 0, 0, ""},        {2, -5, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " len " << c.len);
        char out[32] = {};
        EXPECT_EQ(buf_read(&x.b, c.start, c.len, out), c.result);
        EXPECT_STREQ(out, c.copied);
    }
    EXPECT_EQ(x.text(), "0123456789"); // reads never consume
}

TEST(Buf, CleanResetAndRealloc) {
    Buf x;
    push(&x.b, std::string(2000, 'q'));
    ASSERT_EQ(buf_shift(&x.b, nullptr, 10), 10);
    EXPECT_EQ(buf_clean(&x.b), 0);
    EXPECT_EQ(x.b.head, 0);
    EXPECT_EQ(x.b.tail, 0);
    EXPECT_EQ(buf_get_size(&x.b), 2000); // clean keeps the capacity

    push(&x.b, "abc");
    EXPECT_EQ(buf_realloc(&x.b, 2), nullptr); // below the tail
    EXPECT_EQ(buf_realloc(&x.b, -1), nullptr);
    EXPECT_NE(buf_realloc(&x.b, 3), nullptr);
    EXPECT_EQ(buf_get_size(&x.b), 3);
    EXPECT_EQ(x.text(), "abc");

    EXPECT_EQ(buf_reset(&x.b), 0);
    EXPECT_EQ(buf_get_size(&x.b), BUF_DEFAULT_SIZE);
    EXPECT_EQ(buf_get_length(&x.b), 0);
    EXPECT_EQ(x.b.head, 0);
}

} // namespace
