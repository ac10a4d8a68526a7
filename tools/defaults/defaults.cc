// quorvex-defaults: reads, writes and deletes the preferences of an
// application domain from the command line, through the same files and
// locking as the programs that use them.
//
// Exit status: 0 success, 1 failure (absent domain or key, a file that cannot
// be read, parsed or written), 2 usage error.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/preferences.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: quorvex-defaults read DOMAIN [KEY]\n"
    "       quorvex-defaults read-type DOMAIN KEY\n"
    "       quorvex-defaults write DOMAIN KEY [-string] VALUE\n"
    "       quorvex-defaults write DOMAIN KEY -bool true|false|yes|no\n"
    "       quorvex-defaults delete DOMAIN [KEY]\n"
    "       quorvex-defaults --help | --version\n";

constexpr char kHelp[] =
    "\n"
    "Reads and changes the preferences of an application domain, a name such as\n"
    "com.example.App made of letters, digits, '.', '_' and '-'. Each domain is the\n"
    "file $XDG_CONFIG_HOME/quorvex/preferences/DOMAIN.prefs (or the same under\n"
    "~/.config when XDG_CONFIG_HOME is not set).\n"
    "\n"
    "  read DOMAIN            print every entry, one per line, as\n"
    "                         \"key\" = \"string value\" or \"key\" = true|false\n"
    "  read DOMAIN KEY        print the value alone (a boolean as true or false)\n"
    "  read-type DOMAIN KEY   print the type of the value: string or boolean\n"
    "  write DOMAIN KEY VALUE store a string (also: -string VALUE, for a value\n"
    "                         that starts with '-')\n"
    "  write DOMAIN KEY -bool B\n"
    "                         store a boolean; B is true, false, yes or no\n"
    "  delete DOMAIN KEY      remove one entry\n"
    "  delete DOMAIN          remove the whole domain\n"
    "\n"
    "Exit status: 0 on success; 1 on failure (the domain or key does not exist,\n"
    "or the file cannot be read, parsed or written; a file that cannot be parsed\n"
    "is never changed, only deleted with 'delete DOMAIN'); 2 on a usage error.\n";

int UsageError(const std::string& message) {
  fprintf(stderr, "quorvex-defaults: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

int Failure(const std::string& message) {
  fprintf(stderr, "quorvex-defaults: %s\n", message.c_str());
  return kExitFailure;
}

// Writes `text` to standard output and flushes; false when that fails (a
// closed pipe, a full disk), which the caller reports as a failure.
bool Print(const std::string& text) {
  return fwrite(text.data(), 1, text.size(), stdout) == text.size() && fflush(stdout) == 0;
}

std::string Lowered(const char* text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool ParseBool(const char* text, bool* value) {
  std::string word = Lowered(text);
  if (word == "true" || word == "yes") {
    *value = true;
    return true;
  }
  if (word == "false" || word == "no") {
    *value = false;
    return true;
  }
  return false;
}

std::string Quoted(const std::string& text) { return platform::QuotePreferenceText(text); }

// Reads the domain; false (with the message printed) on failure.
bool ReadDomain(const std::string& domain, std::vector<platform::PreferenceEntry>* entries,
                bool* exists, int* status) {
  std::string error;
  if (!platform::ReadPreferencesDomain(domain, entries, exists, &error)) {
    *status = Failure(error);
    return false;
  }
  return true;
}

const platform::PreferenceEntry* FindEntry(const std::vector<platform::PreferenceEntry>& entries,
                                           const std::string& key) {
  for (const platform::PreferenceEntry& entry : entries) {
    if (entry.key == key) return &entry;
  }
  return nullptr;
}

std::string MissingKey(const std::string& domain, const std::string& key) {
  return "the key " + Quoted(key) + " does not exist in the domain " + domain;
}

int Read(const std::vector<std::string>& args, bool type_only) {
  const std::string& domain = args[0];
  std::vector<platform::PreferenceEntry> entries;
  bool exists = false;
  int status = 0;
  if (!ReadDomain(domain, &entries, &exists, &status)) return status;
  if (!exists) return Failure("the domain " + domain + " does not exist");
  std::string out;
  if (args.size() == 1) {
    for (const platform::PreferenceEntry& entry : entries) {
      const platform::PreferenceValue& value = entry.value;
      out += Quoted(entry.key) + " = ";
      if (value.type == platform::PreferenceValue::Type::kBoolean) {
        out += value.bool_value ? "true" : "false";
      } else {
        out += Quoted(value.string_value);
      }
      out += '\n';
    }
  } else {
    const platform::PreferenceEntry* entry = FindEntry(entries, args[1]);
    if (entry == nullptr) return Failure(MissingKey(domain, args[1]));
    bool is_boolean = entry->value.type == platform::PreferenceValue::Type::kBoolean;
    if (type_only) {
      out = is_boolean ? "boolean\n" : "string\n";
    } else if (is_boolean) {
      out = entry->value.bool_value ? "true\n" : "false\n";
    } else {
      out = entry->value.string_value + "\n";
    }
  }
  if (!Print(out)) return Failure(std::string("cannot write the output: ") + strerror(errno));
  return 0;
}

int Write(const std::vector<std::string>& args) {
  const std::string& domain = args[0];
  const std::string& key = args[1];
  std::string error;
  bool ok = false;
  if (args.size() == 3) {
    ok = platform::SetPreferenceString(domain, key, args[2], &error);
  } else if (args[2] == "-string") {
    ok = platform::SetPreferenceString(domain, key, args[3], &error);
  } else if (args[2] == "-bool" || args[2] == "-boolean") {
    bool value = false;
    if (!ParseBool(args[3].c_str(), &value)) {
      return UsageError("-bool takes true, false, yes or no, not " + Quoted(args[3]));
    }
    ok = platform::SetPreferenceBoolean(domain, key, value, &error);
  } else {
    return UsageError("unknown value type " + Quoted(args[2]) + " (use -string or -bool)");
  }
  return ok ? 0 : Failure(error);
}

int Delete(const std::vector<std::string>& args) {
  const std::string& domain = args[0];
  std::string error;
  bool existed = false;
  if (args.size() == 1) {
    if (!platform::DeletePreferencesDomain(domain, &existed, &error)) return Failure(error);
    return existed ? 0 : Failure("the domain " + domain + " does not exist");
  }
  if (!platform::DeletePreference(domain, args[1], &existed, &error)) return Failure(error);
  return existed ? 0 : Failure(MissingKey(domain, args[1]));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return UsageError("a command is needed");
  std::string command = argv[1];
  if (command == "--version")
    return Print("quorvex-defaults " QUORVEX_VERSION "\n") ? 0 : kExitFailure;
  if (command == "-h" || command == "--help" || command == "help") {
    return Print(std::string(kUsage) + kHelp) ? 0 : kExitFailure;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  size_t least;
  size_t most;
  if (command == "read") {
    least = 1;
    most = 2;
  } else if (command == "read-type") {
    least = 2;
    most = 2;
  } else if (command == "write") {
    least = 3;
    most = 4;
  } else if (command == "delete") {
    least = 1;
    most = 2;
  } else {
    return UsageError("unknown command " + Quoted(command));
  }
  if (args.size() < least) return UsageError("too few arguments for " + command);
  if (args.size() > most) return UsageError("too many arguments for " + command);
  if (!platform::IsValidPreferencesDomain(args[0])) {
    return UsageError("invalid domain name " + Quoted(args[0]) +
                      " (use letters, digits, '.', '_' and '-', not starting with '.')");
  }
  if (command == "read") return Read(args, false);
  if (command == "read-type") return Read(args, true);
  if (command == "write") return Write(args);
  return Delete(args);
}
