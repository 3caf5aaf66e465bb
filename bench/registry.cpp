#include "bench/registry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <vector>

#include "text/utf8.h"

namespace plus_bench {

namespace {

struct Row {
    std::string figure;
    std::string value_text;
    std::string baseline_label;
    std::string baseline_text;
    std::string ratio_text;
    std::string goal_text;
    std::string verdict;
    bool missed = false;
};

struct State {
    std::vector<Comparison> comparisons;
    std::vector<Figure> figures;
    std::vector<std::pair<std::string, std::string>> titles;  // group, title
    std::vector<std::pair<std::string, std::function<void()>>> after;
    std::map<std::string, std::vector<double>> runs;  // ns per iteration, every repetition
    std::map<std::string, std::string> failures;      // run -> why
};

State& state() {
    static State s;
    return s;
}

bool median_of(const std::string& name, double* out) {
    auto it = state().runs.find(name);
    if (it == state().runs.end() || it->second.empty()) return false;
    *out = median(it->second);
    return true;
}

std::string format(const char* pattern, double value, const char* unit = "") {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value, unit);
    return text;
}

std::string format_ns(double ns) {
    if (ns >= 1e9) return format("%.2f s", ns / 1e9);
    if (ns >= 1e6) return format("%.2f ms", ns / 1e6);
    if (ns >= 1e3) return format("%.2f us", ns / 1e3);
    return format("%.0f ns", ns);
}

std::string format_value(double value, const std::string& unit) {
    if (unit == "ns") return format_ns(value);
    if (unit.empty()) return format("%.0f", value);
    if (unit == "lines/s" || unit == "keys/s") return format("%.0f %s", value, unit.c_str());
    return format("%.3g %s", value, unit.c_str());
}

std::string format_goal(double goal, Goal kind, const std::string& unit) {
    if (kind == Goal::None) return "-";
    std::string text = kind == Goal::AtMost ? "<= " : ">= ";
    text += format("%g", goal);
    if (!unit.empty()) text += " " + unit;
    return text;
}

bool meets(double x, double goal, Goal kind) {
    if (kind == Goal::None) return true;
    return kind == Goal::AtMost ? x <= goal : x >= goal;
}

Row row_of(const Comparison& c) {
    Row r;
    r.figure = c.figure;
    r.baseline_label = c.baseline_label;
    for (const std::string* run : {&c.measured, &c.baseline}) {
        auto failed = state().failures.find(*run);
        if (failed == state().failures.end()) continue;
        r.value_text = r.baseline_text = r.ratio_text = "-";
        r.goal_text = format_goal(c.goal, c.kind, "");
        r.verdict = "FAILED: " + *run + ": " + failed->second;
        r.missed = true;
        return r;
    }
    double value = 0, baseline = 0;
    const bool known = median_of(c.measured, &value) && median_of(c.baseline, &baseline);
    baseline /= c.baseline_per;
    if (!known || baseline <= 0) {
        r.value_text = r.baseline_text = r.ratio_text = "-";
        r.goal_text = format_goal(c.goal, c.kind, "");
        r.verdict = "not run";
        r.missed = c.kind != Goal::None;
        return r;
    }
    r.value_text = format_ns(value);
    r.baseline_text = format_ns(baseline);
    if (c.per_line) {
        r.value_text += format(" (%.0fk/s)", 1e6 / value);
        r.baseline_text += format(" (%.0fk/s)", 1e6 / baseline);
    }
    const double ratio = c.ratio == Ratio::Added ? (value - baseline) / baseline : value / baseline;
    r.ratio_text = format(c.ratio == Ratio::Added ? "%+.2f" : "%.2f", ratio);
    r.goal_text = format_goal(c.goal, c.kind, "");
    if (c.ratio == Ratio::Added && c.kind != Goal::None) r.goal_text.insert(3, "+");
    r.missed = !meets(ratio, c.goal, c.kind);
    r.verdict = c.kind == Goal::None ? "" : r.missed ? "MISSED" : "ok";
    return r;
}

Row row_of(const Figure& f) {
    Row r;
    r.figure = f.figure;
    r.value_text = format_value(f.value, f.unit);
    r.baseline_label = f.baseline_label.empty() ? "-" : f.baseline_label;
    const bool has_base = !f.baseline_label.empty() && f.baseline > 0;
    r.baseline_text = has_base ? format_value(f.baseline, f.unit) : "-";
    const double ratio = has_base ? f.value / f.baseline : NAN;
    r.ratio_text = has_base ? format("%.2f", ratio) : "-";
    r.goal_text = format_goal(f.goal, f.kind, f.goal_on_value ? f.unit : "");
    if (std::isnan(f.value)) {
        r.value_text = "-";
        r.verdict = "not run";
        r.missed = f.kind != Goal::None;
        return r;
    }
    const double judged = f.goal_on_value ? f.value : ratio;
    r.missed = f.kind != Goal::None && (std::isnan(judged) || !meets(judged, f.goal, f.kind));
    r.verdict = f.kind == Goal::None ? "" : r.missed ? "MISSED" : "ok";
    return r;
}

}  // namespace

void compare(Comparison comparison) { state().comparisons.push_back(std::move(comparison)); }

void add_figure(Figure figure) { state().figures.push_back(std::move(figure)); }

void describe_group(const std::string& group, const std::string& title) {
    state().titles.emplace_back(group, title);
}

void after_runs(std::string name, std::function<void()> work) {
    state().after.emplace_back(std::move(name), std::move(work));
}

void run_failed(const std::string& run, const std::string& why) { state().failures[run] = why; }

std::string visible(const std::string& bytes, size_t limit) {
    return text::escaped_for_log(bytes.substr(0, limit)) + (bytes.size() > limit ? "..." : "");
}

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void record_run(const std::string& name, double ns_per_iteration) {
    state().runs[name].push_back(ns_per_iteration);
}

void run_after_work(const std::string& filter) {
    // As Google Benchmark reads it: a leading '-' excludes what matches.
    const bool negative = !filter.empty() && filter[0] == '-';
    const std::string pattern = negative ? filter.substr(1) : filter;
    const std::regex wanted(pattern.empty() || pattern == "all" ? "." : pattern);
    for (auto& [name, work] : state().after)
        if (std::regex_search(name, wanted) != negative) work();
}

int print_table() {
    // Groups in the order their titles were registered, then any others;
    // groups with no rows (filtered out) are left out.
    std::vector<std::string> groups;
    for (const auto& [group, title] : state().titles) groups.push_back(group);
    auto add_group = [&](const std::string& g) {
        if (std::find(groups.begin(), groups.end(), g) == groups.end()) groups.push_back(g);
    };
    std::map<std::string, std::vector<Row>> rows;
    for (const Comparison& c : state().comparisons) {
        // Both runs filtered out (--benchmark_filter): not part of this table.
        auto known = [](const std::string& run) {
            return state().runs.count(run) || state().failures.count(run);
        };
        if (!known(c.measured) && !known(c.baseline)) continue;
        add_group(c.group);
        rows[c.group].push_back(row_of(c));
    }
    for (const Figure& f : state().figures) {
        add_group(f.group);
        rows[f.group].push_back(row_of(f));
    }

    size_t w[6] = {6, 5, 12, 9, 5, 4};  // figure, value, held against, its value, ratio, goal
    for (const auto& [group, list] : rows)
        for (const Row& r : list) {
            w[0] = std::max(w[0], r.figure.size());
            w[1] = std::max(w[1], r.value_text.size());
            w[2] = std::max(w[2], r.baseline_label.size());
            w[3] = std::max(w[3], r.baseline_text.size());
            w[4] = std::max(w[4], r.ratio_text.size());
            w[5] = std::max(w[5], r.goal_text.size());
        }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                    const std::string& d, const std::string& e, const std::string& f,
                    const std::string& verdict) {
        std::printf("  %-*s  %*s  %-*s  %*s  %*s  %-*s  %s\n", static_cast<int>(w[0]), a.c_str(),
                    static_cast<int>(w[1]), b.c_str(), static_cast<int>(w[2]), c.c_str(),
                    static_cast<int>(w[3]), d.c_str(), static_cast<int>(w[4]), e.c_str(),
                    static_cast<int>(w[5]), f.c_str(), verdict.c_str());
    };

    int missed = 0;
    std::printf("\n");
    if (rows.empty()) {
        std::printf("No figures: nothing matched the filter.\n");
        return 0;
    }
    line("figure", "value", "held against", "its value", "ratio", "goal", "");
    for (const std::string& group : groups) {
        if (rows[group].empty()) continue;
        std::string title = group;
        for (const auto& [g, t] : state().titles)
            if (g == group) title = t;
        std::printf("\n%s\n", title.c_str());
        for (const Row& r : rows[group]) {
            if (r.missed) ++missed;
            line(r.figure, r.value_text, r.baseline_label, r.baseline_text, r.ratio_text,
                 r.goal_text, r.verdict);
        }
    }
    std::printf("\n");
    std::fflush(stdout);
    return missed;
}

}  // namespace plus_bench
