// Fuzz target for the preferences file format: the input is a whole file.
// Checked besides memory safety: a file that parses gives keys that are
// unique and valid UTF-8, string values that are valid UTF-8 and, written
// back in the format's own quoting, the same entries again; a file that does
// not parse says where and why.
#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzzcheck.h"
#include "platform/cfstring.h"
#include "platform/preferences.h"

namespace {

using platform::PreferenceEntry;
using platform::PreferenceValue;

bool SameEntries(const std::vector<PreferenceEntry>& a, const std::vector<PreferenceEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const PreferenceValue& x = a[i].value;
    const PreferenceValue& y = b[i].value;
    if (a[i].key != b[i].key || x.type != y.type) return false;
    if (x.type == PreferenceValue::Type::kString ? x.string_value != y.string_value
                                                 : x.bool_value != y.bool_value) {
      return false;
    }
  }
  return true;
}

// The entries as the format writes them.
std::string Written(const std::vector<PreferenceEntry>& entries) {
  std::string text = "quorvex-preferences 1\n";
  for (const PreferenceEntry& entry : entries) {
    text += platform::QuotePreferenceText(entry.key) + " = ";
    if (entry.value.type == PreferenceValue::Type::kBoolean) {
      text += entry.value.bool_value ? "true" : "false";
    } else {
      text += platform::QuotePreferenceText(entry.value.string_value);
    }
    text += '\n';
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<PreferenceEntry> entries;
  std::string error;
  if (!platform::ParsePreferencesText(text, "fuzz", &entries, &error)) {
    FUZZ_CHECK(error.compare(0, 5, "fuzz:") == 0, "ParsePreferencesText");
    return 0;
  }
  std::set<std::string> keys;
  for (const PreferenceEntry& entry : entries) {
    FUZZ_CHECK(keys.insert(entry.key).second, "unique keys");
    FUZZ_CHECK(PlatformIsValidUtf8(entry.key.data(), entry.key.size()), "the key");
    if (entry.value.type == PreferenceValue::Type::kString) {
      FUZZ_CHECK(
          PlatformIsValidUtf8(entry.value.string_value.data(), entry.value.string_value.size()),
          "the value");
    }
  }
  std::vector<PreferenceEntry> again;
  FUZZ_CHECK(platform::ParsePreferencesText(Written(entries), "again", &again, &error),
             "ParsePreferencesText of the written entries");
  FUZZ_CHECK(SameEntries(entries, again), "the written entries");
  return 0;
}
