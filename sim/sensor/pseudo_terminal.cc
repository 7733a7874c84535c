#include "sim/sensor/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace vorel_sim {

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void closeFd(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  try {
    master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0)
      fail("posix_openpt");
    if (::grantpt(master_fd_) != 0)
      fail("grantpt");
    if (::unlockpt(master_fd_) != 0)
      fail("unlockpt");
    char name[128];
    if (::ptsname_r(master_fd_, name, sizeof(name)) != 0)
      fail("ptsname_r");
    slave_path_ = name;
    const int flags = ::fcntl(master_fd_, F_GETFL);
    if (flags < 0 || ::fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) != 0)
      fail("fcntl O_NONBLOCK");

    slave_fd_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd_ < 0)
      fail("open pseudo-terminal slave");
    termios tty;
    if (::tcgetattr(slave_fd_, &tty) != 0)
      fail("tcgetattr");
    ::cfmakeraw(&tty);
    tty.c_cflag |= CLOCAL | CREAD;
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 0;
    if (::tcsetattr(slave_fd_, TCSANOW, &tty) != 0)
      fail("tcsetattr");

    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0)
      fail("eventfd");
  } catch (...) {
    closeFd(wake_fd_);
    closeFd(slave_fd_);
    closeFd(master_fd_);
    throw;
  }
}

PseudoTerminal::~PseudoTerminal() {
  closeFd(master_fd_);
  closeFd(slave_fd_);
  closeFd(wake_fd_);
}

std::size_t PseudoTerminal::writeSome(const std::uint8_t* bytes, std::size_t len) {
  std::size_t done = 0;
  while (master_fd_ >= 0 && done < len) {
    const ssize_t n = ::write(master_fd_, bytes + done, len - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // full (EAGAIN), or an error: the rest is lost
    }
  }
  return done;
}

PseudoTerminal::Input PseudoTerminal::waitInput(std::uint8_t* buf, std::size_t len, int timeout_ms,
                                                std::size_t& received) {
  received = 0;
  if (master_fd_ < 0)
    return Input::failed;
  pollfd fds[2] = {{master_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  const int ready = ::poll(fds, 2, timeout_ms);
  if (ready < 0)
    return errno == EINTR ? Input::interrupted : Input::failed;
  if (fds[1].revents & POLLIN) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof(count));
    return Input::interrupted;
  }
  if (ready == 0)
    return Input::idle;
  if (fds[0].revents & (POLLERR | POLLNVAL))
    return Input::failed;
  const ssize_t n = ::read(master_fd_, buf, len);
  if (n > 0) {
    received = static_cast<std::size_t>(n);
    return Input::data;
  }
  if (n < 0 && errno == EINTR)
    return Input::interrupted;
  if (n < 0 && errno == EAGAIN)
    return Input::idle;
  return Input::failed;
}

void PseudoTerminal::interrupt() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof(one));
}

void PseudoTerminal::hangUp() {
  closeFd(master_fd_);
}

}  // namespace vorel_sim
