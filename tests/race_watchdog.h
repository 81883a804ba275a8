// Races of host calls against running audio threads, shared by the platform's and the classes'
// thread suites.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace race_test {

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
