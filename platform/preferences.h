// Per-application preferences: string and boolean values kept by key in one
// domain per application (a reverse-DNS name such as "com.example.Agent"),
// through the foreign platform's calls, plus C++ helpers that report errors
// in words for tools and diagnostics.
//
// Storage. Each domain is one file,
//   <config>/quorvex/preferences/<domain>.prefs
// where <config> is $XDG_CONFIG_HOME when it is set to an absolute path, else
// $HOME/.config, else the .config folder in the home folder of the user's
// passwd entry. The environment is read at every call. Domain names are made
// of A-Z a-z 0-9 '.' '_' '-', do not start with '.', and are at most 200
// bytes long; any other name is refused.
//
// File format (UTF-8 text, one item per line):
//   quorvex-preferences 1          <- first line, exactly; identifies the format
//   # a comment                    <- '#' as the first non-blank character
//   "some key" = "a string value"  <- a string entry
//   "flag" = true                  <- a boolean entry: bare true or false
// Blank lines are allowed; blanks and tabs may surround '=' and the line.
// Inside the double quotes a backslash starts an escape: \\ \" \n \r \t, and
// \xHH (two hex digits, 00 to 7F) for any other byte; the writer escapes
// every control byte (embedded NULs included) that way and writes other
// characters as they are, so any key and any string value round-trips. Keys
// are unique within a file. An empty (zero-byte) file is an empty domain. A
// raw NUL byte is refused (it is written \x00). A file over 1 MiB
// (kMaxPreferencesFileBytes) is refused as a whole: settings are small, and
// reading a huge file on every lookup would stall every caller.
// Writers keep comments, blank lines and the order of entries; a new key is
// added at the end.
//
// Consistency. Every change is a read-modify-write under an exclusive flock
// on the sidecar file ".<domain>.lock" in the same folder; the new contents
// go to a temporary file ".<domain>.prefs~XXXXXX" there, which is synced and
// then renamed over the domain's file (and the folder synced). When the
// domain's file is a symbolic link, the link stays and its final target is
// replaced that way instead (the temporary file then lives beside it). A crash or a
// killed writer therefore leaves the old or the new file, never a torn one,
// and two concurrent writers never lose each other's changes. Temporary
// files left by a killed writer are removed by the next writer of that
// domain; readers ignore them. The lock file stays (removing it would race
// with a waiting writer).
//
// Reads take no lock and read the file afresh each time, so a value changed
// by another process is seen at the next read.
//
// A file that cannot be read or parsed reads as an empty domain, and every
// change to that domain fails with the same error (naming the file and, for
// a parse error, the line) until the user fixes or removes the file: it is
// never overwritten. Deleting the whole domain is the one change allowed.
//
// Threading: every function may be called from any thread and from several
// processes at once.
#ifndef PLATFORM_PREFERENCES_H_
#define PLATFORM_PREFERENCES_H_

#include <string>
#include <vector>

#include "platform/cfstring.h"

// ---------------------------------------------------------------------------
// The foreign platform's calls. They report problems with a domain's file
// on standard error (a parse error once per file state per process), since
// their results cannot carry them.

// The value of `key` in the domain `applicationID`: a new reference to a
// string or to one of the booleans (the caller releases it). NULL when
// either argument is NULL or not a string, the domain name is refused, the
// key is absent, or the file cannot be read or parsed.
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);

// The value of `key` read as a boolean: a boolean value, or a string equal
// to "true", "yes", "1", "false", "no" or "0" ignoring case. Returns that
// value, and sets *keyExistsAndHasValidFormat (when it is not NULL) to true.
// Otherwise (absent, another string, unreadable file, bad arguments) returns
// false and sets the flag to false.
Boolean CFPreferencesGetAppBooleanValue(CFStringRef key, CFStringRef applicationID,
                                        Boolean* keyExistsAndHasValidFormat);

// Stores `value` (a string or a boolean) under `key`, or removes the key
// when value is NULL, writing the domain's file at once. A failure (bad
// arguments, a value of another type, a refused domain, an unparsable file,
// an I/O error) changes nothing, is reported on standard error, and makes the
// next CFPreferencesAppSynchronize of the domain return false.
void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);

// Values are written when set, so there is nothing to flush. Returns true
// when every CFPreferencesSetAppValue of this domain in this process since
// the previous call succeeded and the domain's file is absent or readable;
// false otherwise, and for a NULL or refused applicationID.
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);

// ---------------------------------------------------------------------------
// C++ helpers. They print nothing; each returns true on success, or false
// with a one-line explanation in *error (when error is not NULL). On failure
// the other out-parameters are left untouched and nothing on disk changes.

namespace platform {

struct PreferenceValue {
  enum class Type { kString, kBoolean };
  Type type = Type::kString;
  std::string string_value;  // UTF-8, for kString.
  bool bool_value = false;   // For kBoolean.
};

struct PreferenceEntry {
  std::string key;  // UTF-8.
  PreferenceValue value;
};

// True when `domain` is an acceptable domain name (see above).
bool IsValidPreferencesDomain(const std::string& domain);

// The file that holds `domain`; false for a refused domain name or when no
// configuration folder can be found.
bool PreferencesDomainPath(const std::string& domain, std::string* path, std::string* error);

// All entries of `domain` in file order. A domain without a file is empty,
// and *exists (when not NULL) says whether the file exists.
bool ReadPreferencesDomain(const std::string& domain, std::vector<PreferenceEntry>* entries,
                           bool* exists, std::string* error);

// Stores a string or boolean under `key`, creating the folder and the file as
// needed. Keys and string values must be valid UTF-8.
bool SetPreferenceString(const std::string& domain, const std::string& key,
                         const std::string& value, std::string* error);
bool SetPreferenceBoolean(const std::string& domain, const std::string& key, bool value,
                          std::string* error);

// Removes `key`; *existed (when not NULL) says whether it was there. Removing
// an absent key succeeds and writes nothing.
bool DeletePreference(const std::string& domain, const std::string& key, bool* existed,
                      std::string* error);

// Removes the domain's file, even an unparsable one; *existed (when not NULL)
// says whether there was one.
bool DeletePreferencesDomain(const std::string& domain, bool* existed, std::string* error);

// Parses the text of a preferences file as reading a domain does, without
// touching the disk: the entries in file order, or false with the reason,
// which starts with `name` and the line number. For checking a file's text
// on its own, as the fuzz target does.
bool ParsePreferencesText(const std::string& content, const std::string& name,
                          std::vector<PreferenceEntry>* entries, std::string* error);

// The text that the file format uses for a key or a string value: the
// quoted, escaped form, e.g. "a \"b\"\n" for a "b" and a line feed.
std::string QuotePreferenceText(const std::string& text);

}  // namespace platform

#endif  // PLATFORM_PREFERENCES_H_
