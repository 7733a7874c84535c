// SensorCommandParser: splits the ASCII byte stream that the device writes to
// the force/torque sensor into commands. The commands carry no terminator and
// may arrive back to back in one read ("Cf,86,0,0,1sR"):
//
//   text              command
//   "C"               enter configuration mode
//   "f,%u,%u,%u,%u"   set the measurement filter (four unsigned decimal values)
//   "s"               save the configuration
//   "R"               return to run mode
//
// The last number of a filter command ends at the next byte that is not a
// digit (which is then parsed as the start of the next command) or when the
// line stays idle (`flush`, called by the owner after a few milliseconds
// without input). A filter command that breaks off before its fourth number
// has a digit (an unexpected byte, a value above 4294967295, or an idle line)
// is dropped, and its bytes count as ignored; the byte that broke it off is
// parsed again as the start of a command. Bytes outside any command are
// ignored.
//
// A plain state machine without I/O or clock; not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorel_sim {

struct SensorCommand {
  enum class Kind { enter_config, set_filter, save, run };

  Kind kind = Kind::enter_config;
  // The four values of a filter command; zero for the other kinds.
  std::array<std::uint32_t, 4> filter{};
  // The command's bytes exactly as received ("C", "f,86,0,0,1", "s", "R").
  std::string text;
};

class SensorCommandParser {
 public:
  // Parses one received byte; commands it completes are appended to `out`.
  void feed(std::uint8_t byte, std::vector<SensorCommand>& out);
  void feed(const std::uint8_t* bytes, std::size_t len, std::vector<SensorCommand>& out);
  // The line went idle: a filter command whose fourth number has a digit is
  // complete and appended to `out`; an incomplete one is dropped.
  void flush(std::vector<SensorCommand>& out);
  // True while a filter command is open, i.e. while an idle line would end it.
  bool awaitingMore() const { return state_ != State::idle; }
  // Bytes that were not part of any command (unknown bytes and the bytes of
  // dropped filter commands), since construction.
  std::uint64_t ignoredBytes() const { return ignored_bytes_; }
  // Forgets an open filter command without counting its bytes as ignored.
  void reset();

 private:
  enum class State { idle, expect_comma, expect_digit, in_number };

  void abandonFilter();
  void finishFilter(std::vector<SensorCommand>& out);

  State state_ = State::idle;
  std::size_t field_ = 0;  // index of the number being read, 0 to 3
  std::uint64_t value_ = 0;
  std::array<std::uint32_t, 4> values_{};
  std::string text_;
  std::uint64_t ignored_bytes_ = 0;
};

}  // namespace vorel_sim
