// Configuration commands to the emulator over a real pseudo-terminal, written
// as the device writes them.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "sim/sensor/sensor_emulator.h"
#include "tests/sim/slave_line.h"

namespace {

using vorel_device::RxFrame;
using vorel_sim::SensorEmulator;
using vorel_sim_test::acksOf;
using vorel_sim_test::framesOf;
using vorel_sim_test::kGuard;
using vorel_sim_test::LineItem;
using vorel_sim_test::SlaveLine;
using vorel_sim_test::splitLine;

using Log = std::vector<std::string>;

// The frames that follow the last acknowledgement on the line.
std::vector<RxFrame> framesAfterLastAck(const std::vector<std::uint8_t>& bytes) {
  const std::vector<LineItem> items = splitLine(bytes);
  std::size_t start = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].kind == LineItem::Kind::ack)
      start = i + 1;
  }
  return framesOf(std::vector<LineItem>(items.begin() + start, items.end()));
}

// Mean spacing of the send times in microseconds, checked to come from
// consecutive sequence numbers.
double meanSpacingUs(const std::vector<RxFrame>& frames) {
  const auto first = SensorEmulator::decodeStamp(frames.front());
  const auto last = SensorEmulator::decodeStamp(frames.back());
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(SensorEmulator::decodeStamp(frames[i]).sequence,
              SensorEmulator::decodeStamp(frames[i - 1]).sequence + 1);
  }
  return static_cast<double>(static_cast<std::uint32_t>(last.send_time_us - first.send_time_us)) /
         static_cast<double>(last.sequence - first.sequence);
}

TEST(SensorEmulatorCommand, SequenceInOneWrite_FourCommandsFourAcks) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(2));
  ASSERT_TRUE(line.send("Cf,86,0,0,1sR"));
  ASSERT_TRUE(emulator.waitForCommands(4, kGuard));
  EXPECT_EQ(emulator.commandLog(), (Log{"C", "f,86,0,0,1", "s", "R"}));
  ASSERT_TRUE(line.readAcks("CfsR"));

  const std::vector<LineItem> items = splitLine(line.bytes());
  std::string acks_and_frames;  // 'F' for a frame, the letter for an ack
  for (const LineItem& item : items) {
    ASSERT_NE(item.kind, LineItem::Kind::other) << "at byte " << item.offset;
    acks_and_frames.push_back(item.kind == LineItem::Kind::frame ? 'F' : item.ack);
  }
  const std::size_t c_ack = acks_and_frames.find('C');
  EXPECT_EQ(acks_and_frames.substr(c_ack, 4), "CfsR") << "no frame in configuration mode";
  EXPECT_EQ(acksOf(items), "CfsR");
  EXPECT_EQ(emulator.counters().acks_sent, 4u);
  EXPECT_FALSE(emulator.inConfigMode());
  ASSERT_TRUE(emulator.savedFilterSetting().has_value());
  EXPECT_EQ(*emulator.savedFilterSetting(), (SensorEmulator::FilterSetting{86, 0, 0, 1}));
}

TEST(SensorEmulatorCommand, CommandsWrittenOneByOne_EachAckedOnce) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  const std::vector<std::pair<std::string, char>> steps = {
      {"C", 'C'}, {"f,172,0,0,1", 'f'}, {"s", 's'}, {"R", 'R'}};
  std::string expected;
  for (const auto& step : steps) {
    ASSERT_TRUE(line.send(step.first));
    expected.push_back(step.second);
    ASSERT_TRUE(line.readAcks(expected)) << step.first;
    EXPECT_EQ(acksOf(splitLine(line.bytes())), expected) << "exactly one ack per command";
  }
  EXPECT_EQ(emulator.commandLog(), (Log{"C", "f,172,0,0,1", "s", "R"}));
  EXPECT_EQ(emulator.counters().acks_sent, 4u);
  EXPECT_EQ(emulator.rateHz(), 250.0);
}

TEST(SensorEmulatorCommand, FilterCommandLastOnLine_EndsWhenLineIdle) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.send("Cf,430,0,0,1"));
  ASSERT_TRUE(emulator.waitForCommands(2, kGuard));
  EXPECT_EQ(emulator.commandLog(), (Log{"C", "f,430,0,0,1"}));
  EXPECT_EQ(emulator.filterSetting(), (SensorEmulator::FilterSetting{430, 0, 0, 1}));
  EXPECT_EQ(emulator.rateHz(), 100.0);
  EXPECT_FALSE(emulator.savedFilterSetting().has_value()) << "not saved without s";
  EXPECT_TRUE(line.readAcks("Cf"));
}

TEST(SensorEmulatorCommand, UnknownBytesAndFilterValue_IgnoredOrRateKept) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.send("xyz\nC"));
  ASSERT_TRUE(emulator.waitForCommands(1, kGuard));
  EXPECT_EQ(emulator.counters().ignored_bytes, 4u);
  ASSERT_TRUE(line.send("f,999,0,0,1s"));
  ASSERT_TRUE(emulator.waitForCommands(3, kGuard));
  EXPECT_EQ(emulator.commandLog(), (Log{"C", "f,999,0,0,1", "s"}));
  EXPECT_EQ(emulator.filterSetting(), (SensorEmulator::FilterSetting{999, 0, 0, 1}));
  EXPECT_EQ(emulator.rateHz(), 500.0) << "an unknown setting leaves the rate";
  EXPECT_TRUE(line.readAcks("Cfs"));
  EXPECT_EQ(emulator.counters().acks_sent, 3u);
}

TEST(SensorEmulatorCommand, ConfigMode_NoFramesUntilRunThenSequenceResumes) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(5));
  ASSERT_TRUE(line.send("C"));
  ASSERT_TRUE(line.readAcks("C"));
  EXPECT_TRUE(emulator.inConfigMode());
  const std::vector<LineItem> before = splitLine(line.bytes());
  ASSERT_EQ(before.back().kind, LineItem::Kind::ack) << "nothing after the ack of C";
  const std::uint32_t last_sequence = SensorEmulator::decodeStamp(framesOf(before).back()).sequence;
  const std::uint64_t frames_at_c = emulator.framesSent();

  // Watch the line for 50 ms, i.e. 25 frame periods at 500 Hz: silent.
  pollfd pfd{line.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 50), 0);
  EXPECT_EQ(line.readPending(), 0u);
  EXPECT_EQ(emulator.framesSent(), frames_at_c);

  ASSERT_TRUE(line.send("R"));
  ASSERT_TRUE(line.readAcks("CR"));
  ASSERT_TRUE(line.readUntil(
      [](const std::vector<std::uint8_t>& b) { return framesAfterLastAck(b).size() >= 3; }));
  const std::vector<RxFrame> after = framesAfterLastAck(line.bytes());
  EXPECT_EQ(SensorEmulator::decodeStamp(after.front()).sequence, last_sequence + 1);
  EXPECT_FALSE(emulator.inConfigMode());
}

TEST(SensorEmulatorCommand, FilterSettings_SwitchRateInReportAndSendTimes) {
  struct Step {
    const char* command;  // empty: the default before any command
    double rate_hz;
    double period_us;
    std::size_t frames;  // about 0.2 s of frames
  };
  const Step steps[] = {{"", 500.0, 2000.0, 100},
                        {"f,172,0,0,1", 250.0, 4000.0, 50},
                        {"f,430,0,0,1", 100.0, 10000.0, 20},
                        {"f,86,0,0,1", 500.0, 2000.0, 100}};
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  std::string acks;
  for (const Step& step : steps) {
    if (*step.command != '\0') {
      ASSERT_TRUE(line.send("C"));
      ASSERT_TRUE(line.send(step.command));
      ASSERT_TRUE(line.send("s"));
      ASSERT_TRUE(line.send("R"));
      acks += "CfsR";
      ASSERT_TRUE(line.readAcks(acks)) << step.command;
    }
    ASSERT_TRUE(line.readUntil([&](const std::vector<std::uint8_t>& b) {
      return framesAfterLastAck(b).size() >= step.frames;
    })) << step.command;
    EXPECT_EQ(emulator.rateHz(), step.rate_hz);
    const double spacing = meanSpacingUs(framesAfterLastAck(line.bytes()));
    // The send times are data. A loaded machine can only make frames late,
    // never early, so only the lower bound is asserted: frames at a higher
    // rate than configured would break it, a lower rate shows in rateHz().
    EXPECT_GE(spacing, 0.9 * step.period_us) << step.command;
  }
}

}  // namespace
