// The process-local Component Manager's tables. Components and instances live in fixed arrays
// of slots and are named by handles that encode a slot and a generation, so any handle a caller
// passes can be checked without a lock and without touching freed memory, also on audio threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "os/components.h"

namespace xnq::components {

// Made by a registered audio unit's entry when an instance opens; null for other components.
struct ComponentSlot {
  // Written under the table mutex by registration; read by any thread to validate a handle.
  std::atomic<uintptr_t> handle{0};
  // Written under the table mutex before handle is published; read by any thread afterwards.
  std::atomic<ComponentRoutineUPP> entry{nullptr};
  ComponentDescription description{};
  unsigned char name[256] = {};  // Pascal string
  unsigned char info[256] = {};  // Pascal string
  uint64_t order = 0;            // registration sequence, for the search order
  // Written by any thread through SetComponentRefcon; read by the component's own code.
  std::atomic<long> refcon{0};
  // Written under the table mutex by open and close; read by CountComponentInstances.
  std::atomic<long> instances{0};
};

struct InstanceSlot {
  // Written under the table mutex by open and close; read by any thread to validate a handle.
  std::atomic<uintptr_t> handle{0};
  // The component's handle, set before handle is published: the instance reaches its component
  // only while that registration lasts, never a later one in the same slot.
  std::atomic<uintptr_t> component{0};
  // Set under the table mutex when a close begins: from then on the instance no longer counts
  // as open, and a second close of it is refused.
  std::atomic<bool> closing{false};
  // Written by the component (open handler, any thread); read by every dispatch.
  std::atomic<Handle> storage{nullptr};
  // Written and read by the component's own calls.
  std::atomic<OSErr> error{noErr};
};

class ComponentTable {
 public:
  static constexpr uint32_t kComponentSlots = 1024;
  static constexpr uint32_t kInstanceSlots = 4096;

  Component add(const ComponentDescription &cd, ComponentRoutineUPP entry, Handle name,
                Handle info);
  // Removes a component that has no instance open: noErr, validInstancesExist, or
  // invalidComponentID when the handle is stale. Checked and removed under one lock, so no
  // instance can open in between.
  OSErr removeUnused(Component c);
  Component next(Component after, const ComponentDescription *looking);
  long count(const ComponentDescription *looking);

  // Reserves an instance slot for an open in progress; null when the component is no longer
  // registered or every slot is taken.
  ComponentInstance reserveInstance(Component c);
  // Marks an instance as closing and stops counting it, so that its component's close handler
  // may unregister the component when no other instance is open; the component's slot, or null
  // when the instance is stale or already closing.
  ComponentSlot *beginClose(ComponentInstance ci);
  // Frees the instance's slot; it stops counting as open here unless beginClose stopped it.
  void releaseInstance(ComponentInstance ci);

  // Lock-free lookups: null when the handle names nothing open now.
  ComponentSlot *component(Component c);
  InstanceSlot *instance(ComponentInstance ci);
  ComponentSlot *componentOfInstance(ComponentInstance ci);

  std::mutex &mutex() { return mutex_; }

 private:
  static bool matches(const ComponentDescription &have, const ComponentDescription *looking);

  std::mutex mutex_;
  uint64_t nextOrder_ = 1;
  uint32_t generation_ = 1;
  ComponentSlot components_[kComponentSlots];
  InstanceSlot instances_[kInstanceSlots];
};

// The table, with the platform's own components registered on first use.
ComponentTable &table();

}  // namespace xnq::components
