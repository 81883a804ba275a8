// Opaque references for the audio services' objects (converters, audio files). A reference
// encodes a slot and a generation, so a disposed or made-up reference is recognised without a
// lock and without touching freed memory, also on render threads; null and references the table
// never gave out find nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace xnq::conv {

template <class T>
class HandleTable {
 public:
  static constexpr uintptr_t kSlots = 4096;

  // Host thread. Takes ownership; null (and object deleted) when every slot is taken.
  template <class Ref>
  Ref add(std::unique_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uintptr_t i = 0; i < kSlots; ++i) {
      Slot &slot = slots_[i];
      if (slot.handle.load(std::memory_order_relaxed) != 0) continue;
      generation_ = generation_ + 1 == kGenerationLimit ? 1 : generation_ + 1;
      const uintptr_t handle = generation_ * kSlots + i;
      slot.object = object.release();
      slot.handle.store(handle, std::memory_order_release);
      return reinterpret_cast<Ref>(handle);
    }
    return nullptr;
  }

  // Any thread, lock-free: the object a live reference names, else null.
  template <class Ref>
  T *find(Ref ref) const {
    const auto handle = reinterpret_cast<uintptr_t>(ref);
    const Slot &slot = slots_[handle % kSlots];
    if (handle == 0 || slot.handle.load(std::memory_order_acquire) != handle) return nullptr;
    return slot.object;
  }

  // Host thread. Hands the object back to be deleted; null when the reference is not live.
  // Disposing an object while another thread still uses it is the caller's fault, as on the
  // platform.
  template <class Ref>
  std::unique_ptr<T> remove(Ref ref) {
    const auto handle = reinterpret_cast<uintptr_t>(ref);
    std::lock_guard<std::mutex> lock(mutex_);
    Slot &slot = slots_[handle % kSlots];
    if (handle == 0 || slot.handle.load(std::memory_order_relaxed) != handle) return nullptr;
    slot.handle.store(0, std::memory_order_release);
    std::unique_ptr<T> object(slot.object);
    slot.object = nullptr;
    return object;
  }

 private:
  // Generations start at 1, so a reference is never below kSlots and never null.
  static constexpr uintptr_t kGenerationLimit = UINTPTR_MAX / kSlots;

  struct Slot {
    // Written under the mutex by add and remove; read by any thread to check a reference.
    std::atomic<uintptr_t> handle{0};
    // Written under the mutex before handle is published; read after handle is checked.
    T *object = nullptr;
  };

  std::mutex mutex_;
  uintptr_t generation_ = 0;
  Slot slots_[kSlots];
};

}  // namespace xnq::conv
