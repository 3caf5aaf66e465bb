#include "app/gmcp.h"

#include <nlohmann/json.hpp>

#include "platform/game.h"
#include "text/ascii.h"

namespace app {

namespace {

using Json = nlohmann::json;

std::string dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::optional<GmcpMessage> parse_gmcp(std::string_view message) {
    const std::size_t space = message.find_first_of(" \t\r\n");
    const std::string_view name = message.substr(0, space);
    if (name.empty()) return std::nullopt;
    for (const char c : name) {
        if (c <= 0x20 || c >= 0x7f) return std::nullopt;
    }
    const std::string_view body = space == std::string_view::npos ? std::string_view() : message.substr(space + 1);
    return GmcpMessage{std::string(name), std::string(text::trim(body, text::kWhiteSpace))};
}

std::string gmcp_text(std::string_view name, std::string_view body) {
    std::string out(name);
    if (!body.empty()) out.append(" ").append(body);
    return out;
}

std::optional<std::string> GmcpClient::received(std::string_view message) {
    supports_changed_ = false;
    if (message.size() > kMaxMessage) return std::nullopt;
    const auto parsed = parse_gmcp(message);
    if (!parsed) return std::nullopt;
    const std::string& name = parsed->name;
    if (text::equal_ignoring_case(name, "Core.Ping")) return std::string("Core.Ping");
    if (text::equal_ignoring_case(name, "Core.Supports.Set")) {
        support(parsed->body, true, true);
    } else if (text::equal_ignoring_case(name, "Core.Supports.Add")) {
        support(parsed->body, true, false);
    } else if (text::equal_ignoring_case(name, "Core.Supports.Remove")) {
        support(parsed->body, false, false);
    } else if (text::equal_ignoring_case(name, "Core.Hello")) {
        const Json hello = Json::parse(parsed->body, nullptr, false);
        if (hello.is_object() && hello.contains("client") && hello["client"].is_string()) {
            client_ = hello["client"].get<std::string>().substr(0, 40);
            if (hello.contains("version") && hello["version"].is_string())
                client_ += " " + hello["version"].get<std::string>().substr(0, 20);
        }
    }
    return std::nullopt;
}

void GmcpClient::support(std::string_view body, bool on, bool reset) {
    const Json list = Json::parse(body, nullptr, false);
    if (!list.is_array()) return;
    supports_changed_ = true;
    if (reset) packages_.clear();
    for (const Json& item : list) {
        if (!item.is_string()) continue;
        const std::string entry = item.get<std::string>();
        // "Char 1": the package and its version; the version is not checked.
        const std::string package = text::lowercase(text::trim(entry.substr(0, entry.find(' '))));
        if (package.empty()) continue;
        if (!on) {
            packages_.erase(package);
        } else if (packages_.size() < kMaxPackages) {
            packages_.insert(package);
        }
    }
}

bool GmcpClient::supports(std::string_view name) const {
    const std::string lower = text::lowercase(name);
    for (std::size_t dot = lower.find('.'); dot != std::string::npos; dot = lower.find('.', dot + 1)) {
        if (packages_.contains(std::string_view(lower).substr(0, dot))) return true;
    }
    return packages_.contains(lower);
}

std::vector<std::string> GmcpClient::character_news(const PublicUserInfo& info) {
    auto field = [](const char* f, std::size_t size) { return std::string(text::trim(text::field(f, size))); };
    const std::string name = field(info.name, sizeof info.name);
    const std::string title = field(info.title, sizeof info.title);
    const std::pair<const char*, Json> messages[] = {
        {"Char.Name", {{"name", name}, {"fullname", title.empty() ? name : name + " " + title}}},
        {"Char.Status",
         {{"level", info.level},
          {"race", field(info.race, sizeof info.race)},
          {"profession", field(info.profession, sizeof info.profession)},
          {"guild", field(info.guild, sizeof info.guild)},
          {"copper", info.copper},
          {"lives", info.lives},
          {"time_played", info.time_played}}},
        {"Char.Vitals", {{"hp", info.hit_points}}},
    };
    std::vector<std::string> news;
    for (const auto& [message, json] : messages) {
        if (!supports(message)) continue;
        std::string body = dump(json);
        auto it = sent_.find(message);
        if (it != sent_.end() && it->second == body) continue;
        news.push_back(gmcp_text(message, body));
        sent_[message] = std::move(body);
    }
    return news;
}

}  // namespace app
