// The host runtime's plugin interface as this plugin sees it: the records it hands to the host
// and the host functions it resolves by name. Every record is made of host words (32 bits on the
// i386 reference build, 64 bits on x86-64); offsets are only ever taken with offsetof.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {

// A host word: pointers, handles and the host language's Integer.
typedef intptr_t RBInteger;
// The host's one-byte boolean.
typedef unsigned char RBBoolean;

typedef struct REALstringStruct *REALstring;
typedef struct REALobjectStruct *REALobject;
typedef struct REALmemoryBlockStruct *REALmemoryBlock;
typedef struct REALfolderItemStruct *REALfolderItem;
typedef struct REALarrayStruct *REALarray;

// Host string record, read directly by hosts before 2017.0: word 1 points one byte before the
// text, word 3 is the byte length, word 4 the text encoding.
struct REALstringStruct {
  intptr_t hostWord0;
  const char *textMinusOne;
  intptr_t hostWord2;
  intptr_t byteLength;
  intptr_t encoding;
};

// Host memory block record: word 6 is the byte size, word 7 the data address.
struct REALmemoryBlockStruct {
  intptr_t hostWords[6];
  intptr_t size;
  void *data;
};

// Host array record: the element storage is at word 2 on hosts before 2008.0, at word 7 later.
struct REALarrayStruct {
  intptr_t hostWords0_1[2];
  void *elementsBefore2008;
  intptr_t hostWords3_6[4];
  void *elements;
};

// Filled by the host's PluginGetStringData: the bytes, their length and three host words.
struct REALstringData {
  const void *data;
  RBInteger length;
  intptr_t hostPrivate[3];
};

struct REALproperty {
  const char *group;
  const char *name;
  const char *type;
  RBInteger flags;
  void *getter;  // (void*)-1: the host's standard accessor
  void *setter;  // null: read-only; (void*)-1: standard accessor
  RBInteger param;
  intptr_t reserved7;
  intptr_t reserved8;
  intptr_t reserved9;
  void *list;
  RBInteger listCount;
};

struct REALmethodDefinition {
  void *function;
  void *setterFunction;
  const char *declaration;
  RBInteger flags;
  void *list;
  RBInteger listCount;
};

struct REALevent {
  const char *declaration;
  intptr_t identifier;  // filled in by the host at registration
  void *list;
  RBInteger listCount;
};

struct REALconstant {
  const char *declaration;
  intptr_t reserved1;
  intptr_t reserved2;
  void *list;
  RBInteger listCount;
};

struct REALclassDefinition {
  RBInteger version;
  const char *name;
  const char *superName;
  RBInteger dataSize;
  RBInteger forSystemUse;  // written by the host: offset of the instance data in an object
  void (*constructor)(REALobject);
  void (*destructor)(REALobject);
  REALproperty *properties;
  RBInteger propertyCount;
  REALmethodDefinition *methods;
  RBInteger methodCount;
  REALevent *events;
  RBInteger eventCount;
  void *eventInstances;
  RBInteger eventInstanceCount;
  const char *interfaces;
  void *bindDescriptions;
  RBInteger bindDescriptionCount;
  REALconstant *constants;
  RBInteger constantCount;
  RBInteger mFlags;
  REALproperty *sharedProperties;
  RBInteger sharedPropertyCount;
  REALmethodDefinition *sharedMethods;
  RBInteger sharedMethodCount;
  void *delegates;
  RBInteger delegateCount;
  void *attributes;
  RBInteger attributeCount;
};

// The shorter records of hosts that understand only class-definition version 9.
struct REALproperty9 {
  const char *group;
  const char *name;
  const char *type;
  RBInteger flags;
  void *getter;
  void *setter;
  RBInteger param;
  intptr_t reserved7;
  intptr_t reserved8;
  intptr_t reserved9;
};
struct REALmethodDefinition9 {
  void *function;
  void *setterFunction;
  const char *declaration;
  RBInteger flags;
};
struct REALevent9 {
  const char *declaration;
  intptr_t identifier;
};
struct REALconstant9 {
  const char *declaration;
  intptr_t reserved1;
  intptr_t reserved2;
};
// Words 0-24 of REALclassDefinition.
struct REALclassDefinition9 {
  RBInteger version;
  const char *name;
  const char *superName;
  RBInteger dataSize;
  RBInteger forSystemUse;
  void (*constructor)(REALobject);
  void (*destructor)(REALobject);
  REALproperty9 *properties;
  RBInteger propertyCount;
  REALmethodDefinition9 *methods;
  RBInteger methodCount;
  REALevent9 *events;
  RBInteger eventCount;
  void *eventInstances;
  RBInteger eventInstanceCount;
  const char *interfaces;
  void *bindDescriptions;
  RBInteger bindDescriptionCount;
  REALconstant9 *constants;
  RBInteger constantCount;
  RBInteger mFlags;
  REALproperty9 *sharedProperties;
  RBInteger sharedPropertyCount;
  REALmethodDefinition9 *sharedMethods;
  RBInteger sharedMethodCount;
};

#define REALstandardAccessor ((void *)(intptr_t)-1)

// Host function signatures, by the name the resolver is asked for.
typedef void *(*REALResolver)(const char *name);
typedef double (*REALGetRBVersionProc)(void);
typedef void (*RegisterPluginVersionProc)(int32_t version);
typedef void (*PluginRegisterClassProc)(REALclassDefinition *definition);
typedef RBBoolean (*REALinRuntimeProc)(void);
typedef void (*REALYieldToRBProc)(void);
typedef REALstring (*REALBuildStringProc)(const char *bytes, RBInteger byteLength);
typedef REALstring (*REALBuildStringWithEncodingProc)(const char *bytes, RBInteger byteLength,
                                                      uint32_t encoding);
typedef void (*REALSetStringEncodingProc)(REALstring s, uint32_t encoding);
typedef uint32_t (*REALGetStringEncodingProc)(REALstring s);
typedef REALstring (*REALConvertStringProc)(REALstring s, uint32_t encoding);
typedef RBBoolean (*PluginGetStringDataProc)(REALstring s, uint32_t encoding, REALstringData *out);
typedef void (*PluginDisposeStringDataProc)(REALstringData *data);
typedef void (*REALLockStringProc)(REALstring s);
typedef void (*REALUnlockStringProc)(REALstring s);
typedef void (*REALLockObjectProc)(REALobject o);
typedef void (*REALUnlockObjectProc)(REALobject o);
typedef REALobject (*PluginNewInstanceProc)(const char *className);
typedef RBBoolean (*REALSetPropValueStringProc)(REALobject o, const char *property, REALstring v);
typedef RBBoolean (*REALSetPropValueIntegerProc)(REALobject o, const char *property, RBInteger v);
typedef RBBoolean (*REALSetPropValueIntProc)(REALobject o, const char *property, int32_t v);
typedef void *(*REALLoadObjectMethodProc)(REALobject o, const char *declaration);
typedef void (*REALEventHandler)(REALobject o);
typedef REALEventHandler (*GetEventInstanceProc)(REALobject o, intptr_t eventIdentifier);
typedef void (*RuntimeRaiseExceptionProc)(REALobject exception);
typedef REALobject (*StringToVariantProc)(REALstring s);
typedef REALobject (*IntegerToVariantProc)(RBInteger v);
typedef REALobject (*Int32ToVariantProc)(int32_t v);
typedef RBInteger (*RuntimeUBoundProc)(REALarray a);
typedef REALarray (*RuntimeArrayCreateSingleDimBoundedArrayProc)(int32_t elementType,
                                                                 RBInteger upperBound);
typedef void (*REALIntegerArrayInserter)(REALarray a, RBInteger index, RBInteger value);
typedef REALIntegerArrayInserter (*PluginIntegerArrayInsertProcProc)(REALarray a);
typedef RBInteger (*REALIntegerArrayGetter)(REALarray a, RBInteger index);
typedef float (*REALSingleArrayGetter)(REALarray a, RBInteger index);
typedef double (*REALDoubleArrayGetter)(REALarray a, RBInteger index);
typedef void *(*PluginArrayGetProcProc)(REALarray a);
typedef REALmemoryBlock (*newMemoryBlockProc)(int32_t size);
typedef void *(*memoryBlockGetPtrProc)(REALmemoryBlock b);
typedef RBInteger (*memoryBlockGetSizeProc)(REALmemoryBlock b);
struct FSRef;
struct HFSUniStr255;
typedef RBBoolean (*REALFSRefFromFolderItemProc)(REALfolderItem f, FSRef *ref, HFSUniStr255 *name);

// Element type codes for RuntimeArrayCreateSingleDimBoundedArray.
enum { kREALArrayOfInteger = 0, kREALArrayOfSingle = 1, kREALArrayOfDouble = 2 };

}  // extern "C"
