// Records the host dialogs shown while it lives.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vorel_test {

// One shown dialog.
struct ShownDialog {
  std::string title;
  std::string message;
};

class DialogCapture {
 public:
  // Installs a dialog sink that records every InputDialog::show.
  DialogCapture();
  // Restores the default sink (standard error).
  ~DialogCapture();
  DialogCapture(const DialogCapture&) = delete;
  DialogCapture& operator=(const DialogCapture&) = delete;

  std::vector<ShownDialog> dialogs() const;
  // Waits until at least n dialogs were shown; false after `guard`.
  bool awaitDialogs(std::size_t n,
                    std::chrono::milliseconds guard = std::chrono::milliseconds(10000)) const;
  void clear();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vorel_test
