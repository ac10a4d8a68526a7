#include "platform/cfstring.h"

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

CFStringRef MakeString(const std::string& bytes,
                       CFStringEncoding encoding = kCFStringEncodingUTF8) {
  return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
                                 static_cast<CFIndex>(bytes.size()), encoding, false);
}

std::string BytesOf(CFStringRef str) {
  std::string out;
  EXPECT_TRUE(PlatformCFStringCopyUtf8(str, &out));
  return out;
}

// A plain UTF-8 encoder, independent of the code under test.
std::string Encode(unsigned long cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

TEST(CFString, TextOutsideAsciiRoundTripsByteForByte) {
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e, \xE6\x97\xA5\xE6\x9C\xAC, \xF0\x9F\x98\x80";
  CFStringRef str = MakeString(text);
  ASSERT_NE(nullptr, str);
  // G r u-umlaut sharp-s e , blank, two ideographs, comma, blank: 11 units;
  // the emoji lies outside the BMP and counts 2.
  EXPECT_EQ(13, CFStringGetLength(str));
  EXPECT_EQ(text, BytesOf(str));

  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(str), kCFStringEncodingUTF8);
  ASSERT_GE(size, static_cast<CFIndex>(text.size()));
  std::vector<char> buffer(static_cast<size_t>(size) + 1, 'X');
  ASSERT_TRUE(CFStringGetCString(str, buffer.data(), size + 1, kCFStringEncodingUTF8));
  EXPECT_EQ(text, std::string(buffer.data()));
  CFRelease(str);
}

TEST(CFString, CreateWithCStringStopsAtTheNul) {
  CFStringRef str =
      CFStringCreateWithCString(kCFAllocatorDefault, "\xC3\xA9t\xC3\xA9", kCFStringEncodingUTF8);
  ASSERT_NE(nullptr, str);
  EXPECT_EQ(3, CFStringGetLength(str));
  EXPECT_EQ("\xC3\xA9t\xC3\xA9", BytesOf(str));
  CFRelease(str);
  EXPECT_EQ(nullptr,
            CFStringCreateWithCString(kCFAllocatorDefault, nullptr, kCFStringEncodingUTF8));
}

TEST(CFString, CreateWithBytesKeepsEmbeddedNuls) {
  const std::string text("a\0b\0", 4);
  CFStringRef str = MakeString(text);
  ASSERT_NE(nullptr, str);
  EXPECT_EQ(4, CFStringGetLength(str));
  EXPECT_EQ(text, BytesOf(str));
  CFRelease(str);
}

TEST(CFString, EmptyAndNullInputs) {
  CFStringRef empty = CFStringCreateWithBytes(nullptr, nullptr, 0, kCFStringEncodingUTF8, false);
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(0, CFStringGetLength(empty));
  char one = 'X';
  EXPECT_TRUE(CFStringGetCString(empty, &one, 1, kCFStringEncodingUTF8));
  EXPECT_EQ('\0', one);
  CFRelease(empty);

  EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, nullptr, 3, kCFStringEncodingUTF8, false));
  const UInt8 bytes[] = {'a'};
  EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, bytes, -1, kCFStringEncodingUTF8, false));
  EXPECT_EQ(0, CFStringGetLength(nullptr));
  EXPECT_EQ(0u, CFGetTypeID(nullptr));
  EXPECT_EQ(0, CFGetRetainCount(nullptr));
  EXPECT_EQ(nullptr, CFRetain(nullptr));
  CFRelease(nullptr);  // Harmless.
  std::string untouched = "kept";
  EXPECT_FALSE(PlatformCFStringCopyUtf8(nullptr, &untouched));
  EXPECT_EQ("kept", untouched);
}

TEST(CFString, RefusesInvalidUtf8) {
  const char* const kInvalid[] = {
      "\x80",  // Lone continuation byte.
      "a\xBF"
      "b",                 // Continuation byte in the middle of ASCII.
      "\xC0\xAF",          // Overlong '/' (two bytes).
      "\xC1\xBF",          // Overlong, largest two-byte form of 0x7F.
      "\xE0\x80\xAF",      // Overlong '/' (three bytes).
      "\xE0\x9F\xBF",      // Overlong U+07FF.
      "\xF0\x80\x80\xAF",  // Overlong '/' (four bytes).
      "\xF0\x8F\xBF\xBF",  // Overlong U+FFFF.
      "\xED\xA0\x80",      // Encoded high surrogate U+D800.
      "\xED\xBF\xBF",      // Encoded low surrogate U+DFFF.
      "\xF4\x90\x80\x80",  // U+110000, above the last code point.
      "\xF5\x80\x80\x80",  // Lead byte that only starts values above U+10FFFF.
      "\xC3",              // Truncated at the end (two-byte form).
      "ok\xE6\x97",        // Truncated at the end (three-byte form).
      "\xF0\x9F\x98",      // Truncated at the end (four-byte form).
      "\xC3"
      "A",     // Lead byte followed by a non-continuation.
      "\xFF",  // Never valid.
      "\xFE",  // Never valid.
  };
  for (const char* bytes : kInvalid) {
    SCOPED_TRACE(testing::PrintToString(std::string(bytes)));
    EXPECT_EQ(nullptr, MakeString(bytes));
    EXPECT_EQ(nullptr, CFStringCreateWithCString(nullptr, bytes, kCFStringEncodingUTF8));
    EXPECT_FALSE(PlatformIsValidUtf8(bytes, strlen(bytes)));
  }
}

TEST(CFString, AcceptsTheBoundariesOfValidUtf8) {
  const char* const kValid[] = {
      "\x7F",              // Last one-byte form.
      "\xC2\x80",          // First two-byte form.
      "\xDF\xBF",          // Last two-byte form.
      "\xE0\xA0\x80",      // First three-byte form.
      "\xED\x9F\xBF",      // U+D7FF, just below the surrogates.
      "\xEE\x80\x80",      // U+E000, just above them.
      "\xEF\xBF\xBF",      // U+FFFF.
      "\xF0\x90\x80\x80",  // U+10000, first four-byte form.
      "\xF4\x8F\xBF\xBF",  // U+10FFFF, the last code point.
  };
  for (const char* bytes : kValid) {
    SCOPED_TRACE(testing::PrintToString(std::string(bytes)));
    CFStringRef str = MakeString(bytes);
    ASSERT_NE(nullptr, str);
    EXPECT_EQ(bytes, BytesOf(str));
    CFRelease(str);
  }
}

TEST(CFString, EveryScalarValueRoundTripsAndEverySurrogateIsRefused) {
  // Sweep: all 1,114,112 code points against an independent encoder.
  for (unsigned long cp = 0; cp <= 0x10FFFF; ++cp) {
    std::string bytes = Encode(cp);
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (surrogate) {
      ASSERT_FALSE(PlatformIsValidUtf8(bytes.data(), bytes.size())) << std::hex << cp;
      continue;
    }
    CFStringRef str = MakeString(bytes);
    ASSERT_NE(nullptr, str) << std::hex << cp;
    ASSERT_EQ(cp >= 0x10000 ? 2 : 1, CFStringGetLength(str)) << std::hex << cp;
    // The size bound holds for every character.
    ASSERT_LE(static_cast<CFIndex>(bytes.size()),
              CFStringGetMaximumSizeForEncoding(CFStringGetLength(str), kCFStringEncodingUTF8));
    CFRelease(str);
  }
  // Every single byte: ASCII is valid, the rest is not.
  for (int byte = 0; byte < 256; ++byte) {
    char c = static_cast<char>(byte);
    EXPECT_EQ(byte < 0x80, PlatformIsValidUtf8(&c, 1)) << byte;
  }
}

TEST(CFString, ByteOrderMarkIsDroppedOnlyFromAnExternalRepresentation) {
  const std::string text = "\xEF\xBB\xBFhi";
  const UInt8* bytes = reinterpret_cast<const UInt8*>(text.data());
  CFStringRef external = CFStringCreateWithBytes(nullptr, bytes, 5, kCFStringEncodingUTF8, true);
  CFStringRef internal = CFStringCreateWithBytes(nullptr, bytes, 5, kCFStringEncodingUTF8, false);
  ASSERT_NE(nullptr, external);
  ASSERT_NE(nullptr, internal);
  EXPECT_EQ("hi", BytesOf(external));
  EXPECT_EQ(text, BytesOf(internal));
  EXPECT_EQ(3, CFStringGetLength(internal));
  CFRelease(external);
  CFRelease(internal);
}

TEST(CFString, GetCStringNeedsRoomForTheNul) {
  const std::string text = "caf\xC3\xA9";  // 5 bytes.
  CFStringRef str = MakeString(text);
  ASSERT_NE(nullptr, str);
  char buffer[8];

  // Exact fit: five bytes and the NUL.
  memset(buffer, 'X', sizeof(buffer));
  EXPECT_TRUE(CFStringGetCString(str, buffer, 6, kCFStringEncodingUTF8));
  EXPECT_EQ(0, memcmp(buffer, "caf\xC3\xA9\0", 6));
  EXPECT_EQ('X', buffer[6]);

  // One short: fails, leaves an empty string, writes nothing past the size.
  memset(buffer, 'X', sizeof(buffer));
  EXPECT_FALSE(CFStringGetCString(str, buffer, 5, kCFStringEncodingUTF8));
  EXPECT_EQ('\0', buffer[0]);
  for (int i = 5; i < 8; ++i) EXPECT_EQ('X', buffer[i]) << i;

  memset(buffer, 'X', sizeof(buffer));
  EXPECT_FALSE(CFStringGetCString(str, buffer, 0, kCFStringEncodingUTF8));
  EXPECT_EQ('X', buffer[0]);
  EXPECT_FALSE(CFStringGetCString(str, nullptr, 6, kCFStringEncodingUTF8));
  EXPECT_FALSE(CFStringGetCString(nullptr, buffer, 6, kCFStringEncodingUTF8));
  EXPECT_EQ('\0', buffer[0]);
  CFRelease(str);
}

TEST(CFString, AsciiEncoding) {
  CFStringRef ascii = MakeString("plain", kCFStringEncodingASCII);
  ASSERT_NE(nullptr, ascii);
  EXPECT_EQ(5, CFStringGetLength(ascii));
  EXPECT_EQ(nullptr, MakeString("caf\xC3\xA9", kCFStringEncodingASCII));
  EXPECT_EQ(5, CFStringGetMaximumSizeForEncoding(5, kCFStringEncodingASCII));

  CFStringRef accented = MakeString("caf\xC3\xA9");
  char buffer[16] = "XXXX";
  EXPECT_FALSE(CFStringGetCString(accented, buffer, sizeof(buffer), kCFStringEncodingASCII));
  EXPECT_STREQ("", buffer);
  EXPECT_TRUE(CFStringGetCString(ascii, buffer, sizeof(buffer), kCFStringEncodingASCII));
  EXPECT_STREQ("plain", buffer);
  CFRelease(accented);
  CFRelease(ascii);
}

TEST(CFString, UnsupportedEncodingsAndSizesAreRefused) {
  const CFStringEncoding kUtf16 = 0x0100;
  EXPECT_EQ(nullptr, MakeString("abc", kUtf16));
  EXPECT_EQ(kCFNotFound, CFStringGetMaximumSizeForEncoding(3, kUtf16));
  EXPECT_EQ(kCFNotFound, CFStringGetMaximumSizeForEncoding(-1, kCFStringEncodingUTF8));
  EXPECT_EQ(kCFNotFound, CFStringGetMaximumSizeForEncoding(LONG_MAX / 2, kCFStringEncodingUTF8));
  EXPECT_EQ(39, CFStringGetMaximumSizeForEncoding(13, kCFStringEncodingUTF8));
  EXPECT_EQ(0, CFStringGetMaximumSizeForEncoding(0, kCFStringEncodingUTF8));

  CFStringRef str = MakeString("abc");
  char buffer[8] = "XXXX";
  EXPECT_FALSE(CFStringGetCString(str, buffer, sizeof(buffer), kUtf16));
  EXPECT_STREQ("", buffer);
  CFRelease(str);
}

TEST(CFObject, RetainAndReleaseCount) {
  CFStringRef str = MakeString("counted");
  ASSERT_NE(nullptr, str);
  EXPECT_EQ(1, CFGetRetainCount(str));
  EXPECT_EQ(str, CFRetain(str));
  EXPECT_EQ(2, CFGetRetainCount(str));
  CFRelease(str);
  EXPECT_EQ(1, CFGetRetainCount(str));
  CFRelease(str);  // Frees it; the sanitizer build catches a leak or a double free.
}

TEST(CFObject, ConcurrentRetainReleaseKeepsTheCount) {
  CFStringRef str = MakeString("shared");
  ASSERT_NE(nullptr, str);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([str] {
      for (int i = 0; i < 20000; ++i) {
        CFRetain(str);
        CFRelease(str);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1, CFGetRetainCount(str));
  CFRelease(str);
}

TEST(CFObject, BooleansAreStaticAndTyped) {
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
  EXPECT_FALSE(CFBooleanGetValue(nullptr));
  EXPECT_EQ(CFBooleanGetTypeID(), CFGetTypeID(kCFBooleanTrue));
  CFIndex before = CFGetRetainCount(kCFBooleanTrue);
  CFRetain(kCFBooleanTrue);
  CFRelease(kCFBooleanTrue);
  CFRelease(kCFBooleanTrue);  // Releasing a static object more often is harmless.
  EXPECT_EQ(before, CFGetRetainCount(kCFBooleanTrue));
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
}

TEST(CFObject, TypeIdsAreDistinct) {
  CFStringRef str = MakeString("x");
  EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(str));
  EXPECT_NE(CFStringGetTypeID(), CFBooleanGetTypeID());
  CFTypeID fresh = PlatformNewCFTypeID();
  EXPECT_NE(fresh, CFStringGetTypeID());
  EXPECT_NE(fresh, CFBooleanGetTypeID());
  EXPECT_NE(fresh, PlatformNewCFTypeID());
  CFRelease(str);
}

TEST(CFObject, EqualComparesTypeAndContents) {
  CFStringRef a = MakeString("same \xE2\x82\xAC");
  CFStringRef b = MakeString("same \xE2\x82\xAC");
  CFStringRef c = MakeString("same \xE2\x82\xAD");
  CFStringRef prefix = MakeString("same");
  CFStringRef truthy = MakeString("true");
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_TRUE(CFEqual(a, a));
  EXPECT_FALSE(CFEqual(a, c));
  EXPECT_FALSE(CFEqual(a, prefix));
  EXPECT_FALSE(CFEqual(truthy, kCFBooleanTrue));
  EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
  EXPECT_FALSE(CFEqual(a, nullptr));
  EXPECT_FALSE(CFEqual(nullptr, a));
  for (CFStringRef s : {a, b, c, prefix, truthy}) CFRelease(s);
}

// A type defined outside the string unit, through the shared object header.
struct Counted {
  PlatformCFObject base;
  int* finalized;
};

TEST(CFObject, OtherUnitsCanDefineTypesThatReleaseFrees) {
  static const PlatformCFClass kCountedClass = {PlatformNewCFTypeID(),
                                                [](const PlatformCFObject* object) {
                                                  const Counted* counted =
                                                      reinterpret_cast<const Counted*>(object);
                                                  ++*counted->finalized;
                                                  delete counted;
                                                },
                                                nullptr};
  int finalized = 0;
  Counted* object = new Counted{{&kCountedClass, {1}}, &finalized};
  CFTypeRef ref = object;
  EXPECT_EQ(kCountedClass.type_id, CFGetTypeID(ref));
  CFRetain(ref);
  CFRelease(ref);
  EXPECT_EQ(0, finalized);
  Counted* other = new Counted{{&kCountedClass, {1}}, &finalized};
  EXPECT_FALSE(CFEqual(ref, other));  // No equal function: identity only.
  CFRelease(other);
  CFRelease(ref);
  EXPECT_EQ(2, finalized);
}

}  // namespace
