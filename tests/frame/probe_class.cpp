#include "probe_class.h"

#include <string.h>

#include <new>
#include <stdexcept>
#include <typeinfo>

#include "frame/rbText.h"

namespace {

ProbeData *Data(REALobject obj) { return InstanceData<ProbeData>(ProbeClass, obj); }

int gDestroyed = 0;

void ProbeConstructor(REALobject obj) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(Data(obj));
  bool zero = true;
  for (size_t k = 0; k < sizeof(ProbeData); ++k) zero = zero && bytes[k] == 0;
  Data(obj)->created = zero ? 1 : -1;
}

void Raise(REALobject, REALstring className, REALstring message) {
  rbText name(className);
  rbText text(message);
  const char *nameBytes = name.GetUTF8();
  RaiseException(nameBytes, text.GetUTF8());
}

// A probe whose Value is -99 raises from its destructor, which no later call may report.
void ProbeDestructor(REALobject obj) {
  ++gDestroyed;
  if (Data(obj)->value == -99) RaiseException("RuntimeException", "from a destructor");
}

RBInteger GetDoubled(REALobject obj, RBInteger) { return Data(obj)->value * 2; }
void SetDoubled(REALobject obj, RBInteger, RBInteger v) { Data(obj)->value = v / 2; }
// Both use the parameter word, so a wrong one shows in what reads back.
double GetScaled(REALobject obj, RBInteger param) { return Data(obj)->scaled * double(param); }
void SetScaled(REALobject obj, RBInteger param, double v) { Data(obj)->scaled = v + double(param); }

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
  void (*const throwers[])() = {[] { throw std::bad_alloc(); },
                                [] { throw std::range_error("range text"); },
                                [] { throw std::out_of_range("out of range text"); },
                                [] { throw std::overflow_error("overflow text"); },
                                [] { throw std::underflow_error("underflow text"); },
                                [] { throw std::invalid_argument("logic text"); },
                                [] { throw std::runtime_error("runtime text"); },
                                [] { throw std::bad_cast(); },
                                [] { throw std::bad_typeid(); },
                                [] { throw Unnamed(); }};
  try {
    throwers[kind]();
  } catch (...) {
    TranslateCurrentException();
  }
}

void FireChanged(REALobject obj) {
  REALEventHandler handler = REALGetEventInstance(obj, EventIdentifier(&ProbeEvents[0]));
  if (handler != nullptr) handler(obj);
}

RBInteger Add(REALobject obj, RBInteger amount) { return Data(obj)->value += amount; }

void Swap(REALobject, RBInteger *a, RBInteger *b, RBBoolean *flag) {
  const RBInteger t = *a;
  *a = *b;
  *b = t;
  *flag = !*flag;
}

void UpdateBand(REALobject obj, RBInteger band, double gain) {
  Data(obj)->band = band;
  Data(obj)->bandGain = gain;
}

void UpdateAll(REALobject obj, REALarray gains) {
  REALDoubleArrayGetter get = REALGetArrayValueDouble(gains);
  Data(obj)->band = -1;
  Data(obj)->bandGain = 0;
  for (RBInteger k = 0; get != nullptr && k <= REALGetArrayUBound(gains); ++k) {
    Data(obj)->bandGain += get(gains, k);
  }
}

// Reads the element storage directly, as plugins do on hosts from 2008.0.
RBInteger Sum(REALobject, REALarray values) {
  if (values == nullptr) return -1;
  RBInteger total = 0;
  const auto *elements = static_cast<const RBInteger *>(values->elements);
  for (RBInteger k = 0; k <= REALGetArrayUBound(values); ++k) total += elements[k];
  return total;
}

REALarray Range(REALobject, RBInteger n) {
  REALarray a = REALCreateArray();
  REALIntegerArrayInserter insert = REALInsertArrayValueInteger(a);
  for (RBInteger k = 0; k < n; ++k) insert(a, k, k * 10);
  return a;
}

RBInteger GetItem(REALobject obj, RBInteger i) {
  return i >= 0 && i < 4 ? Data(obj)->items[i] : -1;
}
void SetItem(REALobject obj, RBInteger i, RBInteger v) {
  if (i >= 0 && i < 4) Data(obj)->items[i] = v;
}

// A Dictionary filled through the method the host finds by its declaration.
REALobject MakeDictionary(REALobject) {
  REALobject d = REALnewInstance("Dictionary");
  auto setValue = reinterpret_cast<void (*)(REALobject, REALobject, REALobject)>(
      REALLoadObjectMethod(d, "Value(key As Variant, Assigns _value As Variant)"));
  const char *names[] = {"Built-in Output", "Line Out"};
  for (int k = 0; setValue != nullptr && k < 2; ++k) {
    REALobject key = REALNewVariantInteger(40 + k);
    REALstring s = REALBuildUnicodeString(names[k], strlen(names[k]), kTextEncodingUTF8);
    REALobject value = REALNewVariantString(s);
    setValue(d, key, value);
    REALUnlockObject(key);
    REALUnlockObject(value);
    REALUnlockString(s);
  }
  return d;
}

RBInteger SharedTwice(RBInteger v) { return 2 * v; }
RBInteger Destroyed() { return gDestroyed; }
RBInteger BareAnswer(REALobject) { return 42; }

#define SA REALstandardAccessor
#define FN(f) reinterpret_cast<void *>(f)
}  // namespace

REALproperty ProbeProperties[] = {
    {nullptr, "Value", "Integer", 6, SA, SA, offsetof(ProbeData, value)},
    {nullptr, "Created", "Integer", 6, SA, nullptr, offsetof(ProbeData, created)},
    {"", "Doubled", "Integer", 6, FN(GetDoubled), FN(SetDoubled), 0},
    {nullptr, "U32", "UInt32", 6, SA, SA, offsetof(ProbeData, u32)},
    {nullptr, "Flag", "Boolean", 6, SA, SA, offsetof(ProbeData, flag)},
    {nullptr, "Gain", "Single", 6, SA, SA, offsetof(ProbeData, gain)},
    {nullptr, "Level", "Double", 6, SA, SA, offsetof(ProbeData, level)},
    {nullptr, "Name", "String", 6, SA, SA, offsetof(ProbeData, name)},
    {nullptr, "Tag", "Variant", 6, SA, SA, offsetof(ProbeData, tag)},
    {nullptr, "Scaled", "Double", 6, FN(GetScaled), FN(SetScaled), 4},
    {nullptr, "Band", "Integer", 6, SA, nullptr, offsetof(ProbeData, band)},
    {nullptr, "BandGain", "Double", 6, SA, nullptr, offsetof(ProbeData, bandGain)},
    // Outside the instance data: the host must refuse to serve it.
    {nullptr, "Outside", "Integer", 6, SA, SA, 4096},
};
const RBInteger kProbePropertyCount = sizeof(ProbeProperties) / sizeof(ProbeProperties[0]);

REALmethodDefinition ProbeMethods[] = {
    {FN(Raise), nullptr, "Raise(className as String, message as String)", 4},
    {FN(RaiseWithoutMessage), nullptr, "RaiseWithoutMessage(className as String)", 4},
    {FN(RaiseOutOfBounds), nullptr, "RaiseOutOfBounds(index as Int64, count as Int64)", 4},
    {FN(BuildBlock), nullptr, "BuildBlock(source as MemoryBlock, size as Int64) as MemoryBlock", 4},
    {FN(BlockSize), nullptr, "BlockSize(block as MemoryBlock) as Int64", 4},
    {FN(BlockFirstByte), nullptr, "BlockFirstByte(block as MemoryBlock) as Integer", 4},
    {FN(Translate), nullptr, "Translate(kind as Integer)", 4},
    {FN(Add), nullptr, "Add(amount as integer = 1) as integer", 4},
    {FN(Swap), nullptr, "Swap(byref a as integer, byref b as integer, ByRef flag As Boolean)", 4},
    {FN(UpdateBand), nullptr, "updateEQ(band as integer, gain as double)", 4},
    {FN(UpdateAll), nullptr, "updateEQ(gains as double())", 4},
    {FN(Sum), nullptr, "Sum(values() as integer) as integer", 4},
    {FN(Range), nullptr, "Range(n as integer) as integer()", 4},
    {FN(GetItem), FN(SetItem), "Item(index as integer) as integer", 4},
    {FN(MakeDictionary), nullptr, "MakeDictionary as Dictionary", 4},
    {FN(FireChanged), nullptr, "FireChanged()", 0},
};
const RBInteger kProbeMethodCount = sizeof(ProbeMethods) / sizeof(ProbeMethods[0]);

REALevent ProbeEvents[] = {{"Changed"}};
REALconstant ProbeConstants[] = {{"ProbeAnswer = 42"}, {"ProbeName = \"probe\""}};

namespace {
REALmethodDefinition ProbeSharedMethods[] = {
    {FN(SharedTwice), nullptr, "SharedTwiceXNQ(v as Integer) as Integer", 4},
    {FN(Destroyed), nullptr, "DestroyedXNQ as Integer", 4},
};
REALmethodDefinition BareMethods[] = {{FN(BareAnswer), nullptr, "Answer() as Integer", 4}};
}  // namespace

REALclassDefinition ProbeClass = {.version = 13,
                                  .name = "FrameProbeXNQ",
                                  .dataSize = sizeof(ProbeData),
                                  .constructor = ProbeConstructor,
                                  .destructor = ProbeDestructor,
                                  .properties = ProbeProperties,
                                  .propertyCount = kProbePropertyCount,
                                  .methods = ProbeMethods,
                                  .methodCount = kProbeMethodCount,
                                  .events = ProbeEvents,
                                  .eventCount = 1,
                                  .constants = ProbeConstants,
                                  .constantCount = 2,
                                  .mFlags = 4,
                                  .sharedMethods = ProbeSharedMethods,
                                  .sharedMethodCount = 2};

REALclassDefinition BareClass = {
    13, "FrameBareXNQ", nullptr, 16, 0, nullptr, nullptr, nullptr, 0, BareMethods, 1,
};
