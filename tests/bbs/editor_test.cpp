// The host's line editor as a module opens it with bgnedt: typed lines,
// its commands, the size limit, and how it ends.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::HostTest;
using Probe = hosttest::ProbeModule<30>;

struct Done {
    std::vector<int> results;
    std::vector<std::string> texts;  // the buffer as the done routine saw it
    std::vector<int> channels;
};
Done g_done;
char g_guard_area[8 + 512 + 8];  // the edited buffer lives inside, guarded on both sides

int16_t editor_done(int16_t result) {
    g_done.results.push_back(result);
    g_done.texts.push_back(g_guard_area + 8);
    g_done.channels.push_back(usrnum);
    usrptr->state = Probe::probe().number;
    usrptr->substate = 2;
    prf("done %d\r", result);
    outprf(usrnum);
    return 1;
}

class EditorTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        open();
        Probe::register_as("Probe", true);
        Probe::probe().on_input = [this] {
            if (margc && sameas(margv[0], "edit")) bgnedt(size_, g_guard_area + 8, 0, nullptr, editor_done, 0x40);
            return int16_t{1};
        };
        g_done = Done{};
        std::memset(g_guard_area, '#', sizeof g_guard_area);
        ch_ = online("Alice");
    }
    // Opens the editor on the text; its header is left in the output when asked.
    void begin(int size, const char* text, bool keep_header = false) {
        size_ = size;
        std::memcpy(g_guard_area + 8, text, std::strlen(text) + 1);
        host().line(ch_, "edit");
        ASSERT_TRUE(host().in_editor(ch_));
        if (!keep_header) host().take_output(ch_);
    }
    void expect_guards_intact() {
        for (int i = 0; i < 8; ++i) EXPECT_EQ(g_guard_area[i], '#') << "before the buffer, byte " << i;
        for (size_t i = 8 + static_cast<size_t>(size_); i < sizeof g_guard_area; ++i)
            EXPECT_EQ(g_guard_area[i], '#') << "after the buffer, byte " << i;
    }
    int size_ = 0;
    int ch_ = -1;
};

TEST_F(EditorTest, LinesGoToTheEditorAndAreJoinedWithCR) {
    begin(41, "");
    const int inputs_before = Probe::probe().inputs();
    host().line(ch_, "first line");
    host().line(ch_, "second");
    EXPECT_EQ(host().editor_text(ch_), "first line\rsecond");
    host().line(ch_, "/l");
    EXPECT_EQ(host().take_output(ch_), "1: first line\r2: second\r");
    EXPECT_EQ(Probe::probe().inputs(), inputs_before) << "editor lines never reach the module";
    host().line(ch_, "/s");
    EXPECT_FALSE(host().in_editor(ch_));
    EXPECT_EQ(g_done.results, std::vector<int>{0});
    EXPECT_EQ(g_done.texts, std::vector<std::string>{"first line\rsecond"});
    EXPECT_EQ(g_done.channels, std::vector<int>{ch_});
    EXPECT_EQ(host().take_output(ch_), "done 0\r");
    EXPECT_EQ(usroff(ch_)->substate, 2u);
    host().line(ch_, "after");
    EXPECT_EQ(Probe::probe().events.back(), "input 0 1");
}

TEST_F(EditorTest, NeverGrowsPastTheSize) {
    begin(21, "");
    host().line(ch_, "0123456789");       // 10
    host().line(ch_, "abcdefghi");        // 10 + CR + 9 = 20: fits exactly
    EXPECT_EQ(host().editor_text(ch_), "0123456789\rabcdefghi");
    EXPECT_EQ(host().take_output(ch_), "");
    host().line(ch_, "x");
    EXPECT_EQ(host().take_output(ch_), "Text is full.\r");
    EXPECT_EQ(host().editor_text(ch_), "0123456789\rabcdefghi");
    host().line(ch_, "/s");
    EXPECT_EQ(g_done.texts.back(), "0123456789\rabcdefghi");
    expect_guards_intact();
}

TEST_F(EditorTest, LongLinesAreWrappedAtBlanksWithANote) {
    struct Case {
        std::string typed;
        std::string stored;
    };
    const std::string w79(79, 'w'), a40(40, 'a'), b50(50, 'b');
    const Case cases[] = {
        {std::string(100, 'w'), w79 + "\r" + std::string(21, 'w')},           // one long word: broken
        {a40 + " " + b50, a40 + "\r" + b50},                                   // at the blank
        {std::string(79, 'x') + " next", std::string(79, 'x') + "\rnext"},    // the limit just before a blank
        // 80 two-byte characters: 79 of them, then the last; never half of one
        {[] { std::string s; for (int i = 0; i < 80; ++i) s += "\xc3\xa9"; return s; }(),
         [] { std::string s; for (int i = 0; i < 79; ++i) s += "\xc3\xa9"; return s + "\r\xc3\xa9"; }()},
    };
    for (const auto& c : cases) {
        begin(400, "");
        host().line(ch_, c.typed);
        EXPECT_EQ(host().take_output(ch_), "Line wrapped at 79 characters.\r") << c.typed;
        EXPECT_EQ(host().editor_text(ch_), c.stored) << c.typed;
        host().line(ch_, "/a");
    }
}

TEST_F(EditorTest, LinesAreDeletedReplacedAndInsertedByNumber) {
    struct Case {
        std::vector<std::string> typed;
        std::string stored;
        std::string last_reply;  // how the output ends, where it says something
    };
    const Case cases[] = {
        {{"/d 2"}, "one\rthree", "Line 2 deleted.\r"},
        {{"/e 1", "ONE"}, "ONE\rtwo\rthree", ""},
        {{"/i 1", "zero"}, "zero\rone\rtwo\rthree", ""},
        {{"/i 4", "four"}, "one\rtwo\rthree\rfour", ""},           // past the last: appended
        {{"/e 3", "/l"}, "one\rtwo\rthree", "1: one\r2: two\r3: three\r"},  // a command between: still pending
        {{"/d 4"}, "one\rtwo\rthree", "There is no line 4.\r"},
        {{"/e 0"}, "one\rtwo\rthree", "There is no line 0.\r"},
        {{"/d x"}, "one\rtwo\rthree\r/d x", ""},                     // no number: a line of text
    };
    for (const auto& c : cases) {
        begin(41, "one\rtwo\rthree");
        for (const auto& line : c.typed) host().line(ch_, line);
        EXPECT_EQ(host().editor_text(ch_), c.stored) << c.typed.front();
        const std::string shown = host().take_output(ch_);
        if (!c.last_reply.empty()) EXPECT_TRUE(shown.ends_with(c.last_reply)) << c.typed.front() << ": " << shown;
        host().line(ch_, "/a");
    }
    // An edit that would pass the size changes nothing.
    begin(16, "one\rtwo\rthree");
    host().line(ch_, "/e 2");
    host().line(ch_, "a much longer line");
    EXPECT_EQ(host().editor_text(ch_), "one\rtwo\rthree");
    EXPECT_NE(host().take_output(ch_).find("Text is full."), std::string::npos);
}

TEST_F(EditorTest, HeaderClearHelpAndAbandon) {
    begin(41, "old text", true);
    EXPECT_EQ(host().take_output(ch_), "Editing: up to 40 characters. /s saves, /a abandons, /h helps.\rold text\r");
    EXPECT_EQ(host().editor_size(ch_), 41u);
    EXPECT_EQ(host().editor_text(ch_), "old text");
    host().line(ch_, "/h");
    std::string help = host().take_output(ch_);
    for (const char* cmd : {"/s", "/a", "/l", "/c", "/h"}) EXPECT_NE(help.find(cmd), std::string::npos) << cmd;
    host().line(ch_, "/c");
    EXPECT_EQ(host().take_output(ch_), "Text cleared.\r");
    EXPECT_EQ(host().editor_text(ch_), "");
    host().line(ch_, "/l");
    EXPECT_EQ(host().take_output(ch_), "(The text is empty.)\r");
    host().line(ch_, "/A");
    EXPECT_EQ(g_done.results, std::vector<int>{1});
    EXPECT_FALSE(host().in_editor(ch_));
}

TEST_F(EditorTest, SaveAndAbandonFromOutside) {
    begin(11, "abc");
    host().editor_save(ch_, "this text is far too long");
    EXPECT_EQ(g_done.results, std::vector<int>{0});
    EXPECT_EQ(g_done.texts.back(), "this text ");
    expect_guards_intact();

    begin(11, "abc");
    host().editor_abandon(ch_);
    EXPECT_EQ(g_done.results, (std::vector<int>{0, 1}));
    EXPECT_EQ(g_done.texts.back(), "abc");
    host().editor_abandon(ch_);  // not in the editor: nothing happens
    EXPECT_EQ(g_done.results.size(), 2u);

    // Text from outside is never cut inside a character.
    std::memset(g_guard_area, '#', sizeof g_guard_area);
    begin(6, "");
    host().editor_save(ch_, "abcd\xc3\xa9");  // 6 bytes into 5
    EXPECT_EQ(g_done.texts.back(), "abcd");
    expect_guards_intact();
}

TEST_F(EditorTest, HangingUpAbandonsTheEditFirst) {
    begin(41, "draft");
    host().line(ch_, "more");
    host().hangup(ch_);
    EXPECT_EQ(g_done.results, std::vector<int>{1});
    EXPECT_EQ(g_done.channels, std::vector<int>{ch_});
    auto& events = Probe::probe().events;
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "hangup 0");
    EXPECT_EQ(events.back(), "logoff 0");
}

TEST_F(EditorTest, GlobalCommandsDoNotSeeEditorLines) {
    static int offered = 0;
    offered = 0;
    globalcmd([]() -> int32_t {
        ++offered;
        return 0;
    });
    begin(41, "");
    EXPECT_EQ(offered, 1) << "the line that opened the editor";
    host().line(ch_, "text");
    EXPECT_EQ(offered, 1);
    EXPECT_EQ(host().editor_text(ch_), "text");
}

}  // namespace
