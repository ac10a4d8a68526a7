// A stand-in for libFuzzer's main(), for compilers without it.  Runs the
// fuzz target linked with it (LLVMFuzzerTestOneInput) over
//   - every file named on the command line, each file one input (a folder
//     stands for the files in it), then
//   - with --random N [--seed S], N pseudo-random inputs; the i-th depends
//     only on i, S (default 1) and the files given, so a run can be
//     repeated exactly.
// Without files, random inputs mix uniform bytes with bytes and pieces that
// the string codings give a meaning of their own: '%', '&', '#', ';', hex
// digits, entities, '*', UTF-8 lead and continuation bytes.  With files (a
// seed corpus), most random inputs are a seed mutated a few times: bytes
// flipped, inserted, removed or repeated, a piece of another seed spliced
// in, or a token of the dictionary given with --dict (libFuzzer's format:
// one "token" per line, \xNN escapes) put in.  When the target crashes or a
// sanitizer stops the process, the input at hand is written to
// "fuzz-crash-input" in the working directory, to be replayed by naming the
// file.  Single-threaded.
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define QUORVEX_FUZZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEX_FUZZ_SANITIZED 1
#endif
#endif
#ifdef QUORVEX_FUZZ_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

const char kCrashFile[] = "fuzz-crash-input";

// The input being run, for the crash handlers; null between runs.
const char* volatile current_data = nullptr;
volatile size_t current_size = 0;

// Async-signal-safe: only open, write and close.
void WriteCurrentInput() {
  const char* data = current_data;
  if (data == nullptr) return;
  const int fd = open(kCrashFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  for (size_t done = 0; done < current_size;) {
    const ssize_t n = write(fd, data + done, current_size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  static const char kNote[] = "fuzz driver: failing input written to fuzz-crash-input\n";
  if (write(STDERR_FILENO, kNote, sizeof(kNote) - 1) < 0) {
    // Nothing more can be done inside a dying process.
  }
}

void OnFatalSignal(int sig) {
  WriteCurrentInput();
  signal(sig, SIG_DFL);
  raise(sig);
}

void InstallCrashHandlers() {
  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) signal(sig, OnFatalSignal);
#ifdef QUORVEX_FUZZ_SANITIZED
  // Sanitizer reports end with _exit, past any signal handler.
  __sanitizer_set_death_callback(WriteCurrentInput);
#endif
}

void RunOne(const std::string& input) {
  current_size = input.size();
  current_data = input.data();
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  current_data = nullptr;
}

// splitmix64: small, fast and the same everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t Below(size_t limit) { return static_cast<size_t>(Next() % limit); }

 private:
  uint64_t state_;
};

std::string RandomInput(Random& random) {
  static const char kCodingBytes[] = "%&#;x0123456789abcdefABCDEF";
  // clang-format off
  static const char* const kPieces[] = {
      "&#", "&#x", "&#;", "&#-", "&# ", "&#0;", "&#65;", "&#x1F600;",
      "&lt;", "&gt;", "&amp;", "&quot;", "&apos;", "%2", "%41", "%zz",
      "**", "*a", "a*", "*", "+", "\\", ",", " ",
      "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
  // clang-format on
  // Mostly short inputs, where every byte counts; now and then a long one.
  const size_t length = random.Below(32) == 0 ? random.Below(256) : random.Below(48);
  std::string input;
  while (input.size() < length) {
    const size_t kind = random.Below(20);
    if (kind < 8) {
      input += static_cast<char>(random.Next());
    } else if (kind < 14) {
      input += kCodingBytes[random.Below(sizeof(kCodingBytes) - 1)];
    } else if (kind < 17) {
      // UTF-8: a lead byte of any length class (0xC0-0xFF) or a continuation byte.
      input +=
          static_cast<char>(random.Below(2) ? 0xC0 + random.Below(64) : 0x80 + random.Below(64));
    } else {
      input += kPieces[random.Below(sizeof(kPieces) / sizeof(kPieces[0]))];
    }
  }
  return input;
}

// A seed changed one to four times.
std::string MutatedInput(Random& random, const std::vector<std::string>& seeds,
                         const std::vector<std::string>& tokens) {
  std::string input = seeds[random.Below(seeds.size())];
  const size_t changes = 1 + random.Below(4);
  for (size_t i = 0; i < changes; ++i) {
    const size_t at = random.Below(input.size() + 1);
    switch (random.Below(tokens.empty() ? 6 : 8)) {
      case 0:  // flip bits of one byte
        if (!input.empty()) input[at % input.size()] ^= static_cast<char>(1 + random.Below(255));
        break;
      case 1:  // a byte in
        input.insert(at, 1, static_cast<char>(random.Next()));
        break;
      case 2:  // a digit in or over: numbers are where formats break
        if (!input.empty() && random.Below(2)) {
          input[at % input.size()] = static_cast<char>('0' + random.Below(10));
        } else {
          input.insert(at, 1, static_cast<char>('0' + random.Below(10)));
        }
        break;
      case 3:  // a run out
        input.erase(at, 1 + random.Below(16));
        break;
      case 4: {  // a run repeated
        const std::string run = input.substr(at, 1 + random.Below(16));
        input.insert(at, run);
        break;
      }
      case 5: {  // a piece of another seed
        const std::string& other = seeds[random.Below(seeds.size())];
        const size_t from = random.Below(other.size() + 1);
        input.insert(at, other.substr(from, 1 + random.Below(32)));
        break;
      }
      default:  // a token of the dictionary, in or over
        const std::string& token = tokens[random.Below(tokens.size())];
        if (random.Below(2)) {
          input.insert(at, token);
        } else {
          input.replace(at, token.size(), token);
        }
        break;
    }
    if (input.size() > 4096) input.resize(4096);
  }
  return input;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The tokens of a libFuzzer dictionary: on each line that is not blank or a
// '#' comment, the text between the first and the last double quote, with
// \\, \" and \xNN decoded.  False for a line without a quoted token.
bool ReadDictionary(const std::string& text, std::vector<std::string>* tokens) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t text_at = line.find_first_not_of(" \t\r");
    if (text_at == std::string::npos || line[text_at] == '#') continue;
    const size_t first = line.find('"');
    const size_t last = line.rfind('"');
    if (first == std::string::npos || last == first) return false;
    std::string token;
    for (size_t i = first + 1; i < last; ++i) {
      if (line[i] != '\\' || i + 1 >= last) {
        token += line[i];
      } else if (line[i + 1] == 'x' && i + 3 < last && HexValue(line[i + 2]) >= 0 &&
                 HexValue(line[i + 3]) >= 0) {
        token += static_cast<char>(HexValue(line[i + 2]) * 16 + HexValue(line[i + 3]));
        i += 3;
      } else {
        token += line[++i];
      }
    }
    tokens->push_back(token);
  }
  return true;
}

// The files a command-line name stands for: itself, or a folder's files in
// name order (so that runs repeat).
std::vector<std::string> ExpandPath(const char* path) {
  std::vector<std::string> files;
  DIR* folder = opendir(path);
  if (folder == nullptr) {
    files.push_back(path);
    return files;
  }
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    files.push_back(std::string(path) + "/" + entry->d_name);
  }
  closedir(folder);
  std::sort(files.begin(), files.end());
  return files;
}

bool ReadFile(const char* path, std::string* contents) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  contents->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

int Usage(const char* program) {
  fprintf(stderr, "usage: %s [--random N [--seed S]] [--dict FILE] [FILE|FOLDER]...\n", program);
  return 2;
}

// A whole-string decimal number.
bool ParseCount(const char* text, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  *value = strtoull(text, &end, 10);
  return *end == '\0' && text[0] != '-';
}

}  // namespace

int main(int argc, char** argv) {
  InstallCrashHandlers();
  uint64_t count = 0;
  uint64_t seed = 1;
  std::vector<std::string> files;
  std::vector<std::string> tokens;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (strcmp(argv[i], "--random") == 0) {
      if (!has_value || !ParseCount(argv[++i], &count)) return Usage(argv[0]);
    } else if (strcmp(argv[i], "--seed") == 0) {
      if (!has_value || !ParseCount(argv[++i], &seed)) return Usage(argv[0]);
    } else if (strcmp(argv[i], "--dict") == 0) {
      std::string text;
      if (!has_value || !ReadFile(argv[++i], &text) || !ReadDictionary(text, &tokens)) {
        fprintf(stderr, "%s: cannot read the dictionary %s\n", argv[0], has_value ? argv[i] : "");
        return 2;
      }
    } else if (argv[i][0] == '-') {
      return Usage(argv[0]);
    } else {
      for (const std::string& file : ExpandPath(argv[i])) files.push_back(file);
    }
  }
  if (count == 0 && files.empty()) return Usage(argv[0]);
  std::vector<std::string> seeds;
  for (const std::string& file : files) {
    std::string input;
    if (!ReadFile(file.c_str(), &input)) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
      return 2;
    }
    RunOne(input);
    seeds.push_back(input);
  }
  Random random(seed);
  for (uint64_t i = 0; i < count; ++i) {
    // A quarter stay unrelated to the seeds, for what no seed starts near.
    if (!seeds.empty() && random.Below(4) != 0) {
      RunOne(MutatedInput(random, seeds, tokens));
    } else {
      RunOne(RandomInput(random));
    }
  }
  printf("%s: %zu files and %llu random inputs (seed %llu) passed\n", argv[0], files.size(),
         static_cast<unsigned long long>(count), static_cast<unsigned long long>(seed));
  return 0;
}
