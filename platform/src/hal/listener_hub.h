// Property listeners and the notification thread that calls them. A change is queued by the
// code that made it and delivered later on the hub's own thread, never inside the caller's call.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "os/audio_hardware.h"

namespace xnq::hal {

// True when the two addresses name the same property, with wildcards. A global scope on either
// side matches any scope: a device's global properties read the same in every scope.
bool addressesMatch(const AudioObjectPropertyAddress &a, const AudioObjectPropertyAddress &b);

class ListenerHub {
 public:
  static constexpr UInt32 kMaxAddressesPerChange = 6;

  static ListenerHub &instance();

  OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress &address,
               AudioObjectPropertyListenerProc proc, void *clientData);
  // True when a matching registration was found and removed. Waits for a call of that
  // listener in progress on the notification thread, unless called from that thread.
  bool remove(AudioObjectID object, const AudioObjectPropertyAddress &address,
              AudioObjectPropertyListenerProc proc, void *clientData);

  // Queues one change of an object's properties. Any thread, including an IO thread: it copies
  // into a fixed ring and does not allocate. Changes beyond the ring's capacity are dropped.
  void notify(AudioObjectID object, const AudioObjectPropertyAddress *addresses, UInt32 count);
  void notify(AudioObjectID object, AudioObjectPropertySelector selector,
              AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    AudioObjectPropertyAddress a{selector, scope, kAudioObjectPropertyElementMaster};
    notify(object, &a, 1);
  }

  // Blocks until every change queued before the call has been delivered (tests, shutdown).
  void drain();
  // Stops the notification thread (process exit).
  void shutdown();

 private:
  struct Registration {
    UInt64 id;
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc proc;
    void *clientData;
  };
  struct Change {
    AudioObjectID object;
    UInt32 count;
    AudioObjectPropertyAddress addresses[kMaxAddressesPerChange];
  };
  static constexpr size_t kRingCapacity = 1024;

  ListenerHub();
  void startLocked();
  void run();
  void deliver(const Change &change);

  // Everything below is guarded by mutex_: notifiers (any thread, IO threads included) and
  // add/remove (host threads) write it, the notification thread reads and drains it.
  std::mutex mutex_;
  std::condition_variable wake_;      // the thread waits for changes
  std::condition_variable progress_;  // drain() and remove() wait for deliveries
  std::vector<Registration> registrations_;
  UInt64 nextId_ = 1;
  // Ring of queued changes, preallocated; written by notifiers, read by the hub's thread.
  std::vector<Change> ring_;
  size_t head_ = 0, count_ = 0;
  UInt64 queuedSerial_ = 0, deliveredSerial_ = 0;
  UInt64 callingId_ = 0;  // the registration being called (0: none), under mutex_
  bool stopping_ = false;
  std::thread thread_;
  std::thread::id threadId_;
};

}  // namespace xnq::hal
