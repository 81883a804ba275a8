// xnq_stress: races each class's host calls from several threads against the audio threads of
// free-running devices, for as long as asked. Cases run in rounds of a fraction of a second, in
// turn, until the time is up. A watchdog ends the program when no worker makes progress for a
// while (a hang: it names the call each worker is in); after every round the host's reference
// accounting must balance. Sanitizer builds report races and memory faults themselves.
//   xnq_stress [SECONDS] [CASE...]     (default 10 s, every case; --list names the cases)
// Exit status: 0 clean, 1 accounting off, 2 bad arguments or no plugin, 3 a hang.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/audio_devices.h"
#include "stress.h"

namespace stress {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> gRunning{false};

// The host's turn (see OffTurn): held by the thread running host code.
std::mutex gTurn;
thread_local bool tHoldsTurn = false;

void TakeTurn() {
  gTurn.lock();
  tHoldsTurn = true;
}
void GiveTurn() {
  tHoldsTurn = false;
  gTurn.unlock();
}

// REALYieldToRB: the waiting host thread lets the others run.
void YieldTurn() {
  if (!tHoldsTurn) return;
  GiveTurn();
  std::this_thread::yield();
  TakeTurn();
}

// What the watchdog watches: the case of the round in progress and its workers.
struct Round {
  std::mutex lock;
  const char *name = nullptr;
  std::vector<Worker> *workers = nullptr;
} gRound;

uint64_t TotalSteps(const std::vector<Worker> &workers) {
  uint64_t n = 0;
  for (const Worker &w : workers) n += w.steps.load(std::memory_order_relaxed);
  return n;
}

// A round whose workers all stand still this long is hung; sanitizer builds run calls many
// times slower, and a stop may wait for a device cycle.
constexpr int kHangSeconds = 60;

void Watchdog() {
  const char *lastName = nullptr;
  uint64_t lastSteps = 0;
  int still = 0;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::lock_guard<std::mutex> hold(gRound.lock);
    if (gRound.workers == nullptr) {
      still = 0;
      continue;
    }
    const uint64_t steps = TotalSteps(*gRound.workers);
    still = gRound.name == lastName && steps == lastSteps ? still + 1 : 0;
    lastName = gRound.name;
    lastSteps = steps;
    if (still < kHangSeconds) continue;
    fprintf(stderr, "xnq_stress: hang in %s: no progress for %d s\n", gRound.name, kHangSeconds);
    for (size_t k = 0; k < gRound.workers->size(); ++k)
      fprintf(stderr, "  thread %zu: in %s\n", k, (*gRound.workers)[k].doing.load());
    fflush(stderr);
    _exit(3);
  }
}

// Runs the main loop (events, the main queue) until pred holds; the main thread is a host
// thread too, and takes its turn for each pass.
template <typename Pred>
void DrainUntil(Pred pred) {
  while (!pred()) {
    TakeTurn();
    Runtime::get().runLoopOnce();
    GiveTurn();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct Tally {
  uint64_t rounds = 0, steps = 0;
};

// One round of a case; false when the accounting does not balance after it.
bool RunRound(const Case &c, Clock::duration length, uint32_t seed, Tally &tally) {
  Runtime &host = Runtime::get();
  TakeTurn();
  const xnq::host::ReferenceCounts before = host.outstanding();
  if (c.setUp) c.setUp();
  GiveTurn();
  std::vector<Worker> workers(static_cast<size_t>(c.threads));
  {
    std::lock_guard<std::mutex> hold(gRound.lock);
    gRound.name = c.name;
    gRound.workers = &workers;
  }
  gRunning.store(true);
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < c.threads; ++k) {
    workers[k].seed = seed * 7919u + static_cast<uint32_t>(k) * 104729u + 1;
    threads.emplace_back([&, k] {
      TakeTurn();
      c.body(workers[k], k);
      workers[k].step("finished");
      GiveTurn();
      done.fetch_add(1);
    });
  }
  // The main thread serves the run loop all along: events and LoadFileMT's yields need it.
  const auto end = Clock::now() + length;
  DrainUntil([&] { return Clock::now() >= end; });
  gRunning.store(false);
  DrainUntil([&] { return done.load() == c.threads; });
  for (std::thread &t : threads) t.join();
  TakeTurn();
  if (c.tearDown) c.tearDown();
  GiveTurn();
  // What the round queued for the main thread runs before the count.
  const auto settle = Clock::now() + std::chrono::milliseconds(20);
  DrainUntil([&] { return Clock::now() >= settle; });
  std::lock_guard<std::mutex> turn(gTurn);
  {
    std::lock_guard<std::mutex> hold(gRound.lock);
    gRound.workers = nullptr;
  }
  tally.rounds++;
  tally.steps += TotalSteps(workers);
  const xnq::host::ReferenceCounts after = host.outstanding();
  if (after == before && host.accountingErrors() == 0) return true;
  fprintf(stderr,
          "xnq_stress: %s: references %lld before the round, %lld after; %lld accounting "
          "errors\n",
          c.name, static_cast<long long>(before.total()), static_cast<long long>(after.total()),
          static_cast<long long>(host.accountingErrors()));
  return false;
}

}  // namespace

bool running() { return gRunning.load(std::memory_order_relaxed); }

OffTurn::OffTurn() : gave_(tHoldsTurn) {
  if (gave_) GiveTurn();
}
OffTurn::~OffTurn() {
  if (gave_) TakeTurn();
}

void Worker::pause(uint32_t ms) {
  const uint32_t us = pick(ms * 1000 + 1);
  OffTurn off;
  if (us > ms * 500)
    std::this_thread::sleep_for(std::chrono::microseconds(us));
  else
    std::this_thread::yield();
}

}  // namespace stress

int main(int argc, char **argv) {
  using namespace stress;
  const std::vector<Case> all = cases();
  double seconds = 10;
  std::vector<const Case *> chosen;
  for (int k = 1; k < argc; ++k) {
    if (strcmp(argv[k], "--list") == 0) {
      for (const Case &c : all) printf("%-20s %s\n", c.name, c.what);
      return 0;
    }
    char *end = nullptr;
    const double n = strtod(argv[k], &end);
    if (end != argv[k] && *end == 0 && n > 0) {
      seconds = n;
      continue;
    }
    const Case *found = nullptr;
    for (const Case &c : all)
      if (strcmp(c.name, argv[k]) == 0) found = &c;
    if (found == nullptr) {
      fprintf(stderr, "usage: xnq_stress [SECONDS] [CASE...]; unknown '%s' (--list)\n", argv[k]);
      return 2;
    }
    chosen.push_back(found);
  }
  if (chosen.empty())
    for (const Case &c : all) chosen.push_back(&c);

  // Devices on free-running clocks: IO cycles back to back, so every call meets a busy thread.
  setenv("XNQ_AUDIO_DEVICES",
         "null:name=Stress Out,clock=free,frames=256;"
         "null:name=Stress Small,clock=free,frames=32,rate=48000,in=1",
         0);
  if (!Runtime::get().load(XNQ_PLUGIN_PATH)) {
    fprintf(stderr, "xnq_stress: cannot load the plugin: %s\n", Runtime::get().error().c_str());
    return 2;
  }
  Runtime::get().setYieldHook(YieldTurn);
  std::thread(Watchdog).detach();

  std::vector<Tally> tallies(chosen.size());
  const auto start = std::chrono::steady_clock::now();
  const auto length = std::chrono::duration<double>(seconds);
  uint32_t seed = static_cast<uint32_t>(getpid());
  while (std::chrono::steady_clock::now() - start < length) {
    for (size_t k = 0; k < chosen.size(); ++k) {
      if (!RunRound(*chosen[k], std::chrono::milliseconds(300), seed++, tallies[k])) return 1;
    }
  }
  const double ran =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (size_t k = 0; k < chosen.size(); ++k)
    printf("%-20s %6llu rounds %10llu calls\n", chosen[k]->name,
           static_cast<unsigned long long>(tallies[k].rounds),
           static_cast<unsigned long long>(tallies[k].steps));
  printf("xnq_stress: %.0f s, no hang, no crash, references balanced\n", ran);
  return 0;
}
