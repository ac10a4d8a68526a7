// The video digitizer interface: the selectors a capturing application calls
// on a 'vdig' component, the records and flag bits those calls exchange, and
// the codes for inputs, input standards and capture states.
//
// The records keep the field order of the 32-bit design. Its "long" fields
// are 32 bits here; DigitizerInfo carries two graphics-device handles and
// takes this system's natural alignment (pointers are 8 bytes), while
// VDCompressionList holds no pointer and keeps its 148 bytes: its codec
// component is a 32-bit field (this component never names one: it is 0).
//
// Threading: plain data and constants; any thread.
#ifndef PLATFORM_VIDEODIGITIZER_H_
#define PLATFORM_VIDEODIGITIZER_H_

#include <stddef.h>

#include "platform/imagedescription.h"
#include "platform/types.h"

// The component type of a video digitizer.
enum : OSType { videoDigitizerComponentType = 0x76646967 };  // 'vdig'

// Selectors of the calls a video digitizer may implement.
enum : SInt16 {
  kVDGetMaxSrcRectSelect = 1,
  kVDGetActiveSrcRectSelect = 2,
  kVDSetDigitizerRectSelect = 3,
  kVDGetDigitizerRectSelect = 4,
  kVDGetVBlankRectSelect = 5,
  kVDGetDigitizerInfoSelect = 25,
  kVDGetCurrentFlagsSelect = 26,
  kVDGetNumberOfInputsSelect = 60,
  kVDGetInputFormatSelect = 61,
  kVDSetInputSelect = 62,
  kVDGetInputSelect = 63,
  kVDSetInputStandardSelect = 64,
  kVDSetCompressionSelect = 68,
  kVDCompressOneFrameAsyncSelect = 69,
  kVDCompressDoneSelect = 70,
  kVDReleaseCompressBufferSelect = 71,
  kVDGetImageDescriptionSelect = 72,
  kVDResetCompressSequenceSelect = 73,
  kVDSetCompressionOnOffSelect = 74,
  kVDGetCompressionTypesSelect = 75,
  kVDSetTimeBaseSelect = 76,
  kVDSetFrameRateSelect = 77,
  kVDGetPreferredTimeScaleSelect = 81,
  kVDGetInputNameSelect = 92,
  kVDGetDeviceNameAndFlagsSelect = 94,
  kVDCaptureStateChangingSelect = 95,
};

// Kinds of digitizer (DigitizerInfo::vdigType).
enum : SInt16 { vdTypeBasic = 0 };

// Input capability and current flags.
enum : UInt32 {
  digiInDoesNTSC = 1u << 0,
  digiInDoesPAL = 1u << 1,
  digiInDoesSECAM = 1u << 2,
  digiInDoesComponent = 1u << 10,
  digiInDoesColor = 1u << 12,
  digiInSignalLock = 1u << 31,  // current flags only: a signal is present
};

// Output capability and current flags.
enum : UInt32 {
  digiOutDoes32 = 1u << 5,
  digiOutDoesShrink = 1u << 8,
  digiOutDoesCompress = 1u << 27,
  digiOutDoesCompressOnly = 1u << 28,
  digiOutDoesNotNeedCopyOfCompressData = 1u << 31,
};

// Input formats (the format of an input's signal).
enum : SInt16 {
  compositeIn = 0,
  sVideoIn = 1,
  rgbComponentIn = 2,
  rgbComponentSyncIn = 3,
  yuvComponentIn = 4,
  yuvComponentSyncIn = 5,
  tvTunerIn = 6,
  sdiIn = 7,
};

// Input standards.
enum : UInt16 {
  ntscIn = 0,
  palIn = 1,
  secamIn = 2,
  ntscReallyIn = 3,  // the second code for NTSC
};

// Flags of the device name (VDGetDeviceNameAndFlags).
enum : UInt32 { vdDeviceFlagShowInputsAsDevices = 1u << 0 };

// Capture state flags (VDCaptureStateChanging).
enum : UInt32 {
  vdFlagCaptureStarting = 1u << 0,
  vdFlagCaptureStopping = 1u << 1,
  vdFlagCaptureIsForPreview = 1u << 2,
  vdFlagCaptureIsForRecord = 1u << 3,
  vdFlagCaptureLowLatency = 1u << 4,
  vdFlagCaptureAlwaysUseTimeBase = 1u << 5,
  vdFlagCaptureSetSettingsBegin = 1u << 6,
  vdFlagCaptureSetSettingsEnd = 1u << 7,
};

// Codec information flags of a compression-list entry.
enum : UInt32 {
  codecInfoDoes32 = 1u << 5,   // compress flags: takes 32-bit pixels
  codecInfoDepth24 = 1u << 6,  // format flags: 24-bit colour
};

// A graphics device; digitizers here draw into none, so these stay null.
typedef struct PlatformGraphicsDevice** GDHandle;

// What a digitizer can do and what it does now (VDGetDigitizerInfo).
struct DigitizerInfo {
  SInt16 vdigType;
  UInt32 inputCapabilityFlags;
  UInt32 outputCapabilityFlags;
  UInt32 inputCurrentFlags;
  UInt32 outputCurrentFlags;
  SInt16 slot;
  GDHandle gdh;
  GDHandle maskgdh;
  SInt16 minDestHeight;
  SInt16 minDestWidth;
  SInt16 maxDestHeight;
  SInt16 maxDestWidth;
  SInt16 blendLevels;
  SInt32 reserved;
};

static_assert(offsetof(DigitizerInfo, inputCapabilityFlags) == 4);
static_assert(offsetof(DigitizerInfo, slot) == 20);
static_assert(offsetof(DigitizerInfo, gdh) == 24);
static_assert(offsetof(DigitizerInfo, minDestHeight) == 40);
static_assert(offsetof(DigitizerInfo, blendLevels) == 48);
static_assert(offsetof(DigitizerInfo, reserved) == 52);
static_assert(sizeof(DigitizerInfo) == 56);

// One compression type a digitizer offers (VDGetCompressionTypes fills a
// handle with an array of these).
struct VDCompressionList {
  UInt32 codec;  // the codec component; 0 for none
  CodecType cType;
  Str63 typeName;  // Pascal strings
  Str63 name;
  UInt32 formatFlags;
  UInt32 compressFlags;
  UInt32 reserved;
};

static_assert(offsetof(VDCompressionList, cType) == 4);
static_assert(offsetof(VDCompressionList, typeName) == 8);
static_assert(offsetof(VDCompressionList, name) == 72);
static_assert(offsetof(VDCompressionList, formatFlags) == 136);
static_assert(offsetof(VDCompressionList, compressFlags) == 140);
static_assert(offsetof(VDCompressionList, reserved) == 144);
static_assert(sizeof(VDCompressionList) == 148, "the record of the 32-bit design");

typedef VDCompressionList* VDCompressionListPtr;
typedef VDCompressionList** VDCompressionListHandle;

#endif  // PLATFORM_VIDEODIGITIZER_H_
