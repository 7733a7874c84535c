// Sensor configuration when reading an acknowledgement fails. This binary is
// linked with --wrap=read: the library's read calls pass through
// __wrap_read, which fails (EIO) one chosen read on the port and lets every
// other read through to the real one. Everything else is real: a
// pseudo-terminal holds the pending bytes and receives the commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "comm/VorelForceTorqueSensorComm.h"
#include "tests/comm/emulator_line.h"
#include "tests/comm/sync_test_util.h"
#include "tests/support/segment_view.h"

namespace {

std::atomic<int> g_failing_fd{-1};
// Reads on g_failing_fd still allowed before the one that fails.
std::atomic<int> g_reads_before_failure{0};

}  // namespace

extern "C" ssize_t __real_read(int fd, void* buf, size_t count);

extern "C" ssize_t __wrap_read(int fd, void* buf, size_t count) {
  if (fd == g_failing_fd.load() && g_reads_before_failure.fetch_sub(1) == 0) {
    errno = EIO;
    return -1;
  }
  return __real_read(fd, buf, count);
}

namespace {

using vorel_device::VorelForceTorqueSensorComm;

class FailingAcknowledgement : public testing::Test {
 protected:
  void SetUp() override {
    vorel_test::removeNames();
    comm = std::make_unique<VorelForceTorqueSensorComm>(5);
    ASSERT_TRUE(vorel_test::openPseudoTerminal(channel));
    comm->setPort(channel.port);
    // Enough pending for all three checks to read an acknowledgement.
    ASSERT_TRUE(channel.send(vorel_test::Bytes(21, 0x41)));
    ASSERT_TRUE(channel.waitPending(21));
  }
  void TearDown() override { g_failing_fd = -1; }

  // Runs configureFilter(500) with the n-th read on the port failing (n from
  // 0); returns the printed lines and what reached the line.
  bool configureWithFailingRead(int n, std::vector<std::string>& lines, std::string& sent) {
    g_reads_before_failure = n;
    g_failing_fd = channel.port;
    testing::internal::CaptureStdout();
    const bool result = comm->configureFilter(500.0);
    lines = vorel_test::linesOf(testing::internal::GetCapturedStdout());
    g_failing_fd = -1;
    EXPECT_EQ(::write(channel.port, "#", 1), 1);
    sent = vorel_test::readUntilMarker(channel.feed, '#');
    return result;
  }

  vorel_test::Channel channel;
  std::unique_ptr<VorelForceTorqueSensorComm> comm;
};

TEST_F(FailingAcknowledgement, ConfigureFilter_ReadErrorAfterSave_ReturnsFalseRunModeUnsent) {
  std::vector<std::string> lines;
  std::string sent;
  EXPECT_FALSE(configureWithFailingRead(2, lines, sent));
  EXPECT_EQ(sent, "Cf,86,0,0,1s");
  const std::vector<std::string> expected = {"Configure Filter",
                                             "Set to config mode",
                                             "Set filter parameters for 500 Hz",
                                             "Send command: f,86,0,0,1 with lenght 10",
                                             "Send cmd f,86,0,0,1",
                                             "Save configuration.",
                                             "Error reading from port"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(comm->serialAvailable(), 21 - 7 - 7);  // the failed read took nothing
}

TEST_F(FailingAcknowledgement, ConfigureFilter_ReadErrorAfterConfigMode_SendsNothingMore) {
  std::vector<std::string> lines;
  std::string sent;
  EXPECT_FALSE(configureWithFailingRead(0, lines, sent));
  EXPECT_EQ(sent, "C");
  const std::vector<std::string> expected = {"Configure Filter", "Set to config mode",
                                             "Error reading from port"};
  EXPECT_EQ(lines, expected);
}

TEST_F(FailingAcknowledgement, WaitForAcknowledgement_ReadFails_PrintsErrorReturnsFalse) {
  g_reads_before_failure = 0;
  g_failing_fd = channel.port;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(comm->waitForAcknowledgement());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading from port\n");
  g_failing_fd = -1;
  EXPECT_TRUE(comm->waitForAcknowledgement());  // the next read goes through
  EXPECT_EQ(comm->serialAvailable(), 14);
}

}  // namespace
