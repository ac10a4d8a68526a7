// Carbon events, reduced to what this system reads from them: an event is an
// opaque, reference-counted record of its class (a four-character code such
// as 'mous') and its kind (a small number within the class).  The event loop
// itself is not part of this system; callers that have an event only ask
// what it is, and tests create the events they describe.
//
// Threading: an event is immutable after creation, so any thread may read
// it; its reference count is atomic, so any thread may retain or release it.
// Using an event after its last release is the caller's fault, as on the
// original platform.
#ifndef PLATFORM_EVENTS_H_
#define PLATFORM_EVENTS_H_

#include "platform/cfstring.h"
#include "platform/status.h"
#include "platform/types.h"

typedef struct PlatformEvent* EventRef;
typedef double EventTime;  // seconds since system start-up
typedef UInt32 EventAttributes;

enum {
  kEventClassMouse = 0x6D6F7573,     // 'mous'
  kEventClassKeyboard = 0x6B657962,  // 'keyb'
  kEventMouseDown = 1,
  kEventMouseUp = 2,
  kEventRawKeyDown = 1,
};

// Creates an event of `inClassID` and `kind` with a reference count of 1 in
// *outEvent and returns noErr.  `inAllocator` is the default allocator or
// NULL; `when` and `flags` are kept for the caller's sake and not read back.
// Returns paramErr, leaving nothing behind, when outEvent is NULL.
OSStatus CreateEvent(CFAllocatorRef inAllocator, UInt32 inClassID, UInt32 kind, EventTime when,
                     EventAttributes flags, EventRef* outEvent);

// Adds a reference and returns the event; NULL gives NULL.
EventRef RetainEvent(EventRef inEvent);

// Drops a reference; the last one frees the event.  NULL is a no-op.
void ReleaseEvent(EventRef inEvent);

// The event's class; 0 for NULL.
UInt32 GetEventClass(EventRef inEvent);

// The event's kind; 0 for NULL.
UInt32 GetEventKind(EventRef inEvent);

// The number of references, for tests; 0 for NULL.
long PlatformGetEventRetainCount(EventRef inEvent);

#endif  // PLATFORM_EVENTS_H_
