// What a sysop graphs and alerts on, counted where it happens and shown in
// the Prometheus text format (bbshost --metrics-port, app/metrics_endpoint.h).
// Labels name ways in, results, reasons and kinds, never a user or an
// address. The Server owns the one Metrics; its owners count into it:
//
//   bbshost_sessions{way}                       users on, by way in (read at a scrape)
//   bbshost_logons_total{way,result}            ok, wrong_password, refused, no_channel
//   bbshost_throttle_refusals_total{reason}     the logon throttle's refusals (LogonThrottle::Refusal)
//   bbshost_purchases_total{kind}               life, description: from the game log's charges
//   bbshost_database_busy_seconds_total         time calls waited for the database
//   bbshost_line_latency_seconds                a typed line to the first output after it
//   bbshost_commit_sync_seconds                 a commit to its sync on disk
//   bbshost_build_info{version}                 1
//
// Single-threaded: everything runs on the loop.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace app {

// A Prometheus histogram of seconds with fixed buckets.
class Histogram {
public:
    static constexpr std::array<double, 12> kBounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                    0.05,   0.1,   0.25,   0.5,   1,    2.5};
    void observe(double seconds);
    // The series of `name` (with its HELP and TYPE lines).
    std::string render(std::string_view name, std::string_view help) const;

private:
    std::array<uint64_t, kBounds.size()> buckets_{};  // each bucket alone, summed when rendered
    uint64_t count_ = 0;
    double sum_ = 0;
};

// Purchases as the game logs their charges: the lines of one batch (the
// game log lines that stood at once) are grouped by buyer, and a buyer
// with a charge and no refund in the batch bought one thing: a life when a
// line says so, else a description.
class PurchaseTally {
public:
    void logged(std::string_view text);
    // The batch ends: what each buyer bought goes to `counted(kind)`.
    template <typename Count>
    void batch_ended(Count counted) {
        for (const auto& [buyer, purchase] : buyers_)
            if (purchase.charged && !purchase.refunded) counted(purchase.life ? "life" : "description");
        buyers_.clear();
    }
    bool pending() const { return !buyers_.empty(); }

private:
    struct Purchase {
        bool charged = false, refunded = false, life = false;
    };
    std::map<std::string, Purchase> buyers_;
};

class Metrics {
public:
    using Clock = std::chrono::steady_clock;
    // Users on, by way in ("telnet", "telnets", "ssh", "web"), when scraped.
    using SessionCounts = std::map<std::string, int, std::less<>>;

    explicit Metrics(std::string version) : version_(std::move(version)) {}

    void logon(std::string_view way, std::string_view result) { ++logons_[{std::string(way), std::string(result)}]; }
    void throttle_refusal(std::string_view reason) { ++refusals_[std::string(reason)]; }
    void purchase(std::string_view kind) { ++purchases_[std::string(kind)]; }
    // Calls waited for the database for `seconds`.
    void database_busy(double seconds) { busy_seconds_ += seconds; }
    void commit_synced(double seconds) { commit_sync_.observe(seconds); }
    // A line reached the host at `channel`; the first output to the channel
    // after it ends its latency. A channel freed forgets its line.
    void line_received(int channel, Clock::time_point at);
    void output_released(int channel, Clock::time_point at);
    void channel_freed(int channel) { lines_.erase(channel); }

    // The whole exposition, given the users on now.
    std::string render(const SessionCounts& sessions) const;

private:
    std::string version_;
    std::map<std::pair<std::string, std::string>, uint64_t> logons_;
    std::map<std::string, uint64_t> refusals_;
    std::map<std::string, uint64_t> purchases_;
    double busy_seconds_ = 0;
    Histogram line_latency_;
    Histogram commit_sync_;
    std::map<int, Clock::time_point> lines_;  // channels whose line awaits output
};

// A label value in the text format: backslash, quote and line feed escaped.
std::string label_value(std::string_view text);

}  // namespace app
