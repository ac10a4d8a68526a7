#include "platform/memory.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <unordered_set>

#include "platform/status.h"

namespace {

constexpr size_t kQuarantinedSlots = 1024;

// One master pointer and what the manager knows about its block. `master`
// comes first, so a Handle is the address of its slot.
struct MasterSlot {
  Ptr master;
  // The block as allocated; kept apart from `master` so that a caller who
  // clears *h cannot make the manager lose (or free a wrong) block.
  char* block;
  Size size;
  bool live;
};

struct HandleRegistry {
  std::mutex mutex;
  // Every slot ever made; a deque keeps their addresses stable. Guarded by
  // mutex, as is everything below.
  std::deque<MasterSlot> slots;
  // The addresses of all slots, so that a foreign pointer is refused before
  // it is dereferenced.
  std::unordered_set<const void*> known;
  // Disposed slots, longest-disposed first. The front slot is reused only
  // when more than kQuarantinedSlots wait behind it, so a disposed handle
  // stays recognisable until that many more have been disposed.
  std::deque<MasterSlot*> free_queue;
  long live_count = 0;
};

// Never destroyed: handles may be disposed during the static destruction of
// other libraries (a component closed at exit, say).
HandleRegistry& Registry() {
  static HandleRegistry* registry = new HandleRegistry;
  return *registry;
}

thread_local OSErr t_mem_error = noErr;

OSErr SetMemError(OSErr err) {
  t_mem_error = err;
  return err;
}

// The slot of a live handle, or NULL with the error that describes `h`.
// Caller holds the registry lock.
MasterSlot* FindLiveSlot(HandleRegistry& registry, Handle h, OSErr* err) {
  if (h == nullptr) {
    *err = nilHandleErr;
    return nullptr;
  }
  if (registry.known.count(h) == 0) {
    *err = memWZErr;
    return nullptr;
  }
  MasterSlot* slot = reinterpret_cast<MasterSlot*>(h);
  if (!slot->live) {
    *err = memWZErr;
    return nullptr;
  }
  *err = noErr;
  return slot;
}

// malloc refuses nothing below its own limits, so the 32-bit design's largest
// block is enforced here; an empty block still gets a real address.
OSErr CheckRequestedSize(Size byte_count) {
  if (byte_count < 0) return paramErr;
  if (byte_count > kMaxHandleSize) return memFullErr;
  return noErr;
}

Handle NewHandleWithBlock(Size byte_count, bool clear) {
  OSErr err = CheckRequestedSize(byte_count);
  if (err != noErr) {
    SetMemError(err);
    return nullptr;
  }
  size_t bytes = std::max<size_t>(static_cast<size_t>(byte_count), 1);
  char* block = static_cast<char*>(clear ? calloc(1, bytes) : malloc(bytes));
  if (block == nullptr) {
    SetMemError(memFullErr);
    return nullptr;
  }
  HandleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  MasterSlot* slot;
  if (registry.free_queue.size() > kQuarantinedSlots) {
    slot = registry.free_queue.front();
    registry.free_queue.pop_front();
  } else {
    registry.slots.emplace_back();
    slot = &registry.slots.back();
    registry.known.insert(slot);
  }
  slot->master = block;
  slot->block = block;
  slot->size = byte_count;
  slot->live = true;
  ++registry.live_count;
  SetMemError(noErr);
  return &slot->master;
}

}  // namespace

Handle NewHandle(Size byteCount) { return NewHandleWithBlock(byteCount, false); }

Handle NewHandleClear(Size byteCount) { return NewHandleWithBlock(byteCount, true); }

void DisposeHandle(Handle h) {
  HandleRegistry& registry = Registry();
  char* block = nullptr;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    OSErr err;
    MasterSlot* slot = FindLiveSlot(registry, h, &err);
    if (slot == nullptr) {
      SetMemError(err);
      return;
    }
    block = slot->block;
    slot->master = nullptr;
    slot->block = nullptr;
    slot->size = 0;
    slot->live = false;
    registry.free_queue.push_back(slot);
    --registry.live_count;
  }
  free(block);
  SetMemError(noErr);
}

Size GetHandleSize(Handle h) {
  HandleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  OSErr err;
  MasterSlot* slot = FindLiveSlot(registry, h, &err);
  if (slot == nullptr) {
    SetMemError(err);
    return 0;
  }
  if (slot->master == nullptr) {
    SetMemError(nilHandleErr);
    return 0;
  }
  SetMemError(noErr);
  return slot->size;
}

void SetHandleSize(Handle h, Size newSize) {
  HandleRegistry& registry = Registry();
  // Held across realloc so that no other thread disposes of the block while
  // it moves.
  std::lock_guard<std::mutex> lock(registry.mutex);
  OSErr err;
  MasterSlot* slot = FindLiveSlot(registry, h, &err);
  if (slot == nullptr) {
    SetMemError(err);
    return;
  }
  if (slot->master == nullptr) {
    SetMemError(nilHandleErr);
    return;
  }
  err = CheckRequestedSize(newSize);
  if (err != noErr) {
    SetMemError(err);
    return;
  }
  size_t bytes = std::max<size_t>(static_cast<size_t>(newSize), 1);
  char* block = static_cast<char*>(realloc(slot->block, bytes));
  if (block == nullptr) {
    SetMemError(memFullErr);  // realloc left the old block in place
    return;
  }
  if (newSize > slot->size) memset(block + slot->size, 0, newSize - slot->size);
  slot->block = block;
  slot->master = block;
  slot->size = newSize;
  SetMemError(noErr);
}

OSErr MemError(void) { return t_mem_error; }

#if defined(PLATFORM_TEST_HOOKS)
long PlatformLiveHandleCountForTesting() {
  HandleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.live_count;
}
#endif

void c2pstrcpy(Str255 dst, const char* src) {
  if (dst == nullptr) return;
  size_t length = src == nullptr ? 0 : strnlen(src, 255);
  if (length > 0) memmove(dst + 1, src, length);
  dst[0] = static_cast<unsigned char>(length);
}

StringPtr PLstrcpy(StringPtr dst, ConstStr255Param src) {
  if (dst == nullptr) return nullptr;
  if (src == nullptr) {
    dst[0] = 0;
    return dst;
  }
  memmove(dst, src, static_cast<size_t>(src[0]) + 1);
  return dst;
}

std::string PlatformPascalToString(ConstStr255Param src) {
  if (src == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(src + 1), src[0]);
}
