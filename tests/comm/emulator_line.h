// The sensor emulator with the device's end of its line opened as the device
// opens its port, plus steps that make what is pending on the port exact:
// stream until enough bytes wait, stop the emulator, wait until everything it
// sent has arrived, and drop all but the newest bytes.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "comm/serial_port.h"
#include "sim/sensor/sensor_emulator.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace vorel_test {

class EmulatorLine {
 public:
  explicit EmulatorLine(std::uint64_t seed = 1)
      : emulator(seed), port(vorel_device::serial_port::openAndConfigure(emulator.slavePath())) {}
  ~EmulatorLine() {
    emulator.stop();
    vorel_device::serial_port::close(port);
  }
  EmulatorLine(const EmulatorLine&) = delete;
  EmulatorLine& operator=(const EmulatorLine&) = delete;

  int pending() const { return vorel_device::serial_port::pending(port); }

  // Lets the emulator stream until at least `bytes` are pending, stops it and
  // waits until every byte it put on the line is pending on the port. False
  // when a 10 s guard ran out.
  bool streamAtLeast(int bytes) {
    const int before = pending();
    const std::uint64_t sent_before = emulator.bytesSent();
    if (!emulator.start())
      return false;
    const bool reached = vorel_test::pollUntil([&] { return pending() >= bytes; });
    emulator.stop();
    if (!reached)
      return false;
    const int expected = before + static_cast<int>(emulator.bytesSent() - sent_before);
    return vorel_test::pollUntil([&] { return pending() == expected; });
  }

  // Reads and drops all pending bytes but the last `keep`.
  bool keepLast(int keep) {
    int drop = pending() - keep;
    std::vector<std::uint8_t> sink(drop > 0 ? static_cast<std::size_t>(drop) : 0);
    while (drop > 0) {
      const ssize_t n = ::read(port, sink.data(), static_cast<std::size_t>(drop));
      if (n <= 0)
        return false;
      drop -= static_cast<int>(n);
    }
    return pending() == keep;
  }

  vorel_sim::SensorEmulator emulator;
  int port;
};

// Reads from `fd` until `marker` arrives (10 s guard); returns everything
// before it, or "<timeout>" followed by what came.
inline std::string readUntilMarker(int fd, char marker) {
  std::string got;
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < guard) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0)
      continue;
    char c;
    if (::read(fd, &c, 1) != 1)
      continue;
    if (c == marker)
      return got;
    got.push_back(c);
  }
  return "<timeout>" + got;
}

// Splits captured standard output into lines without their '\n'.
inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace vorel_test
