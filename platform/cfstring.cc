#include "platform/cfstring.h"

#include <string.h>

#include <new>

// A string object: the shared header, two lengths, then the UTF-8 bytes and a
// NUL (which keeps the bytes usable as a C string when they hold no NUL).
struct PlatformCFString {
  PlatformCFObject base;
  CFIndex utf16_length;
  CFIndex byte_length;

  const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

struct PlatformCFBoolean {
  PlatformCFObject base;
  bool value;
};

namespace {

// Type ids of the built-in types; PlatformNewCFTypeID starts above them.
constexpr CFTypeID kStringTypeID = 1;
constexpr CFTypeID kBooleanTypeID = 2;
constexpr CFTypeID kFirstFreeTypeID = 16;

const PlatformCFObject* Header(CFTypeRef cf) { return static_cast<const PlatformCFObject*>(cf); }

bool IsSupportedEncoding(CFStringEncoding encoding) {
  return encoding == kCFStringEncodingUTF8 || encoding == kCFStringEncodingASCII;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Walks `length` bytes of UTF-8. Returns false at the first invalid sequence;
// otherwise true with the number of UTF-16 code units in *utf16_length.
bool MeasureUtf8(const unsigned char* bytes, size_t length, CFIndex* utf16_length) {
  CFIndex units = 0;
  size_t i = 0;
  while (i < length) {
    unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++units;
      ++i;
      continue;
    }
    size_t extra;
    unsigned long code_point;
    unsigned long smallest;  // Below this the sequence is an overlong form.
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code_point = lead & 0x1F;
      smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code_point = lead & 0x0F;
      smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code_point = lead & 0x07;
      smallest = 0x10000;
    } else {
      // A stray continuation byte, the overlong leads 0xC0/0xC1, or a lead
      // that could only start a code point above U+10FFFF.
      return false;
    }
    if (length - i <= extra) return false;  // Truncated at the end.
    for (size_t k = 1; k <= extra; ++k) {
      if (!IsContinuation(bytes[i + k])) return false;
      code_point = (code_point << 6) | (bytes[i + k] & 0x3F);
    }
    if (code_point < smallest || code_point > 0x10FFFF) return false;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return false;  // Surrogates.
    units += code_point >= 0x10000 ? 2 : 1;
    i += extra + 1;
  }
  *utf16_length = units;
  return true;
}

bool IsAscii(const char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  }
  return true;
}

void FinalizeString(const PlatformCFObject* object) {
  PlatformCFString* str =
      const_cast<PlatformCFString*>(reinterpret_cast<const PlatformCFString*>(object));
  str->~PlatformCFString();
  ::operator delete(static_cast<void*>(str));
}

bool EqualStrings(const PlatformCFObject* a, const PlatformCFObject* b) {
  const PlatformCFString* left = reinterpret_cast<const PlatformCFString*>(a);
  const PlatformCFString* right = reinterpret_cast<const PlatformCFString*>(b);
  return left->byte_length == right->byte_length &&
         memcmp(left->bytes(), right->bytes(), static_cast<size_t>(left->byte_length)) == 0;
}

const PlatformCFClass kStringClass = {kStringTypeID, FinalizeString, EqualStrings};
const PlatformCFClass kBooleanClass = {kBooleanTypeID, nullptr, nullptr};

PlatformCFBoolean true_object = {{&kBooleanClass, {kPlatformCFImmortal}}, true};
PlatformCFBoolean false_object = {{&kBooleanClass, {kPlatformCFImmortal}}, false};

std::atomic<CFTypeID> next_type_id{kFirstFreeTypeID};

// Makes a string object from bytes already known to be valid.
CFStringRef NewString(const char* bytes, size_t length, CFIndex utf16_length) {
  void* memory = ::operator new(sizeof(PlatformCFString) + length + 1, std::nothrow);
  if (memory == nullptr) return nullptr;
  PlatformCFString* str = new (memory)
      PlatformCFString{{&kStringClass, {1}}, utf16_length, static_cast<CFIndex>(length)};
  if (length > 0) memcpy(str->bytes(), bytes, length);
  str->bytes()[length] = '\0';
  return str;
}

const PlatformCFString* AsString(CFStringRef str) {
  if (str == nullptr || Header(str)->cls != &kStringClass) return nullptr;
  return str;
}

}  // namespace

const CFBooleanRef kCFBooleanTrue = &true_object;
const CFBooleanRef kCFBooleanFalse = &false_object;

CFStringRef CFStringCreateWithBytes(CFAllocatorRef /*alloc*/, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
  if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) return nullptr;
  if (!IsSupportedEncoding(encoding)) return nullptr;
  const char* text = reinterpret_cast<const char*>(bytes);
  size_t length = static_cast<size_t>(numBytes);
  if (length == 0) text = "";
  if (encoding == kCFStringEncodingASCII) {
    if (!IsAscii(text, length)) return nullptr;
    return NewString(text, length, numBytes);
  }
  if (isExternalRepresentation && length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
    text += 3;
    length -= 3;
  }
  CFIndex utf16_length = 0;
  if (!MeasureUtf8(reinterpret_cast<const unsigned char*>(text), length, &utf16_length)) {
    return nullptr;
  }
  return NewString(text, length, utf16_length);
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding) {
  if (cStr == nullptr) return nullptr;
  return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr),
                                 static_cast<CFIndex>(strlen(cStr)), encoding, false);
}

CFIndex CFStringGetLength(CFStringRef str) {
  const PlatformCFString* s = AsString(str);
  return s == nullptr ? 0 : s->utf16_length;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (length < 0) return kCFNotFound;
  if (encoding == kCFStringEncodingASCII) return length;
  if (encoding != kCFStringEncodingUTF8) return kCFNotFound;
  // One UTF-16 unit never needs more than 3 bytes; a surrogate pair (two
  // units) needs 4, which is within the bound.
  if (length > LONG_MAX / 3) return kCFNotFound;
  return length * 3;
}

Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  if (buffer == nullptr || bufferSize <= 0) return false;
  buffer[0] = '\0';
  const PlatformCFString* s = AsString(str);
  if (s == nullptr || !IsSupportedEncoding(encoding)) return false;
  size_t length = static_cast<size_t>(s->byte_length);
  if (encoding == kCFStringEncodingASCII && !IsAscii(s->bytes(), length)) return false;
  if (s->byte_length >= bufferSize) return false;  // No room for the NUL.
  memcpy(buffer, s->bytes(), length);
  buffer[length] = '\0';
  return true;
}

CFTypeID CFStringGetTypeID(void) { return kStringTypeID; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  if (boolean == nullptr || Header(boolean)->cls != &kBooleanClass) return false;
  return boolean->value;
}

CFTypeID CFBooleanGetTypeID(void) { return kBooleanTypeID; }

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf == nullptr ? 0 : Header(cf)->cls->type_id; }

CFTypeRef CFRetain(CFTypeRef cf) {
  if (cf == nullptr) return nullptr;
  const PlatformCFObject* object = Header(cf);
  if (object->retain_count.load(std::memory_order_relaxed) == kPlatformCFImmortal) return cf;
  // A new reference is made from an existing one, so no ordering is needed.
  object->retain_count.fetch_add(1, std::memory_order_relaxed);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (cf == nullptr) return;
  const PlatformCFObject* object = Header(cf);
  if (object->retain_count.load(std::memory_order_relaxed) == kPlatformCFImmortal) return;
  // Release so that this thread's use happens before the free; acquire so
  // that the freeing thread sees every other thread's use.
  if (object->retain_count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    object->cls->finalize(object);
  }
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  if (cf1 == cf2) return true;
  if (cf1 == nullptr || cf2 == nullptr) return false;
  const PlatformCFObject* a = Header(cf1);
  const PlatformCFObject* b = Header(cf2);
  if (a->cls != b->cls || a->cls->equal == nullptr) return false;
  return a->cls->equal(a, b);
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  if (cf == nullptr) return 0;
  return Header(cf)->retain_count.load(std::memory_order_relaxed);
}

bool PlatformCFStringCopyUtf8(CFStringRef str, std::string* out) {
  const PlatformCFString* s = AsString(str);
  if (s == nullptr || out == nullptr) return false;
  out->assign(s->bytes(), static_cast<size_t>(s->byte_length));
  return true;
}

bool PlatformIsValidUtf8(const char* bytes, size_t length) {
  if (length == 0) return true;
  if (bytes == nullptr) return false;
  CFIndex ignored = 0;
  return MeasureUtf8(reinterpret_cast<const unsigned char*>(bytes), length, &ignored);
}

CFTypeID PlatformNewCFTypeID(void) { return next_type_id.fetch_add(1); }
