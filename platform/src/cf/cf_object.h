// The reference-counted base of every CoreFoundation object this platform hands out.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/cf.h"

namespace xnq::cf {

enum class TypeTag : uint32_t { kString = 0x53545221u, kURL = 0x55524c21u };

class Object {
 public:
  explicit Object(TypeTag tag) : tag_(tag) {}
  virtual ~Object() = default;
  Object(const Object &) = delete;
  Object &operator=(const Object &) = delete;

  TypeTag tag() const { return tag_; }
  void retain() { count_.fetch_add(1, std::memory_order_relaxed); }
  // Returns true when this call gave back the last reference.
  bool release() { return count_.fetch_sub(1, std::memory_order_acq_rel) == 1; }
  long count() const { return count_.load(std::memory_order_relaxed); }

 private:
  TypeTag tag_;
  std::atomic<long> count_{1};
};

// The object behind a reference when it carries the expected tag; null otherwise.
template <typename T>
const T *as(CFTypeRef ref) {
  if (ref == nullptr) return nullptr;
  auto *object = static_cast<const Object *>(ref);
  return object->tag() == T::kTag ? static_cast<const T *>(object) : nullptr;
}

}  // namespace xnq::cf
