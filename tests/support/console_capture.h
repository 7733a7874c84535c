// Records what is written to the host console while it lives.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vorel_test {

class ConsoleCapture {
 public:
  // Installs a console sink that records every Console::write.
  ConsoleCapture();
  // Restores the default sink (standard output).
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Each Console::write text, verbatim, in order ("[INFO] text\n").
  std::vector<std::string> writes() const;
  // Everything written, split into lines without their '\n'; an unfinished
  // last line is included.
  std::vector<std::string> lines() const;
  // Everything written, as one string.
  std::string text() const;
  // Waits until at least n writes were recorded; false after `guard`.
  bool awaitWrites(std::size_t n,
                   std::chrono::milliseconds guard = std::chrono::milliseconds(10000)) const;
  void clear();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vorel_test
