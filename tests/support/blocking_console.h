// A host console that holds every write until the test releases it (a
// console on a stalled pipe), recording what it was given.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/console.h"

namespace vorel_test {

class BlockingConsole {
 public:
  BlockingConsole() {
    hx4_program_api_internals::Console::setSink([this](const std::string& text) {
      std::unique_lock<std::mutex> lock(mutex_);
      entered_ = true;
      changed_.wait(lock, [this] { return released_; });
      writes_.push_back(text);
    });
  }
  ~BlockingConsole() {
    release();
    hx4_program_api_internals::Console::setSink(nullptr);
  }
  // A write has begun (and is held until release()).
  bool entered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entered_;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  std::vector<std::string> writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
  std::vector<std::string> writes_;
};

}  // namespace vorel_test
