#include "platform/bundle.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

std::string Identifier(CFBundleRef bundle) {
  std::string text;
  if (!PlatformCFStringCopyUtf8(CFBundleGetIdentifier(bundle), &text)) return "<none>";
  return text;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "<" + path + ">";
}

class BundleTest : public testing::Test {
 protected:
  void SetUp() override { PlatformDeclareMainBundle(nullptr, nullptr); }
  void TearDown() override { PlatformDeclareMainBundle(nullptr, nullptr); }
};

TEST_F(BundleTest, NoMainBundleUnlessDeclared) {
  EXPECT_EQ(nullptr, CFBundleGetMainBundle());
  EXPECT_EQ(nullptr, CFBundleGetIdentifier(nullptr));
  EXPECT_EQ("", PlatformMainBundleResourcesPath());
  EXPECT_EQ("", PlatformBundleResourcesPath(nullptr));
}

TEST_F(BundleTest, DeclaredIdentifierIsReported) {
  ASSERT_TRUE(PlatformDeclareMainBundle("com.example.T\xC3\xA9st", "/opt/example/Resources"));
  CFBundleRef bundle = CFBundleGetMainBundle();
  ASSERT_NE(nullptr, bundle);
  EXPECT_EQ(CFBundleGetTypeID(), CFGetTypeID(bundle));
  EXPECT_NE(CFStringGetTypeID(), CFBundleGetTypeID());
  CFStringRef identifier = CFBundleGetIdentifier(bundle);
  EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(identifier));
  CFStringRef expected =
      CFStringCreateWithCString(nullptr, "com.example.T\xC3\xA9st", kCFStringEncodingUTF8);
  EXPECT_TRUE(CFEqual(expected, identifier));
  CFRelease(expected);
  EXPECT_EQ("/opt/example/Resources", PlatformMainBundleResourcesPath());
  EXPECT_EQ("/opt/example/Resources", PlatformBundleResourcesPath(bundle));
}

TEST_F(BundleTest, ClearingLeavesEarlierReferencesUsable) {
  ASSERT_TRUE(PlatformDeclareMainBundle("com.example.First", nullptr));
  CFBundleRef first = CFBundleGetMainBundle();
  ASSERT_TRUE(PlatformDeclareMainBundle("com.example.Second", nullptr));
  EXPECT_EQ("com.example.Second", Identifier(CFBundleGetMainBundle()));
  EXPECT_TRUE(PlatformDeclareMainBundle(nullptr, "ignored"));
  EXPECT_EQ(nullptr, CFBundleGetMainBundle());
  // A reference taken before stays valid, and so does its identifier, even
  // after a caller released the identifier by mistake.
  CFRelease(CFBundleGetIdentifier(first));
  EXPECT_EQ("com.example.First", Identifier(first));
}

TEST_F(BundleTest, RefusedDeclarationKeepsThePreviousOne) {
  ASSERT_TRUE(PlatformDeclareMainBundle("com.example.Kept", "/kept"));
  EXPECT_FALSE(PlatformDeclareMainBundle("", "/x"));
  EXPECT_FALSE(PlatformDeclareMainBundle("bad\xC3", "/x"));
  EXPECT_EQ("com.example.Kept", Identifier(CFBundleGetMainBundle()));
  EXPECT_EQ("/kept", PlatformMainBundleResourcesPath());
}

TEST_F(BundleTest, RelativeResourcesAreFoundBesideTheExecutable) {
  ASSERT_TRUE(PlatformDeclareMainBundle("com.example.Rel", "resources/en"));
  // Test programs are built into <build>/bin.
  std::string path = PlatformMainBundleResourcesPath();
  ASSERT_GT(path.size(), 13u);
  EXPECT_EQ("/resources/en", path.substr(path.size() - 13));
  EXPECT_EQ(RealPath(QUORVEX_BINARY_DIR "/bin"), RealPath(path.substr(0, path.size() - 13)));

  ASSERT_TRUE(PlatformDeclareMainBundle("com.example.None", ""));
  EXPECT_EQ("", PlatformMainBundleResourcesPath());
}

TEST_F(BundleTest, ProgramDeclaresItsBundleDuringStaticInitialisation) {
  FILE* probe = popen(QUORVEX_BINARY_DIR "/bin/platform_bundle_probe", "r");
  ASSERT_NE(nullptr, probe);
  char line[PATH_MAX + 2];
  std::string output;
  while (fgets(line, sizeof(line), probe) != nullptr) output += line;
  ASSERT_EQ(0, pclose(probe)) << output;
  std::string expected_resources = RealPath(QUORVEX_BINARY_DIR "/bin") + "/probe-resources";
  size_t newline = output.find('\n');
  ASSERT_NE(std::string::npos, newline) << output;
  EXPECT_EQ("com.example.BundleProbe", output.substr(0, newline));
  std::string resources = output.substr(newline + 1);
  ASSERT_FALSE(resources.empty());
  resources.pop_back();  // The line feed.
  EXPECT_EQ(expected_resources, resources);
}

TEST_F(BundleTest, ReadersAndADeclaringThreadDoNotRace) {
  std::atomic<bool> done{false};
  std::thread declarer([&] {
    for (int i = 0; i < 2000; ++i) {
      PlatformDeclareMainBundle(i % 2 == 0 ? "com.example.A" : nullptr, "/r");
    }
    done = true;
  });
  bool all_whole = true;
  while (!done && all_whole) {
    CFBundleRef bundle = CFBundleGetMainBundle();
    if (bundle != nullptr) all_whole = Identifier(bundle) == "com.example.A";
  }
  declarer.join();
  EXPECT_TRUE(all_whole);
}

}  // namespace
