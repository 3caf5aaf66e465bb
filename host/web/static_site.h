// The few files the web listener serves, read once at start and kept in
// memory: the page (index.html, terminal.js, terminal.css from the page
// folder) and xterm.js from Debian's packages.
//
// Debian 12's libjs-xterm (3.8.1) ships a browser bundle that does not run
// (/usr/share/javascript/xterm/xterm.js is a stub that calls require());
// node-xterm ships the same version as CommonJS modules. /xterm.js is
// therefore made here from those modules and the page folder's
// xterm-loader.js, which runs them in the browser and defines
// window.Xterm = { Terminal, fit }. Nothing is fetched from elsewhere.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace web {

struct StaticFile {
    std::string content_type;
    std::string body;
};

struct SiteSources {
    std::filesystem::path page_dir;  // index.html, terminal.js, terminal.css, xterm-loader.js
    std::filesystem::path xterm_modules = "/usr/share/nodejs/xterm/lib";       // node-xterm
    std::filesystem::path xterm_css = "/usr/share/javascript/xterm/xterm.css";  // libjs-xterm
};

class StaticSite {
public:
    // Paths served: /index.html (also as /), /terminal.js, /terminal.css,
    // /xterm.js, /xterm.css. Throws std::runtime_error naming a file that
    // cannot be read or a module folder without xterm's modules.
    static StaticSite load(const SiteSources& sources);

    // A site of the caller's files (tests).
    void add(std::string path, StaticFile file);

    // The file for a request path; "/" is "/index.html". Null when none.
    const StaticFile* find(std::string_view path) const;

private:
    std::map<std::string, StaticFile, std::less<>> files_;
};

// The loader with every CommonJS module under `modules` (tests excluded,
// source-map comments dropped) put in place of its "/* xterm modules */"
// line, each named by its path under `modules` without ".js".
std::string xterm_bundle(const std::filesystem::path& modules, std::string_view loader);

}  // namespace web
