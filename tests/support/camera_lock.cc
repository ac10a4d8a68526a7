#include "tests/support/camera_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

namespace quorvex_test {

CameraTestLock::CameraTestLock() {
  const std::string path = "/tmp/quorvex-camera-tests-" + std::to_string(getuid()) + ".lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  int result;
  while ((result = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
  }
  held_ = result == 0;
}

CameraTestLock::~CameraTestLock() {
  if (fd_ >= 0) close(fd_);  // closing lets go
}

}  // namespace quorvex_test
