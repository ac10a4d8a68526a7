#include "base/macutils.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "base/logging.h"
#include "base/stream.h"
#include "platform/gestalt.h"

namespace lumen_base {
namespace {

// A platform string made from UTF-8 bytes, released at the end of the scope.
class PlatformString {
 public:
  explicit PlatformString(const std::string& utf8)
      : ref_(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(utf8.data()),
                                     static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8,
                                     false)) {}
  ~PlatformString() { CFRelease(ref_); }
  PlatformString(const PlatformString&) = delete;
  PlatformString& operator=(const PlatformString&) = delete;
  CFStringRef get() const { return ref_; }

 private:
  CFStringRef ref_;
};

class MacUtilsTest : public testing::Test {
 protected:
  void SetUp() override { PlatformResetGestaltForTesting(); }
  void TearDown() override {
    PlatformResetGestaltForTesting();
    LogMessage::LogToDebug(LS_NONE);
    LogMessage::LogToStream(nullptr, LS_NONE);
  }
  // Collects log lines from LS_INFO up in log_.
  void CaptureLog() { LogMessage::LogToStream(new StringStream(log_), LS_INFO); }

  std::string log_;
};

std::string Decoded(unsigned long code, std::string prefix = "") {
  DecodeFourChar(code, &prefix);
  return prefix;
}

// --- Platform strings ------------------------------------------------------

TEST_F(MacUtilsTest, ToUtf8GivesTheBytesOfTextOutsideAscii) {
  // Latin-1 range, CJK, and U+1F600 outside the Basic Multilingual Plane.
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
  PlatformString str(text);
  ASSERT_NE(nullptr, str.get());
  std::string out = "old contents";
  ASSERT_TRUE(ToUtf8(str.get(), &out));
  EXPECT_EQ(text, out);
}

TEST_F(MacUtilsTest, RoundTripKeepsEveryCharacter) {
  const std::string samples[] = {
      "",
      "plain",
      "caf\xC3\xA9",
      "\xF0\x9D\x84\x9E clef and \xF0\x9F\x98\x80",  // two surrogate pairs
      std::string("nul\0inside\0", 11),              // embedded NULs
      std::string("\0", 1),
  };
  for (const std::string& text : samples) {
    CFStringRef str = nullptr;
    ASSERT_TRUE(ToUtf16(text, &str)) << text;
    PlatformString expected(text);
    EXPECT_TRUE(CFEqual(expected.get(), str));
    std::string back;
    EXPECT_TRUE(ToUtf8(str, &back));
    EXPECT_EQ(text, back);
    CFRelease(str);
  }
}

TEST_F(MacUtilsTest, ToUtf16CountsCodeUnits) {
  CFStringRef str = nullptr;
  ASSERT_TRUE(ToUtf16("a\xF0\x9F\x98\x80", &str));
  EXPECT_EQ(3, CFStringGetLength(str));  // 'a' plus a surrogate pair
  CFRelease(str);
}

TEST_F(MacUtilsTest, ToUtf16RefusesInvalidUtf8) {
  const std::string bad[] = {"\xC0\xAF", "\xED\xA0\x80", "abc\xE2\x82", "\xFF", "\xF4\x90\x80\x80"};
  for (const std::string& text : bad) {
    CFStringRef str = reinterpret_cast<CFStringRef>(&str);  // must be overwritten
    EXPECT_FALSE(ToUtf16(text, &str));
    EXPECT_EQ(nullptr, str);
  }
}

TEST_F(MacUtilsTest, NullArgumentsChangeNothing) {
  EXPECT_FALSE(ToUtf16("x", nullptr));
  std::string out = "kept";
  EXPECT_FALSE(ToUtf8(nullptr, &out));
  EXPECT_EQ("kept", out);
  PlatformString str("x");
  EXPECT_FALSE(ToUtf8(str.get(), nullptr));
}

// --- Four-character codes and events --------------------------------------

TEST_F(MacUtilsTest, DecodeFourCharQuotesPrintableCodes) {
  EXPECT_EQ("'sysv'", Decoded(0x73797376));
  EXPECT_EQ("' ~ ~'", Decoded(0x207E207E));  // the edges of printable ASCII
}

TEST_F(MacUtilsTest, DecodeFourCharWritesOtherCodesInHex) {
  EXPECT_EQ("0x1", Decoded(0x00000001));
  EXPECT_EQ("0x0", Decoded(0));
  // Only the last byte is unprintable: no partial quoted text.
  EXPECT_EQ("0x61626300", Decoded(0x61626300));
  EXPECT_EQ("0x7f616263", Decoded(0x7F616263));  // DEL
  EXPECT_EQ("0xe9616263", Decoded(0xE9616263));  // a byte above ASCII
}

TEST_F(MacUtilsTest, DecodeFourCharAppends) {
  EXPECT_EQ("x'sysv'", Decoded(0x73797376, "x"));
  EXPECT_EQ("x0x1", Decoded(1, "x"));
  DecodeFourChar(1, nullptr);  // harmless
}

TEST_F(MacUtilsTest, DecodeEventShowsClassAndKind) {
  EventRef event = nullptr;
  ASSERT_EQ(noErr, CreateEvent(nullptr, kEventClassMouse, kEventMouseDown, 0, 0, &event));
  EXPECT_EQ("'mous':0x1", DecodeEvent(event));
  ReleaseEvent(event);
  ASSERT_EQ(noErr, CreateEvent(nullptr, kEventClassKeyboard, 0x61626364, 0, 0, &event));
  EXPECT_EQ("'keyb':'abcd'", DecodeEvent(event));
  ReleaseEvent(event);
}

// --- System version --------------------------------------------------------

TEST_F(MacUtilsTest, PackedVersionIsReadWithoutAskingSys1) {
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(10, 3, 9));
  // Were 'sys1' asked, this failure would make the call fail.
  PlatformSetGestaltErrorForTesting(gestaltSystemVersionMajor, gestaltUndefSelectorErr);
  int major = 0, minor = 0, patch = 0;
  ASSERT_TRUE(GetOSVersion(&major, &minor, &patch));
  EXPECT_EQ(10, major);
  EXPECT_EQ(3, minor);
  EXPECT_EQ(9, patch);
}

TEST_F(MacUtilsTest, LaterVersionsComeFromTheThreeSelectors) {
  int major = 0, minor = 0, patch = 0;
  ASSERT_TRUE(GetOSVersion(&major, &minor, &patch));  // default 10.5.8
  EXPECT_EQ(10, major);
  EXPECT_EQ(5, minor);
  EXPECT_EQ(8, patch);
  // 10.4.11 cannot be packed; only the selectors tell the 11.
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(10, 4, 11));
  ASSERT_TRUE(GetOSVersion(&major, &minor, &patch));
  EXPECT_EQ(11, patch);
  EXPECT_EQ(4, minor);
}

TEST_F(MacUtilsTest, FailingSelectorFailsTheVersion) {
  PlatformSetGestaltErrorForTesting(gestaltSystemVersionBugFix, paramErr);
  int major = 0, minor = 0, patch = -7;
  EXPECT_FALSE(GetOSVersion(&major, &minor, &patch));
  EXPECT_EQ(10, major);  // written before the failure
  EXPECT_EQ(5, minor);
  EXPECT_EQ(-7, patch);  // untouched
  EXPECT_EQ(kOsVersionUnknown, GetOSVersionName());
  EXPECT_FALSE(GetOSVersion(nullptr, &minor, &patch));
}

TEST_F(MacUtilsTest, FailingSysvIsLoggedWithItsStatus) {
  CaptureLog();
  PlatformSetGestaltErrorForTesting(gestaltSystemVersion, gestaltUndefSelectorErr);
  int major = 0, minor = 0, patch = 0;
  EXPECT_FALSE(GetOSVersion(&major, &minor, &patch));
  const std::string expected_tail =
      "): Gestalt('sysv') : [0xffffea51] gestaltUndefSelectorErr: Undefined Gestalt selector\n";
  EXPECT_EQ(0u, log_.find("Error(macutils.cc:")) << log_;
  ASSERT_GE(log_.size(), expected_tail.size());
  EXPECT_EQ(expected_tail, log_.substr(log_.size() - expected_tail.size())) << log_;
  EXPECT_EQ(1u, std::count(log_.begin(), log_.end(), '\n'));
}

TEST_F(MacUtilsTest, VersionNames) {
  struct Case {
    int major, minor, patch;
    OsVersionName name;
  } cases[] = {
      {10, 4, 11, kOsVersion10_4}, {10, 6, 0, kOsVersionNewer}, {11, 0, 0, kOsVersionNewer},
      {12, 9, 9, kOsVersionNewer}, {10, 2, 8, kOsVersionOlder}, {9, 2, 2, kOsVersionOlder},
      {10, 3, 9, kOsVersion10_3},  {10, 5, 8, kOsVersion10_5},  {10, 0, 0, kOsVersionOlder},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(c.major, c.minor, c.patch));
    EXPECT_EQ(c.name, GetOSVersionName()) << c.major << "." << c.minor << "." << c.patch;
  }
}

// --- Host look-up ----------------------------------------------------------

uint32_t FirstAddress(const struct hostent* entry) {
  uint32_t address;
  memcpy(&address, entry->h_addr_list[0], sizeof(address));
  return ntohl(address);
}

TEST_F(MacUtilsTest, LooksUpNumericNameIntoCallerStorage) {
  struct hostent entry;
  char buffer[1024];
  int error = 99;
  struct hostent* result = SafeGetHostByName("127.0.0.1", &entry, buffer, sizeof(buffer), &error);
  ASSERT_EQ(&entry, result);
  EXPECT_EQ(0, error);
  EXPECT_EQ(AF_INET, result->h_addrtype);
  EXPECT_EQ(4, result->h_length);
  EXPECT_EQ(0x7F000001u, FirstAddress(result));
  FreeHostEnt(result);
}

TEST_F(MacUtilsTest, LooksUpLocalhost) {
  struct hostent entry;
  char buffer[8192];
  int error = 99;
  struct hostent* result = SafeGetHostByName("localhost", &entry, buffer, sizeof(buffer), &error);
  ASSERT_EQ(&entry, result);
  EXPECT_EQ(127u, FirstAddress(result) >> 24);
  FreeHostEnt(result);
}

TEST_F(MacUtilsTest, TooSmallBufferFailsCleanly) {
  struct hostent entry;
  char buffer[64];
  buffer[8] = 'z';  // beyond the length given: must stay as it is
  int error = 0;
  errno = 0;
  EXPECT_EQ(nullptr, SafeGetHostByName("localhost", &entry, buffer, 8, &error));
  EXPECT_EQ(NETDB_INTERNAL, error);
  EXPECT_EQ(ERANGE, errno);
  EXPECT_EQ('z', buffer[8]);
}

TEST_F(MacUtilsTest, BadArgumentsFailWithoutLookingUp) {
  struct hostent entry;
  char buffer[256];
  int error = 0;
  EXPECT_EQ(nullptr, SafeGetHostByName(nullptr, &entry, buffer, sizeof(buffer), &error));
  EXPECT_EQ(NETDB_INTERNAL, error);
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, SafeGetHostByName("localhost", nullptr, buffer, sizeof(buffer), &error));
  EXPECT_EQ(nullptr, SafeGetHostByName("localhost", &entry, buffer, -1, &error));
  // A null error pointer is allowed.
  EXPECT_EQ(&entry, SafeGetHostByName("127.0.0.1", &entry, buffer, sizeof(buffer), nullptr));
  FreeHostEnt(nullptr);  // harmless
}

}  // namespace
}  // namespace lumen_base
