// Fuzz target: the terminal layer. Byte 0 picks encoding, pieces, window and limits; the rest is
// what a terminal sends (keys, input line, editor) and host output (CP437, cuts, stripper, pager).
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/columns.h"
#include "terminal/full_screen_editor.h"
#include "terminal/input_decoder.h"
#include "terminal/input_line.h"
#include "terminal/output.h"
#include "terminal/pager.h"
#include "terminal/text.h"
#include "tests/fuzz/fuzz.h"
#include "tests/terminal/screen.h"
#include "text/utf8.h"

namespace {

using namespace terminal;
using plusfuzz::fail;

std::vector<std::string_view> cut(std::string_view bytes, uint8_t seed) { return plusfuzz::cut(bytes, seed, 16); }

std::vector<Key> decode(std::string_view bytes, Encoding encoding, uint8_t seed) {
    std::vector<Key> whole, pieces, bytewise;
    InputDecoder a(encoding), b(encoding), c(encoding);
    a.feed(bytes, whole);
    for (auto piece : cut(bytes, seed)) b.feed(piece, pieces);
    for (char ch : bytes) c.feed(std::string_view(&ch, 1), bytewise);
    if (a.escape_pending() != b.escape_pending() || a.escape_pending() != c.escape_pending())
        fail("a pending ESC depends on the pieces");
    a.flush(whole), b.flush(pieces), c.flush(bytewise);
    if (whole != pieces || whole != bytewise) fail("the keys depend on how the bytes are cut");
    for (const Key& key : whole) {
        if (key.code == Key::Code::character &&
            (key.ch < 0x20 || (key.ch >= 0x7F && key.ch <= 0x9F) || (key.ch >= 0xD800 && key.ch <= 0xDFFF) ||
             key.ch > 0x10FFFF))
            fail("a character key that is no printable character: " + std::to_string(key.ch));
        if (key.code == Key::Code::control && (key.ch < 'A' || key.ch > 'Z'))
            fail("a control key that is no letter: " + std::to_string(key.ch));
    }
    return whole;
}

std::string trimmed(std::u32string_view text) {
    while (!text.empty() && text.back() == U' ') text.remove_suffix(1);
    return to_utf8(text);
}

// The line typed after the prompt "> " as a terminal shows it on rows of `width` columns: clusters in
// order, a wide one that does not fit in a row's last column on the next row, a zero-width one that
// begins the line on a blank. The rows (trailing blanks gone), and where the cluster at `cursor` (or the
// line's end) is.
struct Layout {
    std::vector<std::string> rows;
    size_t cursor_row = 0, cursor_column = 0;
};
Layout lay_out(std::u32string_view text, size_t width, size_t cursor) {
    const Columns columns;
    Layout layout;
    std::u32string row = U"> ";
    for (size_t i = 0, column = 2;; i = columns.next(text, i)) {
        const size_t w = i < text.size() ? columns.cluster_width(text, i) : 1;
        if (column + w > width) layout.rows.push_back(trimmed(row)), row.clear(), column = 0;
        if (i == cursor) layout.cursor_row = layout.rows.size(), layout.cursor_column = column;
        if (i >= text.size()) break;
        if (columns.of(text[i]) == 0) row += U' ';
        row += text.substr(i, columns.next(text, i) - i);
        column += w;
    }
    layout.rows.push_back(trimmed(row));
    return layout;
}

void check_input_line(const std::vector<Key>& keys, uint8_t seed) {
    const size_t width = 10 + seed % 50, limit = 1 + (seed * 7u) % 120;
    const bool ansi = seed & 2, password = (seed & 0x0C) == 0x0C;
    const size_t height = (2 + limit) / width + 3;
    InputLine line(limit, 4);
    line.set_terminal(ansi, width);
    termtest::Screen screen(width, height);
    const auto prompt = [&] {  // a new prompt on a new screen
        screen = termtest::Screen(width, height);
        screen.apply("> ");
        line.begin(2, password);
    };
    prompt();
    for (const Key& key : keys) {
        std::string echo;
        auto entered = line.key(key, echo);
        if (!ansi && echo.find('\x1b') != std::string::npos) fail("an escape sequence sent to a dumb terminal");
        if (entered && (entered->size() > limit || !text::valid_utf8(*entered)))
            fail("a line past its limit or not UTF-8: " + *entered);
        if (!ansi) continue;
        screen.apply(echo);
        if (entered) prompt();
        if (entered || password) continue;
        const Layout shown = lay_out(from_utf8(line.text()), width, line.cursor());
        for (size_t r = 0; r < height; ++r) {
            if (screen.row(r) != (r < shown.rows.size() ? shown.rows[r] : ""))
                fail("row " + std::to_string(r) + " shows \"" + screen.row(r) + "\", the line is \"" + line.text() + "\"");
        }
        if (screen.cursor_row() != shown.cursor_row || screen.cursor_column() != shown.cursor_column)
            fail("the cursor is not where the line's cursor is");
    }
}

void check_editor(const std::vector<Key>& keys, uint8_t seed) {
    const size_t size = 2 + (seed * 13u) % 300;
    FullScreenEditor editor("", size);
    termtest::Screen screen(80, 24);
    std::string out;
    editor.start(out);
    screen.apply(out);
    for (const Key& key : keys) {
        out.clear();
        if (editor.key(key, out) != FullScreenEditor::Outcome::editing) break;
        screen.apply(out);
        const std::string stored = editor.stored();
        if (stored.size() > size - 1 || !text::valid_utf8(stored)) fail("the stored text passed its size or is not UTF-8");
        if ((stored + '\r').find(" \r") != std::string::npos) fail("a stored line ends in a blank");
        const auto& text = editor.text();
        for (const auto& l : text.lines())
            if (Columns().width(l) > EditorText::kColumns) fail("a line wider than the editor's columns");
        if (!Columns().boundary(text.lines()[text.cursor().line], text.cursor().column))
            fail("the cursor stands inside a cluster");
    }
    out.clear();
    editor.key(Key::ctrl('L'), out);
    termtest::Screen fresh(80, 24);
    fresh.apply(out);
    for (size_t r = 0; r < 24; ++r)
        if (screen.row(r) != fresh.row(r)) fail("row " + std::to_string(r) + " differs from a full drawing");
    if (screen.cursor_row() != fresh.cursor_row() || screen.cursor_column() != fresh.cursor_column())
        fail("the cursor is not where a full drawing puts it");
}

void check_output(std::string_view bytes, uint8_t seed) {
    if (utf8_to_cp437(cp437_to_utf8(bytes)) != bytes) fail("CP437 to UTF-8 and back changed the bytes");
    const size_t max = seed % 40;
    std::string_view kept = text::cut_utf8(bytes, max);
    if (kept.size() > max || (kept.size() < bytes.size() && kept.size() + text::decode_utf8(bytes, kept.size()).size <= max))
        fail("a cut passed its limit or stopped short of it");

    AnsiStripper whole, pieces;
    std::string stripped = whole.strip(bytes), by_pieces;
    for (auto piece : cut(bytes, seed)) by_pieces += pieces.strip(piece);
    if (stripped != by_pieces) fail("the stripped text depends on the pieces");
    if (stripped.find('\x1b') != std::string::npos) fail("an ESC went through the stripper");

    Pager pager;
    pager.set_window(16 + seed % 30, 3 + seed % 10);  // some too small to page
    size_t sent = 0, pauses = 0;
    for (auto piece : cut(bytes, seed)) {
        sent += pager.write(piece).size();
        std::string more;
        while (pager.paused()) {
            ++pauses;
            if (!pager.key(Key::text(U' '), more)) fail("space did not release a paused pager");
        }
        sent += more.size();
    }
    sent += pager.new_output().size();  // a character left unfinished
    const size_t added = Pager::kPrompt.size() + Pager::kPrompt.size() + 2;  // the prompt, and "\r", blanks, "\r"
    if (sent != bytes.size() + pauses * added) fail("the pager lost or added bytes");
}

}  // namespace

void plusfuzz::fuzz_one(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > 1024) return;  // longer inputs find nothing new, slowly
    const auto seed = static_cast<uint8_t>(bytes[0]);
    bytes.remove_prefix(1);
    try {
        const auto keys = decode(bytes, seed & 1 ? Encoding::cp437 : Encoding::utf8, seed);
        check_input_line(keys, seed);
        check_editor(keys, seed);
        check_output(bytes, seed);
    } catch (const std::exception& e) {
        fail(std::string("the screen model refused what was sent: ") + e.what());
    }
}
