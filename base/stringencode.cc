#include "base/stringencode.h"

#include <ctype.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace lumen_base {
namespace {

const char kHexDigits[] = "0123456789abcdef";

// Flags of the 7-bit bytes; bytes 0x80-0xFF carry none.
enum : unsigned char { kUrlUnsafe = 1, kXmlUnsafe = 2 };
constexpr unsigned char U = kUrlUnsafe;
constexpr unsigned char X = kXmlUnsafe;
constexpr unsigned char B = kUrlUnsafe | kXmlUnsafe;

const unsigned char kCharClass[128] = {
    U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U,  // 0x00 control bytes
    U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U,  // 0x10 control bytes
    U, 0, B, U, U, U, B, X, 0, 0, 0, U, U, 0, 0, U,  // 0x20  !"#$%&'()*+,-./
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, U, U, B, U, B, U,  // 0x30 0-9 :;<=>?
    U, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x40 @A-O
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, U, U, U, U, 0,  // 0x50 P-Z [\]^_
    U, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x60 `a-o
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, U, U, U, 0, U,  // 0x70 p-z {|}~ DEL
};

bool HasClass(unsigned char ch, unsigned char flag) {
  return ch < 0x80 && (kCharClass[ch] & flag) != 0;
}

// A null source is read as an empty one.
size_t UsableLength(const char* source, size_t srclen) { return source ? srclen : 0; }

// Collects whole output units in a caller buffer, always keeping one byte
// for the NUL.  A null buffer or a length of 0 leaves no room at all, so
// nothing is ever written to it, not even the NUL.
class UnitWriter {
 public:
  UnitWriter(char* buffer, size_t buflen)
      : buffer_(buflen > 0 ? buffer : nullptr), room_(buffer_ ? buflen - 1 : 0) {}

  // True when a unit of n bytes still fits before the NUL.
  bool Fits(size_t n) const { return n <= Left(); }
  size_t Left() const { return room_ - length_; }

  // Callers check Fits() first.
  void Put(char ch) { buffer_[length_++] = ch; }
  void Put(const char* bytes, size_t n) {
    memcpy(buffer_ + length_, bytes, n);
    length_ += n;
  }
  void PutEscaped(char escape_char, unsigned char byte) {
    Put(escape_char);
    Put(kHexDigits[byte >> 4]);
    Put(kHexDigits[byte & 0xF]);
  }

  // For functions that write in place (utf8_encode): only valid with Left() > 0.
  char* Cursor() { return buffer_ + length_; }
  void Advance(size_t n) { length_ += n; }

  // Terminates the output and returns its length.
  size_t Finish() {
    if (buffer_) buffer_[length_] = '\0';
    return length_;
  }

 private:
  char* const buffer_;
  const size_t room_;
  size_t length_ = 0;
};

// The pair of digits at source, which must hold two bytes, as one byte.
bool DecodePair(const char* source, unsigned char* byte) {
  unsigned char high, low;
  if (!hex_decode(source[0], &high) || !hex_decode(source[1], &low)) return false;
  *byte = static_cast<unsigned char>((high << 4) | low);  // digits up to 35: keep the low 8 bits
  return true;
}

bool IsIllegal(const char* illegal, char ch) {
  // strchr also finds the set's own NUL, so a NUL byte is always illegal.
  return strchr(illegal ? illegal : "", ch) != nullptr;
}

// The entity of an XML-unsafe byte; HTML spells the apostrophe numerically.
const char* EntityOf(unsigned char ch, bool html) {
  switch (ch) {
    case '"':
      return "&quot;";
    case '&':
      return "&amp;";
    case '\'':
      return html ? "&#39;" : "&apos;";
    case '<':
      return "&lt;";
    default:
      return "&gt;";
  }
}

size_t MarkupEncode(char* buffer, size_t buflen, const char* source, size_t srclen, bool html) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  size_t i = 0;
  while (i < srclen) {
    const unsigned char ch = static_cast<unsigned char>(source[i]);
    if (HasClass(ch, kXmlUnsafe)) {
      const char* entity = EntityOf(ch, html);
      const size_t n = strlen(entity);
      if (!out.Fits(n)) break;
      out.Put(entity, n);
      ++i;
    } else if (html && ch >= 0x80) {
      unsigned long value = ch;
      size_t used = utf8_decode(source + i, srclen - i, &value);
      if (used == 0) used = 1;  // not UTF-8: the byte stands for itself
      char entity[11];          // "&#2097151;" and the NUL: the largest point utf8_decode gives
      const size_t n = sprintfn(entity, sizeof(entity), "&#%lu;", value);
      if (!out.Fits(n)) break;
      out.Put(entity, n);
      i += used;
    } else {
      if (!out.Fits(1)) break;
      out.Put(static_cast<char>(ch));
      ++i;
    }
  }
  return out.Finish();
}

// The named entity (without its '&') at the start of text, all of it inside
// the text.
bool MatchNamedEntity(const char* text, size_t length, char* ch, size_t* used) {
  static const struct {
    const char* name;
    char ch;
  } kEntities[] = {{"lt;", '<'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}, {"amp;", '&'}};
  for (const auto& entity : kEntities) {
    const size_t n = strlen(entity.name);
    if (n <= length && memcmp(text, entity.name, n) == 0) {
      *ch = entity.ch;
      *used = n;
      return true;
    }
  }
  return false;
}

int DigitValue(char ch, int base) {
  int value = -1;
  if (ch >= '0' && ch <= '9') value = ch - '0';
  if (ch >= 'a' && ch <= 'z') value = ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'Z') value = ch - 'A' + 10;
  return value < base ? value : -1;
}

// Reads a number as strtoul does (white space, an optional sign, in base 16
// an optional "0x"; saturating at ULONG_MAX; '-' negating modulo 2^N) but
// never past length, which strtoul cannot promise on a source that is not
// NUL-terminated.  False when no digit is found: unlike strtoul, "no number"
// is not read as 0.
bool ReadNumber(const char* text, size_t length, int base, unsigned long* value, size_t* used) {
  size_t i = 0;
  while (i < length && isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (base == 16 && i + 2 < length && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X') && DigitValue(text[i + 2], 16) >= 0) {
    i += 2;
  }
  const size_t first_digit = i;
  unsigned long number = 0;
  bool overflow = false;
  for (int digit; i < length && (digit = DigitValue(text[i], base)) >= 0; ++i) {
    if (number > (ULONG_MAX - digit) / base) overflow = true;
    if (!overflow) number = number * base + digit;
  }
  if (i == first_digit) return false;
  if (overflow) {
    number = ULONG_MAX;
  } else if (negative) {
    number = 0ul - number;
  }
  *value = number;
  *used = i;
  return true;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// t's whole output over source.  See s_transform.
std::string WholeOutput(const std::string& source, Transform t) {
  const size_t needed = t(nullptr, 0, source.data(), source.size());
  if (needed > 0) {
    std::vector<char> buffer(needed);
    const size_t length = t(buffer.data(), buffer.size(), source.data(), source.size());
    return std::string(buffer.data(), length);
  }
  // The encoder cannot size its output.  Its units are short next to these
  // buffers, so once doubling the buffer adds nothing, the output was not
  // cut.  (An encoder must have a finite output for this to end.)
  std::vector<char> buffer(2 * source.size() + 32);
  size_t length = t(buffer.data(), buffer.size(), source.data(), source.size());
  for (;;) {
    std::vector<char> larger(2 * buffer.size());
    const size_t larger_length = t(larger.data(), larger.size(), source.data(), source.size());
    if (larger_length == length) return std::string(larger.data(), larger_length);
    buffer.swap(larger);
    length = larger_length;
  }
}

}  // namespace

size_t strcpyn(char* buffer, size_t buflen, const char* source, size_t srclen) {
  if (buffer == nullptr || buflen == 0) return 0;
  size_t length = 0;
  if (source == nullptr) {
    length = 0;
  } else if (srclen == kUnknownSize) {
    length = strnlen(source, buflen - 1);  // looks at no more than will be copied
  } else {
    length = srclen < buflen - 1 ? srclen : buflen - 1;
  }
  memmove(buffer, source ? source : "", length);
  buffer[length] = '\0';
  return length;
}

size_t sprintfn(char* buffer, size_t buflen, const char* format, ...) {
  if (buffer == nullptr || buflen == 0) return 0;
  if (format == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(buffer, buflen, format, args);
  va_end(args);
  if (length < 0) {
    // The formatter failed part-way; what it left is not a result.
    buffer[0] = '\0';
    return 0;
  }
  if (static_cast<size_t>(length) >= buflen) {
    buffer[buflen - 1] = '\0';
    return buflen - 1;
  }
  return static_cast<size_t>(length);
}

char hex_encode(unsigned char val) { return val < 16 ? kHexDigits[val] : '!'; }

bool hex_decode(char ch, unsigned char* val) {
  int value = -1;
  if (ch >= '0' && ch <= '9') value = ch - '0';
  if (ch >= 'A' && ch <= 'Z') value = ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'z') value = ch - 'a' + 10;
  if (value < 0) return false;
  if (val) *val = static_cast<unsigned char>(value);
  return true;
}

size_t hex_encode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  for (size_t i = 0; i < srclen && out.Fits(2); ++i) {
    const unsigned char byte = static_cast<unsigned char>(source[i]);
    out.Put(kHexDigits[byte >> 4]);
    out.Put(kHexDigits[byte & 0xF]);
  }
  return out.Finish();
}

std::string hex_encode(const char* source, size_t srclen) {
  srclen = UsableLength(source, srclen);
  std::string result(2 * srclen + 1, '\0');
  result.resize(hex_encode(&result[0], result.size(), source, srclen));
  return result;
}

size_t hex_decode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  for (size_t i = 0; i + 1 < srclen && out.Fits(1); i += 2) {
    unsigned char byte;
    if (!DecodePair(source + i, &byte)) break;
    out.Put(static_cast<char>(byte));
  }
  return out.Finish();
}

size_t escape(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape_char) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  for (size_t i = 0; i < srclen; ++i) {
    const char ch = source[i];
    const bool escaped = ch == escape_char || IsIllegal(illegal, ch);
    if (!out.Fits(escaped ? 2 : 1)) break;
    if (escaped) out.Put(escape_char);
    out.Put(ch);
  }
  return out.Finish();
}

size_t unescape(char* buffer, size_t buflen, const char* source, size_t srclen, char escape_char) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  size_t i = 0;
  while (i < srclen && out.Fits(1)) {
    char ch = source[i++];
    if (ch == escape_char && i < srclen) ch = source[i++];
    out.Put(ch);
  }
  return out.Finish();
}

size_t encode(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape_char) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  for (size_t i = 0; i < srclen; ++i) {
    const char ch = source[i];
    if (ch == escape_char || IsIllegal(illegal, ch)) {
      if (!out.Fits(3)) break;
      out.PutEscaped(escape_char, static_cast<unsigned char>(ch));
    } else {
      if (!out.Fits(1)) break;
      out.Put(ch);
    }
  }
  return out.Finish();
}

size_t decode(char* buffer, size_t buflen, const char* source, size_t srclen, char escape_char) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  size_t i = 0;
  while (i < srclen && out.Fits(1)) {
    unsigned char byte;
    // i + 2 < srclen: both digits lie inside the source.
    if (source[i] == escape_char && i + 2 < srclen && DecodePair(source + i + 1, &byte)) {
      out.Put(static_cast<char>(byte));
      i += 3;
    } else {
      out.Put(source[i++]);
    }
  }
  return out.Finish();
}

size_t url_encode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  srclen = UsableLength(source, srclen);
  if (buffer == nullptr) {
    // Sizing call; saturates instead of wrapping for absurd lengths.
    return srclen < (kUnknownSize - 1) / 3 ? 3 * srclen + 1 : kUnknownSize;
  }
  UnitWriter out(buffer, buflen);
  for (size_t i = 0; i < srclen; ++i) {
    const unsigned char ch = static_cast<unsigned char>(source[i]);
    if (HasClass(ch, kUrlUnsafe)) {
      if (!out.Fits(3)) break;
      out.PutEscaped('%', ch);
    } else {
      if (!out.Fits(1)) break;
      out.Put(static_cast<char>(ch));
    }
  }
  return out.Finish();
}

size_t url_decode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  srclen = UsableLength(source, srclen);
  if (buffer == nullptr) return srclen < kUnknownSize ? srclen + 1 : kUnknownSize;
  UnitWriter out(buffer, buflen);
  size_t i = 0;
  while (i < srclen && out.Fits(1)) {
    unsigned char byte;
    if (source[i] == '+') {
      out.Put(' ');
      ++i;
    } else if (source[i] == '%' && i + 2 < srclen && DecodePair(source + i + 1, &byte)) {
      out.Put(static_cast<char>(byte));
      i += 3;
    } else {
      out.Put(source[i++]);
    }
  }
  return out.Finish();
}

size_t xml_encode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  return MarkupEncode(buffer, buflen, source, srclen, false);
}

size_t html_encode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  return MarkupEncode(buffer, buflen, source, srclen, true);
}

size_t xml_decode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  srclen = UsableLength(source, srclen);
  UnitWriter out(buffer, buflen);
  size_t i = 0;
  while (i < srclen && out.Fits(1)) {
    if (source[i] != '&') {
      out.Put(source[i++]);
      continue;
    }
    // Everything after the '&' up to the end of the source.
    const char* rest = source + i + 1;
    const size_t rest_length = srclen - i - 1;
    char ch;
    size_t used;
    if (MatchNamedEntity(rest, rest_length, &ch, &used)) {
      out.Put(ch);
      i += 1 + used;
      continue;
    }
    if (rest_length == 0 || rest[0] != '#') break;
    size_t pos = 1;
    int base = 10;
    if (pos < rest_length && rest[pos] == 'x') {
      base = 16;
      ++pos;
    }
    unsigned long value;
    if (!ReadNumber(rest + pos, rest_length - pos, base, &value, &used)) break;
    pos += used;
    if (pos >= rest_length || rest[pos] != ';') break;
    const size_t written = utf8_encode(out.Cursor(), out.Left(), value);
    if (written == 0) break;  // beyond 0x1FFFFF, or its bytes do not fit
    out.Advance(written);
    i += 1 + pos + 1;
  }
  return out.Finish();
}

size_t html_decode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  return xml_decode(buffer, buflen, source, srclen);
}

size_t utf8_encode(char* buffer, size_t buflen, unsigned long value) {
  if (buffer == nullptr) return 0;
  unsigned char* out = reinterpret_cast<unsigned char*>(buffer);
  if (value <= 0x7F) {
    if (buflen < 1) return 0;
    out[0] = static_cast<unsigned char>(value);
    return 1;
  }
  if (value <= 0x7FF) {
    if (buflen < 2) return 0;
    out[0] = static_cast<unsigned char>(0xC0 | (value >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (value & 0x3F));
    return 2;
  }
  if (value <= 0xFFFF) {
    if (buflen < 3) return 0;
    out[0] = static_cast<unsigned char>(0xE0 | (value >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (value & 0x3F));
    return 3;
  }
  if (value <= 0x1FFFFF) {
    if (buflen < 4) return 0;
    out[0] = static_cast<unsigned char>(0xF0 | (value >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((value >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (value & 0x3F));
    return 4;
  }
  return 0;
}

size_t utf8_decode(const char* source, size_t srclen, unsigned long* value) {
  if (source == nullptr || srclen == 0) return 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(source);
  unsigned long point = 0;
  size_t length = 0;
  if (s[0] < 0x80) {
    point = s[0];
    length = 1;
  } else if (srclen >= 2 && IsContinuation(s[1]) && (s[0] & 0xE0) == 0xC0) {
    point = (static_cast<unsigned long>(s[0] & 0x1F) << 6) | (s[1] & 0x3F);
    length = 2;
  } else if (srclen >= 3 && IsContinuation(s[1]) && IsContinuation(s[2]) && (s[0] & 0xF0) == 0xE0) {
    point = (static_cast<unsigned long>(s[0] & 0x0F) << 12) |
            (static_cast<unsigned long>(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    length = 3;
  } else if (srclen >= 4 && IsContinuation(s[1]) && IsContinuation(s[2]) && IsContinuation(s[3]) &&
             (s[0] & 0xF8) == 0xF0) {
    point = (static_cast<unsigned long>(s[0] & 0x07) << 18) |
            (static_cast<unsigned long>(s[1] & 0x3F) << 12) |
            (static_cast<unsigned long>(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
    length = 4;
  } else {
    return 0;
  }
  if (value) *value = point;
  return length;
}

const char* unsafe_filename_characters() { return ""; }

char make_char_safe_for_filename(char c) {
  if (static_cast<signed char>(c) < 32) return '_';  // control bytes and all of 0x80-0xFF
  switch (c) {
    case '"':
    case '*':
    case '/':
    case ':':
    case '<':
    case '>':
    case '?':
    case '\\':
    case '|':
      return '_';
    default:
      return c;
  }
}

size_t transform(std::string& value, size_t maxlen, const std::string& source, Transform t) {
  // Measure first, so that a generous maxlen (kUnknownSize, say) never
  // becomes a buffer of that size, and maxlen + 1 cannot wrap to 0.
  std::string whole = WholeOutput(source, t);
  if (whole.size() <= maxlen) {
    value.swap(whole);
    return value.size();
  }
  std::vector<char> buffer(maxlen + 1);  // maxlen < whole.size() here
  const size_t length = t(buffer.data(), buffer.size(), source.data(), source.size());
  value.assign(buffer.data(), length);
  return length;
}

std::string s_transform(const std::string& source, Transform t) { return WholeOutput(source, t); }

size_t split(const std::string& source, char delimiter, std::vector<std::string>* fields) {
  if (fields) fields->clear();
  size_t count = 0;
  size_t start = 0;
  for (;;) {
    const size_t end = source.find(delimiter, start);
    ++count;
    if (fields)
      fields->push_back(source.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return count;
    start = end + 1;
  }
}

std::string split_one(const std::string& source, char delimiter, int* position) {
  if (position == nullptr || *position < 0) return std::string();
  const size_t first = source.find_first_not_of(delimiter, static_cast<size_t>(*position));
  if (first == std::string::npos) return std::string();
  const size_t end = source.find(delimiter, first);
  size_t next = source.size();
  if (end != std::string::npos) next = source.find_first_not_of(delimiter, end);
  // Past INT_MAX a position cannot be told: report "nothing follows".
  *position = next <= static_cast<size_t>(INT_MAX) ? static_cast<int>(next) : -1;
  return source.substr(first, end == std::string::npos ? end : end - first);
}

bool memory_check(const void* memory, int c, size_t count) {
  if (count == 0) return true;
  if (memory == nullptr) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(memory);
  const unsigned char byte = static_cast<unsigned char>(c);
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != byte) return false;
  }
  return true;
}

bool string_match(const char* target, const char* pattern) {
  // Backtracking over the last '*' only: every earlier '*' is settled once a
  // later one is reached, so a mismatch only needs the last one to swallow
  // one more byte.  That keeps patterns like "*a*a*a*b" linear per '*'
  // instead of exponential.
  const auto same = [](char a, char b) {
    return toupper(static_cast<unsigned char>(a)) == toupper(static_cast<unsigned char>(b));
  };
  const char* t = target ? target : "";
  const char* p = pattern ? pattern : "";
  const char* star = nullptr;    // the last '*' passed; its literal is star[1]
  const char* resume = nullptr;  // where the literal after star is tried next
  bool literal = false;          // p is the byte after a '*': no wildcard
  for (;;) {
    if (!literal && *p == '*') {
      if (p[1] == '\0') return true;  // a final '*' takes the rest of any target
      star = p;
      resume = t;
      ++p;
      literal = true;
      continue;
    }
    if (*p == '\0') {
      if (*t == '\0') return true;
    } else if (*t != '\0' && same(*t, *p)) {
      ++t;
      ++p;
      literal = false;
      continue;
    }
    if (star == nullptr || *resume == '\0') return false;
    t = ++resume;
    p = star + 1;
    literal = true;
  }
}

}  // namespace lumen_base
