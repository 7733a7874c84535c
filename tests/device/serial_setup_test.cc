// The serial-line set-up of activation on a real pseudo-terminal, and its
// error reports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <string>

#include "device/workers.h"
#include "tests/support/console_capture.h"
#include "tests/support/installed_controller.h"

namespace {

// The activation's workers alone hold the port.
class PortDevice : public vorel_device::Workers {
 public:
  using Workers::Workers;
  void setPath(const std::string& path) { setDevicePath(path); }
  int portFd() const { return port(); }
};

class WorkersPortTest : public ::testing::Test {
 protected:
  void SetUp() override { device = std::make_unique<PortDevice>(boost::property_tree::ptree()); }

  vorel_test::InstalledController controller;
  std::unique_ptr<PortDevice> device;
};

TEST_F(WorkersPortTest, OpenPort_Pty_ConfiguredRaw8N1At460800) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  // Start from cooked settings so that the set-up visibly replaces them.
  termios cooked;
  ASSERT_EQ(tcgetattr(slave, &cooked), 0);
  ASSERT_NE(cooked.c_lflag & ICANON, 0u);

  device->setPath(name);
  vorel_test::ConsoleCapture console;
  testing::internal::CaptureStdout();
  device->openPort();
  const std::string printed = testing::internal::GetCapturedStdout();

  EXPECT_EQ(printed, "");
  EXPECT_EQ(console.writes(), std::vector<std::string>{"[INFO] onActivate: assign port\n"});
  ASSERT_GE(device->portFd(), 0);

  termios tty;
  ASSERT_EQ(tcgetattr(device->portFd(), &tty), 0);
  EXPECT_EQ(tty.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_NE(tty.c_cflag & CREAD, 0u);
  EXPECT_NE(tty.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(tty.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tty.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tty.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(tty.c_oflag & OPOST, 0u);
  EXPECT_EQ(tty.c_cc[VTIME], 10);
  EXPECT_EQ(tty.c_cc[VMIN], 0);
  EXPECT_EQ(cfgetispeed(&tty), static_cast<speed_t>(B460800));
  EXPECT_EQ(cfgetospeed(&tty), static_cast<speed_t>(B460800));

  // The port is not inherited by children the host starts.
  EXPECT_NE(fcntl(device->portFd(), F_GETFD) & FD_CLOEXEC, 0);

  // Bytes pass unchanged in both directions (raw: no CR/LF translation).
  const unsigned char frame_start[] = {0xAA, '\r', '\n', 0x03, 0x11};
  ASSERT_EQ(write(master, frame_start, sizeof(frame_start)), 5);
  unsigned char got[5] = {};
  ASSERT_EQ(read(device->portFd(), got, sizeof(got)), 5);
  EXPECT_EQ(0, memcmp(got, frame_start, sizeof(got)));

  device->closePort();
  EXPECT_EQ(device->portFd(), -1);
  close(slave);
  close(master);
}

TEST_F(WorkersPortTest, OpenPort_MissingPath_ThreeErrorsAndNoPort) {
  device->setPath("/nonexistent/ttyUSB9");
  vorel_test::ConsoleCapture console;
  testing::internal::CaptureStdout();
  device->openPort();
  const std::string printed = testing::internal::GetCapturedStdout();

  EXPECT_EQ(printed,
            "Error 2 from opening device: No such file or directory\n"
            "Error 9 from tcsetattr: Bad file descriptor\n"
            "Error 9 from tcgetattr: Bad file descriptor\n");
  EXPECT_EQ(device->portFd(), -1);
  device->closePort();  // nothing to close
  EXPECT_EQ(device->portFd(), -1);
}

TEST_F(WorkersPortTest, OpenPort_PathWithoutPermission_AsksForDialoutGroup) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A file nobody may open. Root opens any file, so the open runs in a child
  // process that first drops to nobody; some sandboxes (a user namespace
  // mapping only root) cannot drop root at all, which a throw-away child finds.
  const bool root = geteuid() == 0;
  if (root) {
    const pid_t probe = fork();
    ASSERT_GE(probe, 0);
    if (probe == 0)
      _exit(setgid(65534) == 0 && setuid(65534) == 0 ? 0 : 3);
    int probe_status = 0;
    ASSERT_EQ(waitpid(probe, &probe_status, 0), probe);
    if (!WIFEXITED(probe_status) || WEXITSTATUS(probe_status) != 0)
      GTEST_SKIP() << "this machine cannot drop root privileges to test a refused open";
  }
  const std::string path = testing::TempDir() + "vorel_no_access_port";
  unlink(path.c_str());
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0000);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EXIT(
      {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0))
          std::exit(3);
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the death test reads stderr
        device->setPath(path);
        device->openPort();
        std::fflush(stdout);
        std::exit(device->portFd() == -1 ? 0 : 4);
      },
      testing::ExitedWithCode(0),
      "Error 13 from opening device: Permission denied\nAdd the current user to the dialout "
      "group");
  unlink(path.c_str());
}

TEST_F(WorkersPortTest, ClosePort_Twice_ClosesOnce) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  device->setPath(name);
  device->openPort();
  const int fd = device->portFd();
  ASSERT_GE(fd, 0);

  device->closePort();
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
  // The number is reused by the next open; a second close must leave it alone.
  const int reused = dup(slave);
  ASSERT_EQ(reused, fd);
  device->closePort();
  EXPECT_NE(fcntl(reused, F_GETFD), -1);

  close(reused);
  close(slave);
  close(master);
}

}  // namespace
