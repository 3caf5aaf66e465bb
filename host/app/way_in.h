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

class WayIn {
public:
    virtual ~WayIn() = default;
    // A connection accepted on the way's port, on the loop.
    virtual void accepted(asio::ip::tcp::socket socket) = 0;
};

}  // namespace app
