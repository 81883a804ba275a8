// The runtime: loading the plugin, the resolver, objects and calls by name, events, the main
// thread's run loop and the reference accounting a program can assert.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "internal.h"
#include "platform/dispatch_control.h"

namespace xnq::host {

struct Runtime::Impl {};

namespace detail {

Impl &impl() {
  // Never destroyed: Values may outlive static destruction at process exit.
  static Impl *instance = new Impl;
  return *instance;
}

namespace {

void fireEvent(void *object, intptr_t identifier) {
  std::function<void()> handler;
  {
    detail::Impl &im = impl();
    std::lock_guard lock(im.tableMutex);
    auto it = im.eventHandlers.find({object, identifier});
    if (it == im.eventHandlers.end()) return;
    handler = it->second;
  }
  handler();
}

template <intptr_t I>
void eventEntry(void *object) {
  fireEvent(object, I);
}

template <intptr_t... I>
void *entryFor(intptr_t identifier, std::integer_sequence<intptr_t, I...>) {
  static void *const table[] = {reinterpret_cast<void *>(eventEntry<I>)...};
  return identifier >= 0 && identifier < static_cast<intptr_t>(sizeof...(I)) ? table[identifier]
                                                                             : nullptr;
}

}  // namespace

// Each event identifier has its own C entry, because the plugin calls the handler with the
// object only.
void *eventTrampoline(intptr_t identifier) {
  if (identifier <= 0) return nullptr;
  return entryFor(identifier, std::make_integer_sequence<intptr_t, kMaxEvents + 1>{});
}

void destroyObject(ObjectHandle *o) {
  ClassEntry *cls = o->cls;
  if (cls) {
    for (const MethodEntry &m : cls->methods) {
      if (caseEqual(m.info.name, "Destructor") && m.info.params.empty() && m.function) {
        reinterpret_cast<void (*)(void *)>(m.function)(o);
        break;
      }
    }
    if (cls->destructor) cls->destructor(o);
    // Handle-typed fields served by the standard accessor belong to the host: what the
    // destructor left in them is released here.
    for (const PropertyEntry &p : cls->properties) {
      if (!(p.info.standardGetter || p.info.standardSetter)) continue;
      if (describeType(p.info.typeName).ctype != CType::Handle) continue;
      if (p.info.param < 0 ||
          p.info.param + static_cast<intptr_t>(sizeof(void *)) > cls->info.dataSize)
        continue;
      char *field = static_cast<char *>(objectData(o)) + p.info.param;
      void *h;
      std::memcpy(&h, field, sizeof h);
      if (h && lookup(h)) releaseHandle(h);
      h = nullptr;
      std::memcpy(field, &h, sizeof h);
    }
  }
  {
    detail::Impl &im = impl();
    std::lock_guard lock(im.tableMutex);
    for (auto it = im.eventHandlers.begin(); it != im.eventHandlers.end();) {
      if (it->first.first == o)
        it = im.eventHandlers.erase(it);
      else
        ++it;
    }
  }
  destroyObjectMemory(o);
}

}  // namespace detail

using namespace detail;

Runtime::Runtime() { registerHostClasses(); }

Runtime &Runtime::get() {
  static Runtime *runtime = new Runtime;
  return *runtime;
}

void Runtime::configure(const Settings &settings) {
  detail::Impl &im = impl();
  im.settings = settings;
  im.mainThread = std::this_thread::get_id();
  if (settings.dispatchAvailable && !im.dispatchLibrary) {
    // Opened globally and before the plugin, so the plugin's weak references to the dispatch
    // functions resolve to it.
    im.dispatchLibrary = dlopen(XNQ_DISPATCH_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (im.dispatchLibrary) {
      im.drainMainQueue =
          reinterpret_cast<int (*)()>(dlsym(im.dispatchLibrary, "xnq_dispatch_drain_main_queue"));
      im.waitMainQueue =
          reinterpret_cast<int (*)(int)>(dlsym(im.dispatchLibrary, "xnq_dispatch_wait_main_queue"));
    } else {
      im.error = std::string("dispatch library: ") + dlerror();
    }
  }
  // Likewise for the graphics library, whose presence the plugin probes by a weak reference.
  if (settings.graphicsAvailable && !im.graphicsLibrary) {
    im.graphicsLibrary = dlopen(XNQ_GRAPHICS_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (!im.graphicsLibrary) im.error = std::string("graphics library: ") + dlerror();
  }
}

bool Runtime::load(const std::string &pluginPath, const Settings &settings) {
  detail::Impl &im = impl();
  if (im.loaded) {
    im.error = "a plugin is already loaded in this process";
    return false;
  }
  configure(settings);
  im.pluginLibrary = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!im.pluginLibrary) {
    im.error = dlerror();
    return false;
  }
  auto entry = reinterpret_cast<void (*)(void *(*)(const char *))>(
      dlsym(im.pluginLibrary, "REALPluginMain"));
  if (!entry) {
    im.error = pluginPath + " has no REALPluginMain";
    return false;
  }
  im.loaded = true;
  entry(&Runtime::resolve);
  return true;
}

const Settings &Runtime::settings() const { return impl().settings; }
const std::string &Runtime::error() const { return impl().error; }

void *Runtime::resolve(const char *name) {
  get();
  detail::Impl &im = impl();
  if (!name) return nullptr;
  std::string n = name;
  {
    std::lock_guard lock(im.tableMutex);
    im.resolvedNames.push_back(n);
  }
  if (im.settings.removed.count(n)) return nullptr;
  if (n == "REALGetRBVersion" && !im.settings.version) return nullptr;
  for (const HostFunction &f : hostFunctions())
    if (n == f.name) return f.address;
  return nullptr;
}

std::vector<std::string> Runtime::resolvedNames() const {
  std::lock_guard lock(impl().tableMutex);
  return impl().resolvedNames;
}

int64_t Runtime::callCount(const std::string &hostFunction) const {
  std::lock_guard lock(impl().tableMutex);
  auto it = impl().callCounts.find(hostFunction);
  return it == impl().callCounts.end() ? 0 : it->second;
}

int Runtime::registeredPluginVersion() const {
  std::lock_guard lock(impl().tableMutex);
  return impl().pluginVersion;
}

std::vector<const ClassInfo *> Runtime::classes() const {
  std::lock_guard lock(impl().tableMutex);
  std::vector<const ClassInfo *> out;
  for (auto &c : impl().classes)
    if (!c->hostClass) out.push_back(&c->info);
  return out;
}

const ClassInfo *Runtime::findClass(const std::string &name) const {
  ClassEntry *e = findClassEntry(name);
  return e ? &e->info : nullptr;
}

std::vector<std::string> Runtime::registrationErrors() const {
  std::lock_guard lock(impl().tableMutex);
  return impl().errors;
}

Value Runtime::newString(std::string_view bytes, uint32_t encoding) {
  return Value::adopt(Type::String, makeString(std::string(bytes), encoding));
}

Value Runtime::newMemoryBlock(int64_t size) {
  if (size < 0) return Value::nil();
  return Value::adopt(Type::MemoryBlock, makeBlock(static_cast<size_t>(size)));
}

Value Runtime::newMemoryBlock(const void *bytes, int64_t size) {
  Value v = newMemoryBlock(size);
  if (v.handle() && bytes && size > 0) std::memcpy(v.data(), bytes, static_cast<size_t>(size));
  return v;
}

Value Runtime::newFolderItem(const std::string &path) {
  return Value::adopt(Type::FolderItem, makeFolderItem(path));
}

namespace {
template <typename T>
Value newArray(ElementType type, Type valueType, const std::vector<T> &values) {
  ArrayHandle *a = makeArray(type, static_cast<intptr_t>(values.size()));
  for (size_t k = 0; k < values.size(); ++k)
    std::memcpy(a->storage.data() + k * sizeof(T), &values[k], sizeof(T));
  return Value::adopt(valueType, a);
}
}  // namespace

Value Runtime::newIntegerArray(const std::vector<int64_t> &values) {
  std::vector<Word> words(values.begin(), values.end());
  return newArray(ElementType::Integer, Type::IntegerArray, words);
}

Value Runtime::newSingleArray(const std::vector<float> &values) {
  return newArray(ElementType::Single, Type::SingleArray, values);
}

Value Runtime::newDoubleArray(const std::vector<double> &values) {
  return newArray(ElementType::Double, Type::DoubleArray, values);
}

Value Runtime::newDictionary() {
  ClassEntry *cls = findClassEntry("Dictionary");
  ObjectHandle *o = makeObject(cls);
  cls->constructor(o);
  return Value::adopt(Type::Dictionary, o);
}

Value Runtime::newVariant(const Value &v) {
  switch (v.type()) {
    case Type::Variant:
      return v;
    case Type::String:
      return Value::adopt(Type::Variant, makeStringVariant(static_cast<Handle *>(v.handle())));
    case Type::Integer:
    case Type::Int32:
    case Type::UInt32:
    case Type::Int64:
    case Type::UInt64:
    case Type::Boolean:
      return Value::adopt(Type::Variant, makeIntegerVariant(v.asInteger()));
    default:
      return Value::nil();
  }
}

std::vector<int64_t> Runtime::integerArray(const Value &array) const {
  std::vector<int64_t> out;
  auto *a = static_cast<ArrayHandle *>(lookup(array.handle(), Kind::Array));
  if (!a) return out;
  if (a->elementType != ElementType::Integer) {
    for (double d : numberArray(array)) out.push_back(static_cast<int64_t>(d));
    return out;
  }
  for (intptr_t k = 0; k < a->count; ++k) {
    Word w;
    std::memcpy(&w, a->storage.data() + k * sizeof(Word), sizeof w);
    out.push_back(w);
  }
  return out;
}

std::vector<double> Runtime::numberArray(const Value &array) const {
  std::vector<double> out;
  auto *a = static_cast<ArrayHandle *>(lookup(array.handle(), Kind::Array));
  if (!a) return out;
  for (intptr_t k = 0; k < a->count; ++k) {
    const uint8_t *p = a->storage.data() + k * a->elementSize();
    if (a->elementType == ElementType::Integer) {
      Word w;
      std::memcpy(&w, p, sizeof w);
      out.push_back(static_cast<double>(w));
    } else if (a->elementType == ElementType::Single) {
      float f;
      std::memcpy(&f, p, sizeof f);
      out.push_back(f);
    } else {
      double d;
      std::memcpy(&d, p, sizeof d);
      out.push_back(d);
    }
  }
  return out;
}

std::vector<std::pair<Value, Value>> Runtime::dictionaryEntries(const Value &dict) const {
  std::vector<std::pair<Value, Value>> out;
  auto contentOf = [](Handle *h) {
    if (!h) return Value::nil();
    if (h->kind != Kind::Variant) return Value::retain(valueTypeOf(h), h);
    auto *v = static_cast<VariantHandle *>(h);
    if (v->contentType == Type::Integer) return Value::integer(v->integer);
    return Value::retain(Type::String, v->string);
  };
  for (auto &[k, v] : dictionaryContents(dict.handle()))
    out.emplace_back(contentOf(k), contentOf(v));
  return out;
}

CallResult Runtime::newObject(const std::string &className, std::vector<Value> ctorArgs) {
  PendingScope scope;
  ClassEntry *cls = findClassEntry(className);
  if (!cls) return hostError("no class named " + className);
  const MethodEntry *ctor = nullptr;
  bool hasCtorMethod = false;
  for (const MethodEntry &m : cls->methods)
    if (caseEqual(m.info.name, "Constructor")) hasCtorMethod = true;
  std::string why;
  if (hasCtorMethod) {
    ctor = chooseOverload(cls->methods, "Constructor", ctorArgs, false, &why);
    if (!ctor) return hostError(className + ": " + why);
  } else if (!ctorArgs.empty()) {
    return hostError(className + " has no Constructor taking arguments");
  }
  ObjectHandle *o = makeObject(cls);
  Value object = Value::adopt(valueTypeOf(o), o);
  if (cls->constructor) cls->constructor(o);
  CallResult r;
  if (ctor)
    r = invokeMethod(*ctor, o, ctorArgs, nullptr);
  else
    r.exception = takePending();
  // An object whose construction raised is not handed out.
  r.value = r.raised() ? Value::nil() : std::move(object);
  return r;
}

namespace {

CallResult nilObject(const std::string &member) {
  CallResult r;
  r.exception = RaisedException{"NilObjectException", "nil object used for " + member, 0};
  return r;
}

}  // namespace

CallResult Runtime::call(const Value &object, const std::string &method, std::vector<Value> &args) {
  PendingScope scope;
  auto *o = static_cast<ObjectHandle *>(lookup(object.handle(), Kind::Object));
  if (!o || !o->cls) return nilObject(method);
  std::string why;
  const MethodEntry *m = chooseOverload(o->cls->methods, method, args, false, &why);
  if (!m) {
    if (args.empty() && findProperty(o->cls, method)) return get(object, method);
    return hostError(o->cls->info.name + ": " + why);
  }
  return invokeMethod(*m, o, args, nullptr);
}

CallResult Runtime::call(const Value &object, const std::string &method,
                         std::vector<Value> &&args) {
  std::vector<Value> a = std::move(args);
  return call(object, method, a);
}

CallResult Runtime::callShared(const std::string &className, const std::string &method,
                               std::vector<Value> args) {
  PendingScope scope;
  ClassEntry *cls = findClassEntry(className);
  if (!cls) return hostError("no class named " + className);
  std::string why;
  const MethodEntry *m = chooseOverload(cls->sharedMethods, method, args, false, &why);
  if (!m) return hostError(className + ": " + why);
  return invokeMethod(*m, nullptr, args, nullptr);
}

CallResult Runtime::assign(const Value &object, const std::string &method, std::vector<Value> args,
                           const Value &value) {
  PendingScope scope;
  auto *o = static_cast<ObjectHandle *>(lookup(object.handle(), Kind::Object));
  if (!o || !o->cls) return nilObject(method);
  std::string why;
  const MethodEntry *m = chooseOverload(o->cls->methods, method, args, true, &why);
  if (!m) {
    if (args.empty() && findProperty(o->cls, method)) return set(object, method, value);
    return hostError(o->cls->info.name + ": " + why);
  }
  return invokeMethod(*m, o, args, &value);
}

CallResult Runtime::get(const Value &object, const std::string &property) {
  PendingScope scope;
  auto *o = static_cast<ObjectHandle *>(lookup(object.handle(), Kind::Object));
  if (!o || !o->cls) return nilObject(property);
  const PropertyEntry *p = findProperty(o->cls, property);
  if (!p) {
    std::vector<Value> none;
    if (chooseOverload(o->cls->methods, property, none, false, nullptr))
      return call(object, property, none);
    return hostError(o->cls->info.name + " has no property " + property);
  }
  CallResult r = getProperty(o, *p);
  if (!r.raised()) r.exception = takePending();
  return r;
}

CallResult Runtime::set(const Value &object, const std::string &property, const Value &value) {
  PendingScope scope;
  auto *o = static_cast<ObjectHandle *>(lookup(object.handle(), Kind::Object));
  if (!o || !o->cls) return nilObject(property);
  const PropertyEntry *p = findProperty(o->cls, property);
  if (!p) {
    if (chooseOverload(o->cls->methods, property, {}, true, nullptr))
      return assign(object, property, {}, value);
    return hostError(o->cls->info.name + " has no property " + property);
  }
  CallResult r = setProperty(o, *p, value);
  if (!r.raised()) r.exception = takePending();
  return r;
}

void *Runtime::instanceData(const Value &object) const {
  auto *o = static_cast<ObjectHandle *>(lookup(object.handle(), Kind::Object));
  return o ? objectData(o) : nullptr;
}

int64_t Runtime::referenceCount(const Value &handleValue) const {
  return referenceCountOf(handleValue.handle());
}

void Runtime::setEventHandler(const Value &object, const std::string &event,
                              std::function<void()> handler) {
  ClassEntry *cls = classOf(object.handle());
  if (!cls) {
    noteError("setEventHandler: " + event + " on a nil object");
    return;
  }
  for (const EventInfo &e : cls->info.events) {
    if (!caseEqual(e.name, event)) continue;
    if (e.identifier > kMaxEvents) {
      noteError("event " + event + " has an identifier beyond the host's handler table");
      return;
    }
    detail::Impl &im = impl();
    std::lock_guard lock(im.tableMutex);
    if (handler)
      im.eventHandlers[{object.handle(), e.identifier}] = std::move(handler);
    else
      im.eventHandlers.erase({object.handle(), e.identifier});
    return;
  }
  noteError("class " + cls->info.name + " has no event " + event);
}

bool Runtime::isMainThread() const { return std::this_thread::get_id() == impl().mainThread; }

void Runtime::runLoopOnce() {
  if (impl().drainMainQueue) impl().drainMainQueue();
}

bool Runtime::runUntil(const std::function<bool()> &pred, int timeoutMs) {
  detail::Impl &im = impl();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pred()) return true;
    runLoopOnce();
    if (pred()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
    if (im.waitMainQueue)
      im.waitMainQueue(std::max(1, std::min(left, 5)));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int64_t Runtime::yieldCount() const { return impl().yields.load(); }

void Runtime::setYieldHook(std::function<void()> hook) {
  std::lock_guard lock(impl().hookMutex);
  impl().yieldHook = std::move(hook);
}

ReferenceCounts Runtime::outstanding() const {
  std::lock_guard lock(impl().handleMutex);
  return impl().counts;
}

int64_t Runtime::accountingErrors() const {
  std::lock_guard lock(impl().handleMutex);
  return impl().accountingErrors;
}

}  // namespace xnq::host
