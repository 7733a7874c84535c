#include "host/input_dialog.h"

#include <cstdio>
#include <mutex>

namespace hx4_program_api {

namespace {

std::mutex& dialogMutex() {
  static std::mutex mutex;
  return mutex;
}

InputDialog::Sink& dialogSink() {
  static InputDialog::Sink sink;
  return sink;
}

}  // namespace

InputDialog::InputDialog(std::string title, std::string message, std::vector<DialogParam> params)
    : title_(std::move(title)), message_(std::move(message)), params_(std::move(params)) {}

boost::shared_ptr<InputDialog> InputDialog::factory(const std::string& title,
                                                    const std::string& message,
                                                    const std::vector<DialogParam>& params) {
  return boost::shared_ptr<InputDialog>(new InputDialog(title, message, params));
}

int InputDialog::show(int /*mode*/) {
  std::lock_guard<std::mutex> lock(dialogMutex());
  if (dialogSink()) {
    dialogSink()(title_, message_);
  } else {
    std::fprintf(stderr, "[DIALOG] %s\n%s\n", title_.c_str(), message_.c_str());
    std::fflush(stderr);
  }
  return 1;
}

void InputDialog::setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(dialogMutex());
  dialogSink() = std::move(sink);
}

}  // namespace hx4_program_api
