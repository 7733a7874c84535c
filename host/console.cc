#include "host/console.h"

#include <cstdio>
#include <mutex>

namespace hx4_program_api_internals {

namespace {

std::mutex& consoleMutex() {
  static std::mutex mutex;
  return mutex;
}

Console::Sink& consoleSink() {
  static Console::Sink sink;
  return sink;
}

}  // namespace

void Console::write(const std::string& text) {
  std::lock_guard<std::mutex> lock(consoleMutex());
  if (consoleSink()) {
    consoleSink()(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

void Console::setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(consoleMutex());
  consoleSink() = std::move(sink);
}

}  // namespace hx4_program_api_internals
