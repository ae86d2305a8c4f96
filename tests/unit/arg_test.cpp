#include "arg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Case {
    const char *label;
    std::vector<std::string> words; // argument 0 included
    const char *value;              // expected value of "-l", or null
    int exists;                     // expected arg_is_exists for "-l"
};

TEST(Arg, LookupOfL) {
    const Case cases[] = {
        {"no arguments", {"quorvel"}, nullptr, 0},
        {"value", {"quorvel", "-l", "8080"}, "8080", 1},
        {"first value wins", {"quorvel", "-l", "1", "-l", "2"}, "1", 1},
        {"option as value", {"quorvel", "-l", "-l"}, "-l", 1},
        {"last word", {"quorvel", "8080", "-l"}, nullptr, 1},
        {"last then none", {"quorvel", "-x", "-l"}, nullptr, 1},
        {"upper case", {"quorvel", "-L", "8080"}, nullptr, 0},
        {"run together", {"quorvel", "-l8080"}, nullptr, 0},
        {"longer word", {"quorvel", "-ll", "8080"}, nullptr, 0},
        {"program path matches", {"-l", "9"}, "9", 1},
        {"unknown flags ignored", {"quorvel", "-v", "x", "-l", "7"}, "7", 1},
        {"empty value", {"quorvel", "-l", ""}, "", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<char *> argv;
        for (const std::string &w : c.words) {
            argv.push_back(const_cast<char *>(w.c_str()));
        }
        arg_t a;
        EXPECT_EQ(arg_init(&a, static_cast<int>(argv.size()), argv.data()), 0);
        char *v = arg_get_value(&a, "-l");
        if (c.value == nullptr) {
            EXPECT_EQ(v, nullptr);
        } else {
            ASSERT_NE(v, nullptr);
            EXPECT_STREQ(v, c.value);
            EXPECT_NE(std::find(argv.begin(), argv.end(), v), argv.end()) << "not the word itself";
        }
        EXPECT_EQ(arg_is_exists(&a, "-l"), c.exists);
    }
}

TEST(Arg, NoWords) {
    arg_t a;
    arg_init(&a, 0, nullptr);
    EXPECT_EQ(arg_get_value(&a, "-l"), nullptr);
    EXPECT_EQ(arg_is_exists(&a, "-l"), 0);
}

} // namespace
