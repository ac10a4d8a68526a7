#include "platform/localization.h"

#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;
using Entries = std::map<std::string, std::string>;
const char kUtf8[] = "Content-Type: text/plain; charset=UTF-8\n";

// A catalogue laid out as msgfmt writes it: header, table of originals,
// table of translations, then the NUL-terminated strings.
std::string MakeCatalogue(const Entries& entries) {
  std::string strings;
  std::vector<UInt32> table;
  UInt32 count = static_cast<UInt32>(entries.size());
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& entry : entries) {
      const std::string& text = pass == 0 ? entry.first : entry.second;
      table.push_back(static_cast<UInt32>(text.size()));
      table.push_back(28 + 16 * count + static_cast<UInt32>(strings.size()));
      strings += text + '\0';
    }
  }
  UInt32 header[7] = {0x950412DEu, 0, count, 28, 28 + 8 * count, 0, 0};
  return std::string(reinterpret_cast<char*>(header), sizeof(header)) +
         std::string(reinterpret_cast<char*>(table.data()), table.size() * 4) + strings;
}

class Localization : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      if (getenv(name) != nullptr) saved_[name] = getenv(name);
      unsetenv(name);
    }
    temp_ = std::make_unique<quorvex_test::TempFolder>("localization_test");
    resources_ = temp_->path();
    ASSERT_TRUE(PlatformDeclareMainBundle("com.example.loc", resources_.c_str()));
  }
  void TearDown() override {
    PlatformDeclareMainBundle(nullptr, nullptr);
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    for (const auto& variable : saved_) setenv(variable.first.c_str(), variable.second.c_str(), 1);
    temp_.reset();
  }

  void Install(const std::string& language, const std::string& data,
               const std::string& domain = "com.example.loc") {
    std::string folder = resources_ + "/locale/" + language + "/LC_MESSAGES";
    fs::create_directories(folder);
    std::ofstream(folder + "/" + domain + ".mo", std::ios::binary) << data;
  }
  void Install(const std::string& language, Entries entries,
               const std::string& domain = "com.example.loc") {
    entries[""] = kUtf8;
    Install(language, MakeCatalogue(entries), domain);
  }

  static std::string Lookup(const char* key, const char* value = nullptr,
                            const char* table = nullptr) {
    auto make = [](const char* text) {
      return text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
    };
    CFStringRef strings[] = {make(key), make(value), make(table)};
    CFStringRef text =
        CFBundleCopyLocalizedString(CFBundleGetMainBundle(), strings[0], strings[1], strings[2]);
    std::string result = "<null>";
    if (text != nullptr) PlatformCFStringCopyUtf8(text, &result);
    for (CFStringRef string : {text, strings[0], strings[1], strings[2]}) CFRelease(string);
    return result;
  }

  std::map<std::string, std::string> saved_;
  std::unique_ptr<quorvex_test::TempFolder> temp_;
  std::string resources_;
};

TEST_F(Localization, LanguagesFollowTheLocaleVariables) {
  using List = std::vector<std::string>;
  const struct {
    std::vector<std::pair<const char*, const char*>> env;
    List languages;
  } cases[] = {
      {{}, {"en"}},
      {{{"LANG", "de_DE.UTF-8"}}, {"de_DE.UTF-8", "de_DE", "de", "en"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_CA"}}, {"fr_CA", "fr", "en"}},
      {{{"LC_MESSAGES", "fr_CA"}, {"LC_ALL", "it"}}, {"it", "en"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "pt_BR:de"}}, {"pt_BR", "pt", "de", "en"}},
      // Unlike gettext(3): LANGUAGE counts without any locale set, and with
      // C.UTF-8 (the only locale of many fresh machines).
      {{{"LANGUAGE", "de"}}, {"de", "en"}},
      {{{"LANGUAGE", "de"}, {"LANG", "C.UTF-8"}}, {"de", "en"}},
      // The plain C locale asks for no translation.
      {{{"LANGUAGE", "de"}, {"LC_ALL", "C"}}, {"en"}},
      {{{"LANGUAGE", "de"}, {"LANG", "POSIX"}}, {"en"}},
      {{{"LANGUAGE", "sr_RS.UTF-8@latin:../../etc:de/x:.hidden::C:es"}},
       {"sr_RS.UTF-8@latin", "sr_RS@latin", "sr@latin", "sr_RS", "sr", "es", "en"}},
  };
  for (const auto& c : cases) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    for (const auto& variable : c.env) setenv(variable.first, variable.second, 1);
    EXPECT_EQ(c.languages, PlatformLocalizationLanguages()) << c.languages[0];
  }
}

TEST_F(Localization, TranslatesInTheFirstLanguageThatHasTheKey) {
  Install("de", Entries{{"greeting", "Hallo"}});
  Install("fr", Entries{{"greeting", "Bonjour"}});
  Install("en", Entries{{"greeting", "Hello"}, {"farewell", "Goodbye"}});
  Install("en", Entries{{"greeting", "Errors table"}}, "com.example.loc.Errors");
  std::string locale_before = setlocale(LC_MESSAGES, nullptr);
  setenv("LANG", "de_AT.UTF-8", 1);  // Generated on this machine or not.
  EXPECT_EQ("Hallo", Lookup("greeting", "greeting"));
  EXPECT_EQ("Goodbye", Lookup("farewell", "farewell"));
  EXPECT_EQ(locale_before, setlocale(LC_MESSAGES, nullptr));  // Left alone.
  setenv("LANGUAGE", "ja:fr", 1);
  EXPECT_EQ("Bonjour", Lookup("greeting"));
  setenv("LANGUAGE", "ja", 1);
  EXPECT_EQ("Hello", Lookup("greeting"));
  EXPECT_EQ("Hello", Lookup("greeting", nullptr, "Localizable"));
  EXPECT_EQ("Errors table", Lookup("greeting", nullptr, "Errors"));
  EXPECT_EQ("greeting", Lookup("greeting", nullptr, "../Errors"));
}

TEST_F(Localization, FallsBackToValueThenKey) {
  Install("en", Entries{{"known", "Known"}});
  EXPECT_EQ("Fallback", Lookup("unknown", "Fallback"));
  EXPECT_EQ("unknown", Lookup("unknown", ""));
  EXPECT_EQ("unknown", Lookup("unknown"));
  EXPECT_EQ("", Lookup(""));  // The empty key would find the header.
  EXPECT_EQ("<null>", Lookup(nullptr));
  // A catalogue in another character set, or with text that is not UTF-8.
  Entries latin1 = {{"", "Content-Type: text/plain; charset=ISO-8859-1\n"},
                    {"known", "Gr\xFC\xDF"}};
  Install("en", MakeCatalogue(latin1));
  EXPECT_EQ("known", Lookup("known"));
  latin1[""] = kUtf8;
  Install("en", MakeCatalogue(latin1));
  EXPECT_EQ("known", Lookup("known"));
  // No resources at all.
  ASSERT_TRUE(PlatformDeclareMainBundle("com.example.loc", nullptr));
  EXPECT_EQ("known", Lookup("known"));
  CFStringRef value = CFStringCreateWithCString(nullptr, "value", kCFStringEncodingUTF8);
  CFStringRef text = CFBundleCopyLocalizedString(nullptr, value, value, nullptr);
  EXPECT_EQ(value, text);
  EXPECT_EQ(2, CFGetRetainCount(value));  // The caller owns a reference.
  CFRelease(text);
  CFRelease(value);
}

TEST_F(Localization, ReadsPluralEntriesAndTheOtherByteOrder) {
  std::string data = MakeCatalogue(
      {{"", kUtf8}, {std::string("file\0files", 10), std::string("Datei\0Dateien", 13)}});
  Install("en", data);
  EXPECT_EQ("Datei", Lookup("file"));
  for (size_t word = 0; word < 28 + 16 * 2; word += 4) {  // Header and tables.
    std::swap(data[word], data[word + 3]);
    std::swap(data[word + 1], data[word + 2]);
  }
  Install("en", data);
  EXPECT_EQ("Datei", Lookup("file"));
}

TEST_F(Localization, DamagedCataloguesNeverReadOutsideTheFile) {
  std::string good = MakeCatalogue({{"", kUtf8}, {"alpha", "Alpha"}, {"beta", "Beta"}});
  for (size_t length = 0; length < good.size(); ++length) {  // Every truncation.
    Install("en", good.substr(0, length));
    std::string text = Lookup("beta", "fallback");
    EXPECT_TRUE(text == "Beta" || text == "fallback") << length;
  }
  // Huge counts and offsets, off-by-one lengths: every byte of the header
  // and the tables set to hostile values.
  for (size_t position = 0; position < 28 + 16 * 3; ++position) {
    for (char hostile : {'\x00', '\x01', '\xFF'}) {
      std::string damaged = good;
      damaged[position] = hostile;
      Install("en", damaged);
      EXPECT_NE("", Lookup("beta", "fallback")) << position;
    }
  }
}

}  // namespace
