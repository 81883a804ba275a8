// CoreAudioListenerXNQ: watches one property of one audio object and raises Changed on the main
// thread for every notification the framework delivers.
//
// Lifetime of queued notifications: a notification from another thread reaches the object later,
// through the main queue, and the object may be destroyed in between. Taking a host reference on
// the notification thread is not safe (the object may already be dying there, and the host is not
// ours to call from that thread), so the object's liveness is kept here instead: a registry of
// live listeners, each with the ticket it took when it was constructed. A queued notification
// carries the ticket it took when it was queued and is delivered only if its object is still in
// the registry with an older ticket; a destroyed object, or a new object that the host happened
// to place at the same address, never sees it. The framework guarantees that no callback of a
// listener is running once its removal returns, so a notification of a destroyed object is
// always queued before the next object at that address takes its ticket.
//
// The registry's lock is held only to look an object up and to count the Changed handlers of it
// that run, never while host code runs: a handler may wait for threads that create or destroy
// listeners. A Destructor off the main thread waits (without the lock) until a handler of its
// own object running on the main thread has returned; on the main thread such a handler is the
// caller's own, the object being destroyed from inside its Changed, and is not waited for.
#include <pthread.h>
#include <stddef.h>

#include <atomic>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <new>
#include <unordered_map>

#include "coreaudio/CoreAudioData.h"
#include "os/dispatch.h"

namespace {
REALevent CoreAudioListenerEvents[] = {
    {"Changed", 0, nullptr, 0},
};

CoreAudioListenerData *ListenerRecord(REALobject instance) {
  return InstanceData<CoreAudioListenerData>(CoreAudioListenerClass, instance);
}

// Tickets in the order they were taken. Incremented by host threads (constructors) and by the
// framework's notification thread; compared on the main thread.
std::atomic<uint64_t> gNextTicket{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// A live listener: the ticket its Constructor took, the Changed handlers of it running now on
// the main thread, and whether its Destructor has begun.
struct LiveListener {
  uint64_t ticket;
  int deliveries;
  bool dying;
};

// Written by the Constructor and Destructor methods (host threads) and by deliveries (main
// thread); always under `lock`.
struct LiveListeners {
  std::mutex lock;
  std::condition_variable delivered;  // a delivery has finished
  std::unordered_map<REALobject, LiveListener> listeners;
};

LiveListeners &Live() {
  static LiveListeners *live = new LiveListeners;  // never destroyed: blocks may run at exit
  return *live;
}

struct QueuedNotification {
  REALobject object;
  uint64_t ticket;
};

// Calls the program's Changed handler, if it has one. Main thread only.
void RaiseChanged(REALobject object) {
  REALEventHandler handler =
      REALGetEventInstance(object, EventIdentifier(&CoreAudioListenerEvents[0]));
  if (handler != nullptr) handler(object);
}

// Main thread: raises Changed for a notification with the given ticket if its object is live and
// older than the notification.
void DeliverIfLive(REALobject object, uint64_t ticket) {
  LiveListeners &live = Live();
  uint64_t constructed = 0;
  {
    std::lock_guard<std::mutex> guard(live.lock);
    auto it = live.listeners.find(object);
    if (it == live.listeners.end() || it->second.dying || it->second.ticket >= ticket) return;
    constructed = it->second.ticket;
    ++it->second.deliveries;
  }
  RaiseChanged(object);
  {
    std::lock_guard<std::mutex> guard(live.lock);
    // The handler may have destroyed its own object, and a new one may sit at its address now.
    auto it = live.listeners.find(object);
    if (it != live.listeners.end() && it->second.ticket == constructed) --it->second.deliveries;
  }
  live.delivered.notify_all();
}

// Main thread, run from the main dispatch queue: delivers a notification queued by another
// thread if its object still lives.
void DeliverQueuedNotification(void *context) {
  QueuedNotification *notification = static_cast<QueuedNotification *>(context);
  DeliverIfLive(notification->object, notification->ticket);
  delete notification;
}

// Framework notification thread (any thread of the framework's choosing): must not touch the
// instance record or call the host off the main thread; it only passes the object pointer on.
// Each call raises exactly one Changed, however many addresses it reports.
OSStatus MyAudioObjectPropertyListenerProc(AudioObjectID, UInt32,
                                           const AudioObjectPropertyAddress *, void *clientData) {
  REALobject object = static_cast<REALobject>(clientData);
  if (pthread_main_np()) {
    DeliverIfLive(object, ++gNextTicket);
    return 0;
  }
  // Dispatch is linked weakly. Without it a notification off the main thread has no way to the
  // main thread, so it is dropped rather than raised on the wrong thread.
  if (dispatch_async_f == nullptr || dispatch_get_main_queue == nullptr) return 0;
  QueuedNotification *notification = new (std::nothrow) QueuedNotification{object, ++gNextTicket};
  if (notification == nullptr) return 0;
  dispatch_async_f(dispatch_get_main_queue(), notification, DeliverQueuedNotification);
  return 0;
}

AudioObjectPropertyAddress WatchedAddress(const CoreAudioListenerData &record) {
  return {record.propertySelector, record.propertyScope, record.propertyElement};
}

void CoreAudioListenerConstructor(REALobject self, uint32_t objectID, uint32_t selector,
                                  uint32_t scope, uint32_t element) {
  CoreAudioListenerData *record = ListenerRecord(self);
  record->lastError = -1;
  record->objectID = objectID;
  record->propertySelector = selector;
  record->propertyScope = scope;
  record->propertyElement = element;
  {
    std::lock_guard<std::mutex> guard(Live().lock);
    Live().listeners.insert_or_assign(self, LiveListener{++gNextTicket, 0, false});
  }
  const AudioObjectPropertyAddress address = WatchedAddress(*record);
  record->lastError =
      AudioObjectAddPropertyListener(objectID, &address, MyAudioObjectPropertyListenerProc, self);
}

void CoreAudioListenerDestructor(REALobject self) {
  CoreAudioListenerData *record = ListenerRecord(self);
  record->lastError = -1;
  {
    // From here on no notification reaches this object; one reaching it now finishes first.
    LiveListeners &live = Live();
    std::unique_lock<std::mutex> guard(live.lock);
    auto it = live.listeners.find(self);
    if (it != live.listeners.end()) {
      it->second.dying = true;
      if (!pthread_main_np()) {
        live.delivered.wait(guard, [&] {
          auto running = live.listeners.find(self);
          return running == live.listeners.end() || running->second.deliveries == 0;
        });
      }
      live.listeners.erase(self);
    }
  }
  const AudioObjectPropertyAddress address = WatchedAddress(*record);
  // Removed even when adding failed: the framework's answer is what LastError then reports.
  record->lastError = AudioObjectRemovePropertyListener(record->objectID, &address,
                                                        MyAudioObjectPropertyListenerProc, self);
}

uint32_t getObjectID(REALobject self, RBInteger) { return ListenerRecord(self)->objectID; }
uint32_t getPropertySelector(REALobject self, RBInteger) {
  return ListenerRecord(self)->propertySelector;
}
uint32_t getPropertyScope(REALobject self, RBInteger) {
  return ListenerRecord(self)->propertyScope;
}
uint32_t getPropertyElement(REALobject self, RBInteger) {
  return ListenerRecord(self)->propertyElement;
}

REALproperty CoreAudioListenerProperties[] = {
    {nullptr, "LastError", "Integer", 6, REALstandardAccessor, nullptr,
     offsetof(CoreAudioListenerData, lastError), 0, 0, 0, nullptr, 0},
    {nullptr, "ObjectID", "UInt32", 6, Routine(getObjectID), nullptr, 0, 0, 0, 0, nullptr, 0},
    {nullptr, "PropertySelector", "UInt32", 6, Routine(getPropertySelector), nullptr, 0, 0, 0, 0,
     nullptr, 0},
    {nullptr, "PropertyScope", "UInt32", 6, Routine(getPropertyScope), nullptr, 0, 0, 0, 0, nullptr,
     0},
    {nullptr, "PropertyElement", "UInt32", 6, Routine(getPropertyElement), nullptr, 0, 0, 0, 0,
     nullptr, 0},
};

REALmethodDefinition CoreAudioListenerMethods[] = {
    {Routine(CoreAudioListenerDestructor), nullptr, "Destructor", 4, nullptr, 0},
    {Routine(CoreAudioListenerConstructor), nullptr,
     "Constructor(ObjectID as UInt32, PropertySelector as UInt32, PropertyScope as UInt32, "
     "PropertyElement as UInt32)",
     4, nullptr, 0},
};
}  // namespace

// Fields not named here stay empty; the version is replaced at registration and the host writes
// the instance data's offset into forSystemUse. The Constructor and Destructor methods take the
// roles of the constructor and destructor.
REALclassDefinition CoreAudioListenerClass = {
    .version = 13,
    .name = "CoreAudioListenerXNQ",
    .dataSize = sizeof(CoreAudioListenerData),
    .properties = CoreAudioListenerProperties,
    .propertyCount = std::size(CoreAudioListenerProperties),
    .methods = CoreAudioListenerMethods,
    .methodCount = std::size(CoreAudioListenerMethods),
    .events = CoreAudioListenerEvents,
    .eventCount = std::size(CoreAudioListenerEvents),
    .mFlags = 4,
};
