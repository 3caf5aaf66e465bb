#include "app/web_way.h"

#include "app/modules.h"
#include "app/sessions.h"
#include "app/tls_certificate.h"
#include "app/web_transport.h"
#include "web/static_site.h"

namespace app {

WebWay::WebWay(Sessions& sessions, std::function<void(std::string_view line)> log, web::WebOrigins origins,
               const TlsCertificate* tls, ForwardedClients forwarded)
    : sessions_(sessions),
      log_(std::move(log)),
      origins_(std::move(origins)),
      site_(std::make_unique<web::StaticSite>(web::StaticSite::load({web_page_dir()}))),
      tls_(tls),
      forwarded_(std::move(forwarded)) {}

WebWay::~WebWay() = default;

void WebWay::accepted(Accepted connection) {
    auto transport = WebTransport::make(std::move(connection), *site_, origins_, log_,
                                        tls_ ? tls_->context() : nullptr, &forwarded_);
    transport->begin([this](std::shared_ptr<WebTransport> upgraded) {
        if (!sessions_.stopped()) sessions_.adopt(std::move(upgraded));
    });
}

}  // namespace app
