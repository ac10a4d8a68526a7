// Times the camera's own poll (orvid/framepoll.h) that finds no new frame,
// without the 5 ms pause that follows it: take the named mutex with the
// poll's bounded wait, read the frame counter and size from the shared
// area's header, find the counter unchanged, release. Objects of the real
// transport are used (a named semaphore and a System V segment of the shared
// area's size), under names of their own, so the camera's objects are not
// disturbed.
//
// For comparison the same rules under the unbounded lock. After the runs it
// prints the median per poll against the budget: at most 1% of the 5 ms
// pause, i.e. 50 us, so that looking costs nothing next to waiting. It
// reports; it does not assert.
#include <semaphore.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/median_collector.h"
#include "orvid/framepoll.h"
#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"

namespace {

constexpr int kRepetitions = 11;
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

void BM_PollNoNewFrame(benchmark::State& state, bool bounded) {
  if (transport == nullptr || !transport->IsReady()) {
    state.SkipWithError("no transport");
    return;
  }
  tessel::Mutex* mutex = transport->mutex();
  const tessel::SharedFrameArea* area = transport->Area();
  static uint8_t buffer[tessel::kFrameDataBytes];
  const orvid::PollTarget target = {buffer, 320, 240};
  orvid::PollState poll = orvid::FreshPollState();
  poll.last_counter = 41;  // the frame in the area was taken already
  for (auto _ : state) {
    orvid::PollOutcome outcome;
    if (bounded) {
      outcome = orvid::TakeNewFrame(mutex, *area, target, &poll);
    } else if (mutex->Lock(true)) {
      outcome = orvid::CopyNewFrame(*area, target, &poll);
      mutex->Unlock();
    } else {
      outcome = orvid::PollOutcome::kLockBusy;
    }
    if (outcome != orvid::PollOutcome::kNothingNew) {
      state.SkipWithError("the poll found something new or could not lock");
      break;
    }
  }
}

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
  MedianCollector reporter(MedianCollector::kRealTime);
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
