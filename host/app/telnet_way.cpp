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

void TelnetWay::accepted(Accepted connection) {
    std::error_code ec;
    const unsigned port = connection.socket.local_endpoint(ec).port();
    auto status = [this, port]() {
        MsspVariables variables = host_variables({options_.mssp_name, options_.mssp_codebase,
                                                  sessions_.channels_held(), started_, port, 0});
        const MsspVariables& sysop = options_.mssp.variables();
        variables.insert(variables.end(), sysop.begin(), sysop.end());
        return variables;
    };
    sessions_.adopt(TelnetTransport::make(std::move(connection), log_, std::move(status), options_.tls));
}

void TelnetWay::reload_settings() {
    if (options_.mssp_file.empty()) return;
    std::string error;
    auto settings = MsspSettings::load(options_.mssp_file, &error);
    if (!settings) {
        log_("MSSP settings kept as they were: " + error);
        return;
    }
    options_.mssp = std::move(*settings);
    log_("MSSP settings reloaded from " + options_.mssp_file.string());
}

}  // namespace app
