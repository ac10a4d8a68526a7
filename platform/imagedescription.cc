#include "platform/imagedescription.h"

#include <string.h>

#include <vector>

#include "platform/memory.h"

namespace {

constexpr size_t kAtomHeaderBytes = 8;

// A property whose value has a fixed layout; `fields` lists the width in
// bytes of each of its numbers, in order, for the byte-order conversion.
struct KnownProperty {
  OSType id;
  UInt32 size;
  const char* fields;
};

const KnownProperty kKnownProperties[] = {
    {kICMImageDescriptionPropertyID_FieldInfo, 2, "11"},
    {kICMImageDescriptionPropertyID_CleanAperture, 32, "44444444"},
    {kICMImageDescriptionPropertyID_PixelAspectRatio, 8, "44"},
    {kICMImageDescriptionPropertyID_NCLCColorInfo, 10, "4222"},
    {kICMImageDescriptionPropertyID_EncodedWidth, 4, "4"},
    {kICMImageDescriptionPropertyID_EncodedHeight, 4, "4"},
};

const KnownProperty* FindKnownProperty(OSType id) {
  for (const KnownProperty& property : kKnownProperties) {
    if (property.id == id) return &property;
  }
  return nullptr;
}

UInt32 ReadBigEndian32(const unsigned char* bytes) {
  return (UInt32{bytes[0]} << 24) | (UInt32{bytes[1]} << 16) | (UInt32{bytes[2]} << 8) |
         UInt32{bytes[3]};
}

void WriteBigEndian32(UInt32 value, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(value >> 24);
  bytes[1] = static_cast<unsigned char>(value >> 16);
  bytes[2] = static_cast<unsigned char>(value >> 8);
  bytes[3] = static_cast<unsigned char>(value);
}

// Native numbers to big-endian bytes, field by field.
void FieldsToBigEndian(const KnownProperty& property, const unsigned char* native,
                       unsigned char* big_endian) {
  for (const char* width = property.fields; *width != '\0'; ++width) {
    if (*width == '1') {
      *big_endian = *native;
    } else if (*width == '2') {
      UInt16 value;
      memcpy(&value, native, 2);
      big_endian[0] = static_cast<unsigned char>(value >> 8);
      big_endian[1] = static_cast<unsigned char>(value);
    } else {
      UInt32 value;
      memcpy(&value, native, 4);
      WriteBigEndian32(value, big_endian);
    }
    native += *width - '0';
    big_endian += *width - '0';
  }
}

// Big-endian bytes to native numbers, field by field.
void FieldsFromBigEndian(const KnownProperty& property, const unsigned char* big_endian,
                         unsigned char* native) {
  for (const char* width = property.fields; *width != '\0'; ++width) {
    if (*width == '1') {
      *native = *big_endian;
    } else if (*width == '2') {
      UInt16 value = static_cast<UInt16>((big_endian[0] << 8) | big_endian[1]);
      memcpy(native, &value, 2);
    } else {
      UInt32 value = ReadBigEndian32(big_endian);
      memcpy(native, &value, 4);
    }
    native += *width - '0';
    big_endian += *width - '0';
  }
}

struct Atom {
  size_t offset;  // of the header, from the start of the handle
  size_t size;    // header included
  OSType type;
};

// The atoms after the record, or false when they do not tile the rest of the
// handle exactly (a size below the header, or one running past the end).
bool ReadAtoms(const unsigned char* bytes, size_t total, std::vector<Atom>* atoms) {
  atoms->clear();
  size_t offset = sizeof(ImageDescription);
  while (offset < total) {
    if (total - offset < kAtomHeaderBytes) return false;
    size_t size = ReadBigEndian32(bytes + offset);
    if (size < kAtomHeaderBytes || size > total - offset) return false;
    atoms->push_back({offset, size, ReadBigEndian32(bytes + offset + 4)});
    offset += size;
  }
  return true;
}

// Checks the handle and reads its atoms. On success *bytes points into the
// block (valid until the handle is resized) and *total is its size.
OSStatus OpenDescription(ImageDescriptionHandle desc, const unsigned char** bytes, size_t* total,
                         std::vector<Atom>* atoms) {
  Handle handle = reinterpret_cast<Handle>(desc);
  Size size = GetHandleSize(handle);
  if (MemError() != noErr) return MemError();
  if (size < static_cast<Size>(sizeof(ImageDescription))) return codecBadDataErr;
  *bytes = reinterpret_cast<const unsigned char*>(*handle);
  *total = static_cast<size_t>(size);
  if (!ReadAtoms(*bytes, *total, atoms)) return codecBadDataErr;
  return noErr;
}

const Atom* FindAtom(const std::vector<Atom>& atoms, OSType id) {
  for (const Atom& atom : atoms) {
    if (atom.type == id) return &atom;
  }
  return nullptr;
}

// The atom of `id` after checking class and handle; NULL with *err set when
// there is none.
const Atom* LookUpProperty(ImageDescriptionHandle desc, OSType propertyClass, OSType id,
                           const unsigned char** bytes, std::vector<Atom>* atoms, OSStatus* err) {
  if (propertyClass != kQTPropertyClass_ImageDescription) {
    *err = kQTPropertyNotSupportedErr;
    return nullptr;
  }
  size_t total = 0;
  *err = OpenDescription(desc, bytes, &total, atoms);
  if (*err != noErr) return nullptr;
  const Atom* atom = FindAtom(*atoms, id);
  if (atom == nullptr) {
    *err = kQTPropertyNotSupportedErr;
    return nullptr;
  }
  // A known property whose atom has another size came from a damaged copy;
  // its fields cannot be told apart.
  const KnownProperty* known = FindKnownProperty(id);
  if (known != nullptr && atom->size - kAtomHeaderBytes != known->size) {
    *err = codecBadDataErr;
    return nullptr;
  }
  return atom;
}

}  // namespace

OSStatus ICMImageDescriptionSetProperty(ImageDescriptionHandle desc, OSType propertyClass,
                                        OSType propertyID, UInt32 size, const void* value) {
  if (propertyClass != kQTPropertyClass_ImageDescription) return kQTPropertyNotSupportedErr;
  const KnownProperty* known = FindKnownProperty(propertyID);
  if (known != nullptr && size != known->size) return paramErr;
  if (value == nullptr && size > 0) return paramErr;
  if (size > 0xFFFFFFFFu - kAtomHeaderBytes) return paramErr;

  const unsigned char* bytes = nullptr;
  size_t total = 0;
  std::vector<Atom> atoms;
  OSStatus err = OpenDescription(desc, &bytes, &total, &atoms);
  if (err != noErr) return err;

  std::vector<unsigned char> atom(kAtomHeaderBytes + size);
  WriteBigEndian32(static_cast<UInt32>(atom.size()), atom.data());
  WriteBigEndian32(propertyID, atom.data() + 4);
  if (known != nullptr) {
    FieldsToBigEndian(*known, static_cast<const unsigned char*>(value), atom.data() + 8);
  } else if (size > 0) {
    memcpy(atom.data() + 8, value, size);
  }

  // The new contents: everything but the old atoms of this ID, with the new
  // atom where the first of them was, or at the end.
  std::vector<unsigned char> contents(bytes, bytes + sizeof(ImageDescription));
  bool placed = false;
  for (const Atom& old : atoms) {
    if (old.type != propertyID) {
      contents.insert(contents.end(), bytes + old.offset, bytes + old.offset + old.size);
    } else if (!placed) {
      contents.insert(contents.end(), atom.begin(), atom.end());
      placed = true;
    }
  }
  if (!placed) contents.insert(contents.end(), atom.begin(), atom.end());

  Handle handle = reinterpret_cast<Handle>(desc);
  SetHandleSize(handle, static_cast<Size>(contents.size()));
  if (MemError() != noErr) return MemError();
  memcpy(*handle, contents.data(), contents.size());
  return noErr;
}

OSStatus ICMImageDescriptionGetProperty(ImageDescriptionHandle desc, OSType propertyClass,
                                        OSType propertyID, UInt32 size, void* value,
                                        UInt32* sizeUsed) {
  const unsigned char* bytes = nullptr;
  std::vector<Atom> atoms;
  OSStatus err;
  const Atom* atom = LookUpProperty(desc, propertyClass, propertyID, &bytes, &atoms, &err);
  if (atom == nullptr) return err;
  size_t value_size = atom->size - kAtomHeaderBytes;
  if (value == nullptr || size < value_size) return paramErr;
  const unsigned char* stored = bytes + atom->offset + kAtomHeaderBytes;
  if (const KnownProperty* known = FindKnownProperty(propertyID)) {
    FieldsFromBigEndian(*known, stored, static_cast<unsigned char*>(value));
  } else if (value_size > 0) {
    memcpy(value, stored, value_size);
  }
  if (sizeUsed != nullptr) *sizeUsed = static_cast<UInt32>(value_size);
  return noErr;
}

OSStatus ICMImageDescriptionGetPropertyInfo(ImageDescriptionHandle desc, OSType propertyClass,
                                            OSType propertyID, OSType* valueType, UInt32* valueSize,
                                            UInt32* propertyFlags) {
  const unsigned char* bytes = nullptr;
  std::vector<Atom> atoms;
  OSStatus err;
  const Atom* atom = LookUpProperty(desc, propertyClass, propertyID, &bytes, &atoms, &err);
  if (atom == nullptr) return err;
  if (valueType != nullptr) *valueType = propertyID;
  if (valueSize != nullptr) *valueSize = static_cast<UInt32>(atom->size - kAtomHeaderBytes);
  if (propertyFlags != nullptr) *propertyFlags = 3;
  return noErr;
}
