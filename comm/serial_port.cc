#include "comm/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace vorel_device {
namespace serial_port {

namespace {

std::string reason(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err) + " (errno " + std::to_string(err) + ")";
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

ssize_t read(int fd, std::uint8_t* buf, std::size_t len) {
  return ::read(fd, buf, len);
}

ssize_t write(int fd, const char* text, std::size_t len) {
  return ::write(fd, text, len);
}

}  // namespace serial_port
}  // namespace vorel_device
