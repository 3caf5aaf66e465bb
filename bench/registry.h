// The benchmark table: every group registers the figures it reports, each
// held against a baseline measured in the same run on the same machine, and
// main() prints them all in one table once everything has run.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace plus_bench {

// How a figure reads against its goal.
enum class Goal {
    AtMost,   // must not exceed the goal (costs)
    AtLeast,  // must reach the goal (rates)
    None,     // shown for information, no goal
};

// What the ratio column shows.
enum class Ratio {
    Plain,  // value / baseline
    Added,  // (value - baseline) / baseline: what the measured path adds
};

// A row of the table whose two values are Google Benchmark runs: the real
// time per iteration of the run `measured` against that of `baseline` (run
// names, e.g. "generic/equal/1000000"); the table takes the median of the
// repetitions. Resolved after the runs; register at start-up.
struct Comparison {
    std::string group;
    std::string figure;
    std::string measured;        // run name
    std::string baseline;        // run name
    std::string baseline_label;  // what the baseline is, for the reader
    double goal = 0;             // on the ratio
    Goal kind = Goal::AtMost;
    Ratio ratio = Ratio::Plain;
    bool per_line = false;       // an iteration is one line: show lines/s too
    double baseline_per = 1;     // the baseline's iteration does this many units of the work
};
void compare(Comparison comparison);

// A row measured outside Google Benchmark (load generator, start-up).
struct Figure {
    std::string group;
    std::string figure;
    double value = 0;            // in `unit`
    std::string unit;            // "s", "ms", "MB", "lines/s", "" (a count)
    std::string baseline_label;  // what the value is held against; empty: nothing
    double baseline = 0;         // in `unit`
    double goal = 0;
    Goal kind = Goal::AtMost;
    bool goal_on_value = false;  // the goal bounds the value itself, not the ratio
};
void add_figure(Figure figure);

// A group's title line in the table (groups print in registration order).
void describe_group(const std::string& group, const std::string& title);

// Work that runs after the Google Benchmark runs and adds figures of its
// own, named like a run ("telnet/load") so that --benchmark_filter selects
// it too.
void after_runs(std::string name, std::function<void()> work);

// A run that found its path broken (Google Benchmark's SkipWithError, which
// runs call after their loop): the table says so instead of a figure.
void run_failed(const std::string& run, const std::string& why);

// Bytes as readable text (control bytes as \xHH), for messages.
std::string visible(const std::string& bytes, size_t limit = 160);

// The median of a figure's measurements (NAN when there are none): one slow
// measurement on a shared machine does not move it.
double median(std::vector<double> values);

// ---- used by main() ---------------------------------------------------------
void record_run(const std::string& name, double ns_per_iteration);  // every repetition
void run_after_work(const std::string& filter);  // the --benchmark_filter regex, or empty
// Prints the table; returns the number of figures that miss their goal.
int print_table();

}  // namespace plus_bench
