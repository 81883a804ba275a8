// Class registration: reads the class definitions a plugin hands over, in the version-9 layout or
// the current one, writes the instance data offset and the event identifiers back into them, and
// keeps what the host needs to create objects and call their members.
#include <cstring>

#include "internal.h"

namespace xnq::host::detail {

namespace {

// Record sizes in host words: the current layout and the version-9 layout.
struct Layout {
  size_t property, method, event, constant;
};
constexpr Layout kCurrentLayout{12, 6, 4, 5};
constexpr Layout kVersion9Layout{10, 4, 2, 3};

// Class definition word numbers (the same in both layouts up to word 24).
enum ClassWord : size_t {
  kVersion = 0,
  kName = 1,
  kDataSize = 3,
  kDataOffset = 4,
  kConstructor = 5,
  kDestructor = 6,
  kProperties = 7,
  kPropertyCount = 8,
  kMethods = 9,
  kMethodCount = 10,
  kEvents = 11,
  kEventCount = 12,
  kConstants = 18,
  kConstantCount = 19,
  kFlags = 20,
  kSharedProperties = 21,
  kSharedPropertyCount = 22,
  kSharedMethods = 23,
  kSharedMethodCount = 24,
};

const char *text(Word w) { return reinterpret_cast<const char *>(w); }

bool readList(const std::string &cls, const char *what, Word list, Word count) {
  if (count < 0 || (count > 0 && list == 0)) {
    noteError("class " + cls + ": " + what + " list is null with count " + std::to_string(count));
    return false;
  }
  return count > 0;
}

void readProperties(ClassEntry &e, Word list, Word count, size_t stride,
                    std::vector<PropertyEntry> &out, const char *what) {
  if (!readList(e.info.name, what, list, count)) return;
  const Word *rec = reinterpret_cast<const Word *>(list);
  for (Word k = 0; k < count; ++k, rec += stride) {
    if (!rec[1] || !rec[2]) {
      noteError("class " + e.info.name + ": property " + std::to_string(k) +
                " has no name or type");
      continue;
    }
    PropertyEntry p;
    p.info.groupIsNull = rec[0] == 0;
    if (rec[0]) p.info.group = text(rec[0]);
    p.info.name = text(rec[1]);
    p.info.typeName = text(rec[2]);
    p.info.flags = rec[3];
    p.getter = reinterpret_cast<void *>(rec[4]);
    p.setter = reinterpret_cast<void *>(rec[5]);
    p.info.param = rec[6];
    p.info.standardGetter = rec[4] == -1;
    p.info.standardSetter = rec[5] == -1;
    p.info.readable = rec[4] != 0;
    p.info.writable = rec[5] != 0;
    out.push_back(std::move(p));
  }
}

void readMethods(ClassEntry &e, Word list, Word count, size_t stride, bool shared,
                 std::vector<MethodEntry> &out) {
  if (!readList(e.info.name, shared ? "shared method" : "method", list, count)) return;
  const Word *rec = reinterpret_cast<const Word *>(list);
  for (Word k = 0; k < count; ++k, rec += stride) {
    if (!rec[2]) {
      noteError("class " + e.info.name + ": method " + std::to_string(k) + " has no declaration");
      continue;
    }
    std::string declaration = text(rec[2]);
    std::string why;
    auto parsed = parseDeclaration(declaration, &why);
    if (!parsed) {
      noteError("class " + e.info.name + ": unparseable declaration \"" + declaration +
                "\": " + why);
      continue;
    }
    if (!rec[0] && !rec[1]) {
      noteError("class " + e.info.name + ": method \"" + declaration + "\" has no routine");
      continue;
    }
    MethodEntry m;
    m.function = reinterpret_cast<void *>(rec[0]);
    m.setter = reinterpret_cast<void *>(rec[1]);
    m.info.name = parsed->name;
    m.info.declaration = declaration;
    m.info.params = parsed->params;
    m.info.resultType = parsed->resultType;
    m.info.flags = rec[3];
    m.info.shared = shared;
    m.info.hasSetter = rec[1] != 0;
    out.push_back(std::move(m));
  }
}

void readEvents(ClassEntry &e, Word list, Word count, size_t stride) {
  if (!readList(e.info.name, "event", list, count)) return;
  Word *rec = reinterpret_cast<Word *>(list);
  Impl &im = impl();
  for (Word k = 0; k < count; ++k, rec += stride) {
    std::string declaration = rec[0] ? text(rec[0]) : "";
    std::string why;
    auto parsed = parseDeclaration(declaration, &why);
    if (!parsed) {
      noteError("class " + e.info.name + ": unparseable event declaration \"" + declaration +
                "\": " + why);
      continue;
    }
    EventInfo ev;
    ev.name = parsed->name;
    ev.declaration = declaration;
    {
      std::lock_guard lock(im.tableMutex);
      ev.identifier = im.nextEventId++;
    }
    rec[1] = ev.identifier;
    e.info.events.push_back(std::move(ev));
  }
}

void readConstants(ClassEntry &e, Word list, Word count, size_t stride) {
  if (!readList(e.info.name, "constant", list, count)) return;
  const Word *rec = reinterpret_cast<const Word *>(list);
  for (Word k = 0; k < count; ++k, rec += stride) {
    std::string declaration = rec[0] ? text(rec[0]) : "";
    size_t eq = declaration.find('=');
    std::string name = declaration.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : declaration.substr(eq + 1);
    auto trim = [](std::string s) {
      size_t a = s.find_first_not_of(" \t");
      size_t b = s.find_last_not_of(" \t");
      return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    name = trim(name);
    size_t as = lower(name).find(" as ");
    if (as != std::string::npos) name = trim(name.substr(0, as));
    if (eq == std::string::npos || name.empty()) {
      noteError("class " + e.info.name + ": unparseable constant \"" + declaration + "\"");
      continue;
    }
    e.info.constants.push_back({declaration, name, trim(value)});
  }
}

void copyInfos(ClassEntry &e) {
  for (auto &m : e.methods) e.info.methods.push_back(m.info);
  for (auto &m : e.sharedMethods) e.info.sharedMethods.push_back(m.info);
  for (auto &p : e.properties) e.info.properties.push_back(p.info);
  for (auto &p : e.sharedProperties) e.info.sharedProperties.push_back(p.info);
  for (auto &m : e.methods) {
    if (caseEqual(m.info.name, "Constructor")) e.info.hasConstructor = true;
    if (caseEqual(m.info.name, "Destructor")) e.info.hasDestructor = true;
  }
  if (e.constructor) e.info.hasConstructor = true;
  if (e.destructor) e.info.hasDestructor = true;
}

}  // namespace

void registerDefinition(const void *definition) {
  if (!definition) {
    noteError("PluginRegisterClass called with a null definition");
    return;
  }
  Word *w = reinterpret_cast<Word *>(const_cast<void *>(definition));
  Word version = w[kVersion];
  if (version != 9 && (version < 10 || version > 13)) {
    noteError("class definition version " + std::to_string(version) + " is not understood");
    return;
  }
  if (!w[kName]) {
    noteError("class definition without a name");
    return;
  }
  auto e = std::make_unique<ClassEntry>();
  e->info.name = text(w[kName]);
  if (findClassEntry(e->info.name)) {
    noteError("class " + e->info.name + " registered twice");
    return;
  }
  const Layout &layout = version == 9 ? kVersion9Layout : kCurrentLayout;
  e->info.layoutVersion = static_cast<int>(version);
  e->info.dataSize = w[kDataSize] < 0 ? 0 : w[kDataSize];
  e->info.flags = w[kFlags];
  e->info.definition = definition;
  e->constructor = reinterpret_cast<void (*)(void *)>(w[kConstructor]);
  e->destructor = reinterpret_cast<void (*)(void *)>(w[kDestructor]);
  w[kDataOffset] = kObjectDataOffset;
  e->info.dataOffset = kObjectDataOffset;
  readProperties(*e, w[kProperties], w[kPropertyCount], layout.property, e->properties, "property");
  readMethods(*e, w[kMethods], w[kMethodCount], layout.method, false, e->methods);
  readEvents(*e, w[kEvents], w[kEventCount], layout.event);
  readConstants(*e, w[kConstants], w[kConstantCount], layout.constant);
  readProperties(*e, w[kSharedProperties], w[kSharedPropertyCount], layout.property,
                 e->sharedProperties, "shared property");
  readMethods(*e, w[kSharedMethods], w[kSharedMethodCount], layout.method, true, e->sharedMethods);
  copyInfos(*e);
  Impl &im = impl();
  std::lock_guard lock(im.tableMutex);
  im.classes.push_back(std::move(e));
}

ClassEntry *findClassEntry(const std::string &name) {
  Impl &im = impl();
  std::lock_guard lock(im.tableMutex);
  for (auto &c : im.classes)
    if (caseEqual(c->info.name, name)) return c.get();
  return nullptr;
}

ClassEntry *classOf(const void *object) {
  auto *o = static_cast<ObjectHandle *>(lookup(object, Kind::Object));
  return o ? o->cls : nullptr;
}

const PropertyEntry *findProperty(const ClassEntry *cls, const std::string &name) {
  if (!cls) return nullptr;
  for (auto &p : cls->properties)
    if (caseEqual(p.info.name, name)) return &p;
  return nullptr;
}

// Host classes are described with the same entries as plugin classes so that objects, properties
// and calls work the same way for both.
void addHostClass(std::unique_ptr<ClassEntry> e) {
  e->hostClass = true;
  copyInfos(*e);
  Impl &im = impl();
  std::lock_guard lock(im.tableMutex);
  im.classes.push_back(std::move(e));
}

}  // namespace xnq::host::detail
