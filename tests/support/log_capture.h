// A test helper: collects the log lines of a scope in a string through the
// stream sink, and puts every process-wide logging setting it touches back
// when the scope ends.  Only for tests that run their logging threads inside
// the scope (read text() once they are done).
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <string>

#include "base/logging.h"
#include "base/stream.h"

namespace lumen_base {

class ScopedLogCapture {
 public:
  enum Prefix {
    kBare,          // the call sites' text alone
    kWithPosition,  // "Warning(file.cc:N): " from LS_WARNING up, as by default
  };

  explicit ScopedLogCapture(LoggingSeverity min_sev, Prefix prefix = kBare)
      : old_ctx_(LogMessage::ctx_sev_.load()),
        old_dbg_(LogMessage::dbg_sev_.load()),
        old_timestamp_(LogMessage::timestamp_.load()) {
    LogMessage::LogContext(prefix == kBare ? LS_NONE : LS_WARNING);
    LogMessage::LogTimestamps(false);
    LogMessage::LogToDebug(LS_NONE);
    LogMessage::LogToStream(new StringStream(text_), min_sev);
  }
  ~ScopedLogCapture() {
    LogMessage::LogToStream(nullptr, LS_NONE);
    LogMessage::LogToDebug(old_dbg_);
    LogMessage::LogContext(old_ctx_);
    LogMessage::LogTimestamps(old_timestamp_);
  }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  std::string text_;
  const int old_ctx_;
  const int old_dbg_;
  const bool old_timestamp_;
};

}  // namespace lumen_base

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
