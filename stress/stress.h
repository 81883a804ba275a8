// What the stress program's cases share: the host, the worker record the watchdog reads, and a
// few short ways to call members by name.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "xnq/host.h"

namespace stress {

using xnq::host::Runtime;
using xnq::host::Value;

// The host runs one of its threads at a time: a thread that calls into the plugin holds the
// host's turn until it yields (a pause here, or the plugin's REALYieldToRB while it waits for a
// worker), as the BASIC runtime's cooperative threads do. Only the threads the plugin and the
// platform start themselves (IO, render, load workers, notifications) run beside it.
// A worker holds the turn from the start of its body to its end except inside pause() and
// while an OffTurn is alive.
class OffTurn {
 public:
  OffTurn();
  ~OffTurn();
  OffTurn(const OffTurn &) = delete;
  OffTurn &operator=(const OffTurn &) = delete;

 private:
  bool gave_;
};

// One worker thread of a case. The thread writes what it is about to do; the watchdog reads it
// to name the call that hangs.
struct Worker {
  std::atomic<const char *> doing{"starting"};
  std::atomic<uint64_t> steps{0};
  uint32_t seed = 1;

  void step(const char *what) {
    doing.store(what, std::memory_order_relaxed);
    steps.fetch_add(1, std::memory_order_relaxed);
  }
  // A number in [0, n), different on every thread and every run.
  uint32_t pick(uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  }
  // Gives up the host's turn for up to ms milliseconds (sometimes only a moment), so that the
  // host threads' calls interleave in varied orders.
  void pause(uint32_t ms);
};

// Whether the current round goes on: a worker's loop ends when it turns false.
bool running();

// A case: the threads it races, the shared objects it sets up on the main thread before a round
// and drops after it (nothing may be left referenced then).
struct Case {
  const char *name;
  const char *what;
  int threads;
  std::function<void()> setUp;
  std::function<void(Worker &, int index)> body;
  std::function<void()> tearDown;
};
std::vector<Case> cases();

// Calls by name; exceptions raised by a call are answers, not faults, and are dropped.
inline Value call(const Value &obj, const char *method, std::vector<Value> args = {}) {
  return Runtime::get().call(obj, method, args).value;
}
inline Value get(const Value &obj, const char *property) {
  return Runtime::get().get(obj, property).value;
}
inline void set(const Value &obj, const char *property, const Value &v) {
  Runtime::get().set(obj, property, v);
}
inline Value integer(int64_t v) { return Value::integer(v); }

}  // namespace stress
