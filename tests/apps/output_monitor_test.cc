// OutputMonitor over a real pipe: every byte passed on, the device's
// diagnostics counted with their time, a line prefix for a child's output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "sim/host/output_monitor.h"

namespace {

using vorel_sim_app::OutputMonitor;

// A pipe standing for the terminal: the monitor watches `watched`, which
// first points at the pipe's write end; what comes out is read back.
class Terminal {
 public:
  Terminal() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_ = fds[0];
    watched = fds[1];
  }
  ~Terminal() {
    ::close(read_);
    if (watched >= 0)
      ::close(watched);
  }
  // Closes the watched descriptor and reads what reached the terminal.
  std::string drain() {
    ::close(watched);
    watched = -1;
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(read_, buf, sizeof buf)) > 0)
      out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
  void write(const std::string& text) const {
    EXPECT_EQ(::write(watched, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  int watched = -1;

 private:
  int read_ = -1;
};

TEST(OutputMonitor_DeviceLines_AreCountedAndPassedOn, WithTheClockOfEachMatch) {
  Terminal terminal;
  std::atomic<int> now{10};
  OutputMonitor monitor(terminal.watched, OutputMonitor::devicePatterns(),
                        [&now] { return static_cast<double>(now.load()); });
  monitor.start();
  terminal.write("No valid frame: 1\nlost sync, trying to reconnect\n");
  ASSERT_TRUE(monitor.waitForLine("lost_sync", 1, std::chrono::seconds(10)));
  now = 20;
  // A line written in two pieces is one line.
  terminal.write("No valid fr");
  terminal.write("ame: 2\nStart the adaptive thread instance.\nother text\n");
  ASSERT_TRUE(monitor.waitForLine("adaptive_started", 1, std::chrono::seconds(10)));
  monitor.stop();

  const auto crc = monitor.count("crc_error");
  EXPECT_EQ(crc.lines, 2u);
  EXPECT_EQ(crc.first_time, 10.0);
  EXPECT_EQ(crc.last_time, 20.0);
  EXPECT_EQ(monitor.count("lost_sync").lines, 1u);
  EXPECT_EQ(monitor.count("non_finite").lines, 0u);
  EXPECT_EQ(terminal.drain(),
            "No valid frame: 1\nlost sync, trying to reconnect\nNo valid frame: 2\n"
            "Start the adaptive thread instance.\nother text\n");
}

TEST(OutputMonitor_LinePrefix_MarksEveryLine, TheLastUnfinishedOneToo) {
  Terminal terminal;
  OutputMonitor monitor(terminal.watched, OutputMonitor::devicePatterns(), nullptr, "[child] ");
  monitor.start();
  terminal.write("one\nlost sync, trying to reconnect\ntail");
  ASSERT_TRUE(monitor.waitForLine("lost_sync", 1, std::chrono::seconds(10)));
  monitor.stop();
  EXPECT_EQ(terminal.drain(),
            "[child] one\n[child] lost sync, trying to reconnect\n[child] tail\n");
}

TEST(OutputMonitor_WaitForLine_GivesUpAfterItsGuard, WhenTheLineNeverComes) {
  Terminal terminal;
  OutputMonitor monitor(terminal.watched, OutputMonitor::devicePatterns(), nullptr);
  monitor.start();
  EXPECT_FALSE(monitor.waitForLine("crc_error", 1, std::chrono::milliseconds(20)));
  monitor.stop();
  EXPECT_EQ(terminal.drain(), "");
}

}  // namespace
