// The console table of a benchmark program, then the ratios that make its figures readable: each
// figure beside its floor measured in the same run, so a comparison needs no arithmetic and no
// second run on a machine whose speed may have changed in between.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace ktarn::bench {

// CPU time per iteration of each benchmark run so far, by name, and the clock's time beside it,
// for benchmarks that time other processes (UseRealTime); both in the benchmark's own unit.
class CpuTimes {
 public:
  void record(const std::string& name, double ns, double real) {
    ns_[name] = ns;
    real_[name] = real;
  }
  std::optional<double> ns(const std::string& name) const { return find(ns_, name); }
  std::optional<double> real(const std::string& name) const { return find(real_, name); }

 private:
  static std::optional<double> find(const std::map<std::string, double>& times,
                                    const std::string& name) {
    const auto found = times.find(name);
    return found == times.end() ? std::nullopt : std::optional<double>(found->second);
  }
  std::map<std::string, double> ns_;
  std::map<std::string, double> real_;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  using Summary = std::function<void(std::ostream&, const CpuTimes&)>;

  explicit RatioReporter(Summary summary)
      : ConsoleReporter(OO_None), summary_(std::move(summary)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      times_.record(run.benchmark_name(), run.GetAdjustedCPUTime(), run.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    summary_(GetOutputStream(), times_);
    ConsoleReporter::Finalize();
  }

 private:
  Summary summary_;
  CpuTimes times_;
};

// The benchmark program's main: the registered benchmarks, then the summary of their ratios.
inline int run_with_ratios(int argc, char** argv, RatioReporter::Summary summary) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(std::move(summary));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace ktarn::bench
