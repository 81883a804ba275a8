// Races of host calls against running audio threads, and waits for what another thread does,
// shared by the platform's and the classes' suites.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace race_test {

// Polls pred about every millisecond until it holds (true) or `limit` has passed (false).
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Waits for pred as WaitFor does, and takes the test program down at once if it never holds: a
// thread left waiting for it can't be freed, so there is nothing to go on with.
template <class Pred>
void MustHappen(const char *what, Pred pred,
                std::chrono::milliseconds limit = std::chrono::seconds(3)) {
  if (WaitFor(pred, limit)) return;
  std::fprintf(stderr, "%s never happened\n", what);
  std::_Exit(1);
}

// Runs call on a thread of its own, which must return within two seconds (`what` names it).
template <class Call>
void MustReturn(const char *what, Call call) {
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    call();
    returned.store(true);
  });
  MustHappen((std::string(what) + " returning").c_str(), [&] { return returned.load(); },
             std::chrono::seconds(2));
  caller.join();
}

// Runs round(t) over and over on `threads` host threads of their own for `length`, and takes the
// test program down if no round completes for a second: a call that never returns holds its
// thread, which can't be joined, so there is nothing to go on with.
template <class Round>
void RaceWithWatchdog(int threads, std::chrono::milliseconds length, Round round) {
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0}, finished{0};
  std::vector<std::thread> racers;
  for (int t = 0; t < threads; ++t)
    racers.emplace_back([&, t] {
      while (!done.load()) {
        round(t);
        ++rounds;
      }
      ++finished;
    });
  const auto until = std::chrono::steady_clock::now() + length;
  for (int seen = -1; finished.load() < threads; seen = rounds.load()) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (rounds.load() == seen && finished.load() < threads) {
      std::fprintf(stderr, "a round of host calls never returned\n");
      std::abort();
    }
    done = std::chrono::steady_clock::now() >= until;
  }
  for (std::thread &r : racers) r.join();
}

}  // namespace race_test
