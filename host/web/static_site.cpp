#include "web/static_site.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace web {
namespace {

constexpr std::string_view kModulesMarker = "/* xterm modules */";
constexpr std::string_view kSourceMap = "//# sourceMappingURL=";

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path.string());
    return text;
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The module's text without its source-map comment lines.
std::string without_source_maps(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const auto line = text.substr(0, eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.substr(0, kSourceMap.size()) != kSourceMap) out += line;
        text.remove_prefix(line.size());
    }
    return out;
}

}  // namespace

std::string xterm_bundle(const std::filesystem::path& modules, std::string_view loader) {
    const auto marker = loader.find(kModulesMarker);
    if (marker == std::string_view::npos)
        throw std::runtime_error("the xterm loader has no \"" + std::string(kModulesMarker) + "\" line");
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (auto it = std::filesystem::recursive_directory_iterator(modules, std::filesystem::directory_options::follow_directory_symlink, ec); !ec && it != std::filesystem::end(it);
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (it->is_regular_file() && ends_with(name, ".js") && !ends_with(name, ".test.js")) files.push_back(it->path());
    }
    if (ec) throw std::runtime_error("cannot list " + modules.string() + ": " + ec.message());
    std::sort(files.begin(), files.end());

    std::string entries;
    bool has_terminal = false;
    for (const auto& file : files) {
        std::string id = file.lexically_relative(modules).generic_string();
        id.resize(id.size() - 3);
        if (!std::all_of(id.begin(), id.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '_' || c == '-' || c == '.'; }))
            throw std::runtime_error("unexpected module name " + file.string());
        has_terminal = has_terminal || id == "public/Terminal";
        entries += "\"" + id + "\": function (exports, require, module) {\n";
        entries += without_source_maps(read_file(file));
        entries += "\n},\n";
    }
    if (!has_terminal)
        throw std::runtime_error(modules.string() + " holds no public/Terminal.js (is node-xterm installed?)");
    std::string bundle(loader.substr(0, marker));
    bundle += entries;
    bundle += loader.substr(marker + kModulesMarker.size());
    return bundle;
}

StaticSite StaticSite::load(const SiteSources& sources) {
    constexpr const char* html = "text/html; charset=utf-8";
    constexpr const char* js = "text/javascript; charset=utf-8";
    constexpr const char* css = "text/css; charset=utf-8";
    StaticSite site;
    site.add("/index.html", {html, read_file(sources.page_dir / "index.html")});
    site.add("/terminal.js", {js, read_file(sources.page_dir / "terminal.js")});
    site.add("/terminal.css", {css, read_file(sources.page_dir / "terminal.css")});
    site.add("/xterm.css", {css, read_file(sources.xterm_css)});
    site.add("/xterm.js", {js, xterm_bundle(sources.xterm_modules, read_file(sources.page_dir / "xterm-loader.js"))});
    return site;
}

void StaticSite::add(std::string path, StaticFile file) { files_[std::move(path)] = std::move(file); }

const StaticFile* StaticSite::find(std::string_view path) const {
    if (path == "/") path = "/index.html";
    const auto it = files_.find(path);
    return it == files_.end() ? nullptr : &it->second;
}

}  // namespace web
