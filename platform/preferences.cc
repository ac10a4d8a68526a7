#include "platform/preferences.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace platform {
namespace {

constexpr char kHeaderLine[] = "quorvex-preferences 1";
constexpr size_t kMaxDomainBytes = 200;
constexpr size_t kTemporarySuffixBytes = 6;  // The XXXXXX of mkostemp.
// The largest preferences file read (see the header).
constexpr off_t kMaxPreferencesFileBytes = 1 << 20;

// Owns a file descriptor; closing it also drops an flock taken through it.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports close's own failure (a write may surface there).
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

// Where one domain lives on disk.
struct DomainFiles {
  std::string folder;
  std::string file;              // <folder>/<domain>.prefs
  std::string lock;              // <folder>/.<domain>.lock
  std::string temporary_prefix;  // .<domain>.prefs~ ('~' never occurs in a domain)
};

bool FindConfigFolder(std::string* folder, std::string* error) {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    *folder = xdg;
    return true;
  }
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    *folder = std::string(home) + "/.config";
    return true;
  }
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    *folder = std::string(found->pw_dir) + "/.config";
    return true;
  }
  SetError(error,
           "cannot find the configuration folder: neither XDG_CONFIG_HOME nor HOME is an "
           "absolute path and the user has no home folder");
  return false;
}

bool LocateDomain(const std::string& domain, DomainFiles* files, std::string* error) {
  if (!IsValidPreferencesDomain(domain)) {
    SetError(error, "invalid domain name " + QuotePreferenceText(domain) +
                        " (use letters, digits, '.', '_' and '-', not starting with '.')");
    return false;
  }
  std::string config;
  if (!FindConfigFolder(&config, error)) return false;
  files->folder = config + "/quorvex/preferences";
  files->file = files->folder + "/" + domain + ".prefs";
  files->lock = files->folder + "/." + domain + ".lock";
  files->temporary_prefix = "." + domain + ".prefs~";
  return true;
}

// ---------------------------------------------------------------------------
// The document: the file's lines after the header, with entries decoded and
// everything else (comments, blank lines) kept verbatim so writers keep it.

struct Line {
  bool is_entry = false;
  std::string verbatim;  // For comments and blank lines.
  PreferenceEntry entry;
};

struct Document {
  std::vector<Line> lines;

  Line* Find(const std::string& key) {
    for (Line& line : lines) {
      if (line.is_entry && line.entry.key == key) return &line;
    }
    return nullptr;
  }
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the quoted text that starts at line[*pos] (a '"'); on success
// *pos is just past the closing quote. On failure *reason says why.
bool ParseQuoted(const std::string& line, size_t* pos, std::string* text, std::string* reason) {
  size_t i = *pos + 1;
  text->clear();
  while (i < line.size()) {
    char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\0') {
      *reason = "a raw NUL byte inside quoted text (write it as \\x00)";
      return false;
    }
    if (c != '\\') {
      text->push_back(c);
      ++i;
      continue;
    }
    if (i + 1 >= line.size()) break;
    char escaped = line[i + 1];
    i += 2;
    switch (escaped) {
      case '\\':
      case '"':
        text->push_back(escaped);
        break;
      case 'n':
        text->push_back('\n');
        break;
      case 'r':
        text->push_back('\r');
        break;
      case 't':
        text->push_back('\t');
        break;
      case 'x': {
        int high = i < line.size() ? HexDigit(line[i]) : -1;
        int low = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
        if (high < 0 || low < 0 || high > 7) {
          *reason = "\\x must be followed by two hex digits from 00 to 7F";
          return false;
        }
        text->push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        *reason = std::string("unknown escape \\") + escaped;
        return false;
    }
  }
  *reason = "unterminated quoted text";
  return false;
}

size_t SkipBlanks(const std::string& line, size_t pos) {
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  return pos;
}

// Parses one entry line; on failure *reason says why.
bool ParseEntry(const std::string& line, size_t pos, PreferenceEntry* entry, std::string* reason) {
  if (!ParseQuoted(line, &pos, &entry->key, reason)) return false;
  if (!PlatformIsValidUtf8(entry->key.data(), entry->key.size())) {
    *reason = "the key is not valid UTF-8";
    return false;
  }
  pos = SkipBlanks(line, pos);
  if (pos >= line.size() || line[pos] != '=') {
    *reason = "expected '=' after the key";
    return false;
  }
  pos = SkipBlanks(line, pos + 1);
  if (pos < line.size() && line[pos] == '"') {
    entry->value.type = PreferenceValue::Type::kString;
    if (!ParseQuoted(line, &pos, &entry->value.string_value, reason)) return false;
    if (!PlatformIsValidUtf8(entry->value.string_value.data(), entry->value.string_value.size())) {
      *reason = "the value is not valid UTF-8";
      return false;
    }
  } else if (line.compare(pos, 4, "true") == 0) {
    entry->value.type = PreferenceValue::Type::kBoolean;
    entry->value.bool_value = true;
    pos += 4;
  } else if (line.compare(pos, 5, "false") == 0) {
    entry->value.type = PreferenceValue::Type::kBoolean;
    entry->value.bool_value = false;
    pos += 5;
  } else {
    *reason = "expected a quoted string, true or false after '='";
    return false;
  }
  if (SkipBlanks(line, pos) != line.size()) {
    *reason = "unexpected text after the value";
    return false;
  }
  return true;
}

bool ParseDocument(const std::string& content, const std::string& path, Document* document,
                   std::string* error) {
  document->lines.clear();
  if (content.empty()) return true;  // A freshly created, empty domain.
  std::set<std::string> keys;
  size_t start = 0;
  int number = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string text = content.substr(start, end - start);
    start = end + 1;
    ++number;
    std::string where = path + ":" + std::to_string(number) + ": ";
    if (number == 1) {
      size_t used = text.size();
      while (used > 0 && IsBlank(text[used - 1])) --used;
      if (text.compare(0, used, kHeaderLine) != 0 || used != strlen(kHeaderLine)) {
        SetError(error, where + "the first line is not \"" + kHeaderLine +
                            "\"; this is not a preferences file of this format");
        return false;
      }
      continue;
    }
    Line line;
    size_t pos = SkipBlanks(text, 0);
    if (pos == text.size() || text[pos] == '#') {
      line.verbatim = text;
    } else if (text[pos] != '"') {
      SetError(error, where + "expected a quoted key, a '#' comment or a blank line");
      return false;
    } else {
      std::string reason;
      if (!ParseEntry(text, pos, &line.entry, &reason)) {
        SetError(error, where + reason);
        return false;
      }
      if (!keys.insert(line.entry.key).second) {
        SetError(error, where + "duplicate key " + QuotePreferenceText(line.entry.key));
        return false;
      }
      line.is_entry = true;
    }
    document->lines.push_back(std::move(line));
  }
  return true;
}

std::string SerializeDocument(const Document& document) {
  std::string out = std::string(kHeaderLine) + "\n";
  for (const Line& line : document.lines) {
    if (!line.is_entry) {
      out += line.verbatim;
    } else {
      out += QuotePreferenceText(line.entry.key);
      out += " = ";
      const PreferenceValue& value = line.entry.value;
      if (value.type == PreferenceValue::Type::kBoolean) {
        out += value.bool_value ? "true" : "false";
      } else {
        out += QuotePreferenceText(value.string_value);
      }
    }
    out += '\n';
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files.

// What identifies one version of the file at `path`: its identity, size and
// times of change. A writer here replaces the file (a new inode); an editor
// that writes in place changes the size or the times.
std::string FileState(const std::string& path, const struct stat& info) {
  return path + "@" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
         std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
         std::to_string(info.st_mtim.tv_nsec) + ":" + std::to_string(info.st_ctim.tv_sec) + "." +
         std::to_string(info.st_ctim.tv_nsec);
}

// Reads the whole regular file at `path`. A missing file gives true with
// *exists false and empty content. *state identifies this version of the file
// (for reporting a problem once per version).
bool ReadWholeFile(const std::string& path, std::string* content, bool* exists, std::string* state,
                   std::string* error) {
  content->clear();
  *exists = false;
  *state = path;
  // O_NONBLOCK so that a FIFO put in the file's place cannot hang the reader.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    SetError(error, ErrnoText("cannot open", path));
    return false;
  }
  ScopedFd file(fd);
  *exists = true;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    SetError(error, ErrnoText("cannot examine", path));
    return false;
  }
  *state = FileState(path, info);
  if (!S_ISREG(info.st_mode)) {
    SetError(error, "cannot read " + path + ": not a regular file");
    return false;
  }
  if (info.st_size > kMaxPreferencesFileBytes) {
    SetError(error, "cannot read " + path + ": it holds " + std::to_string(info.st_size) +
                        " bytes, more than a preferences file may (" +
                        std::to_string(kMaxPreferencesFileBytes) + ")");
    return false;
  }
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      SetError(error, ErrnoText("cannot read", path));
      return false;
    }
    if (got == 0) return true;
    content->append(buffer, static_cast<size_t>(got));
    if (content->size() > static_cast<size_t>(kMaxPreferencesFileBytes)) {  // grew meanwhile
      SetError(error, "cannot read " + path + ": it holds more than " +
                          std::to_string(kMaxPreferencesFileBytes) +
                          " bytes, more than a preferences file may");
      return false;
    }
  }
}

bool LoadDocument(const DomainFiles& files, Document* document, bool* exists, std::string* state,
                  std::string* error) {
  std::string content;
  if (!ReadWholeFile(files.file, &content, exists, state, error)) return false;
  return ParseDocument(content, files.file, document, error);
}

bool MakeFolders(const std::string& folder, std::string* error) {
  for (size_t slash = 1; slash != std::string::npos;) {
    slash = folder.find('/', slash + 1);
    std::string prefix = folder.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) == 0) continue;
    int mkdir_errno = errno;
    struct stat info;
    if (stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    errno = mkdir_errno;
    SetError(error, ErrnoText("cannot create the folder", prefix));
    return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t wrote = write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

// Makes the folder's entries (a rename, an unlink) durable. Failure is not
// reported: the change is already visible and cannot be taken back.
void SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Removes temporary files that a writer killed mid-write left behind. Only
// called under the domain's lock, so no live writer owns one of them.
void RemoveLeftoverTemporaries(const DomainFiles& files) {
  DIR* folder = opendir(files.folder.c_str());
  if (folder == nullptr) return;
  const std::string& prefix = files.temporary_prefix;
  while (struct dirent* item = readdir(folder)) {
    const char* name = item->d_name;
    if (strlen(name) == prefix.size() + kTemporarySuffixBytes &&
        strncmp(name, prefix.c_str(), prefix.size()) == 0) {
      unlinkat(dirfd(folder), name, 0);
    }
  }
  closedir(folder);
}

// The file a write must replace: `path` itself, or, when it is a symbolic
// link, the final target of its chain of links (a dangling one included),
// so that the user's link survives. False after too many links.
bool ResolveLinks(const std::string& path, std::string* target, std::string* error) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *target = current;
      return true;
    }
    std::vector<char> buffer(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    const ssize_t length = readlink(current.c_str(), buffer.data(), buffer.size());
    if (length < 0 || static_cast<size_t>(length) >= buffer.size()) {
      SetError(error, ErrnoText("cannot read the link", current));
      return false;
    }
    const std::string link(buffer.data(), static_cast<size_t>(length));
    if (!link.empty() && link[0] == '/') {
      current = link;
    } else {
      const size_t slash = current.rfind('/');
      current = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + link;
    }
  }
  SetError(error, "cannot write " + path + ": too many levels of symbolic links");
  return false;
}

// Replaces the domain's file (or its link's target) with `content`: written
// to a temporary file in the same folder, synced, then renamed over the old
// one.
bool ReplaceFile(const DomainFiles& files, const std::string& content, std::string* error) {
  std::string target;
  if (!ResolveLinks(files.file, &target, error)) return false;
  const size_t slash = target.rfind('/');
  const std::string folder = slash == 0 ? "/" : target.substr(0, slash);
  std::string temporary = folder + "/" + files.temporary_prefix + "XXXXXX";
  int fd = mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) {
    SetError(error, ErrnoText("cannot create a temporary file in", folder));
    return false;
  }
  ScopedFd file(fd);
  struct stat old_info;
  bool ok = WriteAll(fd, content);
  // Keep the permissions that the user gave the file.
  if (ok && stat(target.c_str(), &old_info) == 0) ok = fchmod(fd, old_info.st_mode & 07777) == 0;
  if (ok) ok = fsync(fd) == 0;
  if (!file.Close()) ok = false;
  if (ok) ok = rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    SetError(error, ErrnoText("cannot write", target));
    unlink(temporary.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

// Holds the domain's exclusive lock for its lifetime.
class DomainLock {
 public:
  bool Acquire(const DomainFiles& files, std::string* error) {
    if (!MakeFolders(files.folder, error)) return false;
    fd_ = open(files.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd_ < 0) {
      SetError(error, ErrnoText("cannot open the lock file", files.lock));
      return false;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      SetError(error, ErrnoText("cannot lock", files.lock));
      return false;
    }
    return true;
  }
  ~DomainLock() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_ = -1;
};

// Applies `change` to the domain's document under the lock and writes the
// result when `change` reports that it changed something.
bool ChangeDomain(const std::string& domain, const std::function<bool(Document*)>& change,
                  std::string* error) {
  DomainFiles files;
  if (!LocateDomain(domain, &files, error)) return false;
  DomainLock lock;
  if (!lock.Acquire(files, error)) return false;
  RemoveLeftoverTemporaries(files);
  Document document;
  bool exists = false;
  std::string state;
  // An unreadable or unparsable file is refused rather than replaced: its
  // contents belong to the user until they fix or remove it.
  if (!LoadDocument(files, &document, &exists, &state, error)) {
    if (error != nullptr) *error += " (the file is left as it is until it is fixed or removed)";
    return false;
  }
  if (!change(&document)) return true;
  return ReplaceFile(files, SerializeDocument(document), error);
}

bool SetValue(const std::string& domain, const std::string& key, const PreferenceValue& value,
              std::string* error) {
  if (!PlatformIsValidUtf8(key.data(), key.size())) {
    SetError(error, "the key is not valid UTF-8");
    return false;
  }
  if (value.type == PreferenceValue::Type::kString &&
      !PlatformIsValidUtf8(value.string_value.data(), value.string_value.size())) {
    SetError(error, "the value is not valid UTF-8");
    return false;
  }
  return ChangeDomain(
      domain,
      [&](Document* document) {
        if (Line* line = document->Find(key)) {
          line->entry.value = value;
          return true;
        }
        Line line;
        line.is_entry = true;
        line.entry.key = key;
        line.entry.value = value;
        document->lines.push_back(std::move(line));
        return true;
      },
      error);
}

}  // namespace

bool IsValidPreferencesDomain(const std::string& domain) {
  if (domain.empty() || domain.size() > kMaxDomainBytes || domain[0] == '.') return false;
  for (char c : domain) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

bool PreferencesDomainPath(const std::string& domain, std::string* path, std::string* error) {
  DomainFiles files;
  if (path == nullptr || !LocateDomain(domain, &files, error)) return false;
  *path = files.file;
  return true;
}

bool ReadPreferencesDomain(const std::string& domain, std::vector<PreferenceEntry>* entries,
                           bool* exists, std::string* error) {
  DomainFiles files;
  if (!LocateDomain(domain, &files, error)) return false;
  Document document;
  bool file_exists = false;
  std::string state;
  if (!LoadDocument(files, &document, &file_exists, &state, error)) return false;
  if (entries != nullptr) {
    entries->clear();
    for (Line& line : document.lines) {
      if (line.is_entry) entries->push_back(std::move(line.entry));
    }
  }
  if (exists != nullptr) *exists = file_exists;
  return true;
}

bool ParsePreferencesText(const std::string& content, const std::string& name,
                          std::vector<PreferenceEntry>* entries, std::string* error) {
  Document document;
  if (!ParseDocument(content, name, &document, error)) return false;
  entries->clear();
  for (Line& line : document.lines) {
    if (line.is_entry) entries->push_back(std::move(line.entry));
  }
  return true;
}

bool SetPreferenceString(const std::string& domain, const std::string& key,
                         const std::string& value, std::string* error) {
  PreferenceValue stored;
  stored.type = PreferenceValue::Type::kString;
  stored.string_value = value;
  return SetValue(domain, key, stored, error);
}

bool SetPreferenceBoolean(const std::string& domain, const std::string& key, bool value,
                          std::string* error) {
  PreferenceValue stored;
  stored.type = PreferenceValue::Type::kBoolean;
  stored.bool_value = value;
  return SetValue(domain, key, stored, error);
}

bool DeletePreference(const std::string& domain, const std::string& key, bool* existed,
                      std::string* error) {
  bool found = false;
  bool ok = ChangeDomain(
      domain,
      [&](Document* document) {
        for (auto it = document->lines.begin(); it != document->lines.end(); ++it) {
          if (it->is_entry && it->entry.key == key) {
            document->lines.erase(it);
            found = true;
            return true;
          }
        }
        return false;
      },
      error);
  if (ok && existed != nullptr) *existed = found;
  return ok;
}

bool DeletePreferencesDomain(const std::string& domain, bool* existed, std::string* error) {
  DomainFiles files;
  if (!LocateDomain(domain, &files, error)) return false;
  struct stat info;
  if (stat(files.folder.c_str(), &info) != 0 && errno == ENOENT) {
    // No folder, no domain: nothing to lock or remove.
    if (existed != nullptr) *existed = false;
    return true;
  }
  DomainLock lock;
  if (!lock.Acquire(files, error)) return false;
  RemoveLeftoverTemporaries(files);
  bool found = true;
  if (unlink(files.file.c_str()) != 0) {
    if (errno != ENOENT) {
      SetError(error, ErrnoText("cannot remove", files.file));
      return false;
    }
    found = false;
  }
  if (found) SyncFolder(files.folder);
  if (existed != nullptr) *existed = found;
  return true;
}

std::string QuotePreferenceText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace platform

// ---------------------------------------------------------------------------
// The foreign platform's calls.

namespace {

using platform::PreferenceValue;

std::mutex& ReportMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Guarded by ReportMutex(). File versions whose problem was already printed.
std::set<std::string>& ReportedStates() {
  static std::set<std::string>* states = new std::set<std::string>;
  return *states;
}

// Guarded by ReportMutex(). Domains with a failed set since the last
// synchronize.
std::set<std::string>& FailedDomains() {
  static std::set<std::string>* domains = new std::set<std::string>;
  return *domains;
}

void ReportReadProblemOnce(const std::string& state, const std::string& error) {
  std::lock_guard<std::mutex> hold(ReportMutex());
  if (!ReportedStates().insert(state).second) return;
  fprintf(stderr,
          "quorvex preferences: %s; the file is ignored, and changes to it are refused, until "
          "it is fixed or removed\n",
          error.c_str());
}

bool DomainOf(CFStringRef applicationID, std::string* domain) {
  return PlatformCFStringCopyUtf8(applicationID, domain) &&
         platform::IsValidPreferencesDomain(*domain);
}

// A file read and parsed earlier, kept while it stays the same version:
// some callers (a log sink asking before every line) look a key up far
// more often than anyone changes the file.
struct FileVersion {
  bool known = false;  // it could be examined (or is missing)
  bool exists = false;
  // The times of change are coarse (a clock tick): a file changed in the
  // same tick as it was read may change again and look the same. Only a
  // version older than kSettledSeconds is trusted to be what was read.
  bool settled = false;
  struct stat info = {};

  bool Same(const FileVersion& other) const {
    if (!known || !other.known || exists != other.exists) return false;
    if (!exists) return true;
    return info.st_dev == other.info.st_dev && info.st_ino == other.info.st_ino &&
           info.st_size == other.info.st_size && info.st_mtim.tv_sec == other.info.st_mtim.tv_sec &&
           info.st_mtim.tv_nsec == other.info.st_mtim.tv_nsec &&
           info.st_ctim.tv_sec == other.info.st_ctim.tv_sec &&
           info.st_ctim.tv_nsec == other.info.st_ctim.tv_nsec;
  }
};

constexpr int kSettledSeconds = 1;

struct ParsedFile {
  FileVersion version;  // as examined before it was read
  bool readable = false;
  platform::Document document;
};

std::mutex& ParsedMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Guarded by ParsedMutex(). By path.
std::map<std::string, ParsedFile>& ParsedFiles() {
  static std::map<std::string, ParsedFile>* files = new std::map<std::string, ParsedFile>;
  return *files;
}

FileVersion CurrentVersion(const std::string& path) {
  FileVersion version;
  if (stat(path.c_str(), &version.info) != 0) {
    version.known = version.settled = errno == ENOENT;
    return version;
  }
  version.known = version.exists = true;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  version.settled = now.tv_sec - version.info.st_ctim.tv_sec > kSettledSeconds &&
                    now.tv_sec - version.info.st_mtim.tv_sec > kSettledSeconds;
  return version;
}

// Looks `key` up in the domain; false when absent or unreadable (reported).
bool LookUp(CFStringRef key, CFStringRef applicationID, PreferenceValue* value) {
  std::string domain;
  std::string key_text;
  if (!DomainOf(applicationID, &domain) || !PlatformCFStringCopyUtf8(key, &key_text)) {
    return false;
  }
  std::string path;
  if (!platform::PreferencesDomainPath(domain, &path, nullptr)) return false;
  const FileVersion now = CurrentVersion(path);
  std::lock_guard<std::mutex> hold(ParsedMutex());
  std::map<std::string, ParsedFile>& files = ParsedFiles();
  auto found = files.find(path);
  if (found == files.end() || !found->second.version.settled || !found->second.version.Same(now)) {
    // A few domains at most; a process that wanders through many starts over.
    if (found == files.end() && files.size() >= 16) files.clear();
    ParsedFile& parsed = files[path];
    parsed = ParsedFile();
    std::string content;
    std::string state;
    std::string error;
    bool exists = false;
    parsed.readable = platform::ReadWholeFile(path, &content, &exists, &state, &error) &&
                      platform::ParseDocument(content, path, &parsed.document, &error);
    if (!parsed.readable) ReportReadProblemOnce(state, error);
    // What was read is the version examined only if the file did not
    // change in between.
    parsed.version = now;
    if (parsed.version.settled) {
      const std::string examined = now.exists ? platform::FileState(path, now.info) : path;
      parsed.version.settled = examined == state;
    }
    found = files.find(path);
  }
  if (!found->second.readable) return false;
  const platform::Line* line = found->second.document.Find(key_text);
  if (line == nullptr) return false;
  *value = line->entry.value;
  return true;
}

bool EqualsIgnoringCase(const std::string& text, const char* word) {
  size_t length = strlen(word);
  if (text.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

}  // namespace

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID) {
  PreferenceValue value;
  if (!LookUp(key, applicationID, &value)) return nullptr;
  if (value.type == PreferenceValue::Type::kBoolean) {
    return value.bool_value ? kCFBooleanTrue : kCFBooleanFalse;
  }
  return CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(value.string_value.data()),
      static_cast<CFIndex>(value.string_value.size()), kCFStringEncodingUTF8, false);
}

Boolean CFPreferencesGetAppBooleanValue(CFStringRef key, CFStringRef applicationID,
                                        Boolean* keyExistsAndHasValidFormat) {
  bool valid = false;
  bool result = false;
  PreferenceValue value;
  if (LookUp(key, applicationID, &value)) {
    if (value.type == PreferenceValue::Type::kBoolean) {
      valid = true;
      result = value.bool_value;
    } else {
      const std::string& text = value.string_value;
      if (EqualsIgnoringCase(text, "true") || EqualsIgnoringCase(text, "yes") || text == "1") {
        valid = true;
        result = true;
      } else if (EqualsIgnoringCase(text, "false") || EqualsIgnoringCase(text, "no") ||
                 text == "0") {
        valid = true;
      }
    }
  }
  if (keyExistsAndHasValidFormat != nullptr) *keyExistsAndHasValidFormat = valid;
  return result;
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID) {
  std::string domain;
  std::string key_text;
  std::string error;
  bool ok = false;
  if (!PlatformCFStringCopyUtf8(applicationID, &domain)) {
    error = "the application identifier is not a string";
  } else if (!PlatformCFStringCopyUtf8(key, &key_text)) {
    error = "the key is not a string";
  } else if (value == nullptr) {
    ok = platform::DeletePreference(domain, key_text, nullptr, &error);
  } else if (CFGetTypeID(value) == CFBooleanGetTypeID()) {
    ok = platform::SetPreferenceBoolean(
        domain, key_text, CFBooleanGetValue(static_cast<CFBooleanRef>(value)), &error);
  } else if (CFGetTypeID(value) == CFStringGetTypeID()) {
    std::string text;
    PlatformCFStringCopyUtf8(static_cast<CFStringRef>(value), &text);
    ok = platform::SetPreferenceString(domain, key_text, text, &error);
  } else {
    error = "only strings and booleans can be stored";
  }
  if (ok) return;
  std::lock_guard<std::mutex> hold(ReportMutex());
  FailedDomains().insert(domain);
  fprintf(stderr, "quorvex preferences: cannot store %s in domain %s: %s\n",
          platform::QuotePreferenceText(key_text).c_str(),
          platform::QuotePreferenceText(domain).c_str(), error.c_str());
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
  std::string domain;
  if (!DomainOf(applicationID, &domain)) return false;
  bool had_failure;
  {
    std::lock_guard<std::mutex> hold(ReportMutex());
    had_failure = FailedDomains().erase(domain) > 0;
  }
  std::string error;
  bool readable = platform::ReadPreferencesDomain(domain, nullptr, nullptr, &error);
  return readable && !had_failure;
}
