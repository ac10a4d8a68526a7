// pellicle as its callers see it: a real process, browser stand-ins running
// under the browsers' names, the question on a pseudo-terminal.
//
// pellicle looks at every process of its user, so "no browser running" could
// be spoilt by another test starting one.  Run as root, each test therefore
// runs pellicle and its browsers under a user id that no account and no
// other test uses.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/clock.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const std::string kPellicle = QUORVEX_BINARY_DIR "/bin/pellicle";
const std::string kBrowser = QUORVEX_BINARY_DIR "/bin/pellicle_test_browser";
const std::string kResources = QUORVEX_BINARY_DIR "/bin/pellicle.resources";
const std::string kPlatformLibrary = QUORVEX_BINARY_DIR "/lib/libquorvex_platform.so";
constexpr int kWaitMs = 10000;
const char kEnglish[] =
    "Please quit Firefox, Safari and Camino before continuing.\r\n"
    "  [1/Enter] Continue   [2] Cancel\r\n> ";
const char kGerman[] =
    "Bitte beenden Sie Firefox, Safari und Camino, bevor Sie fortfahren.\r\n"
    "  [1/Enter] Weiter   [2] Abbrechen\r\n> ";
const char kFrench[] =
    "Veuillez quitter Firefox, Safari et Camino avant de continuer.\r\n"
    "  [1/Enter] Continuer   [2] Annuler\r\n> ";

using quorvex_test::NowMs;
using quorvex_test::ReadFile;

int WaitForExit(pid_t pid) { return quorvex_test::WaitForExit(pid, kWaitMs); }

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A temporary folder, the user id the processes of one test run under, and
// the copy of pellicle they run. That user may not reach the build tree
// (built as root in a private folder such as root's home), so pellicle, its
// catalogues and the platform library it loads are copied into the folder.
class Sandbox {
 public:
  Sandbox() : temp_("pellicle_test"), folder_(temp_.path()) {
    fs::permissions(folder_, fs::perms::all);  // The test's user writes here too.
    fs::create_directory(folder_ + "/bin");
    fs::create_directory(folder_ + "/lib");
    fs::copy_file(kPellicle, pellicle());
    fs::copy(kResources, folder_ + "/bin/pellicle.resources", fs::copy_options::recursive);
    fs::copy_file(kPlatformLibrary, folder_ + "/lib/libquorvex_platform.so");
    static uid_t tests_here = 0;
    // Process ids are below 2^22, so no two test processes share an id.
    uid_ = geteuid() == 0 ? 0x5B000000u + (static_cast<uid_t>(getpid()) << 4) + tests_here++ % 16
                          : getuid();
  }
  const std::string& folder() const { return folder_; }
  // The copy to run.
  std::string pellicle() const { return folder_ + "/bin/pellicle"; }

  // In a child: become the test's user and run `program`.
  [[noreturn]] void Exec(const std::string& program, const Strings& args,
                         const Strings& extra_env = {}) const {
    if (uid_ != getuid() &&
        (setgroups(0, nullptr) != 0 || setgid(uid_) != 0 || setuid(uid_) != 0)) {
      _exit(121);
    }
    // The library search path comes before the build's RUNPATH, which that
    // user may not be able to read.
    Strings env = {"PATH=/usr/bin:/bin", "HOME=/", "LD_LIBRARY_PATH=" + folder_ + "/lib"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (getenv(name) != nullptr) env.push_back(std::string(name) + "=" + getenv(name));
    }
    for (const std::string& entry : extra_env) {  // Replaces an entry of the same name.
      std::string name = entry.substr(0, entry.find('=') + 1);
      env.erase(std::remove_if(
                    env.begin(), env.end(),
                    [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; }),
                env.end());
      env.push_back(entry);
    }
    std::vector<char*> argv = {const_cast<char*>(program.c_str())}, envp;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(120);
  }

 private:
  quorvex_test::TempFolder temp_;
  std::string folder_;
  uid_t uid_;
};

// A browser stand-in running under `name` until Quit() or the end of scope.
class Browser {
 public:
  Browser(const Sandbox& sandbox, const std::string& name) {
    std::string path = sandbox.folder() + "/" + name;
    fs::copy_file(kBrowser, path);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) sandbox.Exec(path, {});
    close(ready[1]);
    char byte;  // End of file once exec closed the pipe: it runs as `name`.
    while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
  }
  ~Browser() { Quit(); }
  void Quit() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// pellicle on a pseudo-terminal, driven from the master side.
class Pellicle {
 public:
  // `program` empty: the sandbox's copy of pellicle.
  Pellicle(const Sandbox& sandbox, const Strings& env = {}, const std::string& program = "",
           bool ignore_hangup = false) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      if (ignore_hangup) signal(SIGHUP, SIG_IGN);  // Kept across exec.
      sandbox.Exec(program.empty() ? sandbox.pellicle() : program, {}, env);
    }
  }
  ~Pellicle() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    if (master_ >= 0) close(master_);
  }
  // Reads until `text` appears after what earlier waits consumed.
  bool WaitFor(const std::string& text) {
    long long deadline = NowMs() + kWaitMs;
    size_t found;
    while ((found = output_.find(text, consumed_)) == std::string::npos) {
      if (!ReadSome(static_cast<int>(std::max(0LL, deadline - NowMs())))) return false;
    }
    consumed_ = found + text.size();
    return true;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(static_cast<ssize_t>(keys.size()), write(master_, keys.data(), keys.size()));
  }
  void HangUp() {
    close(master_);
    master_ = -1;
  }
  // Waits for the exit and collects the rest of the output.
  int Finish() {
    int status = WaitForExit(pid_);
    pid_ = -1;
    while (master_ >= 0 && ReadSome(0)) {
    }
    return status;
  }
  const std::string& output() const { return output_; }

 private:
  bool ReadSome(int timeout_ms) {
    struct pollfd wait = {master_, POLLIN, 0};
    char chunk[512];
    ssize_t count = 0;
    if (poll(&wait, 1, timeout_ms) <= 0 || (count = read(master_, chunk, sizeof(chunk))) <= 0) {
      return false;  // Read fails with EIO once pellicle has gone.
    }
    output_.append(chunk, static_cast<size_t>(count));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  std::string output_;
  size_t consumed_ = 0;
};

struct Detached {
  int status;
  std::string out, err;
};

// pellicle in a session of its own (no controlling terminal), input from
// /dev/null, outputs captured.
Detached RunDetached(const Sandbox& sandbox, const Strings& args, const Strings& env = {}) {
  std::string out = sandbox.folder() + "/out", err = sandbox.folder() + "/err";
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int fds[] = {open("/dev/null", O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666),
                 open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)};
    for (int fd = 0; fd < 3; ++fd) dup2(fds[fd], fd);
    sandbox.Exec(sandbox.pellicle(), args, env);
  }
  int status = WaitForExit(pid);
  return {status, ReadFile(out), ReadFile(err)};
}

TEST(Pellicle, HelpAndUsageErrors) {
  Sandbox sandbox;
  for (const char* option : {"--help", "-h"}) {
    Detached run = RunDetached(sandbox, {option});
    EXPECT_EQ(0, run.status) << option;
    EXPECT_EQ(0u, run.out.find("Usage: pellicle\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("  1  the user gave up")) << run.out;
  }
  Detached version = RunDetached(sandbox, {"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ("pellicle " QUORVEX_VERSION "\n", version.out);
  for (const Strings& args : {Strings{"now"}, Strings{"--help", "extra"}}) {
    Detached run = RunDetached(sandbox, args);
    EXPECT_EQ(2, run.status) << args[0];
    EXPECT_NE(std::string::npos, run.err.find("pellicle: unexpected argument '")) << run.err;
  }
}

TEST(Pellicle, CarriesItsIdentificationString) {
  // Stripped of the debugging information, which could hold the text too.
  Sandbox sandbox;
  std::string stripped = sandbox.folder() + "/pellicle-stripped";
  pid_t pid = fork();
  if (pid == 0) {
    execlp("strip", "strip", "-o", stripped.c_str(), sandbox.pellicle().c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_EQ(0, WaitForExit(pid));
  EXPECT_EQ(1u,
            CountOf(ReadFile(stripped), "@(#)PROGRAM:pellicle  PROJECT:mossreed-99.99.99.455\n"));
}

TEST(Pellicle, ExitsAtOnceWithoutAskingWhenNoListedBrowserRuns) {
  Sandbox sandbox;
  Browser lower(sandbox, "safari");    // Letter case differs.
  Browser longer(sandbox, "Safari2");  // Only contains a listed name.
  Pellicle pellicle(sandbox);
  EXPECT_EQ(0, pellicle.Finish());
  EXPECT_EQ("", pellicle.output());
}

TEST(Pellicle, GivingUpWhileABrowserRunsExitsOne) {
  for (const char* name : {"firefox-bin", "Safari", "Camino"}) {
    Sandbox sandbox;
    Browser browser(sandbox, name);
    Pellicle pellicle(sandbox);
    ASSERT_TRUE(pellicle.WaitFor(kEnglish)) << name << ": " << pellicle.output();
    pellicle.Type("2\n");
    EXPECT_EQ(1, pellicle.Finish()) << name;
    EXPECT_EQ(1u, CountOf(pellicle.output(), "> "));
  }
}

TEST(Pellicle, AsksOncePerPassUntilTheBrowsersHaveQuit) {
  Sandbox sandbox;
  Browser firefox(sandbox, "firefox-bin");
  Browser safari(sandbox, "Safari");
  Pellicle pellicle(sandbox);
  ASSERT_TRUE(pellicle.WaitFor(kEnglish));
  pellicle.Type("1\n");  // Both still run.
  ASSERT_TRUE(pellicle.WaitFor(kEnglish)) << pellicle.output();
  firefox.Quit();
  pellicle.Type("\x04");  // A dismissal counts as "look again".
  ASSERT_TRUE(pellicle.WaitFor(kEnglish)) << pellicle.output();
  safari.Quit();
  pellicle.Type("\n");  // Enter: the default button.
  EXPECT_EQ(0, pellicle.Finish());
  EXPECT_EQ(3u, CountOf(pellicle.output(), "Please quit")) << pellicle.output();
}

TEST(Pellicle, AsksInTheUsersLanguage) {
  const struct {
    Strings env;
    const char* prompt;
  } cases[] = {
      {{"LANG=de_DE.UTF-8"}, kGerman},  // Not a generated locale here.
      {{"LANGUAGE=de"}, kGerman},
      {{"LANGUAGE=fr", "LANG=C.UTF-8"}, kFrench},
      {{"LC_ALL=fr_BE.UTF-8", "LANG=de_DE.UTF-8"}, kFrench},
      {{"LANG=en_GB.UTF-8"}, kEnglish},
      {{"LANG=ja_JP.UTF-8"}, kEnglish},  // No Japanese texts: English.
      {{"LC_ALL=C", "LANGUAGE=de"}, kEnglish},
  };
  Sandbox sandbox;
  Browser camino(sandbox, "Camino");
  for (const auto& c : cases) {
    Pellicle pellicle(sandbox, c.env);
    EXPECT_TRUE(pellicle.WaitFor(c.prompt)) << c.env[0] << ": " << pellicle.output();
    pellicle.Type("2\n");
    EXPECT_EQ(1, pellicle.Finish()) << c.env[0];
  }
}

TEST(Pellicle, ShowsTheKeysWhenItsCataloguesAreMissing) {
  Sandbox sandbox;
  std::string copy = sandbox.folder() + "/pellicle";  // No resources beside it.
  fs::copy_file(sandbox.pellicle(), copy);
  Browser safari(sandbox, "Safari");
  Pellicle pellicle(sandbox, {"LANG=de_DE.UTF-8"}, copy);
  EXPECT_TRUE(pellicle.WaitFor("close-browsers\r\n  [1/Enter] button-ok   [2] button-cancel\r\n> "))
      << pellicle.output();
  pellicle.Type("button-cancel\n");
  EXPECT_EQ(1, pellicle.Finish());
}

TEST(Pellicle, GivesUpWithAMessageWhenNoOneCanBeAsked) {
  Sandbox sandbox;
  auto safari = std::make_unique<Browser>(sandbox, "Safari");
  long long start = NowMs();
  Detached run = RunDetached(sandbox, {});  // No terminal, no desktop.
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("cannot be asked")) << run.err;
  EXPECT_LT(NowMs() - start, 5000);
  safari.reset();  // Nothing to ask: the same setting succeeds.
  EXPECT_EQ(0, RunDetached(sandbox, {}).status);

  // A pellicle that survives its terminal's hang-up does not ask on for ever.
  Browser camino(sandbox, "Camino");
  Pellicle pellicle(sandbox, {}, "", /*ignore_hangup=*/true);
  ASSERT_TRUE(pellicle.WaitFor(kEnglish));
  pellicle.HangUp();
  EXPECT_EQ(1, pellicle.Finish());
}

TEST(Pellicle, AsksThroughTheDesktopDialogWithoutATerminal) {
  Sandbox sandbox;
  // A stand-in for zenity: records its arguments, answers Cancel (status 1).
  std::string tools = sandbox.folder() + "/tools";
  fs::create_directory(tools);
  std::ofstream(tools + "/zenity") << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done >> "
                                   << sandbox.folder() << "/args\nexit 1\n";
  fs::permissions(tools, fs::perms::all);
  fs::permissions(tools + "/zenity", fs::perms::all);
  Browser safari(sandbox, "Safari");
  Detached run = RunDetached(
      sandbox, {}, {"DISPLAY=:99", "PATH=" + tools + ":/usr/bin:/bin", "LANG=de_DE.UTF-8"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_NE(std::string::npos,
            ReadFile(sandbox.folder() + "/args")
                .find("--text=Bitte beenden Sie Firefox, Safari und Camino, bevor Sie fortfahren.\n"
                      "--ok-label=Weiter\n--cancel-label=Abbrechen\n"));
}

}  // namespace
