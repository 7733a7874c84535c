// Sensor configuration when reading an acknowledgement fails. This binary is
// linked with --wrap=read: the library's read calls pass through __wrap_read,
// which fails (EIO) one chosen read on the port and lets every other read
// through. Everything else is real: a pseudo-terminal holds the pending bytes
// and receives the commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "comm/sensor_reader.h"
#include "tests/comm/sensor_line.h"

namespace {

std::atomic<int> g_failing_fd{-1};
std::atomic<int> g_reads_before_failure{0};  // reads on g_failing_fd still allowed

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

struct FailureCase {
  int failing_read;  // from 0: after "C", after the filter command, after "s"
  std::string sent;
  int left;             // bytes still pending: the failed read took nothing
  std::size_t printed;  // progress lines before the error
};

class FailingAcknowledgementTest : public testing::TestWithParam<FailureCase> {};

INSTANTIATE_TEST_SUITE_P(Reads, FailingAcknowledgementTest,
                         testing::Values(FailureCase{0, "C", 21, 2},
                                         FailureCase{1, "Cf,86,0,0,1", 14, 5},
                                         FailureCase{2, "Cf,86,0,0,1s", 7, 6}),
                         [](const auto& info) {
                           return "Read" + std::to_string(info.param.failing_read);
                         });

TEST_P(FailingAcknowledgementTest, ReadErrorDuringCheck_PrintsErrorAndSendsNothingMore) {
  const FailureCase& c = GetParam();
  vorel_device::VorelForceTorqueSensorComm comm(5);
  vorel_test::Channel channel(vorel_test::Channel::kPseudoTerminal);
  ASSERT_TRUE(channel.ok());
  comm.setPort(channel.port);
  ASSERT_TRUE(channel.sendUntilPending(vorel_test::Bytes(21, 0x41), 21));

  g_reads_before_failure = c.failing_read;
  g_failing_fd = channel.port;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(comm.configureFilter(500.0));
  const std::vector<std::string> lines =
      vorel_test::linesOf(testing::internal::GetCapturedStdout());
  g_failing_fd = -1;
  ASSERT_EQ(::write(channel.port, "#", 1), 1);
  EXPECT_EQ(vorel_test::readUntilMarker(channel.feed, '#'), c.sent);
  EXPECT_EQ(comm.serialAvailable(), c.left);

  // The progress lines up to the failed check, then the error.
  EXPECT_EQ(lines.size(), c.printed + 1u);
  EXPECT_EQ(lines.back(), "Error reading from port");
}

}  // namespace
