#include "web/http_response.h"

#include <ctime>

namespace web {

std::string_view reason_phrase(int status) {
    switch (status) {
        case 101: return "Switching Protocols";
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 421: return "Misdirected Request";
        case 426: return "Upgrade Required";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

std::string http_date(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    const auto n = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);  // C locale names
    return std::string(text, n);
}

std::string HttpResponse::serialize(std::chrono::system_clock::time_point now, bool head_only) const {
    std::string out = head(now, body.size());
    if (!head_only) out += body;
    return out;
}

std::string HttpResponse::head(std::chrono::system_clock::time_point now, std::size_t body_size) const {
    std::string out;
    out.reserve(512);
    out += "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason_phrase(status)) + "\r\n";
    out += "Date: " + http_date(now) + "\r\n";
    if (!content_type.empty()) out += "Content-Type: " + content_type + "\r\n";
    out += "Content-Length: " + std::to_string(body_size) + "\r\n";
    out += "Cache-Control: " + cache_control + "\r\n";
    out += "Content-Security-Policy: ";
    out += kContentSecurityPolicy;
    out += "\r\n";
    out += "X-Content-Type-Options: nosniff\r\n";
    out += "X-Frame-Options: DENY\r\n";
    out += "Referrer-Policy: no-referrer\r\n";
    for (const auto& [name, value] : extra_headers) out += name + ": " + value + "\r\n";
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    return out;
}

HttpResponse error_response(int status, std::string_view detail) {
    HttpResponse response;
    response.status = status;
    response.body = std::string(reason_phrase(status));
    if (!detail.empty()) response.body += ": " + std::string(detail);
    response.body += "\n";
    response.close = true;
    return response;
}

}  // namespace web
