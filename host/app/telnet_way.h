// Telnet as a way in: every connection accepted becomes a telnet session
// (app/telnet_transport.h), in the clear; those of its TLS port (over_tls())
// inside TLS, with the certificate served when they came. A client that
// asks for MSSP (a listing's crawler) is told what the host knows
// (app/mssp_settings.h: the way's texts, the users on now, when the way
// began serving, the port he came to, the TLS port) and the sysop's
// settings.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/mssp_settings.h"
#include "app/way_in.h"

namespace asio::ssl {
class context;
}

namespace app {

class Sessions;
class TlsCertificate;

class TelnetWay final : public WayIn {
public:
    struct Options {
        std::string mssp_name = "Brakvold BBS";                 // MSSP's NAME
        std::string mssp_codebase = "bbshost (Brakvold Plus)";  // MSSP's CODEBASE
        MsspSettings mssp;                  // the sysop's MSSP variables
        std::filesystem::path mssp_file;    // where they are reloaded from
    };

    // `log` takes the transports' lines (cut-offs, protocol warnings).
    TelnetWay(Sessions& sessions, std::function<void(std::string_view line)> log, Options options);
    ~TelnetWay() override;

    void accepted(Accepted connection) override;
    bool takes_proxy_header() const override { return true; }
    bool client_speaks_first() const override { return false; }
    // The way in of the TLS port: this telnet inside TLS, told to MSSP
    // clients as at `port`. `certificate` must outlive the way.
    // REQUIRES: called once.
    WayIn& over_tls(const TlsCertificate& certificate, uint16_t port);
    // SIGHUP: the sysop's MSSP settings read again; a file with a mistake
    // leaves them as they were, and the log says where and why.
    void reload_settings();

private:
    class OverTls;

    void serve(Accepted connection, std::shared_ptr<asio::ssl::context> tls);

    Sessions& sessions_;
    const std::function<void(std::string_view)> log_;
    Options options_;
    // When the way began, in seconds since 1970 (MSSP's UPTIME).
    const int64_t started_;
    std::unique_ptr<OverTls> over_tls_;
    unsigned tls_port_ = 0;  // none
};

}  // namespace app
