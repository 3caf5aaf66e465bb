// The first step of every connection accepted on a way that takes the PROXY
// protocol (app/proxy_header.h): who the client is, before the way's
// protocol (telnet's negotiation, SSH's version lines, TLS's handshake)
// sees a byte.
//
//  - No trusted proxies: the connection goes on at once, as it is.
//  - From a trusted proxy: the header must come first, complete within
//    kHeaderTime. It is read off the socket and nothing after it; the
//    connection goes on with the client it names (or its peer, for a header
//    that names none). A malformed header, one that does not come in time,
//    or a connection closed before it ends the connection, logged.
//  - From any other peer: the connection goes on as it is, marked to be
//    refused if it begins with a PROXY header. Where the client speaks
//    first, that is checked here: the first bytes are looked at (not
//    taken) as soon as they come, within kScreenTime (after which the
//    connection goes on unchecked); where the host speaks first, the
//    transport checks its first read.
//
// Everything runs on the loop; a connection waiting for its header holds
// only its socket and a timer.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "app/network.h"
#include "app/way_in.h"

namespace app {

class ProxyAccept {
public:
    using Log = std::function<void(std::string_view line)>;
    using Next = std::function<void(Accepted connection)>;
    static constexpr std::chrono::seconds kHeaderTime{5};
    static constexpr std::chrono::seconds kScreenTime{5};

    ProxyAccept(NetworkList trusted, Log log) : trusted_(std::move(trusted)), log_(std::move(log)) {}

    const NetworkList& trusted() const { return trusted_; }

    // A freshly accepted connection (its client still its peer) of a way
    // whose client speaks first or not: `next` gets it once its client is
    // known, from the loop or at once; never when it was ended.
    void accepted(Accepted connection, bool client_speaks_first, Next next);

private:
    class Reading;

    NetworkList trusted_;
    Log log_;
};

}  // namespace app
