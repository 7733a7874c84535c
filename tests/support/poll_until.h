// Awaiting a condition in a test: polls it until it holds or a hang guard
// expires. The guard only keeps a broken test from hanging; it is not a timing
// assertion.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vorel_test {

// Polls `condition` every 200 us; false when `guard` passes first.
inline bool pollUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds guard = std::chrono::milliseconds(10000)) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace vorel_test
