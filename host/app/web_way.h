// The web terminal as a way in: every connection accepted is served the
// page (xterm.js, from web_page_dir()) until it opens the terminal's
// WebSocket, and then becomes a session (app/web_transport.h). With a
// certificate and key it is HTTPS and WSS only. Requests must name one of
// its origins as their Host, and the WebSocket be opened from a page of one
// of them (web/origins.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/web_transport.h"
#include "app/way_in.h"
#include "web/origins.h"

namespace asio::ssl {
class context;
}
namespace web {
class StaticSite;
}

namespace app {

class Sessions;

class WebWay final : public WayIn {
public:
    // `log` takes the transports' lines. The certificate chain and its
    // private key as PEM files, both or neither. Throws std::runtime_error
    // when the page's files, the certificate or the key cannot be read.
    WebWay(Sessions& sessions, std::function<void(std::string_view line)> log, web::WebOrigins origins,
           const std::string& tls_cert, const std::string& tls_key, ForwardedClients forwarded = {});
    ~WebWay() override;

    void accepted(Accepted connection) override;

private:
    Sessions& sessions_;
    const std::function<void(std::string_view)> log_;
    const web::WebOrigins origins_;
    std::unique_ptr<web::StaticSite> site_;
    std::unique_ptr<asio::ssl::context> tls_;  // null: plain HTTP
    const ForwardedClients forwarded_;
};

}  // namespace app
