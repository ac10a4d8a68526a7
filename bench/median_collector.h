// The reporter the benchmarks share: prints as the console reporter does
// and keeps the median time per iteration of every benchmark run with
// repetitions, by name, so that a program can set cases against their floor
// measured in the same run.
#ifndef BENCH_MEDIAN_COLLECTOR_H_
#define BENCH_MEDIAN_COLLECTOR_H_

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

class MedianCollector : public benchmark::ConsoleReporter {
 public:
  // Which time of a run to keep: CPU time disturbs ratios less on a busy
  // machine; real time is what a caller waiting on a lock sees.
  enum Clock { kCpuTime, kRealTime };
  explicit MedianCollector(Clock clock) : clock_(clock) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        median_ns_[run.run_name.function_name] =
            clock_ == kCpuTime ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime();
      }
    }
  }

  // The median in the benchmark's unit, 0 when it did not run (filtered out).
  double MedianNs(const std::string& name) const {
    auto it = median_ns_.find(name);
    return it == median_ns_.end() ? 0.0 : it->second;
  }

 private:
  const Clock clock_;
  std::map<std::string, double> median_ns_;
};

#endif  // BENCH_MEDIAN_COLLECTOR_H_
