#include "platform/localization.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The original platform's name for the default strings table.
constexpr char kDefaultTableName[] = "Localizable";

// A catalogue larger than this is not read; real ones are a few kilobytes.
constexpr off_t kMaxCatalogueBytes = 16 << 20;

constexpr UInt32 kMoMagic = 0x950412DEu;
constexpr UInt32 kMoMagicSwapped = 0xDE120495u;

// ---------------------------------------------------------------------------
// Choosing the languages.

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool NamesCLocale(const std::string& name) {
  return name == "C" || name == "POSIX" || name.compare(0, 2, "C.") == 0 ||
         name.compare(0, 2, "C@") == 0;
}

// A language entry becomes part of a path, so it must stay one folder name.
bool IsSafeFolderName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos;
}

void AddOnce(std::vector<std::string>* list, const std::string& item) {
  if (std::find(list->begin(), list->end(), item) == list->end()) list->push_back(item);
}

// ll_CC.codeset@modifier, then the shorter forms a catalogue may be filed
// under, most specific first.
void AddVariants(const std::string& entry, std::vector<std::string>* list) {
  size_t at = entry.find('@');
  std::string modifier = at == std::string::npos ? "" : entry.substr(at);
  std::string rest = entry.substr(0, at);
  std::string without_codeset = rest.substr(0, rest.find('.'));
  std::string language = without_codeset.substr(0, without_codeset.find('_'));
  AddOnce(list, entry);
  if (!modifier.empty()) {
    AddOnce(list, without_codeset + modifier);
    AddOnce(list, language + modifier);
  }
  AddOnce(list, without_codeset);
  AddOnce(list, language);
}

std::vector<std::string> SplitColons(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

// ---------------------------------------------------------------------------
// Reading a catalogue.  Every offset and length in the file is checked
// before use: a damaged or hostile file makes the look-up fail, nothing more.

class Catalogue {
 public:
  bool Load(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ReadAll(fd);
    close(fd);
    return ok && ParseHeader() && HasUsableCharset();
  }

  // The translation of `key`; false when there is none or it is empty.
  bool Find(const std::string& key, std::string* translation) const {
    if (key.empty()) return false;  // The empty msgid is the file's header.
    for (UInt32 i = 0; i < count_; ++i) {
      std::string original;
      if (!StringAt(originals_, i, &original) || original != key) continue;
      std::string text;
      if (!StringAt(translations_, i, &text) || text.empty()) return false;
      *translation = text;
      return true;
    }
    return false;
  }

 private:
  bool ReadAll(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (info.st_size < 28 || info.st_size > kMaxCatalogueBytes) return false;
    data_.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < data_.size()) {
      ssize_t count = read(fd, &data_[done], data_.size() - done);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) return false;
      done += static_cast<size_t>(count);
    }
    return true;
  }

  bool Word(size_t offset, UInt32* value) const {
    if (offset > data_.size() || data_.size() - offset < 4) return false;
    UInt32 word;
    memcpy(&word, data_.data() + offset, 4);
    *value = swapped_ ? __builtin_bswap32(word) : word;
    return true;
  }

  bool ParseHeader() {
    UInt32 magic;
    memcpy(&magic, data_.data(), 4);
    if (magic != kMoMagic && magic != kMoMagicSwapped) return false;
    swapped_ = magic == kMoMagicSwapped;
    UInt32 revision;
    if (!Word(4, &revision) || !Word(8, &count_) || !Word(12, &originals_) ||
        !Word(16, &translations_)) {
      return false;
    }
    // Major revisions 0 and 1 share the layout read here.
    if ((revision >> 16) > 1) return false;
    // Both tables of (length, offset) pairs must lie inside the file.
    size_t table_bytes = static_cast<size_t>(count_) * 8;
    return originals_ <= data_.size() && data_.size() - originals_ >= table_bytes &&
           translations_ <= data_.size() && data_.size() - translations_ >= table_bytes;
  }

  // Entry `index` of a table: the first NUL-terminated string of the entry
  // (a plural entry holds its forms one after the other).
  bool StringAt(UInt32 table, UInt32 index, std::string* text) const {
    UInt32 length, offset;
    size_t slot = table + static_cast<size_t>(index) * 8;
    if (!Word(slot, &length) || !Word(slot + 4, &offset)) return false;
    // The entry and the NUL after it must lie inside the file.
    if (offset >= data_.size() || data_.size() - offset <= length) return false;
    if (data_[offset + length] != '\0') return false;
    text->assign(data_.c_str() + offset);
    return true;
  }

  // The header's charset, when it names one, must be one we can pass on as
  // UTF-8 without converting.
  bool HasUsableCharset() const {
    std::string header;
    for (UInt32 i = 0; i < count_; ++i) {
      std::string original;
      if (StringAt(originals_, i, &original) && original.empty()) {
        if (!StringAt(translations_, i, &header)) return false;
        break;
      }
    }
    size_t at = header.find("charset=");
    if (at == std::string::npos) return true;
    at += strlen("charset=");
    size_t end = header.find_first_of(" ;\n", at);
    std::string charset = header.substr(at, end == std::string::npos ? end : end - at);
    for (const char* usable : {"UTF-8", "utf8", "ASCII", "US-ASCII", "ANSI_X3.4-1968"}) {
      if (strcasecmp(charset.c_str(), usable) == 0) return true;
    }
    return false;
  }

  std::string data_;
  bool swapped_ = false;
  UInt32 count_ = 0;
  UInt32 originals_ = 0;
  UInt32 translations_ = 0;
};

// The domain (file name without ".mo") of a table of the bundle; false when
// the names cannot make a safe file name.
bool DomainOf(const std::string& identifier, CFStringRef table_name, std::string* domain) {
  if (!IsSafeFolderName(identifier)) return false;
  std::string table;
  if (table_name != nullptr && !PlatformCFStringCopyUtf8(table_name, &table)) return false;
  if (table.empty() || table == kDefaultTableName) {
    *domain = identifier;
    return true;
  }
  if (table.find('\0') != std::string::npos || table.find('/') != std::string::npos) return false;
  *domain = identifier + "." + table;
  return true;
}

bool Translate(CFBundleRef bundle, const std::string& key, CFStringRef table_name,
               std::string* translation) {
  std::string resources = PlatformBundleResourcesPath(bundle);
  std::string identifier;
  if (resources.empty() || !PlatformCFStringCopyUtf8(CFBundleGetIdentifier(bundle), &identifier)) {
    return false;
  }
  std::string domain;
  if (!DomainOf(identifier, table_name, &domain)) return false;
  for (const std::string& language : PlatformLocalizationLanguages()) {
    Catalogue catalogue;
    std::string path = resources + "/locale/" + language + "/LC_MESSAGES/" + domain + ".mo";
    if (catalogue.Load(path) && catalogue.Find(key, translation)) return true;
  }
  return false;
}

CFStringRef Retained(CFStringRef string) { return static_cast<CFStringRef>(CFRetain(string)); }

}  // namespace

std::vector<std::string> PlatformLocalizationLanguages() {
  std::string locale = Variable("LC_ALL");
  if (locale.empty()) locale = Variable("LC_MESSAGES");
  if (locale.empty()) locale = Variable("LANG");
  std::vector<std::string> entries;
  if (locale != "C" && locale != "POSIX") {
    std::string languages = Variable("LANGUAGE");
    if (!languages.empty()) {
      entries = SplitColons(languages);
    } else if (!locale.empty()) {
      entries.push_back(locale);
    }
  }
  std::vector<std::string> list;
  for (const std::string& entry : entries) {
    if (NamesCLocale(entry) || !IsSafeFolderName(entry)) continue;
    AddVariants(entry, &list);
  }
  AddOnce(&list, kPlatformDevelopmentLanguage);
  return list;
}

CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value,
                                        CFStringRef tableName) {
  std::string key_text;
  if (bundle != nullptr && PlatformCFStringCopyUtf8(key, &key_text) &&
      key_text.find('\0') == std::string::npos) {
    std::string translation;
    if (Translate(bundle, key_text, tableName, &translation)) {
      // Catalogue text that is not valid UTF-8 is refused here and the
      // fallback is used instead.
      CFStringRef result = CFStringCreateWithBytes(
          kCFAllocatorDefault, reinterpret_cast<const UInt8*>(translation.data()),
          static_cast<CFIndex>(translation.size()), kCFStringEncodingUTF8, false);
      if (result != nullptr) return result;
    }
  }
  if (value != nullptr && (CFStringGetLength(value) > 0 || key == nullptr)) return Retained(value);
  return key != nullptr ? Retained(key) : nullptr;
}
