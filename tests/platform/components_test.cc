#include "platform/components.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"

#include "platform/memory.h"
#include "platform/status.h"

namespace {

namespace fs = std::filesystem;

const char kTestComponentsDir[] = QUORVEX_TEST_COMPONENTS_DIR;
const std::string kTestBundle = std::string(kTestComponentsDir) + "/Test Component.component";
const std::string kTestLibrary = kTestBundle + "/libtestcomponent.so";

constexpr ComponentResult kBadSelector = static_cast<ComponentResult>(0x80008002u);

// The test component's selectors (tests/platform/testcomponent).
enum : SInt16 {
  kEchoSizes = 1,
  kEchoSeven = 2,
  kEchoTwelve = 3,
  kGetOpenRecord = 4,
  kGetIndString = 5,
  kBadConvention = 6,
  kShortBlock = 7,
  kCountNow = 8,
};

// ---------------------------------------------------------------------------
// The call primitive on its own, with handlers of this file.

template <size_t>
using Word = long;

long g_seen[1 + kComponentParametersMax];
size_t g_seen_count = 0;

template <class Indexes>
struct Recorder;

// A handler of n word parameters after the storage that records them all.
template <size_t... I>
struct Recorder<std::index_sequence<I...>> {
  static ComponentResult Handler(long storage, Word<I>... words) {
    const long all[] = {storage, words...};
    g_seen_count = sizeof(all) / sizeof(all[0]);
    for (size_t i = 0; i < g_seen_count; ++i) g_seen[i] = all[i];
    return static_cast<ComponentResult>(sizeof...(I) + 100);
  }
};

template <size_t N>
ProcPtr RecorderFor() {
  return reinterpret_cast<ProcPtr>(&Recorder<std::make_index_sequence<N>>::Handler);
}

const ProcPtr kRecorders[] = {
    RecorderFor<0>(),  RecorderFor<1>(),  RecorderFor<2>(),  RecorderFor<3>(), RecorderFor<4>(),
    RecorderFor<5>(),  RecorderFor<6>(),  RecorderFor<7>(),  RecorderFor<8>(), RecorderFor<9>(),
    RecorderFor<10>(), RecorderFor<11>(), RecorderFor<12>(),
};

// Layout code: four-byte result, four-byte storage, then `sizes` (1, 2 or 3
// each) for the parameters. Built bit by bit here so each test states only the
// sizes; the component's own tables use literal codes.
ProcInfoType Layout(const std::vector<unsigned>& sizes) {
  ProcInfoType code = 0x30 | (3u << 6);
  for (size_t i = 0; i < sizes.size(); ++i) code |= sizes[i] << (8 + 2 * i);
  return code;
}

ComponentParameters Block(const std::vector<long>& words) {
  ComponentParameters params = {};
  params.paramSize = static_cast<UInt8>(words.size() * sizeof(long));
  for (size_t i = 0; i < words.size(); ++i) params.params[i] = words[i];
  return params;
}

TEST(CallComponentFunction, PassesStorageThenEveryParameterInOrder) {
  Handle storage = reinterpret_cast<Handle>(0x00007F0012345678L);
  for (size_t count = 0; count <= kComponentParametersMax; ++count) {
    std::vector<long> words;
    // Full 64-bit words: a four-byte parameter is a pointer here and must
    // arrive whole.
    for (size_t i = 0; i < count; ++i) words.push_back(0x7EAD000000000000L + (long(i) << 20) + 1);
    ComponentParameters params = Block(words);
    g_seen_count = 0;
    ComponentResult result = CallComponentFunctionWithStorageProcInfo(
        storage, &params, kRecorders[count], Layout(std::vector<unsigned>(count, 3)));
    EXPECT_EQ(static_cast<ComponentResult>(count + 100), result);
    ASSERT_EQ(count + 1, g_seen_count);
    EXPECT_EQ(reinterpret_cast<long>(storage), g_seen[0]);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(words[i], g_seen[i + 1]) << count << "/" << i;
  }
}

TEST(CallComponentFunction, OneByteParameterIsCutToEightBitsZeroExtended) {
  // Every byte value, with garbage above it: only the low byte arrives.
  for (long value = 0; value < 256; ++value) {
    for (long high : {0L, 0x100L, -0x100L, 0x7FFFFFFFFFFFFF00L}) {
      ComponentParameters params = Block({high | value});
      CallComponentFunctionWithStorageProcInfo(nullptr, &params, kRecorders[1], Layout({1}));
      ASSERT_EQ(value, g_seen[1]) << std::hex << (high | value);
    }
  }
}

TEST(CallComponentFunction, TwoByteParameterIsCutToSixteenBitsSignExtended) {
  for (long value = 0; value < 65536; ++value) {
    ComponentParameters params = Block({0x5A5A0000L | value});
    CallComponentFunctionWithStorageProcInfo(nullptr, &params, kRecorders[1], Layout({2}));
    long expected = value < 0x8000 ? value : value - 0x10000;
    ASSERT_EQ(expected, g_seen[1]) << value;
  }
  ComponentParameters params = Block({-5});  // as a host passes an SInt16 of -5
  CallComponentFunctionWithStorageProcInfo(nullptr, &params, kRecorders[1], Layout({2}));
  EXPECT_EQ(-5, g_seen[1]);
}

TEST(CallComponentFunction, MixedSizesEachGetTheirOwnRule) {
  ComponentParameters params =
      Block({0x1FF, 0x1FFFB, 0x123456789ABCDEFL, 0x180, 0xFFFF8000L, -1, -1});
  CallComponentFunctionWithStorageProcInfo(nullptr, &params, kRecorders[7],
                                           Layout({1, 2, 3, 1, 2, 1, 3}));
  const long expected[] = {0xFF, -5, 0x123456789ABCDEFL, 0x80, -32768, 0xFF, -1};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(expected[i], g_seen[i + 1]) << i;
}

ComponentResult DeclaredTypesHandler(Handle storage, Boolean flag, SInt16 small, SInt32 word,
                                     long* pointer) {
  *pointer = flag * 1000000L + small * 1000L + word + (storage == nullptr ? 0 : 7);
  return 1;
}

TEST(CallComponentFunction, HandlersDeclaringNarrowTypesReadTheirValues) {
  long result = 0;
  ComponentParameters params =
      Block({0x101, 0xFFFE, 0x100000005L, static_cast<long>(reinterpret_cast<intptr_t>(&result))});
  EXPECT_EQ(1, CallComponentFunctionWithStorageProcInfo(
                   nullptr, &params, reinterpret_cast<ProcPtr>(DeclaredTypesHandler), 0xF9F0));
  // flag 1, small -2, word 5 (the high half of the word is not its business)
  EXPECT_EQ(1 * 1000000L - 2 * 1000L + 5, result);
}

TEST(CallComponentFunction, RefusesLayoutCodesItCannotHonour) {
  struct Case {
    const char* hazard;
    ProcInfoType code;
  };
  const Case cases[] = {
      {"calling convention 1", 0x3F1},
      {"calling convention 8", 0x3F8},
      {"no result", 0x3C0},
      {"one-byte result", 0x3D0},
      {"two-byte result", 0x3E0},
      {"storage of one byte", 0x370},
      {"storage missing", 0x330},
      {"a parameter after the end marker", 0x30F0},
      {"a high parameter after the end marker", 0xC00003F0},
  };
  for (const Case& c : cases) {
    ComponentParameters params = Block({1, 2, 3, 4});
    g_seen_count = 99;
    EXPECT_EQ(paramErr,
              CallComponentFunctionWithStorageProcInfo(nullptr, &params, kRecorders[1], c.code))
        << c.hazard;
    EXPECT_EQ(99u, g_seen_count) << c.hazard << ": the handler ran";
  }
}

TEST(CallComponentFunction, RefusesABlockShorterThanTheLayout) {
  ComponentParameters params = Block({1, 2, 3});
  for (UInt8 size : {0, 8, 16, 23}) {
    params.paramSize = size;
    g_seen_count = 99;
    EXPECT_EQ(paramErr, CallComponentFunctionWithStorageProcInfo(nullptr, &params, kRecorders[3],
                                                                 Layout({3, 3, 3})))
        << int(size);
    EXPECT_EQ(99u, g_seen_count);
  }
  // Exactly enough, and more than enough (the extra words are ignored).
  for (UInt8 size : {24, 40}) {
    params.paramSize = size;
    EXPECT_EQ(103, CallComponentFunctionWithStorageProcInfo(nullptr, &params, kRecorders[3],
                                                            Layout({3, 3, 3})));
  }
}

TEST(CallComponentFunction, RefusesNullBlockOrHandler) {
  ComponentParameters params = Block({});
  EXPECT_EQ(paramErr,
            CallComponentFunctionWithStorageProcInfo(nullptr, nullptr, kRecorders[0], 0xF0));
  EXPECT_EQ(paramErr, CallComponentFunctionWithStorageProcInfo(nullptr, &params, nullptr, 0xF0));
}

TEST(CallComponentFunction, HostArgumentsWidenByTheirOwnType) {
  using platform_components_internal::ParameterWord;
  EXPECT_EQ(-5, ParameterWord(SInt16(-5)));
  EXPECT_EQ(0xFFFB, ParameterWord(UInt16(0xFFFB)));
  EXPECT_EQ(-1, ParameterWord(SInt32(-1)));
  EXPECT_EQ(0xFFFFFFFFL, ParameterWord(UInt32(0xFFFFFFFF)));
  EXPECT_EQ(255, ParameterWord(Boolean(255)));
  EXPECT_EQ(0, ParameterWord(nullptr));
  int local = 0;
  EXPECT_EQ(reinterpret_cast<intptr_t>(&local), ParameterWord(&local));
  enum Small : SInt16 { kMinus = -3 };
  EXPECT_EQ(-3, ParameterWord(kMinus));
}

// ---------------------------------------------------------------------------
// The manager with real bundles.

class TemporaryFolder : public quorvex_test::TempFolder {
 public:
  TemporaryFolder() : TempFolder("quorvex-components") {}
};

// Writes `text` to `path`, making the folders on the way.
void WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  quorvex_test::WriteFile(path, text);
}

// A bundle whose library is a link to the test component's library.
std::string MakeBundle(const std::string& folder, const std::string& name,
                       const std::string& resources, bool link_library = true) {
  std::string bundle = folder + "/" + name + ".component";
  fs::create_directories(bundle + "/Resources");
  WriteFile(bundle + "/Resources/component.rsrc", resources);
  if (link_library) fs::create_symlink(kTestLibrary, bundle + "/libtestcomponent.so");
  return bundle;
}

// A registration of type 'qtst' for the test component's library, with
// `extra` lines appended.
std::string Registration(const std::string& subtype, const std::string& extra = "",
                         const std::string& type = "qtst",
                         const std::string& library = "libtestcomponent.so") {
  return "[component]\ntype = " + type + "\nsubtype = " + subtype +
         "\nmanufacturer = qrvx\nlibrary = " + library + "\nentry = TestComponentDispatch\n" +
         extra;
}

ComponentDescription Looking(OSType subtype = 'echo', UInt32 flags = 0, UInt32 mask = 0) {
  return ComponentDescription{'qtst', subtype, 'qrvx', flags, mask};
}

template <class T>
T* LibrarySymbol(const char* name) {
  void* library = dlopen(kTestLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return nullptr;
  void* symbol = dlsym(library, name);
  dlclose(library);  // only drops the reference taken just now
  return static_cast<T*>(symbol);
}

long Counter(const char* name) {
  std::atomic<long>* counter = LibrarySymbol<std::atomic<long>>(name);
  return counter == nullptr ? -1 : counter->load();
}

class ComponentManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlatformForgetComponentsForTesting();
    unsetenv("QUORVEX_COMPONENT_PATH");
    unsetenv("QUORVEX_TEST_COMPONENT_OPEN_ERROR");
    // The per-user folder is part of the search path; keep the user's own
    // components out of the tests.
    setenv("XDG_DATA_HOME", user_data_.path().c_str(), 1);
  }
  void TearDown() override {
    PlatformForgetComponentsForTesting();
    unsetenv("QUORVEX_COMPONENT_PATH");
    unsetenv("QUORVEX_TEST_COMPONENT_OPEN_ERROR");
  }

  Component TestComponent() {
    PlatformAddComponentFolder(kTestComponentsDir);
    ComponentDescription looking = Looking();
    return FindNextComponent(nullptr, &looking);
  }

  ComponentInstance OpenTestComponent() {
    Component component = TestComponent();
    return component == nullptr ? nullptr : OpenComponent(component);
  }

  TemporaryFolder user_data_;
};

TEST_F(ComponentManagerTest, FindsBundleInANamedFolder) {
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  ComponentDescription looking = Looking();
  EXPECT_EQ(1, CountComponents(&looking));
  EXPECT_EQ(nullptr, FindNextComponent(component, &looking));
  EXPECT_EQ(kTestBundle, PlatformComponentBundlePath(component));

  ComponentDescription cd = {};
  Handle name = NewHandle(0);
  Handle info = NewHandle(0);
  ASSERT_EQ(noErr, GetComponentInfo(component, &cd, name, info, nullptr));
  EXPECT_EQ(static_cast<OSType>('qtst'), cd.componentType);
  EXPECT_EQ(static_cast<OSType>('echo'), cd.componentSubType);
  EXPECT_EQ(static_cast<OSType>('qrvx'), cd.componentManufacturer);
  EXPECT_EQ(5u, cd.componentFlags);
  EXPECT_EQ(0u, cd.componentFlagsMask);
  EXPECT_EQ(15, GetHandleSize(name));
  EXPECT_EQ(std::string("\x0eTest Component", 15), std::string(*name, 15));
  EXPECT_EQ("Echoes what it is given",
            PlatformPascalToString(reinterpret_cast<unsigned char*>(*info)));
  DisposeHandle(name);
  DisposeHandle(info);
}

TEST_F(ComponentManagerTest, FindsBundleThroughTheEnvironmentPath) {
  std::string path = std::string("/nonexistent-quorvex::") + kTestComponentsDir + ":";
  setenv("QUORVEX_COMPONENT_PATH", path.c_str(), 1);
  ComponentDescription looking = Looking();
  // No explicit registration: the first search scans the path.
  Component component = FindNextComponent(nullptr, &looking);
  ASSERT_NE(nullptr, component);
  EXPECT_EQ(kTestBundle, PlatformComponentBundlePath(component));
}

TEST_F(ComponentManagerTest, FindsBundleInThePerUserFolder) {
  std::string folder = user_data_.path() + "/quorvex/Components";
  fs::create_directories(folder);
  fs::create_directory_symlink(kTestBundle, folder + "/Test Component.component");
  ComponentDescription looking = Looking();
  Component component = FindNextComponent(nullptr, &looking);
  ASSERT_NE(nullptr, component);
  EXPECT_EQ(folder + "/Test Component.component", PlatformComponentBundlePath(component));
}

TEST_F(ComponentManagerTest, FolderNamedAfterTheScanIsScannedAtOnce) {
  ComponentDescription looking = Looking();
  EXPECT_EQ(0, CountComponents(&looking));  // scans the search path
  PlatformAddComponentFolder(kTestComponentsDir);
  EXPECT_EQ(1, CountComponents(&looking));
  EXPECT_EQ(0, RegisterComponentsInSearchPath()) << "nothing new to scan";
}

TEST_F(ComponentManagerTest, EarlierFolderShadowsABundleOfTheSameName) {
  TemporaryFolder later;
  fs::create_directory_symlink(kTestBundle, later.path() + "/Test Component.component");
  PlatformAddComponentFolder(kTestComponentsDir);
  PlatformAddComponentFolder(later.path().c_str());
  ComponentDescription looking = Looking();
  EXPECT_EQ(1, CountComponents(&looking));
  EXPECT_EQ(kTestBundle, PlatformComponentBundlePath(FindNextComponent(nullptr, &looking)));
}

TEST_F(ComponentManagerTest, MatchesFieldsAndFlagsUnderTheMask) {
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  struct Case {
    ComponentDescription looking;
    bool matches;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0}, true},
      {{'qtst', 0, 0, 0, 0}, true},
      {{0, 'echo', 'qrvx', 0, 0}, true},
      {{'qtst', 'ech0', 0, 0, 0}, false},
      {{'vdig', 0, 0, 0, 0}, false},
      {{'qtst', 'echo', 'qrvy', 0, 0}, false},
      {{'qtst', 0, 0, 4, 4}, true},     // flags 5: bit 2 set
      {{'qtst', 0, 0, 0, 2}, true},     // bit 1 clear
      {{'qtst', 0, 0, 2, 2}, false},    // bit 1 asked set
      {{'qtst', 0, 0, 5, 0xFF}, true},  // all of the low byte
      {{'qtst', 0, 0, 7, 0xFF}, false},
      {{'qtst', 0, 0, 0xFF, 0}, true},  // flags ignored without a mask
  };
  for (const Case& c : cases) {
    ComponentDescription looking = c.looking;
    Component found = nullptr;
    // The build's and the user's folders may hold other components.
    while ((found = FindNextComponent(found, &looking)) != nullptr && found != component) {
    }
    EXPECT_EQ(c.matches, found == component)
        << std::hex << c.looking.componentType << " " << c.looking.componentFlags << "/"
        << c.looking.componentFlagsMask;
  }
  EXPECT_NE(nullptr, FindNextComponent(nullptr, nullptr));
}

TEST_F(ComponentManagerTest, MalformedBundlesAreSkippedWithAMessage) {
  TemporaryFolder folder;
  const std::string& dir = folder.path();
  struct Bad {
    const char* name;
    std::string resources;
    const char* reason;
  };
  const std::vector<Bad> bad = {
      {"Empty Resources", "", "no [component] section"},
      {"Short Type", Registration("shrt", "", "vd"), "type is not a four-character code"},
      {"Three Quoted", Registration("'a b'"), "subtype is not a four-character code"},
      {"Control Char", Registration("ab\tc"), "subtype is not a four-character code"},
      {"Unknown Key", Registration("unkn", "colour = blue\n"), "unknown key 'colour'"},
      {"Twice", Registration("twic", "entry = Other\n"), "second 'entry'"},
      {"No Entry",
       "[component]\ntype = qtst\nsubtype = noen\nmanufacturer = qrvx\nlibrary = "
       "libtestcomponent.so\n",
       "no 'entry'"},
      {"Escaping Library", Registration("esca", "", "qtst", "x/../../libtestcomponent.so"),
       "library must be a path inside the bundle"},
      {"Absolute Library", Registration("abso", "", "qtst", "/lib/x86_64-linux-gnu/libc.so.6"),
       "library must be a path inside the bundle"},
      {"Gap In List", Registration("gapl", "[STR# 200]\n1 = one\n3 = three\n"),
       "item 3 out of order"},
      {"Long Item", Registration("long", "[STR# 200]\n1 = " + std::string(256, 'x') + "\n"),
       "item longer than 255 bytes"},
      {"Bad List Id", Registration("bdid", "[STR# 40000]\n1 = x\n"),
       "string list id is not a 16-bit number"},
      {"Stray Line", "type = qtst\n", "key outside a section"},
      {"Garbage",
       std::string("\x7f"
                   "ELF\0\0\0\x01\n[x",
                   10),
       "contains a NUL byte"},
      {"Bad Flags", Registration("flag", "flags = 0x1FFFFFFFF\n"), "flags is not a 32-bit number"},
  };
  for (const Bad& b : bad) MakeBundle(dir, b.name, b.resources);
  MakeBundle(dir, "Missing Library", Registration("miss"), /*link_library=*/false);
  fs::create_directories(dir + "/No Resources.component");
  WriteFile(dir + "/Plain File.component", "not a folder");
  std::string good = MakeBundle(dir, "Good", Registration("good"));

  testing::internal::CaptureStderr();
  PlatformAddComponentFolder(dir.c_str());
  long registered = RegisterComponentsInSearchPath();
  std::string messages = testing::internal::GetCapturedStderr();

  EXPECT_GE(registered, 1);
  for (const Bad& b : bad) {
    std::string line = std::string("skipping component bundle \"") + dir + "/" + b.name +
                       ".component\": Resources/component.rsrc line";
    size_t at = messages.find(line);
    ASSERT_NE(std::string::npos, at) << b.name << "\n" << messages;
    size_t end = messages.find('\n', at);
    EXPECT_NE(std::string::npos, messages.substr(at, end - at).find(b.reason))
        << b.name << ": " << messages.substr(at, end - at);
  }
  EXPECT_NE(std::string::npos, messages.find("Missing Library.component\": library"));
  EXPECT_NE(std::string::npos,
            messages.find("No Resources.component\": cannot open Resources/component.rsrc"));
  EXPECT_EQ(std::string::npos, messages.find("Plain File")) << "not a bundle: no message";

  ComponentDescription looking = Looking(0);
  Component found = FindNextComponent(nullptr, &looking);
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(good, PlatformComponentBundlePath(found));
  EXPECT_EQ(nullptr, FindNextComponent(found, &looking)) << "only the good bundle registers";
}

TEST_F(ComponentManagerTest, QuotedCodesKeepTheirBlanks) {
  TemporaryFolder folder;
  MakeBundle(folder.path(), "Quoted",
             "# comment\n\n  [component]  \n type = 'qt  '\nsubtype='a b '\r\n"
             "manufacturer = qrvx\nflags = 4294967295\nlibrary = ./libtestcomponent.so\n"
             "entry = TestComponentDispatch\n[STR# -32768]\n1 =\n");
  PlatformAddComponentFolder(folder.path().c_str());
  ComponentDescription looking = {'qt  ', 'a b ', 'qrvx', 0, 0};
  Component component = FindNextComponent(nullptr, &looking);
  ASSERT_NE(nullptr, component);
  ComponentDescription cd = {};
  Handle name = NewHandle(0);
  Handle info = NewHandle(0);
  ASSERT_EQ(noErr, GetComponentInfo(component, &cd, name, info, nullptr));
  EXPECT_EQ(0xFFFFFFFFu, cd.componentFlags);
  EXPECT_EQ("Quoted", PlatformPascalToString(reinterpret_cast<unsigned char*>(*name)));
  EXPECT_EQ(1, GetHandleSize(info)) << "an empty information text";
  Str255 text = {9, 'x'};
  EXPECT_EQ(noErr, GetComponentIndString(component, text, -32768, 1));
  EXPECT_EQ(0, text[0]);
  DisposeHandle(name);
  DisposeHandle(info);
}

TEST(ComponentResources, ParsedAloneAsRegistrationReadsThem) {
  PlatformComponentResources resources;
  std::string error;
  ASSERT_TRUE(PlatformParseComponentResources(
      "[component]\ntype = 'qt  '\nsubtype = abcd\nmanufacturer = qrvx\nflags = 0x10\n"
      "info = some text\nlibrary = lib/libx.so\nentry = Dispatch_2\n[STR# -5]\n1 = one\n2 =\n",
      &resources, &error))
      << error;
  EXPECT_EQ(static_cast<OSType>('qt  '), resources.description.componentType);
  EXPECT_EQ(static_cast<OSType>('abcd'), resources.description.componentSubType);
  EXPECT_EQ(static_cast<OSType>('qrvx'), resources.description.componentManufacturer);
  EXPECT_EQ(0x10u, resources.description.componentFlags);
  EXPECT_EQ("", resources.name) << "without a name the bundle's folder names it";
  EXPECT_EQ("some text", resources.info);
  EXPECT_EQ("lib/libx.so", resources.library);
  EXPECT_EQ("Dispatch_2", resources.entry_symbol);
  ASSERT_EQ(1u, resources.string_lists.size());
  EXPECT_EQ((std::vector<std::string>{"one", ""}), resources.string_lists.at(-5));

  EXPECT_FALSE(PlatformParseComponentResources(Registration("esca", "", "qtst", "a/../../x.so"),
                                               &resources, &error));
  EXPECT_NE(std::string::npos, error.find("line 5: library must be a path inside the bundle"))
      << error;
}

TEST_F(ComponentManagerTest, LibraryThatWillNotLoadGivesLoadError) {
  TemporaryFolder folder;
  std::string bundle = MakeBundle(folder.path(), "Text Library", Registration("text"), false);
  WriteFile(bundle + "/libtestcomponent.so", "this is not a shared object\n");
  PlatformAddComponentFolder(folder.path().c_str());
  ComponentDescription looking = Looking('text');
  Component component = FindNextComponent(nullptr, &looking);
  ASSERT_NE(nullptr, component);
  ComponentInstance ci = reinterpret_cast<ComponentInstance>(1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(componentDllLoadErr, OpenAComponent(component, &ci));
  std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_EQ(nullptr, ci);
  EXPECT_NE(std::string::npos, messages.find("cannot load component")) << messages;
  EXPECT_EQ(0, CountComponentInstances(component));
}

TEST_F(ComponentManagerTest, MissingEntrySymbolGivesEntryNotFound) {
  TemporaryFolder folder;
  MakeBundle(folder.path(), "No Such Entry",
             "[component]\ntype = qtst\nsubtype = noen\nmanufacturer = qrvx\n"
             "library = libtestcomponent.so\nentry = NoSuchEntry\n");
  PlatformAddComponentFolder(folder.path().c_str());
  ComponentDescription looking = Looking('noen');
  Component component = FindNextComponent(nullptr, &looking);
  ASSERT_NE(nullptr, component);
  ComponentInstance ci = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_EQ(componentDllEntryNotFoundErr, OpenAComponent(component, &ci));
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStderr().find("has no entry \"NoSuchEntry\""));
  EXPECT_EQ(nullptr, ci);
  EXPECT_EQ(0, CountComponentInstances(component));
}

TEST_F(ComponentManagerTest, CountSeenInOpenIncludesTheInstanceBeingOpened) {
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  ComponentInstance first = nullptr;
  ASSERT_EQ(noErr, OpenAComponent(component, &first));
  ASSERT_NE(nullptr, first);
  long record[2] = {};
  ASSERT_EQ(noErr, PlatformCallComponent(first, kGetOpenRecord, record));
  EXPECT_EQ(1, record[0]);
  EXPECT_EQ(reinterpret_cast<long>(first), record[1]) << "open got the instance itself";
  EXPECT_EQ(1, CountComponentInstances(component));

  ComponentInstance second = OpenComponent(component);
  ASSERT_NE(nullptr, second);
  ASSERT_EQ(noErr, PlatformCallComponent(second, kGetOpenRecord, record));
  EXPECT_EQ(2, record[0]);
  EXPECT_EQ(2, CountComponentInstances(component));
  // An instance stands for its component.
  EXPECT_EQ(2, CountComponentInstances(reinterpret_cast<Component>(first)));
  long now = 0;
  ASSERT_EQ(noErr, PlatformCallComponent(second, kCountNow, &now));
  EXPECT_EQ(2, now);

  EXPECT_EQ(noErr, CloseComponent(first));
  EXPECT_EQ(1, CountComponentInstances(component));
  EXPECT_EQ(noErr, CloseComponent(second));
  EXPECT_EQ(0, CountComponentInstances(component));
}

TEST_F(ComponentManagerTest, FailedOpenCallsCloseAndLeavesNothingBehind) {
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  // Loaded by an open that succeeds, so that its counters can be read.
  ComponentInstance probe = OpenComponent(component);
  ASSERT_NE(nullptr, probe);
  ASSERT_EQ(noErr, CloseComponent(probe));

  long handles = PlatformLiveHandleCountForTesting();
  long opens = Counter("TestComponentOpens");
  long closes = Counter("TestComponentCloses");
  setenv("QUORVEX_TEST_COMPONENT_OPEN_ERROR", "-2090", 1);
  ComponentInstance ci = reinterpret_cast<ComponentInstance>(1);
  EXPECT_EQ(-2090, OpenAComponent(component, &ci));
  EXPECT_EQ(nullptr, ci);
  EXPECT_EQ(opens + 1, Counter("TestComponentOpens"));
  EXPECT_EQ(closes + 1, Counter("TestComponentCloses")) << "close follows a failed open";
  EXPECT_EQ(handles, PlatformLiveHandleCountForTesting()) << "close got open's storage";
  EXPECT_EQ(0, CountComponentInstances(component));
  EXPECT_EQ(nullptr, OpenComponent(component));
  EXPECT_EQ(0, CountComponentInstances(component));
}

TEST_F(ComponentManagerTest, FailureThatDoesNotFitAnOSErrIsNotReportedAsSuccess) {
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  // 0x10000 would read as noErr if cut to 16 bits.
  setenv("QUORVEX_TEST_COMPONENT_OPEN_ERROR", "0x10000", 1);
  ComponentInstance ci = nullptr;
  EXPECT_EQ(genericFailureErr, OpenAComponent(component, &ci));
  EXPECT_EQ(nullptr, ci);
  setenv("QUORVEX_TEST_COMPONENT_OPEN_ERROR", "0x80008002", 1);
  EXPECT_EQ(genericFailureErr, OpenAComponent(component, &ci));
  EXPECT_EQ(0, CountComponentInstances(component));
}

TEST_F(ComponentManagerTest, StorageSetInOpenReachesEveryCall) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  Handle storage = GetComponentInstanceStorage(ci);
  ASSERT_NE(nullptr, storage);
  EXPECT_EQ(16, GetHandleSize(storage));
  long out[12] = {};
  PlatformCallComponent(ci, kEchoSizes, out, Boolean(1), SInt16(2), SInt32(3), nullptr);
  EXPECT_EQ(reinterpret_cast<long>(storage), out[4]);
  PlatformCallComponent(ci, kEchoSeven, out, SInt16(1), Boolean(0), SInt32(0), SInt16(0),
                        Boolean(0), nullptr);
  EXPECT_EQ(reinterpret_cast<long>(storage), out[6]);
  EXPECT_EQ(0x00010002, GetComponentVersion(ci)) << "version needs the storage";
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, EveryParameterSizeArrivesExactly) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  int target = 0;
  long out[5] = {};
  // The host passes words; the layout cuts and extends them.
  EXPECT_EQ(1, PlatformCallComponent(ci, kEchoSizes, out, 0x1FFL, 0x1FFFBL, -7L, &target));
  EXPECT_EQ(0xFF, out[0]);
  EXPECT_EQ(-5, out[1]);
  EXPECT_EQ(-7, out[2]);
  EXPECT_EQ(reinterpret_cast<long>(&target), out[3]);
  // And as a host with typed arguments writes it.
  EXPECT_EQ(1, PlatformCallComponent(ci, kEchoSizes, out, Boolean(1), SInt16(-5),
                                     SInt32(0x7FFFFFFF), static_cast<void*>(out)));
  EXPECT_EQ(1, out[0]);
  EXPECT_EQ(-5, out[1]);
  EXPECT_EQ(0x7FFFFFFF, out[2]);
  EXPECT_EQ(reinterpret_cast<long>(out), out[3]);
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, SevenParametersPassTheStackIntact) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  long out[7] = {};
  char marker = 0;
  EXPECT_EQ(7, PlatformCallComponent(ci, kEchoSeven, out, SInt16(-32768), Boolean(0xFE),
                                     SInt32(INT32_MIN), 0x18001L, 0x301L, &marker));
  const long expected[] = {-32768, 0xFE, INT32_MIN, -32767, 1, reinterpret_cast<long>(&marker)};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], out[i]) << i;
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, TwelveParametersAreTheMost) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  long out[11] = {};
  EXPECT_EQ(12, PlatformCallComponent(ci, kEchoTwelve, out, SInt32(-1), SInt32(2), SInt32(-3),
                                      SInt32(4), SInt32(-5), SInt32(6), SInt32(-7), SInt32(8),
                                      SInt32(-9), SInt32(10), SInt32(-11)));
  for (int i = 0; i < 11; ++i) EXPECT_EQ((i % 2 ? 1 : -1) * (i + 1), out[i]) << i;
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, BadLayoutsAndSelectorsReachNoHandler) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  long out[1] = {0};
  EXPECT_EQ(paramErr, PlatformCallComponent(ci, kBadConvention, out));
  // The layout names three parameters; one is given.
  EXPECT_EQ(paramErr, PlatformCallComponent(ci, kShortBlock, out));
  EXPECT_EQ(0, out[0]);
  EXPECT_EQ(kBadSelector, PlatformCallComponent(ci, 9, out));
  EXPECT_EQ(kBadSelector, PlatformCallComponent(ci, -5));
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, CanDoAnswersForItsSelectors) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  for (SInt16 selector : {-4, -3, -2, -1, 1, 2, 3, 4, 5, 6, 7, 8}) {
    EXPECT_EQ(1, ComponentFunctionImplemented(ci, selector)) << selector;
  }
  for (SInt16 selector : {-5, 0, 9, 200, -32768, 32767}) {
    EXPECT_EQ(0, ComponentFunctionImplemented(ci, selector)) << selector;
  }
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, IndStringsComeFromTheBundle) {
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  Str255 text;
  ASSERT_EQ(noErr, GetComponentIndString(component, text, 200, 1));
  EXPECT_EQ("Quorvex Camera Adapter 0", PlatformPascalToString(text));
  ASSERT_EQ(noErr, GetComponentIndString(component, text, 200, 2));
  EXPECT_EQ("Test 4:2:0", PlatformPascalToString(text));
  ASSERT_EQ(noErr, GetComponentIndString(component, text, 200, 3));
  const unsigned char utf8[] = {7, 'G', 'r', 0xC3, 0xBC, 0xC3, 0x9F, 'e'};
  EXPECT_EQ(0, memcmp(utf8, text, sizeof(utf8)));
  ASSERT_EQ(noErr, GetComponentIndString(component, text, -7, 1));
  EXPECT_EQ("A list with a negative id", PlatformPascalToString(text));

  struct Missing {
    SInt16 list;
    SInt16 index;
  };
  for (Missing m : {Missing{200, 0}, Missing{200, 4}, Missing{200, -1}, Missing{201, 1},
                    Missing{-7, 2}, Missing{0, 1}}) {
    text[0] = 5;
    EXPECT_EQ(resNotFound, GetComponentIndString(component, text, m.list, m.index))
        << m.list << "/" << m.index;
    EXPECT_EQ(0, text[0]) << "an empty string on failure";
  }
  EXPECT_EQ(paramErr, GetComponentIndString(component, nullptr, 200, 1));
}

TEST_F(ComponentManagerTest, IndStringThroughTheInstanceAsTheComponentDoes) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  Str255 text;
  ASSERT_EQ(noErr, PlatformCallComponent(ci, kGetIndString, text, SInt16(200), SInt16(1)));
  EXPECT_EQ("Quorvex Camera Adapter 0", PlatformPascalToString(text));
  EXPECT_EQ(resNotFound, PlatformCallComponent(ci, kGetIndString, text, SInt16(200), SInt16(9)));
  ASSERT_EQ(noErr, GetComponentIndString(reinterpret_cast<Component>(ci), text, 200, 2));
  EXPECT_EQ("Test 4:2:0", PlatformPascalToString(text));
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, InvalidPointersAreRefusedNotFollowed) {
  long not_a_record[8] = {};
  auto made_up_instance = reinterpret_cast<ComponentInstance>(not_a_record);
  auto made_up_component = reinterpret_cast<Component>(not_a_record);
  for (ComponentInstance ci : {made_up_instance, static_cast<ComponentInstance>(nullptr)}) {
    EXPECT_EQ(invalidComponentID, CloseComponent(ci));
    EXPECT_EQ(badComponentInstance, PlatformCallComponent(ci, kEchoSizes));
    EXPECT_EQ(badComponentInstance, ComponentFunctionImplemented(ci, 1));
    EXPECT_EQ(badComponentInstance, GetComponentVersion(ci));
    SetComponentInstanceStorage(ci, reinterpret_cast<Handle>(not_a_record));
    EXPECT_EQ(nullptr, GetComponentInstanceStorage(ci));
  }
  for (Component c : {made_up_component, static_cast<Component>(nullptr)}) {
    EXPECT_EQ(invalidComponentID, CountComponentInstances(c));
    Str255 text = {3, 'a', 'b', 'c'};
    EXPECT_EQ(invalidComponentID, GetComponentIndString(c, text, 200, 1));
    EXPECT_EQ(0, text[0]);
    ComponentDescription cd = {1, 2, 3, 4, 5};
    EXPECT_EQ(invalidComponentID, GetComponentInfo(c, &cd, nullptr, nullptr, nullptr));
    EXPECT_EQ(1u, cd.componentType) << "nothing written";
    ComponentInstance ci = reinterpret_cast<ComponentInstance>(1);
    EXPECT_EQ(invalidComponentID, OpenAComponent(c, &ci));
    EXPECT_EQ(nullptr, ci);
    EXPECT_EQ(nullptr, OpenComponent(c));
    EXPECT_EQ("", PlatformComponentBundlePath(c));
  }
  ComponentDescription looking = Looking();
  EXPECT_EQ(nullptr, FindNextComponent(made_up_component, &looking));
  for (long word : not_a_record) EXPECT_EQ(0, word);
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  EXPECT_EQ(paramErr, OpenAComponent(component, nullptr));
  EXPECT_EQ(paramErr, PlatformCallComponentWithParameters(nullptr, nullptr));
}

TEST_F(ComponentManagerTest, ClosedInstanceIsRefusedAfterwards) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  long handles = PlatformLiveHandleCountForTesting();
  ASSERT_EQ(noErr, CloseComponent(ci));
  EXPECT_EQ(handles - 1, PlatformLiveHandleCountForTesting()) << "close disposed the storage";
  EXPECT_EQ(invalidComponentID, CloseComponent(ci)) << "a second close calls nothing";
  EXPECT_EQ(handles - 1, PlatformLiveHandleCountForTesting());
  EXPECT_EQ(badComponentInstance, GetComponentVersion(ci));
  EXPECT_EQ(nullptr, GetComponentInstanceStorage(ci));
}

TEST_F(ComponentManagerTest, LibraryIsLoadedOnceAndStaysLoaded) {
  ComponentInstance ci = OpenTestComponent();
  ASSERT_NE(nullptr, ci);
  ASSERT_EQ(noErr, CloseComponent(ci));
  // Loaded after its last instance closed, its static state kept.
  EXPECT_NE(nullptr, LibrarySymbol<void>("TestComponentDispatch"));
  EXPECT_EQ(1, Counter("TestComponentStaticInits"));
  long opens = Counter("TestComponentOpens");

  // Registered afresh from another path (a link to the same bundle), opened
  // again: the same loaded library serves it, its initialisation not rerun.
  PlatformForgetComponentsForTesting();
  TemporaryFolder other;
  fs::create_directory_symlink(kTestBundle, other.path() + "/Test Component.component");
  PlatformAddComponentFolder(other.path().c_str());
  ComponentDescription looking = Looking();
  Component again = FindNextComponent(nullptr, &looking);
  ASSERT_NE(nullptr, again);
  ci = OpenComponent(again);
  ASSERT_NE(nullptr, ci);
  EXPECT_EQ(opens + 1, Counter("TestComponentOpens"));
  EXPECT_EQ(1, Counter("TestComponentStaticInits"));
  EXPECT_EQ(noErr, CloseComponent(ci));
}

TEST_F(ComponentManagerTest, ThreadsOpenCallAndCloseTogether) {
  Component component = TestComponent();
  ASSERT_NE(nullptr, component);
  long handles = PlatformLiveHandleCountForTesting();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&failures, component, t] {
      for (int i = 0; i < 50; ++i) {
        ComponentInstance ci = OpenComponent(component);
        if (ci == nullptr) {
          ++failures;
          continue;
        }
        long out[5] = {};
        if (PlatformCallComponent(ci, kEchoSizes, out, Boolean(t), SInt16(-i), SInt32(i), ci) !=
                1 ||
            out[0] != t || out[1] != -i || out[3] != reinterpret_cast<long>(ci)) {
          ++failures;
        }
        if (CloseComponent(ci) != noErr) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, CountComponentInstances(component));
  EXPECT_EQ(handles, PlatformLiveHandleCountForTesting());
}

}  // namespace
