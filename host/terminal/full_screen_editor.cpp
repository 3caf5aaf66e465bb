#include "terminal/full_screen_editor.h"

#include <algorithm>
#include <vector>

#include "terminal/text.h"
#include "text/ascii.h"

namespace terminal {

namespace {

constexpr std::string_view kKeys = "Ctrl-Z save  Esc menu  Ctrl-Y delete line  Ctrl-L redraw  Insert overwrite";
constexpr std::string_view kMenu = "Save, Abandon, Help or Continue? (S/A/H/C) ";
constexpr std::string_view kConfirm = "Your text has changed. Abandon it? (Y/N) ";
constexpr std::string_view kBack = "Press any key to go back to your text.";

std::vector<std::string> help(const EditorText& text) {
    return {
        "The editor's keys",
        "  Arrows, Home, End, PgUp, PgDn  move (Ctrl-A, Ctrl-E: to a line's start, end)",
        "  Enter   split the line          Backspace, Delete  delete, join lines",
        "  Insert  insert or overwrite     Ctrl-Y  delete the line",
        "  Ctrl-L  draw the screen anew    Ctrl-Z  save the text and leave",
        "  Esc     the menu: Save, Abandon, Help, Continue",
        "The text holds up to " + std::to_string(text.limit()) + " bytes in " + std::to_string(text.max_lines()) +
            " lines of " + std::to_string(EditorText::kColumns) + " columns; words wrap.",
    };
}

Frame::Row row(std::string_view text, bool reverse = false) { return {from_utf8(text), reverse}; }

}  // namespace

FullScreenEditor::FullScreenEditor(std::string_view text, size_t size, size_t width, size_t height, Widths widths)
    : text_(text, size, widths), painter_(widths) {
    set_window(width, height);
}

void FullScreenEditor::set_window(size_t width, size_t height) {
    if (usable_window(width, height)) painter_.set_window(width, height);
    else painter_.set_window(kUntoldWidth, kUntoldHeight);
}

size_t FullScreenEditor::text_rows() const { return painter_.height() > 3 ? painter_.height() - 2 : 1; }

void FullScreenEditor::start(std::string& out) {
    painter_.redraw();
    painter_.paint(frame(), out);
}

void FullScreenEditor::resize(size_t width, size_t height, std::string& out) {
    set_window(width, height);
    painter_.paint(frame(), out);
}

FullScreenEditor::Outcome FullScreenEditor::key(const Key& key, std::string& out) {
    const bool text_key = key.code == Key::Code::character;
    const char32_t letter = text_key && key.ch < 0x80 ? static_cast<char32_t>(text::lower(static_cast<char>(key.ch))) : 0;
    if (key.is_ctrl('L')) {  // in every mode
        painter_.redraw();
        painter_.paint(frame(), out);
        return Outcome::editing;
    }
    switch (mode_) {
    case Mode::editing: {
        Outcome outcome = editing(key, out);
        if (outcome != Outcome::editing) return outcome;
        break;
    }
    case Mode::menu:
        if (letter == U's') return Outcome::save;
        if (letter == U'a') {
            if (!text_.changed()) return Outcome::abandon;
            mode_ = Mode::confirm;
        } else if (letter == U'h') {
            mode_ = Mode::help;
        } else if (letter == U'c' || key.code == Key::Code::escape) {
            mode_ = Mode::editing;
        } else {
            out += '\a';
        }
        break;
    case Mode::confirm:
        if (letter == U'y') return Outcome::abandon;
        mode_ = Mode::editing;
        break;
    case Mode::help:
        mode_ = Mode::editing;
        break;
    }
    painter_.paint(frame(), out);
    return Outcome::editing;
}

FullScreenEditor::Outcome FullScreenEditor::editing(const Key& key, std::string& out) {
    using Code = Key::Code;
    bool done = true;
    switch (key.code) {
    case Code::character: done = printable(key.ch) && text_.insert(key.ch, overwrite_); break;
    case Code::tab: done = text_.insert(U' ', overwrite_); break;
    case Code::enter: done = text_.split(); break;
    case Code::backspace: done = text_.backspace(); break;
    case Code::del: done = text_.del(); break;
    case Code::left: text_.left(); break;
    case Code::right: text_.right(); break;
    case Code::up: text_.up(); break;
    case Code::down: text_.down(); break;
    case Code::home: text_.home(); break;
    case Code::end: text_.end(); break;
    case Code::page_up: text_.page(-static_cast<long>(std::max<size_t>(1, text_rows() - 1))); break;
    case Code::page_down: text_.page(static_cast<long>(std::max<size_t>(1, text_rows() - 1))); break;
    case Code::insert: overwrite_ = !overwrite_; break;
    case Code::escape: mode_ = Mode::menu; break;
    case Code::control:
        switch (key.ch) {
        case 'A': text_.home(); break;
        case 'E': text_.end(); break;
        case 'Y': done = text_.delete_line(); break;
        case 'Z': return Outcome::save;
        default: break;
        }
        break;
    }
    if (!done) out += '\a';
    return Outcome::editing;
}

Frame FullScreenEditor::frame() {
    Frame f;
    const size_t rows = text_rows();
    const auto cursor = text_.cursor();
    if (cursor.line < top_) top_ = cursor.line;
    if (cursor.line >= top_ + rows) top_ = cursor.line - rows + 1;
    if (mode_ == Mode::help) {
        for (const auto& line : help(text_)) f.rows.push_back(row(line));
    } else {
        const auto& lines = text_.lines();
        for (size_t r = 0; r < rows && top_ + r < lines.size(); ++r) f.rows.push_back({lines[top_ + r], false});
    }
    f.rows.resize(rows);

    std::string status = " Line " + std::to_string(cursor.line + 1) + "/" + std::to_string(text_.max_lines()) +
                         "   Column " + std::to_string(text_.cursor_column() + 1) + "   " +
                         (overwrite_ ? "Overwrite" : "Insert   ") + "   Used " +
                         std::to_string(text_.stored().size()) + " of " + std::to_string(text_.limit()) + " bytes";
    status.resize(std::max(status.size(), painter_.width() - 1), ' ');
    f.rows.push_back(row(status, true));

    std::string_view last = mode_ == Mode::menu ? kMenu : mode_ == Mode::confirm ? kConfirm
                            : mode_ == Mode::help ? kBack : kKeys;
    f.rows.push_back(row(last));
    if (mode_ == Mode::editing) {
        f.cursor_row = cursor.line - top_;
        f.cursor_column = text_.cursor_column();
    } else {
        f.cursor_row = f.rows.size() - 1;
        f.cursor_column = last.size();
    }
    return f;
}

}  // namespace terminal
