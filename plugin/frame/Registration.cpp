// Binding to the host and registration of class definitions, in the current layout or in the
// shorter version-9 layout of hosts before 2012.0.
#include <stdlib.h>
#include <string.h>

#include "frame/FrameInternal.h"

REALResolver gResolver = nullptr;
double rbversion_rbversion = 0.0;
int32_t CurrentREALControlVersion = 13;
ComponentRoutineUPP sDispatchUPP = nullptr;

// The version-9 class record is the first 25 words of the current one.
static_assert(sizeof(REALclassDefinition9) == 25 * sizeof(RBInteger));
static_assert(sizeof(REALclassDefinition) == 29 * sizeof(RBInteger));
static_assert(offsetof(REALclassDefinition9, sharedMethodCount) ==
              offsetof(REALclassDefinition, sharedMethodCount));
static_assert(sizeof(REALproperty) == 12 * sizeof(RBInteger));
static_assert(sizeof(REALproperty9) == 10 * sizeof(RBInteger));
static_assert(sizeof(REALmethodDefinition) == 6 * sizeof(RBInteger));
static_assert(sizeof(REALmethodDefinition9) == 4 * sizeof(RBInteger));
static_assert(sizeof(REALevent) == 4 * sizeof(RBInteger));
static_assert(sizeof(REALevent9) == 2 * sizeof(RBInteger));
static_assert(sizeof(REALconstant) == 5 * sizeof(RBInteger));
static_assert(sizeof(REALconstant9) == 3 * sizeof(RBInteger));
#if defined(__i386__)
static_assert(sizeof(REALclassDefinition) == 116 && sizeof(REALproperty9) == 40);
#endif

int32_t ControlVersionForHost(double v) {
  if (v >= 2013.04) return 13;
  if (v >= 2013.03) return 12;
  if (v >= 2013.0) return 11;
  if (v >= 2012.0) return 10;
  return 9;
}

void BindHost(REALResolver resolver) {
  gResolver = resolver;
  // Without the version function the stored version stays (0.0 on a first load).
  if (HostHasREALGetRBVersion()) rbversion_rbversion = REALGetRBVersion();
  CurrentREALControlVersion = ControlVersionForHost(rbversion_rbversion);
}

REALproperty9 *FixProperties(const REALproperty *properties, RBInteger count) {
  if (properties == nullptr || count <= 0) return nullptr;
  auto *fixed =
      static_cast<REALproperty9 *>(calloc(static_cast<size_t>(count), sizeof(REALproperty9)));
  if (fixed == nullptr) return nullptr;
  for (RBInteger i = 0; i < count; ++i) memcpy(&fixed[i], &properties[i], sizeof(REALproperty9));
  return fixed;
}

namespace {

// A zero-filled array of count short records, each the first sizeof(Short) bytes of a long one;
// null for an empty list.
template <typename Short, typename Long>
Short *ShortenRecords(const Long *records, RBInteger count) {
  static_assert(sizeof(Short) < sizeof(Long));
  if (records == nullptr || count <= 0) return nullptr;
  auto *shortened = static_cast<Short *>(calloc(static_cast<size_t>(count), sizeof(Short)));
  if (shortened == nullptr) return nullptr;
  for (RBInteger i = 0; i < count; ++i) memcpy(&shortened[i], &records[i], sizeof(Short));
  return shortened;
}

// True when a list that should have been copied could not be allocated.
bool CopyFailed(const void *source, RBInteger count, const void *copy) {
  return source != nullptr && count > 0 && copy == nullptr;
}

void RegisterVersion9(REALclassDefinition *definition) {
  auto *old = static_cast<REALclassDefinition9 *>(calloc(1, sizeof(REALclassDefinition9)));
  if (old == nullptr) return;
  old->version = 9;
  old->name = definition->name;
  old->superName = definition->superName;
  old->dataSize = definition->dataSize;
  old->forSystemUse = definition->forSystemUse;
  old->constructor = definition->constructor;
  old->destructor = definition->destructor;
  old->properties = FixProperties(definition->properties, definition->propertyCount);
  old->propertyCount = definition->propertyCount;
  old->methods =
      ShortenRecords<REALmethodDefinition9>(definition->methods, definition->methodCount);
  old->methodCount = definition->methodCount;
  old->events = ShortenRecords<REALevent9>(definition->events, definition->eventCount);
  old->eventCount = definition->eventCount;
  old->eventInstances = definition->eventInstances;
  old->eventInstanceCount = definition->eventInstanceCount;
  old->interfaces = definition->interfaces;
  old->bindDescriptions = nullptr;
  old->bindDescriptionCount = 0;
  old->constants = ShortenRecords<REALconstant9>(definition->constants, definition->constantCount);
  old->constantCount = definition->constantCount;
  old->mFlags = definition->mFlags;
  old->sharedProperties =
      FixProperties(definition->sharedProperties, definition->sharedPropertyCount);
  old->sharedPropertyCount = definition->sharedPropertyCount;
  old->sharedMethods = ShortenRecords<REALmethodDefinition9>(definition->sharedMethods,
                                                             definition->sharedMethodCount);
  old->sharedMethodCount = definition->sharedMethodCount;

  // A class whose short records cannot all be allocated is not registered at all: a host
  // that saw only part of its members would call through missing entries.
  if (CopyFailed(definition->properties, definition->propertyCount, old->properties) ||
      CopyFailed(definition->methods, definition->methodCount, old->methods) ||
      CopyFailed(definition->events, definition->eventCount, old->events) ||
      CopyFailed(definition->constants, definition->constantCount, old->constants) ||
      CopyFailed(definition->sharedProperties, definition->sharedPropertyCount,
                 old->sharedProperties) ||
      CopyFailed(definition->sharedMethods, definition->sharedMethodCount, old->sharedMethods)) {
    free(old->properties);
    free(old->methods);
    free(old->events);
    free(old->constants);
    free(old->sharedProperties);
    free(old->sharedMethods);
    free(old);
    return;
  }

  // The host writes each event identifier into the short copy it receives; the class's own
  // record links to that copy so that EventIdentifier can find it.
  for (RBInteger i = 0; old->events != nullptr && i < definition->eventCount; ++i) {
    definition->events[i].identifier = reinterpret_cast<intptr_t>(&old->events[i]);
  }

  // Words 25-28 of the definition keep their values.
  memcpy(definition, old, sizeof(REALclassDefinition9));
  REALRegisterClass(definition);
  free(old);
}

}  // namespace

void MyREALRegisterClass(REALclassDefinition *definition) {
  if (definition == nullptr) return;
  definition->dataSize = (definition->dataSize + 15) & ~static_cast<RBInteger>(15);
  if (CurrentREALControlVersion > 9) {
    definition->version = CurrentREALControlVersion;
    REALRegisterClass(definition);
    return;
  }
  RegisterVersion9(definition);
}

intptr_t EventIdentifier(const REALevent *event) {
  if (event == nullptr) return 0;
  if (CurrentREALControlVersion > 9) return event->identifier;
  const auto *copy = reinterpret_cast<const REALevent9 *>(event->identifier);
  return copy != nullptr ? copy->identifier : 0;
}
