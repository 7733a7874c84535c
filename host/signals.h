// Signals the host delivers to devices, and the error events devices publish.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

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
//
// Events are copied across the event streams' delivery threads. The message
// is kept in a string of its own, copied deeply with the event, and what()
// reads that copy. The std::runtime_error base shares one reference-counted
// buffer among all copies; its count lives in the standard library, where a
// thread checker cannot see it order a read of the buffer on one thread
// before its release on another, and would report the pair as a race.
class BundleEvent : public std::runtime_error {
 public:
  BundleEvent(std::string plux, std::string cls, std::string label, std::int64_t code,
              const std::string& message)
      : std::runtime_error(message),
        plux_(std::move(plux)),
        class_(std::move(cls)),
        label_(std::move(label)),
        code_(code),
        message_(message) {}

  const char* what() const noexcept override { return message_.c_str(); }

  const std::string& plux() const { return plux_; }
  const std::string& className() const { return class_; }
  const std::string& label() const { return label_; }
  std::int64_t code() const { return code_; }
  std::string message() const { return message_; }

 private:
  std::string plux_;
  std::string class_;
  std::string label_;
  std::int64_t code_;
  std::string message_;
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
