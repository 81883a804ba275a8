// The Component Manager's calls: registration, search, instances and their dispatch.
#include <cstring>

#include "components/call_frame.h"
#include "components/component_table.h"

using xnq::components::CallFrame;
using xnq::components::ComponentSlot;
using xnq::components::InstanceSlot;
using xnq::components::table;

namespace {

// Runs an entry with the given selector on a reserved or open instance.
ComponentResult callEntry(ComponentSlot &component, ComponentInstance ci, Handle storage,
                          SInt16 what, std::initializer_list<long> args) {
  CallFrame frame(what, ci, args);
  ComponentRoutineUPP entry = component.entry.load(std::memory_order_acquire);
  if (entry == nullptr) return badComponentSelector;
  return entry(frame.get(), storage);
}

// The standard selectors that carry no answer of their own, sent to a temporary instance.
ComponentResult sendToTemporaryInstance(Component c, SInt16 what) {
  ComponentSlot *component = table().component(c);
  ComponentInstance ci = table().reserveInstance(c);
  if (component == nullptr || ci == nullptr) return memFullErr;
  table().beginClose(ci);  // a message, not an open instance
  ComponentResult result = callEntry(*component, ci, nullptr, what, {});
  table().releaseInstance(ci);
  return result;
}

ComponentSlot *componentOrOwner(Component c) {
  ComponentSlot *slot = table().component(c);
  if (slot == nullptr) slot = table().componentOfInstance(reinterpret_cast<ComponentInstance>(c));
  return slot;
}

}  // namespace

extern "C" {

Component RegisterComponent(ComponentDescription *cd, ComponentRoutineUPP componentEntryPoint,
                            SInt16, Handle componentName, Handle componentInfo, Handle) {
  if (cd == nullptr || componentEntryPoint == nullptr) return nullptr;
  Component c = table().add(*cd, componentEntryPoint, componentName, componentInfo);
  if (c == nullptr) return nullptr;
  if ((cd->componentFlags & cmpWantsRegisterMessage) != 0) {
    // A component may decline registration, for example when its hardware is absent.
    if (sendToTemporaryInstance(c, kComponentRegisterSelect) != noErr) {
      table().removeUnused(c);
      return nullptr;
    }
  }
  return c;
}

// An instance in its close handler no longer counts as open, so the handler of the last one
// may unregister its own component.
OSErr UnregisterComponent(Component aComponent) {
  ComponentSlot *slot = table().component(aComponent);
  if (slot == nullptr) return invalidComponentID;
  if (slot->instances.load(std::memory_order_relaxed) > 0) return validInstancesExist;
  if ((slot->description.componentFlags & cmpWantsRegisterMessage) != 0)
    sendToTemporaryInstance(aComponent, kComponentUnregisterSelect);
  return table().removeUnused(aComponent);
}

Component FindNextComponent(Component aComponent, ComponentDescription *looking) {
  return table().next(aComponent, looking);
}

long CountComponents(ComponentDescription *looking) { return table().count(looking); }

OSErr GetComponentInfo(Component aComponent, ComponentDescription *cd, Handle componentName,
                       Handle componentInfo, Handle) {
  ComponentSlot *slot = componentOrOwner(aComponent);
  if (slot == nullptr) return invalidComponentID;
  if (cd != nullptr) *cd = slot->description;
  const unsigned char *texts[] = {slot->name, slot->info};
  Handle targets[] = {componentName, componentInfo};
  for (int i = 0; i < 2; ++i) {
    if (targets[i] == nullptr) continue;
    Size length = texts[i][0] + 1;
    SetHandleSize(targets[i], length);
    if (MemError() != noErr) return MemError();
    std::memcpy(*targets[i], texts[i], length);
  }
  return noErr;
}

OSErr OpenAComponent(Component aComponent, ComponentInstance *ci) {
  if (ci == nullptr) return paramErr;
  *ci = nullptr;
  ComponentSlot *slot = table().component(aComponent);
  if (slot == nullptr) return invalidComponentID;
  ComponentInstance opened = table().reserveInstance(aComponent);
  if (opened == nullptr)
    return table().component(aComponent) == nullptr ? OSErr{invalidComponentID} : OSErr{memFullErr};
  ComponentResult result =
      callEntry(*slot, opened, nullptr, kComponentOpenSelect, {reinterpret_cast<long>(opened)});
  if (result != noErr) {
    // A failed open still hears close, so that whatever it set up is released.
    CloseComponent(opened);
    return static_cast<OSErr>(result);
  }
  *ci = opened;
  return noErr;
}

ComponentInstance OpenComponent(Component aComponent) {
  ComponentInstance ci = nullptr;
  OpenAComponent(aComponent, &ci);
  return ci;
}

ComponentInstance OpenDefaultComponent(OSType componentType, OSType componentSubType) {
  ComponentDescription looking{componentType, componentSubType, 0, 0, 0};
  Component c = FindNextComponent(nullptr, &looking);
  return c == nullptr ? nullptr : OpenComponent(c);
}

OSErr CloseComponent(ComponentInstance aComponentInstance) {
  InstanceSlot *instance = table().instance(aComponentInstance);
  ComponentSlot *slot = table().beginClose(aComponentInstance);
  if (instance == nullptr || slot == nullptr) return static_cast<OSErr>(badComponentInstance);
  ComponentResult result =
      callEntry(*slot, aComponentInstance, instance->storage.load(), kComponentCloseSelect,
                {reinterpret_cast<long>(aComponentInstance)});
  table().releaseInstance(aComponentInstance);
  return static_cast<OSErr>(result);
}

long CountComponentInstances(Component aComponent) {
  ComponentSlot *slot = componentOrOwner(aComponent);
  return slot == nullptr ? 0 : slot->instances.load(std::memory_order_relaxed);
}

long GetComponentRefcon(Component aComponent) {
  ComponentSlot *slot = componentOrOwner(aComponent);
  return slot == nullptr ? 0 : slot->refcon.load(std::memory_order_acquire);
}

void SetComponentRefcon(Component aComponent, long theRefcon) {
  ComponentSlot *slot = componentOrOwner(aComponent);
  if (slot != nullptr) slot->refcon.store(theRefcon, std::memory_order_release);
}

Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance) {
  InstanceSlot *instance = table().instance(aComponentInstance);
  return instance == nullptr ? nullptr : instance->storage.load(std::memory_order_acquire);
}

void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage) {
  InstanceSlot *instance = table().instance(aComponentInstance);
  if (instance != nullptr) instance->storage.store(theStorage, std::memory_order_release);
}

// The handle the instance was opened on, once checked to still name its registration. Reading
// the slot's handle again instead could give a registration made in the slot after this one was
// withdrawn, and a caller that unregisters what this returns would take that one away.
Component GetComponentFromInstance(ComponentInstance ci) {
  InstanceSlot *instance = table().instance(ci);
  if (instance == nullptr) return nullptr;
  auto component = reinterpret_cast<Component>(instance->component.load(std::memory_order_relaxed));
  return table().component(component) == nullptr ? nullptr : component;
}

OSErr GetComponentInstanceError(ComponentInstance aComponentInstance) {
  InstanceSlot *instance = table().instance(aComponentInstance);
  return instance == nullptr ? static_cast<OSErr>(badComponentInstance) : instance->error.load();
}

void SetComponentInstanceError(ComponentInstance aComponentInstance, OSErr theError) {
  InstanceSlot *instance = table().instance(aComponentInstance);
  if (instance != nullptr) instance->error.store(theError);
}

// Any thread, including audio threads: takes no lock and allocates nothing.
ComponentResult CallComponentDispatch(ComponentParameters *cp) {
  if (cp == nullptr) return paramErr;
  ComponentInstance ci = xnq::components::instanceOf(cp);
  InstanceSlot *instance = table().instance(ci);
  ComponentSlot *slot = table().componentOfInstance(ci);
  if (instance == nullptr || slot == nullptr) return badComponentInstance;
  ComponentRoutineUPP entry = slot->entry.load(std::memory_order_acquire);
  return entry(cp, instance->storage.load(std::memory_order_acquire));
}

// Any thread, including audio threads: the parameters are copied on the stack.
ComponentResult DelegateComponentCall(ComponentParameters *originalParams, ComponentInstance ci) {
  if (originalParams == nullptr) return paramErr;
  union {
    ComponentParameters cp;
    unsigned char raw[offsetof(ComponentParameters, params) + 256 + sizeof(long)];
  } copy;
  size_t words = xnq::components::paramCount(originalParams);
  std::memcpy(&copy.cp, originalParams,
              offsetof(ComponentParameters, params) + words * sizeof(long));
  xnq::components::paramWords(&copy.cp)[words] = reinterpret_cast<long>(ci);
  return CallComponentDispatch(&copy.cp);
}

ComponentResult CallComponentCanDo(ComponentInstance ci, SInt16 ftnNumber) {
  CallFrame frame(kComponentCanDoSelect, ci, {ftnNumber});
  ComponentResult result = CallComponentDispatch(frame.get());
  // A component that does not answer can-do can do nothing it was asked about.
  return result == badComponentSelector ? 0 : result;
}

ComponentResult GetComponentVersion(ComponentInstance ci) {
  CallFrame frame(kComponentVersionSelect, ci, {});
  return CallComponentDispatch(frame.get());
}

ComponentResult ComponentSetTarget(ComponentInstance ci, ComponentInstance target) {
  CallFrame frame(kComponentTargetSelect, ci, {reinterpret_cast<long>(target)});
  return CallComponentDispatch(frame.get());
}

}  // extern "C"
