// A small component for the component manager's tests. Its dispatcher works
// the way a real component's does: a selector table of handlers and layout
// codes, and CallComponentFunctionWithStorageProcInfo to reach them. The
// handlers echo what they receive into a caller's buffer, so the tests see
// every parameter exactly as the handler got it.
//
// Storage: open allocates a TestStorage record (NewHandleClear) and registers
// it; close disposes of it. Setting QUORVEX_TEST_COMPONENT_OPEN_ERROR to a
// number makes open fail with that number after it registered its storage,
// as a real open that fails part-way does.
#include <stdlib.h>

#include <atomic>

#include "platform/components.h"
#include "platform/memory.h"

// Process-wide counters, read by the tests through dlsym. They live as long
// as the library does, so they also tell whether it was loaded more than once.
extern "C" {
__attribute__((visibility("default"))) std::atomic<long> TestComponentStaticInits{0};
__attribute__((visibility("default"))) std::atomic<long> TestComponentOpens{0};
__attribute__((visibility("default"))) std::atomic<long> TestComponentCloses{0};
}

namespace {

[[maybe_unused]] const bool kCountedStaticInit = [] {
  ++TestComponentStaticInits;
  return true;
}();

constexpr ComponentResult kNoStorage = -2209;
constexpr ComponentResult kBadSelector = static_cast<ComponentResult>(0x80008002u);

struct TestStorage {
  ComponentInstance self;
  long instances_at_open;
};

TestStorage* Record(Handle storage) { return reinterpret_cast<TestStorage*>(*storage); }

ComponentResult TestVersion(Handle storage) {
  if (storage == nullptr) return kNoStorage;
  return 0x00010002;
}

ComponentResult TestCanDo(Handle storage, SInt16 selector);

ComponentResult TestClose(Handle storage, ComponentInstance /*self*/) {
  ++TestComponentCloses;
  if (storage != nullptr) DisposeHandle(storage);
  return noErr;
}

ComponentResult TestOpen(Handle /*storage*/, ComponentInstance self) {
  ++TestComponentOpens;
  long instances = CountComponentInstances(reinterpret_cast<Component>(self));
  Handle storage = NewHandleClear(sizeof(TestStorage));
  if (storage == nullptr) return MemError();
  Record(storage)->self = self;
  Record(storage)->instances_at_open = instances;
  SetComponentInstanceStorage(self, storage);
  if (const char* error = getenv("QUORVEX_TEST_COMPONENT_OPEN_ERROR")) {
    return static_cast<ComponentResult>(strtol(error, nullptr, 0));
  }
  return noErr;
}

// Selector 1: one parameter of each size.
ComponentResult TestEchoSizes(Handle storage, long* out, Boolean flag, SInt16 small, SInt32 word,
                              void* pointer) {
  out[0] = flag;
  out[1] = small;
  out[2] = word;
  out[3] = reinterpret_cast<long>(pointer);
  out[4] = reinterpret_cast<long>(storage);
  return 1;
}

// Selector 2: seven parameters after the storage, the last two on the stack.
ComponentResult TestEchoSeven(Handle storage, long* out, SInt16 a, Boolean b, SInt32 c, SInt16 d,
                              Boolean e, void* f) {
  out[0] = a;
  out[1] = b;
  out[2] = c;
  out[3] = d;
  out[4] = e;
  out[5] = reinterpret_cast<long>(f);
  out[6] = reinterpret_cast<long>(storage);
  return 7;
}

// Selector 3: the most parameters a call can carry.
ComponentResult TestEchoTwelve(Handle /*storage*/, long* out, SInt32 p2, SInt32 p3, SInt32 p4,
                               SInt32 p5, SInt32 p6, SInt32 p7, SInt32 p8, SInt32 p9, SInt32 p10,
                               SInt32 p11, SInt32 p12) {
  const SInt32 values[] = {p2, p3, p4, p5, p6, p7, p8, p9, p10, p11, p12};
  for (int i = 0; i < 11; ++i) out[i] = values[i];
  return 12;
}

// Selector 4: what open saw and which instance it was.
ComponentResult TestGetOpenRecord(Handle storage, long* out) {
  if (storage == nullptr) return kNoStorage;
  out[0] = Record(storage)->instances_at_open;
  out[1] = reinterpret_cast<long>(Record(storage)->self);
  return noErr;
}

// Selector 5: a string of the component's own resources, found through the
// instance as the foreign code does it.
ComponentResult TestGetIndString(Handle storage, StringPtr out, SInt16 list, SInt16 index) {
  if (storage == nullptr) return kNoStorage;
  return GetComponentIndString(reinterpret_cast<Component>(Record(storage)->self), out, list,
                               index);
}

// Selector 8: the instance count now.
ComponentResult TestCountNow(Handle storage, long* out) {
  if (storage == nullptr) return kNoStorage;
  *out = CountComponentInstances(reinterpret_cast<Component>(Record(storage)->self));
  return noErr;
}

// Selectors 6 and 7 carry layout codes that the call primitive must refuse;
// reaching this handler is the failure the tests look for.
ComponentResult TestMustNotBeCalled(Handle /*storage*/, long* out) {
  out[0] = 0xBAD;
  return noErr;
}

struct TableEntry {
  ProcPtr handler;
  ProcInfoType layout;
};

#define HANDLER(f) reinterpret_cast<ProcPtr>(f)

// Indexed by selector + 4 for the selectors -4 to -1.
const TableEntry kStandardTable[] = {
    {HANDLER(TestVersion), 0xF0},  // -4: no parameters
    {HANDLER(TestCanDo), 0x2F0},   // -3: selector (16-bit)
    {HANDLER(TestClose), 0x3F0},   // -2: instance
    {HANDLER(TestOpen), 0x3F0},    // -1: instance
};

// Indexed by selector.
const TableEntry kTestTable[] = {
    {nullptr, 0},
    // out, flag (1 byte), small (2 bytes), word, pointer
    {HANDLER(TestEchoSizes), 0x3E7F0},
    // out, a (2), b (1), c (4), d (2), e (1), f (4)
    {HANDLER(TestEchoSeven), 0x36DBF0},
    // out and eleven 32-bit numbers: every slot four bytes
    {HANDLER(TestEchoTwelve), 0xFFFFFFF0},
    {HANDLER(TestGetOpenRecord), 0x3F0},
    // out string, list (2), index (2)
    {HANDLER(TestGetIndString), 0x2BF0},
    // a calling convention other than 0
    {HANDLER(TestMustNotBeCalled), 0x3F1},
    // names three four-byte parameters; the tests pass one
    {HANDLER(TestMustNotBeCalled), 0x3FF0},
    {HANDLER(TestCountNow), 0x3F0},
};

#undef HANDLER

const TableEntry* Lookup(SInt16 selector) {
  if (selector < 0) {
    int index = selector + 4;
    if (index < 0) return nullptr;
    return &kStandardTable[index];
  }
  if (static_cast<size_t>(selector) >= sizeof(kTestTable) / sizeof(kTestTable[0])) return nullptr;
  if (kTestTable[selector].handler == nullptr) return nullptr;
  return &kTestTable[selector];
}

ComponentResult TestCanDo(Handle /*storage*/, SInt16 selector) {
  return Lookup(selector) != nullptr ? 1 : 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) ComponentResult TestComponentDispatch(
    ComponentParameters* params, Handle storage) {
  const TableEntry* entry = Lookup(params->what);
  if (entry == nullptr) return kBadSelector;
  return CallComponentFunctionWithStorageProcInfo(storage, params, entry->handler, entry->layout);
}
