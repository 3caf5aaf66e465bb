#include "app/metrics.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace app {

namespace {

// The shortest text that reads back as the same double ("0.25", "1e-05").
std::string number(double value) {
    char text[32];
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

void head(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// What lies between `before` and `after` in `line`, when both are there.
std::optional<std::string_view> between(std::string_view line, std::string_view before, std::string_view after) {
    const auto begin = line.find(before);
    if (begin == std::string_view::npos) return std::nullopt;
    const auto from = begin + before.size();
    const auto end = line.find(after, from);
    if (end == std::string_view::npos) return std::nullopt;
    return line.substr(from, end - from);
}

bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

std::string label_value(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.append(1, '\\').append(1, c);
        else if (c == '\n')
            out.append("\\n");
        else
            out.append(1, c);
    }
    return out;
}

// ---- Histogram ------------------------------------------------------------------

void Histogram::observe(double seconds) {
    ++count_;
    sum_ += seconds;
    for (std::size_t i = 0; i < kBounds.size(); ++i) {
        if (seconds <= kBounds[i]) {
            ++buckets_[i];
            return;
        }
    }
}

std::string Histogram::render(std::string_view name, std::string_view help) const {
    std::string out;
    head(out, name, "histogram", help);
    uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kBounds.size(); ++i) {
        cumulative += buckets_[i];
        out.append(name).append("_bucket{le=\"").append(number(kBounds[i])).append("\"} ");
        out.append(std::to_string(cumulative)).append("\n");
    }
    out.append(name).append("_bucket{le=\"+Inf\"} ").append(std::to_string(count_)).append("\n");
    out.append(name).append("_sum ").append(number(sum_)).append("\n");
    out.append(name).append("_count ").append(std::to_string(count_)).append("\n");
    return out;
}

// ---- PurchaseTally ----------------------------------------------------------------

// The game log's lines about a purchase (the module's and the game's
// texts): a charge in credits or days ("Deducted 500 credits from Alice
// for a life."), in copper ("Brakvold: took 1000 copper, account Alice,
// player Alia."), the closing line of a life ("Alice purchased a life."),
// the mail of mail-only mode ("... notification to Sysop that Alice
// purchased a description."), and the refunds of a purchase that failed
// ("Refunded ...", "Brakvold: gave back ...").
void PurchaseTally::logged(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    const bool life = ends_with(text, " a life.");
    auto mark = [&](std::optional<std::string_view> buyer, bool refund) {
        if (!buyer || buyer->empty()) return;
        Purchase& purchase = buyers_[std::string(*buyer)];
        (refund ? purchase.refunded : purchase.charged) = true;
        purchase.life = purchase.life || life;
    };
    if (text.starts_with("Deducted ")) {
        mark(between(text, " from ", " for a "), false);
    } else if (text.starts_with("Refunded ")) {
        mark(between(text, " to ", " for a "), true);
    } else if (text.starts_with("Brakvold: took ")) {
        mark(between(text, ", account ", ", player "), false);
    } else if (text.starts_with("Brakvold: gave back ")) {
        mark(between(text, ", account ", ", player "), true);
    } else if (text.find(" notification to ") != std::string_view::npos) {
        mark(between(text.substr(text.find(" notification to ")), " that ", " purchased a "), false);
    } else if (life) {
        const auto end = text.rfind(" purchased a life.");
        if (end != std::string_view::npos) mark(text.substr(0, end), false);
    }
}

// ---- Metrics ----------------------------------------------------------------------

void Metrics::line_received(int channel, Clock::time_point at) { lines_.try_emplace(channel, at); }

void Metrics::output_released(int channel, Clock::time_point at) {
    auto it = lines_.find(channel);
    if (it == lines_.end()) return;
    line_latency_.observe(std::chrono::duration<double>(at - it->second).count());
    lines_.erase(it);
}

std::string Metrics::render(const SessionCounts& sessions) const {
    std::string out;
    head(out, "bbshost_sessions", "gauge", "Users logged on, by way in.");
    SessionCounts all{{"telnet", 0}, {"telnets", 0}, {"ssh", 0}, {"web", 0}};
    for (const auto& [way, count] : sessions) all[way] = count;
    for (const auto& [way, count] : all)
        out.append("bbshost_sessions{way=\"").append(label_value(way)).append("\"} ").append(std::to_string(count)).append("\n");

    head(out, "bbshost_logons_total", "counter", "Logon attempts by way in and result.");
    for (const auto& [labels, count] : logons_) {
        out.append("bbshost_logons_total{way=\"").append(label_value(labels.first)).append("\",result=\"");
        out.append(label_value(labels.second)).append("\"} ").append(std::to_string(count)).append("\n");
    }
    auto counters = [&out](std::string_view name, std::string_view label, const std::map<std::string, uint64_t>& values) {
        for (const auto& [value, count] : values) {
            out.append(name).append("{").append(label).append("=\"").append(label_value(value)).append("\"} ");
            out.append(std::to_string(count)).append("\n");
        }
    };
    head(out, "bbshost_throttle_refusals_total", "counter", "Connections and logon attempts the logon throttle refused, by reason.");
    counters("bbshost_throttle_refusals_total", "reason", refusals_);
    head(out, "bbshost_purchases_total", "counter", "Purchases charged, as the game logs them, by kind.");
    counters("bbshost_purchases_total", "kind", purchases_);

    head(out, "bbshost_database_busy_seconds_total", "counter",
         "Seconds host calls waited for a database another connection held.");
    out.append("bbshost_database_busy_seconds_total ").append(number(busy_seconds_)).append("\n");
    out += line_latency_.render("bbshost_line_latency_seconds",
                                "From a typed line reaching the host to the first output released after it.");
    out += commit_sync_.render("bbshost_commit_sync_seconds", "From a commit to its sync on disk.");
    head(out, "bbshost_build_info", "gauge", "The running bbshost's version.");
    out.append("bbshost_build_info{version=\"").append(label_value(version_)).append("\"} 1\n");
    return out;
}

}  // namespace app
