// The full-screen editor the host opens on a module's text for a user with
// an ANSI terminal: an EditorText, drawn with a ScreenPainter, driven by
// keys.
//
// Screen: the text area (all rows but the last two, scrolled to keep the
// cursor in view), a status line in reverse video (line, screen column,
// insert or overwrite, bytes used of the limit) and a line of key help.
//
// Keys while editing: characters insert at the cursor (Tab a blank), or
// overwrite once Insert switched to it; Enter splits the line; Backspace and
// Delete delete, and join lines at a line's start or end; the cursor keys,
// Home and Ctrl-A, End and Ctrl-E, PgUp and PgDn move; Ctrl-Y deletes the
// line; Ctrl-Z saves; Ctrl-L draws the screen anew (in the menu too). Esc
// opens a one-line menu: S saves, A abandons (asking first when the text
// changed), H shows the keys, C or Esc goes back to the text. A key that is
// refused (a limit reached, nothing to delete, a key the menu does not
// know) rings the bell.
//
// Contract: start() draws the whole screen; key() appends the update that
// shows the key's effect (what changed, not the whole screen) and answers
// save or abandon once the user is done: the owner then takes stored() and
// sends leave() to hand the screen back cleared. A window narrower than 80
// columns or lower than 10 rows does not fit (fits()); the owner should keep
// the line editor for it, though the editor still draws what it can.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "terminal/columns.h"
#include "terminal/editor_text.h"
#include "terminal/key.h"
#include "terminal/screen_painter.h"
#include "terminal/window.h"

namespace terminal {

class FullScreenEditor {
public:
    enum class Outcome { editing, save, abandon };

    // `size` is the module's buffer size, terminator included; a window
    // smaller than kMinWidth by kMinHeight (terminal/window.h; 0 by 0 too)
    // means unknown, laid out as 80 by 24, here and in resize(); `widths`,
    // the columns the terminal gives characters (Widths::narrow for CP437).
    FullScreenEditor(std::string_view text, size_t size, size_t width = 80, size_t height = 24,
                     Widths widths = Widths::unicode);

    static bool fits(size_t width, size_t height) { return width >= 80 && height >= 10; }

    void start(std::string& out);
    Outcome key(const Key& key, std::string& out);
    void resize(size_t width, size_t height, std::string& out);
    static void leave(std::string& out) { out += "\x1b[0m\x1b[H\x1b[2J"; }

    std::string stored() const { return text_.stored(); }
    const EditorText& text() const { return text_; }
    bool overwriting() const { return overwrite_; }

private:
    enum class Mode { editing, menu, confirm, help };

    Outcome editing(const Key& key, std::string& out);
    void set_window(size_t width, size_t height);
    size_t text_rows() const;
    Frame frame();

    EditorText text_;
    ScreenPainter painter_;
    Mode mode_ = Mode::editing;
    bool overwrite_ = false;
    size_t top_ = 0;  // the line shown on the first row
};

}  // namespace terminal
