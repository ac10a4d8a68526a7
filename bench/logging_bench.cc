// What a log call site costs: a disabled one beside a bare integer
// comparison, and an enabled one writing to an unbuffered log file beside
// fprintf of a line of the same length to an unbuffered FILE*.  Each pair is
// measured in the same run, in alternation, and the ratios are printed at
// the end with the targets: a disabled call site within 2x of the bare
// comparison, an enabled one at least 80% of fprintf's lines per second.
// A third pair: a line to standard error through the debug sink of a
// program with a main bundle, which asks the "logToStdErr" preference
// before every line, beside fprintf to an unbuffered standard error; both
// go to a file in place of the terminal.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/stream.h"
#include "platform/bundle.h"
#include "platform/preferences.h"

namespace {

using lumen_base::LogMessage;

// The same text and number for both writers, so the lines have the same
// length: 38 characters of text, a 6-digit number, a line feed.
const char kLineText[] = "frame delivered to the capture client ";

int LineNumber(int64_t i) { return static_cast<int>(100000 + i % 900000); }

std::string TempPath(const char* what) {
  return "/tmp/logging_bench_" + std::to_string(getpid()) + "_" + what + ".log";
}

// A threshold the compiler cannot see as constant.
int g_threshold = lumen_base::LS_NONE;

void BM_BareComparison(benchmark::State& state) {
  int sev = lumen_base::LS_INFO;
  benchmark::DoNotOptimize(sev);
  int64_t taken = 0;
  for (auto _ : state) {
    if (g_threshold <= sev) ++taken;
    benchmark::ClobberMemory();  // reload g_threshold every time
  }
  benchmark::DoNotOptimize(taken);
}

void BM_DisabledLog(benchmark::State& state) {
  LogMessage::LogToDebug(lumen_base::LS_NONE);
  LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);
  int64_t i = 0;
  for (auto _ : state) {
    LOG(LS_INFO) << kLineText << ++i;
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(i);
}

void BM_Fprintf(benchmark::State& state) {
  const std::string path = TempPath("fprintf");
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr || setvbuf(file, nullptr, _IONBF, 0) != 0) {
    state.SkipWithError("cannot open an unbuffered file in /tmp");
    if (file != nullptr) fclose(file);
    return;
  }
  int64_t i = 0;
  for (auto _ : state) {
    fprintf(file, "%s%d\n", kLineText, LineNumber(i++));
  }
  state.SetItemsProcessed(state.iterations());
  fclose(file);
  unlink(path.c_str());
}

void BM_EnabledLog(benchmark::State& state) {
  const std::string path = TempPath("log");
  auto* file = new lumen_base::FileStream;
  if (!file->Open(path, "w") || !file->DisableBuffering()) {
    state.SkipWithError("cannot open an unbuffered file in /tmp");
    delete file;
    return;
  }
  LogMessage::LogToDebug(lumen_base::LS_NONE);
  LogMessage::LogTimestamps(false);
  LogMessage::LogToStream(file, lumen_base::LS_INFO);
  int64_t i = 0;
  for (auto _ : state) {
    LOG(LS_INFO) << kLineText << LineNumber(i++);
  }
  state.SetItemsProcessed(state.iterations());
  LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);  // closes the file
  unlink(path.c_str());
}

// Standard error goes to a file for as long as one of these lives, and the
// preferences to a folder of their own that says "logToStdErr" = true.
class StderrToFile {
 public:
  StderrToFile() : path_(TempPath("stderr")) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ok_ = saved_ >= 0 && fd >= 0 && dup2(fd, STDERR_FILENO) == STDERR_FILENO;
    if (fd >= 0) close(fd);
    setvbuf(stderr, nullptr, _IONBF, 0);
  }
  ~StderrToFile() {
    fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
    unlink(path_.c_str());
  }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  int saved_ = -1;
  bool ok_ = false;
};

void BM_FprintfStderr(benchmark::State& state) {
  StderrToFile redirect;
  if (!redirect.ok()) {
    state.SkipWithError("cannot send standard error to a file in /tmp");
    return;
  }
  int64_t i = 0;
  for (auto _ : state) {
    fprintf(stderr, "%s%d\n", kLineText, LineNumber(i++));
    fflush(stderr);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EnabledLogToStderr(benchmark::State& state) {
  StderrToFile redirect;
  if (!redirect.ok()) {
    state.SkipWithError("cannot send standard error to a file in /tmp");
    return;
  }
  LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);
  LogMessage::LogTimestamps(false);
  LogMessage::LogToDebug(lumen_base::LS_INFO);
  int64_t i = 0;
  for (auto _ : state) {
    LOG(LS_INFO) << kLineText << LineNumber(i++);
  }
  state.SetItemsProcessed(state.iterations());
  LogMessage::LogToDebug(lumen_base::LS_NONE);
}

// Alternating registration spreads slow phases of the machine over both
// members of a pair.
const int kRounds = 5;

void RegisterAll() {
  for (int round = 0; round < kRounds; ++round) {
    benchmark::RegisterBenchmark("BM_BareComparison", BM_BareComparison);
    benchmark::RegisterBenchmark("BM_DisabledLog", BM_DisabledLog);
  }
  for (int round = 0; round < kRounds; ++round) {
    benchmark::RegisterBenchmark("BM_Fprintf", BM_Fprintf)->UseRealTime();
    benchmark::RegisterBenchmark("BM_EnabledLog", BM_EnabledLog)->UseRealTime();
  }
  for (int round = 0; round < kRounds; ++round) {
    benchmark::RegisterBenchmark("BM_FprintfStderr", BM_FprintfStderr)->UseRealTime();
    benchmark::RegisterBenchmark("BM_EnabledLogToStderr", BM_EnabledLogToStderr)->UseRealTime();
  }
}

// A main bundle, and preferences in a folder of the benchmark's own that
// send the debug sink's lines to standard error. False when they cannot be
// set up.
bool PrepareStderrPreference(std::string* folder) {
  char pattern[] = "/tmp/logging_bench_prefs_XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  *folder = pattern;
  setenv("XDG_CONFIG_HOME", pattern, 1);
  const char kDomain[] = "com.quorvex.LoggingBench";
  std::string error;
  if (!PlatformDeclareMainBundle(kDomain, nullptr) ||
      !platform::SetPreferenceBoolean(kDomain, "logToStdErr", true, &error)) {
    return false;
  }
  // A file changed within the last second is read again at every lookup
  // (its times of change are too coarse to trust yet); a program's
  // preferences are older than that nearly all of its life.
  sleep(2);
  return true;
}

// Prints as usual and keeps the seconds per iteration of every run.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      seconds_[run.run_name.function_name].push_back(run.real_accumulated_time /
                                                     static_cast<double>(run.iterations));
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median seconds per iteration; 0 when the benchmark did not run.
  double Median(const std::string& name) const {
    auto it = seconds_.find(name);
    if (it == seconds_.end() || it->second.empty()) return 0;
    std::vector<double> values = it->second;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::string preferences;
  if (!PrepareStderrPreference(&preferences)) {
    fprintf(stderr, "logging_bench: cannot set up the preferences in /tmp\n");
    return 1;
  }
  RegisterAll();
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::string ignored;
  platform::DeletePreferencesDomain("com.quorvex.LoggingBench", nullptr, &ignored);
  std::error_code failure;
  std::filesystem::remove_all(preferences, failure);

  const double bare = reporter.Median("BM_BareComparison");
  const double disabled = reporter.Median("BM_DisabledLog");
  const double by_fprintf = reporter.Median("BM_Fprintf");
  const double by_log = reporter.Median("BM_EnabledLog");

  printf("\nMedians of %d rounds\n", kRounds);
  if (bare > 0 && disabled > 0) {
    const double ratio = disabled / bare;
    printf(
        "disabled call site: %.3f ns, bare comparison: %.3f ns, ratio %.2f (target <= 2.00): %s\n",
        disabled * 1e9, bare * 1e9, ratio, ratio <= 2.0 ? "met" : "NOT met");
  }
  if (by_fprintf > 0 && by_log > 0) {
    const double ratio = by_fprintf / by_log;  // lines per second, log over fprintf
    printf(
        "enabled call site: %.0f lines/s, fprintf: %.0f lines/s, ratio %.2f (target >= 0.80): %s\n",
        1 / by_log, 1 / by_fprintf, ratio, ratio >= 0.8 ? "met" : "NOT met");
  }
  const double by_stderr = reporter.Median("BM_FprintfStderr");
  const double by_sink = reporter.Median("BM_EnabledLogToStderr");
  if (by_stderr > 0 && by_sink > 0) {
    const double ratio = by_stderr / by_sink;
    printf(
        "enabled line to standard error: %.0f lines/s, fprintf to stderr: %.0f lines/s, ratio "
        "%.2f (the preference is examined before every line: one stat)\n",
        1 / by_sink, 1 / by_stderr, ratio);
  }
  return 0;
}
