// Times YuvScaler::Scale on whole 4:2:0 images (interpolate on, letterbox
// offset 0, as the camera calls it) for the everyday camera sizes, and next
// to each case a memcpy of the larger of its two images: that copy reads or
// writes as many bytes as the scaler must touch at least, so the ratio of
// the two says how far the scaler is from the memory floor.  After the runs
// it prints the ratio of the median times with the target of each case.  It
// reports; it does not assert.
//
// Times are CPU times, so that a busy machine disturbs the ratios less; each
// case is measured right after its own memcpy for the same reason.  Buffers
// are reused across iterations, so both run from a hot cache, and start on a
// cache line, as the camera's do (the kernels' 32-byte stores cost twice as
// much when half of them straddle two lines, so an unaligned buffer would
// time the allocator instead of the scaler).

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/median_collector.h"
#include "scaler/yuvscaler.h"

namespace {

constexpr int kRepetitions = 11;

struct Case {
  const char* name;
  long sw;
  long sh;
  long dw;
  long dh;
  double target;  // at most this many memcpy times; 0: reported only
};

const Case kCases[] = {
    {"640x480->320x240", 640, 480, 320, 240, 0.8},  {"640x360->320x240", 640, 360, 320, 240, 2.0},
    {"352x288->320x240", 352, 288, 320, 240, 2.5},  {"320x240->640x480", 320, 240, 640, 480, 1.15},
    {"160x120->320x240", 160, 120, 320, 240, 1.15}, {"176x144->320x240", 176, 144, 320, 240, 1.3},
    {"320x240->320x240", 320, 240, 320, 240, 1.05}, {"640x480->176x144", 640, 480, 176, 144, 0},
    {"640x480->160x120", 640, 480, 160, 120, 0},
};

// A buffer that starts on a 64-byte cache line.
class Image {
 public:
  explicit Image(size_t bytes)
      : bytes_(static_cast<uint8_t*>(::operator new[](bytes, std::align_val_t(64)))) {}
  ~Image() { ::operator delete[](bytes_, std::align_val_t(64)); }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  uint8_t* data() const { return bytes_; }

 private:
  uint8_t* bytes_;
};

size_t ImageBytes(long w, long h) { return size_t(w * h + 2 * (w >> 1) * (h >> 1)); }

size_t LargerImageBytes(const Case& c) {
  const size_t src = ImageBytes(c.sw, c.sh);
  const size_t dst = ImageBytes(c.dw, c.dh);
  return src > dst ? src : dst;
}

// Deterministic, busy content (the scaler's speed does not depend on it).
void FillTestImage(const Image& image, size_t bytes) {
  uint32_t state = 12345;
  for (size_t i = 0; i < bytes; ++i) {
    state = state * 1664525u + 1013904223u;
    image.data()[i] = uint8_t(state >> 24);
  }
}

void BM_Memcpy(benchmark::State& state, size_t bytes) {
  const Image src(bytes), dst(bytes);
  FillTestImage(src, bytes);
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_Scale(benchmark::State& state, const Case& c) {
  const Image src(ImageBytes(c.sw, c.sh)), dst(ImageBytes(c.dw, c.dh));
  FillTestImage(src, ImageBytes(c.sw, c.sh));
  for (auto _ : state) {
    YuvScaler::Scale(src.data(), c.sw, c.sh, dst.data(), c.dw, c.dh, 0, true);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(LargerImageBytes(c)));
}

}  // namespace

int main(int argc, char** argv) {
  for (const Case& c : kCases) {
    const std::string name = c.name;
    benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), BM_Memcpy, LargerImageBytes(c))
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true)
        ->MinTime(0.05)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark(("scale/" + name).c_str(), BM_Scale, c)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true)
        ->MinTime(0.05)
        ->Unit(benchmark::kNanosecond);
  }
  benchmark::Initialize(&argc, argv);
  MedianCollector reporter(MedianCollector::kCpuTime);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  printf("\n%-18s %10s %10s %7s %7s  %s\n", "case", "median ns", "memcpy ns", "ratio", "target",
         "met");
  int met = 0;
  int targets = 0;
  for (const Case& c : kCases) {
    const double scale_ns = reporter.MedianNs(std::string("scale/") + c.name);
    const double memcpy_ns = reporter.MedianNs(std::string("memcpy/") + c.name);
    if (scale_ns == 0.0 || memcpy_ns == 0.0) continue;  // filtered out
    const double ratio = scale_ns / memcpy_ns;
    if (c.target == 0) {
      printf("%-18s %10.0f %10.0f %7.2f %7s  %s\n", c.name, scale_ns, memcpy_ns, ratio, "-", "-");
      continue;
    }
    ++targets;
    if (ratio <= c.target) ++met;
    printf("%-18s %10.0f %10.0f %7.2f %7.2f  %s\n", c.name, scale_ns, memcpy_ns, ratio, c.target,
           ratio <= c.target ? "yes" : "no");
  }
  printf("%d of %d targets met\n", met, targets);
  return 0;
}
