// A scriptable host for the camera component: it uses the platform's
// component manager the way a capturing application does (find the
// component by type, open instances, call selectors with typed arguments,
// close), reading one command per line on standard input and answering each
// with exactly one line on standard output. The tests copy it under the names
// of real hosts, since the component looks at the executable's name.
//
// Commands (SLOT is an instance slot 0-9, numbers are decimal or 0x-hex):
//   folder PATH                  search PATH for components first    -> ok
//   sysversion MAJOR MINOR PATCH emulate that system version          -> ok
//   gestalterror ERR             make the 'sysv' query fail with ERR  -> ok
//   info                         the component's registration:
//       info<TAB>type=vdig<TAB>subtype=..<TAB>manufacturer=..<TAB>name=..
//           <TAB>item1=..<TAB>item2=..
//   open SLOT                    OpenAComponent      -> open SLOT RESULT
//   close SLOT                   CloseComponent      -> close SLOT RESULT
//   call SLOT SELECTOR ARG...    PlatformCallComponent with typed arguments:
//       u8:V s16:V s32:V (cut to that width), ptr:null, buf:N (N zeroed
//       bytes, passed by address), bytes:HEX (a buffer holding those bytes,
//       passed by address), handle:N (a new N-byte handle)
//       -> call SLOT SELECTOR RESULT, then for each buf or bytes " buf=HEX"
//          and for each handle " handle=HEX" with the contents after the call
//   settimebase SLOT             makes the host's time base (once) and hands
//                                it over with OrvidSetTimeBase (76)
//                                -> settimebase SLOT RESULT
//   time                         the host's time base in 1/3000 s -> time V
//   poll SLOT [PATH N]           one OrvidCompressDone (70), its outputs
//                                preset to recognisable values:
//       -> poll SLOT RESULT ready=R size=S similarity=M value=V scale=C
//          base=host|null|other us=MICROSECONDS (the call's duration);
//          a time record left unwritten reads value=-1 scale=-1 base=null.
//          With PATH, a frame handed out has its first N bytes written there.
//   release SLOT                 OrvidReleaseCompressBuffer (71) with the
//                                slot's last frame -> release SLOT RESULT
//   cando SLOT SELECTOR          the can-do selector -> cando SLOT SELECTOR RESULT
//   candoall SLOT                every selector -32768..32767 that can-do
//                                answers non-zero for: candoall SLOT S1,S2,...
//   handles                      live memory handles -> handles COUNT
//   quit                         -> bye, exit status 0
// A command that cannot be carried out answers "error TEXT".
//
// Standard error is left to the component's debug log sink.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/components.h"
#include "platform/gestalt.h"
#include "platform/memory.h"
#include "platform/timebase.h"
#include "platform/videodigitizer.h"

namespace {

constexpr OSType kVideoDigitizerType = 0x76646967;  // 'vdig'
constexpr int kSlots = 10;

ComponentInstance g_instances[kSlots] = {};
// The frame each slot was last handed, for release.
Ptr g_frames[kSlots] = {};
// The host's one time base, made by the first settimebase.
TimeBase g_time_base = nullptr;

bool ParseNumber(const std::string& text, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long parsed = strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

// Pairs of hexadecimal digits, as many bytes as pairs.
bool ParseHex(const std::string& text, std::vector<unsigned char>* bytes) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string pair = text.substr(i, 2);
    char* end = nullptr;
    const unsigned long byte = strtoul(pair.c_str(), &end, 16);
    if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) return false;
    bytes->push_back(static_cast<unsigned char>(byte));
  }
  return true;
}

bool ParseSlot(const std::string& text, int* slot) {
  long value = 0;
  if (!ParseNumber(text, &value) || value < 0 || value >= kSlots) return false;
  *slot = static_cast<int>(value);
  return true;
}

std::string FourChar(OSType code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>((code >> shift) & 0xFF);
  return text;
}

std::string Hex(const void* data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

Component FindCamera() {
  ComponentDescription looking = {};
  looking.componentType = kVideoDigitizerType;
  return FindNextComponent(nullptr, &looking);
}

std::string Info() {
  Component camera = FindCamera();
  if (camera == nullptr) return "error no vdig component";
  ComponentDescription description = {};
  Handle name = NewHandle(0);
  if (GetComponentInfo(camera, &description, name, nullptr, nullptr) != noErr) {
    DisposeHandle(name);
    return "error GetComponentInfo failed";
  }
  std::string text = "info\ttype=" + FourChar(description.componentType) +
                     "\tsubtype=" + FourChar(description.componentSubType) +
                     "\tmanufacturer=" + FourChar(description.componentManufacturer) +
                     "\tname=" + PlatformPascalToString(reinterpret_cast<StringPtr>(*name));
  DisposeHandle(name);
  for (SInt16 item = 1; item <= 2; ++item) {
    Str255 string;
    const OSErr error = GetComponentIndString(camera, string, 200, item);
    text +=
        "\titem" + std::to_string(item) + "=" +
        (error == noErr ? PlatformPascalToString(string) : "<error " + std::to_string(error) + ">");
  }
  return text;
}

// The arguments of one call: the words passed, and the buffers and handles
// whose contents are reported afterwards.
struct CallArguments {
  std::vector<long> words;
  std::vector<std::vector<unsigned char>> buffers;
  std::vector<Handle> handles;
  std::vector<char> kinds;  // 'b' buffer, 'h' handle, in argument order
};

bool ParseArgument(const std::string& token, CallArguments* args, std::string* error) {
  const size_t colon = token.find(':');
  if (colon == std::string::npos) {
    *error = "argument without type: " + token;
    return false;
  }
  const std::string type = token.substr(0, colon);
  const std::string text = token.substr(colon + 1);
  if (type == "ptr" && text == "null") {
    args->words.push_back(0);
    return true;
  }
  long value = 0;
  std::vector<unsigned char> bytes;
  if (type == "bytes") {
    if (!ParseHex(text, &bytes)) {
      *error = "bad bytes: " + token;
      return false;
    }
  } else if (!ParseNumber(text, &value)) {
    *error = "bad number: " + token;
    return false;
  }
  if (type == "u8") {
    args->words.push_back(static_cast<UInt8>(value));
  } else if (type == "s16") {
    args->words.push_back(static_cast<SInt16>(value));
  } else if (type == "s32") {
    args->words.push_back(static_cast<SInt32>(value));
  } else if (type == "buf" && value >= 0) {
    // Reserved now, addressed after all arguments are parsed (the vector of
    // buffers may still grow).
    args->buffers.emplace_back(static_cast<size_t>(value), 0);
    args->words.push_back(0);
    args->kinds.push_back('b');
  } else if (type == "bytes") {
    args->buffers.push_back(std::move(bytes));
    args->words.push_back(0);
    args->kinds.push_back('b');
  } else if (type == "handle" && value >= 0) {
    Handle handle = NewHandleClear(value);
    if (handle == nullptr) {
      *error = "NewHandleClear failed";
      return false;
    }
    args->handles.push_back(handle);
    args->words.push_back(reinterpret_cast<long>(handle));
    args->kinds.push_back('h');
  } else {
    *error = "unknown argument: " + token;
    return false;
  }
  return true;
}

ComponentResult CallWithWords(ComponentInstance ci, SInt16 selector, const std::vector<long>& w) {
  switch (w.size()) {
    case 0:
      return PlatformCallComponent(ci, selector);
    case 1:
      return PlatformCallComponent(ci, selector, w[0]);
    case 2:
      return PlatformCallComponent(ci, selector, w[0], w[1]);
    case 3:
      return PlatformCallComponent(ci, selector, w[0], w[1], w[2]);
    case 4:
      return PlatformCallComponent(ci, selector, w[0], w[1], w[2], w[3]);
    case 5:
      return PlatformCallComponent(ci, selector, w[0], w[1], w[2], w[3], w[4]);
    case 6:
      return PlatformCallComponent(ci, selector, w[0], w[1], w[2], w[3], w[4], w[5]);
    case 7:
      return PlatformCallComponent(ci, selector, w[0], w[1], w[2], w[3], w[4], w[5], w[6]);
    default:
      return PlatformCallComponent(ci, selector, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
  }
}

std::string Call(const std::vector<std::string>& tokens) {
  int slot = 0;
  long selector = 0;
  if (tokens.size() < 3 || !ParseSlot(tokens[1], &slot) || !ParseNumber(tokens[2], &selector)) {
    return "error usage: call SLOT SELECTOR ARG...";
  }
  if (tokens.size() - 3 > 8) return "error at most 8 arguments";
  CallArguments args;
  std::string error;
  for (size_t i = 3; i < tokens.size(); ++i) {
    if (!ParseArgument(tokens[i], &args, &error)) {
      for (Handle handle : args.handles) DisposeHandle(handle);
      return "error " + error;
    }
  }
  // Every argument makes one word; now that the buffers no longer move,
  // put their addresses in.
  size_t next_buffer = 0;
  for (size_t i = 0; i < args.words.size(); ++i) {
    if (tokens[3 + i].compare(0, 4, "buf:") == 0 || tokens[3 + i].compare(0, 6, "bytes:") == 0) {
      args.words[i] = reinterpret_cast<long>(args.buffers[next_buffer++].data());
    }
  }
  const ComponentResult result =
      CallWithWords(g_instances[slot], static_cast<SInt16>(selector), args.words);
  std::string text = "call " + std::to_string(slot) + " " + std::to_string(selector) + " " +
                     std::to_string(result);
  size_t buffer = 0, handle = 0;
  for (char kind : args.kinds) {
    if (kind == 'b') {
      const auto& bytes = args.buffers[buffer++];
      text += " buf=" + Hex(bytes.data(), bytes.size());
    } else {
      Handle h = args.handles[handle++];
      text += " handle=" + Hex(*h, static_cast<size_t>(GetHandleSize(h)));
    }
  }
  for (Handle h : args.handles) DisposeHandle(h);
  return text;
}

long MonotonicMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000L + now.tv_nsec / 1000;
}

std::string SetTimeBase(int slot) {
  if (g_time_base == nullptr) g_time_base = NewTimeBase();
  if (g_time_base == nullptr) return "error NewTimeBase failed";
  const ComponentResult result =
      PlatformCallComponent(g_instances[slot], kVDSetTimeBaseSelect, g_time_base);
  return "settimebase " + std::to_string(slot) + " " + std::to_string(result);
}

std::string Poll(const std::vector<std::string>& tokens) {
  int slot = 0;
  long dump_bytes = 0;
  if ((tokens.size() != 2 && tokens.size() != 4) || !ParseSlot(tokens[1], &slot) ||
      (tokens.size() == 4 && (!ParseNumber(tokens[3], &dump_bytes) || dump_bytes < 0))) {
    return "error usage: poll SLOT [PATH N]";
  }
  // Values the component never writes, so that the answer shows what it set.
  Boolean ready = 0xAA;
  Ptr data = reinterpret_cast<Ptr>(&ready);
  long size = -1;
  UInt8 similarity = 0xAA;
  TimeRecord record = {-1, -1, nullptr};
  const long start = MonotonicMicroseconds();
  const ComponentResult result = PlatformCallComponent(g_instances[slot], kVDCompressDoneSelect,
                                                       &ready, &data, &size, &similarity, &record);
  const long elapsed = MonotonicMicroseconds() - start;
  if (ready != 0 && data != nullptr) g_frames[slot] = data;
  if (tokens.size() == 4 && ready != 0 && data != nullptr) {
    FILE* file = fopen(tokens[2].c_str(), "wb");
    if (file == nullptr) return "error cannot create " + tokens[2];
    const size_t written = fwrite(data, 1, static_cast<size_t>(dump_bytes), file);
    if (fclose(file) != 0 || written != static_cast<size_t>(dump_bytes)) {
      return "error cannot write " + tokens[2];
    }
  }
  const char* base =
      record.base == nullptr ? "null" : (record.base == g_time_base ? "host" : "other");
  return "poll " + std::to_string(slot) + " " + std::to_string(result) +
         " ready=" + std::to_string(ready) + " size=" + std::to_string(size) +
         " similarity=" + std::to_string(similarity) + " value=" + std::to_string(record.value) +
         " scale=" + std::to_string(record.scale) + " base=" + base +
         " us=" + std::to_string(elapsed);
}

std::string Execute(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> tokens;
  for (std::string token; in >> token;) tokens.push_back(token);
  if (tokens.empty()) return "error empty command";
  const std::string& command = tokens[0];
  int slot = 0;
  long number = 0;

  if (command == "folder" && tokens.size() >= 2) {
    PlatformAddComponentFolder(line.substr(line.find(tokens[1])).c_str());
    return "ok";
  }
  if (command == "sysversion" && tokens.size() == 4) {
    long major = 0, minor = 0, patch = 0;
    if (!ParseNumber(tokens[1], &major) || !ParseNumber(tokens[2], &minor) ||
        !ParseNumber(tokens[3], &patch) ||
        !PlatformSetEmulatedSystemVersionForTesting(major, minor, patch)) {
      return "error bad version";
    }
    return "ok";
  }
  if (command == "gestalterror" && tokens.size() == 2 && ParseNumber(tokens[1], &number)) {
    PlatformSetGestaltErrorForTesting(gestaltSystemVersion, static_cast<OSErr>(number));
    return "ok";
  }
  if (command == "info" && tokens.size() == 1) return Info();
  if (command == "open" && tokens.size() == 2 && ParseSlot(tokens[1], &slot)) {
    if (g_instances[slot] != nullptr) return "error slot in use";
    Component camera = FindCamera();
    if (camera == nullptr) return "error no vdig component";
    const OSErr result = OpenAComponent(camera, &g_instances[slot]);
    return "open " + std::to_string(slot) + " " + std::to_string(result);
  }
  if (command == "close" && tokens.size() == 2 && ParseSlot(tokens[1], &slot)) {
    const OSErr result = CloseComponent(g_instances[slot]);
    g_instances[slot] = nullptr;
    g_frames[slot] = nullptr;
    return "close " + std::to_string(slot) + " " + std::to_string(result);
  }
  if (command == "call") return Call(tokens);
  if (command == "settimebase" && tokens.size() == 2 && ParseSlot(tokens[1], &slot)) {
    return SetTimeBase(slot);
  }
  if (command == "time" && tokens.size() == 1) {
    if (g_time_base == nullptr) return "error no time base";
    return "time " + std::to_string(GetTimeBaseTime(g_time_base, 3000, nullptr));
  }
  if (command == "poll") return Poll(tokens);
  if (command == "release" && tokens.size() == 2 && ParseSlot(tokens[1], &slot)) {
    const ComponentResult result =
        PlatformCallComponent(g_instances[slot], kVDReleaseCompressBufferSelect, g_frames[slot]);
    g_frames[slot] = nullptr;
    return "release " + std::to_string(slot) + " " + std::to_string(result);
  }
  if (command == "cando" && tokens.size() == 3 && ParseSlot(tokens[1], &slot) &&
      ParseNumber(tokens[2], &number)) {
    const ComponentResult result = PlatformCallComponent(g_instances[slot], kComponentCanDoSelect,
                                                         static_cast<SInt16>(number));
    return "cando " + std::to_string(slot) + " " + std::to_string(number) + " " +
           std::to_string(result);
  }
  if (command == "candoall" && tokens.size() == 2 && ParseSlot(tokens[1], &slot)) {
    std::string list;
    for (long selector = -32768; selector <= 32767; ++selector) {
      const ComponentResult result = PlatformCallComponent(g_instances[slot], kComponentCanDoSelect,
                                                           static_cast<SInt16>(selector));
      if (result == 0) continue;
      if (!list.empty()) list += ",";
      list += std::to_string(selector);
    }
    return "candoall " + std::to_string(slot) + " " + list;
  }
  if (command == "handles" && tokens.size() == 1) {
    return "handles " + std::to_string(PlatformLiveHandleCountForTesting());
  }
  return "error unknown command: " + line;
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") {
      DisposeTimeBase(g_time_base);
      std::cout << "bye" << std::endl;
      return 0;
    }
    std::cout << Execute(line) << std::endl;
  }
  return 0;
}
