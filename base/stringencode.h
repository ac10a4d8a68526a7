// Byte-string utilities: bounded copying and formatting into caller buffers,
// hex, escape, URL, XML/HTML and UTF-8 codings, splitting, a '*' wildcard
// match and file-name sanitising.  Every function works on bytes, keeps no
// state and touches only its arguments, so all are safe on any thread as long
// as no two threads share an output buffer.  Nothing allocates except the
// functions that return a std::string or take one to fill.
//
// Caller buffers.  A function that writes into (buffer, buflen) follows one
// rule:
//   - buflen counts the bytes of the buffer, the terminating NUL included.
//     With buflen 0 or a null buffer nothing is written and the result is 0
//     (url_encode and url_decode instead report the size they need, below).
//   - The output is always NUL-terminated and the result is the number of
//     bytes written before that NUL.  Decoders may produce NUL bytes of their
//     own (hex "00", "%00", "&#0;"), so use the result, not strlen.
//   - Output that does not fit stops after the last whole unit that fits: one
//     copied byte, or one complete escape, hex pair or entity.  A partial
//     escape is never written.  There is no separate overflow signal; compare
//     the result with what you expected.
// A source is (source, srclen) and is read only inside those srclen bytes; it
// need not be NUL-terminated.  A null source counts as empty.
//
// Hex digits are written in lower case.  Every decoder reads a digit as
// '0'-'9' = 0-9 and 'A'-'Z' / 'a'-'z' = 10-35, combining a pair as
// (high << 4) | low kept to 8 bits: "4G" is a valid pair giving 0x40 | 16 = 0x50
// and "zz" gives 0x33.  Callers that need strict hex must check it themselves.
#ifndef BASE_STRINGENCODE_H_
#define BASE_STRINGENCODE_H_

#include <stddef.h>

#include <string>
#include <vector>

namespace lumen_base {

// The all-ones size: a length or position that cannot be told.  strcpyn takes
// it as "the source is NUL-terminated".
const size_t kUnknownSize = static_cast<size_t>(-1);

// Copies min(srclen, buflen - 1) bytes (embedded NULs included) and a NUL.
// With srclen kUnknownSize the source is NUL-terminated and at most
// buflen - 1 of its bytes are looked at, so a longer unterminated source is
// safe.  Returns the bytes copied; 0 and nothing written when buflen is 0.
// Source and buffer may overlap.
size_t strcpyn(char* buffer, size_t buflen, const char* source, size_t srclen = kUnknownSize);

// snprintf into the buffer.  Output that does not fit is cut (at a byte) and
// the result is buflen - 1; with buflen 0 nothing is written and the result
// is 0.  When the formatter itself fails (a wide string that cannot be
// converted, say) the buffer holds the empty string and the result is 0.
size_t sprintfn(char* buffer, size_t buflen, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The lower-case digit of a nibble 0-15; '!' for any larger value.
char hex_encode(unsigned char val);

// The value of one digit (0-9, A-Z and a-z as 10-35, see above) in *val.
// False, *val untouched, for any other character.
bool hex_decode(char ch, unsigned char* val);

// Two digits per source byte, high nibble first.  Truncates at a whole pair.
size_t hex_encode(char* buffer, size_t buflen, const char* source, size_t srclen);

// The whole hex encoding of the source.
std::string hex_encode(const char* source, size_t srclen);

// One byte per pair of digits.  Stops at the first pair holding a non-digit;
// a trailing odd character is ignored.
size_t hex_decode(char* buffer, size_t buflen, const char* source, size_t srclen);

// Copies the source, putting escape_char before every byte that is
// escape_char or in the NUL-terminated set `illegal` (null: the empty set).
// A NUL byte in the source always counts as illegal.
size_t escape(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape_char);

// Undoes escape: escape_char followed by a byte gives that byte; escape_char
// as the very last source byte is copied as it is.
size_t unescape(char* buffer, size_t buflen, const char* source, size_t srclen, char escape_char);

// Like escape, but a byte that is escape_char or illegal (NUL included)
// becomes escape_char and its two hex digits: encode("a b", " ", '%') is
// "a%20b".
size_t encode(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape_char);

// escape_char and two digits give one byte.  An escape_char without two
// digits after it inside the source is copied and decoding goes on with the
// next byte.
size_t decode(char* buffer, size_t buflen, const char* source, size_t srclen, char escape_char);

// '%' and two digits for the control bytes, blank, DEL and
// "\"#$%&+,/:;<=>?@[\\]^`{|}"; every other byte, 0x80-0xFF included, is
// copied.  "a b&c" gives "a%20b%26c".  With a null buffer the result is the
// size a buffer needs for any source of this length: 3 * srclen + 1.
size_t url_encode(char* buffer, size_t buflen, const char* source, size_t srclen);

// '+' gives a blank, '%' and two digits give one byte, anything else
// (a '%' without two digits after it included) is copied.  With a null buffer
// the result is the size a buffer needs: srclen + 1.
size_t url_decode(char* buffer, size_t buflen, const char* source, size_t srclen);

// Replaces " & ' < > by &quot; &amp; &apos; &lt; &gt;; copies every other
// byte.
size_t xml_encode(char* buffer, size_t buflen, const char* source, size_t srclen);

// Like xml_encode, but the apostrophe becomes &#39; and every byte 0x80-0xFF
// starts a numeric entity: the UTF-8 sequence starting there (see
// utf8_decode) as "&#<code point>;", or, when no sequence decodes, the byte's
// own value, so the lone byte 0xE9 gives "&#233;" just like C3 A9.
size_t html_encode(char* buffer, size_t buflen, const char* source, size_t srclen);

// Replaces &lt; &gt; &apos; &quot; &amp; and numeric entities (&#65; decimal,
// &#x41; hexadecimal with a lower-case x; the number read as strtoul reads it)
// by their bytes; numeric ones are written as UTF-8, up to 0x1FFFFF.
// Decoding ENDS, keeping the output so far, at an '&' that starts none of
// these, at a number without digits or without ';' inside the source, at a
// number beyond 0x1FFFFF and where an encoded number does not fit:
// "a&b" gives "a".
size_t xml_decode(char* buffer, size_t buflen, const char* source, size_t srclen);

// The same decoding as xml_decode.
size_t html_decode(char* buffer, size_t buflen, const char* source, size_t srclen);

// Writes the code point in UTF-8 form (1 to 4 bytes, no NUL) and returns the
// bytes written.  Surrogates and points up to 0x1FFFFF are encoded like any
// other.  0, nothing written, for a point of 0x200000 or more or when buflen
// is smaller than the point's form.
size_t utf8_encode(char* buffer, size_t buflen, unsigned long value);

// Reads one UTF-8 sequence from the start of the source into *value (value
// may be null) and returns the bytes it took.  Overlong forms are accepted.
// 0, *value untouched, for an empty source, a stray continuation byte, a lead
// byte of 0xF8 or more, a missing continuation byte or a sequence cut by
// srclen.
size_t utf8_decode(const char* source, size_t srclen, unsigned long* value);

// The characters that are unsafe in a file name beyond those that
// make_char_safe_for_filename replaces; empty on this platform.
const char* unsafe_filename_characters();

// '_' for a control character, any byte 0x80-0xFF and " * / : < > ? \ |;
// every other character unchanged.
char make_char_safe_for_filename(char c);

// Any encoder or decoder above that follows the caller-buffer rule.
typedef size_t (*Transform)(char* buffer, size_t buflen, const char* source, size_t srclen);

// Sets value to t's output over source, cut (at a whole unit, by t) to at most
// maxlen bytes, and returns its length.  Any maxlen works, kUnknownSize
// meaning "no limit": the buffer is never larger than the whole output.
size_t transform(std::string& value, size_t maxlen, const std::string& source, Transform t);

// t's whole output over source.  Encoders that report their size when called
// without a buffer are run once into a buffer of that size; for the others
// the buffer grows until a larger one yields no more output.
std::string s_transform(const std::string& source, Transform t);

// Cuts source at every delimiter into *fields (cleared first; may be null to
// just count), empty pieces included, and returns the number of fields.  The
// empty source gives one empty field; n delimiters give n + 1 fields.
size_t split(const std::string& source, char delimiter, std::vector<std::string>* fields);

// Returns the next non-empty token at or after *position, skipping
// delimiters, and moves *position to the first non-delimiter after the token,
// to source.size() when the token reaches the end, or to -1 when only
// delimiters follow it.  When no token is left (position -1, past the end or
// only delimiters) returns "" and leaves *position unchanged, so a loop ends
// on the empty result.  A null position gives "".
std::string split_one(const std::string& source, char delimiter, int* position);

// True when all count bytes at memory equal c taken as a byte; true for
// count 0, false for a null memory with count > 0.
bool memory_check(const void* memory, int c, size_t count);

// Case-insensitive (through toupper) match of the whole target against a
// pattern where '*' stands for any run of bytes, possibly empty.  The byte
// after a '*' is always literal, even a second '*': "a**" matches "a*" and
// "ab*" but not "a".  Runs in time proportional to target length * pattern
// length at worst.  Null strings count as empty.
bool string_match(const char* target, const char* pattern);

}  // namespace lumen_base

#endif  // BASE_STRINGENCODE_H_
