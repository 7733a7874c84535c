#include "comm/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace vorel_device {
namespace serial_port {

namespace {

std::string reason(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err) + " (errno " + std::to_string(err) + ")";
}

// Line time of one byte at 460800 baud, 8N1 (start, 8 data and stop bit), ns.
constexpr std::int64_t kByteTimeNs = 10LL * 1000000000LL / 460800;
// Line time of one 37-byte frame, ns.
constexpr std::int64_t kFrameTimeNs = 37 * kByteTimeNs;

std::int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

timespec toTimespec(std::int64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
  ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
  return ts;
}

// Sleeps until `deadline_ns` (CLOCK_MONOTONIC); a signal resumes the sleep.
void sleepUntil(std::int64_t deadline_ns) {
  const timespec until = toTimespec(deadline_ns);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace

int openAndConfigure(const std::string& path, std::string* failure) {
  if (failure)
    failure->clear();
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (failure)
      *failure = reason("cannot be opened", err);
    std::printf("Error %i from opening device: %s\n", err, std::strerror(err));
    if (err == EACCES)
      std::printf("Add the current user to the dialout group");
    std::fflush(stdout);
  }

  // A fresh attribute set: the port's current settings are not read first, so
  // input, output and local modes are all 0 (raw, non-canonical, no echo, no
  // signals).
  termios tty;
  std::memset(&tty, 0, sizeof(tty));
  tty.c_cflag = CLOCAL | CREAD | CS8;
  tty.c_cc[VTIME] = 10;  // deciseconds
  tty.c_cc[VMIN] = 0;
  cfsetispeed(&tty, B460800);
  cfsetospeed(&tty, B460800);
  bool configured = true;
  if (tcsetattr(fd, TCSANOW, &tty) != 0) {
    const int err = errno;
    std::printf("Error %i from tcsetattr: %s\n", err, std::strerror(err));
    configured = false;
    if (failure && fd >= 0)
      *failure = reason("cannot be configured as a serial port", err);
  }

  serial_struct serial;
  std::memset(&serial, 0, sizeof(serial));
  ::ioctl(fd, TIOCGSERIAL, &serial);
  serial.flags |= ASYNC_LOW_LATENCY;
  ::ioctl(fd, TIOCSSERIAL, &serial);

  if (tcgetattr(fd, &tty) != 0) {
    const int err = errno;
    std::printf("Error %i from tcgetattr: %s\n", err, std::strerror(err));
  }
  std::fflush(stdout);
  if (fd >= 0 && failure && !configured)
    close(fd);
  return fd < 0 ? kNoPort : fd;
}

void close(int& fd) {
  if (fd < 0)
    return;
  ::close(fd);
  fd = kNoPort;
}

int pending(int fd) {
  int count = 0;
  if (::ioctl(fd, FIONREAD, &count) != 0)
    return 0;
  return count;
}

int waitPending(int fd, int bytes, long bound_us) {
  const std::int64_t deadline = monotonicNs() + static_cast<std::int64_t>(bound_us) * 1000;
  int seen = 0;             // bytes pending at the last look
  bool woke_empty = false;  // poll said readable, the queue held nothing
  for (;;) {
    if (seen == 0) {
      // Nothing there at the last look: poll wakes at the first byte (at
      // once when bytes are pending already).
      const std::int64_t now = monotonicNs();
      if (now >= deadline)
        return pending(fd);
      pollfd port{fd, POLLIN, 0};
      const timespec timeout = toTimespec(deadline - now);
      const int ready = ::ppoll(&port, 1, &timeout, nullptr);
      if (ready < 0 && errno == EINTR)
        continue;
      if (ready == 0)
        return pending(fd);  // the bound has passed
      // An error, a hang-up, a failing poll, or readable twice without a
      // byte: nothing will wake the wait early.
      if (ready < 0 || port.revents != POLLIN || woke_empty) {
        sleepUntil(deadline);
        return pending(fd);
      }
    }
    const int now_pending = pending(fd);
    const std::int64_t now = monotonicNs();
    if (now_pending >= bytes || now >= deadline)
      return now_pending;
    woke_empty = now_pending == 0;
    if (now_pending > 0) {
      // Part of a frame: the rest is on the line, or the line stalled. poll
      // would return at once (the queue is not empty), so sleep instead.
      const std::int64_t rest =
          now_pending == seen ? kFrameTimeNs : (bytes - now_pending) * kByteTimeNs;
      sleepUntil(std::min(deadline, now + rest));
    }
    seen = now_pending;
  }
}

ssize_t read(int fd, std::uint8_t* buf, std::size_t len) {
  return ::read(fd, buf, len);
}

ssize_t write(int fd, const char* text, std::size_t len) {
  return ::write(fd, text, len);
}

}  // namespace serial_port
}  // namespace vorel_device
