// Sensor configuration: the exact bytes configureFilter writes for each rate
// (read back from the master of a pseudo-terminal) and its printed lines, and
// the acknowledgement check consuming 7 pending bytes at a time without
// waiting.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "comm/sensor_reader.h"
#include "tests/comm/sensor_line.h"

namespace {

using vorel_device::VorelForceTorqueSensorComm;
using vorel_test::linesOf;

struct RateCase {
  const char* name;
  double rate;        // Hz, as handed to configureFilter
  const char* first;  // first value of the filter command: 86, 172 or 430
  const char* named;  // the rate the printed line names
};

std::vector<std::string> expectedLines(const std::string& command, const std::string& named) {
  return {"Configure Filter",
          "Set to config mode",
          "Set filter parameters for " + named + " Hz",
          "Send command: " + command + " with lenght " + std::to_string(command.size()),
          "Send cmd " + command,
          "Save configuration.",
          "Set run mode"};
}

class ConfigureFilterTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(channel.ok());
    comm.setPort(channel.port);
  }

  // Runs configureFilter; its printed lines, and what reached the line
  // (a marker written after the call shows that nothing else was sent).
  bool configure(double rate, std::vector<std::string>& lines, std::string& sent) {
    testing::internal::CaptureStdout();
    const bool result = comm.configureFilter(rate);
    lines = linesOf(testing::internal::GetCapturedStdout());
    EXPECT_EQ(::write(channel.port, "#", 1), 1);
    sent = vorel_test::readUntilMarker(channel.feed, '#');
    return result;
  }

  vorel_test::Channel channel{vorel_test::Channel::kPseudoTerminal};
  VorelForceTorqueSensorComm comm{5};
};

class ConfigureFilterRateTest : public ConfigureFilterTest,
                                public testing::WithParamInterface<RateCase> {};

INSTANTIATE_TEST_SUITE_P(
    Rates, ConfigureFilterRateTest,
    testing::Values(RateCase{"Rate1000", 1000.0, "86", "500"},
                    RateCase{"Rate500", 500.0, "86", "500"},
                    RateCase{"Rate250", 250.0, "172", "250"},
                    RateCase{"Rate249_9", 249.9, "430", "100"},
                    RateCase{"Rate0", 0.0, "430", "100"},
                    RateCase{"RateNaN", std::numeric_limits<double>::quiet_NaN(), "430", "100"}),
    [](const testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

TEST_P(ConfigureFilterRateTest, QuietLine_WritesExactBytesAndLines) {
  const std::string command = std::string("f,") + GetParam().first + ",0,0,1";
  std::vector<std::string> lines;
  std::string sent;
  EXPECT_TRUE(configure(GetParam().rate, lines, sent));
  EXPECT_EQ(sent, "C" + command + "sR");
  EXPECT_EQ(lines, expectedLines(command, GetParam().named));
}

class AcknowledgementTest : public ConfigureFilterTest,
                            public testing::WithParamInterface<std::pair<int, int>> {};

INSTANTIATE_TEST_SUITE_P(Pending, AcknowledgementTest,
                         testing::Values(std::make_pair(6, 6), std::make_pair(20, 6),
                                         std::make_pair(21, 0)),
                         [](const auto& info) {
                           return "Pending" + std::to_string(info.param.first);
                         });

// Each of the three checks reads exactly 7 bytes when 7 or more are pending,
// and nothing otherwise, without waiting; the content is not examined.
TEST_P(AcknowledgementTest, BytesPending_EachCheckConsumesSeven) {
  const auto [pending, left] = GetParam();
  vorel_test::Bytes bytes;
  for (int b = 0; b < pending; ++b)
    bytes.push_back(static_cast<std::uint8_t>(b));
  ASSERT_TRUE(channel.sendUntilPending(bytes, pending));
  std::vector<std::string> lines;
  std::string sent;
  EXPECT_TRUE(configure(500.0, lines, sent));
  EXPECT_EQ(sent, "Cf,86,0,0,1sR");
  ASSERT_EQ(comm.serialAvailable(), left);
  std::vector<std::uint8_t> rest(left);
  ASSERT_EQ(::read(channel.port, rest.data(), rest.size()), left);
  for (int i = 0; i < left; ++i)
    EXPECT_EQ(rest[i], pending - left + i);  // the first bytes went
}

}  // namespace
