// Signals and slots.  A signal keeps an ordered list of connections, each a
// target object and one of its member functions; emitting the signal calls
// them in the order they were made.  Targets derive from has_slots, which
// remembers the signals it is connected to so that either side can go away
// first and the other is told.
//
// Threading: only the single_threaded policy exists.  Its lock and unlock do
// nothing; a signal and its targets are used from one thread at a time, and
// cross-thread delivery goes through a message queue.
//
// Re-entrancy rules, all allocation-free during emission:
//  - a slot may disconnect itself or any other target while the signal is
//    being emitted; a disconnected connection that has not run yet is not
//    called;
//  - a slot may connect new targets; they are called from the next emission
//    on;
//  - a slot may destroy its own object (which disconnects it), or the signal
//    itself; emission then stops cleanly.
#ifndef BASE_SIGSLOT_H_
#define BASE_SIGSLOT_H_

#include <iterator>
#include <list>
#include <set>

namespace sigslot {

class single_threaded {
 public:
  void lock() {}
  void unlock() {}
};

template <class mt_policy>
class lock_block {
 public:
  explicit lock_block(mt_policy* mtx) : mutex_(mtx) { mutex_->lock(); }
  ~lock_block() { mutex_->unlock(); }
  lock_block(const lock_block&) = delete;
  lock_block& operator=(const lock_block&) = delete;

 private:
  mt_policy* mutex_;
};

template <class mt_policy>
class has_slots;

// What has_slots needs from a signal, whatever its argument types.
template <class mt_policy>
class _signal_base_interface {
 public:
  // The target is going away: drop every connection to it, without calling
  // back into the target.
  virtual void slot_disconnect(has_slots<mt_policy>* target) = 0;

 protected:
  virtual ~_signal_base_interface() = default;
};

// Base of every object whose member functions are connected to signals.
// Destroying it disconnects it from every signal.  Copying is refused: a
// copy would silently not receive what the original receives.
template <class mt_policy = single_threaded>
class has_slots : public mt_policy {
 public:
  has_slots() = default;
  has_slots(const has_slots&) = delete;
  has_slots& operator=(const has_slots&) = delete;

  virtual ~has_slots() { disconnect_all(); }

  // Called by a signal when it makes its first connection to this object.
  void signal_connect(_signal_base_interface<mt_policy>* sender) {
    lock_block<mt_policy> lock(this);
    senders_.insert(sender);
  }

  // Called by a signal that no longer holds any connection to this object.
  void signal_disconnect(_signal_base_interface<mt_policy>* sender) {
    lock_block<mt_policy> lock(this);
    senders_.erase(sender);
  }

  // Leaves every signal this object is connected to.
  void disconnect_all() {
    lock_block<mt_policy> lock(this);
    // Each slot_disconnect() leaves the sender's list without calling back,
    // so the set is not modified while it is walked.
    std::set<_signal_base_interface<mt_policy>*> senders;
    senders.swap(senders_);
    for (auto* sender : senders) sender->slot_disconnect(this);
  }

 private:
  std::set<_signal_base_interface<mt_policy>*> senders_;
};

namespace internal {

// One connection: a target and a member function of it, type-erased over the
// target's class.
template <class mt_policy, class... Args>
class connection_base {
 public:
  explicit connection_base(has_slots<mt_policy>* target) : target_(target) {}
  virtual ~connection_base() = default;
  virtual void emit(Args... args) = 0;
  has_slots<mt_policy>* target() const { return target_; }

 private:
  has_slots<mt_policy>* target_;
};

template <class dest_type, class mt_policy, class... Args>
class connection : public connection_base<mt_policy, Args...> {
 public:
  connection(dest_type* object, void (dest_type::*member)(Args...))
      : connection_base<mt_policy, Args...>(object), object_(object), member_(member) {}
  void emit(Args... args) override { (object_->*member_)(args...); }

 private:
  dest_type* object_;
  void (dest_type::*member_)(Args...);
};

}  // namespace internal

// A signal with any number of arguments; signal0 to signal3 name the forms
// the library uses.
template <class mt_policy, class... Args>
class signal_base : public _signal_base_interface<mt_policy>, public mt_policy {
 public:
  signal_base() = default;
  signal_base(const signal_base&) = delete;
  signal_base& operator=(const signal_base&) = delete;

  ~signal_base() override {
    // Tell every emission still running on this stack that we are gone.
    for (EmitFrame* frame = frames_; frame != nullptr; frame = frame->outer) {
      frame->signal_destroyed = true;
    }
    disconnect_all();
  }

  // Appends a connection.  The same target may be connected several times;
  // each connection is called.
  template <class dest_type>
  void connect(dest_type* object, void (dest_type::*member)(Args...)) {
    lock_block<mt_policy> lock(this);
    connections_.push_back(
        Slot{new internal::connection<dest_type, mt_policy, Args...>(object, member)});
    object->signal_connect(this);
  }

  // Removes every connection to the target.
  void disconnect(has_slots<mt_policy>* target) {
    lock_block<mt_policy> lock(this);
    if (RemoveTarget(target)) target->signal_disconnect(this);
  }

  void disconnect_all() {
    lock_block<mt_policy> lock(this);
    std::set<has_slots<mt_policy>*> targets;
    for (Slot& slot : connections_) {
      if (slot.conn == nullptr) continue;
      targets.insert(slot.conn->target());
      Drop(slot);
    }
    Sweep();
    for (auto* target : targets) target->signal_disconnect(this);
  }

  bool is_empty() const {
    for (const Slot& slot : connections_) {
      if (slot.conn != nullptr) return false;
    }
    return true;
  }

  void slot_disconnect(has_slots<mt_policy>* target) override {
    lock_block<mt_policy> lock(this);
    RemoveTarget(target);
  }

  void emit(Args... args) {
    lock_block<mt_policy> lock(this);
    EmitFrame frame;
    frame.outer = frames_;
    frames_ = &frame;
    // Connections made by the slots themselves are appended after `last`
    // and wait for the next emission.  Entries are never erased while an
    // emission runs, so both iterators stay valid.
    auto it = connections_.begin();
    const auto end = connections_.end();
    const auto last = connections_.empty() ? end : std::prev(end);
    while (it != end) {
      auto current = it++;  // fetch the next one before the call
      if (current->conn != nullptr) current->conn->emit(args...);
      if (frame.signal_destroyed) return;  // `this` is gone; touch nothing.
      if (current == last) break;
    }
    frames_ = frame.outer;
    if (frames_ == nullptr) Sweep();
  }

  void operator()(Args... args) { emit(args...); }

 private:
  struct Slot {
    internal::connection_base<mt_policy, Args...>* conn;  // null: disconnected
  };
  struct EmitFrame {
    EmitFrame* outer = nullptr;
    bool signal_destroyed = false;
  };

  // Disconnects every connection to `target`; true when there was one.
  bool RemoveTarget(has_slots<mt_policy>* target) {
    bool found = false;
    for (Slot& slot : connections_) {
      if (slot.conn != nullptr && slot.conn->target() == target) {
        Drop(slot);
        found = true;
      }
    }
    if (frames_ == nullptr) Sweep();
    return found;
  }

  // Frees a connection but keeps its list entry until no emission is
  // walking the list, so that no iterator of a running emission dangles.
  void Drop(Slot& slot) {
    delete slot.conn;
    slot.conn = nullptr;
  }

  void Sweep() {
    if (frames_ != nullptr) return;
    connections_.remove_if([](const Slot& slot) { return slot.conn == nullptr; });
  }

  std::list<Slot> connections_;
  EmitFrame* frames_ = nullptr;  // innermost running emission, if any
};

template <class mt_policy = single_threaded>
class signal0 : public signal_base<mt_policy> {};

template <class A1, class mt_policy = single_threaded>
class signal1 : public signal_base<mt_policy, A1> {};

template <class A1, class A2, class mt_policy = single_threaded>
class signal2 : public signal_base<mt_policy, A1, A2> {};

template <class A1, class A2, class A3, class mt_policy = single_threaded>
class signal3 : public signal_base<mt_policy, A1, A2, A3> {};

}  // namespace sigslot

#endif  // BASE_SIGSLOT_H_
