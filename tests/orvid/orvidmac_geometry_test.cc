// The camera component's answers about itself, as a host gets them through
// the component manager: geometry and inputs, the digitizer information and
// flags, capture state changes, and the compression settings, image
// description and compression types. Each call's result, what it wrote
// through its out-parameters and its entry line in the log are checked.
#include <dlfcn.h>
#include <string.h>

#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/components.h"
#include "platform/imagedescription.h"
#include "platform/memory.h"
#include "platform/timebase.h"
#include "platform/videodigitizer.h"
#include "tests/orvid/orvid_host_fixture.h"

namespace {

using namespace orvid_test;  // NOLINT: the fixture and its helpers

constexpr long kBadCallOrder = -2209;
constexpr long kBadParameter = -2202;
constexpr OSType kJ420 = 0x6A343230;  // 'j420'
constexpr OSType kYuv2 = 0x79757632;  // 'yuv2'

Rect MakeRect(int16_t top, int16_t left, int16_t bottom, int16_t right) {
  return Rect{top, left, bottom, right};
}

bool SameRect(const Rect& a, const Rect& b) {
  return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
}

std::string Describe(const Rect& r) {
  return "top " + std::to_string(r.top) + " left " + std::to_string(r.left) + " bottom " +
         std::to_string(r.bottom) + " right " + std::to_string(r.right);
}

#define EXPECT_RECT(expected, actual) \
  EXPECT_TRUE(SameRect(expected, actual)) << Describe(expected) << " vs " << Describe(actual)

std::string PascalText(const std::vector<uint8_t>& bytes, size_t offset = 0) {
  if (offset >= bytes.size()) return "<none>";
  const size_t length = bytes[offset];
  if (offset + 1 + length > bytes.size()) return "<cut>";
  return std::string(bytes.begin() + offset + 1, bytes.begin() + offset + 1 + length);
}

// The value of the property atom `id` behind the 86-byte record of an image
// description, as its bytes (big-endian, as the atoms carry them); empty
// when the description has no such atom.
std::vector<uint8_t> PropertyAtom(const std::vector<uint8_t>& description, OSType id) {
  size_t offset = sizeof(ImageDescription);
  while (offset + 8 <= description.size()) {
    const uint32_t size = (description[offset] << 24) | (description[offset + 1] << 16) |
                          (description[offset + 2] << 8) | description[offset + 3];
    const uint32_t atom = (description[offset + 4] << 24) | (description[offset + 5] << 16) |
                          (description[offset + 6] << 8) | description[offset + 7];
    if (size < 8 || offset + size > description.size()) break;
    if (atom == id) {
      return std::vector<uint8_t>(description.begin() + offset + 8,
                                  description.begin() + offset + size);
    }
    offset += size;
  }
  return {};
}

int32_t BigEndian32(const std::vector<uint8_t>& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) return -1;
  return static_cast<int32_t>((bytes[offset] << 24) | (bytes[offset + 1] << 16) |
                              (bytes[offset + 2] << 8) | bytes[offset + 3]);
}

class OrvidGeometryTest : public OrvidHostTest {
 protected:
  // A host with an open instance, everything logged.
  Host& OpenCamera() {
    LogEverything();
    Host& host = StartHost("Safari");
    EXPECT_EQ(0, host.Open(0));
    return host;
  }

  // The log lines written since the last call (the first call: since Open).
  std::vector<std::string> NewLines() {
    const std::vector<std::string> log = Log();
    std::vector<std::string> lines;
    if (seen_ < log.size()) lines.assign(log.begin() + seen_, log.end());
    seen_ = log.size();
    return lines;
  }

  // Forgets the lines written so far.
  void SkipLines() { NewLines(); }

  Rect GetRect(Host& host, int selector, const std::string& before = "") {
    const CallAnswer answer = host.CallWith(0, selector, before + PresetArgument(sizeof(Rect)));
    EXPECT_EQ(0, answer.result);
    return ReadAs<Rect>(answer.outputs.at(0));
  }

  void CloseCamera(Host& host) {
    EXPECT_EQ(0, host.Close(0));
    ExpectCleanExit(host);
  }

  size_t seen_ = 0;
};

// ---------------------------------------------------------------------------
// Rectangles.

TEST_F(OrvidGeometryTest, RectanglesAfterOpenDescribeThe320x240Picture) {
  Host& host = OpenCamera();
  SkipLines();
  EXPECT_RECT(MakeRect(0, 0, 240, 320), GetRect(host, kVDGetDigitizerRectSelect));
  EXPECT_RECT(MakeRect(0, 0, 240, 320), GetRect(host, kVDGetMaxSrcRectSelect, "s16:0 "));
  EXPECT_RECT(MakeRect(0, 0, 240, 320), GetRect(host, kVDGetActiveSrcRectSelect, "s16:1 "));
  EXPECT_RECT(MakeRect(0, 0, 0, 0), GetRect(host, kVDGetVBlankRectSelect, "s16:0 "));
  const std::vector<std::string> expected = {
      "Orvid 0: OrvidGetDigitizerRect: 320x240",
      "Orvid 0: OrvidGetMaxSrcRect: ",
      "Orvid 0: OrvidGetActiveSrcRect: {0, 0, 320, 240}",
      "Orvid 0: OrvidGetVBlankRect: ",
  };
  EXPECT_EQ(expected, NewLines());
  CloseCamera(host);
}

TEST_F(OrvidGeometryTest, DigitizerRectangleSetsTheActiveRectangleButNotTheLargest) {
  Host& host = OpenCamera();
  SkipLines();
  EXPECT_EQ(
      0,
      host.CallWith(0, kVDSetDigitizerRectSelect, BytesArgument(MakeRect(0, 0, 120, 160))).result);
  EXPECT_RECT(MakeRect(0, 0, 120, 160), GetRect(host, kVDGetDigitizerRectSelect));
  EXPECT_RECT(MakeRect(0, 0, 120, 160), GetRect(host, kVDGetActiveSrcRectSelect, "s16:0 "));
  EXPECT_RECT(MakeRect(0, 0, 240, 320), GetRect(host, kVDGetMaxSrcRectSelect, "s16:0 "));
  const std::vector<std::string> expected = {
      "Orvid 0: OrvidSetDigitizerRect: {0, 0, 160, 120}",
      "Orvid 0: OrvidGetDigitizerRect: 160x120",
      "Orvid 0: OrvidGetActiveSrcRect: {0, 0, 160, 120}",
      "Orvid 0: OrvidGetMaxSrcRect: ",
  };
  EXPECT_EQ(expected, NewLines());

  // The largest frame the buffer holds, and a one-row frame, are accepted.
  for (const Rect& rect : {MakeRect(0, 0, 480, 640), MakeRect(0, 0, 1, 32767)}) {
    EXPECT_EQ(0, host.CallWith(0, kVDSetDigitizerRectSelect, BytesArgument(rect)).result);
    EXPECT_RECT(rect, GetRect(host, kVDGetDigitizerRectSelect));
  }
  CloseCamera(host);
}

TEST_F(OrvidGeometryTest, RefusesDigitizerRectanglesThatCannotBeDelivered) {
  Host& host = OpenCamera();
  ASSERT_EQ(
      0,
      host.CallWith(0, kVDSetDigitizerRectSelect, BytesArgument(MakeRect(0, 0, 120, 160))).result);
  SkipLines();
  const struct {
    Rect rect;
    const char* line;
  } refused[] = {
      {MakeRect(10, 0, 240, 320), "{0, 10, 320, 240}"},  // not at the top
      {MakeRect(0, 5, 240, 320), "{5, 0, 320, 240}"},    // not at the left
      {MakeRect(0, 0, 0, 320), "{0, 0, 320, 0}"},        // no rows
      {MakeRect(0, 0, 240, 0), "{0, 0, 0, 240}"},        // no columns
      {MakeRect(0, 0, -240, 320), "{0, 0, 320, -240}"},  // upside down
      {MakeRect(0, 0, 240, -320), "{0, 0, -320, 240}"},  // mirrored
      {MakeRect(0, 0, 481, 640), "{0, 0, 640, 481}"},    // one row too many
      {MakeRect(0, 0, 480, 641), "{0, 0, 641, 480}"},    // one column too many
      {MakeRect(0, 0, 32767, 32767), "{0, 0, 32767, 32767}"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(kBadParameter,
              host.CallWith(0, kVDSetDigitizerRectSelect, BytesArgument(c.rect)).result);
    // The entry line shows the rectangle refused; the rectangle stays.
    EXPECT_EQ(std::vector<std::string>{"Orvid 0: OrvidSetDigitizerRect: " + std::string(c.line)},
              NewLines());
    EXPECT_RECT(MakeRect(0, 0, 120, 160), GetRect(host, kVDGetDigitizerRectSelect));
    SkipLines();
  }
  CloseCamera(host);
}

// ---------------------------------------------------------------------------
// Digitizer information and flags.

TEST_F(OrvidGeometryTest, CurrentFlagsNeedTheDigitizerInformationFirst) {
  Host& host = OpenCamera();
  SkipLines();
  const std::string flags = PresetArgument(4) + " " + PresetArgument(4);
  CallAnswer answer = host.CallWith(0, kVDGetCurrentFlagsSelect, flags);
  EXPECT_EQ(kBadCallOrder, answer.result);
  EXPECT_EQ(0xAAAAAAAAu, ReadAs<uint32_t>(answer.outputs.at(0)));  // nothing written
  EXPECT_EQ(0xAAAAAAAAu, ReadAs<uint32_t>(answer.outputs.at(1)));

  answer = host.CallWith(0, kVDGetDigitizerInfoSelect, PresetArgument(sizeof(DigitizerInfo)));
  ASSERT_EQ(0, answer.result);
  const std::vector<uint8_t>& record = answer.outputs.at(0);
  ASSERT_EQ(sizeof(DigitizerInfo), record.size());
  // Field by field, so that the padding is seen too: all of it is zeroed.
  DigitizerInfo expected;
  memset(&expected, 0, sizeof(expected));
  expected.vdigType = 0;
  expected.inputCapabilityFlags = 0x00001403;
  expected.outputCapabilityFlags = 0x98000120;
  expected.inputCurrentFlags = 0x80001403;
  expected.outputCurrentFlags = 0x98000120;
  expected.minDestHeight = 240;
  expected.minDestWidth = 320;
  expected.maxDestHeight = 240;
  expected.maxDestWidth = 320;
  EXPECT_EQ(Hex(&expected, sizeof(expected)), Hex(record.data(), record.size()));

  answer = host.CallWith(0, kVDGetCurrentFlagsSelect, flags);
  EXPECT_EQ(0, answer.result);
  EXPECT_EQ(0x80001403u, ReadAs<uint32_t>(answer.outputs.at(0)));
  EXPECT_EQ(0x98000120u, ReadAs<uint32_t>(answer.outputs.at(1)));
  const std::vector<std::string> lines = {
      "Orvid 0: OrvidGetCurrentFlags: ",
      "Orvid 0: OrvidGetDigitizerInfo: ",
      "Orvid 0: OrvidGetCurrentFlags: ",
  };
  EXPECT_EQ(lines, NewLines());
  CloseCamera(host);
}

// ---------------------------------------------------------------------------
// Inputs.

TEST_F(OrvidGeometryTest, HasOneYuvComponentInput) {
  Host& host = OpenCamera();
  SkipLines();
  CallAnswer answer = host.CallWith(0, kVDGetNumberOfInputsSelect, PresetArgument(2));
  EXPECT_EQ(0, answer.result);
  EXPECT_EQ(0, ReadAs<int16_t>(answer.outputs.at(0)));  // the highest input number

  answer = host.CallWith(0, kVDGetInputFormatSelect, "s16:0 " + PresetArgument(2));
  EXPECT_EQ(0, answer.result);
  EXPECT_EQ(4, ReadAs<int16_t>(answer.outputs.at(0)));  // YUV component
  answer = host.CallWith(0, kVDGetInputFormatSelect, "s16:1 " + PresetArgument(2));
  EXPECT_EQ(kBadParameter, answer.result);
  EXPECT_EQ(static_cast<int16_t>(0xAAAA), ReadAs<int16_t>(answer.outputs.at(0)));

  EXPECT_EQ(0, host.CallWith(0, kVDSetInputSelect, "s16:0").result);
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDSetInputSelect, "s16:1").result);
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDSetInputSelect, "s16:-1").result);

  answer = host.CallWith(0, kVDGetInputSelect, PresetArgument(2));
  EXPECT_EQ(0, answer.result);
  EXPECT_EQ(0, ReadAs<int16_t>(answer.outputs.at(0)));

  answer = host.CallWith(0, kVDGetInputNameSelect, "s32:0 " + PresetArgument(256));
  EXPECT_EQ(0, answer.result);
  EXPECT_EQ("Quorvex Camera Adapter 0", PascalText(answer.outputs.at(0)));
  // Input is a 32-bit number: 0x10000 is not input 0.
  for (const char* input : {"s32:1", "s32:0x10000", "s32:-1"}) {
    SCOPED_TRACE(input);
    answer =
        host.CallWith(0, kVDGetInputNameSelect, std::string(input) + " " + PresetArgument(256));
    EXPECT_EQ(kBadParameter, answer.result);
    EXPECT_EQ(0xAA, answer.outputs.at(0).at(0));
  }

  answer = host.CallWith(0, kVDGetDeviceNameAndFlagsSelect,
                         PresetArgument(256) + " " + PresetArgument(4));
  EXPECT_EQ(0, answer.result);
  EXPECT_EQ("Quorvex Camera Adapter 0", PascalText(answer.outputs.at(0)));  // string list item 1
  EXPECT_EQ(1u, ReadAs<uint32_t>(answer.outputs.at(1)));  // show the inputs as devices

  std::vector<std::string> expected = {"Orvid 0: OrvidGetNumberOfInputs: "};
  for (int i = 0; i < 2; ++i) expected.push_back("Orvid 0: OrvidGetInputFormat: ");
  for (int i = 0; i < 3; ++i) expected.push_back("Orvid 0: OrvidSetInput: ");
  expected.push_back("Orvid 0: OrvidGetInput: ");
  for (int i = 0; i < 4; ++i) expected.push_back("Orvid 0: OrvidGetInputName: ");
  expected.push_back("Orvid 0: OrvidGetDeviceNameAndFlags: ");
  EXPECT_EQ(expected, NewLines());
  CloseCamera(host);
}

TEST_F(OrvidGeometryTest, AcceptsTheNtscAndPalStandardsOnly) {
  Host& host = OpenCamera();
  SkipLines();
  // 0 NTSC, 1 PAL, 3 the second NTSC code; 2 SECAM and anything above 3,
  // compared unsigned, so that 0xFFFF (-1 as it travels) is refused too.
  for (int standard : {0, 1, 3}) {
    EXPECT_EQ(0,
              host.CallWith(0, kVDSetInputStandardSelect, "s16:" + std::to_string(standard)).result)
        << standard;
  }
  for (int standard : {2, 4, 0x7FFF, 0x8000, 0xFFFF}) {
    EXPECT_EQ(kBadParameter,
              host.CallWith(0, kVDSetInputStandardSelect, "s16:" + std::to_string(standard)).result)
        << standard;
  }
  EXPECT_EQ(std::vector<std::string>(8, "Orvid 0: OrvidSetInputStandard: "), NewLines());
  CloseCamera(host);
}

// ---------------------------------------------------------------------------
// Capture state.

TEST_F(OrvidGeometryTest, CaptureStateChangesLogEveryNamedFlag) {
  Host& host = OpenCamera();
  SkipLines();
  const std::string entry = "Orvid 0: OrvidCaptureStateChanging: ";
  EXPECT_EQ(0, host.CallWith(0, kVDCaptureStateChangingSelect, "s32:0x03").result);
  EXPECT_EQ((std::vector<std::string>{entry, "Orvid 0: vdFlagCaptureStarting",
                                      "Orvid 0: vdFlagCaptureStopping"}),
            NewLines());
  EXPECT_EQ(0, host.CallWith(0, kVDCaptureStateChangingSelect, "s32:0").result);
  EXPECT_EQ(std::vector<std::string>{entry}, NewLines());
  EXPECT_EQ(0, host.CallWith(0, kVDCaptureStateChangingSelect, "s32:0x100").result);
  EXPECT_EQ(std::vector<std::string>{entry}, NewLines());
  // Every named bit, lowest first; the unnamed ones say nothing.
  EXPECT_EQ(0, host.CallWith(0, kVDCaptureStateChangingSelect, "s32:0xFFFFFFFF").result);
  EXPECT_EQ((std::vector<std::string>{
                entry,
                "Orvid 0: vdFlagCaptureStarting",
                "Orvid 0: vdFlagCaptureStopping",
                "Orvid 0: vdFlagCaptureIsForPreview",
                "Orvid 0: vdFlagCaptureIsForRecord",
                "Orvid 0: vdFlagCaptureLowLatency",
                "Orvid 0: vdFlagCaptureAlwaysUseTimeBase",
                "Orvid 0: vdFlagCaptureSetSettingsBegin",
                "Orvid 0: vdFlagCaptureSetSettingsEnd",
            }),
            NewLines());
  CloseCamera(host);
}

TEST_F(OrvidGeometryTest, CaptureStateLinesAreVerboseOnly) {
  SetPreference("orvid_log_path", log_path_);  // the default level, LS_INFO
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  const size_t lines = Log().size();
  EXPECT_EQ(0, host.CallWith(0, kVDCaptureStateChangingSelect, "s32:0xFF").result);
  EXPECT_EQ(lines, Log().size());
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
}

// ---------------------------------------------------------------------------
// Compression settings.

TEST_F(OrvidGeometryTest, CompressionTypeIsJ420OrAny) {
  Host& host = OpenCamera();
  SkipLines();
  const std::string rest =
      " s16:0 " + BytesArgument(MakeRect(0, 0, 240, 320)) + " s32:0x200 s32:0x200 s32:10";
  EXPECT_EQ(0, host.CallWith(0, kVDSetCompressionSelect, "s32:0" + rest).result);
  EXPECT_EQ(
      0, host.CallWith(0, kVDSetCompressionSelect, "s32:" + std::to_string(kJ420) + rest).result);
  EXPECT_EQ(
      -8961,
      host.CallWith(0, kVDSetCompressionSelect, "s32:" + std::to_string(kYuv2) + rest).result);
  // Bounds may be absent.
  EXPECT_EQ(
      0,
      host.CallWith(0, kVDSetCompressionSelect, "s32:0 s16:24 ptr:null s32:0 s32:0 s32:0").result);
  EXPECT_EQ(std::vector<std::string>(4, "Orvid 0: OrvidSetCompression: "), NewLines());

  EXPECT_EQ(0, host.CallWith(0, kVDSetCompressionOnOffSelect, "u8:1").result);
  EXPECT_EQ(-2201, host.CallWith(0, kVDSetCompressionOnOffSelect, "u8:0").result);
  EXPECT_EQ(0, host.CallWith(0, kVDResetCompressSequenceSelect, "").result);
  EXPECT_EQ((std::vector<std::string>{
                "Orvid 0: OrvidSetCompressionOnOff: ", "Orvid 0: OrvidSetCompressionOnOff: ",
                "Orvid 0: OrvidResetCompressSequence: "}),
            NewLines());

  // Frame requests start nothing and say nothing.
  EXPECT_EQ(0, host.CallWith(0, kVDCompressOneFrameAsyncSelect, "").result);
  EXPECT_EQ(0, host.CallWith(0, kVDReleaseCompressBufferSelect, "ptr:null").result);
  EXPECT_EQ(std::vector<std::string>{}, NewLines());
  CloseCamera(host);
}

TEST_F(OrvidGeometryTest, FrameRateIsThirtyOrDefault) {
  Host& host = OpenCamera();
  SkipLines();
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDSetFrameRateSelect, "s32:0x000F0000").result);
  EXPECT_EQ(0, host.CallWith(0, kVDSetFrameRateSelect, "s32:0").result);
  EXPECT_EQ(0, host.CallWith(0, kVDSetFrameRateSelect, "s32:0x001E0000").result);
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDSetFrameRateSelect, "s32:0x001DF852").result);
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDSetFrameRateSelect, "s32:-0x8000").result);
  // The low 16 bits are written as a plain number after the point.
  const std::vector<std::string> expected = {
      "Orvid 0: OrvidSetFrameRate: 15.0",     "Orvid 0: OrvidSetFrameRate: 0.0",
      "Orvid 0: OrvidSetFrameRate: 30.0",     "Orvid 0: OrvidSetFrameRate: 29.63570",
      "Orvid 0: OrvidSetFrameRate: -1.32768",
  };
  EXPECT_EQ(expected, NewLines());
  CloseCamera(host);
}

TEST_F(OrvidGeometryTest, TimeIsToldIn3000ths) {
  Host& host = OpenCamera();
  SkipLines();
  const CallAnswer answer = host.CallWith(0, kVDGetPreferredTimeScaleSelect, PresetArgument(4));
  EXPECT_EQ(0, answer.result);
  EXPECT_EQ(3000, ReadAs<int32_t>(answer.outputs.at(0)));
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDSetTimeBaseSelect, "ptr:null").result);
  EXPECT_EQ(0, host.SetTimeBase(0));
  const std::vector<std::string> expected = {
      "Orvid 0: OrvidGetPreferredTimeScale: ",
      "Orvid 0: OrvidSetTimeBase: ",
      "Orvid 0: OrvidSetTimeBase: ",
  };
  EXPECT_EQ(expected, NewLines());
  CloseCamera(host);
}

// ---------------------------------------------------------------------------
// Image description and compression types.

TEST_F(OrvidGeometryTest, ImageDescriptionIsCopiedWithItsProperties) {
  Host& host = OpenCamera();
  const std::string info = host.Do("info");
  const size_t item2 = info.find("\titem2=");
  ASSERT_NE(std::string::npos, item2) << info;
  const std::string format_name = info.substr(item2 + 7);

  // The digitizer rectangle changes the frames, not their description.
  ASSERT_EQ(
      0,
      host.CallWith(0, kVDSetDigitizerRectSelect, BytesArgument(MakeRect(0, 0, 120, 160))).result);
  SkipLines();
  for (const char* handle : {"handle:0", "handle:400"}) {
    SCOPED_TRACE(handle);
    const CallAnswer answer = host.CallWith(0, kVDGetImageDescriptionSelect, handle);
    ASSERT_EQ(0, answer.result);
    const std::vector<uint8_t>& description = answer.outputs.at(0);
    // The record (86 bytes) and six atoms: 'fiel' 2, 'clap' 32, 'pasp' 8,
    // 'nclc' 10, 'encw' 4 and 'ench' 4 bytes, each behind an 8-byte header.
    ASSERT_EQ(86u + 6 * 8 + 2 + 32 + 8 + 10 + 4 + 4, description.size());
    EXPECT_EQ(86, ReadAs<int32_t>(description, offsetof(ImageDescription, idSize)));
    EXPECT_EQ(kJ420, ReadAs<uint32_t>(description, offsetof(ImageDescription, cType)));
    EXPECT_EQ(2, ReadAs<int16_t>(description, offsetof(ImageDescription, version)));
    EXPECT_EQ(0x71727678, ReadAs<int32_t>(description, offsetof(ImageDescription, vendor)));
    EXPECT_EQ(0x400u, ReadAs<uint32_t>(description, offsetof(ImageDescription, spatialQuality)));
    EXPECT_EQ(24, ReadAs<int16_t>(description, offsetof(ImageDescription, depth)));
    EXPECT_EQ(-1, ReadAs<int16_t>(description, offsetof(ImageDescription, clutID)));
    EXPECT_EQ(format_name, PascalText(description, offsetof(ImageDescription, name)));

    const std::vector<uint8_t> width = PropertyAtom(description, 0x656E6377);   // 'encw'
    const std::vector<uint8_t> height = PropertyAtom(description, 0x656E6368);  // 'ench'
    const std::vector<uint8_t> aspect = PropertyAtom(description, 0x70617370);  // 'pasp'
    const std::vector<uint8_t> field = PropertyAtom(description, 0x6669656C);   // 'fiel'
    EXPECT_EQ(320, BigEndian32(width, 0));
    EXPECT_EQ(240, BigEndian32(height, 0));
    ASSERT_EQ(8u, aspect.size());
    EXPECT_EQ(1, BigEndian32(aspect, 0));
    EXPECT_EQ(1, BigEndian32(aspect, 4));
    EXPECT_EQ((std::vector<uint8_t>{1, 0}), field);  // one progressive field
  }
  EXPECT_EQ(std::vector<std::string>(2, "Orvid 0: OrvidGetImageDescription: "), NewLines());
  CloseCamera(host);
}

TEST_F(OrvidGeometryTest, CompressionTypesAreExactlyOneJ420Entry) {
  Host& host = OpenCamera();
  const std::string info = host.Do("info");
  const std::string format_name = info.substr(info.find("\titem2=") + 7);
  SkipLines();
  // Whatever the handle held before, it comes back holding one entry.
  for (const char* handle : {"handle:0", "handle:148", "handle:1000"}) {
    SCOPED_TRACE(handle);
    const CallAnswer answer = host.CallWith(0, kVDGetCompressionTypesSelect, handle);
    ASSERT_EQ(0, answer.result);
    const std::vector<uint8_t>& entry = answer.outputs.at(0);
    ASSERT_EQ(148u, entry.size());
    EXPECT_EQ(0u, ReadAs<uint32_t>(entry, offsetof(VDCompressionList, codec)));
    EXPECT_EQ(kJ420, ReadAs<uint32_t>(entry, offsetof(VDCompressionList, cType)));
    EXPECT_EQ(format_name, PascalText(entry, offsetof(VDCompressionList, typeName)));
    EXPECT_EQ(format_name, PascalText(entry, offsetof(VDCompressionList, name)));
    EXPECT_EQ(0x40u, ReadAs<uint32_t>(entry, offsetof(VDCompressionList, formatFlags)));
    EXPECT_EQ(0x20u, ReadAs<uint32_t>(entry, offsetof(VDCompressionList, compressFlags)));
    EXPECT_EQ(0u, ReadAs<uint32_t>(entry, offsetof(VDCompressionList, reserved)));
  }
  EXPECT_EQ(std::vector<std::string>(3, "Orvid 0: OrvidGetCompressionTypes: "), NewLines());
  CloseCamera(host);
}

// ---------------------------------------------------------------------------
// Bad calls.

TEST_F(OrvidGeometryTest, NullOutParametersAreRefusedWithoutWriting) {
  Host& host = OpenCamera();
  const struct {
    int selector;
    std::string arguments;
    long result;
  } calls[] = {
      {kVDGetMaxSrcRectSelect, "s16:0 ptr:null", kBadParameter},
      {kVDGetActiveSrcRectSelect, "s16:0 ptr:null", kBadParameter},
      {kVDSetDigitizerRectSelect, "ptr:null", kBadParameter},
      {kVDGetDigitizerRectSelect, "ptr:null", kBadParameter},
      {kVDGetVBlankRectSelect, "s16:0 ptr:null", kBadParameter},
      {kVDGetDigitizerInfoSelect, "ptr:null", kBadParameter},
      {kVDGetNumberOfInputsSelect, "ptr:null", kBadParameter},
      {kVDGetInputFormatSelect, "s16:0 ptr:null", kBadParameter},
      {kVDGetInputSelect, "ptr:null", kBadParameter},
      {kVDGetInputNameSelect, "s32:0 ptr:null", kBadParameter},
      {kVDGetDeviceNameAndFlagsSelect, PresetArgument(256) + " ptr:null", kBadParameter},
      {kVDGetDeviceNameAndFlagsSelect, "ptr:null " + PresetArgument(4), -50},  // the look-up's
      {kVDGetPreferredTimeScaleSelect, "ptr:null", kBadParameter},
      {kVDGetImageDescriptionSelect, "ptr:null", -109},  // the memory manager's
      {kVDGetCompressionTypesSelect, "ptr:null", -109},
      {kVDCompressDoneSelect, "ptr:null buf:8 buf:8 buf:1 buf:24", kBadParameter},
      {kVDCompressDoneSelect, "buf:1 ptr:null buf:8 buf:1 buf:24", kBadParameter},
      {kVDCompressDoneSelect, "buf:1 buf:8 ptr:null buf:1 buf:24", kBadParameter},
  };
  for (const auto& call : calls) {
    SCOPED_TRACE(std::to_string(call.selector) + " " + call.arguments);
    const CallAnswer answer = host.CallWith(0, call.selector, call.arguments);
    EXPECT_EQ(call.result, answer.result);
    for (const std::vector<uint8_t>& output : answer.outputs) {
      if (output.size() == 4 || output.size() == 256) {
        EXPECT_EQ(0xAA, output[0]);
      }
    }
  }
  // The flags too, once they can be asked for.
  ASSERT_EQ(0, host.CallWith(0, kVDGetDigitizerInfoSelect, "buf:56").result);
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDGetCurrentFlagsSelect, "ptr:null buf:4").result);
  EXPECT_EQ(kBadParameter, host.CallWith(0, kVDGetCurrentFlagsSelect, "buf:4 ptr:null").result);
  CloseCamera(host);
}

// Calls the exported handler `name` with a null storage and `args`, typed
// as the handler declares them.
template <class... Args>
long CallWithoutStorage(void* library, const char* name, Args... args) {
  using Handler = ComponentResult (*)(Handle, Args...);
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    ADD_FAILURE() << name << " is not exported";
    return 0;
  }
  return reinterpret_cast<Handler>(symbol)(nullptr, args...);
}

// Every handler called directly, as the bundle exports it, without the
// storage that Open registers: -2209, and nothing written.
TEST(OrvidBundle, HandlersRefuseAMissingStorage) {
  void* library = dlopen(kBundleLibrary, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  Rect rect = {-1, -1, -1, -1};
  DigitizerInfo info;
  memset(&info, 0xAA, sizeof(info));
  SInt16 number = -1;
  UInt32 flags[2] = {0xAAAAAAAA, 0xAAAAAAAA};
  Str255 name = {0xAA};
  TimeScale scale = -1;
  Handle handle = NewHandle(0);
  Boolean ready = 0xAA;
  Ptr data = nullptr;
  long size = -1;
  UInt8 similarity = 0xAA;
  TimeRecord record = {-1, -1, nullptr};
  TimeBase time_base = NewTimeBase();

  const long results[] = {
      CallWithoutStorage(library, "OrvidVersion"),
      CallWithoutStorage(library, "OrvidGetMaxSrcRect", SInt16{0}, &rect),
      CallWithoutStorage(library, "OrvidGetActiveSrcRect", SInt16{0}, &rect),
      CallWithoutStorage(library, "OrvidSetDigitizerRect", &rect),
      CallWithoutStorage(library, "OrvidGetDigitizerRect", &rect),
      CallWithoutStorage(library, "OrvidGetVBlankRect", SInt16{0}, &rect),
      CallWithoutStorage(library, "OrvidGetDigitizerInfo", &info),
      CallWithoutStorage(library, "OrvidGetCurrentFlags", &flags[0], &flags[1]),
      CallWithoutStorage(library, "OrvidGetNumberOfInputs", &number),
      CallWithoutStorage(library, "OrvidGetInputFormat", SInt16{0}, &number),
      CallWithoutStorage(library, "OrvidSetInput", SInt16{0}),
      CallWithoutStorage(library, "OrvidGetInput", &number),
      CallWithoutStorage(library, "OrvidSetInputStandard", SInt16{0}),
      CallWithoutStorage(library, "OrvidSetCompression", OSType{kJ420}, SInt16{0}, &rect, CodecQ{0},
                         CodecQ{0}, SInt32{0}),
      CallWithoutStorage(library, "OrvidCompressOneFrameAsync"),
      CallWithoutStorage(library, "OrvidCompressDone", &ready, &data, &size, &similarity, &record),
      CallWithoutStorage(library, "OrvidReleaseCompressBuffer", Ptr{nullptr}),
      CallWithoutStorage(library, "OrvidGetImageDescription",
                         reinterpret_cast<ImageDescriptionHandle>(handle)),
      CallWithoutStorage(library, "OrvidResetCompressSequence"),
      CallWithoutStorage(library, "OrvidSetCompressionOnOff", Boolean{1}),
      CallWithoutStorage(library, "OrvidGetCompressionTypes",
                         reinterpret_cast<VDCompressionListHandle>(handle)),
      CallWithoutStorage(library, "OrvidSetTimeBase", time_base),
      CallWithoutStorage(library, "OrvidSetFrameRate", Fixed{0}),
      CallWithoutStorage(library, "OrvidGetPreferredTimeScale", &scale),
      CallWithoutStorage(library, "OrvidGetInputName", SInt32{0}, &name[0]),
      CallWithoutStorage(library, "OrvidGetDeviceNameAndFlags", &name[0], &flags[0]),
      CallWithoutStorage(library, "OrvidCaptureStateChanging", UInt32{1}),
  };
  for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(kBadCallOrder, results[i]) << i;

  EXPECT_TRUE(SameRect(MakeRect(-1, -1, -1, -1), rect));
  EXPECT_EQ(0xAA, reinterpret_cast<const unsigned char*>(&info)[0]);
  EXPECT_EQ(-1, number);
  EXPECT_EQ(0xAAAAAAAAu, flags[0]);
  EXPECT_EQ(0xAAAAAAAAu, flags[1]);
  EXPECT_EQ(0xAA, name[0]);
  EXPECT_EQ(-1, scale);
  EXPECT_EQ(0, GetHandleSize(handle));
  EXPECT_EQ(0xAA, ready);
  EXPECT_EQ(-1, size);
  EXPECT_EQ(0xAA, similarity);
  EXPECT_EQ(-1, record.value);
  DisposeHandle(handle);
  DisposeTimeBase(time_base);
}

}  // namespace
