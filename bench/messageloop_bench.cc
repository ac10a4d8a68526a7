// Timings of the message loop, each beside a bare floor measured in the same
// run:
//   - post-and-dispatch on one thread (floor: a mutex-guarded deque);
//   - posts from one thread to a looping thread, every message counted
//     (floor: a mutex-guarded deque with a condition variable);
//   - the round trip of a synchronous Send (floor: one byte over a pipe to
//     an echo thread blocked in select, and back over a second pipe);
//   - the wake-up of a loop blocked in its socket server, from Post to the
//     handler (floor: a pipe written on one thread while the other sits in
//     select on it).
// Latency samples alternate with floor samples, so that both see the same
// load, and each latency is measured three ways: threads placed by the
// scheduler, both pinned to one CPU, and pinned to two CPUs (the loop and
// its floor always pinned alike); the throughputs are absolute targets,
// their floors only context.
// After the usual report it prints a table of results, floors, ratios and
// targets.  Benchmarks print; they do not assert.
#include <pthread.h>
#include <sched.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/thread.h"
#include "benchmark/benchmark.h"

namespace {

using lumen_base::Message;
using lumen_base::MessageHandler;
using lumen_base::Thread;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SpinFor(int64_t ns) {
  const int64_t end = NowNs() + ns;
  while (NowNs() < end) {
  }
}

bool WaitReadable(int fd) {
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(fd, &read_set);
  return select(fd + 1, &read_set, nullptr, nullptr, nullptr) == 1;
}

// Where the two threads of a latency measurement run.  Cross-thread
// latency depends mostly on whether the waker and the woken share a CPU (a
// wake-up across CPUs costs an interrupt and an idle exit), and left to
// itself the scheduler places the loop's threads and the floor's threads
// differently from run to run; so each latency is also measured with both
// sides pinned the same way for the loop and for its floor.
enum Placement {
  kSchedulersChoice = 0,  // nobody is pinned
  kOneCpu = 1,            // both threads on the first allowed CPU
  kTwoCpus = 2,           // the caller on the first, the other on the second
};

const char* PlacementName(int placement) {
  switch (placement) {
    case kOneCpu:
      return "one CPU";
    case kTwoCpus:
      return "two CPUs";
    default:
      return "scheduler's choice";
  }
}

// The first two CPUs this process may run on; -1 where there is none.
void AllowedCpus(int* first, int* second) {
  *first = *second = -1;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &set)) continue;
    if (*first < 0) {
      *first = cpu;
    } else {
      *second = cpu;
      return;
    }
  }
}

// Pins the calling thread to `cpu` (nothing for -1); true on success.
bool PinCallingThread(int cpu) {
  if (cpu < 0) return true;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
}

// The CPUs of the calling side and of the other side for a placement;
// false when the machine cannot give it.
bool PlacementCpus(int placement, int* caller_cpu, int* other_cpu) {
  int first = -1;
  int second = -1;
  AllowedCpus(&first, &second);
  *caller_cpu = *other_cpu = -1;
  if (placement == kOneCpu) {
    *caller_cpu = *other_cpu = first;
    return first >= 0;
  }
  if (placement == kTwoCpus) {
    *caller_cpu = first;
    *other_cpu = second;
    return second >= 0;
  }
  return true;
}

// Pins the calling thread for a scope and gives it back its old CPUs.
class ScopedPin {
 public:
  explicit ScopedPin(int cpu) {
    CPU_ZERO(&old_);
    saved_ = cpu >= 0 && pthread_getaffinity_np(pthread_self(), sizeof(old_), &old_) == 0;
    if (saved_) PinCallingThread(cpu);
  }
  ~ScopedPin() {
    if (saved_) pthread_setaffinity_np(pthread_self(), sizeof(old_), &old_);
  }

 private:
  cpu_set_t old_;
  bool saved_ = false;
};

// Pins the thread that runs it, when sent to a Thread.
class PinHandler : public MessageHandler {
 public:
  explicit PinHandler(int cpu) : cpu_(cpu) {}
  void OnMessage(Message*) override { PinCallingThread(cpu_); }

 private:
  int cpu_;
};

// The placement of one latency benchmark (its argument): pins the calling
// side for the benchmark's lifetime, or skips the benchmark when the machine
// cannot give that placement.
class BenchmarkPlacement {
 public:
  explicit BenchmarkPlacement(benchmark::State& state) {
    ok_ = PlacementCpus(static_cast<int>(state.range(0)), &caller_cpu_, &other_cpu_);
    if (!ok_) {
      state.SkipWithError("this machine cannot give that placement");
      return;
    }
    pin_.emplace(caller_cpu_);
  }
  bool ok() const { return ok_; }
  // Where the other side (the floor's thread, the loop's thread) belongs.
  int other_cpu() const { return other_cpu_; }
  // Moves a started Thread's OS thread to the other side's CPU.
  void PinOtherSide(Thread* thread) const {
    PinHandler pinner(other_cpu_);
    thread->Send(&pinner);
  }

 private:
  bool ok_ = false;
  int caller_cpu_ = -1;
  int other_cpu_ = -1;
  std::optional<ScopedPin> pin_;
};

// ---------------------------------------------------------------------------
// Same-thread post and dispatch

class CountingHandler : public MessageHandler {
 public:
  void OnMessage(Message*) override { ++count; }
  uint64_t count = 0;
};

void BM_SameThreadPostDispatch(benchmark::State& state) {
  Thread queue;  // not started: this thread runs its loop
  CountingHandler handler;
  const int batch = static_cast<int>(state.range(0));
  Message msg;
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) queue.Post(&handler, 0);
    for (int i = 0; i < batch; ++i) {
      queue.Get(&msg, 0);
      queue.Dispatch(&msg);
    }
  }
  if (handler.count != static_cast<uint64_t>(state.iterations()) * batch) {
    state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SameThreadPostDispatch)->Arg(1)->Arg(64);

class FloorHandler {
 public:
  virtual ~FloorHandler() = default;
  virtual void OnMessage(Message* msg) = 0;
};

class FloorCounter : public FloorHandler {
 public:
  void OnMessage(Message*) override { ++count; }
  uint64_t count = 0;
};

void BM_Floor_SameThreadMutexDeque(benchmark::State& state) {
  std::mutex mutex;
  std::deque<Message> queue;
  FloorCounter counter;
  FloorHandler* handler = &counter;
  const int batch = static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(Message());
    }
    for (int i = 0; i < batch; ++i) {
      Message msg;
      {
        std::lock_guard<std::mutex> lock(mutex);
        msg = queue.front();
        queue.pop_front();
      }
      handler->OnMessage(&msg);
    }
  }
  benchmark::DoNotOptimize(counter.count);
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_Floor_SameThreadMutexDeque)->Arg(1)->Arg(64);

// ---------------------------------------------------------------------------
// Cross-thread posts

// Signals the poster once every message before it has been handled.
class FenceHandler : public MessageHandler {
 public:
  void OnMessage(Message*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++passed_;
    changed_.notify_one();
  }
  void WaitFor(uint64_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return passed_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t passed_ = 0;
};

const int kCrossBatch = 10000;

void BM_CrossThreadPost(benchmark::State& state) {
  Thread consumer;
  CountingHandler handler;  // touched only by the consumer until it is joined
  FenceHandler fence;
  consumer.Start();
  uint64_t rounds = 0;
  for (auto _ : state) {
    for (int i = 0; i < kCrossBatch; ++i) consumer.Post(&handler, 0);
    consumer.Post(&fence, 0);
    fence.WaitFor(++rounds);
  }
  consumer.Stop();
  if (handler.count != rounds * kCrossBatch) state.SkipWithError("messages lost");
  state.SetItemsProcessed(state.iterations() * kCrossBatch);
}
BENCHMARK(BM_CrossThreadPost)->UseRealTime();

void BM_Floor_CrossThreadMutexDeque(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable fence_passed;
  std::deque<Message> queue;
  uint64_t fences = 0;
  uint64_t handled = 0;
  bool quit = false;
  std::thread consumer([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      not_empty.wait(lock, [&] { return quit || !queue.empty(); });
      if (queue.empty()) return;
      Message msg = queue.front();
      queue.pop_front();
      lock.unlock();
      if (msg.message_id == 1) {
        std::lock_guard<std::mutex> relock(mutex);
        ++fences;
        fence_passed.notify_one();
      } else {
        ++handled;
      }
      lock.lock();
    }
  });
  uint64_t rounds = 0;
  for (auto _ : state) {
    for (int i = 0; i <= kCrossBatch; ++i) {
      Message msg;
      msg.message_id = i == kCrossBatch ? 1 : 0;
      bool was_empty;
      {
        std::lock_guard<std::mutex> lock(mutex);
        was_empty = queue.empty();
        queue.push_back(msg);
      }
      if (was_empty) not_empty.notify_one();
    }
    std::unique_lock<std::mutex> lock(mutex);
    ++rounds;
    fence_passed.wait(lock, [&] { return fences >= rounds; });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    quit = true;
  }
  not_empty.notify_one();
  consumer.join();
  if (handled != rounds * kCrossBatch) state.SkipWithError("messages lost");
  state.SetItemsProcessed(state.iterations() * kCrossBatch);
}
BENCHMARK(BM_Floor_CrossThreadMutexDeque)->UseRealTime();

// ---------------------------------------------------------------------------
// Latencies.  The machine's load drifts; each sample of the loop is
// therefore taken right beside a sample of its floor, alternating, and both
// are reported by the same run.

// Sets `prefix`median_us and `prefix`p99_us from `samples_ns`.
void ReportPercentiles(benchmark::State& state, const std::string& prefix,
                       std::vector<int64_t>* samples_ns) {
  if (samples_ns->empty()) return;
  std::sort(samples_ns->begin(), samples_ns->end());
  const size_t n = samples_ns->size();
  state.counters[prefix + "median_us"] = (*samples_ns)[n / 2] / 1000.0;
  state.counters[prefix + "p99_us"] = (*samples_ns)[std::min(n - 1, n * 99 / 100)] / 1000.0;
}

// One byte over a pipe to an echo thread blocked in select, and back over a
// second pipe.
class PipeEcho {
 public:
  explicit PipeEcho(int cpu) {
    ok_ = pipe(there_) == 0 && pipe(back_) == 0;
    if (ok_)
      echo_ = std::thread([this, cpu] {
        PinCallingThread(cpu);
        Echo();
      });
  }
  ~PipeEcho() {
    if (ok_) {
      const char quit = 'q';
      if (write(there_[1], &quit, 1) == 1)
        echo_.join();
      else
        echo_.detach();
    }
    for (int fd : {there_[0], there_[1], back_[0], back_[1]}) close(fd);
  }
  bool ok() const { return ok_; }
  // The round trip in nanoseconds, or -1.
  int64_t RoundTrip() {
    char byte = 'x';
    const int64_t start = NowNs();
    if (write(there_[1], &byte, 1) != 1 || !WaitReadable(back_[0]) ||
        read(back_[0], &byte, 1) != 1) {
      return -1;
    }
    return NowNs() - start;
  }

 private:
  void Echo() {
    char byte = 0;
    for (;;) {
      if (!WaitReadable(there_[0]) || read(there_[0], &byte, 1) != 1 || byte == 'q') return;
      if (write(back_[1], &byte, 1) != 1) return;
    }
  }
  int there_[2] = {-1, -1};
  int back_[2] = {-1, -1};
  bool ok_ = false;
  std::thread echo_;
};

class NopHandler : public MessageHandler {
 public:
  void OnMessage(Message*) override {}
};

const int kLatencyIterations = 20000;

void BM_SendRoundTrip(benchmark::State& state) {
  const BenchmarkPlacement placement(state);
  if (!placement.ok()) return;
  Thread target;
  NopHandler handler;
  PipeEcho floor(placement.other_cpu());
  if (!floor.ok()) {
    state.SkipWithError("pipe failed");
    return;
  }
  target.Start();
  placement.PinOtherSide(&target);
  std::vector<int64_t> ours;
  std::vector<int64_t> floors;
  ours.reserve(kLatencyIterations);
  floors.reserve(kLatencyIterations);
  for (auto _ : state) {
    const int64_t start = NowNs();
    target.Send(&handler);
    const int64_t took = NowNs() - start;
    ours.push_back(took);
    state.SetIterationTime(took / 1e9);
    const int64_t floor_took = floor.RoundTrip();
    if (floor_took < 0) {
      state.SkipWithError("pipe round trip failed");
      break;
    }
    floors.push_back(floor_took);
  }
  target.Stop();
  ReportPercentiles(state, "", &ours);
  ReportPercentiles(state, "floor_", &floors);
}
BENCHMARK(BM_SendRoundTrip)
    ->ArgName("placement")
    ->DenseRange(kSchedulersChoice, kTwoCpus)
    ->Iterations(kLatencyIterations)
    ->UseManualTime();

const int kWakeIterations = 3000;
// Long enough for the woken side to go back to sleep in select.
const int64_t kPaceNs = 150 * 1000;

class StampHandler : public MessageHandler {
 public:
  void OnMessage(Message*) override {
    latency_ns.store(NowNs() - posted_at_ns.load(std::memory_order_relaxed));
    handled.store(true, std::memory_order_release);
  }
  std::atomic<int64_t> posted_at_ns{0};
  std::atomic<int64_t> latency_ns{0};
  std::atomic<bool> handled{false};
};

// A thread that sits in select on a pipe; each 8-byte time stamp written
// there is turned into a latency.
class PipeSleeper {
 public:
  explicit PipeSleeper(int cpu) {
    ok_ = pipe(fds_) == 0;
    if (ok_)
      reader_ = std::thread([this, cpu] {
        PinCallingThread(cpu);
        Read();
      });
  }
  ~PipeSleeper() {
    if (ok_) {
      const int64_t stop = 0;
      if (write(fds_[1], &stop, sizeof(stop)) == sizeof(stop))
        reader_.join();
      else
        reader_.detach();
    }
    close(fds_[0]);
    close(fds_[1]);
  }
  bool ok() const { return ok_; }
  // The wake-up latency in nanoseconds, or -1.
  int64_t WakeUp() {
    handled_.store(false, std::memory_order_relaxed);
    const int64_t stamp = NowNs();
    if (write(fds_[1], &stamp, sizeof(stamp)) != sizeof(stamp)) return -1;
    while (!handled_.load(std::memory_order_acquire)) {
    }
    return latency_ns_.load();
  }

 private:
  void Read() {
    int64_t stamp = 0;
    for (;;) {
      if (!WaitReadable(fds_[0]) || read(fds_[0], &stamp, sizeof(stamp)) != sizeof(stamp)) return;
      if (stamp == 0) return;
      latency_ns_.store(NowNs() - stamp);
      handled_.store(true, std::memory_order_release);
    }
  }
  int fds_[2] = {-1, -1};
  bool ok_ = false;
  std::thread reader_;
  std::atomic<int64_t> latency_ns_{0};
  std::atomic<bool> handled_{false};
};

void BM_WakeUpLatency(benchmark::State& state) {
  const BenchmarkPlacement placement(state);
  if (!placement.ok()) return;
  Thread loop;
  StampHandler handler;
  PipeSleeper floor(placement.other_cpu());
  if (!floor.ok()) {
    state.SkipWithError("pipe failed");
    return;
  }
  loop.Start();
  placement.PinOtherSide(&loop);
  std::vector<int64_t> ours;
  std::vector<int64_t> floors;
  ours.reserve(kWakeIterations);
  floors.reserve(kWakeIterations);
  for (auto _ : state) {
    SpinFor(kPaceNs);
    handler.handled.store(false, std::memory_order_relaxed);
    handler.posted_at_ns.store(NowNs(), std::memory_order_relaxed);
    loop.Post(&handler, 0);
    while (!handler.handled.load(std::memory_order_acquire)) {
    }
    ours.push_back(handler.latency_ns.load());
    state.SetIterationTime(ours.back() / 1e9);

    SpinFor(kPaceNs);
    const int64_t floor_took = floor.WakeUp();
    if (floor_took < 0) {
      state.SkipWithError("pipe write failed");
      break;
    }
    floors.push_back(floor_took);
  }
  loop.Stop();
  ReportPercentiles(state, "", &ours);
  ReportPercentiles(state, "floor_", &floors);
}
BENCHMARK(BM_WakeUpLatency)
    ->ArgName("placement")
    ->DenseRange(kSchedulersChoice, kTwoCpus)
    ->Iterations(kWakeIterations)
    ->UseManualTime();

// ---------------------------------------------------------------------------
// The summary table

// Keeps every run's counters by benchmark name while printing as usual.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      std::map<std::string, double>& values = results[run.benchmark_name()];
      for (const auto& counter : run.counters) values[counter.first] = counter.second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, std::map<std::string, double>> results;
};

struct Row {
  const char* what;
  const char* ours;           // benchmark name
  const char* floor;          // benchmark name of the floor
  const char* counter;        // in `ours`
  const char* floor_counter;  // in `floor`
  double target;              // a minimum rate, or a maximum ratio to the floor
  bool target_is_ratio;
};

void PrintTable(const CollectingReporter& reporter) {
  std::vector<Row> rows = {
      {"same-thread post+dispatch (msg/s)", "BM_SameThreadPostDispatch/1",
       "BM_Floor_SameThreadMutexDeque/1", "items_per_second", "items_per_second", 10e6, false},
      {"same-thread, batches of 64 (msg/s)", "BM_SameThreadPostDispatch/64",
       "BM_Floor_SameThreadMutexDeque/64", "items_per_second", "items_per_second", 10e6, false},
      {"cross-thread post (msg/s)", "BM_CrossThreadPost/real_time",
       "BM_Floor_CrossThreadMutexDeque/real_time", "items_per_second", "items_per_second", 3e6,
       false},
  };
  // The latency rows, one pair per benchmark and placement.  A deque keeps
  // the names and labels where they are while it grows.
  std::deque<std::string> texts;
  const struct {
    const char* label;
    const char* name;
    int iterations;
  } latencies[] = {{"Send round trip", "BM_SendRoundTrip", kLatencyIterations},
                   {"wake-up of blocked loop", "BM_WakeUpLatency", kWakeIterations}};
  for (const auto& latency : latencies) {
    for (int placement = kSchedulersChoice; placement <= kTwoCpus; ++placement) {
      texts.push_back(std::string(latency.name) + "/placement:" + std::to_string(placement) +
                      "/iterations:" + std::to_string(latency.iterations) + "/manual_time");
      const char* name = texts.back().c_str();
      for (const char* percentile : {"median", "p99"}) {
        texts.push_back(std::string(latency.label) + ", " + PlacementName(placement) + ", " +
                        percentile + " (us)");
        const char* what = texts.back().c_str();
        const bool median = std::string(percentile) == "median";
        rows.push_back({what, name, name, median ? "median_us" : "p99_us",
                        median ? "floor_median_us" : "floor_p99_us", 1.2, true});
      }
    }
  }
  printf("\n%-58s %14s %14s %8s %14s  %s\n", "measure", "result", "floor", "ratio", "target",
         "met");
  for (const Row& row : rows) {
    auto find = [&](const char* name, const char* counter_name, double* value) {
      auto bench = reporter.results.find(name);
      if (bench == reporter.results.end()) return false;
      auto counter = bench->second.find(counter_name);
      if (counter == bench->second.end()) return false;
      *value = counter->second;
      return true;
    };
    double ours = 0;
    double floor = 0;
    if (!find(row.ours, row.counter, &ours) || !find(row.floor, row.floor_counter, &floor)) {
      printf("%-58s %14s\n", row.what, "(not run)");
      continue;
    }
    const double ratio = floor > 0 ? ours / floor : 0;
    bool met;
    char target[32];
    if (row.target_is_ratio) {
      met = ratio <= row.target;
      snprintf(target, sizeof(target), "<= %.1fx floor", row.target);
    } else {
      met = ours >= row.target;
      snprintf(target, sizeof(target), ">= %.0fM", row.target / 1e6);
    }
    printf("%-58s %14.2f %14.2f %7.2fx %14s  %s\n", row.what, ours, floor, ratio, target,
           met ? "met" : "NOT MET");
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintTable(reporter);
  benchmark::Shutdown();
  return 0;
}
