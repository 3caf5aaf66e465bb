// What an SSH client asks for, as the host takes it: its terminal's type
// and size cleaned, and the kinds of channels and requests named for the
// log.
#pragma once

#include <string>

#include <libssh/server.h>

namespace ssh {

// A short run of printable ASCII (it goes to logs and to the host).
std::string clean_terminal_type(const char* raw);
// A window size of 0 means "unknown" (`fallback`); absurd ones are capped.
int clean_size(int value, int fallback);
// "session", "direct-tcpip", ...
const char* channel_kind(int subtype);
// A channel request's kind: "pty-req", "exec", "subsystem sftp", ...
std::string request_kind(ssh_message message);

}  // namespace ssh
