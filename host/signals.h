// Signals the host delivers to devices, and the error events devices publish.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace hx4_signal {

// The controller's hardware is up: devices with activation parameters activate.
struct HWReady {};

// The robot program has ended (normally, by the operator, or by an error).
struct ProgramTerminated {
  std::int64_t program_id = 0;
};

// A controller alarm.
struct Alarm {
  std::int64_t code = 0;
  std::string text;
};

}  // namespace hx4_signal

namespace hx4_bundle {

// Identity of a device and the code and message of a failed command.
class BundleEvent : public std::runtime_error {
 public:
  BundleEvent(std::string plux, std::string cls, std::string label, std::int64_t code,
              const std::string& message)
      : std::runtime_error(message),
        plux_(std::move(plux)),
        class_(std::move(cls)),
        label_(std::move(label)),
        code_(code) {}

  const std::string& plux() const { return plux_; }
  const std::string& className() const { return class_; }
  const std::string& label() const { return label_; }
  std::int64_t code() const { return code_; }
  std::string message() const { return what(); }

 private:
  std::string plux_;
  std::string class_;
  std::string label_;
  std::int64_t code_;
};

// A device command that failed (kind 2). Published as an event, and thrown by
// the host layer for bad device configuration (missing or mistyped arguments).
class Error : public BundleEvent {
 public:
  using BundleEvent::BundleEvent;
};

// A device command that raised an exception (kind 1).
class Exception : public BundleEvent {
 public:
  using BundleEvent::BundleEvent;
};

}  // namespace hx4_bundle
