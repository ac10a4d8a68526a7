// The platform's status codes that this system produces or passes on, and
// their texts for log lines.
//
// Threading: plain constants and pure functions; any thread.
#ifndef PLATFORM_STATUS_H_
#define PLATFORM_STATUS_H_

#include "platform/types.h"

// noErr (0) is defined in platform/types.h.
enum PlatformStatusCode : OSStatus {
  genericFailureErr = -1,  // A failure with no more specific code.
  openErr = -23,
  paramErr = -50,
  memROZErr = -99,
  memFullErr = -108,
  nilHandleErr = -109,
  memAdrErr = -110,
  memWZErr = -111,
  memPurErr = -112,
  memAZErr = -113,
  memPCErr = -114,
  memBCErr = -115,
  memSCErr = -116,
  memLockedErr = -117,
  resNotFound = -192,
  videoOutputInUseErr = -2090,
  digiUnimpErr = -2201,
  qtParamErr = -2202,
  badCallOrderErr = -2209,
  invalidComponentID = -3000,
  gestaltUndefSelectorErr = -5551,
  noCodecErr = -8961,
  badComponentSelector = static_cast<OSStatus>(0x80008002),
};

// The constant's name, e.g. "paramErr" for -50; NULL for a code not listed
// above. The text is static; do not free it.
const char* GetMacOSStatusErrorString(OSStatus err);

// A one-line description, e.g. "Invalid parameter" for -50; NULL for a code
// not listed above. The text is static; do not free it.
const char* GetMacOSStatusCommentString(OSStatus err);

#endif  // PLATFORM_STATUS_H_
