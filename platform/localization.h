// Localized texts of a bundle, read from the system's native message
// catalogues: GNU gettext ".mo" files, as msgfmt compiles them from ".po"
// sources.
//
// Where the catalogues live.  A bundle's catalogues are in its resources
// folder, one per language and table:
//
//   <resources>/locale/<language>/LC_MESSAGES/<domain>.mo
//
// The text domain of the default table is the bundle's identifier, e.g.
// "com.quorvex.pellicle.mo"; a named table T (other than "Localizable", the
// default table's name on the original platform) is the domain
// "<identifier>.T".  Catalogues must be in UTF-8 (or plain ASCII); a
// catalogue that declares another character set is not used.
//
// Which language.  The catalogues are read directly rather than through
// gettext(3), so neither the process's locale nor the set of locales that
// happen to be generated on the machine matters: a German catalogue is used
// for LANG=de_DE.UTF-8 even where only C.UTF-8 exists, and the process's
// locale is never changed.  The choice follows the usual variables:
//
//  1. The locale is the first non-empty one of LC_ALL, LC_MESSAGES, LANG.
//  2. When it is exactly "C" or "POSIX", the user asked for no translation;
//     only the development language (below) is used.
//  3. Otherwise the languages are the colon-separated list in LANGUAGE when
//     that is set and non-empty, else the locale itself.  Unlike gettext(3),
//     LANGUAGE is honoured when no locale variable is set at all.
//  4. Each entry ll_CC.codeset@modifier is tried as given, then without the
//     codeset, then as ll@modifier, ll_CC and ll.  Entries naming the C
//     locale, and entries that could leave the locale folder (a '/' or a
//     leading '.'), are skipped.
//  5. Last comes the development language, English ("en"), as on the
//     original platform, where a bundle falls back to the language it was
//     written in when none of the user's languages is there.
//
// A key is looked up in each of these catalogues in turn; the first one that
// has a non-empty translation wins.
//
// Threading: any thread.  The functions read the environment, so they must
// not run while another thread changes it (setenv, putenv).
#ifndef PLATFORM_LOCALIZATION_H_
#define PLATFORM_LOCALIZATION_H_

#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/cfstring.h"

// The language of last resort, tried after the user's languages.
inline constexpr char kPlatformDevelopmentLanguage[] = "en";

// The translation of `key` in the bundle's table `tableName` (NULL or empty
// for the default table), in the languages chosen as described above.
// Returns a new reference that the caller releases:
//  - the translation, when a catalogue has one;
//  - otherwise `value`, when it is non-NULL and not empty;
//  - otherwise `key`; NULL only when both key and value are NULL.
// A NULL bundle, a bundle without resources or identifier, a missing or
// damaged catalogue and a key holding a NUL all lead to the fallback; none of
// them is reported otherwise.
CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value,
                                        CFStringRef tableName);

// The catalogue folder names that a look-up tries, in order, for the
// environment as it is now; the development language is always last.  For
// diagnostics and tests.
std::vector<std::string> PlatformLocalizationLanguages();

#endif  // PLATFORM_LOCALIZATION_H_
