// The certificate the TLS ports present (the web terminal's HTTPS and
// telnet's TLS port): one chain and key for all of them, read at the start
// and again at SIGHUP, so that a renewed certificate reaches every port at
// once.
//
// A connection takes context() when it is made and keeps it for its life:
// a reload changes what new handshakes present, never a connection's own.
// A reload whose files cannot be loaded leaves the certificate served as it
// was.
#pragma once

#include <memory>
#include <string>

namespace asio::ssl {
class context;
}

namespace app {

class TlsCertificate {
public:
    // The server side of TLS with the certificate chain and the private key
    // of these PEM files. Throws std::runtime_error naming the file and
    // what is wrong with it.
    static std::shared_ptr<asio::ssl::context> load(const std::string& cert_file, const std::string& key_file);

    // Reads both files; throws as load().
    TlsCertificate(std::string cert_file, std::string key_file);

    TlsCertificate(const TlsCertificate&) = delete;
    TlsCertificate& operator=(const TlsCertificate&) = delete;

    // What a new connection's handshake uses.
    std::shared_ptr<asio::ssl::context> context() const { return context_; }
    const std::string& cert_file() const { return cert_file_; }

    // Reads the files again. On success new connections get what they hold.
    // On failure the certificate served stays, and *error names the file
    // and what is wrong with it.
    bool reload(std::string* error);

private:
    const std::string cert_file_, key_file_;
    std::shared_ptr<asio::ssl::context> context_;
};

}  // namespace app
