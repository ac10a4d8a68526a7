// The installed programs, on their own: `cmake --install` into a temporary
// prefix, and the Debian package unpacked into a temporary root, each run
// with the source and build trees hidden (a private mount namespace lays an
// empty file system over them), so that whatever works here works without
// anything from the build. Also: the manual pages render without warnings
// and name the options --help names, the user units pass systemd's check,
// and lintian finds no error in the package.
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/lumenplug_fixture.h"

namespace {

using namespace lumenplug_test;  // NOLINT: the suite's own helpers

const std::string kBuild = QUORVEX_BINARY_DIR;
const std::string kSource = QUORVEX_SOURCE_DIR;
const std::string kVersion = QUORVEX_VERSION;

class InstalledTest : public CameraTest {
 protected:
  // `argv` with the build and the source trees hidden. The build tree may
  // lie inside the source tree, so it is covered first.
  Strings Hidden(const Strings& argv) {
    Strings wrapped = {"/usr/bin/unshare",
                       "--mount",
                       "--propagation",
                       "private",
                       "/bin/sh",
                       "-c",
                       "mount -t tmpfs -o size=1m none \"$1\" && mount -t tmpfs -o size=1m none "
                       "\"$2\" && shift 2 && exec \"$@\"",
                       "sh",
                       kBuild,
                       kSource};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
  }

  Child& RunHidden(const Strings& argv) {
    children_.push_back(
        std::make_unique<Child>(Hidden(argv), folder_.path(), "/dev/null", environment_));
    return *children_.back();
  }

  // Everything a user relies on, run from the installation under `prefix`.
  void CheckInstallation(const std::string& prefix) {
    const std::string bin = prefix + "/bin/";
    ASSERT_TRUE(PathExists(bin + "QuorvexLumenPlug")) << prefix;

    // The trees really are out of reach in there.
    Child& look = RunHidden({"/bin/sh", "-c", "test -e \"$0\"", kBuild + "/bin/QuorvexLumenPlug"});
    ASSERT_EQ(1, look.Wait()) << "the build tree is still visible";

    // The platform library a user gets has no test hooks, while the build
    // tree's has (so the check can fail).
    const std::string hooks = "nm -D --defined-only \"$0\" | grep -c ForTesting";
    Child& installed_hooks =
        Run("/bin/sh", {"-c", hooks, prefix + "/lib/quorvex/libquorvex_platform.so"});
    EXPECT_EQ(1, installed_hooks.Wait()) << installed_hooks.Out();  // grep found none
    EXPECT_EQ("0\n", installed_hooks.Out());
    Child& build_hooks = Run("/bin/sh", {"-c", hooks, kBuild + "/lib/libquorvex_platform.so"});
    EXPECT_EQ(0, build_hooks.Wait());
    EXPECT_EQ("5\n", build_hooks.Out());

    for (const char* tool : {"QuorvexLumenPlug", "pellicle", "quorvex-defaults"}) {
      Child& version = RunHidden({bin + tool, "--version"});
      EXPECT_EQ(0, version.Wait()) << tool << ": " << version.Err();
      EXPECT_EQ(std::string(tool) + " " + kVersion + "\n", version.Out());
    }

    // A preference written with the installed tool reads back.
    Child& write =
        RunHidden({bin + "quorvex-defaults", "write", "com.quorvex.InstallTest", "colour", "blue"});
    EXPECT_EQ(0, write.Wait()) << write.Err();
    Child& read =
        RunHidden({bin + "quorvex-defaults", "read", "com.quorvex.InstallTest", "colour"});
    EXPECT_EQ(0, read.Wait()) << read.Err();
    EXPECT_EQ("blue\n", read.Out());

    // The installed camera, found by the installed component manager.
    Child& feed = RunHidden({bin + "QuorvexLumenPlug", "feed", "--quiet", "--size", "320x240"});
    int status = 0;
    ASSERT_TRUE(WaitFor([&] {
      return feed.Ended(&status) || (camera_.Attach() && camera_.Read().size != 0);
    })) << feed.Err();
    camera_.Detach();
    const std::string movie_path = folder_.File("installed.y4m");
    Child& capture = RunHidden(
        {bin + "QuorvexLumenPlug", "capture", "--quiet", "--frames", "3", "-o", movie_path});
    EXPECT_EQ(0, capture.Wait()) << capture.Err();
    EXPECT_EQ(3u, ReadMovie(movie_path).frames.size());
    ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
    EXPECT_EQ(0, feed.Wait()) << feed.Err();

    // pellicle in German, from the installed catalogues, while a browser
    // of a listed name runs.
    const std::string browser = folder_.File("firefox-bin");
    fs::copy_file("/bin/sleep", browser, fs::copy_options::overwrite_existing);
    Child& firefox = Run(browser, {"60"});
    TerminalChild pellicle(Hidden({bin + "pellicle"}), {"LANGUAGE=de"});
    EXPECT_TRUE(pellicle.Shows("Bitte beenden Sie Firefox, Safari und Camino"))
        << pellicle.screen();
    EXPECT_TRUE(pellicle.Shows("Abbrechen")) << pellicle.screen();
    EXPECT_TRUE(pellicle.Shows("> ")) << pellicle.screen();
    ASSERT_TRUE(pellicle.Type("2\n"));
    EXPECT_EQ(1, pellicle.Wait()) << pellicle.screen();
    kill(firefox.pid(), SIGKILL);

    // No text installed names the build tree (debugging information in the
    // programs may: it is not followed), and the programs find their
    // library relative to themselves.
    Child& grep = Run("/bin/grep", {"-rlIF", kBuild, prefix});
    EXPECT_EQ(1, grep.Wait()) << "files naming the build tree:\n" << grep.Out();
    for (const std::string& elf :
         {bin + "QuorvexLumenPlug", bin + "pellicle", bin + "quorvex-defaults",
          prefix + "/lib/quorvex/Components/Quorvex Camera Adapter 0.component/"
                   "QuorvexCameraAdapter0.so"}) {
      Child& dynamic = Run("/usr/bin/env", {"readelf", "-d", elf});
      EXPECT_EQ(0, dynamic.Wait()) << elf;
      EXPECT_TRUE(Contains(dynamic.Out(), "(RUNPATH)") && Contains(dynamic.Out(), "[$ORIGIN/"))
          << elf << ":\n"
          << dynamic.Out();
      EXPECT_FALSE(Contains(dynamic.Out(), kBuild)) << elf << ":\n" << dynamic.Out();
    }
  }
};

// The long options a text names: --name tokens.
std::set<std::string> LongOptions(const std::string& text) {
  std::set<std::string> options;
  static const std::regex option("--[a-z][a-z-]*[a-z]");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
       it != std::sregex_iterator(); ++it) {
    options.insert(it->str());
  }
  return options;
}

// The SYNOPSIS and OPTIONS sections of a manual page's source, with roff's
// escaped hyphens as plain ones.
std::string SynopsisAndOptions(const std::string& page) {
  std::string text;
  bool inside = false;
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(".SH", 0) == 0) inside = Contains(line, "SYNOPSIS") || Contains(line, "OPTIONS");
    if (inside) text += std::regex_replace(line, std::regex(R"(\\-)"), "-") + "\n";
  }
  return text;
}

std::string OptionList(const std::set<std::string>& options) {
  std::string list;
  for (const std::string& option : options) list += " " + option;
  return list;
}

TEST_F(InstalledTest, InstalledCopyWorksWithTheBuildTreeHidden) {
  const std::string prefix = folder_.File("prefix");
  Child& install = Run("/usr/bin/env", {"cmake", "--install", kBuild, "--prefix", prefix});
  ASSERT_EQ(0, install.Wait()) << install.Err();
  CheckInstallation(prefix);

  // The user units name the installed program and pass systemd's check.
  const std::string units = prefix + "/lib/systemd/user/";
  EXPECT_TRUE(Contains(ReadFile(units + "quorvex-camera.service"),
                       "ExecStart=" + prefix + "/bin/QuorvexLumenPlug publish"));
  EXPECT_TRUE(Contains(ReadFile(units + "quorvex-feed.service"),
                       "ExecStart=" + prefix + "/bin/QuorvexLumenPlug feed"));
  const std::string runtime = folder_.File("runtime");
  fs::create_directory(runtime);
  children_.push_back(std::make_unique<Child>(
      Strings{"/usr/bin/env", "systemd-analyze", "--user", "verify",
              units + "quorvex-camera.service", units + "quorvex-feed.service"},
      folder_.path(), "/dev/null",
      Strings{"XDG_RUNTIME_DIR=" + runtime, "MANPATH=" + prefix + "/share/man:"}));
  Child& verify = *children_.back();
  EXPECT_EQ(0, verify.Wait()) << verify.Err() << verify.Out();
}

TEST_F(InstalledTest, StagedInstallationLandsUnderDestdir) {
  const std::string stage = folder_.File("stage");
  children_.push_back(std::make_unique<Child>(
      Strings{"/usr/bin/env", "cmake", "--install", kBuild, "--prefix", "/usr"}, folder_.path(),
      "/dev/null", Strings{"DESTDIR=" + stage}));
  Child& install = *children_.back();
  ASSERT_EQ(0, install.Wait()) << install.Err();
  for (const char* path :
       {"/usr/bin/QuorvexLumenPlug", "/usr/bin/pellicle", "/usr/bin/quorvex-defaults",
        "/usr/lib/quorvex/libquorvex_platform.so",
        "/usr/lib/quorvex/Components/Quorvex Camera Adapter 0.component/QuorvexCameraAdapter0.so",
        "/usr/lib/quorvex/Components/Quorvex Camera Adapter 0.component/Resources/component.rsrc",
        "/usr/share/locale/de/LC_MESSAGES/com.quorvex.pellicle.mo",
        "/usr/share/man/man1/QuorvexLumenPlug.1.gz", "/usr/lib/systemd/user/quorvex-camera.service",
        "/usr/share/bash-completion/completions/QuorvexLumenPlug"}) {
    EXPECT_TRUE(PathExists(stage + path)) << path;
  }
  // The units name the program where the package puts it, not the stage.
  EXPECT_TRUE(Contains(ReadFile(stage + "/usr/lib/systemd/user/quorvex-camera.service"),
                       "ExecStart=/usr/bin/QuorvexLumenPlug publish"));
}

TEST_F(InstalledTest, ManualPagesRenderAndNameTheOptionsOfTheHelp) {
  struct Page {
    const char* name;
    std::vector<Strings> helps;
  };
  const std::string bin = kBuild + "/bin/";
  const Page pages[] = {
      {"QuorvexLumenPlug",
       {{bin + "QuorvexLumenPlug", "--help"},
        {bin + "QuorvexLumenPlug", "feed", "--help"},
        {bin + "QuorvexLumenPlug", "capture", "--help"},
        {bin + "QuorvexLumenPlug", "publish", "--help"}}},
      {"pellicle", {{bin + "pellicle", "--help"}}},
      {"quorvex-defaults", {{bin + "quorvex-defaults", "--help"}}},
  };
  for (const Page& page : pages) {
    const std::string source = kSource + "/packaging/man/" + page.name + ".1";
    children_.push_back(std::make_unique<Child>(
        Strings{"/usr/bin/env", "man", "--warnings", "-l", source}, folder_.path(), "/dev/null",
        Strings{"LC_ALL=C.UTF-8", "MANWIDTH=80"}));
    Child& render = *children_.back();
    EXPECT_EQ(0, render.Wait()) << page.name;
    EXPECT_EQ("", render.Err()) << page.name << " renders with warnings";
    EXPECT_TRUE(Contains(render.Out(), "EXIT STATUS")) << page.name;

    std::string help;
    for (const Strings& argv : page.helps) {
      Child& shown = Run(argv[0], Strings(argv.begin() + 1, argv.end()));
      EXPECT_EQ(0, shown.Wait()) << page.name;
      help += shown.Out();
    }
    const std::set<std::string> in_help = LongOptions(help);
    const std::set<std::string> in_page = LongOptions(SynopsisAndOptions(ReadFile(source)));
    EXPECT_FALSE(in_help.empty());
    EXPECT_EQ(in_help, in_page) << page.name << ": --help names" << OptionList(in_help)
                                << "\nthe manual page names" << OptionList(in_page);
  }
}

TEST_F(InstalledTest, BashCompletesCommandsAndTheirOptions) {
  const std::string script = kSource + "/packaging/completion/QuorvexLumenPlug";
  const struct {
    const char* words;
    const char* offers;
  } cases[] = {
      {"QuorvexLumenPlug pu", "publish"},
      {"QuorvexLumenPlug ''", "feed capture publish names --help --version"},
      {"QuorvexLumenPlug names sem", "semaphore semaphore-file"},
      {"QuorvexLumenPlug publish --n", "--node-name"},
      {"QuorvexLumenPlug feed --l", "--loop"},
      {"QuorvexLumenPlug capture --snapshot-", "--snapshot-frame"},
      {"QuorvexLumenPlug capture --size 64", "640x480 640x360"},
  };
  for (const auto& c : cases) {
    Child& bash = Run("/bin/bash", {"-c",
                                    "source \"$0\"; COMP_WORDS=(" + std::string(c.words) +
                                        "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                        "_QuorvexLumenPlug; echo \"${COMPREPLY[*]}\"",
                                    script});
    EXPECT_EQ(0, bash.Wait()) << bash.Err();
    EXPECT_EQ(std::string(c.offers) + "\n", bash.Out()) << c.words;
  }
}

TEST_F(InstalledTest, DebianPackageWorksUnpackedAndLintianFindsNoError) {
  const std::string packages = folder_.File("packages");
  Child& cpack = Run("/usr/bin/env", {"cpack", "-G", "DEB", "--config",
                                      kBuild + "/CPackConfig.cmake", "-B", packages});
  ASSERT_EQ(0, cpack.Wait()) << cpack.Out() << cpack.Err();
  const std::string deb = packages + "/quorvex_" + kVersion + "_amd64.deb";
  ASSERT_TRUE(PathExists(deb)) << cpack.Out();

  Child& fields = Run("/usr/bin/env", {"dpkg-deb", "--field", deb});
  EXPECT_EQ(0, fields.Wait()) << fields.Err();
  EXPECT_TRUE(Contains(fields.Out(), "Package: quorvex\n")) << fields.Out();
  EXPECT_TRUE(Contains(fields.Out(), "Version: " + kVersion + "\n")) << fields.Out();
  EXPECT_TRUE(Contains(fields.Out(), "Maintainer: ")) << fields.Out();
  // Dependencies come from the shared libraries the programs use.
  EXPECT_TRUE(Contains(fields.Out(), "libc6 (>=")) << fields.Out();
  EXPECT_TRUE(Contains(fields.Out(), "libpipewire-0.3-0")) << fields.Out();

  const std::string root = folder_.File("root");
  Child& unpack = Run("/usr/bin/env", {"dpkg-deb", "-x", deb, root});
  ASSERT_EQ(0, unpack.Wait()) << unpack.Err();
  CheckInstallation(root + "/usr");

  Child& lintian =
      Run("/usr/bin/env", {"lintian", "--fail-on", "error", "--tag-display-limit", "0", deb});
  EXPECT_EQ(0, lintian.Wait(120000)) << lintian.Out() << lintian.Err();
  EXPECT_FALSE(Contains(lintian.Out(), "E: ")) << lintian.Out();
}

}  // namespace
