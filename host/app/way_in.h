// A way into the host: a protocol served on a listening port
// (app/listeners.h). Each way makes what its port accepts into transports
// (app/transport.h) of its protocol and hands them to the sessions
// (app/sessions.h), which serve every way alike; its protocol's settings
// are its own. The Server (app/server.h) makes the ways and listens for them.
//
// A new way in: a transport, a WayIn that makes it (telnet_way.h is the
// smallest), a maker in the Server and its port in main.cpp.
#pragma once

#include <asio.hpp>

namespace app {

// A connection as the accept step (app/proxy_accept.h) hands it to a way.
struct Accepted {
    asio::ip::tcp::socket socket;
    // The client's address and port: the peer's, or those a trusted proxy
    // named in a PROXY header. The session's address from now on.
    asio::ip::tcp::endpoint client;
    // The peer is no trusted proxy while there are some: a connection that
    // begins with a PROXY header anyway is to be refused (by the transport's
    // first read, where the host speaks first).
    bool refuse_proxy_header = false;

    // The connection as it is: its peer is the client (none when it is gone).
    static Accepted as_is(asio::ip::tcp::socket socket);
    // Its peer could not be read: the connection is gone already, and the
    // way finds out at its first read.
    bool gone() const { return client.port() == 0 && client.address().is_unspecified(); }
};

class WayIn {
public:
    virtual ~WayIn() = default;
    // A connection accepted on the way's port, on the loop.
    virtual void accepted(Accepted connection) = 0;
    // Whether a trusted proxy may begin the way's connections with a PROXY
    // header (app/proxy_accept.h), and whether the client speaks first on
    // them (SSH, TLS) or the host does (telnet).
    virtual bool takes_proxy_header() const { return false; }
    virtual bool client_speaks_first() const { return true; }
};

}  // namespace app
