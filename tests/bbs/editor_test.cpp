// The host's bgnedt line editor: lines, commands, size, end (through bbshost: e2e test_host_sessions).

#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::HostTest;
using Probe = hosttest::ProbeModule<30>;

std::vector<std::string> g_done;  // "result channel: text in the buffer" of each call of the done routine
char g_guard_area[8 + 512 + 8];  // the edited buffer lives inside, guarded on both sides

int16_t editor_done(int16_t result) {
    g_done.push_back(std::to_string(result) + " " + std::to_string(usrnum) + ": " + (g_guard_area + 8));
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
        Probe::register_as("Probe", true);
        Probe::probe().on_input = [this] {
            if (margc && sameas(margv[0], "edit")) bgnedt(size_, g_guard_area + 8, 0, nullptr, editor_done, 0x40);
            return int16_t{1};
        };
        g_done.clear();
        ch_ = online("Alice");
    }
    // Opens the editor on the text; its header is left in the output when asked.
    void begin(int size, const char* text, bool keep_header = false) {
        size_ = size;
        std::memset(g_guard_area, '#', sizeof g_guard_area);
        std::memcpy(g_guard_area + 8, text, std::strlen(text) + 1);
        host().line(ch_, "edit");
        ASSERT_TRUE(host().in_editor(ch_));
        if (!keep_header) output(ch_);
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
    static int offered;  // lines offered to the global commands
    offered = 0;
    globalcmd([]() -> int32_t { return ++offered, 0; });
    begin(41, "");
    EXPECT_EQ(offered, 1) << "the line that opened the editor";
    const int inputs_before = Probe::probe().inputs();
    host().line(ch_, "first line");
    host().line(ch_, "second");
    EXPECT_EQ(host().editor_text(ch_), "first line\rsecond");
    EXPECT_EQ(Probe::probe().inputs(), inputs_before) << "editor lines never reach the module";
    EXPECT_EQ(offered, 1) << "nor the global commands";
    host().line(ch_, "/s");
    EXPECT_FALSE(host().in_editor(ch_));
    EXPECT_EQ(g_done, std::vector<std::string>{"0 0: first line\rsecond"});
    EXPECT_EQ(output(ch_), "done 0\r");
    EXPECT_EQ(usroff(ch_)->substate, 2u);
    host().line(ch_, "after");
    EXPECT_EQ(Probe::probe().events.back(), "input 0 1");
}

// Lines typed into an editor of a size on a text: what it holds, what it says last (null: unchecked).
TEST_F(EditorTest, LinesAreWrappedLimitedAndEditedByNumber) {
    struct Case { int size; const char* loaded; std::vector<std::string> typed; std::string stored; const char* reply; };
    const std::string a40(40, 'a'), b50(50, 'b');
    const char* wrapped = "Line wrapped at 79 characters.\r";
    std::string e80, e79;  // two-byte characters: never half of one
    for (int i = 0; i < 80; ++i) e80 += "\xc3\xa9";
    for (int i = 0; i < 79; ++i) e79 += "\xc3\xa9";
    const Case cases[] = {
        {21, "", {"0123456789", "abcdefghi"}, "0123456789\rabcdefghi", ""},  // 20 bytes: fits exactly
        {21, "", {"0123456789", "abcdefghi", "x"}, "0123456789\rabcdefghi", "Text is full.\r"},
        {400, "", {a40 + " " + b50}, a40 + "\r" + b50, wrapped},  // at the blank
        {400, "", {std::string(79, 'x') + " next"}, std::string(79, 'x') + "\rnext", wrapped},
        {400, "", {e80}, e79 + "\r\xc3\xa9", wrapped},
        {41, "one\rtwo\rthree", {"/d 2"}, "one\rthree", "Line 2 deleted.\r"},
        {41, "one\rtwo\rthree", {"/e 1", "ONE"}, "ONE\rtwo\rthree", nullptr},
        {41, "one\rtwo\rthree", {"/i 1", "zero"}, "zero\rone\rtwo\rthree", nullptr},
        {41, "one\rtwo\rthree", {"/i 4", "four"}, "one\rtwo\rthree\rfour", nullptr},  // past the last: appended
        {41, "one\rtwo\rthree", {"/e 3", "/l"}, "one\rtwo\rthree", "1: one\r2: two\r3: three\r"},  // still pending
        {41, "one\rtwo\rthree", {"/d 4"}, "one\rtwo\rthree", "There is no line 4.\r"},
        {41, "one\rtwo\rthree", {"/e 0"}, "one\rtwo\rthree", "There is no line 0.\r"},
        {41, "one\rtwo\rthree", {"/d x"}, "one\rtwo\rthree\r/d x", nullptr},  // no number: a line of text
        {16, "one\rtwo\rthree", {"/e 2", "a much longer line"}, "one\rtwo\rthree", "Text is full.\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.back());
        begin(c.size, c.loaded);
        for (const auto& line : c.typed) host().line(ch_, line);
        EXPECT_EQ(host().editor_text(ch_), c.stored);
        const std::string shown = output(ch_);
        if (c.reply) { EXPECT_TRUE(shown.ends_with(c.reply) && (*c.reply || shown.empty())) << shown; }
        host().line(ch_, "/s");
        EXPECT_EQ(g_done.back(), "0 0: " + c.stored);
        expect_guards_intact();
    }
}

TEST_F(EditorTest, HeaderEmptyListingAndAbandon) {
    begin(41, "old text", true);
    EXPECT_EQ(output(ch_), "Editing: up to 40 characters. /s saves, /a abandons, /h helps.\rold text\r");
    EXPECT_EQ(host().editor_size(ch_), 41u);
    const std::string help = type(ch_, "/h");
    for (const char* cmd : {"/s", "/a", "/l", "/c", "/h"}) EXPECT_NE(help.find(cmd), std::string::npos) << cmd;
    type(ch_, "/c");
    EXPECT_EQ(type(ch_, "/l"), "(The text is empty.)\r");
    host().line(ch_, "/A");
    ASSERT_EQ(g_done.size(), 1u);
    EXPECT_EQ(g_done[0].substr(0, 4), "1 0:");
    EXPECT_FALSE(host().in_editor(ch_));
}

TEST_F(EditorTest, SaveAndAbandonFromOutside) {
    begin(11, "abc");
    host().editor_save(ch_, "this text is far too long");
    EXPECT_EQ(g_done, std::vector<std::string>{"0 0: this text "});
    expect_guards_intact();

    begin(11, "abc");
    host().editor_abandon(ch_);
    host().editor_abandon(ch_);  // not in the editor: nothing happens
    EXPECT_EQ(g_done, (std::vector<std::string>{"0 0: this text ", "1 0: abc"}));

    begin(6, "");  // Text from outside is never cut inside a character.
    host().editor_save(ch_, "abcd\xc3\xa9");  // 6 bytes into 5
    EXPECT_EQ(g_done.back(), "0 0: abcd");
    expect_guards_intact();
}

// The opening is told in its place among the call's output; a front end that edits on a screen of its own
// gets it without the banner. A rolled-back call withholds the banner, and the editor stays open.
TEST_F(EditorTest, TheOpeningComesInItsPlaceAndWithoutTheBannerOnAScreenOfItsOwn) {
    const std::string banner = "Editing: up to 40 characters. /s saves, /a abandons, /h helps.\r";
    const std::string refused = "\r*** The host could not store that: its database refused the change (the disk may be "
                                "full). Nothing of it was saved or charged. Press Enter to go on. ***\r";
    struct Case { bool own_screen, rolled_back; std::string shown; };
    const Case cases[] = {{false, false, "before\r" + banner + "after\r"},
                          {true, false, "before\r<editor>after\r"},
                          {false, true, refused},
                          {true, true, refused + "<editor>"}};
    static bool refuse;
    static int round = 0;
    Probe::probe().on_input = [this] {
        prf("before\r");
        outprf(usrnum);
        if (refuse) faults().fail_write(1);
        insert(hosttest::record(usaptr->userid, "E" + std::to_string(++round)));
        bgnedt(41, g_guard_area + 8, 0, nullptr, editor_done, 0x40);
        prf("after\r");
        outprf(usrnum);
        return int16_t{1};
    };
    g_guard_area[8] = '\0';
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.own_screen ? "own screen" : "line editor") + (c.rolled_back ? ", rolled back" : ""));
        front_.edit_on_own_screen(c.own_screen);
        refuse = c.rolled_back;
        host().line(ch_, "edit");
        EXPECT_EQ(output(ch_), c.shown);
        EXPECT_TRUE(host().in_editor(ch_));
        host().editor_abandon(ch_);
        output(ch_);
    }
}

}  // namespace
