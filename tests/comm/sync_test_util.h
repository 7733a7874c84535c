// Real byte channels for the synchroniser tests: a pipe, a pseudo-terminal
// whose slave is configured like the sensor's port, and a packet socket pair.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "comm/serial_port.h"
#include "tests/comm/frame_builder.h"
#include "tests/support/poll_until.h"

namespace vorel_test {

inline bool writeAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The two ends of a byte channel: the reader reads from `port`, the test writes
// to `feed`. Bytes written are visible in the port's input queue once
// waitPending() says so.
struct Channel {
  int port = -1;
  int feed = -1;

  Channel() = default;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel() {
    if (port >= 0)
      ::close(port);
    if (feed >= 0)
      ::close(feed);
  }

  bool send(const Bytes& bytes) const { return writeAll(feed, bytes); }
  bool waitPending(int n) const {
    return vorel_test::pollUntil([&] { return vorel_device::serial_port::pending(port) == n; });
  }
};

inline bool openPipe(Channel& c) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return false;
  c.port = fds[0];
  c.feed = fds[1];
  return true;
}

// Master side feeds; the slave is opened and configured as the sensor's port
// (raw, 8N1, 460800 baud).
inline bool openPseudoTerminal(Channel& c) {
  c.feed = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (c.feed < 0 || ::grantpt(c.feed) != 0 || ::unlockpt(c.feed) != 0)
    return false;
  const char* name = ::ptsname(c.feed);
  if (name == nullptr)
    return false;
  c.port = vorel_device::serial_port::openAndConfigure(name);
  return c.port >= 0;
}

// A packet socket pair: the input-queue query reports all queued packets, a
// read returns at most one packet.
inline bool openPacketSockets(Channel& c) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
    return false;
  c.port = fds[0];
  c.feed = fds[1];
  return true;
}

}  // namespace vorel_test
