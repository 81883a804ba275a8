#include "components/component_table.h"

#include <cstring>

#include "components/platform_components.h"

namespace xnq::components {
namespace {

constexpr uintptr_t kComponentBit = 0x8000;
constexpr uint32_t kGenerationLimit = 0x4000;

uintptr_t encode(uint32_t generation, uint32_t slotBits) {
  return static_cast<uintptr_t>(generation) << 16 | slotBits;
}

void copyPascal(unsigned char (&to)[256], Handle from) {
  to[0] = 0;
  if (from == nullptr || *from == nullptr || GetHandleSize(from) < 1) return;
  Size available = GetHandleSize(from);
  auto length = static_cast<unsigned char>((*from)[0]);
  if (length + 1 > available) length = static_cast<unsigned char>(available - 1);
  std::memcpy(to, *from, length + 1u);
  to[0] = length;
}

}  // namespace

bool ComponentTable::matches(const ComponentDescription &have,
                             const ComponentDescription *looking) {
  if (looking == nullptr) return true;
  if (looking->componentType != 0 && looking->componentType != have.componentType) return false;
  if (looking->componentSubType != 0 && looking->componentSubType != have.componentSubType)
    return false;
  if (looking->componentManufacturer != 0 &&
      looking->componentManufacturer != have.componentManufacturer)
    return false;
  UInt32 mask = looking->componentFlagsMask;
  return (have.componentFlags & mask) == (looking->componentFlags & mask);
}

Component ComponentTable::add(const ComponentDescription &cd, ComponentRoutineUPP entry,
                              Handle name, Handle info) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (uint32_t i = 0; i < kComponentSlots; ++i) {
    ComponentSlot &slot = components_[i];
    if (slot.handle.load(std::memory_order_relaxed) != 0) continue;
    slot.entry.store(entry, std::memory_order_relaxed);
    slot.description = cd;
    copyPascal(slot.name, name);
    copyPascal(slot.info, info);
    slot.order = nextOrder_++;
    slot.refcon.store(0, std::memory_order_relaxed);
    slot.instances.store(0, std::memory_order_relaxed);
    uintptr_t handle = encode(generation_, static_cast<uint32_t>(kComponentBit | i));
    generation_ = generation_ + 1 == kGenerationLimit ? 1 : generation_ + 1;
    slot.handle.store(handle, std::memory_order_release);
    return reinterpret_cast<Component>(handle);
  }
  return nullptr;
}

OSErr ComponentTable::removeUnused(Component c) {
  std::lock_guard<std::mutex> lock(mutex_);
  ComponentSlot *slot = component(c);
  if (slot == nullptr) return invalidComponentID;
  if (slot->instances.load(std::memory_order_relaxed) > 0) return validInstancesExist;
  slot->handle.store(0, std::memory_order_release);
  return noErr;
}

Component ComponentTable::next(Component after, const ComponentDescription *looking) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t afterOrder = 0;
  if (after != nullptr) {
    ComponentSlot *previous = component(after);
    if (previous == nullptr) return nullptr;
    afterOrder = previous->order;
  }
  ComponentSlot *best = nullptr;
  for (ComponentSlot &slot : components_) {
    if (slot.handle.load(std::memory_order_relaxed) == 0 || slot.order <= afterOrder) continue;
    if (!matches(slot.description, looking)) continue;
    if (best == nullptr || slot.order < best->order) best = &slot;
  }
  return best == nullptr
             ? nullptr
             : reinterpret_cast<Component>(best->handle.load(std::memory_order_relaxed));
}

long ComponentTable::count(const ComponentDescription *looking) {
  std::lock_guard<std::mutex> lock(mutex_);
  long found = 0;
  for (ComponentSlot &slot : components_)
    if (slot.handle.load(std::memory_order_relaxed) != 0 && matches(slot.description, looking))
      ++found;
  return found;
}

ComponentInstance ComponentTable::reserveInstance(Component c) {
  std::lock_guard<std::mutex> lock(mutex_);
  ComponentSlot *owner = component(c);
  if (owner == nullptr) return nullptr;
  for (uint32_t i = 0; i < kInstanceSlots; ++i) {
    InstanceSlot &slot = instances_[i];
    if (slot.handle.load(std::memory_order_relaxed) != 0) continue;
    slot.component.store(reinterpret_cast<uintptr_t>(c), std::memory_order_relaxed);
    slot.storage.store(nullptr, std::memory_order_relaxed);
    slot.error.store(noErr, std::memory_order_relaxed);
    slot.closing.store(false, std::memory_order_relaxed);
    uintptr_t handle = encode(generation_, i + 1);
    generation_ = generation_ + 1 == kGenerationLimit ? 1 : generation_ + 1;
    slot.handle.store(handle, std::memory_order_release);
    owner->instances.fetch_add(1, std::memory_order_relaxed);
    return reinterpret_cast<ComponentInstance>(handle);
  }
  return nullptr;
}

ComponentSlot *ComponentTable::beginClose(ComponentInstance ci) {
  std::lock_guard<std::mutex> lock(mutex_);
  InstanceSlot *slot = instance(ci);
  if (slot == nullptr || slot->closing.load(std::memory_order_relaxed)) return nullptr;
  ComponentSlot *owner = component(reinterpret_cast<Component>(slot->component.load()));
  if (owner == nullptr) return nullptr;
  slot->closing.store(true, std::memory_order_relaxed);
  owner->instances.fetch_sub(1, std::memory_order_relaxed);
  return owner;
}

void ComponentTable::releaseInstance(ComponentInstance ci) {
  std::lock_guard<std::mutex> lock(mutex_);
  InstanceSlot *slot = instance(ci);
  if (slot == nullptr) return;
  ComponentSlot *owner = component(reinterpret_cast<Component>(slot->component.load()));
  if (owner != nullptr && !slot->closing.load(std::memory_order_relaxed))
    owner->instances.fetch_sub(1, std::memory_order_relaxed);
  slot->handle.store(0, std::memory_order_release);
}

ComponentSlot *ComponentTable::component(Component c) {
  auto handle = reinterpret_cast<uintptr_t>(c);
  if ((handle & kComponentBit) == 0) return nullptr;
  uintptr_t index = handle & 0x7FFF;
  if (index >= kComponentSlots) return nullptr;
  ComponentSlot &slot = components_[index];
  return slot.handle.load(std::memory_order_acquire) == handle ? &slot : nullptr;
}

InstanceSlot *ComponentTable::instance(ComponentInstance ci) {
  auto handle = reinterpret_cast<uintptr_t>(ci);
  if ((handle & kComponentBit) != 0) return nullptr;
  uintptr_t index = handle & 0x7FFF;
  if (index == 0 || index > kInstanceSlots) return nullptr;
  InstanceSlot &slot = instances_[index - 1];
  return slot.handle.load(std::memory_order_acquire) == handle ? &slot : nullptr;
}

ComponentSlot *ComponentTable::componentOfInstance(ComponentInstance ci) {
  InstanceSlot *slot = instance(ci);
  return slot == nullptr ? nullptr
                         : component(reinterpret_cast<Component>(
                               slot->component.load(std::memory_order_relaxed)));
}

ComponentTable &table() {
  // Leaked on purpose: instances may be closed from static destructors of other libraries.
  static ComponentTable *instance = [] {
    auto *made = new ComponentTable;
    registerPlatformComponents(*made);
    return made;
  }();
  return *instance;
}

}  // namespace xnq::components
