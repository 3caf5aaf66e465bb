// The web terminal as a way in: every connection accepted is served the
// page (xterm.js, from web_page_dir()) until it opens the terminal's
// WebSocket, and then becomes a session (app/web_transport.h). With a
// certificate (app/tls_certificate.h) it is HTTPS and WSS only. Requests must name one of
// its origins as their Host, and the WebSocket be opened from a page of one
// of them (web/origins.h).
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "app/web_transport.h"
#include "app/way_in.h"
#include "web/origins.h"

namespace web {
class StaticSite;
}

namespace app {

class Sessions;
class TlsCertificate;

class WebWay final : public WayIn {
public:
    // `log` takes the transports' lines; `tls` (none: plain HTTP) must
    // outlive the way. Throws std::runtime_error when the page's files
    // cannot be read.
    WebWay(Sessions& sessions, std::function<void(std::string_view line)> log, web::WebOrigins origins,
           const TlsCertificate* tls, ForwardedClients forwarded = {});
    ~WebWay() override;

    void accepted(Accepted connection) override;

private:
    Sessions& sessions_;
    const std::function<void(std::string_view)> log_;
    const web::WebOrigins origins_;
    std::unique_ptr<web::StaticSite> site_;
    const TlsCertificate* const tls_;
    const ForwardedClients forwarded_;
};

}  // namespace app
