// SPDX-License-Identifier: MIT
// What every benchmark program shares: a console reporter that also keeps
// the best time of each benchmark, and the rows of the performance report
// computed from those times, each figure beside its anchor from the same run.
//
// Program options, read before Google Benchmark's own:
//   --smoke       tiny inputs, one iteration each: proves the program runs
//   --rows=FILE   append the report's markdown rows to FILE
//   --NAME=VALUE  any other option a program reads with Option(NAME)
#ifndef VRELAY_BENCH_REPORT_H
#define VRELAY_BENCH_REPORT_H

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

// The value of a program option --name=value ("" when not given).
std::string Option(const std::string& name);

// True under --smoke: benchmarks shrink their inputs to a few kilobytes.
bool Smoke();

// Which time a figure is taken from: the wall clock, for work that waits on
// another process; the thread's CPU time, for work done wholly on the
// benchmark's thread (less disturbed by other load on a shared machine).
enum Measure { kWallTime, kCpuTime };

// The best (smallest) time per iteration of each benchmark over its
// repetitions, and the user counters of the best repetition by wall time.
// Benchmarks are named by function and arguments, "BM_Name" or "BM_Name/4".
class Results {
  public:
    void Add(const benchmark::BenchmarkReporter::Run& run);
    bool Has(const std::string& name) const { return best_.count(name) != 0; }
    // Seconds per iteration; 0 for an unknown benchmark.
    double Seconds(const std::string& name, Measure measure = kWallTime) const;
    // A user counter of the best repetition; 0 when absent.
    double Counter(const std::string& name, const std::string& counter) const;

  private:
    struct Best {
        double seconds = 0;
        double cpu_seconds = 0;
        std::map<std::string, double> counters;
    };
    std::map<std::string, Best> best_;
};

// One row: the figure, its anchor, both measurements, the ratio, the target
// and whether the target is met.
struct Row {
    std::string figure;
    std::string anchor;
    std::string anchor_value;
    std::string our_value;
    std::string ratio;
    std::string target;
    bool met = true;
};

// Formats a quantity with three significant digits and its unit.
std::string Quantity(double value, const char* unit);
// Formats a time in the most readable of s, ms and us.
std::string Duration(double seconds);

// Both row makers return an empty row (no figure) when either benchmark did
// not run; empty rows are not written.
// Speed beside an anchor: both benchmarks handle `units` per iteration
// (counter "units"); ratio = our speed / anchor speed, met when >= minimum.
Row SpeedRow(const Results& r, const std::string& figure, const std::string& anchor,
             const std::string& ours, const std::string& anchor_bench, const char* unit,
             double minimum, const std::string& target, Measure measure);
// Time beside an anchor: ratio = our time / anchor time, met when <= maximum.
Row TimeRow(const Results& r, const std::string& figure, const std::string& anchor,
            const std::string& ours, const std::string& anchor_bench, double maximum,
            const std::string& target, Measure measure);

// Runs every benchmark selected on the command line, printing the console
// report, then builds the rows with make_rows and writes them to stdout and
// to the --rows file. Returns the program's exit status: non-zero when a
// benchmark reported an error.
int RunAndReport(int argc, char** argv,
                 const std::function<std::vector<Row>(const Results&)>& make_rows);

}  // namespace bench

#endif
