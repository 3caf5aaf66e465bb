#include "app/tls_certificate.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace app {

namespace {

// OpenSSL's reasons for what went wrong on this thread, first to last, or
// `fallback` when it gave none.
std::string openssl_reason(const std::string& fallback) {
    std::string reasons;
    while (const unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        if (!reason || reasons.find(reason) != std::string::npos) continue;
        reasons += (reasons.empty() ? "" : "; ") + std::string(reason);
    }
    return reasons.empty() ? fallback : reasons;
}

// The file can be read and holds a PEM block whose head ends in `label`.
void readable(const std::string& what, const std::string& file, const std::string& label) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error(what + " " + file + ": cannot be read: " + std::strerror(errno));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("-----BEGIN ", 0) == 0 && line.find(label + "-----") != std::string::npos) return;
    }
    throw std::runtime_error(what + " " + file + ": holds no PEM " + label + " (-----BEGIN ..." + label + "-----)");
}

}  // namespace

std::shared_ptr<asio::ssl::context> TlsCertificate::load(const std::string& cert_file, const std::string& key_file) {
    readable("TLS certificate", cert_file, "CERTIFICATE");
    readable("TLS key", key_file, "PRIVATE KEY");
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
    std::error_code ec;
    ERR_clear_error();
    context->use_certificate_chain_file(cert_file, ec);
    if (ec) throw std::runtime_error("TLS certificate " + cert_file + ": " + openssl_reason(ec.message()));
    context->use_private_key_file(key_file, asio::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("TLS key " + key_file + ": " + openssl_reason(ec.message()));
    if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
        throw std::runtime_error("TLS key " + key_file + ": " +
                                 openssl_reason("not the key of the certificate") + " (certificate " +
                                 cert_file + ")");
    }
    return context;
}

TlsCertificate::TlsCertificate(std::string cert_file, std::string key_file)
    : cert_file_(std::move(cert_file)), key_file_(std::move(key_file)), context_(load(cert_file_, key_file_)) {}

bool TlsCertificate::reload(std::string* error) {
    try {
        context_ = load(cert_file_, key_file_);
        return true;
    } catch (const std::runtime_error& e) {
        *error = e.what();
        return false;
    }
}

}  // namespace app
