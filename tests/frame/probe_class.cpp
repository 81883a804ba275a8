#include "probe_class.h"

#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "frame/rbText.h"

namespace {

ProbeData *Data(REALobject obj) { return InstanceData<ProbeData>(ProbeClass, obj); }

void ProbeConstructor(REALobject obj) { Data(obj)->created = 1; }
void ProbeDestructor(REALobject) {}

RBInteger GetDoubled(REALobject obj, RBInteger) { return Data(obj)->value * 2; }
void SetDoubled(REALobject obj, RBInteger, RBInteger v) { Data(obj)->value = v / 2; }

void Raise(REALobject, REALstring className, REALstring message) {
  rbText name(className);
  rbText text(message);
  const char *nameBytes = name.GetUTF8();
  RaiseException(nameBytes, text.GetUTF8());
}

void RaiseWithoutMessage(REALobject, REALstring className) {
  rbText name(className);
  RaiseException(name.GetUTF8(), nullptr);
}

void RaiseOutOfBounds(REALobject, int64_t index, int64_t count) {
  RaiseOutOfBoundsException(index, count);
}

// Copies size bytes of the source block (or from nowhere when the source is nil). The source is
// read from its record so that a test can take the host's accessors away from the frame alone.
REALmemoryBlock BuildBlock(REALobject, REALmemoryBlock source, int64_t size) {
  return REALBuildMemoryblock(source != nullptr ? source->data : nullptr, size);
}

int64_t BlockSize(REALobject, REALmemoryBlock block) { return MemoryBlockSize(block); }

// The first byte of the block's data, or -1 when its data can't be found.
RBInteger BlockFirstByte(REALobject, REALmemoryBlock block) {
  auto *data = static_cast<unsigned char *>(MemoryBlockData(block));
  return data != nullptr ? data[0] : -1;
}

struct Unnamed {};

// Throws a C++ exception of the given kind and lets the frame translate it.
void Translate(REALobject, RBInteger kind) {
  try {
    switch (kind) {
      case 0:
        throw std::bad_alloc();
      case 1:
        throw std::range_error("range text");
      case 2:
        throw std::out_of_range("out of range text");
      case 3:
        throw std::overflow_error("overflow text");
      case 4:
        throw std::underflow_error("underflow text");
      case 5:
        throw std::invalid_argument("logic text");
      case 6:
        throw std::runtime_error("runtime text");
      case 7:
        throw std::bad_cast();
      case 8:
        throw std::bad_typeid();
      default:
        throw Unnamed();
    }
  } catch (...) {
    TranslateCurrentException();
  }
}

void FireChanged(REALobject obj) {
  REALEventHandler handler = REALGetEventInstance(obj, EventIdentifier(&ProbeEvents[0]));
  if (handler != nullptr) handler(obj);
}

RBInteger SharedTwice(RBInteger v) { return 2 * v; }

RBInteger BareAnswer(REALobject) { return 42; }

}  // namespace

REALproperty ProbeProperties[] = {
    {nullptr, "Value", "Integer", 6, REALstandardAccessor, REALstandardAccessor,
     offsetof(ProbeData, value)},
    {nullptr, "Created", "Integer", 6, REALstandardAccessor, nullptr, offsetof(ProbeData, created)},
    {"", "Doubled", "Integer", 6, reinterpret_cast<void *>(GetDoubled),
     reinterpret_cast<void *>(SetDoubled), 0},
};
const RBInteger kProbePropertyCount = sizeof(ProbeProperties) / sizeof(ProbeProperties[0]);

REALmethodDefinition ProbeMethods[] = {
    {reinterpret_cast<void *>(Raise), nullptr, "Raise(className as String, message as String)", 4},
    {reinterpret_cast<void *>(RaiseWithoutMessage), nullptr,
     "RaiseWithoutMessage(className as String)", 4},
    {reinterpret_cast<void *>(RaiseOutOfBounds), nullptr,
     "RaiseOutOfBounds(index as Int64, count as Int64)", 4},
    {reinterpret_cast<void *>(BuildBlock), nullptr,
     "BuildBlock(source as MemoryBlock, size as Int64) as MemoryBlock", 4},
    {reinterpret_cast<void *>(BlockSize), nullptr, "BlockSize(block as MemoryBlock) as Int64", 4},
    {reinterpret_cast<void *>(BlockFirstByte), nullptr,
     "BlockFirstByte(block as MemoryBlock) as Integer", 4},
    {reinterpret_cast<void *>(Translate), nullptr, "Translate(kind as Integer)", 4},
    {reinterpret_cast<void *>(FireChanged), nullptr, "FireChanged()", 0},
};
const RBInteger kProbeMethodCount = sizeof(ProbeMethods) / sizeof(ProbeMethods[0]);

REALevent ProbeEvents[] = {{"Changed"}};

REALconstant ProbeConstants[] = {{"ProbeAnswer = 42"}, {"ProbeName = \"probe\""}};
const RBInteger kProbeConstantCount = sizeof(ProbeConstants) / sizeof(ProbeConstants[0]);

REALmethodDefinition ProbeSharedMethods[] = {
    {reinterpret_cast<void *>(SharedTwice), nullptr, "SharedTwiceXNQ(v as Integer) as Integer", 4},
};
const RBInteger kProbeSharedMethodCount = 1;

REALclassDefinition ProbeClass = {
    13,
    "FrameProbeXNQ",
    nullptr,
    sizeof(ProbeData),
    0,
    ProbeConstructor,
    ProbeDestructor,
    ProbeProperties,
    kProbePropertyCount,
    ProbeMethods,
    kProbeMethodCount,
    ProbeEvents,
    1,
    nullptr,
    0,
    nullptr,
    nullptr,
    0,
    ProbeConstants,
    kProbeConstantCount,
    4,
    nullptr,
    0,
    ProbeSharedMethods,
    kProbeSharedMethodCount,
};

namespace {
REALmethodDefinition BareMethods[] = {
    {reinterpret_cast<void *>(BareAnswer), nullptr, "Answer() as Integer", 4},
};
}  // namespace

REALclassDefinition BareClass = {
    13, "FrameBareXNQ", nullptr, 16, 0, nullptr, nullptr, nullptr, 0, BareMethods, 1,
};
