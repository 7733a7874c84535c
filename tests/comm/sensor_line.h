// The byte channels the reader's tests feed: a pipe, a pseudo-terminal whose
// slave is configured like the sensor's port, a packet socket pair (a read
// returns one packet: a real short read), and the sensor emulator on the
// device's end of its line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "comm/serial_port.h"
#include "sim/sensor/sensor_emulator.h"
#include "tests/comm/frame_builder.h"
#include "tests/support/poll_until.h"

namespace vorel_test {

namespace serial = vorel_device::serial_port;

// The reader reads from `port`; the test writes to `feed`.
struct Channel {
  enum Kind { kPipe, kPseudoTerminal, kPacketSockets };

  explicit Channel(Kind kind) {
    int fds[2] = {-1, -1};
    if (kind == kPseudoTerminal) {
      feed = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (feed >= 0 && ::grantpt(feed) == 0 && ::unlockpt(feed) == 0 && ::ptsname(feed))
        port = serial::openAndConfigure(::ptsname(feed));
    } else if ((kind == kPipe
                    ? ::pipe2(fds, O_CLOEXEC)
                    : ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds)) == 0) {
      port = fds[0];
      feed = fds[1];
    }
  }
  ~Channel() {
    for (int fd : {port, feed})
      if (fd >= 0)
        ::close(fd);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool ok() const { return port >= 0 && feed >= 0; }
  int pending() const { return serial::pending(port); }
  bool send(const Bytes& bytes) const {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(feed, bytes.data() + done, bytes.size() - done);
      if (n <= 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Sends and waits until the port's input queue holds `total` bytes.
  bool sendUntilPending(const Bytes& bytes, int total) const {
    return send(bytes) && pollUntil([&] { return pending() == total; });
  }

  int port = -1;
  int feed = -1;
};

class EmulatorLine {
 public:
  EmulatorLine() : emulator(1), port(serial::openAndConfigure(emulator.slavePath())) {}
  ~EmulatorLine() {
    emulator.stop();
    serial::close(port);
  }
  EmulatorLine(const EmulatorLine&) = delete;
  EmulatorLine& operator=(const EmulatorLine&) = delete;

  int pending() const { return serial::pending(port); }

  // Lets the emulator stream until at least `bytes` are pending, stops it and
  // waits until every byte it sent is pending, then drops all but the last
  // `keep` (all kept when negative).
  bool stream(int bytes, int keep = -1) {
    const int before = pending();
    const std::uint64_t sent_before = emulator.bytesSent();
    if (!emulator.start())
      return false;
    const bool reached = pollUntil([&] { return pending() >= bytes; });
    emulator.stop();
    const int expected = before + static_cast<int>(emulator.bytesSent() - sent_before);
    if (!reached || !pollUntil([&] { return pending() == expected; }))
      return false;
    std::vector<std::uint8_t> sink(64);
    while (keep >= 0 && pending() > keep) {
      const std::size_t n = std::min<std::size_t>(sink.size(), pending() - keep);
      if (::read(port, sink.data(), n) <= 0)
        return false;
    }
    return true;
  }

  vorel_sim::SensorEmulator emulator;
  int port;
};

// Reads from `fd` until `marker` arrives (10 s guard); everything before it,
// or "<timeout>" and what came.
inline std::string readUntilMarker(int fd, char marker) {
  std::string got;
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < guard) {
    pollfd pfd{fd, POLLIN, 0};
    char c;
    if (::poll(&pfd, 1, 20) <= 0 || ::read(fd, &c, 1) != 1)
      continue;
    if (c == marker)
      return got;
    got.push_back(c);
  }
  return "<timeout>" + got;
}

// Captured standard output split into lines without their '\n'.
inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace vorel_test
