#include "platform/imagedescription.h"

#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace {

constexpr OSType kClass = kQTPropertyClass_ImageDescription;

// A zero-filled description of the bare record, as a component builds it.
ImageDescriptionHandle NewDescription() {
  auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandleClear(sizeof(ImageDescription)));
  if (desc != nullptr) (**desc).idSize = sizeof(ImageDescription);
  return desc;
}

std::vector<unsigned char> Bytes(ImageDescriptionHandle desc) {
  Handle h = reinterpret_cast<Handle>(desc);
  const unsigned char* begin = reinterpret_cast<const unsigned char*>(*h);
  return std::vector<unsigned char>(begin, begin + GetHandleSize(h));
}

std::vector<unsigned char> AtomBytes(ImageDescriptionHandle desc) {
  std::vector<unsigned char> all = Bytes(desc);
  return std::vector<unsigned char>(all.begin() + 86, all.end());
}

// A handle holding exactly `bytes`, so that any read past them is caught by
// the sanitizer build.
ImageDescriptionHandle DescriptionFromBytes(const std::vector<unsigned char>& bytes) {
  Handle h = NewHandle(static_cast<Size>(bytes.size()));
  if (!bytes.empty()) memcpy(*h, bytes.data(), bytes.size());
  return reinterpret_cast<ImageDescriptionHandle>(h);
}

void Dispose(ImageDescriptionHandle desc) { DisposeHandle(reinterpret_cast<Handle>(desc)); }

// The six properties in the order the camera attaches them.
OSStatus AttachCameraProperties(ImageDescriptionHandle desc) {
  FieldInfoImageDescriptionExtension2 field = {1, 0};
  CleanApertureImageDescriptionExtension clap = {320, 1, 240, 1, 0, 1, 0, 1};
  PixelAspectRatioImageDescriptionExtension pasp = {1, 1};
  NCLCColorInfoImageDescriptionExtension nclc = {'nclc', 6, 1, 6};
  SInt32 width = 320, height = 240;
  OSStatus err;
  if ((err = ICMImageDescriptionSetProperty(desc, kClass, 'fiel', 2, &field))) return err;
  if ((err = ICMImageDescriptionSetProperty(desc, kClass, 'clap', 32, &clap))) return err;
  if ((err = ICMImageDescriptionSetProperty(desc, kClass, 'pasp', 8, &pasp))) return err;
  if ((err = ICMImageDescriptionSetProperty(desc, kClass, 'nclc', 10, &nclc))) return err;
  if ((err = ICMImageDescriptionSetProperty(desc, kClass, 'encw', 4, &width))) return err;
  return ICMImageDescriptionSetProperty(desc, kClass, 'ench', 4, &height);
}

// The atoms AttachCameraProperties leaves after the record, byte for byte.
const std::vector<unsigned char> kCameraAtoms = {
    0, 0, 0, 10,   'f', 'i', 'e', 'l', 1,   0,                             //
    0, 0, 0, 40,   'c', 'l', 'a', 'p',                                     //
    0, 0, 1, 0x40, 0,   0,   0,   1,   0,   0,   0,   240, 0, 0,    0, 1,  // 320/1 240/1
    0, 0, 0, 0,    0,   0,   0,   1,   0,   0,   0,   0,   0, 0,    0, 1,  // 0/1 0/1
    0, 0, 0, 16,   'p', 'a', 's', 'p', 0,   0,   0,   1,   0, 0,    0, 1,  //
    0, 0, 0, 18,   'n', 'c', 'l', 'c', 'n', 'c', 'l', 'c', 0, 6,    0, 1,
    0, 6, 0, 0,    0,   12,  'e', 'n', 'c', 'w', 0,   0,   1, 0x40,  //
    0, 0, 0, 12,   'e', 'n', 'c', 'h', 0,   0,   0,   240,
};

TEST(ImageDescription, RecordLayoutIsThe86ByteRecord) {
  EXPECT_EQ(86u, sizeof(ImageDescription));
  EXPECT_EQ(0u, offsetof(ImageDescription, idSize));
  EXPECT_EQ(4u, offsetof(ImageDescription, cType));
  EXPECT_EQ(8u, offsetof(ImageDescription, resvd1));
  EXPECT_EQ(12u, offsetof(ImageDescription, resvd2));
  EXPECT_EQ(14u, offsetof(ImageDescription, dataRefIndex));
  EXPECT_EQ(16u, offsetof(ImageDescription, version));
  EXPECT_EQ(18u, offsetof(ImageDescription, revisionLevel));
  EXPECT_EQ(20u, offsetof(ImageDescription, vendor));
  EXPECT_EQ(24u, offsetof(ImageDescription, temporalQuality));
  EXPECT_EQ(28u, offsetof(ImageDescription, spatialQuality));
  EXPECT_EQ(32u, offsetof(ImageDescription, width));
  EXPECT_EQ(34u, offsetof(ImageDescription, height));
  EXPECT_EQ(36u, offsetof(ImageDescription, hRes));
  EXPECT_EQ(40u, offsetof(ImageDescription, vRes));
  EXPECT_EQ(44u, offsetof(ImageDescription, dataSize));
  EXPECT_EQ(48u, offsetof(ImageDescription, frameCount));
  EXPECT_EQ(50u, offsetof(ImageDescription, name));
  EXPECT_EQ(32u, sizeof(ImageDescription::name));
  EXPECT_EQ(82u, offsetof(ImageDescription, depth));
  EXPECT_EQ(84u, offsetof(ImageDescription, clutID));
  // An array of records keeps the 86-byte stride.
  ImageDescription two[2];
  EXPECT_EQ(86, reinterpret_cast<char*>(&two[1]) - reinterpret_cast<char*>(&two[0]));
}

TEST(ImageDescription, CameraPropertiesLandAsBigEndianAtomsAfterTheRecord) {
  ImageDescriptionHandle desc = NewDescription();
  ASSERT_NE(nullptr, desc);
  (**desc).cType = 'j420';
  (**desc).depth = 24;
  ASSERT_EQ(noErr, AttachCameraProperties(desc));
  EXPECT_EQ(86 + 108, GetHandleSize(reinterpret_cast<Handle>(desc)));
  EXPECT_EQ(kCameraAtoms, AtomBytes(desc));
  // The record itself is untouched, and its idSize stays the record's size.
  EXPECT_EQ(86, (**desc).idSize);
  EXPECT_EQ(static_cast<CodecType>('j420'), (**desc).cType);
  EXPECT_EQ(24, (**desc).depth);
  Dispose(desc);
}

TEST(ImageDescription, EveryKnownPropertyReadsBackInMachineOrder) {
  ImageDescriptionHandle desc = NewDescription();
  ASSERT_EQ(noErr, AttachCameraProperties(desc));
  UInt32 used = 0;

  FieldInfoImageDescriptionExtension2 field = {9, 9};
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'fiel', 2, &field, &used));
  EXPECT_EQ(1, field.fields);
  EXPECT_EQ(0, field.detail);
  EXPECT_EQ(2u, used);

  CleanApertureImageDescriptionExtension clap = {};
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'clap', 32, &clap, &used));
  EXPECT_EQ(320, clap.cleanApertureWidthN);
  EXPECT_EQ(1, clap.cleanApertureWidthD);
  EXPECT_EQ(240, clap.cleanApertureHeightN);
  EXPECT_EQ(1, clap.cleanApertureHeightD);
  EXPECT_EQ(0, clap.horizOffN);
  EXPECT_EQ(1, clap.horizOffD);
  EXPECT_EQ(0, clap.vertOffN);
  EXPECT_EQ(1, clap.vertOffD);
  EXPECT_EQ(32u, used);

  PixelAspectRatioImageDescriptionExtension pasp = {};
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'pasp', 8, &pasp, nullptr));
  EXPECT_EQ(1, pasp.hSpacing);
  EXPECT_EQ(1, pasp.vSpacing);

  NCLCColorInfoImageDescriptionExtension nclc = {};
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'nclc', 10, &nclc, &used));
  EXPECT_EQ(static_cast<OSType>('nclc'), nclc.colorParamType);
  EXPECT_EQ(6, nclc.primaries);
  EXPECT_EQ(1, nclc.transferFunction);
  EXPECT_EQ(6, nclc.matrix);
  EXPECT_EQ(10u, used);

  SInt32 width = 0, height = 0;
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'encw', 4, &width, nullptr));
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'ench', 4, &height, nullptr));
  EXPECT_EQ(320, width);
  EXPECT_EQ(240, height);
  Dispose(desc);
}

TEST(ImageDescription, NegativeAndHighBitValuesSurviveTheByteOrder) {
  ImageDescriptionHandle desc = NewDescription();
  CleanApertureImageDescriptionExtension clap = {-1, 0x7FFFFFFF, INT32_MIN, 2, -3, 4, -5, 6};
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'clap', 32, &clap));
  const std::vector<unsigned char> first_numbers = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF,
                                                    0xFF, 0xFF, 0x80, 0,    0,    0};
  std::vector<unsigned char> atoms = AtomBytes(desc);
  EXPECT_EQ(first_numbers, std::vector<unsigned char>(atoms.begin() + 8, atoms.begin() + 20));
  CleanApertureImageDescriptionExtension back = {};
  ASSERT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'clap', 32, &back, nullptr));
  EXPECT_EQ(0, memcmp(&clap, &back, sizeof(clap)));

  NCLCColorInfoImageDescriptionExtension nclc = {0xFEDCBA98, 0xFFFF, 0x8001, 0x0102};
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'nclc', 10, &nclc));
  NCLCColorInfoImageDescriptionExtension nclc_back = {};
  ASSERT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'nclc', 10, &nclc_back, nullptr));
  EXPECT_EQ(0, memcmp(&nclc, &nclc_back, sizeof(nclc)));
  Dispose(desc);
}

TEST(ImageDescription, SettingAgainReplacesTheAtomInPlace) {
  ImageDescriptionHandle desc = NewDescription();
  ASSERT_EQ(noErr, AttachCameraProperties(desc));
  SInt32 width = 640;
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'encw', 4, &width));
  std::vector<unsigned char> expected = kCameraAtoms;
  expected[84 + 8 + 2] = 0x02;  // 640 = 0x280 in the 'encw' atom's value
  expected[84 + 8 + 3] = 0x80;
  EXPECT_EQ(expected, AtomBytes(desc));

  // A replacement of another size keeps the order of the atoms around it.
  const char tag[] = "longer value";
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'xtra', 3, "abc"));
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'encw', 4, &width));
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'xtra', sizeof(tag), tag));
  std::vector<unsigned char> atoms = AtomBytes(desc);
  ASSERT_EQ(expected.size() + 8 + sizeof(tag), atoms.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), atoms.begin()));
  EXPECT_EQ(0, memcmp(atoms.data() + expected.size() + 8, tag, sizeof(tag)));
  Dispose(desc);
}

TEST(ImageDescription, OtherPropertiesTakeAnySizeAndKeepTheirBytes) {
  ImageDescriptionHandle desc = NewDescription();
  std::vector<unsigned char> big(1000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'big ', 1000, big.data()));
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'none', 0, nullptr));
  std::vector<unsigned char> back(1000);
  UInt32 used = 0;
  ASSERT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'big ', 1000, back.data(), &used));
  EXPECT_EQ(1000u, used);
  EXPECT_EQ(big, back);
  char unused;
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'none', 1, &unused, &used));
  EXPECT_EQ(0u, used);
  EXPECT_EQ(86 + 1008 + 8, GetHandleSize(reinterpret_cast<Handle>(desc)));
  Dispose(desc);
}

TEST(ImageDescription, ByteCopyCarriesEveryProperty) {
  ImageDescriptionHandle desc = NewDescription();
  (**desc).width = 320;
  ASSERT_EQ(noErr, AttachCameraProperties(desc));
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'xtra', 3, "abc"));
  // What a host receives: a handle of the same size with the same bytes.
  ImageDescriptionHandle copy = DescriptionFromBytes(Bytes(desc));
  Dispose(desc);
  EXPECT_EQ(320, (**copy).width);
  SInt32 height = 0;
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(copy, kClass, 'ench', 4, &height, nullptr));
  EXPECT_EQ(240, height);
  NCLCColorInfoImageDescriptionExtension nclc = {};
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(copy, kClass, 'nclc', 10, &nclc, nullptr));
  EXPECT_EQ(6, nclc.matrix);
  char xtra[3];
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(copy, kClass, 'xtra', 3, xtra, nullptr));
  EXPECT_EQ(0, memcmp("abc", xtra, 3));
  Dispose(copy);
}

TEST(ImageDescription, WrongClassIsRefusedAndChangesNothing) {
  ImageDescriptionHandle desc = NewDescription();
  SInt32 width = 320;
  EXPECT_EQ(kQTPropertyNotSupportedErr,
            ICMImageDescriptionSetProperty(desc, 'cdec', 'encw', 4, &width));
  EXPECT_EQ(86, GetHandleSize(reinterpret_cast<Handle>(desc)));
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'encw', 4, &width));
  SInt32 back = 7;
  EXPECT_EQ(kQTPropertyNotSupportedErr,
            ICMImageDescriptionGetProperty(desc, 'cdec', 'encw', 4, &back, nullptr));
  EXPECT_EQ(7, back);
  Dispose(desc);
}

TEST(ImageDescription, WrongSizeOfAKnownPropertyIsParamErr) {
  ImageDescriptionHandle desc = NewDescription();
  unsigned char value[40] = {};
  struct Known {
    OSType id;
    UInt32 size;
  };
  for (Known known : {Known{'fiel', 2}, Known{'clap', 32}, Known{'pasp', 8}, Known{'nclc', 10},
                      Known{'encw', 4}, Known{'ench', 4}}) {
    EXPECT_EQ(paramErr,
              ICMImageDescriptionSetProperty(desc, kClass, known.id, known.size - 1, value));
    EXPECT_EQ(paramErr,
              ICMImageDescriptionSetProperty(desc, kClass, known.id, known.size + 1, value));
    EXPECT_EQ(paramErr, ICMImageDescriptionSetProperty(desc, kClass, known.id, 0, nullptr));
  }
  EXPECT_EQ(86, GetHandleSize(reinterpret_cast<Handle>(desc)));
  EXPECT_EQ(paramErr, ICMImageDescriptionSetProperty(desc, kClass, 'xtra', 4, nullptr));
  Dispose(desc);
}

TEST(ImageDescription, GetRefusesAbsentPropertyAndShortBuffer) {
  ImageDescriptionHandle desc = NewDescription();
  SInt32 value = 5;
  EXPECT_EQ(kQTPropertyNotSupportedErr,
            ICMImageDescriptionGetProperty(desc, kClass, 'encw', 4, &value, nullptr));
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'xtra', 6, "abcdef"));
  char small[5] = {'-', '-', '-', '-', '-'};
  UInt32 used = 99;
  EXPECT_EQ(paramErr, ICMImageDescriptionGetProperty(desc, kClass, 'xtra', 5, small, &used));
  EXPECT_EQ(0, memcmp("-----", small, 5));
  EXPECT_EQ(99u, used);
  EXPECT_EQ(paramErr, ICMImageDescriptionGetProperty(desc, kClass, 'xtra', 6, nullptr, &used));
  // A larger buffer is fine; only the value's bytes are written.
  char large[8] = {'-', '-', '-', '-', '-', '-', '-', '-'};
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'xtra', 8, large, &used));
  EXPECT_EQ(0, memcmp("abcdef--", large, 8));
  EXPECT_EQ(6u, used);
  Dispose(desc);
}

TEST(ImageDescription, PropertyInfoTellsSizeAndType) {
  ImageDescriptionHandle desc = NewDescription();
  ASSERT_EQ(noErr, AttachCameraProperties(desc));
  OSType type = 0;
  UInt32 size = 0, flags = 0;
  EXPECT_EQ(noErr, ICMImageDescriptionGetPropertyInfo(desc, kClass, 'clap', &type, &size, &flags));
  EXPECT_EQ(static_cast<OSType>('clap'), type);
  EXPECT_EQ(32u, size);
  EXPECT_EQ(3u, flags);
  EXPECT_EQ(noErr,
            ICMImageDescriptionGetPropertyInfo(desc, kClass, 'fiel', nullptr, &size, nullptr));
  EXPECT_EQ(2u, size);
  EXPECT_EQ(kQTPropertyNotSupportedErr,
            ICMImageDescriptionGetPropertyInfo(desc, kClass, 'gama', &type, &size, &flags));
  EXPECT_EQ(kQTPropertyNotSupportedErr,
            ICMImageDescriptionGetPropertyInfo(desc, 'cdec', 'clap', &type, &size, &flags));
  Dispose(desc);
}

TEST(ImageDescription, BadHandlesGiveTheMemoryManagersErrors) {
  SInt32 value = 1;
  EXPECT_EQ(nilHandleErr, ICMImageDescriptionSetProperty(nullptr, kClass, 'encw', 4, &value));
  EXPECT_EQ(nilHandleErr,
            ICMImageDescriptionGetProperty(nullptr, kClass, 'encw', 4, &value, nullptr));
  ImageDescriptionHandle desc = NewDescription();
  Dispose(desc);
  EXPECT_EQ(memWZErr, ICMImageDescriptionSetProperty(desc, kClass, 'encw', 4, &value));
  EXPECT_EQ(memWZErr, ICMImageDescriptionGetProperty(desc, kClass, 'encw', 4, &value, nullptr));
}

TEST(ImageDescription, HandleShorterThanTheRecordIsBadData) {
  for (size_t size : {0u, 1u, 85u}) {
    ImageDescriptionHandle desc = DescriptionFromBytes(std::vector<unsigned char>(size, 0));
    SInt32 value = 1;
    EXPECT_EQ(codecBadDataErr, ICMImageDescriptionSetProperty(desc, kClass, 'encw', 4, &value));
    EXPECT_EQ(codecBadDataErr,
              ICMImageDescriptionGetProperty(desc, kClass, 'encw', 4, &value, nullptr));
    EXPECT_EQ(static_cast<Size>(size), GetHandleSize(reinterpret_cast<Handle>(desc)));
    Dispose(desc);
  }
}

TEST(ImageDescription, EveryTruncationIsRejectedOrEndsAtAnAtom) {
  ImageDescriptionHandle desc = NewDescription();
  ASSERT_EQ(noErr, AttachCameraProperties(desc));
  std::vector<unsigned char> full = Bytes(desc);
  Dispose(desc);
  // Atom boundaries of the camera's six atoms, as offsets in the handle.
  const std::vector<size_t> boundaries = {86, 96, 136, 152, 170, 182, 194};
  for (size_t length = 86; length < full.size(); ++length) {
    // Each cut copy is its own exact-size handle: a read past it is a fault.
    ImageDescriptionHandle cut =
        DescriptionFromBytes(std::vector<unsigned char>(full.begin(), full.begin() + length));
    SInt32 height = 0;
    OSStatus err = ICMImageDescriptionGetProperty(cut, kClass, 'ench', 4, &height, nullptr);
    bool at_boundary = std::find(boundaries.begin(), boundaries.end(), length) != boundaries.end();
    EXPECT_EQ(at_boundary ? kQTPropertyNotSupportedErr : codecBadDataErr, err) << length;
    SInt32 width = 1;
    std::vector<unsigned char> before = Bytes(cut);
    err = ICMImageDescriptionSetProperty(cut, kClass, 'encw', 4, &width);
    if (!at_boundary) {
      EXPECT_EQ(codecBadDataErr, err) << length;
      EXPECT_EQ(before, Bytes(cut)) << length;
    }
    Dispose(cut);
  }
}

TEST(ImageDescription, CorruptAtomSizesAreRejected) {
  std::vector<unsigned char> record(86, 0);
  struct Case {
    const char* hazard;
    std::vector<unsigned char> atoms;
  };
  const Case cases[] = {
      {"size 0", {0, 0, 0, 0, 'x', 'x', 'x', 'x'}},
      {"size below the header", {0, 0, 0, 7, 'x', 'x', 'x', 'x'}},
      {"size past the end", {0, 0, 0, 9, 'x', 'x', 'x', 'x'}},
      {"size near 4 GiB", {0xFF, 0xFF, 0xFF, 0xFF, 'x', 'x', 'x', 'x'}},
      {"trailing bytes after a good atom", {0, 0, 0, 8, 'x', 'x', 'x', 'x', 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> bytes = record;
    bytes.insert(bytes.end(), c.atoms.begin(), c.atoms.end());
    ImageDescriptionHandle desc = DescriptionFromBytes(bytes);
    char value[8];
    EXPECT_EQ(codecBadDataErr,
              ICMImageDescriptionGetProperty(desc, kClass, 'xxxx', 8, value, nullptr))
        << c.hazard;
    EXPECT_EQ(codecBadDataErr, ICMImageDescriptionSetProperty(desc, kClass, 'yyyy', 1, "y"))
        << c.hazard;
    EXPECT_EQ(bytes, Bytes(desc)) << c.hazard;
    Dispose(desc);
  }
}

TEST(ImageDescription, KnownPropertyWithAForgedSizeIsBadData) {
  // A well-formed atom list whose 'encw' atom holds 2 bytes instead of 4.
  std::vector<unsigned char> bytes(86, 0);
  const unsigned char atom[] = {0, 0, 0, 10, 'e', 'n', 'c', 'w', 1, 2};
  bytes.insert(bytes.end(), atom, atom + sizeof(atom));
  ImageDescriptionHandle desc = DescriptionFromBytes(bytes);
  SInt32 width = 0;
  UInt32 size = 0;
  EXPECT_EQ(codecBadDataErr,
            ICMImageDescriptionGetProperty(desc, kClass, 'encw', 4, &width, nullptr));
  EXPECT_EQ(codecBadDataErr,
            ICMImageDescriptionGetPropertyInfo(desc, kClass, 'encw', nullptr, &size, nullptr));
  // Setting it properly mends it.
  width = 320;
  ASSERT_EQ(noErr, ICMImageDescriptionSetProperty(desc, kClass, 'encw', 4, &width));
  width = 0;
  EXPECT_EQ(noErr, ICMImageDescriptionGetProperty(desc, kClass, 'encw', 4, &width, nullptr));
  EXPECT_EQ(320, width);
  Dispose(desc);
}

}  // namespace
