// Child processes in tests: programs started with their output in files,
// programs on a pseudo-terminal driven from the test, and waiting for any
// child with a deadline. A child still running at the end of its object's
// scope is killed and reaped, so no test leaves a process behind.
#ifndef TESTS_SUPPORT_PROCESS_H_
#define TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/clock.h"

namespace quorvex_test {

using Strings = std::vector<std::string>;

// This process's environment with `changes` made: "NAME=value" entries set,
// bare "NAME" entries removed.
Strings EnvironmentWith(const Strings& changes);

// True when the shell finds `name` on PATH.
bool HaveProgram(const char* name);

// Waits for the child `pid` (of this process) to end: its exit status, or
// -1 when it died of a signal. At the deadline it is killed, reaped, and
// -1 returned. Interrupted waits are resumed.
int WaitForExit(pid_t pid, int timeout_ms = kWaitMs);

// A started program; killed at the end of scope if still running.
class Child {
 public:
  // Runs `argv` (argv[0] a path) with standard input from `input`, its
  // output into files of `folder`, and the environment with `environment`
  // entries set ("NAME=..") or removed ("NAME"). It starts with no signal
  // blocked.
  Child(const Strings& argv, const std::string& folder, const std::string& input = "/dev/null",
        const Strings& environment = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // True once it has ended; *status is its exit status, -1 after a signal.
  bool Ended(int* status);

  // The exit status; -1 when it died of a signal or had to be killed.
  int Wait(int timeout_ms = kWaitMs);

  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// A started program whose controlling terminal is a pseudo-terminal driven
// from here, as a user at a shell runs it; killed at the end of scope if
// still running.
class TerminalChild {
 public:
  explicit TerminalChild(const Strings& argv, const Strings& environment = {});
  ~TerminalChild();
  TerminalChild(const TerminalChild&) = delete;
  TerminalChild& operator=(const TerminalChild&) = delete;

  pid_t pid() const { return pid_; }
  // Reads the terminal until `text` has appeared (anywhere in what it
  // showed so far).
  bool Shows(const std::string& text, int timeout_ms = kWaitMs);
  // Writes `keys` to the terminal, as typed; false when not all went out.
  bool Type(const std::string& keys);
  // The exit status; -1 when it died of a signal or had to be killed.
  int Wait(int timeout_ms = kWaitMs);
  const std::string& screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool done_ = false;
  std::string screen_;
};

}  // namespace quorvex_test

#endif  // TESTS_SUPPORT_PROCESS_H_
