#include "platform/events.h"

#include <atomic>
#include <new>

struct PlatformEvent {
  UInt32 event_class;
  UInt32 kind;
  EventTime when;
  EventAttributes flags;
  std::atomic<long> retain_count;
};

OSStatus CreateEvent(CFAllocatorRef /*inAllocator*/, UInt32 inClassID, UInt32 kind, EventTime when,
                     EventAttributes flags, EventRef* outEvent) {
  if (outEvent == nullptr) return paramErr;
  PlatformEvent* event = new (std::nothrow) PlatformEvent{inClassID, kind, when, flags, {1}};
  if (event == nullptr) return memFullErr;
  *outEvent = event;
  return noErr;
}

EventRef RetainEvent(EventRef inEvent) {
  if (inEvent != nullptr) inEvent->retain_count.fetch_add(1, std::memory_order_relaxed);
  return inEvent;
}

void ReleaseEvent(EventRef inEvent) {
  if (inEvent == nullptr) return;
  // acq_rel so that the thread that frees the event sees every write made
  // by the threads that released it before.
  if (inEvent->retain_count.fetch_sub(1, std::memory_order_acq_rel) == 1) delete inEvent;
}

UInt32 GetEventClass(EventRef inEvent) { return inEvent != nullptr ? inEvent->event_class : 0; }

UInt32 GetEventKind(EventRef inEvent) { return inEvent != nullptr ? inEvent->kind : 0; }

long PlatformGetEventRetainCount(EventRef inEvent) {
  return inEvent != nullptr ? inEvent->retain_count.load(std::memory_order_relaxed) : 0;
}
