// The memory manager's relocatable blocks (handles) and the Pascal-string
// copies that go with them.
//
// A Handle points at a master pointer, and the master pointer points at the
// block. The block may move when it is resized (the master pointer follows
// it), so callers keep the Handle and dereference it afresh after every call
// that can resize. Master pointers are never given back to the system, and a
// disposed one is not reused before 1024 more handles have been disposed
// after it, so a stale or doubly disposed Handle is recognised (memWZErr)
// instead of corrupting memory for all that time. Any pointer that did not come from
// NewHandle/NewHandleClear is likewise refused with memWZErr, never
// dereferenced.
//
// Every call below records its outcome for MemError: noErr, paramErr (-50)
// for a negative size, memFullErr (-108) when the block cannot be allocated
// (blocks are limited to kMaxHandleSize bytes, the largest block of the 32-bit
// design), nilHandleErr (-109) for a NULL Handle or a NULL master pointer, and
// memWZErr (-111) for a Handle that is not a live handle of this manager.
//
// Threading: every function may be called from any thread; the bookkeeping is
// under one lock, and MemError reports the calling thread's own last call.
// The bytes of a block are the caller's: two threads that touch the same
// block, or resize it while another reads it, must agree among themselves.
#ifndef PLATFORM_MEMORY_H_
#define PLATFORM_MEMORY_H_

#include <string>

#include "platform/types.h"

// The largest block a handle can hold: 2^31 - 1 bytes.
inline constexpr Size kMaxHandleSize = 0x7FFFFFFF;

// A new handle of `byteCount` bytes, or NULL on failure (MemError tells why:
// paramErr for a negative count, memFullErr above kMaxHandleSize or when the
// system has no memory). The block's contents are undefined. A count of 0
// gives a live handle with an empty block (its master pointer is not NULL).
// The caller owns the handle and disposes of it with DisposeHandle.
Handle NewHandle(Size byteCount);

// As NewHandle, with the block filled with zeros.
Handle NewHandleClear(Size byteCount);

// Frees the block and its master pointer; `h` is dead afterwards. MemError:
// noErr, nilHandleErr for NULL, memWZErr for a handle that is not live (for
// instance one disposed before); in those cases nothing is freed.
void DisposeHandle(Handle h);

// The size of the block in bytes. Returns 0 when `h` is NULL, its master
// pointer is NULL, or it is not a live handle (MemError tells which).
Size GetHandleSize(Handle h);

// Grows or shrinks the block to `newSize` bytes, keeping the first
// min(old, new) bytes. Bytes added by growing are zero. The block may move:
// *h is updated and earlier copies of *h are invalid. On failure (MemError:
// paramErr, memFullErr, nilHandleErr, memWZErr) the handle, its size and its
// contents are unchanged.
void SetHandleSize(Handle h, Size newSize);

// The outcome of the calling thread's last memory-manager call above; noErr
// before its first call.
OSErr MemError(void);

// Test hook, not part of the foreign platform: the number of live handles in
// the process, so that a test can tell that a call left nothing behind.
#if defined(PLATFORM_TEST_HOOKS)
long PlatformLiveHandleCountForTesting();
#endif

// Pascal strings: a length byte followed by that many bytes of text.

// Copies the C string `src` into `dst` as a Pascal string, cut after 255
// bytes (a byte count: a multi-byte character may be cut). `dst` may be
// `src` itself or overlap it. A NULL src gives the empty string; a NULL dst
// does nothing.
void c2pstrcpy(Str255 dst, const char* src);

// Copies the Pascal string `src` (length byte and text) into `dst` and
// returns dst. `dst` must hold src[0] + 1 bytes; the two may overlap. A NULL
// src gives the empty string; a NULL dst does nothing (and returns NULL).
StringPtr PLstrcpy(StringPtr dst, ConstStr255Param src);

// The text of a Pascal string as a std::string; empty for NULL.
std::string PlatformPascalToString(ConstStr255Param src);

#endif  // PLATFORM_MEMORY_H_
