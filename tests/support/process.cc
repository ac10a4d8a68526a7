#include "tests/support/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/files.h"

extern char** environ;

namespace quorvex_test {

namespace {

// execve's argument and environment vectors for `strings`, null-ended.
std::vector<char*> Pointers(const Strings& strings) {
  std::vector<char*> pointers;
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

void KillAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Strings EnvironmentWith(const Strings& changes) {
  Strings env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& e) {
                               return e.compare(0, name.size() + 1, name + "=") == 0;
                             }),
              env.end());
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  return env;
}

bool HaveProgram(const char* name) {
  return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

int WaitForExit(pid_t pid, int timeout_ms) {
  int raw = 0;
  const bool ended = WaitFor(
      [&] {
        pid_t done;
        while ((done = waitpid(pid, &raw, WNOHANG)) < 0 && errno == EINTR) {
        }
        return done == pid || done < 0;  // < 0: not our child (any more)
      },
      timeout_ms);
  if (!ended) {
    KillAndReap(pid);
    return -1;
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// ---------------------------------------------------------------------------
// Child

Child::Child(const Strings& argv, const std::string& folder, const std::string& input,
             const Strings& environment) {
  static int serial = 0;
  const std::string tag = std::to_string(getpid()) + "." + std::to_string(serial++);
  out_path_ = folder + "/out." + tag;
  err_path_ = folder + "/err." + tag;
  const Strings env = EnvironmentWith(environment);
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(env);
  pid_ = fork();
  if (pid_ != 0) return;
  const int in = open(input.c_str(), O_RDONLY);
  const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    _exit(120);
  }
  // The test may block signals on some thread; the program starts clean.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(args[0], args.data(), envp.data());
  _exit(121);
}

Child::~Child() {
  if (pid_ > 0 && !done_) KillAndReap(pid_);
}

bool Child::Ended(int* status) {
  if (!done_) {
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    done_ = true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  *status = status_;
  return true;
}

int Child::Wait(int timeout_ms) {
  int status = -1;
  if (WaitFor([&] { return Ended(&status); }, timeout_ms)) return status;
  KillAndReap(pid_);
  done_ = true;
  status_ = -1;
  return -1;
}

std::string Child::Out() const { return ReadFile(out_path_); }
std::string Child::Err() const { return ReadFile(err_path_); }

// ---------------------------------------------------------------------------
// TerminalChild

TerminalChild::TerminalChild(const Strings& argv, const Strings& environment) {
  const Strings env = EnvironmentWith(environment);
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(env);
  pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
  if (pid_ != 0) return;
  execve(args[0], args.data(), envp.data());
  _exit(121);
}

TerminalChild::~TerminalChild() {
  if (pid_ > 0 && !done_) KillAndReap(pid_);
  if (master_ >= 0) close(master_);
}

bool TerminalChild::Shows(const std::string& text, int timeout_ms) {
  return WaitFor(
      [&] {
        struct pollfd ready = {master_, POLLIN, 0};
        char chunk[512];
        if (poll(&ready, 1, 10) == 1) {
          const ssize_t count = read(master_, chunk, sizeof(chunk));
          if (count > 0) screen_.append(chunk, static_cast<size_t>(count));
        }
        return Contains(screen_, text);
      },
      timeout_ms);
}

bool TerminalChild::Type(const std::string& keys) {
  return write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

int TerminalChild::Wait(int timeout_ms) {
  int raw = 0;
  if (!WaitFor([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; }, timeout_ms)) {
    KillAndReap(pid_);
    done_ = true;
    return -1;
  }
  done_ = true;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace quorvex_test
