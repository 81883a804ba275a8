// The host's own classes that plugins use: the exception classes, whose "Message" and
// "ErrorNumber" properties are served from the instance data, and Dictionary, whose methods a
// plugin finds with REALLoadObjectMethod.
#include "internal.h"

namespace xnq::host::detail {

namespace {

struct DictionaryEntry {
  Handle *key;
  Handle *value;
};
using DictionaryStore = std::vector<DictionaryEntry>;

DictionaryStore *&storeOf(void *dict) {
  return *static_cast<DictionaryStore **>(objectData(static_cast<ObjectHandle *>(dict)));
}

// Keys are compared by content: Integer variants by value, String variants by their text.
bool sameKey(const Handle *a, const Handle *b) {
  if (a == b) return true;
  if (!a || !b || a->kind != Kind::Variant || b->kind != Kind::Variant) return false;
  auto *va = static_cast<const VariantHandle *>(a);
  auto *vb = static_cast<const VariantHandle *>(b);
  if (va->contentType != vb->contentType) return false;
  if (va->contentType == Type::Integer) return va->integer == vb->integer;
  return utf8Of(static_cast<const StringHandle *>(va->string)) ==
         utf8Of(static_cast<const StringHandle *>(vb->string));
}

void raiseHostException(const char *cls, const std::string &message);

void dictionaryConstructor(void *dict) { storeOf(dict) = new DictionaryStore; }

void dictionaryDestructor(void *dict) {
  DictionaryStore *store = storeOf(dict);
  if (!store) return;
  storeOf(dict) = nullptr;
  for (auto &entry : *store) {
    releaseHandle(entry.key);
    releaseHandle(entry.value);
  }
  delete store;
}

// Value(key As Variant, Assigns _value As Variant)
void dictionarySetValue(void *dict, void *key, void *value) {
  if (!lookup(dict, Kind::Object)) return;
  DictionaryStore *store = storeOf(dict);
  Handle *k = lookup(key);
  Handle *v = lookup(value);
  if (!store || !k) {
    raiseHostException("NilObjectException", "Dictionary key is nil");
    return;
  }
  if (v) retainHandle(v);
  for (auto &entry : *store) {
    if (sameKey(entry.key, k)) {
      releaseHandle(entry.value);
      entry.value = v;
      return;
    }
  }
  retainHandle(k);
  store->push_back({k, v});
}

// Value(key As Variant) As Variant
void *dictionaryGetValue(void *dict, void *key) {
  if (!lookup(dict, Kind::Object) || !storeOf(dict)) return nullptr;
  Handle *k = lookup(key);
  for (auto &entry : *storeOf(dict)) {
    if (sameKey(entry.key, k)) {
      retainHandle(entry.value);
      return entry.value;
    }
  }
  raiseHostException("KeyNotFoundException", "The key was not found in the Dictionary");
  return nullptr;
}

// Key(index As Integer) As Variant
void *dictionaryKey(void *dict, Word index) {
  if (!lookup(dict, Kind::Object) || !storeOf(dict)) return nullptr;
  DictionaryStore *store = storeOf(dict);
  if (index < 0 || index >= static_cast<Word>(store->size())) {
    raiseHostException("OutOfBoundsException", "Dictionary key index out of range");
    return nullptr;
  }
  Handle *k = (*store)[static_cast<size_t>(index)].key;
  retainHandle(k);
  return k;
}

// HasKey(key As Variant) As Boolean
unsigned char dictionaryHasKey(void *dict, void *key) {
  if (!lookup(dict, Kind::Object) || !storeOf(dict)) return 0;
  Handle *k = lookup(key);
  for (auto &entry : *storeOf(dict))
    if (sameKey(entry.key, k)) return 1;
  return 0;
}

// Count As Integer
Word dictionaryCount(void *dict) {
  if (!lookup(dict, Kind::Object) || !storeOf(dict)) return 0;
  return static_cast<Word>(storeOf(dict)->size());
}

MethodEntry hostMethod(const char *declaration, void *function, void *setter) {
  MethodEntry m;
  auto parsed = parseDeclaration(declaration, nullptr);
  m.function = function;
  m.setter = setter;
  m.info.name = parsed->name;
  m.info.declaration = declaration;
  m.info.params = parsed->params;
  m.info.resultType = parsed->resultType;
  m.info.hasSetter = setter != nullptr;
  return m;
}

PropertyEntry standardProperty(const char *name, const char *type, intptr_t offset) {
  PropertyEntry p;
  p.info.name = name;
  p.info.typeName = type;
  p.info.standardGetter = p.info.standardSetter = true;
  p.info.readable = p.info.writable = true;
  p.info.param = offset;
  p.getter = p.setter = reinterpret_cast<void *>(intptr_t(-1));
  return p;
}

void raiseHostException(const char *cls, const std::string &message) {
  ClassEntry *e = findClassEntry(cls);
  if (!e) return;
  ObjectHandle *o = makeObject(e);
  StringHandle *s = makeString(message, kUTF8);
  setPropertyDirect(o, "Message", Value::adopt(Type::String, s));
  raisePending(o);
  releaseHandle(o);
}

}  // namespace

const char *const kExceptionClasses[] = {
    "RuntimeException",
    "NilObjectException",
    "OutOfMemoryException",
    "OutOfBoundsException",
    "UnsupportedOperationException",
    "IllegalCastException",
    "KeyNotFoundException",
    "TypeMismatchException",
};

void registerHostClasses() {
  for (const char *name : kExceptionClasses) {
    auto e = std::make_unique<ClassEntry>();
    e->info.name = name;
    e->info.dataSize = 2 * sizeof(Word);
    e->info.dataOffset = kObjectDataOffset;
    e->exceptionClass = true;
    e->properties.push_back(standardProperty("Message", "String", 0));
    e->properties.push_back(standardProperty("ErrorNumber", "Integer", sizeof(Word)));
    addHostClass(std::move(e));
  }
  auto d = std::make_unique<ClassEntry>();
  d->info.name = "Dictionary";
  d->info.dataSize = sizeof(Word);
  d->info.dataOffset = kObjectDataOffset;
  d->constructor = dictionaryConstructor;
  d->destructor = dictionaryDestructor;
  d->methods.push_back(hostMethod("Value(key as Variant) as Variant",
                                  reinterpret_cast<void *>(dictionaryGetValue),
                                  reinterpret_cast<void *>(dictionarySetValue)));
  d->methods.push_back(hostMethod("Key(index as Integer) as Variant",
                                  reinterpret_cast<void *>(dictionaryKey), nullptr));
  d->methods.push_back(hostMethod("HasKey(key as Variant) as Boolean",
                                  reinterpret_cast<void *>(dictionaryHasKey), nullptr));
  d->methods.push_back(
      hostMethod("Count as Integer", reinterpret_cast<void *>(dictionaryCount), nullptr));
  addHostClass(std::move(d));
}

std::vector<std::pair<Handle *, Handle *>> dictionaryContents(void *dict) {
  std::vector<std::pair<Handle *, Handle *>> out;
  auto *o = static_cast<ObjectHandle *>(lookup(dict, Kind::Object));
  if (!o || !o->cls || o->cls->info.name != "Dictionary" || !storeOf(o)) return out;
  for (auto &entry : *storeOf(o)) out.emplace_back(entry.key, entry.value);
  return out;
}

}  // namespace xnq::host::detail
