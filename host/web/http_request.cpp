#include "web/http_request.h"

#include <algorithm>
#include <cctype>

#include "text/ascii.h"

namespace web {
namespace {

bool is_tchar(unsigned char c) {
    if (std::isalnum(c)) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return is_tchar(static_cast<unsigned char>(c)); });
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    for (const auto& h : headers)
        if (text::equal_ignoring_case(h.name, name)) return &h.value;
    return nullptr;
}

std::size_t HttpRequest::count(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(),
                      [&](const HttpHeader& h) { return text::equal_ignoring_case(h.name, name); }));
}

bool HttpRequest::has_token(std::string_view name, std::string_view token) const {
    for (const auto& h : headers) {
        if (!text::equal_ignoring_case(h.name, name)) continue;
        std::string_view rest = h.value;
        while (true) {
            auto comma = rest.find(',');
            if (text::equal_ignoring_case(text::trim(rest.substr(0, comma)), token)) return true;
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    return false;
}

bool HttpRequest::keep_alive() const {
    return minor >= 1 ? !has_token("connection", "close") : has_token("connection", "keep-alive");
}

namespace {

// The parts of `list` between `separator`s outside quoted strings, trimmed.
std::vector<std::string_view> split_outside_quotes(std::string_view list, char separator) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size() && list[i] == '"' && (i == 0 || list[i - 1] != '\\')) quoted = !quoted;
        if (i == list.size() || (list[i] == separator && !quoted)) {
            parts.push_back(text::trim(list.substr(begin, i - begin)));
            begin = i + 1;
        }
    }
    return parts;
}

std::string unquoted(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return std::string(value);
}

}  // namespace

std::vector<std::string> forwarded_for(const HttpRequest& request) {
    std::vector<std::string> hops;
    const bool x_forwarded = request.count("x-forwarded-for") > 0;
    for (const auto& h : request.headers) {
        if (h.name != (x_forwarded ? "x-forwarded-for" : "forwarded")) continue;
        for (const auto element : split_outside_quotes(h.value, ',')) {
            if (x_forwarded) {
                hops.emplace_back(element);
                continue;
            }
            std::string hop;
            for (const auto pair : split_outside_quotes(element, ';')) {
                const auto equals = pair.find('=');
                if (equals != std::string_view::npos && text::equal_ignoring_case(text::trim(pair.substr(0, equals)), "for"))
                    hop = unquoted(text::trim(pair.substr(equals + 1)));
            }
            hops.push_back(std::move(hop));
        }
    }
    return hops;
}

void HttpRequestParser::reset() {
    status_ = Status::incomplete;
    request_ = HttpRequest{};
    line_.clear();
    head_size_ = 0;
    seen_request_line_ = false;
    error_status_ = 0;
    error_.clear();
}

void HttpRequestParser::fail(int status, std::string why) {
    if (status_ != Status::incomplete) return;
    status_ = Status::failed;
    error_status_ = status;
    error_ = std::move(why);
}

HttpRequestParser::Status HttpRequestParser::feed(std::string_view& bytes) {
    while (status_ == Status::incomplete && !bytes.empty()) {
        const auto lf = bytes.find('\n');
        const bool ends = lf != std::string_view::npos;
        const std::size_t take = ends ? lf + 1 : bytes.size();
        const std::string_view text = bytes.substr(0, ends ? lf : take);
        // Which limit the bytes cross first, by position, so that the answer
        // does not depend on how the bytes arrive. A line may hold one more
        // byte than its limit: the CR that ends it.
        const std::size_t line_room = limits_.max_line + 1 - line_.size();
        const std::size_t head_room = limits_.max_head - head_size_;
        const std::size_t line_cross = text.size() > line_room ? line_room : std::string_view::npos;
        const std::size_t head_cross = take > head_room ? head_room : std::string_view::npos;
        const int too_long = seen_request_line_ ? 431 : 414;
        if (line_cross != std::string_view::npos && line_cross <= head_cross) {
            fail(too_long, seen_request_line_ ? "a header line is longer than " + std::to_string(limits_.max_line) + " bytes"
                                              : "the request line is longer than " + std::to_string(limits_.max_line) + " bytes");
            break;
        }
        if (head_cross != std::string_view::npos) {
            fail(too_long, "the request head is larger than " + std::to_string(limits_.max_head) + " bytes");
            break;
        }
        head_size_ += take;
        bytes.remove_prefix(take);
        line_.append(text);
        if (!ends) break;
        if (line_.empty() || line_.back() != '\r') {
            fail(400, "a line ends in LF without CR");
            break;
        }
        line_.pop_back();
        line(line_);
        line_.clear();
    }
    return status_;
}

void HttpRequestParser::line(std::string_view text) {
    if (!seen_request_line_) {
        if (!text.empty()) request_line(text);  // empty lines before a request are allowed
    } else if (text.empty()) {
        finish();
    } else {
        header_line(text);
    }
}

void HttpRequestParser::request_line(std::string_view text) {
    seen_request_line_ = true;
    const auto sp1 = text.find(' ');
    const auto sp2 = sp1 == std::string_view::npos ? sp1 : text.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return fail(400, "the request line is not METHOD TARGET VERSION");
    const auto method = text.substr(0, sp1);
    const auto target = text.substr(sp1 + 1, sp2 - sp1 - 1);
    const auto version = text.substr(sp2 + 1);
    if (!is_token(method)) return fail(400, "the method is not a token");
    if (target.empty()) return fail(400, "the request target is empty");
    for (char c : target) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '#')
            return fail(400, "the request target holds a byte a URI may not hold");
    }
    if (target.front() != '/') return fail(400, "the request target is not a path");
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !std::isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !std::isdigit(static_cast<unsigned char>(version[7])))
        return fail(400, "the version is not HTTP/<digit>.<digit>");
    if (version[5] != '1') return fail(505, "only HTTP/1.0 and HTTP/1.1 are served");
    request_.method = std::string(method);
    request_.target = std::string(target);
    request_.path = std::string(target.substr(0, target.find('?')));
    request_.minor = version[7] == '0' ? 0 : 1;
}

void HttpRequestParser::header_line(std::string_view text) {
    if (is_blank(text.front())) return fail(400, "a header line is folded (starts with a blank)");
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return fail(400, "a header line has no colon");
    const auto name = text.substr(0, colon);
    if (!is_token(name)) return fail(400, "a header name is not a token (or has blanks before its colon)");
    const auto value = text::trim(text.substr(colon + 1));
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return fail(400, "the value of " + text::lowercase(name) + " holds a control byte");
    }
    if (request_.headers.size() >= limits_.max_headers)
        return fail(431, "more than " + std::to_string(limits_.max_headers) + " header fields");
    request_.headers.push_back({text::lowercase(name), std::string(value)});
}

void HttpRequestParser::finish() {
    const auto hosts = request_.count("host");
    if (hosts > 1 || (request_.minor == 1 && hosts == 0))
        return fail(400, request_.minor == 1 ? "HTTP/1.1 needs exactly one Host field" : "more than one Host field");
    const std::string* length = nullptr;
    for (const auto& h : request_.headers) {
        if (h.name != "content-length") continue;
        if (h.value.empty() || h.value.size() > 18 ||
            !std::all_of(h.value.begin(), h.value.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return fail(400, "Content-Length is not a number");
        if (length && *length != h.value) return fail(400, "Content-Length fields disagree");
        length = &h.value;
    }
    if (request_.count("transfer-encoding") > 0) return fail(413, "a request body (Transfer-Encoding) is not taken");
    if (length && std::stoull(*length) > 0) return fail(413, "a request body (Content-Length " + *length + ") is not taken");
    status_ = Status::complete;
}

}  // namespace web
