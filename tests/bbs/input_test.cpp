// Typed lines: control characters, cutting, words, rstrin and the text
// helpers, seen from a module's input routine.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::HostTest;
using Probe = hosttest::ProbeModule<1>;

struct Seen {
    std::vector<std::string> words;
    std::string rejoined;
    int32_t count_after = -1;
};

class InputTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        open();
        Probe::register_as("Probe");
        Probe::probe().take_on_logon = true;
        Probe::probe().on_input = [this] {
            seen_ = Seen{};
            for (int i = 0; i < margc; ++i) seen_.words.push_back(margv[i]);
            rstrin();
            seen_.count_after = margc;
            seen_.rejoined = margc ? margv[0] : "";
            return int16_t{1};
        };
        add_account("Alice");
        ch_ = host().logon("Alice");
        host().take_output(ch_);
    }
    Seen seen_;
    int ch_ = -1;
};

TEST_F(InputTest, WordsAreSplitAndRstrinRejoinsThem) {
    host().line(ch_, "  look   at  the dragon  ");
    EXPECT_EQ(seen_.words, (std::vector<std::string>{"look", "at", "the", "dragon"}));
    EXPECT_EQ(seen_.count_after, 1);
    EXPECT_EQ(seen_.rejoined, "look   at  the dragon");

    host().line(ch_, "");
    EXPECT_TRUE(seen_.words.empty());
    EXPECT_EQ(seen_.count_after, 0);

    host().line(ch_, "     ");
    EXPECT_TRUE(seen_.words.empty());
    EXPECT_EQ(seen_.count_after, 0);

    host().line(ch_, "single");
    EXPECT_EQ(seen_.words, std::vector<std::string>{"single"});
    EXPECT_EQ(seen_.rejoined, "single");
}

TEST_F(InputTest, TheRawLineStaysInInputAndRstrinKeepsLaterWordPointers) {
    Probe::probe().on_input = [this] {
        const char* second = margc > 1 ? margv[1] : nullptr;
        rstrin();
        seen_.rejoined = second ? second : "";
        seen_.words = {input};
        return int16_t{1};
    };
    host().line(ch_, "look Sir Bors");
    EXPECT_EQ(seen_.rejoined, "Sir Bors");
    EXPECT_EQ(seen_.words[0], "look Sir Bors");
}

TEST_F(InputTest, ControlCharactersNeverReachTheModule) {
    host().line(ch_, std::string("he\x1b[1ml\x07lo\x7f w\torld\r\n", 20));
    EXPECT_EQ(seen_.words, (std::vector<std::string>{"hello", "world"}));
}

TEST_F(InputTest, LongLinesAreCutToTheInputBuffer) {
    std::string line(1000, 'a');
    host().line(ch_, line);
    ASSERT_EQ(seen_.words.size(), 1u);
    EXPECT_EQ(seen_.words[0].size(), static_cast<size_t>(HOST_INPSIZ - 1));
}

TEST(TextHelpers, SameasSametoDepadStzcpy) {
    EXPECT_EQ(sameas("Yes", "yES"), 1);
    EXPECT_EQ(sameas("Yes", "Ye"), 0);
    EXPECT_EQ(sameas("", ""), 1);
    EXPECT_EQ(sameto("y", "Yes"), 1);
    EXPECT_EQ(sameto("YE", "Yes"), 1);
    EXPECT_EQ(sameto("yes", "Yes"), 1);
    EXPECT_EQ(sameto("yeah", "Yes"), 0);
    EXPECT_EQ(sameto("yess", "Yes"), 0);
    EXPECT_EQ(sameto("no", "Yes"), 0);
    EXPECT_EQ(sameto("", "Yes"), 1);  // an empty part leads every text

    char padded[] = "text with blanks  \t  ";
    EXPECT_EQ(depad(padded), padded);
    EXPECT_STREQ(padded, "text with blanks");
    char blanks[] = "    ";
    EXPECT_STREQ(depad(blanks), "");

    char dst[8];
    std::memset(dst, 'z', sizeof dst);
    stzcpy(dst, "abcdefghijk", sizeof dst);
    EXPECT_STREQ(dst, "abcdefg");
    stzcpy(dst, "ab", sizeof dst);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(dst[7], '\0');
}

}  // namespace
