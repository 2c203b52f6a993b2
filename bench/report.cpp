// SPDX-License-Identifier: MIT
#include "report.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace bench {

namespace {

std::map<std::string, std::string>& Options() {
    static std::map<std::string, std::string> options;
    return options;
}

std::string NameOf(const benchmark::BenchmarkReporter::Run& run) {
    std::string name = run.run_name.function_name;
    if (!run.run_name.args.empty()) {
        name += "/" + run.run_name.args;
    }
    return name;
}

// The console report, plus the best repetition of every benchmark.
class KeepingReporter : public benchmark::ConsoleReporter {
  public:
    KeepingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed_ = true;
            } else if (run.run_type == Run::RT_Iteration) {
                results_.Add(run);
            }
        }
    }
    const Results& results() const { return results_; }
    bool failed() const { return failed_; }

  private:
    Results results_;
    bool failed_ = false;
};

std::string Ratio(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", ratio);
    return text;
}

}  // namespace

std::string Option(const std::string& name) {
    auto found = Options().find(name);
    return found == Options().end() ? std::string() : found->second;
}

bool Smoke() {
    return Options().count("smoke") != 0;
}

void Results::Add(const benchmark::BenchmarkReporter::Run& run) {
    if (run.iterations <= 0) {
        return;
    }
    const double iterations = static_cast<double>(run.iterations);
    const double seconds = run.real_accumulated_time / iterations;
    const double cpu_seconds = run.cpu_accumulated_time / iterations;
    const bool first = best_.count(NameOf(run)) == 0;
    Best& best = best_[NameOf(run)];
    if (first || cpu_seconds < best.cpu_seconds) {
        best.cpu_seconds = cpu_seconds;
    }
    if (!first && best.seconds <= seconds) {
        return;
    }
    best.seconds = seconds;
    best.counters.clear();
    for (const auto& counter : run.counters) {
        best.counters[counter.first] = counter.second.value;
    }
}

double Results::Seconds(const std::string& name, Measure measure) const {
    auto found = best_.find(name);
    if (found == best_.end()) {
        return 0;
    }
    return measure == kCpuTime ? found->second.cpu_seconds : found->second.seconds;
}

double Results::Counter(const std::string& name, const std::string& counter) const {
    auto found = best_.find(name);
    if (found == best_.end()) {
        return 0;
    }
    auto value = found->second.counters.find(counter);
    return value == found->second.counters.end() ? 0 : value->second;
}

std::string Quantity(double value, const char* unit) {
    char text[64];
    const int decimals = value >= 100 ? 0 : value >= 10 ? 1 : 2;
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

std::string Duration(double seconds) {
    if (seconds >= 1) {
        return Quantity(seconds, "s");
    }
    if (seconds >= 1e-3) {
        return Quantity(seconds * 1e3, "ms");
    }
    return Quantity(seconds * 1e6, "us");
}

Row SpeedRow(const Results& r, const std::string& figure, const std::string& anchor,
             const std::string& ours, const std::string& anchor_bench, const char* unit,
             double minimum, const std::string& target, Measure measure) {
    if (!r.Has(ours) || !r.Has(anchor_bench)) {
        return Row{};
    }
    const double our_speed = r.Counter(ours, "units") / r.Seconds(ours, measure);
    const double anchor_speed = r.Counter(anchor_bench, "units") / r.Seconds(anchor_bench, measure);
    const double ratio = our_speed / anchor_speed;
    return Row{figure,
               anchor,
               Quantity(anchor_speed, unit),
               Quantity(our_speed, unit),
               Ratio(ratio),
               target,
               std::isfinite(ratio) && ratio >= minimum};
}

Row TimeRow(const Results& r, const std::string& figure, const std::string& anchor,
            const std::string& ours, const std::string& anchor_bench, double maximum,
            const std::string& target, Measure measure) {
    if (!r.Has(ours) || !r.Has(anchor_bench)) {
        return Row{};
    }
    const double our_time = r.Seconds(ours, measure);
    const double anchor_time = r.Seconds(anchor_bench, measure);
    const double ratio = our_time / anchor_time;
    return Row{figure,
               anchor,
               Duration(anchor_time),
               Duration(our_time),
               Ratio(ratio),
               target,
               std::isfinite(ratio) && ratio <= maximum};
}

int RunAndReport(int argc, char** argv,
                 const std::function<std::vector<Row>(const Results&)>& make_rows) {
    // Program options out, Google Benchmark's in; under --smoke every
    // benchmark runs one iteration.
    std::vector<char*> kept{argv[0]};
    static char one_iteration[] = "--benchmark_min_time=0";
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strncmp(arg, "--", 2) != 0 || std::strncmp(arg, "--benchmark_", 12) == 0) {
            kept.push_back(argv[i]);
            continue;
        }
        const char* equals = std::strchr(arg, '=');
        const std::string name = equals ? std::string(arg + 2, equals) : std::string(arg + 2);
        Options()[name] = equals ? equals + 1 : "";
    }
    if (Smoke()) {
        kept.push_back(one_iteration);
    }
    int kept_count = static_cast<int>(kept.size());
    benchmark::Initialize(&kept_count, kept.data());
    if (benchmark::ReportUnrecognizedArguments(kept_count, kept.data())) {
        return 2;
    }
    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::string lines;
    for (const Row& row : make_rows(reporter.results())) {
        if (row.figure.empty()) {
            continue;  // a benchmark of the row was not selected
        }
        lines += "| " + row.figure + " | " + row.anchor + " | " + row.anchor_value + " | " +
                 row.our_value + " | " + row.ratio + " | " + row.target + " | " +
                 (row.met ? "yes" : "**no**") + " |\n";
    }
    std::fputs(lines.c_str(), stdout);
    const std::string rows_file = Option("rows");
    if (!rows_file.empty()) {
        FILE* out = std::fopen(rows_file.c_str(), "a");
        if (out == nullptr) {
            std::fprintf(stderr, "cannot write %s\n", rows_file.c_str());
            return 1;
        }
        std::fputs(lines.c_str(), out);
        std::fclose(out);
    }
    return reporter.failed() ? 1 : 0;
}

}  // namespace bench
