// The image description: the platform's 86-byte record that tells a
// capturing application what the frames are (codec, size, resolution,
// depth), and the properties attached to it (field information, clean
// aperture, pixel aspect ratio, colour parameters, encoded size).
//
// An image description lives in a handle (platform/memory.h). The handle
// holds the record itself, whose `idSize` is the record's own size (86),
// followed directly by the properties as extension atoms, so that a plain
// byte copy of the handle, which is what a component hands to a host,
// carries every property. Each atom is:
//
//   bytes 0-3  total size of the atom, header included (big-endian)
//   bytes 4-7  the property ID (big-endian four-character code)
//   bytes 8-   the value
//
// The values of the known properties are stored big-endian field by field
// (as a file would carry them) and given back in the machine's order, so the
// structures below are read and written natively; any other property's value
// is stored as the caller's bytes. The record's fields are plain native
// numbers, written and read directly through the handle.
//
// Threading: the functions keep no state and may be called from any thread;
// one handle must not be changed by two threads at once.
#ifndef PLATFORM_IMAGEDESCRIPTION_H_
#define PLATFORM_IMAGEDESCRIPTION_H_

#include <stddef.h>

#include "platform/status.h"
#include "platform/types.h"

typedef OSType CodecType;
typedef UInt32 CodecQ;

#pragma pack(push, 2)

// The record of the 32-bit design, byte for byte: its "long" fields are 32
// bits here, and 2-byte packing keeps the size at 86 (natural alignment would
// pad it to 88).
struct ImageDescription {
  SInt32 idSize;  // the record's size, 86; the atoms follow it
  CodecType cType;
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt16 version;
  SInt16 revisionLevel;
  SInt32 vendor;
  CodecQ temporalQuality;
  CodecQ spatialQuality;
  SInt16 width;
  SInt16 height;
  Fixed hRes;
  Fixed vRes;
  SInt32 dataSize;
  SInt16 frameCount;
  Str31 name;  // Pascal string, at most 31 characters
  SInt16 depth;
  SInt16 clutID;
};

// The values of the known properties.

struct FieldInfoImageDescriptionExtension2 {  // 'fiel', 2 bytes
  UInt8 fields;
  UInt8 detail;
};

struct CleanApertureImageDescriptionExtension {  // 'clap', 32 bytes
  SInt32 cleanApertureWidthN;
  SInt32 cleanApertureWidthD;
  SInt32 cleanApertureHeightN;
  SInt32 cleanApertureHeightD;
  SInt32 horizOffN;
  SInt32 horizOffD;
  SInt32 vertOffN;
  SInt32 vertOffD;
};

struct PixelAspectRatioImageDescriptionExtension {  // 'pasp', 8 bytes
  SInt32 hSpacing;
  SInt32 vSpacing;
};

struct NCLCColorInfoImageDescriptionExtension {  // 'nclc', 10 bytes
  OSType colorParamType;
  UInt16 primaries;
  UInt16 transferFunction;
  UInt16 matrix;
};

#pragma pack(pop)

static_assert(sizeof(ImageDescription) == 86, "the record of the 32-bit design");
static_assert(offsetof(ImageDescription, cType) == 4);
static_assert(offsetof(ImageDescription, vendor) == 20);
static_assert(offsetof(ImageDescription, width) == 32);
static_assert(offsetof(ImageDescription, hRes) == 36);
static_assert(offsetof(ImageDescription, dataSize) == 44);
static_assert(offsetof(ImageDescription, frameCount) == 48);
static_assert(offsetof(ImageDescription, name) == 50);
static_assert(offsetof(ImageDescription, depth) == 82);
static_assert(offsetof(ImageDescription, clutID) == 84);
static_assert(sizeof(FieldInfoImageDescriptionExtension2) == 2);
static_assert(sizeof(CleanApertureImageDescriptionExtension) == 32);
static_assert(sizeof(PixelAspectRatioImageDescriptionExtension) == 8);
static_assert(sizeof(NCLCColorInfoImageDescriptionExtension) == 10);

typedef ImageDescription* ImageDescriptionPtr;
typedef ImageDescription** ImageDescriptionHandle;

enum : OSType {
  kQTPropertyClass_ImageDescription = 0x69647363,                // 'idsc'
  kICMImageDescriptionPropertyID_FieldInfo = 0x6669656C,         // 'fiel', 2 bytes
  kICMImageDescriptionPropertyID_CleanAperture = 0x636C6170,     // 'clap', 32 bytes
  kICMImageDescriptionPropertyID_PixelAspectRatio = 0x70617370,  // 'pasp', 8 bytes
  kICMImageDescriptionPropertyID_NCLCColorInfo = 0x6E636C63,     // 'nclc', 10 bytes
  kICMImageDescriptionPropertyID_EncodedWidth = 0x656E6377,      // 'encw', 4 bytes
  kICMImageDescriptionPropertyID_EncodedHeight = 0x656E6368,     // 'ench', 4 bytes
};

// The image description's own status codes.
enum : OSStatus {
  kQTPropertyNotSupportedErr = -2195,  // another class, or a property not present
  codecBadDataErr = -8969,             // the handle is not a well-formed description
};

// Attaches the property `propertyID` with the `size` bytes at `value`,
// replacing an atom of the same ID in place (other atoms keep their order)
// or appending a new one. Returns noErr, or, changing nothing:
// kQTPropertyNotSupportedErr for a class other than 'idsc'; paramErr when
// `size` is not the fixed size of a known property, is too large for an atom,
// or value is NULL with a size above 0; the memory manager's error for a
// handle that is not live (nilHandleErr, memWZErr) or cannot grow
// (memFullErr); codecBadDataErr when the handle is shorter than the record
// or its atoms do not tile the rest of it exactly.
OSStatus ICMImageDescriptionSetProperty(ImageDescriptionHandle desc, OSType propertyClass,
                                        OSType propertyID, UInt32 size, const void* value);

// Copies the value of `propertyID` into `value` (which holds `size` bytes)
// and, when sizeUsed is given, stores the value's size there. Returns noErr,
// or, writing nothing: kQTPropertyNotSupportedErr for another class or a
// property the description does not carry; paramErr for a NULL value or a
// size smaller than the value; the errors of SetProperty for a bad handle.
OSStatus ICMImageDescriptionGetProperty(ImageDescriptionHandle desc, OSType propertyClass,
                                        OSType propertyID, UInt32 size, void* value,
                                        UInt32* sizeUsed);

// Tells about a property the description carries: its type (the property ID
// itself), its value size and its flags (1 readable | 2 writable; always 3).
// Each out-parameter may be NULL. Errors as GetProperty; on error nothing is
// written.
OSStatus ICMImageDescriptionGetPropertyInfo(ImageDescriptionHandle desc, OSType propertyClass,
                                            OSType propertyID, OSType* valueType, UInt32* valueSize,
                                            UInt32* propertyFlags);

#endif  // PLATFORM_IMAGEDESCRIPTION_H_
