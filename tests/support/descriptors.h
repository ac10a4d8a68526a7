// File descriptors in tests: how many this process has open, and the soft
// limit on them changed for a scope (to make accept, pipe or open fail with
// EMFILE). The sanitizer runtimes may need a descriptor of their own the
// first time they report or log; a test that exhausts descriptors lets them
// have it first.
#ifndef TESTS_SUPPORT_DESCRIPTORS_H_
#define TESTS_SUPPORT_DESCRIPTORS_H_

#include <sys/resource.h>

namespace quorvex_test {

// Entries of /proc/self/fd (the listing's own descriptor included).
int OpenDescriptorCount();

// The lowest descriptor number not in use now.
int LowestFreeDescriptor();

// A blocking TCP socket connected to 127.0.0.1:`port`, owned by the caller;
// -1 when it cannot be made or connected.
int ConnectToLoopback(int port);

// Changes the soft descriptor limit for the scope; restores it after.
class DescriptorLimit {
 public:
  DescriptorLimit() { getrlimit(RLIMIT_NOFILE, &saved_); }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

  bool SetSoft(rlim_t soft) {
    struct rlimit limit = saved_;
    limit.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
  }
  bool Restore() { return setrlimit(RLIMIT_NOFILE, &saved_) == 0; }
  rlim_t soft() const { return saved_.rlim_cur; }
  rlim_t hard() const { return saved_.rlim_max; }

 private:
  struct rlimit saved_;
};

}  // namespace quorvex_test

#endif  // TESTS_SUPPORT_DESCRIPTORS_H_
