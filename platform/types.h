// The foreign platform's basic scalar and record types, as the calling code
// expects them.  The original design targets a 32-bit system; on this 64-bit
// system pointers and handles are one machine word, while the fixed-size
// integer types keep their widths.  Everything here is plain data: no
// functions, no threading concerns.
#ifndef PLATFORM_TYPES_H_
#define PLATFORM_TYPES_H_

#include <stddef.h>
#include <stdint.h>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;

typedef unsigned char Boolean;  // 0 false, anything else true.

typedef int32_t OSStatus;  // 32-bit status: 0 success, negative failure.
typedef int16_t OSErr;     // 16-bit status of the older services.
typedef uint32_t OSType;   // Four-character code, first character highest.
typedef uint32_t FourCharCode;
typedef int32_t Fixed;     // 16.16 fixed point.
typedef long Size;         // A byte count of a memory block.

typedef char* Ptr;
typedef Ptr* Handle;  // Relocatable block: a pointer to the master pointer.

typedef unsigned char Str255[256];   // Pascal string: length byte + text.
typedef unsigned char Str63[64];
typedef unsigned char Str31[32];
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStringPtr;
typedef const unsigned char* ConstStr255Param;

// A rectangle in the platform's order: top, left, bottom, right.
struct Rect {
  int16_t top;
  int16_t left;
  int16_t bottom;
  int16_t right;
};

enum { noErr = 0 };

#endif  // PLATFORM_TYPES_H_
