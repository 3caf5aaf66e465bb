#include "app/telnet_way.h"

#include <chrono>
#include <utility>
#include <vector>

#include "app/sessions.h"
#include "app/telnet_transport.h"

namespace app {

TelnetWay::TelnetWay(Sessions& sessions, std::function<void(std::string_view line)> log, Options options)
    : sessions_(sessions),
      log_(std::move(log)),
      options_(std::move(options)),
      started_(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                   .count()) {}

void TelnetWay::accepted(asio::ip::tcp::socket socket) {
    auto status = [this]() -> std::vector<std::pair<std::string, std::string>> {
        return {{"NAME", options_.mssp_name},
                {"PLAYERS", std::to_string(sessions_.channels_held())},
                {"UPTIME", std::to_string(started_)},
                {"CODEBASE", options_.mssp_codebase}};
    };
    sessions_.adopt(TelnetTransport::make(std::move(socket), log_, std::move(status), options_.tls));
}

}  // namespace app
