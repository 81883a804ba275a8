// The component entry routine of the platform's audio units and their registration.
#include <cstring>

#include "audiounit/unit_registry.h"
#include "components/call_frame.h"
#include "components/platform_components.h"

namespace xnq::au {
namespace {

constexpr ComponentResult kUnitVersion = 0x00010000;

const UnitKind *kindOf(const ComponentDescription &description) {
  size_t count = 0;
  const UnitKind *kinds = platformUnitKinds(count);
  for (size_t i = 0; i < count; ++i)
    if (kinds[i].type == description.componentType &&
        kinds[i].subType == description.componentSubType)
      return &kinds[i];
  return nullptr;
}

ComponentResult unitEntry(ComponentParameters *cp, Handle storage) {
  ComponentInstance self = components::instanceOf(cp);
  switch (cp->what) {
    case kComponentOpenSelect: {
      ComponentDescription description{};
      if (GetComponentInfo(GetComponentFromInstance(self), &description, nullptr, nullptr,
                           nullptr) != noErr)
        return badComponentInstance;
      const UnitKind *kind = kindOf(description);
      AudioUnitBase *unit = kind == nullptr ? nullptr : kind->make(self, description);
      if (unit == nullptr) return memFullErr;
      SetComponentInstanceStorage(self, reinterpret_cast<Handle>(unit));
      return noErr;
    }
    case kComponentCloseSelect:
      delete reinterpret_cast<AudioUnitBase *>(storage);
      return noErr;
    case kComponentVersionSelect:
      return kUnitVersion;
    case kComponentCanDoSelect: {
      auto selector = static_cast<SInt16>(components::paramAt(cp, 0));
      return selector >= kComponentVersionSelect && selector <= kComponentOpenSelect ? 1 : 0;
    }
    default:
      // The audio unit calls reach the unit object directly, not through dispatch.
      return badComponentSelector;
  }
}

}  // namespace

AudioUnitBase *unitOf(AudioUnit unit) {
  components::ComponentTable &table = components::table();
  components::ComponentSlot *component = table.componentOfInstance(unit);
  components::InstanceSlot *instance = table.instance(unit);
  if (component == nullptr || instance == nullptr ||
      component->entry.load(std::memory_order_acquire) != unitEntry)
    return nullptr;
  return reinterpret_cast<AudioUnitBase *>(instance->storage.load(std::memory_order_acquire));
}

}  // namespace xnq::au

namespace xnq::components {

void registerPlatformComponents(ComponentTable &table) {
  size_t count = 0;
  const au::UnitKind *kinds = au::platformUnitKinds(count);
  for (size_t i = 0; i < count; ++i) {
    ComponentDescription description{kinds[i].type, kinds[i].subType,
                                     kAudioUnitManufacturer_Platform, 0, 0};
    unsigned char name[256];
    size_t length = std::strlen(kinds[i].name);
    name[0] = static_cast<unsigned char>(length);
    std::memcpy(name + 1, kinds[i].name, length);
    Handle nameHandle = NewString(name);
    table.add(description, au::unitEntry, nameHandle, nullptr);
    DisposeHandle(nameHandle);
  }
}

}  // namespace xnq::components
