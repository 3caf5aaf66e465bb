// plus_bench: runs every benchmark group in bench/ and prints one table of
// figures, each against the baseline measured beside it in the same run.
//
// A group is a .cpp file in this folder (listed in CMakeLists.txt, in the
// order the table prints them) that registers Google Benchmark runs and,
// through bench/registry.h, the figures it reports (run against run, or
// figures measured by its own after-runs work). Google Benchmark flags work
// as usual; --benchmark_filter also selects the after-runs work by its name
// (generic/, listing/, menu/, durability/, start-up/, telnet/, fairness/, keys/,
// ways/).
// The table is the only output on stdout, progress goes to stderr.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bbs/accounts.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace {

class Collector : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            const std::string name = run.run_name.function_name;
            if (run.error_occurred) {
                std::fprintf(stderr, "plus_bench: %s failed: %s\n", name.c_str(),
                             run.error_message.c_str());
                plus_bench::run_failed(name, run.error_message);
                continue;
            }
            if (run.iterations == 0) continue;
            const double ns = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
            plus_bench::record_run(name, ns);
            std::fprintf(stderr, "  %-48s %12.0f ns  (%lld iterations)\n", name.c_str(), ns,
                         static_cast<long long>(run.iterations));
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Accounts of the benchmark's data folders get the host's cheap password
    // hashing (logons are not what is measured), and so do the logons of the
    // bbshost it starts, which check those hashes.
    bbs::set_password_cost_for_tests(bbs::PasswordCost::minimum);

    // Repetitions run interleaved, so that a noisy moment of the shared
    // machine hits a figure and its baseline alike; the table takes medians.
    std::vector<char*> args(argv, argv + argc);
    std::string filter;  // the after-runs work obeys it too
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string flag = "--benchmark_filter=";
        if (arg.rfind(flag, 0) == 0) filter = arg.substr(flag.size());
    }
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string repetitions = "--benchmark_repetitions=5";
    args.insert(args.begin() + 1, repetitions.data());
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    plus_bench::close_hosts();  // only one host is open at a time
    plus_bench::run_after_work(filter);
    benchmark::Shutdown();

    const int missed = plus_bench::print_table();
    // Figures without a goal are there for information and never count.
    if (missed)
        std::printf("%d figure(s) miss their goal.\n", missed);
    else
        std::printf("Every figure with a goal meets it.\n");
    return 0;
}
