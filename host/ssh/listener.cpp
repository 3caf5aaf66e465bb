#include "ssh/listener.h"

#include <stdexcept>

#include "ssh/connection.h"

namespace ssh {

namespace {

BindHandle make_bind(const HostKey& key) {
    BindHandle bind(ssh_bind_new());
    if (!bind) throw std::runtime_error("ssh: libssh could not make its server object");
    auto fail = [&](const char* what) {
        return std::runtime_error(std::string("ssh: cannot ") + what + ": " + ssh_get_error(bind.get()));
    };
    // Only what is set here counts: no system-wide libssh server config.
    const bool process_config = false;
    if (ssh_bind_options_set(bind.get(), SSH_BIND_OPTIONS_PROCESS_CONFIG, &process_config) != SSH_OK)
        throw fail("turn off libssh's server config");
    const int verbosity = SSH_LOG_NOLOG;
    if (ssh_bind_options_set(bind.get(), SSH_BIND_OPTIONS_LOG_VERBOSITY, &verbosity) != SSH_OK)
        throw fail("quieten libssh");
    KeyHandle copy = key.copy();
    if (ssh_bind_options_set(bind.get(), SSH_BIND_OPTIONS_IMPORT_KEY, copy.get()) != SSH_OK)
        throw fail(("use the host key " + key.path().string()).c_str());
    copy.release();  // the bind owns it now
    return bind;
}

}  // namespace

SshListener::SshListener(asio::io_context& io, ListenerOptions options)
    : key_(HostKey::load_or_create(options.key_folder)),
      state_(std::make_shared<ListenerState>(io, std::move(options))) {
    if (!state_->options.check_password) throw std::invalid_argument("ssh: no password check given");
    state_->bind = make_bind(key_);
}

SshListener::~SshListener() { close_all("server shutting down"); }

void SshListener::adopt(asio::ip::tcp::socket socket, Peer peer) {
    auto connection = std::make_shared<Connection>(state_, std::move(socket), std::move(peer));
    state_->connections.insert(connection);
    connection->start();
}

std::size_t SshListener::connection_count() const { return state_->connections.size(); }

void SshListener::close_all(std::string_view reason) {
    // end() removes each from the set later, from the loop.
    const auto connections = state_->connections;
    for (const auto& connection : connections) connection->end(std::string(reason));
    state_->connections.clear();
}

}  // namespace ssh
