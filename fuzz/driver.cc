// A stand-in for libFuzzer's main(), for compilers without it.  Runs the
// fuzz target linked with it (LLVMFuzzerTestOneInput) over
//   - every file named on the command line, each file one input, or
//   - with --random N [--seed S], N pseudo-random inputs; the i-th depends
//     only on i and S (default 1), so a run can be repeated exactly.
// Random inputs mix uniform bytes with bytes and pieces that the string
// codings give a meaning of their own: '%', '&', '#', ';', hex digits,
// entities, '*', UTF-8 lead and continuation bytes.  When the target crashes
// or a sanitizer stops the process, the input at hand is written to
// "fuzz-crash-input" in the working directory, to be replayed by naming the
// file.  Single-threaded.
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

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

bool ReadFile(const char* path, std::string* contents) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  contents->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

int Usage(const char* program) {
  fprintf(stderr, "usage: %s FILE...\n       %s --random N [--seed S]\n", program, program);
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
  if (argc < 2) return Usage(argv[0]);
  if (strcmp(argv[1], "--random") == 0) {
    uint64_t count = 0;
    uint64_t seed = 1;
    if (!ParseCount(argc > 2 ? argv[2] : nullptr, &count)) return Usage(argv[0]);
    if (argc == 5 && strcmp(argv[3], "--seed") == 0) {
      if (!ParseCount(argv[4], &seed)) return Usage(argv[0]);
    } else if (argc != 3) {
      return Usage(argv[0]);
    }
    Random random(seed);
    for (uint64_t i = 0; i < count; ++i) RunOne(RandomInput(random));
    printf("%s: %llu random inputs (seed %llu) passed\n", argv[0],
           static_cast<unsigned long long>(count), static_cast<unsigned long long>(seed));
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    std::string input;
    if (!ReadFile(argv[i], &input)) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
      return 2;
    }
    RunOne(input);
  }
  printf("%s: %d files passed\n", argv[0], argc - 1);
  return 0;
}
