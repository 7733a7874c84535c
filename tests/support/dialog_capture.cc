#include "tests/support/dialog_capture.h"

#include <condition_variable>
#include <mutex>

#include "host/input_dialog.h"

namespace vorel_test {

struct DialogCapture::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<ShownDialog> dialogs;
};

DialogCapture::DialogCapture() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  hx4_program_api::InputDialog::setSink(
      [state](const std::string& title, const std::string& message) {
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          state->dialogs.push_back(ShownDialog{title, message});
        }
        state->changed.notify_all();
      });
}

DialogCapture::~DialogCapture() {
  hx4_program_api::InputDialog::setSink(nullptr);
}

std::vector<ShownDialog> DialogCapture::dialogs() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->dialogs;
}

bool DialogCapture::awaitDialogs(std::size_t n, std::chrono::milliseconds guard) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, guard, [this, n] { return state_->dialogs.size() >= n; });
}

void DialogCapture::clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->dialogs.clear();
}

}  // namespace vorel_test
