// Files in tests: reading and writing whole files, and a temporary folder
// that goes away with the test.
#ifndef TESTS_SUPPORT_FILES_H_
#define TESTS_SUPPORT_FILES_H_

#include <string>

namespace quorvex_test {

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file's contents; false when it cannot be written.
bool WriteFile(const std::string& path, const std::string& contents);
// True when something (also a dangling link) is at `path`.
bool PathExists(const std::string& path);
bool Contains(const std::string& text, const std::string& part);

// A fresh folder under /tmp, removed with everything in it at the end of
// its scope. `prefix` names it for whoever finds one left behind.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "quorvex-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Empty when the folder could not be made.
  const std::string& path() const { return path_; }
  // The path of `name` inside it.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace quorvex_test

#endif  // TESTS_SUPPORT_FILES_H_
