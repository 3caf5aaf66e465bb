// Pages the host's output: where one output would scroll text the user has
// not read yet off the top of the window, the pager stops at a "-- More --"
// prompt and holds the rest until the user asks for it.
//
// Contract:
//  - One output is everything the host sends for the user from the moment
//    the user's line is handed in to the next such moment; the owner calls
//    new_output() at each of those moments (the cursor then being at the
//    start of a row, after the echo of the line end).
//  - Paging works only while the window is known (set_window with one of at
//    least kMinWidth by kMinHeight, terminal/window.h: a smaller one counts
//    as unknown) and the user has not switched it off; otherwise write()
//    returns its bytes as they are.
//  - A page is height-1 rows; the last row is for the prompt. Every LF ends
//    a row, and so does every `width` columns printed without one
//    (characters take the columns set_widths() gives them, terminal/
//    columns.h, a wide one that does not fit in a row's last column going
//    to the next; escape sequences take none; CR, BS and TAB move within the
//    row). A character cut between two writes is held until its last byte
//    comes (new_output() sends it unfinished). write() returns the bytes to
//    send now. When the next character would print on the last row, or
//    scroll the page's first row off, it returns the bytes before it and the
//    prompt, holds the rest, and is paused: what is written while paused is
//    held too.
//  - While paused() the owner hands the user's keys to key(): Enter or space
//    erase the prompt and send the next page; Q (either case) erases it and
//    sends all that is held, and the rest of this output goes unpaged; other
//    keys do nothing. key() answers whether the key released held output;
//    the pager may be paused again right after (a full page more was held).
//  - What is held is the owner's output; held() tells how much, for the
//    owner to bound it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "terminal/columns.h"
#include "terminal/key.h"
#include "terminal/output.h"
#include "terminal/window.h"

namespace terminal {

class Pager {
public:
    static constexpr std::string_view kPrompt = "-- More --";

    // Takes effect from the next byte; a window smaller than kMinWidth by
    // kMinHeight (0 by 0 too) means unknown.
    void set_window(size_t width, size_t height);
    void set_widths(Widths widths) { widths_ = widths; }
    void set_enabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }

    // A new output begins; what is still held (only if the owner did not
    // wait for the reader) is returned to be sent first, unpaged.
    std::string new_output();
    std::string write(std::string_view bytes);

    bool paused() const { return paused_; }
    bool key(const Key& key, std::string& out);
    size_t held() const { return held_.size(); }

private:
    bool paging() const { return enabled_ && height_ > 0 && !stopped_; }
    std::string page(std::string_view bytes);
    std::string release();  // erases the prompt

    size_t width_ = 80;
    size_t height_ = 0;
    Widths widths_ = Widths::unicode;
    bool enabled_ = true;
    bool stopped_ = false;  // Q: the rest of this output unpaged
    bool paused_ = false;
    size_t rows_ = 0;       // rows the page has moved down
    size_t column_ = 0;
    EscapeScanner scanner_;
    std::string held_;
    std::string partial_;  // the start of a character the next write finishes
};

}  // namespace terminal
