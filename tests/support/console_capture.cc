#include "tests/support/console_capture.h"

#include <condition_variable>
#include <mutex>

#include "host/console.h"

namespace vorel_test {

struct ConsoleCapture::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> writes;
};

ConsoleCapture::ConsoleCapture() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  hx4_program_api_internals::Console::setSink([state](const std::string& text) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->writes.push_back(text);
    }
    state->changed.notify_all();
  });
}

ConsoleCapture::~ConsoleCapture() {
  hx4_program_api_internals::Console::setSink(nullptr);
}

std::vector<std::string> ConsoleCapture::writes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->writes;
}

std::string ConsoleCapture::text() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::string all;
  for (const std::string& w : state_->writes)
    all += w;
  return all;
}

std::vector<std::string> ConsoleCapture::lines() const {
  const std::string all = text();
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = all.find('\n', start);
    if (end == std::string::npos) {
      out.push_back(all.substr(start));
      break;
    }
    out.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool ConsoleCapture::awaitWrites(std::size_t n, std::chrono::milliseconds guard) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, guard, [this, n] { return state_->writes.size() >= n; });
}

void ConsoleCapture::clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->writes.clear();
}

}  // namespace vorel_test
