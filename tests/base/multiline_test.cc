#include <stdio.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "base/stream.h"

namespace lumen_base {
namespace {

// Lines go to a string sink at LS_INFO; the settings are restored after
// every test.
class MultilineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Restore();
    LogMessage::LogToStream(new StringStream(text_), LS_INFO);
  }
  void TearDown() override { Restore(); }

  static void Restore() {
    LogMessage::LogToDebug(LS_NONE);
    LogMessage::LogToStream(nullptr, LS_NONE);
    LogMessage::LogTimestamps(false);
    LogMessage::LogContext(LS_WARNING);
  }

  void Log(const std::string& data, bool input, bool hex, LogMultilineState* state) {
    LogMultiline(LS_INFO, "[L]", input, data.data(), data.size(), hex, state);
  }
  void Flush(bool input, LogMultilineState* state) {
    LogMultiline(LS_INFO, "[L]", input, nullptr, 0, false, state);
  }

  std::string text_;
};

// ---------------------------------------------------------------------------
// Text mode

TEST_F(MultilineTest, OneMessagePerLine) {
  Log("hello\nworld", false, false, nullptr);
  EXPECT_EQ("[L] >> hello\n[L] >> world\n", text_);
}

TEST_F(MultilineTest, InputIsMarkedTheOtherWayAndCarriageReturnIsStripped) {
  Log("a\r\n", true, false, nullptr);
  EXPECT_EQ("[L] << a\n", text_);
}

TEST_F(MultilineTest, EmptyLineLogsLabelAndMarkerAlone) {
  Log("x\n\ny\n", false, false, nullptr);
  EXPECT_EQ("[L] >> x\n[L] >> \n[L] >> y\n", text_);
}

TEST_F(MultilineTest, InnerWhitespaceStaysTrailingWhitespaceGoes) {
  Log("a\tb  \t\v\f\r\n", false, false, nullptr);
  EXPECT_EQ("[L] >> a\tb\n", text_);
}

TEST_F(MultilineTest, UnprintableRunIsCountedAcrossCalls) {
  LogMultilineState state;
  // 10 bytes of 1 and a line feed count 11; "ok" is shorter than 4 while
  // the count is pending, so it counts too (3 with its line feed).
  Log(std::string(10, '\x01') + "\nok\n", false, false, &state);
  EXPECT_EQ("", text_);
  EXPECT_EQ(14u, state.unprintable_count_[0]);
  EXPECT_EQ(0u, state.unprintable_count_[1]);
  Log("long enough\n", false, false, &state);
  EXPECT_EQ("[L] >> ## 14 consecutive unprintable ##\n[L] >> long enough\n", text_);
  EXPECT_EQ(0u, state.unprintable_count_[0]);
}

TEST_F(MultilineTest, PendingCountDecidesShortAndBlankLines) {
  LogMultilineState state;
  state.unprintable_count_[1] = 5;
  Log("abc\n", true, false, &state);  // 3 characters: counted
  EXPECT_EQ(9u, state.unprintable_count_[1]);
  Log("  \t  \n", true, false, &state);  // long enough, but only whitespace: counted
  EXPECT_EQ(15u, state.unprintable_count_[1]);
  Log("abcd\n", true, false, &state);  // 4 characters: shown
  EXPECT_EQ("[L] << ## 15 consecutive unprintable ##\n[L] << abcd\n", text_);
  // Without a pending count the same short line is simply shown.
  text_.clear();
  Log("ab\n", true, false, &state);
  EXPECT_EQ("[L] << ab\n", text_);
}

TEST_F(MultilineTest, DirectionsKeepSeparateCounts) {
  LogMultilineState state;
  Log("\x02\x03\n", false, false, &state);
  Log("\x7f\n", true, false, &state);
  EXPECT_EQ(3u, state.unprintable_count_[0]);
  EXPECT_EQ(2u, state.unprintable_count_[1]);
  Flush(true, &state);
  EXPECT_EQ("[L] << ## 2 consecutive unprintable ##\n", text_);
  EXPECT_EQ(3u, state.unprintable_count_[0]);
  EXPECT_EQ(0u, state.unprintable_count_[1]);
  Flush(false, &state);
  EXPECT_EQ(
      "[L] << ## 2 consecutive unprintable ##\n"
      "[L] >> ## 3 consecutive unprintable ##\n",
      text_);
  EXPECT_EQ(0u, state.unprintable_count_[0]);
}

TEST_F(MultilineTest, FlushWithZeroCountOrNoStateLogsNothing) {
  LogMultilineState state;
  Flush(false, &state);
  Flush(true, &state);
  Flush(true, nullptr);
  EXPECT_EQ("", text_);
}

TEST_F(MultilineTest, NulBeforeLineFeedMakesTheRestOneUnprintableLine) {
  LogMultilineState state;
  Log(std::string("ab\0cd\nef\n", 9), false, false, &state);
  EXPECT_EQ("", text_);
  EXPECT_EQ(9u, state.unprintable_count_[0]);
  // A NUL after the line feed concerns only the next line.
  Log(std::string("ok line\n\0zz", 11), false, false, &state);
  EXPECT_EQ("[L] >> ## 9 consecutive unprintable ##\n[L] >> ok line\n", text_);
  EXPECT_EQ(3u, state.unprintable_count_[0]);
}

TEST_F(MultilineTest, HighBytesAreUnprintable) {
  LogMultilineState state;
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    Log(std::string("text ") + static_cast<char>(byte) + "\n", false, false, &state);
  }
  EXPECT_EQ("", text_);
  EXPECT_EQ(128u * 7u, state.unprintable_count_[0]);
}

TEST_F(MultilineTest, WithoutStateTheCountLastsOneCall) {
  Log("\x01\x01\nvisible line\n\x01", false, false, nullptr);
  Log("next\n", false, false, nullptr);
  EXPECT_EQ(
      "[L] >> ## 3 consecutive unprintable ##\n"
      "[L] >> visible line\n"
      "[L] >> next\n",
      text_);
}

TEST_F(MultilineTest, PrivateFieldsAreOmitted) {
  Log("user=joe Passwd=secret\nEmail: joe@example.com\nmy email is joe\n", false, false, nullptr);
  EXPECT_EQ(
      "[L] >> ## omitted for privacy ##\n"
      "[L] >> ## omitted for privacy ##\n"
      "[L] >> my email is joe\n",
      text_);
}

TEST_F(MultilineTest, EmptyDataLogsNothing) {
  LogMultilineState state;
  state.unprintable_count_[0] = 4;
  Log("", false, false, &state);
  EXPECT_EQ("", text_);
  EXPECT_EQ(4u, state.unprintable_count_[0]);
}

TEST_F(MultilineTest, DisabledSeverityLeavesTheStateAlone) {
  LogMessage::LogToStream(new StringStream(text_), LS_WARNING);
  LogMultilineState state;
  state.unprintable_count_[0] = 7;
  state.unprintable_count_[1] = 8;
  Log("\x01\x01\x01\n", false, false, &state);
  Log("printable line\n", true, false, &state);
  Flush(false, &state);
  Flush(true, &state);
  EXPECT_EQ("", text_);
  EXPECT_EQ(7u, state.unprintable_count_[0]);
  EXPECT_EQ(8u, state.unprintable_count_[1]);
}

TEST_F(MultilineTest, LinesGetTheUsualPrefixes) {
  LogMultiline(LS_WARNING, "[L]", false, "hi\n", 3, false, nullptr);
  EXPECT_TRUE(
      std::regex_match(text_, std::regex("Warning\\(logging\\.cc:[0-9]+\\): \\[L\\] >> hi\n")))
      << text_;
}

// ---------------------------------------------------------------------------
// Hex mode

TEST_F(MultilineTest, HexLayoutOfFiveBytes) {
  Log(std::string("Hi\0\n\xff", 5), false, true, nullptr);
  const std::string text_column = "Hi..." + std::string(19, ' ');
  const std::string hex_column = "4869000a ff" + std::string(44, ' ');
  EXPECT_EQ("[L] >> " + text_column + " " + hex_column + " \n", text_);
}

TEST_F(MultilineTest, HexTwentyFiveBytesMakeTwoLines) {
  std::string data;
  for (int i = 0; i < 25; ++i) data.push_back(static_cast<char>('A' + i));
  LogMultilineState state;
  state.unprintable_count_[1] = 3;
  Log(data, true, true, &state);
  EXPECT_EQ(
      "[L] << ABCDEFGHIJKLMNOPQRSTUVWX "
      "41424344 45464748 494a4b4c 4d4e4f50 51525354 55565758   \n"
      "[L] << Y" +
          std::string(23, ' ') + " 59" + std::string(53, ' ') + " \n",
      text_);
  EXPECT_EQ(3u, state.unprintable_count_[1]);  // hex mode does not use the state
}

// Every byte value: the hex column gives the bytes back, groups of four are
// separated by one blank, and only printable bytes show in the text column.
TEST_F(MultilineTest, HexColumnsForEveryByteValue) {
  std::string data;
  for (int byte = 0; byte < 256; ++byte) data.push_back(static_cast<char>(byte));
  Log(data, false, true, nullptr);

  const std::string prefix = "[L] >> ";
  size_t offset = 0;
  size_t start = 0;
  int lines = 0;
  while (start < text_.size()) {
    const size_t end = text_.find('\n', start);
    ASSERT_NE(std::string::npos, end);
    const std::string line = text_.substr(start, end - start);
    start = end + 1;
    ++lines;
    ASSERT_EQ(prefix.size() + 24 + 1 + 55 + 1, line.size());
    ASSERT_EQ(prefix, line.substr(0, prefix.size()));
    const std::string text_column = line.substr(prefix.size(), 24);
    const std::string hex_column = line.substr(prefix.size() + 25, 55);
    EXPECT_EQ(' ', line[prefix.size() + 24]);
    EXPECT_EQ(' ', line.back());
    const size_t count = std::min<size_t>(24, data.size() - offset);
    for (size_t i = 0; i < 24; ++i) {
      if (i >= count) {
        EXPECT_EQ(' ', text_column[i]);
        continue;
      }
      const unsigned char byte = static_cast<unsigned char>(data[offset + i]);
      const char shown = (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
      EXPECT_EQ(shown, text_column[i]) << "byte " << int(byte);
    }
    std::string digits;
    for (size_t i = 0; i < count; ++i) {
      char pair[3];
      snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned char>(data[offset + i]));
      digits += pair;
      if (i % 4 == 3) digits += ' ';
    }
    digits.resize(55, ' ');
    EXPECT_EQ(digits, hex_column);
    offset += count;
  }
  EXPECT_EQ(11, lines);  // 10 full lines and 16 bytes
  EXPECT_EQ(256u, offset);
}

}  // namespace
}  // namespace lumen_base
