// Calls into plugin code through libffi: the arguments of a declaration in the C representation
// of their types, defaults taken from the declaration text, byref arguments written back, the
// overload chosen from the arguments, standard accessors served from the instance data, and the
// exception a routine raised reported after it returns.
#include <ffi.h>

#include <cstring>

#include "internal.h"

namespace xnq::host::detail {

namespace {

union Slot {
  Word w;
  int8_t i8;
  uint8_t u8;
  int16_t i16;
  uint16_t u16;
  int32_t i32;
  uint32_t u32;
  int64_t i64;
  uint64_t u64;
  float f;
  double d;
  unsigned char b;
  void *p;
};

union Returned {
  ffi_arg a;
  ffi_sarg s;
  int64_t i64;
  uint64_t u64;
  float f;
  double d;
  void *p;
};

ffi_type *ffiTypeOf(CType t) {
  switch (t) {
    case CType::Void:
      return &ffi_type_void;
    case CType::Word:
      return sizeof(Word) == 4 ? &ffi_type_sint32 : &ffi_type_sint64;
    case CType::Int8:
      return &ffi_type_sint8;
    case CType::UInt8:
    case CType::Boolean:
      return &ffi_type_uint8;
    case CType::Int16:
      return &ffi_type_sint16;
    case CType::UInt16:
      return &ffi_type_uint16;
    case CType::Int32:
      return &ffi_type_sint32;
    case CType::UInt32:
      return &ffi_type_uint32;
    case CType::Int64:
      return &ffi_type_sint64;
    case CType::UInt64:
      return &ffi_type_uint64;
    case CType::Single:
      return &ffi_type_float;
    case CType::Double:
      return &ffi_type_double;
    case CType::Handle:
      return &ffi_type_pointer;
  }
  return &ffi_type_void;
}

bool isIntegral(CType t) {
  return t == CType::Word || t == CType::Int8 || t == CType::UInt8 || t == CType::Int16 ||
         t == CType::UInt16 || t == CType::Int32 || t == CType::UInt32 || t == CType::Int64 ||
         t == CType::UInt64;
}

bool isIntegerValue(Type t) {
  return t == Type::Integer || t == Type::Int32 || t == Type::UInt32 || t == Type::Int64 ||
         t == Type::UInt64;
}

bool isHandleValue(Type t) {
  return t != Type::Nil && !isIntegerValue(t) && t != Type::Single && t != Type::Double &&
         t != Type::Boolean;
}

size_t fieldSize(CType t) {
  switch (t) {
    case CType::Int8:
    case CType::UInt8:
    case CType::Boolean:
      return 1;
    case CType::Int16:
    case CType::UInt16:
      return 2;
    case CType::Int32:
    case CType::UInt32:
    case CType::Single:
      return 4;
    case CType::Int64:
    case CType::UInt64:
    case CType::Double:
      return 8;
    default:
      return sizeof(Word);
  }
}

void storeScalar(CType t, const Value &v, Slot &s) {
  std::memset(&s, 0, sizeof s);
  bool fromFloat = v.type() == Type::Single || v.type() == Type::Double;
  int64_t i = fromFloat ? static_cast<int64_t>(v.asDouble()) : v.asInteger();
  switch (t) {
    case CType::Word:
      s.w = static_cast<Word>(i);
      break;
    case CType::Int8:
      s.i8 = static_cast<int8_t>(i);
      break;
    case CType::UInt8:
      s.u8 = static_cast<uint8_t>(i);
      break;
    case CType::Int16:
      s.i16 = static_cast<int16_t>(i);
      break;
    case CType::UInt16:
      s.u16 = static_cast<uint16_t>(i);
      break;
    case CType::Int32:
      s.i32 = static_cast<int32_t>(i);
      break;
    case CType::UInt32:
      s.u32 = static_cast<uint32_t>(i);
      break;
    case CType::Int64:
      s.i64 = i;
      break;
    case CType::UInt64:
      s.u64 = fromFloat ? static_cast<uint64_t>(v.asDouble()) : v.asUInt64();
      break;
    case CType::Single:
      s.f = v.asSingle();
      break;
    case CType::Double:
      s.d = v.asDouble();
      break;
    case CType::Boolean:
      s.b = v.asBool() ? 1 : 0;
      break;
    default:
      break;
  }
}

Value scalarValue(CType t, const void *p) {
  Slot s;
  std::memcpy(&s, p, fieldSize(t));
  switch (t) {
    case CType::Word:
      return Value::integer(s.w);
    case CType::Int8:
      return Value::integer(s.i8);
    case CType::UInt8:
      return Value::integer(s.u8);
    case CType::Int16:
      return Value::integer(s.i16);
    case CType::UInt16:
      return Value::integer(s.u16);
    case CType::Int32:
      return Value::int32(s.i32);
    case CType::UInt32:
      return Value::uint32(s.u32);
    case CType::Int64:
      return Value::int64(s.i64);
    case CType::UInt64:
      return Value::uint64(s.u64);
    case CType::Single:
      return Value::single(s.f);
    case CType::Double:
      return Value::dbl(s.d);
    case CType::Boolean:
      return Value::boolean(s.b != 0);
    default:
      return Value::nil();
  }
}

Value returnedValue(CType t, const Returned &r) {
  Slot s;
  std::memset(&s, 0, sizeof s);
  switch (t) {
    case CType::Word:
      s.w = static_cast<Word>(r.s);
      break;
    case CType::Int8:
      s.i8 = static_cast<int8_t>(r.s);
      break;
    case CType::Int16:
      s.i16 = static_cast<int16_t>(r.s);
      break;
    case CType::Int32:
      s.i32 = static_cast<int32_t>(r.s);
      break;
    case CType::UInt8:
    case CType::Boolean:
      s.u8 = static_cast<uint8_t>(r.a);
      break;
    case CType::UInt16:
      s.u16 = static_cast<uint16_t>(r.a);
      break;
    case CType::UInt32:
      s.u32 = static_cast<uint32_t>(r.a);
      break;
    case CType::Int64:
      s.i64 = r.i64;
      break;
    case CType::UInt64:
      s.u64 = r.u64;
      break;
    case CType::Single:
      s.f = r.f;
      break;
    case CType::Double:
      s.d = r.d;
      break;
    default:
      break;
  }
  return scalarValue(t, &s);
}

// A returned handle carries one reference, which the Value adopts. A pointer that is no live
// host handle is a fault of the routine: counted, and the result is nil.
Value adoptReturned(const TypeDesc &t, void *p, const std::string &what) {
  if (!p) return Value::adopt(t.valueType, nullptr);
  Handle *h = lookup(p);
  if (!h) {
    noteAccountingError();
    noteError(what + " returned a pointer that is no host value");
    return Value::nil();
  }
  return Value::adopt(valueTypeOf(h), p);
}

// How well a value fits a parameter: -1 not at all, higher is better.
int fit(const ParamInfo &p, const Value &v) {
  TypeDesc t = describeType(p.typeName);
  if (p.byRef && t.ctype == CType::Handle) return v.isNil() || isHandleValue(v.type()) ? 1 : -1;
  if (t.ctype == CType::Boolean) return v.type() == Type::Boolean ? 3 : -1;
  if (isIntegral(t.ctype)) {
    if (isIntegerValue(v.type())) return v.type() == t.valueType ? 3 : 2;
    if (v.type() == Type::Single || v.type() == Type::Double) return 1;
    return -1;
  }
  if (t.ctype == CType::Single || t.ctype == CType::Double) {
    if (v.type() == Type::Single || v.type() == Type::Double)
      return v.type() == t.valueType ? 3 : 2;
    return isIntegerValue(v.type()) ? 1 : -1;
  }
  // Handles.
  if (v.isNil()) return 2;
  if (t.valueType == Type::Variant) return v.type() == Type::Variant ? 3 : 1;
  if (t.valueType == Type::Object) {
    if (v.type() != Type::Object && v.type() != Type::Dictionary) return 1;
    ClassEntry *c = classOf(v.handle());
    return c && caseEqual(c->info.name, p.typeName) ? 3 : 2;
  }
  return v.type() == t.valueType ? 3 : -1;
}

std::optional<Value> defaultValue(const ParamInfo &p, std::string *why) {
  const std::string text = *p.defaultText;
  std::string l = lower(text);
  TypeDesc t = describeType(p.typeName);
  if (l == "nil") return Value::nil();
  if (l == "true" || l == "false") return Value::boolean(l == "true");
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    if (t.valueType != Type::String && t.valueType != Type::Variant) {
      *why = "string default for a " + p.typeName + " parameter";
      return std::nullopt;
    }
    return Runtime::get().newString(text.substr(1, text.size() - 2), kUTF8);
  }
  try {
    size_t used = 0;
    if (l.rfind("&h", 0) == 0) {
      int64_t v = static_cast<int64_t>(std::stoull(text.substr(2), &used, 16));
      return Value::integer(v);
    }
    if (l.find_first_of(".e") != std::string::npos) {
      double d = std::stod(text, &used);
      if (used == text.size()) return Value::dbl(d);
    } else {
      int64_t v = std::stoll(text, &used, 10);
      if (used == text.size()) return Value::integer(v);
    }
  } catch (...) {
  }
  *why = "default value \"" + text + "\" of parameter " + p.name + " is not understood";
  return std::nullopt;
}

Returned ffiCall(void *fn, CType result, std::vector<ffi_type *> &types,
                 std::vector<void *> &values, bool *ok) {
  Returned r;
  std::memset(&r, 0, sizeof r);
  ffi_cif cif;
  if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(types.size()), ffiTypeOf(result),
                   types.data()) != FFI_OK) {
    *ok = false;
    return r;
  }
  ffi_call(&cif, FFI_FN(fn), &r, values.data());
  *ok = true;
  return r;
}

thread_local void *tPending = nullptr;

CallResult withPending(CallResult r) {
  r.exception = takePending();
  return r;
}

}  // namespace

namespace {
thread_local int tCallDepth = 0;
}

PendingScope::PendingScope() : saved_(tPending) {
  tPending = nullptr;
  if (tCallDepth++ == 0 && saved_) {
    releaseHandle(saved_);
    saved_ = nullptr;
  }
}

PendingScope::~PendingScope() {
  --tCallDepth;
  void *leftover = tPending;
  tPending = saved_;
  if (leftover) releaseHandle(leftover);
}

CallResult hostError(const std::string &message) {
  CallResult r;
  r.exception = RaisedException{"HostError", message, 0};
  return r;
}

void raisePending(void *exception) {
  if (!lookup(exception)) {
    noteAccountingError();
    return;
  }
  retainHandle(exception);
  void *old = tPending;
  tPending = exception;
  if (old) releaseHandle(old);
}

std::optional<RaisedException> takePending() {
  void *p = tPending;
  if (!p) return std::nullopt;
  tPending = nullptr;
  RaisedException e;
  auto *o = static_cast<ObjectHandle *>(lookup(p, Kind::Object));
  if (o && o->cls) {
    e.className = o->cls->info.name;
    if (const PropertyEntry *m = findProperty(o->cls, "Message")) {
      CallResult message = getProperty(o, *m);
      e.message = message.value.utf8();
    }
    if (const PropertyEntry *n = findProperty(o->cls, "ErrorNumber")) {
      e.errorNumber = getProperty(o, *n).value.asInteger();
    }
  }
  releaseHandle(p);
  return e;
}

const MethodEntry *chooseOverload(const std::vector<MethodEntry> &methods, const std::string &name,
                                  const std::vector<Value> &args, bool assigning,
                                  std::string *why) {
  const MethodEntry *best = nullptr;
  int bestScore = -1;
  bool named = false;
  for (const MethodEntry &m : methods) {
    if (!caseEqual(m.info.name, name)) continue;
    named = true;
    const auto &ps = m.info.params;
    bool hasAssigns = !ps.empty() && ps.back().assigns;
    if (assigning ? !(hasAssigns || m.setter) : (hasAssigns || !m.function)) continue;
    size_t n = ps.size() - (hasAssigns ? 1 : 0);
    size_t required = 0;
    for (size_t k = 0; k < n; ++k)
      if (!ps[k].defaultText) required = k + 1;
    if (args.size() > n || args.size() < required) continue;
    int score = 0;
    for (size_t k = 0; k < args.size() && score >= 0; ++k) {
      int f = fit(ps[k], args[k]);
      score = f < 0 ? -1 : score + f;
    }
    if (score > bestScore) {
      bestScore = score;
      best = &m;
    }
  }
  if (!best && why)
    *why = named ? "no " + name + " accepts these arguments" : "no member named " + name;
  return best;
}

CallResult invokeMethod(const MethodEntry &m, void *object, std::vector<Value> &args,
                        const Value *assignValue) {
  const auto &ps = m.info.params;
  bool hasAssigns = !ps.empty() && ps.back().assigns;
  size_t n = ps.size() - (hasAssigns ? 1 : 0);
  void *routine = assignValue && !hasAssigns ? m.setter : m.function;
  std::vector<ffi_type *> types;
  std::vector<void *> values;
  // Every slot is reserved up front: the value pointers handed to libffi must stay valid.
  std::vector<Slot> slots(n + 3);
  std::vector<Slot> byRefStorage(n + 1);
  std::vector<Value> temps;  // defaults and wrapped variants, released after the call
  size_t used = 0;
  if (!m.info.shared) {
    slots[used].p = object;
    types.push_back(&ffi_type_pointer);
    values.push_back(&slots[used++]);
  }
  auto pass = [&](const ParamInfo &p, const Value &v, size_t k) -> std::optional<std::string> {
    TypeDesc t = describeType(p.typeName);
    Slot &s = slots[used++];
    if (p.byRef) {
      Slot &storage = byRefStorage[k];
      if (t.ctype == CType::Handle)
        storage.p = v.handle();
      else
        storeScalar(t.ctype, v, storage);
      s.p = &storage;
      types.push_back(&ffi_type_pointer);
    } else if (t.ctype == CType::Handle) {
      if (fit(p, v) < 0) return "argument " + p.name + " is not a " + p.typeName;
      if (t.valueType == Type::Variant && !v.isNil() && v.type() != Type::Variant) {
        temps.push_back(Runtime::get().newVariant(v));
        s.p = temps.back().handle();
      } else {
        s.p = v.handle();
      }
      types.push_back(&ffi_type_pointer);
    } else {
      if (fit(p, v) < 0) return "argument " + p.name + " is not a " + p.typeName;
      storeScalar(t.ctype, v, s);
      types.push_back(ffiTypeOf(t.ctype));
    }
    values.push_back(&s);
    return std::nullopt;
  };
  for (size_t k = 0; k < n; ++k) {
    std::optional<std::string> failure;
    if (k < args.size()) {
      failure = pass(ps[k], args[k], k);
    } else if (ps[k].defaultText) {
      std::string why;
      auto d = defaultValue(ps[k], &why);
      if (!d) return hostError(m.info.declaration + ": " + why);
      temps.push_back(*d);
      failure = pass(ps[k], temps.back(), k);
    } else {
      return hostError(m.info.declaration + ": missing argument " + ps[k].name);
    }
    if (failure) return hostError(m.info.declaration + ": " + *failure);
  }
  if (assignValue) {
    ParamInfo valueParam;
    if (hasAssigns) {
      valueParam = ps.back();
    } else {
      valueParam.name = "value";
      valueParam.typeName = m.info.resultType;
    }
    valueParam.byRef = false;
    if (auto failure = pass(valueParam, *assignValue, n))
      return hostError(m.info.declaration + ": " + *failure);
  }
  if (!routine) return hostError(m.info.declaration + ": no routine to call");
  TypeDesc result = assignValue ? TypeDesc{} : describeType(m.info.resultType);
  bool ok = false;
  Returned r = ffiCall(routine, result.ctype, types, values, &ok);
  if (!ok) return hostError(m.info.declaration + ": libffi could not prepare the call");
  for (size_t k = 0; k < n && k < args.size(); ++k) {
    if (!ps[k].byRef) continue;
    TypeDesc t = describeType(ps[k].typeName);
    if (t.ctype == CType::Handle) {
      // A byref handle written by the routine carries a reference for the caller.
      void *p = byRefStorage[k].p;
      if (p != args[k].handle()) args[k] = adoptReturned(t, p, m.info.declaration);
    } else {
      args[k] = scalarValue(t.ctype, &byRefStorage[k]);
    }
  }
  CallResult out;
  if (result.ctype == CType::Handle)
    out.value = adoptReturned(result, r.p, m.info.declaration);
  else if (result.ctype != CType::Void)
    out.value = returnedValue(result.ctype, r);
  return withPending(std::move(out));
}

namespace {

std::optional<std::string> fieldRange(ObjectHandle *o, const PropertyEntry &p, CType t) {
  intptr_t size = o->cls ? o->cls->info.dataSize : 0;
  if (p.info.param < 0 || p.info.param + static_cast<intptr_t>(fieldSize(t)) > size)
    return "property " + p.info.name + " lies outside the instance data (offset " +
           std::to_string(p.info.param) + ", size " + std::to_string(size) + ")";
  return std::nullopt;
}

}  // namespace

CallResult getProperty(ObjectHandle *o, const PropertyEntry &p) {
  TypeDesc t = describeType(p.info.typeName);
  if (!p.info.readable) return hostError("property " + p.info.name + " can't be read");
  if (p.info.standardGetter) {
    if (auto bad = fieldRange(o, p, t.ctype)) return hostError(*bad);
    char *field = static_cast<char *>(objectData(o)) + p.info.param;
    CallResult r;
    if (t.ctype == CType::Handle) {
      void *h;
      std::memcpy(&h, field, sizeof h);
      if (h && !lookup(h)) {
        noteAccountingError();
        return hostError("property " + p.info.name + " holds a pointer that is no host value");
      }
      r.value = h ? Value::retain(valueTypeOf(lookup(h)), h) : Value::adopt(t.valueType, nullptr);
    } else {
      r.value = scalarValue(t.ctype, field);
    }
    return r;
  }
  std::vector<ffi_type *> types{&ffi_type_pointer, ffiTypeOf(CType::Word)};
  Slot obj, param;
  obj.p = o;
  param.w = p.info.param;
  std::vector<void *> values{&obj, &param};
  bool ok = false;
  Returned r = ffiCall(p.getter, t.ctype, types, values, &ok);
  CallResult out;
  if (t.ctype == CType::Handle)
    out.value = adoptReturned(t, r.p, "getter of " + p.info.name);
  else
    out.value = returnedValue(t.ctype, r);
  return out;
}

CallResult setProperty(ObjectHandle *o, const PropertyEntry &p, const Value &v) {
  TypeDesc t = describeType(p.info.typeName);
  if (!p.info.writable) return hostError("property " + p.info.name + " is read-only");
  ParamInfo asParam;
  asParam.name = p.info.name;
  asParam.typeName = p.info.typeName;
  if (fit(asParam, v) < 0)
    return hostError("value for " + p.info.name + " is not a " + p.info.typeName);
  Value stored = v;
  if (t.valueType == Type::Variant && !v.isNil() && v.type() != Type::Variant)
    stored = Runtime::get().newVariant(v);
  if (p.info.standardSetter) {
    if (auto bad = fieldRange(o, p, t.ctype)) return hostError(*bad);
    char *field = static_cast<char *>(objectData(o)) + p.info.param;
    if (t.ctype == CType::Handle) {
      void *old;
      std::memcpy(&old, field, sizeof old);
      void *h = stored.handle();
      retainHandle(h);
      std::memcpy(field, &h, sizeof h);
      if (old) releaseHandle(old);
    } else {
      Slot s;
      storeScalar(t.ctype, stored, s);
      std::memcpy(field, &s, fieldSize(t.ctype));
    }
    return CallResult{};
  }
  Slot obj, param, value;
  obj.p = o;
  param.w = p.info.param;
  if (t.ctype == CType::Handle)
    value.p = stored.handle();
  else
    storeScalar(t.ctype, stored, value);
  std::vector<ffi_type *> types{&ffi_type_pointer, ffiTypeOf(CType::Word), ffiTypeOf(t.ctype)};
  std::vector<void *> values{&obj, &param, &value};
  bool ok = false;
  ffiCall(p.setter, CType::Void, types, values, &ok);
  return CallResult{};
}

bool setPropertyDirect(ObjectHandle *o, const std::string &name, const Value &v) {
  if (!o) return false;
  const PropertyEntry *p = findProperty(o->cls, name);
  if (!p) return false;
  return !setProperty(o, *p, v).raised();
}

}  // namespace xnq::host::detail
