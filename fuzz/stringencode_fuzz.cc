// Fuzz target for base/stringencode.h.  Every encoder and decoder runs over
// the input at several buffer lengths, the source and the buffer each placed
// at the very end of a heap block so that any access past srclen or buflen
// trips AddressSanitizer.  Checked: the caller-buffer rule (result below
// buflen, NUL at the result, nothing written for buflen 0), cuts that are
// prefixes of the whole output and hold no partial unit, the sizing calls,
// round trips where they hold, UTF-8 structure, and the invariants of the
// splitting, matching and copying helpers.  A broken invariant prints what
// failed and aborts.
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/stringencode.h"
#include "fuzz/fuzzcheck.h"

namespace {

using lumen_base::kUnknownSize;
using BufferFunction = std::function<size_t(char*, size_t, const char*, size_t)>;

// An exactly sized heap copy of some bytes; with terminated, one NUL more.
std::unique_ptr<char[]> HeapCopy(const std::string& bytes, bool terminated = false) {
  std::unique_ptr<char[]> copy(new char[bytes.size() + (terminated ? 1 : 0)]);
  memcpy(copy.get(), bytes.data(), bytes.size());
  if (terminated) copy[bytes.size()] = '\0';
  return copy;
}

// Scratch memory handed out from the end of one heap block, so that an
// access just past what was handed out leaves the block and trips
// AddressSanitizer, without the cost of an allocation per call (which would
// dominate a sanitized run).
class TailArena {
 public:
  char* Tail(size_t size) {
    if (size > capacity_) {
      capacity_ = std::max(size, 2 * capacity_);
      block_.reset(new char[capacity_]);
    }
    return block_.get() + capacity_ - size;  // never null, even for size 0
  }

 private:
  size_t capacity_ = 4096;
  std::unique_ptr<char[]> block_{new char[capacity_]};
};

// f over source into a buffer of buflen bytes, both ending where their heap
// block ends, checked against the caller-buffer rule.
std::string RunInto(const char* name, const BufferFunction& f, const std::string& source,
                    size_t buflen) {
  static TailArena sources;
  static TailArena buffers;
  char* input = sources.Tail(source.size());
  memcpy(input, source.data(), source.size());
  char* buffer = buffers.Tail(buflen);
  memset(buffer, 0x5a, buflen);  // no NUL left over from an earlier run
  const size_t result = f(buffer, buflen, input, source.size());
  if (buflen == 0) {
    FUZZ_CHECK(result == 0, name);
    return std::string();
  }
  FUZZ_CHECK(result < buflen, name);
  FUZZ_CHECK(buffer[result] == '\0', name);
  return std::string(buffer, result);
}

// A buffer for the whole output of a function that writes at most growth
// bytes per source byte, with room to spare: an output that fills it was cut.
size_t WholeBuflen(size_t size, size_t growth) { return growth * size + 16; }

// Growth of the HTML and XML encoders: "&quot;" for one byte, "&#2047;" for
// two, "&#2097151;" for four.
const size_t kMarkupGrowth = 6;

std::string Whole(const char* name, const BufferFunction& f, const std::string& source,
                  size_t growth) {
  const size_t buflen = WholeBuflen(source.size(), growth);
  const std::string whole = RunInto(name, f, source, buflen);
  FUZZ_CHECK(whole.size() + 1 < buflen, name);
  return whole;
}

struct Codec {
  const char* name;
  BufferFunction forward;
  BufferFunction inverse;  // null for decoders
  size_t growth;           // most output bytes per source byte
  bool never_nul;          // the output holds no NUL whatever the input
  bool round_trip;         // inverse(forward(x)) == x, and cuts re-encode to themselves
  bool entities;           // output units are bytes and "&...;" entities
};

// True when the text does not end inside an entity.
bool EntitiesClosed(const std::string& text) {
  const size_t amp = text.rfind('&');
  return amp == std::string::npos || text.find(';', amp) != std::string::npos;
}

// Runs one codec over source at several lengths and returns its whole output.
std::string CheckCodec(const Codec& codec, const std::string& source) {
  const auto run = [&](size_t buflen) {
    return RunInto(codec.name, codec.forward, source, buflen);
  };
  const std::string whole = run(WholeBuflen(source.size(), codec.growth));
  const size_t n = whole.size();
  FUZZ_CHECK(n + 1 < WholeBuflen(source.size(), codec.growth), codec.name);  // not itself cut
  if (codec.never_nul) FUZZ_CHECK(memchr(whole.data(), '\0', n) == nullptr, codec.name);
  std::vector<size_t> buflens = {0, 1, 2, 3, 5, n / 2 + 1, n, n + 1};
  std::sort(buflens.begin(), buflens.end());
  buflens.erase(std::unique(buflens.begin(), buflens.end()), buflens.end());
  size_t previous = 0;
  int inverse_checks = 0;
  for (size_t buflen : buflens) {
    const std::string cut = run(buflen);
    FUZZ_CHECK(whole.compare(0, cut.size(), cut) == 0, codec.name);  // a prefix
    FUZZ_CHECK(cut.size() >= previous, codec.name);                  // grows with the buffer
    const bool new_cut = cut.size() > previous && cut.size() < n;
    previous = cut.size();
    if (codec.entities) FUZZ_CHECK(EntitiesClosed(cut), codec.name);
    // A partial escape or entity does not survive decoding and re-encoding.
    // The short cuts, where one is most likely, are checked.
    if (codec.inverse && codec.round_trip && new_cut && inverse_checks++ < 2) {
      const std::string again =
          Whole(codec.name, codec.forward, Whole(codec.name, codec.inverse, cut, 1), codec.growth);
      FUZZ_CHECK(again == cut, codec.name);
    }
  }
  FUZZ_CHECK(previous == n, codec.name);
  if (codec.inverse && codec.round_trip) {
    FUZZ_CHECK(Whole(codec.name, codec.inverse, whole, 1) == source, codec.name);
  }
  if (!codec.inverse) FUZZ_CHECK(n <= source.size(), codec.name);  // decoders shrink
  return whole;
}

// True when every byte of 0x80 and above belongs to a UTF-8 sequence in its
// shortest form, the input on which HTML encoding round-trips.
bool IsShortestFormUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned long point = 0;
    const size_t used = lumen_base::utf8_decode(text.data() + i, text.size() - i, &point);
    char bytes[4];
    if (used == 0 || lumen_base::utf8_encode(bytes, sizeof(bytes), point) != used ||
        memcmp(bytes, text.data() + i, used) != 0) {
      return false;
    }
    i += used;
  }
  return true;
}

void CheckCodecs(const std::string& input) {
  using namespace lumen_base;
  const char escape_char = input.empty() ? '%' : input[0];
  // Up to three bytes from the end as the illegal set (stopping at a NUL).
  const std::string illegal =
      std::string(input.substr(input.size() > 3 ? input.size() - 3 : 0).c_str());
  const bool has_nul = input.find('\0') != std::string::npos;
  const BufferFunction escaper = [&](char* b, size_t n, const char* s, size_t len) {
    return escape(b, n, s, len, illegal.c_str(), escape_char);
  };
  const BufferFunction unescaper = [&](char* b, size_t n, const char* s, size_t len) {
    return unescape(b, n, s, len, escape_char);
  };
  const BufferFunction encoder = [&](char* b, size_t n, const char* s, size_t len) {
    return encode(b, n, s, len, illegal.c_str(), escape_char);
  };
  const BufferFunction decoder = [&](char* b, size_t n, const char* s, size_t len) {
    return decode(b, n, s, len, escape_char);
  };
  const BufferFunction hex_encoder = static_cast<Transform>(hex_encode);
  const BufferFunction hex_decoder = static_cast<Transform>(hex_decode);

  // HTML round trips only on shortest-form UTF-8: an overlong '<' comes back
  // as "&lt;", a lone byte as its two-byte form.
  const Codec codecs[] = {
      {"hex_encode", hex_encoder, hex_decoder, 2, true, true, false},
      {"escape", escaper, unescaper, 2, false, true, false},
      {"encode", encoder, decoder, 3, escape_char != '\0', true, false},
      {"url_encode", url_encode, url_decode, 3, true, true, false},
      {"xml_encode", xml_encode, xml_decode, kMarkupGrowth, !has_nul, true, true},
      {"html_encode", html_encode, html_decode, kMarkupGrowth, !has_nul, IsShortestFormUtf8(input),
       true},
      {"hex_decode", hex_decoder, nullptr, 1, false, false, false},
      {"unescape", unescaper, nullptr, 1, false, false, false},
      {"decode", decoder, nullptr, 1, false, false, false},
      {"url_decode", url_decode, nullptr, 1, false, false, false},
      {"xml_decode", xml_decode, nullptr, 1, false, false, false},
  };
  for (const Codec& codec : codecs) CheckCodec(codec, input);

  // A NUL comes out of xml_decode only from a NUL or from an entity whose
  // number is 0, which takes a '0' digit.
  if (!has_nul && input.find('0') == std::string::npos) {
    const std::string decoded = Whole("xml_decode", xml_decode, input, 1);
    FUZZ_CHECK(decoded.find('\0') == std::string::npos, "xml_decode");
  }

  // Sizing calls cover the whole output.
  FUZZ_CHECK(url_encode(nullptr, 0, input.data(), input.size()) == 3 * input.size() + 1, "url");
  FUZZ_CHECK(url_decode(nullptr, 0, input.data(), input.size()) == input.size() + 1, "url");
  FUZZ_CHECK(hex_encode(input.data(), input.size()) == Whole("hex", hex_encoder, input, 2), "hex");
  FUZZ_CHECK(html_decode(nullptr, 8, input.data(), input.size()) == 0, "html_decode");

  // transform and s_transform agree with the buffer forms.
  FUZZ_CHECK(s_transform(input, url_encode) == Whole("s_transform", url_encode, input, 3),
             "s_transform");
  FUZZ_CHECK(
      s_transform(input, xml_encode) == Whole("s_transform", xml_encode, input, kMarkupGrowth),
      "s_transform");
  std::string value;
  const size_t maxlen = input.size() / 2;
  FUZZ_CHECK(transform(value, maxlen, input, html_encode) == value.size(), "transform");
  FUZZ_CHECK(value == RunInto("transform", html_encode, input, maxlen + 1), "transform");
  transform(value, kUnknownSize, input, xml_decode);
  FUZZ_CHECK(value == Whole("transform", xml_decode, input, 1), "transform");
}

void CheckUtf8(const std::string& input) {
  using namespace lumen_base;
  // A sequence from every early offset, read from an exact heap block.
  std::unique_ptr<char[]> copy = HeapCopy(input);
  for (size_t i = 0; i < input.size() && i < 16; ++i) {
    const size_t rest = input.size() - i;
    unsigned long point = 0;
    const size_t used = utf8_decode(copy.get() + i, rest, &point);
    FUZZ_CHECK(used <= rest && used <= 4, "utf8_decode");
    if (used == 0) continue;
    FUZZ_CHECK(point <= 0x1FFFFF, "utf8_decode");
    // The lead byte announces the length; the others are continuation bytes.
    const unsigned char lead = static_cast<unsigned char>(copy[i]);
    static const unsigned char kLeadMask[] = {0, 0x80, 0xE0, 0xF0, 0xF8};
    static const unsigned char kLeadBits[] = {0, 0x00, 0xC0, 0xE0, 0xF0};
    FUZZ_CHECK((lead & kLeadMask[used]) == kLeadBits[used], "utf8_decode");
    for (size_t k = 1; k < used; ++k) {
      FUZZ_CHECK((static_cast<unsigned char>(copy[i + k]) & 0xC0) == 0x80, "utf8_decode");
    }
    char bytes[4];
    const size_t length = utf8_encode(bytes, sizeof(bytes), point);
    FUZZ_CHECK(length > 0 && length <= used, "utf8_encode");  // overlong forms are longer
    unsigned long again = 0;
    FUZZ_CHECK(utf8_decode(bytes, length, &again) == length && again == point, "utf8 round trip");
  }
  FUZZ_CHECK(utf8_decode(input.data(), 0, nullptr) == 0, "utf8_decode");
  if (input.size() >= 4) {
    unsigned long point = 0;
    for (int i = 0; i < 4; ++i) point = (point << 8) | static_cast<unsigned char>(input[i]);
    point &= 0x3FFFFF;  // both sides of the 0x1FFFFF limit
    char bytes[4];
    const size_t length = utf8_encode(bytes, sizeof(bytes), point);
    FUZZ_CHECK((length == 0) == (point > 0x1FFFFF), "utf8_encode");
    for (size_t buflen = 0; buflen < length; ++buflen) {
      FUZZ_CHECK(utf8_encode(bytes, buflen, point) == 0, "utf8_encode");
    }
  }
}

// Straight recursion over the pattern; only fed patterns with few '*'.
bool ReferenceMatch(const char* target, const char* pattern) {
  const auto same = [](char a, char b) {
    return toupper(static_cast<unsigned char>(a)) == toupper(static_cast<unsigned char>(b));
  };
  while (*pattern) {
    if (*pattern == '*') {
      if (!*++pattern) return true;
      for (; *target; ++target) {
        if (same(*pattern, *target) && ReferenceMatch(target + 1, pattern + 1)) return true;
      }
      return false;
    }
    if (!same(*pattern, *target)) return false;
    ++target;
    ++pattern;
  }
  return !*target;
}

void CheckHelpers(const std::string& input) {
  using namespace lumen_base;
  // string_match: target and pattern from the two halves, NUL-terminated.
  const std::string target = std::string(input.substr(0, input.size() / 2).c_str());
  const std::string pattern = std::string(input.substr(input.size() / 2).c_str());
  std::unique_ptr<char[]> t = HeapCopy(target, true);
  std::unique_ptr<char[]> p = HeapCopy(pattern, true);
  const bool matched = string_match(t.get(), p.get());
  size_t stars = 0;
  for (char ch : pattern) stars += ch == '*';
  if (stars <= 3 && target.size() <= 40) {
    FUZZ_CHECK(matched == ReferenceMatch(target.c_str(), pattern.c_str()), "string_match");
  }
  if (target.find('*') == std::string::npos)
    FUZZ_CHECK(string_match(t.get(), t.get()), "string_match");
  FUZZ_CHECK(string_match(t.get(), "*"), "string_match");

  // split: the fields joined by the delimiter give the input back.
  const char delimiter = input.empty() ? ',' : input[input.size() / 2];
  std::vector<std::string> fields;
  const size_t count = split(input, delimiter, &fields);
  FUZZ_CHECK(count == fields.size(), "split");
  std::string joined;
  for (size_t i = 0; i < fields.size(); ++i)
    joined += (i ? std::string(1, delimiter) : "") + fields[i];
  FUZZ_CHECK(joined == input, "split");

  // split_one: non-empty tokens without delimiters, all of the input's other
  // bytes in order, and the walk ends.
  std::string tokens;
  std::string without_delimiters;
  for (char ch : input) {
    if (ch != delimiter) without_delimiters += ch;
  }
  int position = 0;
  for (size_t steps = 0;; ++steps) {
    FUZZ_CHECK(steps <= input.size() + 1, "split_one");
    const int before = position;
    const std::string token = split_one(input, delimiter, &position);
    if (token.empty()) {
      FUZZ_CHECK(position == before, "split_one");
      break;
    }
    FUZZ_CHECK(token.find(delimiter) == std::string::npos, "split_one");
    tokens += token;
  }
  FUZZ_CHECK(tokens == without_delimiters, "split_one");
  // The walk ends at the end of the input, or at -1 after trailing delimiters.
  if (!tokens.empty()) {
    FUZZ_CHECK(position == (input.back() == delimiter ? -1 : static_cast<int>(input.size())),
               "split_one");
  }

  // strcpyn and sprintfn agree on a NUL-terminated copy.
  std::unique_ptr<char[]> text = HeapCopy(input, true);
  const size_t text_length = strlen(text.get());
  for (size_t buflen : {size_t{0}, size_t{1}, size_t{2}, input.size() / 2 + 1, input.size() + 1}) {
    std::unique_ptr<char[]> a(new char[buflen]);
    std::unique_ptr<char[]> b(new char[buflen]);
    const size_t copied = strcpyn(a.get(), buflen, text.get());
    const size_t printed = sprintfn(b.get(), buflen, "%s", text.get());
    const size_t expected = buflen == 0 ? 0 : std::min(text_length, buflen - 1);
    FUZZ_CHECK(copied == expected && printed == expected, "strcpyn");
    if (buflen > 0) FUZZ_CHECK(strcmp(a.get(), b.get()) == 0, "sprintfn");
    const size_t explicit_copy = strcpyn(a.get(), buflen, input.data(), input.size());
    FUZZ_CHECK(explicit_copy == (buflen == 0 ? 0 : std::min(input.size(), buflen - 1)), "strcpyn");
  }

  // memory_check over the leading run of the first byte.
  if (!input.empty()) {
    size_t run = 1;
    while (run < input.size() && input[run] == input[0]) ++run;
    std::unique_ptr<char[]> copy = HeapCopy(input);
    FUZZ_CHECK(memory_check(copy.get(), static_cast<unsigned char>(input[0]), run), "memory_check");
    if (run < input.size()) {
      FUZZ_CHECK(!memory_check(copy.get(), input[0], run + 1), "memory_check");
    }
  }

  for (char ch : input) {
    const char safe = make_char_safe_for_filename(ch);
    FUZZ_CHECK(static_cast<signed char>(safe) >= 32 && strchr("\"*/:<>?\\|", safe) == nullptr,
               "make_char_safe_for_filename");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckCodecs(input);
  CheckUtf8(input);
  CheckHelpers(input);
  return 0;
}
