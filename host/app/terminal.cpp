#include "app/terminal.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "app/transport.h"
#include "terminal/text.h"
#include "text/utf8.h"

namespace app {

using terminal::Key;

Terminal::Kind Terminal::kind_of(std::string_view name) {
    static constexpr std::array<std::string_view, 6> kCp437 = {"SYNCTERM", "ANSI-BBS", "ANSI",
                                                               "PCANSI",   "PC-ANSI",  "QANSI"};
    for (auto cp437 : kCp437)
        if (name == cp437) return Kind::cp437;
    return name == "DUMB" ? Kind::dumb : Kind::ansi;
}

void Terminal::set_type(std::string_view name) {
    type_ = name;
    kind_ = kind_of(name);
    decoder_.set_encoding(kind_ == Kind::cp437 ? terminal::Encoding::cp437 : terminal::Encoding::utf8);
    pager_.set_widths(widths());
    line_.set_terminal(kind_ != Kind::dumb, static_cast<std::size_t>(width_), widths());
}

void Terminal::resize(int width, int height) {
    const auto w = static_cast<std::size_t>(std::max(width, 0)), h = static_cast<std::size_t>(std::max(height, 0));
    const bool told = terminal::usable_window(w, h);
    width_ = told ? width : static_cast<int>(terminal::kUntoldWidth);
    height_ = told ? height : static_cast<int>(terminal::kUntoldHeight);
    pager_.set_window(w, h);
    line_.set_terminal(kind_ != Kind::dumb, static_cast<std::size_t>(width_), widths());
    if (editor_) {
        std::string out;
        editor_->resize(static_cast<std::size_t>(width_), static_cast<std::size_t>(height_), out);
        send(out);
    }
    tell_holding();
}

void Terminal::set_paging(bool on) {
    pager_.set_enabled(on);
    tell_holding();
}

void Terminal::tell_holding() {
    if (holding() == held_) return;
    held_ = holding();
    if (holding_changed_) holding_changed_(held_);
}

// ---- input ------------------------------------------------------------------

std::string Terminal::to_host(std::string line) const {
    if (kind_ == Kind::cp437) return terminal::cp437_to_utf8(line);
    // A line cut at the limit keeps no part of a character.
    line.resize(text::cut_utf8(line, line.size()).size());
    return line;
}

void Terminal::feed(std::string_view typed, std::deque<std::string>& lines) {
    if (!character_) {
        std::deque<std::string> typed_lines;
        assembler_.feed(typed, typed_lines);
        for (auto& line : typed_lines) {
            if (pager_.paused()) {
                // A line turns the page; "q" stops paging this output.
                const bool quit = !line.empty() && (line[0] == 'q' || line[0] == 'Q');
                page_key(quit ? Key::text('q') : Key(Key::Code::enter));
            } else {
                lines.push_back(to_host(std::move(line)));
            }
        }
        tell_holding();
        return;
    }
    std::vector<Key> keys;
    decoder_.feed(typed, keys);
    for (const Key& k : keys) key(k, lines);
    tell_holding();
}

void Terminal::key(const Key& k, std::deque<std::string>& lines) {
    if (editor_) {
        editor_key(k);
        return;
    }
    if (pager_.paused()) {
        page_key(k);
        return;
    }
    std::string echo;
    auto line = line_.key(k, echo);
    send(echo);
    if (line) {
        column_ = 0;
        lines.push_back(std::move(*line));
    }
}

void Terminal::flush_escape() {
    if (!character_) return;
    std::vector<Key> keys;
    decoder_.flush(keys);
    std::deque<std::string> lines;  // an Escape key makes no line
    for (const Key& k : keys) key(k, lines);
    tell_holding();
}

void Terminal::notice(std::string_view text) {
    if (!editor_) {
        write(text);
        return;
    }
    while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    send("\x1b" "7\x1b[" + std::to_string(height_) + ";1H\x1b[0m\x1b[2K" + std::string(text) + "\x1b" "8");
}

// ---- the full-screen editor -----------------------------------------------------

bool Terminal::open_editor(std::string_view text, std::size_t size) {
    if (editor_ || !character_ || kind_ == Kind::dumb || reader_ || width_ <= 0 || height_ <= 0 ||
        !terminal::FullScreenEditor::fits(static_cast<std::size_t>(width_), static_cast<std::size_t>(height_)))
        return false;
    editor_.emplace(text, size, static_cast<std::size_t>(width_), static_cast<std::size_t>(height_), widths());
    std::string out;
    editor_->start(out);
    send(out);
    prompt_open_ = false;  // the editor has the screen: no prompt waits to be marked
    tell_holding();
    return true;
}

void Terminal::editor_key(const Key& k) {
    std::string out;
    const auto result = editor_->key(k, out);
    if (result != terminal::FullScreenEditor::Outcome::editing) {
        outcome_ = EditorOutcome{result == terminal::FullScreenEditor::Outcome::save, editor_->stored()};
        terminal::FullScreenEditor::leave(out);
        editor_.reset();
        column_ = 0;
        line_.begin(0);
        line_shown_ = true;
    }
    send(out);
    if (!editor_) emit(std::exchange(held_while_editing_, {}));
}

std::optional<Terminal::EditorOutcome> Terminal::take_editor_outcome() { return std::exchange(outcome_, {}); }

void Terminal::page_key(const Key& k) {
    std::string out;
    if (pager_.key(k, out)) emit(out);
}

void Terminal::begin_secret_line() {
    if (secret_) return;
    secret_ = true;
    if (character_)
        line_.begin(column_, true);
    else
        transport_.local_echo(false);
}

void Terminal::end_secret_line() {
    if (!secret_) return;
    secret_ = false;
    if (character_) return;  // the line editor echoed its end
    transport_.local_echo(true);
    write("\r\n");
}

void Terminal::set_character_mode(bool on) {
    if (on == character_) return;
    character_ = on;
    if (!on) return;
    line_.set_terminal(kind_ != Kind::dumb, static_cast<std::size_t>(width_), widths());
    line_.begin(column_, secret_);
    line_shown_ = true;
}

// ---- output -----------------------------------------------------------------

void Terminal::new_output() {
    emit(pager_.new_output());
    tell_holding();
}

void Terminal::write(std::string_view output) {
    const std::string wire = line_breaks_.to_wire(output);
    if (wire.empty()) return;
    if (editor_) {
        // Shown once the editor closes; a flood beyond the bound is lost.
        if (held_while_editing_.size() + wire.size() <= kMaxHeld) held_while_editing_ += wire;
        return;
    }
    prompt_open_ = wire.back() != '\n';
    emit(pager_.write(wire));
    // A reader who does not turn the page holds back only so much.
    if (pager_.held() > kMaxHeld) emit(pager_.new_output());
    tell_holding();
}

void Terminal::emit(std::string_view wire) {
    if (!character_) {
        track(wire);
        send(wire);
        return;
    }
    std::string out;
    if (line_shown_ && !line_.text().empty() && !wire.empty()) line_.hide(out);
    if (!wire.empty()) line_shown_ = false;
    out += wire;
    track(wire);
    if (!pager_.paused() && !line_shown_) {
        line_.show(column_, out);
        line_shown_ = true;
    }
    send(out);
}

void Terminal::track(std::string_view wire) {
    const std::size_t width = width_ > 0 ? static_cast<std::size_t>(width_) : 80;
    for (size_t i = 0; i < wire.size(); ++i) {
        if (scanner_.in_text() && !tracked_.pending()) {
            // A run of printable ASCII, a column each.
            const size_t run = terminal::printable_run(wire, i);
            column_ = (column_ + run) % width;
            i += run;
            if (i == wire.size()) break;
        }
        const auto b = static_cast<unsigned char>(wire[i]);
        if (scanner_.in_sequence(b)) continue;
        if (b == '\r' || b == '\n') {
            column_ = 0;
            tracked_.reset();
        } else if (b == '\b') {
            if (column_ > 0) --column_;
        } else if (b == '\t') {
            column_ = (column_ / 8 + 1) * 8 % width;
        } else if (b >= 0x20 && b != 0x7f) {
            // A wide character takes two columns, a combining mark none.
            auto step = tracked_.feed(b);
            if (step == terminal::Utf8Stream::Result::restart) step = tracked_.feed(b);
            if (step == terminal::Utf8Stream::Result::pending) continue;
            const char32_t code = step == terminal::Utf8Stream::Result::character ? tracked_.character()
                                                                                   : text::kReplacement;
            column_ = (column_ + static_cast<std::size_t>(terminal::char_width(code, widths()))) % width;
        }
    }
}

void Terminal::send(std::string_view bytes) {
    if (bytes.empty()) return;
    if (reader_ && kind_ != Kind::cp437) {
        transport_.send(stripper_.strip(bytes));
        return;
    }
    switch (kind_) {
    case Kind::cp437: transport_.send(cp437_.encode(bytes)); break;
    case Kind::dumb: transport_.send(stripper_.strip(bytes)); break;
    case Kind::ansi: transport_.send(bytes); break;
    }
}

void Terminal::waiting() {
    if (!prompt_open_) return;
    prompt_open_ = false;
    transport_.end_prompt();
}

}  // namespace app
