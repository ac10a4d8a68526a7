#include "platform/gestalt.h"

#include <gtest/gtest.h>

namespace {

constexpr OSType FourCC(const char (&code)[5]) {
  return (static_cast<OSType>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<OSType>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<OSType>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<OSType>(static_cast<unsigned char>(code[3]));
}

class GestaltTest : public testing::Test {
 protected:
  void SetUp() override { PlatformResetGestaltForTesting(); }
  void TearDown() override { PlatformResetGestaltForTesting(); }

  static SInt32 Ask(OSType selector) {
    SInt32 response = -12345;
    EXPECT_EQ(noErr, Gestalt(selector, &response));
    return response;
  }
};

TEST_F(GestaltTest, SelectorsAreTheirFourCharacterCodes) {
  EXPECT_EQ(FourCC("sysv"), static_cast<OSType>(gestaltSystemVersion));
  EXPECT_EQ(FourCC("sys1"), static_cast<OSType>(gestaltSystemVersionMajor));
  EXPECT_EQ(FourCC("sys2"), static_cast<OSType>(gestaltSystemVersionMinor));
  EXPECT_EQ(FourCC("sys3"), static_cast<OSType>(gestaltSystemVersionBugFix));
}

TEST_F(GestaltTest, DefaultsToTenFiveEight) {
  EXPECT_EQ(0x1058, Ask(gestaltSystemVersion));
  EXPECT_EQ(10, Ask(gestaltSystemVersionMajor));
  EXPECT_EQ(5, Ask(gestaltSystemVersionMinor));
  EXPECT_EQ(8, Ask(gestaltSystemVersionBugFix));
}

TEST_F(GestaltTest, EmulatedVersionIsPackedAsDecimalDigits) {
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(10, 4, 8));
  EXPECT_EQ(0x1048, Ask(gestaltSystemVersion));
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(10, 4, 7));
  EXPECT_EQ(0x1047, Ask(gestaltSystemVersion));
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(9, 2, 2));
  EXPECT_EQ(0x0922, Ask(gestaltSystemVersion));
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(0, 0, 0));
  EXPECT_EQ(0, Ask(gestaltSystemVersion));
}

TEST_F(GestaltTest, NumbersAboveNineAreCappedOnlyInThePackedForm) {
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(10, 4, 11));
  EXPECT_EQ(0x1049, Ask(gestaltSystemVersion));
  EXPECT_EQ(11, Ask(gestaltSystemVersionBugFix));
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(10, 12, 3));
  EXPECT_EQ(0x1093, Ask(gestaltSystemVersion));
  EXPECT_EQ(12, Ask(gestaltSystemVersionMinor));
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(123, 1, 2));
  EXPECT_EQ(0x9912, Ask(gestaltSystemVersion));
  EXPECT_EQ(123, Ask(gestaltSystemVersionMajor));
}

TEST_F(GestaltTest, NegativeVersionIsRefused) {
  EXPECT_FALSE(PlatformSetEmulatedSystemVersionForTesting(10, -1, 0));
  EXPECT_FALSE(PlatformSetEmulatedSystemVersionForTesting(-10, 1, 0));
  EXPECT_FALSE(PlatformSetEmulatedSystemVersionForTesting(10, 1, -3));
  EXPECT_EQ(0x1058, Ask(gestaltSystemVersion));
}

TEST_F(GestaltTest, UnknownSelectorLeavesTheResponseUntouched) {
  for (OSType selector : {FourCC("sys4"), FourCC("SYSV"), OSType{0}, FourCC("cpuf")}) {
    SInt32 response = 777;
    EXPECT_EQ(gestaltUndefSelectorErr, Gestalt(selector, &response));
    EXPECT_EQ(-5551, Gestalt(selector, &response));
    EXPECT_EQ(777, response);
  }
}

TEST_F(GestaltTest, NullResponseIsAParameterError) {
  EXPECT_EQ(paramErr, Gestalt(gestaltSystemVersion, nullptr));
  EXPECT_EQ(-50, Gestalt(FourCC("nope"), nullptr));
}

TEST_F(GestaltTest, InjectedErrorsFailOneSelectorUntilCleared) {
  PlatformSetGestaltErrorForTesting(gestaltSystemVersion, -5550);
  SInt32 response = 42;
  EXPECT_EQ(-5550, Gestalt(gestaltSystemVersion, &response));
  EXPECT_EQ(42, response);
  EXPECT_EQ(10, Ask(gestaltSystemVersionMajor));  // Others still answer.

  PlatformSetGestaltErrorForTesting(FourCC("zzzz"), -1);
  EXPECT_EQ(-1, Gestalt(FourCC("zzzz"), &response));

  PlatformSetGestaltErrorForTesting(gestaltSystemVersion, noErr);
  EXPECT_EQ(0x1058, Ask(gestaltSystemVersion));
  EXPECT_EQ(-1, Gestalt(FourCC("zzzz"), &response));
}

TEST_F(GestaltTest, ResetRestoresVersionAndClearsErrors) {
  ASSERT_TRUE(PlatformSetEmulatedSystemVersionForTesting(10, 3, 9));
  PlatformSetGestaltErrorForTesting(gestaltSystemVersionMinor, -2);
  PlatformResetGestaltForTesting();
  EXPECT_EQ(0x1058, Ask(gestaltSystemVersion));
  EXPECT_EQ(5, Ask(gestaltSystemVersionMinor));
}

}  // namespace
