// Times YuvScaler::Scale on the producer's frame sizes into the camera's
// 320 x 240 output (whole 4:2:0 images, interpolate on, as the camera calls
// it) and, next to each case, a memcpy of the output image's 115,200 bytes.
// After the runs it prints the ratio of the median times with the budget
// of each case.  It reports; it does not assert.
//
// Times are CPU times, so that a busy machine disturbs the ratios less; each
// case is measured right after its own memcpy for the same reason.

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "scaler/yuvscaler.h"

namespace {

constexpr long kOutWidth = 320;
constexpr long kOutHeight = 240;
constexpr int kRepetitions = 11;

struct Case {
  const char* name;
  long sw;
  long sh;
  double budget;  // at most this many memcpy times
};

// Every case has letterbox offset 0 under the camera's rules.
const Case kCases[] = {
    {"640x480", 640, 480, 12}, {"640x360", 640, 360, 60}, {"352x288", 352, 288, 60},
    {"160x120", 160, 120, 20}, {"176x144", 176, 144, 25},
};

size_t ImageBytes(long w, long h) { return size_t(w * h + 2 * (w >> 1) * (h >> 1)); }

// Deterministic, busy content (the scaler's speed does not depend on it).
std::vector<uint8_t> TestImage(long w, long h) {
  std::vector<uint8_t> image(ImageBytes(w, h));
  uint32_t state = 12345;
  for (auto& b : image) {
    state = state * 1664525u + 1013904223u;
    b = uint8_t(state >> 24);
  }
  return image;
}

void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t> src = TestImage(kOutWidth, kOutHeight);
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
}

void BM_Scale(benchmark::State& state, const Case& c) {
  const std::vector<uint8_t> src = TestImage(c.sw, c.sh);
  std::vector<uint8_t> dst(ImageBytes(kOutWidth, kOutHeight));
  for (auto _ : state) {
    YuvScaler::Scale(src.data(), c.sw, c.sh, dst.data(), kOutWidth, kOutHeight, 0, true);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}

// Prints as the console reporter does and keeps the median CPU time per
// iteration of every benchmark, by name.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        median_ns_[run.run_name.function_name] = run.GetAdjustedCPUTime();
      }
    }
  }
  double MedianNs(const std::string& name) const {
    auto it = median_ns_.find(name);
    return it == median_ns_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> median_ns_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Case& c : kCases) {
    const std::string name = c.name;
    benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), BM_Memcpy)
        ->Repetitions(kRepetitions)
        ->MinTime(0.05)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark(("scale/" + name).c_str(), BM_Scale, c)
        ->Repetitions(kRepetitions)
        ->MinTime(0.05)
        ->Unit(benchmark::kNanosecond);
  }
  benchmark::Initialize(&argc, argv);
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  printf("\n%-10s %12s %12s %8s %8s  %s\n", "case", "median ns", "memcpy ns", "ratio", "budget",
         "met");
  for (const Case& c : kCases) {
    const double scale_ns = reporter.MedianNs(std::string("scale/") + c.name);
    const double memcpy_ns = reporter.MedianNs(std::string("memcpy/") + c.name);
    if (scale_ns == 0.0 || memcpy_ns == 0.0) continue;  // filtered out
    const double ratio = scale_ns / memcpy_ns;
    printf("%-10s %12.0f %12.0f %8.2f %8.0f  %s\n", c.name, scale_ns, memcpy_ns, ratio, c.budget,
           ratio <= c.budget ? "yes" : "no");
  }
  return 0;
}
