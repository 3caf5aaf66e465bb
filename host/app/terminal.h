// The terminal layer of one session, between its transport and the
// session: typed bytes become lines (input decoding and line editing), and
// what the host and the session print becomes the bytes the user's
// terminal is sent (output shaping).
//
// Line mode (until the transport's character mode begins, and for every
// client that does not agree to it): the client edits the line and shows it
// (a line ends at CR, LF, CR LF or CR NUL; BS and DEL take back the last
// byte; at most kMaxLine bytes of a line are kept, the rest is dropped, and
// the host cuts the cleaned line further: bbs/input.h). A secret line (a
// password) is typed with the client's echo off; its line end, which the
// client did not show either, is sent when the secret line is over.
//
// Character mode: the host decodes the keys (terminal/input_decoder.h) and
// edits and echoes the line itself (terminal/input_line.h, kMaxLine bytes,
// history); output that comes while a line is being typed is printed above
// it and the line shown again after it.
//
// The window: as the client tells it, unless it is smaller than
// terminal::kMinWidth by kMinHeight (terminal/window.h): then as if untold,
// 80 by 24 for the line and the editors, and no paging.
//
// Output: every line break ("\r", "\n" or "\r\n") becomes CR LF. Where the
// window's height is known, each output (from one line handed in to the
// next: new_output()) is paged at "-- More --" (terminal/pager.h); while
// paused() the user's keys (or lines) only turn pages, and at most kMaxHeld
// bytes are held before they go out unpaged.
//
// The terminal's type picks the text's form on the wire: UTF-8, or CP437
// both ways for the ANSI-BBS terminals (SYNCTERM, ANSI-BBS, ANSI, ...); a
// terminal that calls itself DUMB gets no escape sequences.
//
// A screen reader (app/client_kind.h) is sent no escape sequences, as a
// DUMB terminal, whatever its type.
//
// The full-screen editor (terminal/full_screen_editor.h) takes the host's
// editor over where it can: in character mode, on a terminal that is not
// DUMB nor a screen reader, in a window of at least 80 by 10. While it is open the keys go to
// it, and host output waits (at most kMaxHeld bytes) until it closes; its
// outcome (save with the text, or abandon) is taken by the owner.
//
// waiting(): the host waits for the user; a prompt (output that did not end
// in a line break) is marked as the transport can (end_prompt()).
//
// holding(): the channel's statuses should wait, for a page paused for its
// reader or for the full-screen editor; each change is told to the function
// given to on_holding_changed(), once the call that made it is done.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/wire.h"
#include "terminal/columns.h"
#include "terminal/full_screen_editor.h"
#include "terminal/text.h"
#include "terminal/input_decoder.h"
#include "terminal/input_line.h"
#include "terminal/output.h"
#include "terminal/pager.h"
#include "terminal/window.h"

namespace app {

class Transport;

class Terminal {
public:
    static constexpr std::size_t kMaxLine = 512;
    static constexpr std::size_t kMaxHeld = 1024 * 1024;

    enum class Kind { ansi, cp437, dumb };

    explicit Terminal(Transport& transport) : transport_(transport) {}

    // Appends every line the typed bytes complete to `lines` (UTF-8).
    void feed(std::string_view typed, std::deque<std::string>& lines);
    void write(std::string_view output);
    // A word of the host itself (the idle warning, its goodbye): written
    // like output, but over the full-screen editor at once, on its bottom
    // row (the key help's, back with the next redraw), not held.
    void notice(std::string_view text);
    void begin_secret_line();
    void end_secret_line();

    void set_character_mode(bool on);
    // The user's choice: output paged where the window's height is known.
    void set_paging(bool on);
    bool paging() const { return pager_.enabled(); }
    bool character_mode() const { return character_; }
    // A line of the user goes to the host: what it prints from now on is a
    // new output for the pager.
    void new_output();
    bool paused() const { return pager_.paused(); }
    void waiting();
    bool holding() const { return paused() || editing(); }
    void on_holding_changed(std::function<void(bool held)> changed) { holding_changed_ = std::move(changed); }

    struct EditorOutcome {
        bool save = false;
        std::string text;  // what to store, when saved
    };
    // Opens the full-screen editor on the text; false where it cannot be.
    bool open_editor(std::string_view text, std::size_t size);
    bool editing() const { return editor_.has_value(); }
    std::optional<EditorOutcome> take_editor_outcome();
    // An ESC typed alone waits for what follows: after a short pause with
    // nothing more it is the Escape key.
    bool escape_pending() const { return character_ && decoder_.escape_pending(); }
    void flush_escape();

    void resize(int width, int height);
    void set_type(std::string_view name);
    void set_screen_reader(bool on) { reader_ = on; }
    int width() const { return width_; }
    int height() const { return height_; }
    const std::string& type() const { return type_; }
    Kind kind() const { return kind_; }
    static Kind kind_of(std::string_view name);

private:
    void tell_holding();  // when holding() changed since it was told last
    void key(const terminal::Key& key, std::deque<std::string>& lines);
    void page_key(const terminal::Key& key);
    void editor_key(const terminal::Key& key);
    // Host output for the wire: printed above the line being typed.
    void emit(std::string_view wire);
    void track(std::string_view wire);  // the cursor's column
    void send(std::string_view bytes);  // in the terminal's form
    std::string to_host(std::string line) const;
    // How many columns a character takes: a CP437 terminal draws each in one.
    terminal::Widths widths() const {
        return kind_ == Kind::cp437 ? terminal::Widths::narrow : terminal::Widths::unicode;
    }

    Transport& transport_;
    LineAssembler assembler_{kMaxLine};
    LineBreaks line_breaks_;
    terminal::InputDecoder decoder_;
    terminal::InputLine line_{kMaxLine};
    terminal::Pager pager_;
    terminal::EscapeScanner scanner_;
    terminal::AnsiStripper stripper_;
    terminal::Cp437Encoder cp437_;
    Kind kind_ = Kind::ansi;
    bool character_ = false;
    bool secret_ = false;
    bool reader_ = false;
    bool prompt_open_ = false;  // output ended outside a line break, not yet marked
    bool line_shown_ = false;
    std::size_t column_ = 0;
    terminal::Utf8Stream tracked_;  // the character track() is in the middle of
    std::optional<terminal::FullScreenEditor> editor_;
    std::optional<EditorOutcome> outcome_;
    std::string held_while_editing_;
    int width_ = 80, height_ = 24;
    std::string type_;
    std::function<void(bool)> holding_changed_;
    bool held_ = false;  // as last told
};

}  // namespace app
