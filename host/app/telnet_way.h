// Telnet as a way in: every connection accepted becomes a telnet session
// (app/telnet_transport.h), in the clear or, with a TLS context, inside TLS.
// A client that asks for MSSP (a listing's crawler) is told what the host
// knows (app/mssp_settings.h: the way's texts, the users on now, when the
// way began serving, the port he came to) and the sysop's settings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/mssp_settings.h"
#include "app/way_in.h"

namespace asio::ssl {
class context;
}

namespace app {

class Sessions;

class TelnetWay final : public WayIn {
public:
    struct Options {
        std::string mssp_name = "Brakvold BBS";                 // MSSP's NAME
        std::string mssp_codebase = "bbshost (Brakvold Plus)";  // MSSP's CODEBASE
        asio::ssl::context* tls = nullptr;  // telnet inside TLS; must outlive the way
        MsspSettings mssp;                  // the sysop's MSSP variables
        std::filesystem::path mssp_file;    // where they are reloaded from
    };

    // `log` takes the transports' lines (cut-offs, protocol warnings).
    TelnetWay(Sessions& sessions, std::function<void(std::string_view line)> log, Options options);

    void accepted(Accepted connection) override;
    bool takes_proxy_header() const override { return true; }
    bool client_speaks_first() const override { return options_.tls != nullptr; }
    // SIGHUP: the sysop's MSSP settings read again; a file with a mistake
    // leaves them as they were, and the log says where and why.
    void reload_settings();

private:
    Sessions& sessions_;
    const std::function<void(std::string_view)> log_;
    Options options_;
    // When the way began, in seconds since 1970 (MSSP's UPTIME).
    const int64_t started_;
};

}  // namespace app
