#include "ssh/requests.h"

#include <algorithm>

// ssh_message_channel_request_subsystem is marked deprecated in libssh 0.10
// with the rest of the message interface (see connection.cpp).
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace ssh {

std::string clean_terminal_type(const char* raw) {
    std::string type;
    for (const char* p = raw ? raw : ""; *p != '\0' && type.size() < 64; ++p) {
        if (*p > ' ' && *p < 0x7f) type += *p;
    }
    return type;
}

int clean_size(int value, int fallback) {
    if (value <= 0) return fallback;
    return std::min(value, 9999);
}

const char* channel_kind(int subtype) {
    switch (subtype) {
    case SSH_CHANNEL_SESSION: return "session";
    case SSH_CHANNEL_DIRECT_TCPIP: return "direct-tcpip";
    case SSH_CHANNEL_FORWARDED_TCPIP: return "forwarded-tcpip";
    case SSH_CHANNEL_X11: return "x11";
    case SSH_CHANNEL_AUTH_AGENT: return "auth-agent";
    default: return "unknown";
    }
}

std::string request_kind(ssh_message message) {
    switch (ssh_message_subtype(message)) {
    case SSH_CHANNEL_REQUEST_PTY: return "pty-req";
    case SSH_CHANNEL_REQUEST_EXEC: return "exec";
    case SSH_CHANNEL_REQUEST_SHELL: return "shell";
    case SSH_CHANNEL_REQUEST_ENV: return "env";
    case SSH_CHANNEL_REQUEST_SUBSYSTEM: {
        const char* name = ssh_message_channel_request_subsystem(message);
        return "subsystem " + clean_terminal_type(name);
    }
    case SSH_CHANNEL_REQUEST_WINDOW_CHANGE: return "window-change";
    case SSH_CHANNEL_REQUEST_X11: return "x11-req";
    default: return "an unknown request";
    }
}

}  // namespace ssh
