// The Component Manager: process-local registration, lookup, instances and dispatch.
#pragma once

#include "os/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ComponentRecord *Component;
typedef struct ComponentInstanceRecord *ComponentInstance;
typedef SInt32 ComponentResult;

typedef struct ComponentDescription {
  OSType componentType;
  OSType componentSubType;
  OSType componentManufacturer;
  UInt32 componentFlags;
  UInt32 componentFlagsMask;
} ComponentDescription;

// What a component's entry routine receives: flags, the byte size of params, the selector and
// the parameters, last parameter first as the platform pushes them.
#pragma pack(push, 2)
typedef struct ComponentParameters {
  UInt8 flags;
  UInt8 paramSize;
  SInt16 what;
#if defined(__LP64__)
  UInt32 padding;
#endif
  long params[1];
} ComponentParameters;
#pragma pack(pop)

typedef ComponentResult (*ComponentRoutineProcPtr)(ComponentParameters *cp,
                                                   Handle componentStorage);
typedef ComponentRoutineProcPtr ComponentRoutineUPP;

enum {
  kComponentOpenSelect = -1,
  kComponentCloseSelect = -2,
  kComponentCanDoSelect = -3,
  kComponentVersionSelect = -4,
  kComponentRegisterSelect = -5,
  kComponentTargetSelect = -6,
  kComponentUnregisterSelect = -7,
};

enum {
  badComponentInstance = (SInt32)0x80008001,
  badComponentSelector = (SInt32)0x80008002,
  invalidComponentID = -3000,
  validInstancesExist = -3001,
};

// A component whose flags carry this bit hears the register and unregister selectors.
enum { cmpWantsRegisterMessage = (UInt32)1 << 31 };

enum { kAnyComponentType = 0, kAnyComponentSubType = 0, kAnyComponentManufacturer = 0 };
// Register only for this process (the only kind of registration there is here).
enum { registerComponentGlobal = 1 };

Component RegisterComponent(ComponentDescription *cd, ComponentRoutineUPP componentEntryPoint,
                            SInt16 global, Handle componentName, Handle componentInfo,
                            Handle componentIcon);
// validInstancesExist while instances of the component are open. An instance whose close has
// begun no longer counts, so its component's close handler may unregister the component.
OSErr UnregisterComponent(Component aComponent);
Component FindNextComponent(Component aComponent, ComponentDescription *looking);
long CountComponents(ComponentDescription *looking);
OSErr GetComponentInfo(Component aComponent, ComponentDescription *cd, Handle componentName,
                       Handle componentInfo, Handle componentIcon);
OSErr OpenAComponent(Component aComponent, ComponentInstance *ci);
ComponentInstance OpenComponent(Component aComponent);
ComponentInstance OpenDefaultComponent(OSType componentType, OSType componentSubType);
OSErr CloseComponent(ComponentInstance aComponentInstance);
long CountComponentInstances(Component aComponent);
// The refcon calls also accept an instance of the component in place of the component.
long GetComponentRefcon(Component aComponent);
void SetComponentRefcon(Component aComponent, long theRefcon);
Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance);
void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage);
Component GetComponentFromInstance(ComponentInstance ci);  // null for a stale instance
OSErr GetComponentInstanceError(ComponentInstance aComponentInstance);
void SetComponentInstanceError(ComponentInstance aComponentInstance, OSErr theError);
// The layout of a call's ComponentParameters: every parameter takes one long whatever its size,
// the last parameter first, and the instance follows the parameters (params[paramSize / sizeof
// (long)]). paramSize counts the parameters' longs, not the instance.
//
// Calls the component's entry with a selector and parameters.
ComponentResult CallComponentDispatch(ComponentParameters *cp);
ComponentResult CallComponentFunction(ComponentParameters *params, ComponentRoutineUPP func);
ComponentResult CallComponentFunctionWithStorage(Handle storage, ComponentParameters *params,
                                                 ComponentRoutineUPP func);
ComponentResult DelegateComponentCall(ComponentParameters *originalParams, ComponentInstance ci);
ComponentResult CallComponentCanDo(ComponentInstance ci, SInt16 ftnNumber);
ComponentResult GetComponentVersion(ComponentInstance ci);
ComponentResult ComponentSetTarget(ComponentInstance ci, ComponentInstance target);

// Calls func with the storage and the parameters that procInfo describes: bits 0-3 the calling
// convention, bits 4-5 the result size code, then two bits per parameter from bit 6 on (1: one
// byte, 2: two bytes, 3: four bytes, i.e. one word).
// A handler of any signature; cast it to this type to pass it.
typedef void (*ProcPtr)(void);
ComponentResult CallComponentFunctionWithStorageProcInfo(Handle storage,
                                                         ComponentParameters *params, ProcPtr func,
                                                         UInt32 procInfo);

// Memory Manager handles.
Handle NewHandle(Size byteCount);
Handle NewHandleClear(Size byteCount);
void DisposeHandle(Handle h);
Size GetHandleSize(Handle h);
void SetHandleSize(Handle h, Size newSize);
OSErr MemError(void);

// Length-prefixed strings: one length byte, then up to 255 characters.
typedef unsigned char Str255[256];
typedef const unsigned char *ConstStr255Param;
typedef Handle StringHandle;
// A new handle holding the length byte and the characters.
StringHandle NewString(ConstStr255Param theString);
void CopyCStringToPascal(const char *src, Str255 dst);

#ifdef __cplusplus
}
#endif
