#include "base/stringencode.h"

#include <ctype.h>
#include <locale.h>
#include <string.h>

#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lumen_base {
namespace {

using BufferFunction = std::function<size_t(char*, size_t, const char*, size_t)>;

const size_t kGuardBytes = 8;
const char kFill = '\x5a';

// Runs f over an exactly sized heap copy of source (an over-read trips the
// sanitizer) into buflen bytes followed by guard bytes, checks the buffer
// rule and returns the output.
std::string RunInto(const BufferFunction& f, const std::string& source, size_t buflen) {
  std::unique_ptr<char[]> copy(new char[source.size()]);
  memcpy(copy.get(), source.data(), source.size());
  std::vector<char> buffer(buflen + kGuardBytes, kFill);
  const size_t result = f(buffer.data(), buflen, copy.get(), source.size());
  for (size_t i = buflen; i < buffer.size(); ++i)
    EXPECT_EQ(kFill, buffer[i]) << "wrote past buflen";
  if (buflen == 0) {
    EXPECT_EQ(0u, result);
    return std::string();
  }
  EXPECT_LT(result, buflen);
  if (result >= buflen) return std::string();
  EXPECT_EQ('\0', buffer[result]) << "not terminated";
  return std::string(buffer.data(), result);
}

std::string Whole(const BufferFunction& f, const std::string& source) {
  return RunInto(f, source, 16 * source.size() + 64);  // above any unit's growth
}

// Every buflen from 0 to one past the whole output: each cut is a prefix of
// the whole output ending at the last unit boundary that fits.  With an
// inverse, a cut must also survive decode-and-re-encode unchanged, which a
// partial escape or entity does not.
void ExpectBufferRule(const BufferFunction& f, const std::string& source,
                      const BufferFunction& inverse = nullptr) {
  SCOPED_TRACE(source);
  const std::string whole = Whole(f, source);
  std::vector<size_t> lengths;
  for (size_t buflen = 0; buflen <= whole.size() + 1; ++buflen) {
    const std::string cut = RunInto(f, source, buflen);
    EXPECT_EQ(whole.substr(0, cut.size()), cut) << "buflen " << buflen;
    if (inverse) {
      EXPECT_EQ(cut, Whole(f, Whole(inverse, cut))) << "partial unit at " << buflen;
    }
    lengths.push_back(cut.size());
  }
  EXPECT_EQ(whole.size(), lengths.back());
  const std::set<size_t> boundaries(lengths.begin(), lengths.end());
  for (size_t buflen = 1; buflen < lengths.size(); ++buflen) {
    EXPECT_EQ(*--boundaries.upper_bound(buflen - 1), lengths[buflen])
        << "stopped short at " << buflen;
  }
}

BufferFunction Escaper(const char* illegal, char escape_char) {
  return [=](char* b, size_t n, const char* s, size_t len) {
    return escape(b, n, s, len, illegal, escape_char);
  };
}
BufferFunction Unescaper(char escape_char) {
  return [=](char* b, size_t n, const char* s, size_t len) {
    return unescape(b, n, s, len, escape_char);
  };
}
BufferFunction Encoder(const char* illegal, char escape_char) {
  return [=](char* b, size_t n, const char* s, size_t len) {
    return encode(b, n, s, len, illegal, escape_char);
  };
}
BufferFunction Decoder(char escape_char) {
  return [=](char* b, size_t n, const char* s, size_t len) {
    return decode(b, n, s, len, escape_char);
  };
}
const BufferFunction kHexEncode = static_cast<Transform>(hex_encode);
const BufferFunction kHexDecode = static_cast<Transform>(hex_decode);

std::string Utf8(unsigned long point) {
  char bytes[4];
  return std::string(bytes, utf8_encode(bytes, sizeof(bytes), point));
}

TEST(StringEncode, StrcpynCutsAndTerminates) {
  char buffer[8];
  EXPECT_EQ(7u, strcpyn(buffer, sizeof(buffer), "abcdefghijklmnopqrstuvwxyz0123"));
  EXPECT_STREQ("abcdefg", buffer);
  EXPECT_EQ(5u, strcpyn(buffer, sizeof(buffer), "ab\0cd", 5));  // an explicit length copies NULs
  EXPECT_EQ(0, memcmp("ab\0cd", buffer, 6));
  ExpectBufferRule(
      [](char* b, size_t n, const char* s, size_t len) { return strcpyn(b, n, s, len); },
      "copy me");
  // A NUL-terminated source is looked at only as far as it is copied, so an
  // unterminated one of buflen - 1 bytes is safe (exact heap block).
  std::unique_ptr<char[]> unterminated(new char[4]);
  memcpy(unterminated.get(), "abcd", 4);
  EXPECT_EQ(4u, strcpyn(buffer, 5, unterminated.get()));
  EXPECT_EQ(0u, strcpyn(buffer, 0, "abc"));
}

TEST(StringEncode, SprintfnCutsAndHonoursZeroLength) {
  ExpectBufferRule(
      [](char* b, size_t n, const char* s, size_t len) {
        return sprintfn(b, n, "%s=%d", std::string(s, len).c_str(), -42);
      },
      "key");
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(0u, sprintfn(buffer, 0, "%d", 12345));  // buflen 0: nothing written
  EXPECT_EQ('x', buffer[0]);
}

TEST(StringEncode, SprintfnFormatterFailureGivesEmptyString) {
  // In the C locale a non-ASCII wide character cannot be converted, so the
  // formatter fails; the result must not claim buflen - 1 bytes of text.
  locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  locale_t previous = uselocale(c_locale);
  char buffer[16];
  memset(buffer, 'x', sizeof(buffer));
  const size_t result = sprintfn(buffer, sizeof(buffer), "ab%lsc", L"\u00e9");
  uselocale(previous);
  freelocale(c_locale);
  EXPECT_EQ(strlen(buffer), result);
  EXPECT_EQ(0u, result);
}

TEST(StringEncode, HexDigitsOfEveryValue) {
  for (int value = 0; value < 256; ++value) {
    EXPECT_EQ(value < 16 ? "0123456789abcdef"[value] : '!',
              hex_encode(static_cast<unsigned char>(value)));
  }
  int digits = 0;
  for (int ch = 0; ch < 256; ++ch) {
    unsigned char value = 99;
    if (hex_decode(static_cast<char>(ch), &value)) {
      ++digits;
      EXPECT_TRUE(isalnum(ch)) << ch;
      EXPECT_EQ(isdigit(ch) ? ch - '0' : toupper(ch) - 'A' + 10, value);
    } else {
      EXPECT_EQ(99, value) << "touched on failure";
    }
  }
  EXPECT_EQ(62, digits);  // 0-9, A-Z, a-z
}

TEST(StringEncode, HexExamples) {
  char buffer[16];
  EXPECT_EQ(6u, hex_encode(buffer, 7, "\x00\xab\xff", 3));
  EXPECT_STREQ("00abff", buffer);
  EXPECT_EQ(4u, hex_encode(buffer, 6, "\x00\xab\xff", 3));
  EXPECT_STREQ("00ab", buffer);
  EXPECT_EQ("00abff", hex_encode("\x00\xab\xff", 3));
  EXPECT_EQ("Hi", Whole(kHexDecode, "4869"));
  EXPECT_EQ(std::string("H\0", 2), Whole(kHexDecode, "48G0"));  // G is 16; 256 keeps 8 bits
  EXPECT_EQ("\x33", Whole(kHexDecode, "zz"));
  EXPECT_EQ("H", Whole(kHexDecode, "48%0"));
  EXPECT_EQ("H", Whole(kHexDecode, "486"));  // trailing odd digit ignored
}

TEST(StringEncode, EscapeAndEncodeExamples) {
  EXPECT_EQ("a\\;b\\\\c", Whole(Escaper(";", '\\'), "a;b\\c"));
  EXPECT_EQ(std::string("a\\\0", 3),
            Whole(Escaper("", '\\'), std::string("a\0", 2)));  // NUL always
  EXPECT_EQ("a;b\\", Whole(Unescaper('\\'), "a\\;b\\"));       // a final escape is kept
  EXPECT_EQ("a%20b%25%00", Whole(Encoder(" ", '%'), std::string("a b%\0", 5)));
  EXPECT_EQ("a b\x33%4%", Whole(Decoder('%'), "a%20b%zz%4%"));
  EXPECT_EQ("%A", Whole(Decoder('%'), "%%41"));
}

TEST(StringEncode, UrlExamplesAndSizing) {
  EXPECT_EQ("a%20b%26c", Whole(url_encode, "a b&c"));
  EXPECT_EQ("a bA", Whole(url_decode, "a+b%41"));
  EXPECT_EQ("100%", Whole(url_decode, "100%"));
  EXPECT_EQ(31u, url_encode(nullptr, 0, "0123456789", 10));
  EXPECT_EQ(11u, url_decode(nullptr, 0, "0123456789", 10));
  const std::string unsafe = " \"#$%&+,/:;<=>?@[\\]^`{|}\x7f";
  for (int ch = 0; ch < 256; ++ch) {
    const std::string byte(1, static_cast<char>(ch));
    const bool escaped = ch < 0x20 || unsafe.find(byte) != std::string::npos;
    EXPECT_EQ(escaped ? "%" + hex_encode(byte.data(), 1) : byte, Whole(url_encode, byte)) << ch;
  }
}

TEST(StringEncode, DecodersReadEveryByteAlone) {
  for (int ch = 0; ch < 256; ++ch) {
    const std::string byte(1, static_cast<char>(ch));
    EXPECT_EQ(ch == '+' ? " " : byte, Whole(url_decode, byte));
    EXPECT_EQ(byte, Whole(Decoder('%'), byte));
    EXPECT_EQ(byte, Whole(Unescaper('\\'), byte));
    EXPECT_EQ("", Whole(kHexDecode, byte));
    EXPECT_EQ(ch == '&' ? "" : byte, Whole(xml_decode, byte));
    // An escape with one byte after it cannot be a triple.
    EXPECT_EQ("%" + (ch == '+' ? std::string(" ") : byte), Whole(url_decode, "%" + byte));
    EXPECT_EQ("%" + byte, Whole(Decoder('%'), "%" + byte));
    EXPECT_EQ("", Whole(xml_decode, "&" + byte));
  }
}

TEST(StringEncode, EscapeNearTheEndOfTheSourceIsCopied) {
  // The digits lie past srclen: they must not be taken.
  const char text[] = "x%41";
  char buffer[8];
  for (size_t srclen = 1; srclen < 4; ++srclen) {
    EXPECT_EQ(std::string(text, srclen), std::string(buffer, url_decode(buffer, 8, text, srclen)));
    EXPECT_EQ(std::string(text, srclen), std::string(buffer, decode(buffer, 8, text, srclen, '%')));
  }
  EXPECT_EQ("", std::string(buffer, xml_decode(buffer, 8, "&#65;", 4)));  // ';' past srclen
  EXPECT_EQ("", std::string(buffer, xml_decode(buffer, 8, "&lt;", 3)));
}

TEST(StringEncode, MarkupExamples) {
  EXPECT_EQ("&quot;&amp;&apos;&lt;&gt;", Whole(xml_encode, "\"&'<>"));
  EXPECT_EQ("&quot;&amp;&#39;&lt;&gt;", Whole(html_encode, "\"&'<>"));
  EXPECT_EQ("\"&'<>", Whole(xml_decode, "&quot;&amp;&apos;&lt;&gt;"));
  EXPECT_EQ("\xe9\xff", Whole(xml_encode, "\xe9\xff"));
  EXPECT_EQ("&#233;", Whole(html_encode, "\xc3\xa9"));
  EXPECT_EQ("&#233;", Whole(html_encode, "\xe9"));
  EXPECT_EQ("&#195;", Whole(html_encode, "\xc3"));  // sequence cut by the source end
  EXPECT_EQ("&#128512;", Whole(html_encode, "\xf0\x9f\x98\x80"));
  EXPECT_EQ("AB", Whole(xml_decode, "&#x41;&#66;"));
  EXPECT_EQ("a", Whole(html_decode, "a&b"));      // decoding ends at an unknown entity
  EXPECT_EQ("A", Whole(xml_decode, "&#x0x41;"));  // strtoul's own prefix
  EXPECT_EQ("\xe2\x82\xac", Whole(xml_decode, "&#8364;"));
  EXPECT_EQ("\xf4\x90\x80\x80", Whole(xml_decode, "&#x110000;"));
  EXPECT_EQ("x", Whole(xml_decode, "x&#x200000;y"));                 // too large for UTF-8
  EXPECT_EQ("x", Whole(xml_decode, "x&#99999999999999999999999;"));  // overflows
  EXPECT_EQ("x", Whole(xml_decode, "x&#X41;"));                      // upper-case X is no digit
  EXPECT_EQ("x", Whole(xml_decode, "x&#65"));
}

TEST(StringEncode, EmptyNumericEntityEndsDecoding) {
  // No digits is no number: not a NUL byte in the output.
  EXPECT_EQ("x", Whole(xml_decode, "x&#;y"));
  EXPECT_EQ("x", Whole(xml_decode, "x&#x;y"));
  EXPECT_EQ("x", Whole(xml_decode, "x&#-;y"));
}

TEST(StringEncode, NumericEntityNeverSplitsItsCodePoint) {
  char buffer[5];
  for (size_t buflen = 1; buflen <= 4; ++buflen) {
    EXPECT_EQ(buflen == 4 ? 3u : 0u, xml_decode(buffer, buflen, "&#x20AC;", 8)) << buflen;
  }
}

TEST(StringEncode, EveryFunctionFollowsTheBufferRule) {
  ExpectBufferRule(kHexEncode, std::string("\x00\xab\xff Hi", 6), kHexDecode);
  ExpectBufferRule(kHexDecode, "4869zz00");
  ExpectBufferRule(Escaper(";", '\\'), std::string("a;b\\c\0d", 7), Unescaper('\\'));
  ExpectBufferRule(Unescaper('\\'), "a\\;b\\\\c\\");
  ExpectBufferRule(Encoder(" %", '%'), std::string("a b%c\0", 6), Decoder('%'));
  ExpectBufferRule(Decoder('%'), "a%20b%zz%4%");
  ExpectBufferRule(url_encode, "a b&c\x80\xff+%", url_decode);
  ExpectBufferRule(url_decode, "a+b%41%4%");
  ExpectBufferRule(xml_encode, "<a href=\"x\">&'", xml_decode);
  ExpectBufferRule(html_encode, "<'>\xc3\xa9\xe9\xe2\x82\xac\xf0\x9f\x98\x80", html_decode);
  ExpectBufferRule(xml_decode, "&lt;&#x20AC;&#65;&amp;x&quot;");
  // No buffer: nothing written, except the sizing calls.
  for (Transform t : {static_cast<Transform>(hex_encode), static_cast<Transform>(hex_decode),
                      xml_encode, xml_decode, html_encode, html_decode}) {
    EXPECT_EQ(0u, t(nullptr, 16, "abc", 3));
  }
}

TEST(StringEncode, TruncatedInputsAreReadInsideTheirLength) {
  // Every prefix of inputs whose units span several bytes, each in an exact
  // heap copy; under the sanitizer any read past srclen fails.
  for (const std::string input :
       {"&#x10FFFF;", "&#1114111;", "&quot;", "&apos;", "%41", "\xf0\x9f\x98\x80", "4142"}) {
    for (size_t length = 0; length <= input.size(); ++length) {
      const std::string prefix = input.substr(0, length);
      Whole(xml_decode, prefix);
      Whole(url_decode, prefix);
      Whole(Decoder('%'), prefix);
      Whole(Unescaper('%'), prefix);
      Whole(kHexDecode, prefix);
      Whole(html_encode, prefix);
      std::unique_ptr<char[]> copy(new char[length]);
      memcpy(copy.get(), prefix.data(), length);
      unsigned long point = 7;
      const size_t used = utf8_decode(copy.get(), length, &point);
      const bool multibyte = input[0] == '\xf0';
      EXPECT_EQ(length == 0 ? 0u : multibyte ? (length == 4 ? 4u : 0u) : 1u, used) << length;
    }
  }
}

TEST(StringEncode, Utf8RoundTripsEveryCodePoint) {
  char bytes[4];
  for (unsigned long point = 0; point <= 0x1FFFFF; ++point) {
    const size_t needed = point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
    ASSERT_EQ(needed, utf8_encode(bytes, sizeof(bytes), point)) << point;
    unsigned long decoded = 0;
    ASSERT_EQ(needed, utf8_decode(bytes, needed, &decoded)) << point;
    ASSERT_EQ(point, decoded);
    if (point % 4099 == 0) {
      for (size_t buflen = 0; buflen < needed; ++buflen) {
        EXPECT_EQ(0u, utf8_encode(bytes, buflen, point));
        EXPECT_EQ(0u, utf8_decode(bytes, buflen, &decoded));  // cut sequence
      }
    }
  }
  EXPECT_EQ(0u, utf8_encode(bytes, 4, 0x200000));
  EXPECT_EQ(0u, utf8_encode(bytes, 4, ~0ul));
  EXPECT_EQ("\xe2\x82\xac", Utf8(0x20AC));
  EXPECT_EQ(0u, utf8_encode(bytes, 2, 0x20AC));
}

TEST(StringEncode, Utf8DecodeRejectsMalformedSequences) {
  unsigned long point = 7;
  EXPECT_EQ(0u, utf8_decode("", 0, &point));          // empty source
  EXPECT_EQ(0u, utf8_decode("\x80\x80", 2, &point));  // stray continuation
  EXPECT_EQ(0u, utf8_decode("\xf8\x80\x80\x80", 4, &point));
  EXPECT_EQ(0u, utf8_decode("\xe2\x41\xac", 3, &point));  // missing continuation
  EXPECT_EQ(7u, point);
  EXPECT_EQ(2u, utf8_decode("\xc0\x80", 2, &point));  // overlong forms are accepted
  EXPECT_EQ(0u, point);
  for (int lead = 0; lead < 256; ++lead) {
    const char alone = static_cast<char>(lead);
    EXPECT_EQ(lead < 0x80 ? 1u : 0u, utf8_decode(&alone, 1, nullptr)) << lead;
  }
}

TEST(StringEncode, RandomDataRoundTrips) {
  std::mt19937 random(20240607);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(random() % 40, '\0');
    for (char& ch : bytes) ch = static_cast<char>(random());
    EXPECT_EQ(bytes, Whole(kHexDecode, Whole(kHexEncode, bytes)));
    EXPECT_EQ(bytes, Whole(url_decode, Whole(url_encode, bytes)));
    EXPECT_EQ(bytes, Whole(Unescaper('\\'), Whole(Escaper("\"'", '\\'), bytes)));
    EXPECT_EQ(bytes,
              Whole(Decoder('a'), Whole(Encoder("01", 'a'), bytes)));  // a hex letter as escape
    EXPECT_EQ(bytes, Whole(xml_decode, Whole(xml_encode, bytes)));
    std::string text;  // well-formed UTF-8 survives the HTML round trip
    for (int i = random() % 12; i > 0; --i)
      text += Utf8(random() % 3 ? random() % 0x80 : random() % 0x110000);
    EXPECT_EQ(text, Whole(html_decode, Whole(html_encode, text)));
  }
}

TEST(StringEncode, FileNameCharacters) {
  EXPECT_STREQ("", unsafe_filename_characters());
  const std::string unsafe = "\"*/:<>?\\|";
  for (int ch = 0; ch < 256; ++ch) {
    const bool replaced =
        ch < 32 || ch >= 0x80 || unsafe.find(static_cast<char>(ch)) != std::string::npos;
    EXPECT_EQ(replaced ? '_' : static_cast<char>(ch),
              make_char_safe_for_filename(static_cast<char>(ch)));
  }
}

TEST(StringEncode, TransformCutsAtWholeUnits) {
  const std::string source = "a b&c";
  const std::string whole = s_transform(source, url_encode);
  EXPECT_EQ("a%20b%26c", whole);
  for (size_t maxlen = 0; maxlen <= whole.size() + 2; ++maxlen) {
    std::string value = "stale";
    const size_t length = transform(value, maxlen, source, url_encode);
    EXPECT_EQ(RunInto(url_encode, source, maxlen + 1), value);
    EXPECT_EQ(value.size(), length);
  }
}

TEST(StringEncode, TransformWithoutSizeLimitOrSizingEncoder) {
  // kUnknownSize + 1 wraps to 0, and xml_encode cannot size itself: both
  // must still give the whole output.
  std::string value;
  EXPECT_EQ(9u, transform(value, kUnknownSize, "a b&c", url_encode));
  EXPECT_EQ("a%20b%26c", value);
  const std::string big(3000, '<');
  EXPECT_EQ(Whole(xml_encode, big), s_transform(big, xml_encode));
  EXPECT_EQ("a<b", s_transform("a&lt;b", xml_decode));
  EXPECT_EQ("", s_transform("", xml_encode));
}

TEST(StringEncode, SplitKeepsEmptyFields) {
  std::vector<std::string> fields = {"stale"};
  EXPECT_EQ(3u, split("a,,b", ',', &fields));
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), fields);
  EXPECT_EQ(1u, split("", ',', &fields));
  EXPECT_EQ(std::vector<std::string>{""}, fields);
  EXPECT_EQ(4u, split(",,,", ',', nullptr));
}

TEST(StringEncode, SplitOneWalksTokensAndStops) {
  int position = 0;
  EXPECT_EQ("a", split_one(",,a,,bc,,", ',', &position));
  EXPECT_EQ(5, position);
  EXPECT_EQ("bc", split_one(",,a,,bc,,", ',', &position));
  EXPECT_EQ(-1, position);  // only delimiters follow
  EXPECT_EQ("", split_one(",,a,,bc,,", ',', &position));
  EXPECT_EQ(-1, position);
  position = 0;
  EXPECT_EQ("abc", split_one("abc", ',', &position));
  EXPECT_EQ(3, position);  // the token reached the end
  EXPECT_EQ("", split_one("abc", ',', &position));
  position = 0;
  EXPECT_EQ("", split_one(",,,", ',', &position));
  EXPECT_EQ(0, position);
  position = 99;
  EXPECT_EQ("", split_one("abc", ',', &position));  // past the end
  EXPECT_EQ("", split_one("abc", ',', nullptr));
}

TEST(StringEncode, MemoryCheck) {
  const char bytes[] = "AAAB";
  EXPECT_TRUE(memory_check(bytes, 'A', 3));
  EXPECT_FALSE(memory_check(bytes, 'A', 4));
  EXPECT_TRUE(memory_check(bytes, 0x141, 3));  // c taken as a byte
  EXPECT_TRUE(memory_check(nullptr, 'A', 0));
  EXPECT_FALSE(memory_check(nullptr, 'A', 1));
}

// The match as a plain recursion: for every place the byte after a '*' can
// sit, try the rest.
bool ReferenceMatch(const char* target, const char* pattern) {
  while (*pattern) {
    if (*pattern == '*') {
      if (!*++pattern) return true;
      for (; *target; ++target) {
        if (toupper(*pattern) == toupper(*target) && ReferenceMatch(target + 1, pattern + 1))
          return true;
      }
      return false;
    }
    if (toupper(*pattern) != toupper(*target)) return false;
    ++target;
    ++pattern;
  }
  return !*target;
}

TEST(StringEncode, StringMatchExamples) {
  EXPECT_TRUE(string_match("HelloWorld", "h*world"));
  EXPECT_TRUE(string_match("HelloWorld", "*o*d"));
  EXPECT_FALSE(string_match("HelloWorld", "hello"));
  EXPECT_TRUE(string_match("a*", "a**"));  // the byte after '*' is literal
  EXPECT_FALSE(string_match("a", "a**"));
  EXPECT_TRUE(string_match("\xe9", "\xe9"));  // bytes above 0x7F are no negative toupper index
  EXPECT_TRUE(string_match("", "*"));
  EXPECT_FALSE(string_match("", "*a"));
}

TEST(StringEncode, StringMatchAgreesWithRecursionOnAllSmallCases) {
  std::vector<std::string> words = {""};
  for (size_t i = 0; i < words.size() && words.size() < 364; ++i) {
    for (const char* letter : {"a", "B", "*"}) words.push_back(words[i] + letter);
  }
  for (const std::string& target : words) {
    for (const std::string& pattern : words) {
      ASSERT_EQ(ReferenceMatch(target.c_str(), pattern.c_str()),
                string_match(target.c_str(), pattern.c_str()))
          << target << " ~ " << pattern;
    }
  }
}

TEST(StringEncode, StringMatchPathologicalPatternIsFast) {
  // Backtracking into every '*' would take 200^15 steps here.
  const std::string target(200, 'a');
  EXPECT_FALSE(string_match(target.c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(string_match((target + "b").c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"));
}

}  // namespace
}  // namespace lumen_base
