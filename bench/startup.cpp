// Start-up of the host program: from exec to listening, on a data folder
// with a million generic records, against the same folder with a thousand:
// what the host does at start must not grow with the database (a scan of a
// million records would take far longer than the whole start).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench/host_process.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {
namespace {

constexpr int kStarts = 11;  // the median of these, after one start that warms the page cache

// Seconds from exec to listening, NAN on failure.
double one_start(size_t records) {
    HostProcess::Options options;
    options.data = load_folder(records);
    options.channels = kLoadUsers;
    std::string error;
    auto host = HostProcess::start(options, &error);
    if (!host || !host->stop(&error)) {
        std::fprintf(stderr, "plus_bench: start-up with %zu records: %s\n", records, error.c_str());
        return NAN;
    }
    return host->startup_seconds();
}

void startup() {
    // The two folders take turns, so that a noisy moment hits both alike.
    std::vector<double> large, small;
    for (int i = 0; i <= kStarts; ++i) {
        const double l = one_start(1000000), s = one_start(1000);
        if (std::isnan(l) || std::isnan(s)) return;
        if (i == 0) continue;
        large.push_back(l * 1000);
        small.push_back(s * 1000);
    }
    const double l = median(large), s = median(small);
    std::fprintf(stderr, "plus_bench: start-up %.1f ms with 10^6 records, %.1f ms with 10^3\n", l, s);
    add_figure({"start-up", "exec to listening, 10^6 records", l, "ms", "", 0, 1000, Goal::AtMost,
                true});
    add_figure({"start-up", "exec to listening, 10^6 against 10^3 records", l, "ms",
                "the same with 10^3 records", s, 1.5, Goal::AtMost});
}

struct Registrar {
    Registrar() {
        describe_group("start-up",
                       "Start-up of bbshost (256 channels, game and module loaded): exec to listening");
        after_runs("start-up/exec_to_listening", startup);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
