// Result of a device command: success, or an exception or error with a code
// and a message (libhx4_program_api).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace hx4_program_api {

template <class T>
class CmdResult {
 public:
  // Kind values as the host reports them.
  enum Kind : int { kSuccess = 0, kException = 1, kError = 2 };

  static CmdResult Success() { return CmdResult(kSuccess, 0, std::string()); }
  static CmdResult Exception(std::int64_t code, std::string message) {
    return CmdResult(kException, code, std::move(message));
  }
  static CmdResult Error(std::int64_t code, std::string message) {
    return CmdResult(kError, code, std::move(message));
  }

  int kind() const { return kind_; }
  bool ok() const { return kind_ == kSuccess; }
  std::int64_t code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  CmdResult(int kind, std::int64_t code, std::string message)
      : kind_(kind), code_(code), message_(std::move(message)) {}

  int kind_;
  std::int64_t code_;
  std::string message_;
};

}  // namespace hx4_program_api
