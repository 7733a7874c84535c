// Sensor configuration: the exact bytes configureFilter writes for each rate
// (read back from the master of a pseudo-terminal), the same sequence taken
// by the sensor emulator, the printed lines, and the acknowledgement check
// consuming 7 pending bytes at a time without waiting.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "comm/VorelForceTorqueSensorComm.h"
#include "sim/sensor/sensor_emulator.h"
#include "tests/comm/emulator_line.h"
#include "tests/comm/sync_test_util.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace {

using vorel_device::VorelForceTorqueSensorComm;
using vorel_test::linesOf;

struct RateCase {
  const char* name;
  double rate;           // Hz, as handed to configureFilter
  const char* command;   // filter command sent
  const char* message;   // line naming the setting
  int length;            // printed length of the command
  double emulator_rate;  // frame rate the emulator then streams at, Hz
  std::array<std::uint32_t, 4> values;
};

const RateCase kCases[] = {
    {"Rate1000",
     1000.0,
     "f,86,0,0,1",
     "Set filter parameters for 500 Hz",
     10,
     500.0,
     {86, 0, 0, 1}},
    {"Rate500", 500.0, "f,86,0,0,1", "Set filter parameters for 500 Hz", 10, 500.0, {86, 0, 0, 1}},
    {"Rate250",
     250.0,
     "f,172,0,0,1",
     "Set filter parameters for 250 Hz",
     11,
     250.0,
     {172, 0, 0, 1}},
    {"Rate249_9",
     249.9,
     "f,430,0,0,1",
     "Set filter parameters for 100 Hz",
     11,
     100.0,
     {430, 0, 0, 1}},
    {"Rate0", 0.0, "f,430,0,0,1", "Set filter parameters for 100 Hz", 11, 100.0, {430, 0, 0, 1}},
    {"RateNaN",
     std::numeric_limits<double>::quiet_NaN(),
     "f,430,0,0,1",
     "Set filter parameters for 100 Hz",
     11,
     100.0,
     {430, 0, 0, 1}},
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const RateCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<std::string> expectedLines(const RateCase& c) {
  return {"Configure Filter",
          "Set to config mode",
          c.message,
          std::string("Send command: ") + c.command + " with lenght " + std::to_string(c.length),
          std::string("Send cmd ") + c.command,
          "Save configuration.",
          "Set run mode"};
}

class ConfigureFilterRate : public testing::TestWithParam<RateCase> {
 protected:
  void SetUp() override {
    vorel_test::removeNames();
    comm = std::make_unique<VorelForceTorqueSensorComm>(5);
  }
  std::unique_ptr<VorelForceTorqueSensorComm> comm;
};

INSTANTIATE_TEST_SUITE_P(Rates, ConfigureFilterRate, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<RateCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_P(ConfigureFilterRate, ConfigureFilter_QuietLine_WritesExactBytesAndLines) {
  const RateCase& c = GetParam();
  vorel_test::Channel channel;
  ASSERT_TRUE(vorel_test::openPseudoTerminal(channel));
  comm->setPort(channel.port);

  testing::internal::CaptureStdout();
  const bool sent = comm->configureFilter(c.rate);
  const std::string out = testing::internal::GetCapturedStdout();
  // A marker written after the call shows that nothing else was sent.
  ASSERT_EQ(::write(channel.port, "#", 1), 1);

  EXPECT_TRUE(sent);
  EXPECT_EQ(vorel_test::readUntilMarker(channel.feed, '#'), std::string("C") + c.command + "sR");
  EXPECT_EQ(linesOf(out), expectedLines(c));
}

TEST_P(ConfigureFilterRate, ConfigureFilter_StreamingEmulator_TakesSettingAndRunsAgain) {
  const RateCase& c = GetParam();
  vorel_test::EmulatorLine line;
  ASSERT_TRUE(line.emulator.start());
  ASSERT_TRUE(vorel_test::pollUntil([&] { return line.pending() > 0; }));
  comm->setPort(line.port);

  testing::internal::CaptureStdout();
  const bool sent = comm->configureFilter(c.rate);
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(sent);
  EXPECT_EQ(linesOf(out), expectedLines(c));
  ASSERT_TRUE(line.emulator.waitForCommands(4, std::chrono::seconds(10)));
  const std::vector<std::string> expected = {"C", c.command, "s", "R"};
  EXPECT_EQ(line.emulator.commandLog(), expected);
  EXPECT_EQ(line.emulator.counters().ignored_bytes, 0u);
  EXPECT_EQ(line.emulator.filterSetting(), c.values);
  ASSERT_TRUE(line.emulator.savedFilterSetting().has_value());
  EXPECT_EQ(*line.emulator.savedFilterSetting(), c.values);
  EXPECT_EQ(line.emulator.rateHz(), c.emulator_rate);
  EXPECT_TRUE(vorel_test::pollUntil([&] { return !line.emulator.inConfigMode(); }));
}

class Acknowledgement : public testing::Test {
 protected:
  void SetUp() override {
    vorel_test::removeNames();
    comm = std::make_unique<VorelForceTorqueSensorComm>(5);
    ASSERT_TRUE(vorel_test::openPseudoTerminal(channel));
    comm->setPort(channel.port);
  }
  vorel_test::Channel channel;
  std::unique_ptr<VorelForceTorqueSensorComm> comm;
};

TEST_F(Acknowledgement, WaitForAcknowledgement_20Pending_ConsumesFirst7Only) {
  vorel_test::Bytes bytes;
  for (std::uint8_t b = 0; b < 20; ++b)
    bytes.push_back(b);
  ASSERT_TRUE(channel.send(bytes));
  ASSERT_TRUE(channel.waitPending(20));

  testing::internal::CaptureStdout();
  EXPECT_TRUE(comm->waitForAcknowledgement());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(comm->serialAvailable(), 13);
  std::uint8_t rest[13];
  ASSERT_EQ(::read(channel.port, rest, sizeof(rest)), 13);
  for (int i = 0; i < 13; ++i)
    EXPECT_EQ(rest[i], 7 + i);
}

TEST_F(Acknowledgement, WaitForAcknowledgement_6Pending_ReturnsTrueWithoutReading) {
  ASSERT_TRUE(channel.send(vorel_test::Bytes{1, 2, 3, 4, 5, 6}));
  ASSERT_TRUE(channel.waitPending(6));
  EXPECT_TRUE(comm->waitForAcknowledgement());
  EXPECT_EQ(comm->serialAvailable(), 6);
}

TEST_F(Acknowledgement, ConfigureFilter_20Pending_EachCheckConsumes7UntilFewerRemain) {
  ASSERT_TRUE(channel.send(vorel_test::Bytes(20, 0x55)));
  ASSERT_TRUE(channel.waitPending(20));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(comm->configureFilter(500.0));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(comm->serialAvailable(), 6);  // 20 - 7 (after "C") - 7 (after "f"); 6 < 7 after "s"
  ASSERT_EQ(::write(channel.port, "#", 1), 1);
  EXPECT_EQ(vorel_test::readUntilMarker(channel.feed, '#'), "Cf,86,0,0,1sR");
}

}  // namespace
