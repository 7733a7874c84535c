// The host console (libhx4_program_api): one text per call, written whole.
#pragma once

#include <functional>
#include <string>

namespace hx4_program_api_internals {

class Console {
 public:
  using Sink = std::function<void(const std::string&)>;

  // Hands `text` to the console sink in one piece. Thread-safe.
  static void write(const std::string& text);
  // Replaces the sink (default: standard output, flushed); an empty sink
  // restores the default.
  static void setSink(Sink sink);
};

}  // namespace hx4_program_api_internals
