// Operator dialogs of the host (libhx4_program_api).
#pragma once

#include <boost/shared_ptr.hpp>
#include <functional>
#include <string>
#include <vector>

namespace hx4_program_api {

// One input field of a dialog: a label and its default text.
struct DialogParam {
  std::string label;
  std::string value;
};

class InputDialog {
 public:
  using Sink = std::function<void(const std::string& title, const std::string& message)>;

  static boost::shared_ptr<InputDialog> factory(const std::string& title,
                                                const std::string& message,
                                                const std::vector<DialogParam>& params);
  virtual ~InputDialog() = default;

  // Presents the dialog to the operator and returns when it was shown.
  // `mode` 1: a message with one acknowledge button. Returns 1.
  virtual int show(int mode);

  const std::string& title() const { return title_; }
  const std::string& message() const { return message_; }
  const std::vector<DialogParam>& params() const { return params_; }

  // Where shown dialogs go (default: standard error as "[DIALOG] <title>" and
  // the message lines). An empty sink restores the default.
  static void setSink(Sink sink);

 protected:
  InputDialog(std::string title, std::string message, std::vector<DialogParam> params);

 private:
  std::string title_;
  std::string message_;
  std::vector<DialogParam> params_;
};

}  // namespace hx4_program_api
