// Fuzz target for the logging settings: the input's first line is handed
// to ConfigureLogging as its tokens, the rest to ParseLogSeverity. Checked
// besides memory safety: the levels are what the tokens, applied in order,
// say; the level call sites compare against is the lower of the sinks';
// a line at LS_ERROR reaches the file whenever the file is on; a severity
// text gives what its documented rules give.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "base/logging.h"
#include "fuzz/fuzzcheck.h"

using lumen_base::LogMessage;

namespace {

// A log file in a folder of its own, removed at exit.
const std::string& LogFile() {
  static const std::string* path = [] {
    char folder[] = "/tmp/logging_fuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr) FuzzCheckFailed(__FILE__, __LINE__, "mkdtemp", "LogFile");
    static std::string folder_path = folder;
    atexit([] {
      unlink((folder_path + "/log").c_str());
      rmdir(folder_path.c_str());
    });
    return new std::string(folder_path + "/log");
  }();
  return *path;
}

// What the tokens say the two levels become, from the levels before.
void ExpectedLevels(const std::string& params, int* file_level, int* debug_level) {
  int current = lumen_base::LS_VERBOSE;
  std::string token;
  // Split on ' ' only: a tab or a line feed is part of a token.
  size_t start = 0;
  while (start <= params.size()) {
    size_t end = params.find(' ', start);
    if (end == std::string::npos) end = params.size();
    token = params.substr(start, end - start);
    start = end + 1;
    if (token == "sensitive") current = lumen_base::LS_SENSITIVE;
    if (token == "verbose") current = lumen_base::LS_VERBOSE;
    if (token == "info") current = lumen_base::LS_INFO;
    if (token == "warning") current = lumen_base::LS_WARNING;
    if (token == "error") current = lumen_base::LS_ERROR;
    if (token == "none") current = lumen_base::LS_NONE;
    if (token == "file") *file_level = current;
    if (token == "debug") *debug_level = current;
  }
}

int ExpectedSeverity(const std::string& text) {
  static const char* const kNames[] = {"LS_SENSITIVE", "LS_VERBOSE", "LS_INFO", "LS_WARNING",
                                       "LS_ERROR"};
  for (int i = 0; i < 5; ++i) {
    if (text == kNames[i]) return i;
  }
  if (text.empty() || text[0] < '0' || text[0] > '9') return lumen_base::LS_NONE;
  long long value = 0;
  for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX);
  }
  return static_cast<int>(value);
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  // ConfigureLogging takes a C string: its tokens end at a NUL.
  std::string params = input.substr(0, newline);
  params = params.substr(0, params.find('\0'));
  const std::string severity = newline == std::string::npos ? "" : input.substr(newline + 1);

  FUZZ_CHECK(LogMessage::ParseLogSeverity(severity) == ExpectedSeverity(severity),
             "ParseLogSeverity");

  // Every input starts from nothing logged; standard error stays quiet (a
  // campaign prints nothing per input), so "debug" levels are checked but
  // never used.
  LogMessage::LogToDebug(lumen_base::LS_NONE);
  LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);
  int file_level = lumen_base::LS_NONE;
  int debug_level = lumen_base::LS_NONE;
  ExpectedLevels(params, &file_level, &debug_level);
  LogMessage::ConfigureLogging(params.c_str(), LogFile().c_str());
  FUZZ_CHECK(LogMessage::stream_sev_ == file_level, "ConfigureLogging: the file's level");
  FUZZ_CHECK(LogMessage::dbg_sev_ == debug_level, "ConfigureLogging: standard error's level");
  FUZZ_CHECK(LogMessage::min_sev_ == std::min(file_level, debug_level),
             "ConfigureLogging: the level compared against");
  if (file_level != lumen_base::LS_NONE) {
    LogMessage::LogToDebug(lumen_base::LS_NONE);
    LOG(LS_ERROR) << "fuzz line";
    FUZZ_CHECK(ReadAll(LogFile()).find("fuzz line\n") != std::string::npos, "the file's line");
  }
  LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);
  LogMessage::LogToDebug(lumen_base::LS_NONE);
  LogMessage::LogTimestamps(false);
  LogMessage::LogThreads(false);
  return 0;
}
