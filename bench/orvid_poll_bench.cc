// Times the camera's poll that finds no new frame, without the 5 ms pause
// that follows it: take the named mutex with the poll's bounded wait, read
// the frame counter and size from the shared area's header, find the
// counter unchanged, release. Objects of the real transport are used (a
// named semaphore and a System V segment of the shared area's size), under
// names of their own, so the camera's objects are not disturbed.
//
// For comparison the same path with the unbounded lock. After the runs it
// prints the median per poll against the budget: at most 1% of the 5 ms
// pause, i.e. 50 us, so that looking costs nothing next to waiting. It
// reports; it does not assert.
#include <semaphore.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"

namespace {

constexpr int kRepetitions = 11;
constexpr int kPollLockTimeoutMs = 100;  // the component's bound
constexpr double kIdlePauseNs = 5e6;
constexpr double kBudgetNs = kIdlePauseNs / 100;

// A mutex and a shared area like the camera's, removed again at the end.
class Transport {
 public:
  Transport() : name_("orvid-poll-bench-" + std::to_string(getpid())) {
    mutex_.reset(tessel::Mutex::Create(name_));
    memory_.reset(tessel::SharedMemory::Create(name_, tessel::kSharedFrameAreaBytes));
    if (IsReady()) {
      // A frame that the poll has already taken.
      tessel::SharedFrameArea* area = Area();
      area->frameSize = 115200;
      area->width = 320;
      area->height = 240;
      area->frameCounter = 41;
    }
  }
  ~Transport() {
    memory_.reset();  // the last user removes the segment and its key file
    mutex_.reset();
    sem_unlink(tessel::SemaphoreName(name_).c_str());
  }

  bool IsReady() const { return mutex_ != nullptr && memory_ != nullptr; }
  tessel::Mutex* mutex() { return mutex_.get(); }
  tessel::SharedFrameArea* Area() {
    return static_cast<tessel::SharedFrameArea*>(memory_->GetAddress());
  }

 private:
  std::string name_;
  std::unique_ptr<tessel::Mutex> mutex_;
  std::unique_ptr<tessel::SharedMemory> memory_;
};

Transport* transport = nullptr;

// What the poll does with the mutex held: a new frame is one whose counter
// differs from the last one taken and whose size is not 0.
bool HasNewFrame(const tessel::SharedFrameArea& area, uint32_t last_counter) {
  const uint32_t counter = area.frameCounter;
  const uint32_t size = area.frameSize;
  return counter != last_counter && size != 0;
}

void BM_PollNoNewFrame(benchmark::State& state, bool bounded) {
  if (transport == nullptr || !transport->IsReady()) {
    state.SkipWithError("no transport");
    return;
  }
  tessel::Mutex* mutex = transport->mutex();
  const tessel::SharedFrameArea* area = transport->Area();
  const uint32_t last_counter = 41;
  for (auto _ : state) {
    const bool locked = bounded ? mutex->LockWithTimeout(kPollLockTimeoutMs) : mutex->Lock(true);
    if (!locked) {
      state.SkipWithError("lock failed");
      break;
    }
    bool fresh = HasNewFrame(*area, last_counter);
    benchmark::DoNotOptimize(fresh);
    mutex->Unlock();
  }
}

// Prints as the console reporter does and keeps the median real time per
// iteration of every benchmark, by name.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        median_ns_[run.run_name.function_name] = run.GetAdjustedRealTime();
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
  Transport shared_transport;
  transport = &shared_transport;
  const char* const kNames[] = {"poll/no-new-frame", "poll/no-new-frame-unbounded-lock"};
  benchmark::RegisterBenchmark(kNames[0], BM_PollNoNewFrame, true)
      ->Repetitions(kRepetitions)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark(kNames[1], BM_PollNoNewFrame, false)
      ->Repetitions(kRepetitions)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
  benchmark::Initialize(&argc, argv);
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  printf("\n%-34s %14s %12s  %s\n", "case", "median ns/poll", "budget ns", "met");
  for (const char* name : kNames) {
    const double median_ns = reporter.MedianNs(name);
    if (median_ns == 0.0) continue;  // filtered out
    printf("%-34s %14.1f %12.0f  %s\n", name, median_ns, kBudgetNs,
           median_ns <= kBudgetNs ? "yes" : "no");
  }
  return 0;
}
