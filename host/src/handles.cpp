// Host handles: creation, the table of live handles, reference counting with accounting, and the
// conversion of string bytes between the platform's text encodings.
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "internal.h"

namespace xnq::host::detail {

namespace {

int64_t &countFor(ReferenceCounts &c, Kind kind) {
  switch (kind) {
    case Kind::String:
      return c.strings;
    case Kind::Object:
      return c.objects;
    case Kind::Block:
      return c.blocks;
    case Kind::Array:
      return c.arrays;
    case Kind::Variant:
      return c.variants;
    case Kind::FolderItem:
      return c.folderItems;
  }
  return c.objects;
}

template <typename H>
H *enter(H *h) {
  Impl &im = impl();
  std::lock_guard lock(im.handleMutex);
  im.live[h] = h;
  countFor(im.counts, h->kind) += 1;
  return h;
}

void freeHandle(Handle *h) {
  switch (h->kind) {
    case Kind::Object:
      destroyObject(static_cast<ObjectHandle *>(h));
      return;
    case Kind::Variant: {
      auto *v = static_cast<VariantHandle *>(h);
      if (v->string) releaseHandle(v->string);
      delete v;
      return;
    }
    case Kind::String:
      delete static_cast<StringHandle *>(h);
      return;
    case Kind::Block:
      delete static_cast<BlockHandle *>(h);
      return;
    case Kind::Array:
      delete static_cast<ArrayHandle *>(h);
      return;
    case Kind::FolderItem:
      delete static_cast<FolderItemHandle *>(h);
      return;
  }
}

const char *iconvName(uint32_t encoding) {
  switch (encoding) {
    case kMacRoman:
      return "MACINTOSH";
    case kUTF16:
      return "UTF-16LE";
    case kISOLatin1:
      return "ISO-8859-1";
    case kWindowsLatin1:
      return "WINDOWS-1252";
    case kASCII:
      return "ASCII";
    case kUTF8:
      return "UTF-8";
    case kUTF32:
      return "UTF-32LE";
    default:
      return nullptr;
  }
}

}  // namespace

StringHandle *makeString(std::string bytes, uint32_t encoding) {
  auto *s = new StringHandle;
  s->text = std::move(bytes);
  s->publish(encoding);
  return enter(s);
}

BlockHandle *makeBlock(size_t size) {
  auto *mem = static_cast<uint8_t *>(std::calloc(size > 0 ? size : 1, 1));
  if (!mem) return nullptr;
  auto *b = new BlockHandle;
  b->storage = mem;
  b->words[6] = static_cast<Word>(size);
  b->words[7] = reinterpret_cast<Word>(mem);
  return enter(b);
}

ArrayHandle *makeArray(ElementType type, intptr_t count) {
  auto *a = new ArrayHandle;
  a->elementType = type;
  a->count = count < 0 ? 0 : count;
  a->storage.assign(static_cast<size_t>(a->count) * a->elementSize(), 0);
  a->publish();
  return enter(a);
}

VariantHandle *makeIntegerVariant(int64_t v) {
  auto *h = new VariantHandle;
  h->contentType = Type::Integer;
  h->integer = v;
  return enter(h);
}

VariantHandle *makeStringVariant(Handle *string) {
  auto *h = new VariantHandle;
  h->contentType = Type::String;
  if (string) {
    retainHandle(string);
    h->string = string;
  }
  return enter(h);
}

FolderItemHandle *makeFolderItem(const std::string &path) {
  auto *f = new FolderItemHandle;
  f->path = path;
  return enter(f);
}

ObjectHandle *makeObject(ClassEntry *cls) {
  size_t size =
      static_cast<size_t>(kObjectDataOffset + (cls->info.dataSize > 0 ? cls->info.dataSize : 0));
  void *mem = ::operator new(size, std::align_val_t(16));
  std::memset(mem, 0, size);
  auto *o = new (mem) ObjectHandle;
  o->cls = cls;
  return enter(o);
}

void destroyObjectMemory(ObjectHandle *o) {
  o->~ObjectHandle();
  ::operator delete(static_cast<void *>(o), std::align_val_t(16));
}

Handle *lookup(const void *p) {
  if (!p) return nullptr;
  Impl &im = impl();
  std::lock_guard lock(im.handleMutex);
  auto it = im.live.find(const_cast<void *>(p));
  return it == im.live.end() ? nullptr : it->second;
}

Handle *lookup(const void *p, Kind kind) {
  Handle *h = lookup(p);
  return h && h->kind == kind ? h : nullptr;
}

void retainHandle(const void *p) {
  if (!p) return;
  Impl &im = impl();
  std::lock_guard lock(im.handleMutex);
  auto it = im.live.find(const_cast<void *>(p));
  if (it == im.live.end()) {
    im.accountingErrors += 1;
    return;
  }
  it->second->refs.fetch_add(1);
  countFor(im.counts, it->second->kind) += 1;
}

void releaseHandle(const void *p) {
  if (!p) return;
  Impl &im = impl();
  Handle *dead = nullptr;
  {
    std::lock_guard lock(im.handleMutex);
    auto it = im.live.find(const_cast<void *>(p));
    if (it == im.live.end()) {
      im.accountingErrors += 1;
      return;
    }
    Handle *h = it->second;
    countFor(im.counts, h->kind) -= 1;
    if (h->refs.fetch_sub(1) == 1) {
      im.live.erase(it);
      dead = h;
    }
  }
  // Outside the lock: an object's destructor calls back into the host.
  if (dead) freeHandle(dead);
}

intptr_t referenceCountOf(const void *p) {
  Impl &im = impl();
  std::lock_guard lock(im.handleMutex);
  auto it = im.live.find(const_cast<void *>(p));
  return it == im.live.end() ? 0 : it->second->refs.load();
}

void noteAccountingError() {
  Impl &im = impl();
  std::lock_guard lock(im.handleMutex);
  im.accountingErrors += 1;
}

void noteError(const std::string &message) {
  Impl &im = impl();
  std::lock_guard lock(im.tableMutex);
  im.errors.push_back(message);
}

Type valueTypeOf(const Handle *h) {
  if (!h) return Type::Nil;
  switch (h->kind) {
    case Kind::String:
      return Type::String;
    case Kind::Block:
      return Type::MemoryBlock;
    case Kind::FolderItem:
      return Type::FolderItem;
    case Kind::Variant:
      return Type::Variant;
    case Kind::Array: {
      auto *a = static_cast<const ArrayHandle *>(h);
      return a->elementType == ElementType::Integer  ? Type::IntegerArray
             : a->elementType == ElementType::Single ? Type::SingleArray
                                                     : Type::DoubleArray;
    }
    case Kind::Object: {
      auto *o = static_cast<const ObjectHandle *>(h);
      return o->cls && o->cls->info.name == "Dictionary" ? Type::Dictionary : Type::Object;
    }
  }
  return Type::Nil;
}

// Strings tagged with the unknown encoding (0xFFFF), or converted to it, keep their bytes
// unchanged: the host has no way to know what they mean, so it doesn't reinterpret them.
std::optional<std::string> convertText(const std::string &bytes, uint32_t from, uint32_t to) {
  if (from == to || from == kUnknown || to == kUnknown) return bytes;
  const char *fromName = iconvName(from);
  const char *toName = iconvName(to);
  if (!fromName || !toName) return std::nullopt;
  if (bytes.empty()) return std::string();
  iconv_t cd = iconv_open(toName, fromName);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(bytes.size() * 4 + 16, '\0');
  char *in = const_cast<char *>(bytes.data());
  size_t inLeft = bytes.size();
  char *dst = out.data();
  size_t outLeft = out.size();
  bool ok = true;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        size_t used = out.size() - outLeft;
        out.resize(out.size() * 2);
        dst = out.data() + used;
        outLeft = out.size() - used;
        continue;
      }
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

std::string utf8Of(const StringHandle *s) {
  if (!s) return std::string();
  auto converted = convertText(s->text, s->encoding(), kUTF8);
  return converted ? *converted : s->text;
}

}  // namespace xnq::host::detail
