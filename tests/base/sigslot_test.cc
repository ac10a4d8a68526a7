#include "base/sigslot.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Log = std::vector<std::string>;

class Receiver : public sigslot::has_slots<> {
 public:
  Receiver(std::string name, Log* log) : name_(std::move(name)), log_(log) {}

  void OnZero() { log_->push_back(name_); }
  void OnOne(int a) { log_->push_back(name_ + ":" + std::to_string(a)); }
  void OnTwo(int a, const std::string& b) {
    log_->push_back(name_ + ":" + std::to_string(a) + b);
  }
  void OnThree(int a, int b, int c) {
    log_->push_back(name_ + ":" + std::to_string(a + b + c));
  }

 private:
  std::string name_;
  Log* log_;
};

TEST(Sigslot, DeliversInConnectionOrderWithZeroToThreeArguments) {
  Log log;
  Receiver a("a", &log), b("b", &log);
  sigslot::signal0<> s0;
  sigslot::signal1<int> s1;
  sigslot::signal2<int, const std::string&> s2;
  sigslot::signal3<int, int, int> s3;
  s0.connect(&b, &Receiver::OnZero);
  s0.connect(&a, &Receiver::OnZero);
  s0.connect(&b, &Receiver::OnZero);  // the same target twice: called twice
  s1.connect(&a, &Receiver::OnOne);
  s2.connect(&a, &Receiver::OnTwo);
  s3.connect(&b, &Receiver::OnThree);
  s0();
  s1.emit(7);
  s2(1, "x");
  s3(1, 2, 3);
  EXPECT_EQ((Log{"b", "a", "b", "a:7", "a:1x", "b:6"}), log);
}

TEST(Sigslot, DisconnectRemovesEveryConnectionOfTheTarget) {
  Log log;
  Receiver a("a", &log), b("b", &log);
  sigslot::signal0<> s;
  s.connect(&a, &Receiver::OnZero);
  s.connect(&b, &Receiver::OnZero);
  s.connect(&a, &Receiver::OnZero);
  s.disconnect(&a);
  s();
  EXPECT_EQ((Log{"b"}), log);
  s.disconnect(&a);  // not connected any more: harmless
  s.disconnect_all();
  EXPECT_TRUE(s.is_empty());
  s();
  EXPECT_EQ((Log{"b"}), log);
}

TEST(Sigslot, DestroyingTheTargetDisconnectsIt) {
  Log log;
  sigslot::signal1<int> s;
  Receiver keep("keep", &log);
  {
    Receiver gone("gone", &log);
    s.connect(&gone, &Receiver::OnOne);
    s.connect(&keep, &Receiver::OnOne);
  }
  s(1);
  EXPECT_EQ((Log{"keep:1"}), log);
}

TEST(Sigslot, DestroyingTheSignalLetsTheTargetDieCleanly) {
  Log log;
  Receiver r("r", &log);
  {
    sigslot::signal0<> s;
    s.connect(&r, &Receiver::OnZero);
    s();
  }
  // r's destructor must not reach the destroyed signal (ASan would catch it).
  sigslot::signal0<> other;
  other.connect(&r, &Receiver::OnZero);
  other();
  EXPECT_EQ((Log{"r", "r"}), log);
}

// A target whose slot runs an action against the signal while it is emitted.
class Actor : public sigslot::has_slots<> {
 public:
  Actor(std::string name, Log* log) : name_(std::move(name)), log_(log) {}
  std::function<void()> action;
  void OnFire() {
    log_->push_back(name_);
    if (action) action();
  }

 private:
  std::string name_;
  Log* log_;
};

TEST(Sigslot, SlotMayDisconnectItselfDuringEmission) {
  Log log;
  sigslot::signal0<> s;
  Actor a("a", &log), b("b", &log), c("c", &log);
  s.connect(&a, &Actor::OnFire);
  s.connect(&b, &Actor::OnFire);
  s.connect(&c, &Actor::OnFire);
  b.action = [&] { s.disconnect(&b); };
  s();
  s();
  EXPECT_EQ((Log{"a", "b", "c", "a", "c"}), log);
}

TEST(Sigslot, SlotMayDisconnectTheNextTargetDuringEmission) {
  // The hazard: the next connection was already fetched when a slot removes
  // it.  It must not be called, and nothing may dangle.
  Log log;
  sigslot::signal0<> s;
  Actor a("a", &log), b("b", &log), c("c", &log);
  s.connect(&a, &Actor::OnFire);
  s.connect(&b, &Actor::OnFire);
  s.connect(&c, &Actor::OnFire);
  a.action = [&] { s.disconnect(&b); };
  s();
  EXPECT_EQ((Log{"a", "c"}), log);
}

TEST(Sigslot, SlotMayDestroyAnotherTargetDuringEmission) {
  Log log;
  sigslot::signal0<> s;
  Actor a("a", &log);
  auto* b = new Actor("b", &log);
  Actor c("c", &log);
  s.connect(&a, &Actor::OnFire);
  s.connect(b, &Actor::OnFire);
  s.connect(&c, &Actor::OnFire);
  a.action = [&] {
    delete b;
    b = nullptr;
  };
  s();
  EXPECT_EQ((Log{"a", "c"}), log);
}

TEST(Sigslot, SlotMayDestroyItsOwnObjectDuringEmission) {
  Log log;
  sigslot::signal0<> s;
  auto* self = new Actor("self", &log);
  Actor after("after", &log);
  s.connect(self, &Actor::OnFire);
  s.connect(&after, &Actor::OnFire);
  self->action = [&] { delete self; };
  s();
  s();
  EXPECT_EQ((Log{"self", "after", "after"}), log);
}

TEST(Sigslot, SlotMayDestroyTheSignalDuringEmission) {
  Log log;
  auto* s = new sigslot::signal0<>;
  Actor a("a", &log), b("b", &log);
  s->connect(&a, &Actor::OnFire);
  s->connect(&b, &Actor::OnFire);
  a.action = [&] {
    delete s;
    s = nullptr;
  };
  (*s)();
  EXPECT_EQ((Log{"a"}), log);  // emission stopped; b was disconnected
}

TEST(Sigslot, ConnectionsMadeDuringEmissionWaitForTheNextOne) {
  Log log;
  sigslot::signal0<> s;
  Actor a("a", &log), late("late", &log);
  s.connect(&a, &Actor::OnFire);
  a.action = [&] {
    s.connect(&late, &Actor::OnFire);
    a.action = nullptr;
  };
  s();
  EXPECT_EQ((Log{"a"}), log);
  s();
  EXPECT_EQ((Log{"a", "a", "late"}), log);
}

TEST(Sigslot, NestedEmissionSeesDisconnectionsOfTheOuterOne) {
  Log log;
  sigslot::signal0<> s;
  Actor a("a", &log), b("b", &log), c("c", &log);
  s.connect(&a, &Actor::OnFire);
  s.connect(&b, &Actor::OnFire);
  s.connect(&c, &Actor::OnFire);
  int depth = 0;
  a.action = [&] {
    if (depth++ == 0) {
      s.disconnect(&c);
      s();  // nested: a (depth 1, does nothing more), b
    }
  };
  s();
  EXPECT_EQ((Log{"a", "a", "b", "b"}), log);
}

TEST(Sigslot, TargetDisconnectAllLeavesEverySignal) {
  Log log;
  Receiver r("r", &log);
  sigslot::signal0<> s1, s2;
  s1.connect(&r, &Receiver::OnZero);
  s2.connect(&r, &Receiver::OnZero);
  r.disconnect_all();
  s1();
  s2();
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(s1.is_empty());
  EXPECT_TRUE(s2.is_empty());
}

}  // namespace
