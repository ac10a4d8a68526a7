#include "base/macutils.h"

#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <sys/socket.h>

#include "base/logging.h"
#include "platform/gestalt.h"

namespace lumen_base {

namespace {

// 'sysv' answers above this (10.3.15) no longer hold the whole version.
constexpr SInt32 kLastPackedVersion = 0x103F;

// Asks Gestalt for `selector`; on failure logs the selector and the status
// and leaves *value untouched.
bool QueryGestalt(OSType selector, int* value) {
  SInt32 response = 0;
  const OSErr err = Gestalt(selector, &response);
  if (err != noErr) {
    std::string name;
    DecodeFourChar(selector, &name);
    LOG_OSSTATUS(LS_ERROR, err) << "Gestalt(" << name << ")";
    return false;
  }
  *value = response;
  return true;
}

// Printable ASCII, decided without the locale so that the output never
// depends on the process's settings.
bool IsPrintableByte(unsigned char c) { return c >= 0x20 && c < 0x7F; }

}  // namespace

bool ToUtf16(const std::string& str8, CFStringRef* str16) {
  if (str16 == nullptr) return false;
  *str16 = CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(str8.data()),
                                   static_cast<CFIndex>(str8.size()), kCFStringEncodingUTF8, false);
  return *str16 != nullptr;
}

bool ToUtf8(const CFStringRef str16, std::string* str8) {
  if (str16 == nullptr || str8 == nullptr) return false;
  // Copy by length rather than through a NUL-terminated buffer: a string
  // holding a NUL would otherwise come back cut short at it.
  std::string text;
  if (!PlatformCFStringCopyUtf8(str16, &text)) return false;
  str8->swap(text);
  return true;
}

void DecodeFourChar(unsigned long fc, std::string* out) {
  if (out == nullptr) return;
  std::string text = "'";
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned char c = static_cast<unsigned char>((fc >> shift) & 0xFF);
    if (!IsPrintableByte(c)) {
      char hex[2 + 2 * sizeof(unsigned long) + 1];
      snprintf(hex, sizeof(hex), "0x%lx", fc);
      out->append(hex);
      return;
    }
    text += static_cast<char>(c);
  }
  text += '\'';
  out->append(text);
}

bool GetOSVersion(int* major, int* minor, int* patch) {
  if (major == nullptr || minor == nullptr || patch == nullptr) return false;
  if (!QueryGestalt(gestaltSystemVersion, major)) return false;
  const int packed = *major;
  if (packed <= kLastPackedVersion) {
    // 0xMMmp: the major number as two decimal digits, then one each.
    *major = ((packed >> 12) & 0xF) * 10 + ((packed >> 8) & 0xF);
    *minor = (packed >> 4) & 0xF;
    *patch = packed & 0xF;
    return true;
  }
  return QueryGestalt(gestaltSystemVersionMajor, major) &&
         QueryGestalt(gestaltSystemVersionMinor, minor) &&
         QueryGestalt(gestaltSystemVersionBugFix, patch);
}

OsVersionName GetOSVersionName() {
  int major = 0;
  int minor = 0;
  int patch = 0;
  if (!GetOSVersion(&major, &minor, &patch)) return kOsVersionUnknown;
  if (major > 10) return kOsVersionNewer;
  if (major < 10) return kOsVersionOlder;
  if (minor <= 2) return kOsVersionOlder;
  switch (minor) {
    case 3:
      return kOsVersion10_3;
    case 4:
      return kOsVersion10_4;
    case 5:
      return kOsVersion10_5;
    default:
      return kOsVersionNewer;
  }
}

std::string DecodeEvent(EventRef event) {
  std::string text;
  DecodeFourChar(GetEventClass(event), &text);
  text += ':';
  DecodeFourChar(GetEventKind(event), &text);
  return text;
}

struct hostent* SafeGetHostByName(const char* hostname, struct hostent* host, char* buf, int buflen,
                                  int* herrno) {
  int local_error = 0;
  int* error = herrno != nullptr ? herrno : &local_error;
  if (hostname == nullptr || host == nullptr || buf == nullptr || buflen < 0) {
    *error = NETDB_INTERNAL;
    errno = EINVAL;
    return nullptr;
  }
  struct hostent* result = nullptr;
  const int rc = gethostbyname_r(hostname, host, buf, static_cast<size_t>(buflen), &result, error);
  if (rc != 0 || result == nullptr) {
    if (rc != 0) {
      // The call failed locally (ERANGE: the buffer is too small); its code
      // is the errno that callers read with NETDB_INTERNAL.
      *error = NETDB_INTERNAL;
      errno = rc;
    } else if (*error == 0) {
      *error = HOST_NOT_FOUND;
    }
    return nullptr;
  }
  // Only IPv4 entries: callers read 4-byte addresses from the list.
  if (result->h_addrtype != AF_INET || result->h_length != 4 || result->h_addr_list == nullptr ||
      result->h_addr_list[0] == nullptr) {
    *error = NO_DATA;
    return nullptr;
  }
  *error = 0;
  return result;
}

void FreeHostEnt(struct hostent* /*host*/) {}

}  // namespace lumen_base
