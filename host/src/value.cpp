// Host values as a program holds them: numbers by value, handles with one reference each.
#include <cstring>

#include "internal.h"

namespace xnq::host {

using namespace detail;

namespace {

bool isHandleType(Type t) {
  switch (t) {
    case Type::String:
    case Type::MemoryBlock:
    case Type::FolderItem:
    case Type::Dictionary:
    case Type::Variant:
    case Type::Object:
    case Type::IntegerArray:
    case Type::SingleArray:
    case Type::DoubleArray:
      return true;
    default:
      return false;
  }
}

// A variant's content as a plain Value (Integer or String); other values unchanged.
Value contentOf(const Value &v) {
  if (v.type() != Type::Variant) return v;
  auto *h = static_cast<VariantHandle *>(lookup(v.handle(), Kind::Variant));
  if (!h) return Value::nil();
  if (h->contentType == Type::Integer) return Value::integer(h->integer);
  return Value::retain(Type::String, h->string);
}

}  // namespace

Value::Value() = default;

Value::Value(const Value &o) : type_(o.type_), num_(o.num_), handle_(o.handle_) {
  if (handle_) retainHandle(handle_);
}

Value::Value(Value &&o) noexcept : type_(o.type_), num_(o.num_), handle_(o.handle_) {
  o.handle_ = nullptr;
  o.type_ = Type::Nil;
}

Value &Value::operator=(const Value &o) {
  if (this != &o) {
    if (o.handle_) retainHandle(o.handle_);
    void *old = handle_;
    type_ = o.type_;
    num_ = o.num_;
    handle_ = o.handle_;
    if (old) releaseHandle(old);
  }
  return *this;
}

Value &Value::operator=(Value &&o) noexcept {
  if (this != &o) {
    void *old = handle_;
    type_ = o.type_;
    num_ = o.num_;
    handle_ = o.handle_;
    o.handle_ = nullptr;
    o.type_ = Type::Nil;
    if (old) releaseHandle(old);
  }
  return *this;
}

Value::~Value() {
  if (handle_) releaseHandle(handle_);
}

Value Value::nil() { return Value(); }

Value Value::integer(int64_t v) {
  Value r;
  r.type_ = Type::Integer;
  r.num_.i = static_cast<int64_t>(static_cast<intptr_t>(v));
  return r;
}

Value Value::int32(int32_t v) {
  Value r;
  r.type_ = Type::Int32;
  r.num_.i = v;
  return r;
}

Value Value::uint32(uint32_t v) {
  Value r;
  r.type_ = Type::UInt32;
  r.num_.i = v;
  return r;
}

Value Value::int64(int64_t v) {
  Value r;
  r.type_ = Type::Int64;
  r.num_.i = v;
  return r;
}

Value Value::uint64(uint64_t v) {
  Value r;
  r.type_ = Type::UInt64;
  r.num_.u = v;
  return r;
}

Value Value::single(float v) {
  Value r;
  r.type_ = Type::Single;
  r.num_.d = v;
  return r;
}

Value Value::dbl(double v) {
  Value r;
  r.type_ = Type::Double;
  r.num_.d = v;
  return r;
}

Value Value::boolean(bool v) {
  Value r;
  r.type_ = Type::Boolean;
  r.num_.i = v ? 1 : 0;
  return r;
}

Value Value::adopt(Type type, void *handle) {
  Value r;
  r.type_ = isHandleType(type) ? type : Type::Nil;
  r.handle_ = r.type_ == Type::Nil ? nullptr : handle;
  return r;
}

Value Value::retain(Type type, void *handle) {
  if (handle && isHandleType(type)) retainHandle(handle);
  return adopt(type, handle);
}

bool Value::isNil() const { return type_ == Type::Nil || (isHandleType(type_) && !handle_); }

int64_t Value::asInteger() const {
  switch (type_) {
    case Type::Integer:
    case Type::Int32:
    case Type::UInt32:
    case Type::Int64:
    case Type::Boolean:
      return num_.i;
    case Type::UInt64:
      return static_cast<int64_t>(num_.u);
    case Type::Single:
    case Type::Double:
      return static_cast<int64_t>(num_.d);
    case Type::Variant:
      return contentOf(*this).asInteger();
    default:
      return 0;
  }
}

uint64_t Value::asUInt64() const {
  if (type_ == Type::UInt64) return num_.u;
  return static_cast<uint64_t>(asInteger());
}

double Value::asDouble() const {
  if (type_ == Type::Single || type_ == Type::Double) return num_.d;
  if (type_ == Type::UInt64) return static_cast<double>(num_.u);
  return static_cast<double>(asInteger());
}

float Value::asSingle() const { return static_cast<float>(asDouble()); }

bool Value::asBool() const { return asInteger() != 0; }

std::string Value::bytes() const {
  if (type_ == Type::Variant) return contentOf(*this).bytes();
  auto *s = static_cast<StringHandle *>(lookup(handle_, Kind::String));
  return s ? s->text : std::string();
}

uint32_t Value::encoding() const {
  if (type_ == Type::Variant) return contentOf(*this).encoding();
  auto *s = static_cast<StringHandle *>(lookup(handle_, Kind::String));
  return s ? s->encoding() : kUnknown;
}

std::string Value::utf8() const {
  if (type_ == Type::Variant) {
    Value c = contentOf(*this);
    return c.type() == Type::String ? c.utf8() : std::to_string(c.asInteger());
  }
  return utf8Of(static_cast<StringHandle *>(lookup(handle_, Kind::String)));
}

uint8_t *Value::data() const {
  auto *b = static_cast<BlockHandle *>(lookup(handle_, Kind::Block));
  return b ? reinterpret_cast<uint8_t *>(b->words[7]) : nullptr;
}

int64_t Value::size() const {
  auto *b = static_cast<BlockHandle *>(lookup(handle_, Kind::Block));
  return b ? b->words[6] : 0;
}

std::string Value::path() const {
  auto *f = static_cast<FolderItemHandle *>(lookup(handle_, Kind::FolderItem));
  return f ? f->path : std::string();
}

}  // namespace xnq::host
