#include "platform/status.h"

#include <stdint.h>
#include <string.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Listed {
  OSStatus code;
  OSStatus expected_value;
  const char* identifier;
};

// Each code with the value callers depend on and the name it is written with.
#define LISTED(code, value) \
  { code, static_cast<OSStatus>(value), #code }
const Listed kListed[] = {
    LISTED(noErr, 0),
    LISTED(genericFailureErr, -1),
    LISTED(openErr, -23),
    LISTED(paramErr, -50),
    LISTED(memROZErr, -99),
    LISTED(memFullErr, -108),
    LISTED(nilHandleErr, -109),
    LISTED(memAdrErr, -110),
    LISTED(memWZErr, -111),
    LISTED(memPurErr, -112),
    LISTED(memAZErr, -113),
    LISTED(memPCErr, -114),
    LISTED(memBCErr, -115),
    LISTED(memSCErr, -116),
    LISTED(memLockedErr, -117),
    LISTED(resNotFound, -192),
    LISTED(videoOutputInUseErr, -2090),
    LISTED(digiUnimpErr, -2201),
    LISTED(qtParamErr, -2202),
    LISTED(badCallOrderErr, -2209),
    LISTED(invalidComponentID, -3000),
    LISTED(gestaltUndefSelectorErr, -5551),
    LISTED(noCodecErr, -8961),
    LISTED(badComponentSelector, 0x80008002u),
};
#undef LISTED

TEST(Status, EveryListedCodeHasItsValueNameAndComment) {
  for (const Listed& listed : kListed) {
    SCOPED_TRACE(listed.identifier);
    EXPECT_EQ(listed.expected_value, listed.code);
    const char* name = GetMacOSStatusErrorString(listed.code);
    ASSERT_NE(nullptr, name);
    EXPECT_STREQ(listed.identifier, name);
    const char* comment = GetMacOSStatusCommentString(listed.code);
    ASSERT_NE(nullptr, comment);
    EXPECT_GT(strlen(comment), 3u);
    EXPECT_EQ(nullptr, strchr(comment, '\n'));  // One line.
  }
}

TEST(Status, UnknownCodesHaveNoTexts) {
  for (OSStatus code :
       {OSStatus{1}, OSStatus{-2}, OSStatus{-51}, OSStatus{-2091},
        static_cast<OSStatus>(0x80008001u), OSStatus{INT32_MIN}, OSStatus{INT32_MAX}}) {
    EXPECT_EQ(nullptr, GetMacOSStatusErrorString(code)) << code;
    EXPECT_EQ(nullptr, GetMacOSStatusCommentString(code)) << code;
  }
}

TEST(Status, NoTwoCodesShareANameOrAComment) {
  std::set<std::string> names;
  std::set<std::string> comments;
  std::set<OSStatus> codes;
  for (const Listed& listed : kListed) {
    EXPECT_TRUE(codes.insert(listed.code).second) << listed.identifier;
    EXPECT_TRUE(names.insert(GetMacOSStatusErrorString(listed.code)).second) << listed.identifier;
    EXPECT_TRUE(comments.insert(GetMacOSStatusCommentString(listed.code)).second)
        << listed.identifier;
  }
}

}  // namespace
