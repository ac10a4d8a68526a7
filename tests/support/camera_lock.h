// The lock that every test opening the real camera holds. The camera's
// semaphore and segment are named per user, not per checkout, so all such
// tests of this user, from any build folder and any suite, take this one
// lock and so never meet.
#ifndef TESTS_SUPPORT_CAMERA_LOCK_H_
#define TESTS_SUPPORT_CAMERA_LOCK_H_

namespace quorvex_test {

class CameraTestLock {
 public:
  // Takes the lock, waiting for another test to let go.
  CameraTestLock();
  ~CameraTestLock();
  CameraTestLock(const CameraTestLock&) = delete;
  CameraTestLock& operator=(const CameraTestLock&) = delete;

  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace quorvex_test

#endif  // TESTS_SUPPORT_CAMERA_LOCK_H_
