// Platform string and system utilities: conversion between platform strings
// and UTF-8, readable four-character codes, the operating-system version as
// Gestalt reports it, a readable name for an event, and an IPv4 host look-up
// into the caller's storage.
//
// Threading: every function may be called from any thread.  The host look-up
// writes only into the storage its caller passes, so concurrent look-ups
// with separate storage do not interfere.
#ifndef BASE_MACUTILS_H_
#define BASE_MACUTILS_H_

#include <string>

#include "platform/cfstring.h"
#include "platform/events.h"

struct hostent;

namespace lumen_base {

// Makes a new platform string from the UTF-8 bytes of `str8`, all of them,
// embedded NULs included, and stores it in *str16; the caller releases it
// with CFRelease.  False when str16 is null (nothing is stored) or the bytes
// are not valid UTF-8 (*str16 is then null).
bool ToUtf16(const std::string& str8, CFStringRef* str16);

// Replaces *str8 with the UTF-8 text of `str16`, every character of it
// (embedded NULs included, so that ToUtf16 gives the same string back).
// False, leaving *str8 untouched, when either argument is null.
bool ToUtf8(const CFStringRef str16, std::string* str8);

// Appends the four-character code `fc` to *out: quoted when its four bytes,
// most significant first, are all printable ASCII ('sysv' with the quotes),
// else as "0x" and the whole code in lower-case hex without leading zeros
// (1 gives 0x1, 0x61626300 gives 0x61626300).  A null out does nothing.
void DecodeFourChar(unsigned long fc, std::string* out);

// The operating-system version (10, 5, 8 for Mac OS X 10.5.8).  'sysv'
// answers up to 10.3.15 hold the whole version; later systems are asked
// 'sys1', 'sys2' and 'sys3' in turn.  A failed query is logged ("Gestalt('x')"
// with the status) and gives false; outputs written before the failure stay
// written.  False at once, querying nothing, when any pointer is null.
bool GetOSVersion(int* major, int* minor, int* patch);

enum OsVersionName {
  kOsVersionUnknown,  // the version could not be read
  kOsVersionOlder,    // before 10.3
  kOsVersion10_3,
  kOsVersion10_4,
  kOsVersion10_5,
  kOsVersionNewer,  // anything after 10.5, 11 and up included
};

OsVersionName GetOSVersionName();

// "class:kind", each decoded with DecodeFourChar: 'mous':0x1 for a mouse-down.
std::string DecodeEvent(EventRef event);

// Looks `hostname` up as an IPv4 host, writing the entry into *host and
// everything it points to into buf[0..buflen).  Returns host on success;
// its address list holds 4-byte IPv4 addresses in network order.  On failure
// returns null and stores the resolver's code in *herrno (when herrno is not
// null): HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY or NO_DATA as <netdb.h>
// defines them, or NETDB_INTERNAL (-1) for a local failure, with errno
// telling which: ERANGE when buf is too small for the entry (the look-up is
// not retried; pass a larger buffer), EINVAL for a null argument or a
// negative length.  An answer that is not IPv4 is refused with NO_DATA.
struct hostent* SafeGetHostByName(const char* hostname, struct hostent* host, char* buf, int buflen,
                                  int* herrno);

// Releases what SafeGetHostByName returned.  The entry and its data live in
// the storage the caller passed in, so there is nothing to free; the call
// exists so that callers release every entry the same way, whatever the
// look-up.  Accepts null.
void FreeHostEnt(struct hostent* host);

}  // namespace lumen_base

#endif  // BASE_MACUTILS_H_
