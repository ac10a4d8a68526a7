// Fuzz target for a component bundle's resource file
// (Resources/component.rsrc): the input is the file's text. Checked besides
// memory safety: an accepted file names a library that stays inside the
// bundle, an entry that is a symbol name, texts and string-list items short
// enough for Pascal strings; a refused one says which line and why.
#include <ctype.h>
#include <stdint.h>

#include <string>

#include "fuzz/fuzzcheck.h"
#include "platform/components.h"

namespace {

bool StaysInside(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  return ("/" + path + "/").find("/../") == std::string::npos;
}

bool IsSymbol(const std::string& name) {
  if (name.empty() || isdigit(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  PlatformComponentResources resources;
  std::string error;
  if (!PlatformParseComponentResources(text, &resources, &error)) {
    FUZZ_CHECK(error.find(" line ") != std::string::npos, "PlatformParseComponentResources");
    return 0;
  }
  FUZZ_CHECK(StaysInside(resources.library), "the library");
  FUZZ_CHECK(IsSymbol(resources.entry_symbol), "the entry");
  FUZZ_CHECK(resources.name.size() <= 255 && resources.info.size() <= 255, "the texts");
  FUZZ_CHECK(resources.description.componentFlagsMask == 0, "the registration");
  for (const auto& list : resources.string_lists) {
    FUZZ_CHECK(list.second.size() <= 32767, "a string list");
    for (const std::string& item : list.second) FUZZ_CHECK(item.size() <= 255, "a string item");
  }
  return 0;
}
