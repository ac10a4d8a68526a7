// Platform strings and the small object system under them: reference-counted,
// immutable objects (strings, the two booleans, bundles) addressed through
// opaque references, with the foreign platform's names for creating,
// inspecting, comparing, retaining and releasing them.
//
// Text is held as UTF-8 and only valid UTF-8 gets in: creation refuses
// overlong forms, encoded surrogates, code points above U+10FFFF and
// truncated sequences, so a string, once made, always converts back.
// Lengths are counted in UTF-16 code units, as callers of the original
// platform expect (a character outside the Basic Multilingual Plane counts 2).
//
// Threading: objects are immutable after creation, so any thread may read
// them; reference counts are atomic, so any thread may retain or release.
// The last release frees the object; using a reference after that is the
// caller's fault, as on the original platform.
#ifndef PLATFORM_CFSTRING_H_
#define PLATFORM_CFSTRING_H_

#include <atomic>
#include <climits>
#include <string>

#include "platform/types.h"

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef UInt32 CFStringEncoding;
typedef const void* CFTypeRef;
typedef CFTypeRef CFPropertyListRef;
typedef const struct PlatformCFString* CFStringRef;
typedef const struct PlatformCFBoolean* CFBooleanRef;
typedef const struct PlatformCFAllocator* CFAllocatorRef;

// There is one allocator, the default; every Create accepts it or NULL.
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// A size or index that could not be computed.
enum { kCFNotFound = -1 };

enum {
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingUTF8 = 0x08000100,
};

// ---------------------------------------------------------------------------
// Strings.

// Creates a string from `numBytes` bytes in `encoding` (UTF-8 or ASCII).
// Every byte counts, embedded NULs included. With isExternalRepresentation
// set, a leading UTF-8 byte-order mark is dropped; otherwise it is kept as
// the character U+FEFF.
// Returns a new string with a retain count of 1 (the caller releases it), or
// NULL when the bytes are not valid in that encoding, the encoding is not
// supported, numBytes is negative, or bytes is NULL with numBytes > 0.
// Any thread.
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);

// Same as CFStringCreateWithBytes over the bytes of `cStr` up to its NUL.
// NULL for a NULL cStr and for everything CFStringCreateWithBytes refuses.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);

// Length in UTF-16 code units; 0 for NULL.
CFIndex CFStringGetLength(CFStringRef str);

// The largest number of bytes that `length` UTF-16 code units can take in
// `encoding`, not counting a terminating NUL: 3 per unit for UTF-8, 1 for
// ASCII. kCFNotFound for a negative length, an unsupported encoding, or a
// size that does not fit in a CFIndex.
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

// Writes the string into `buffer` as NUL-terminated text in `encoding` and
// returns true. Returns false when buffer or str is NULL, bufferSize is not
// positive, the encoding is unsupported or cannot represent the text (ASCII
// and a character above 0x7F), or the text plus its NUL does not fit in
// bufferSize bytes; then buffer holds an empty string (when it has room for
// one) and nothing is ever written past bufferSize. Embedded NULs are copied
// as they are, so a C reader of the buffer stops at the first one.
Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);

CFTypeID CFStringGetTypeID(void);

// ---------------------------------------------------------------------------
// Booleans. The two values are static objects: retaining or releasing them
// does nothing, and they are never freed.

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

// The value; false for NULL.
Boolean CFBooleanGetValue(CFBooleanRef boolean);
CFTypeID CFBooleanGetTypeID(void);

// ---------------------------------------------------------------------------
// Every object.

// The type of `cf`, to compare with CFStringGetTypeID() and kin; 0 for NULL.
CFTypeID CFGetTypeID(CFTypeRef cf);

// Adds a reference and returns cf. NULL gives NULL.
CFTypeRef CFRetain(CFTypeRef cf);

// Drops a reference; the last one frees the object. NULL is a harmless no-op.
void CFRelease(CFTypeRef cf);

// True when both are the same object, or have the same type and contents
// (strings: the same characters). False when only one of them is NULL.
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);

// The number of references, for tests and diagnostics; 0 for NULL and
// kPlatformCFImmortal for static objects.
CFIndex CFGetRetainCount(CFTypeRef cf);

// ---------------------------------------------------------------------------
// Our own helpers.

// Copies the string's UTF-8 bytes (embedded NULs included) into *out and
// returns true; false for a NULL str or out, leaving *out untouched.
bool PlatformCFStringCopyUtf8(CFStringRef str, std::string* out);

// True when `length` bytes at `bytes` are valid UTF-8 (the same rule as
// string creation). An empty range is valid.
bool PlatformIsValidUtf8(const char* bytes, size_t length);

// ---------------------------------------------------------------------------
// The header that starts every object, for other platform units that define
// object types of their own. Such a type is a standard-layout struct whose
// first member is a PlatformCFObject, initialised with a class that names its
// type id (from PlatformNewCFTypeID) and how to free and compare it.

inline constexpr long kPlatformCFImmortal = LONG_MAX;

struct PlatformCFObject;

struct PlatformCFClass {
  CFTypeID type_id;
  // Frees the object; called once, by the release that drops the last
  // reference. Unused for immortal objects.
  void (*finalize)(const PlatformCFObject* object);
  // Compares two distinct objects of this class; NULL means identity only.
  bool (*equal)(const PlatformCFObject* a, const PlatformCFObject* b);
};

struct PlatformCFObject {
  const PlatformCFClass* cls;
  // 1 after creation; kPlatformCFImmortal for objects that are never freed.
  mutable std::atomic<long> retain_count;
};

// A type id no other type has. Any thread.
CFTypeID PlatformNewCFTypeID(void);

#endif  // PLATFORM_CFSTRING_H_
