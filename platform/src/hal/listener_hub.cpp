#include "hal/listener_hub.h"

#include <algorithm>

namespace xnq::hal {

static bool scopesMatch(UInt32 a, UInt32 b) {
  return a == b || a == kAudioObjectPropertyScopeWildcard ||
         b == kAudioObjectPropertyScopeWildcard || a == kAudioObjectPropertyScopeGlobal ||
         b == kAudioObjectPropertyScopeGlobal;
}

bool addressesMatch(const AudioObjectPropertyAddress &a, const AudioObjectPropertyAddress &b) {
  bool selector = a.mSelector == b.mSelector ||
                  a.mSelector == kAudioObjectPropertySelectorWildcard ||
                  b.mSelector == kAudioObjectPropertySelectorWildcard;
  bool element = a.mElement == b.mElement || a.mElement == kAudioObjectPropertyElementWildcard ||
                 b.mElement == kAudioObjectPropertyElementWildcard;
  return selector && element && scopesMatch(a.mScope, b.mScope);
}

ListenerHub &ListenerHub::instance() {
  // Never destroyed: the process-exit handler stops the thread, and late callers still find it.
  static ListenerHub *hub = new ListenerHub();
  return *hub;
}

ListenerHub::ListenerHub() : ring_(kRingCapacity) {}

void ListenerHub::startLocked() {
  if (thread_.joinable() || stopping_) return;
  thread_ = std::thread([this] { run(); });
  threadId_ = thread_.get_id();
}

OSStatus ListenerHub::add(AudioObjectID object, const AudioObjectPropertyAddress &address,
                          AudioObjectPropertyListenerProc proc, void *clientData) {
  if (!proc) return kAudioHardwareIllegalOperationError;
  std::lock_guard<std::mutex> lock(mutex_);
  registrations_.push_back({nextId_++, object, address, proc, clientData});
  startLocked();
  return kAudioHardwareNoError;
}

bool ListenerHub::remove(AudioObjectID object, const AudioObjectPropertyAddress &address,
                         AudioObjectPropertyListenerProc proc, void *clientData) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = std::find_if(registrations_.begin(), registrations_.end(), [&](const Registration &r) {
    return r.object == object && r.address.mSelector == address.mSelector &&
           r.address.mScope == address.mScope && r.address.mElement == address.mElement &&
           r.proc == proc && r.clientData == clientData;
  });
  if (it == registrations_.end()) return false;
  UInt64 id = it->id;
  registrations_.erase(it);
  // The caller may free the client data once we return: wait out a call in progress.
  if (std::this_thread::get_id() != threadId_) {
    progress_.wait(lock, [&] { return callingId_ != id; });
  }
  return true;
}

void ListenerHub::notify(AudioObjectID object, const AudioObjectPropertyAddress *addresses,
                         UInt32 count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (registrations_.empty() || stopping_) return;  // nobody can hear it
  if (count_ == ring_.size()) return;               // full: dropped rather than allocate
  Change &c = ring_[(head_ + count_) % ring_.size()];
  c.object = object;
  c.count = std::min(count, kMaxAddressesPerChange);
  std::copy(addresses, addresses + c.count, c.addresses);
  ++count_;
  ++queuedSerial_;
  wake_.notify_one();
}

void ListenerHub::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (std::this_thread::get_id() == threadId_ || !thread_.joinable()) return;
  UInt64 target = queuedSerial_;
  progress_.wait(lock, [&] { return deliveredSerial_ >= target || stopping_; });
}

void ListenerHub::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    progress_.notify_all();
  }
  if (thread_.joinable() && std::this_thread::get_id() != threadId_) thread_.join();
}

void ListenerHub::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return count_ > 0 || stopping_; });
    if (stopping_) return;
    Change change = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
    lock.unlock();
    deliver(change);
    lock.lock();
    ++deliveredSerial_;
    progress_.notify_all();
  }
}

// Notification thread: calls each listener whose address matches once, with the matching
// addresses of the change.
void ListenerHub::deliver(const Change &change) {
  std::unique_lock<std::mutex> lock(mutex_);
  UInt64 lastId = 0;
  for (;;) {
    // Registrations are ordered by id; find the next one after the last called. Looking it up
    // afresh each time lets a listener add or remove listeners from inside its call.
    const Registration *next = nullptr;
    AudioObjectPropertyAddress matched[kMaxAddressesPerChange];
    UInt32 matchedCount = 0;
    for (const Registration &r : registrations_) {
      if (r.id <= lastId || r.object != change.object) continue;
      matchedCount = 0;
      for (UInt32 i = 0; i < change.count; ++i) {
        if (addressesMatch(r.address, change.addresses[i]))
          matched[matchedCount++] = change.addresses[i];
      }
      if (matchedCount > 0) {
        next = &r;
        break;
      }
    }
    if (!next) return;
    lastId = next->id;
    callingId_ = next->id;
    AudioObjectPropertyListenerProc proc = next->proc;
    void *clientData = next->clientData;
    lock.unlock();
    proc(change.object, matchedCount, matched, clientData);
    lock.lock();
    callingId_ = 0;
    progress_.notify_all();
  }
}

}  // namespace xnq::hal
