// The emulated sensor over a real pseudo-terminal: its frames against bytes
// computed independently (Python struct packing and a bitwise CRC-16/X-25
// checked against its check value 0x906E for "123456789"), and its answer to
// the configuration commands as the device writes them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/sensor/sensor_emulator.h"
#include "tests/sim/sensor_line.h"

namespace {

using vorel_sim::SensorEmulator;
using vorel_sim_test::crcOk;
using vorel_sim_test::cut;
using vorel_sim_test::SensorLine;

// Wrench (1.5, -2.25, 9.81) N, (0.125, -0.5, 3.0) N m, status 0x0004,
// sequence 0x01020304, send time 0xA1B2C3D4 us.
const std::uint8_t kGolden[37] = {0xAA, 0x04, 0x00, 0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x10,
                                  0xC0, 0xC3, 0xF5, 0x1C, 0x41, 0x00, 0x00, 0x00, 0x3E, 0x00,
                                  0x00, 0x00, 0xBF, 0x00, 0x00, 0x40, 0x40, 0x04, 0x03, 0x02,
                                  0x01, 0xD4, 0xC3, 0xB2, 0xA1, 0x7A, 0x11};

const vorel_device::Wrench kGoldenWrench{{1.5, -2.25, 9.81, 0.125, -0.5, 3.0}};

TEST(SensorEmulatorFrame, Frame_KnownWrenchStatusAndStamp_GoldenBytes) {
  const auto frame = SensorEmulator::makeFrame(kGoldenWrench, 0x0004, {0x01020304, 0xA1B2C3D4});
  EXPECT_EQ(std::vector<std::uint8_t>(frame.bytes(), frame.bytes() + 37),
            std::vector<std::uint8_t>(kGolden, kGolden + 37));
  EXPECT_EQ(SensorEmulator::decodeStamp(frame).sequence, 0x01020304u);
  EXPECT_EQ(SensorEmulator::decodeStamp(frame).send_time_us, 0xA1B2C3D4u);
}

// Commands written to the line (one write each; none: each command of the log
// in a write of its own), the commands the emulator takes from them, the bytes
// it ignores, and the rate and saved setting after.
struct CommandRow {
  const char* name;
  std::vector<std::string> writes;
  std::vector<std::string> log;
  std::uint64_t ignored;
  double rate_hz;
  std::uint32_t saved;  // first value of the saved filter setting; 0: none saved
  friend void PrintTo(const CommandRow& row, std::ostream* out) { *out << row.name; }
};

class SensorEmulatorCommands : public ::testing::TestWithParam<CommandRow> {};

// `shape` (one letter per frame "F" or acknowledgement) is frames, then the
// acknowledgements `acks` in one run, then frames again when `frames_after`.
bool shapeIs(const std::string& shape, const std::string& acks, bool frames_after) {
  const auto first = shape.find_first_not_of('F');
  if (first == 0 || first == std::string::npos || shape.compare(first, acks.size(), acks) != 0)
    return false;
  const std::string rest = shape.substr(first + acks.size());
  return frames_after ? !rest.empty() && rest.find_first_not_of('F') == std::string::npos
                      : rest.empty();
}

TEST_P(SensorEmulatorCommands, Commands_WrittenOnTheLine_AckedAndApplied) {
  const CommandRow& row = GetParam();
  SensorEmulator emulator;
  SensorLine line(emulator.slavePath());
  emulator.setWrench(kGoldenWrench);
  emulator.setStatus(0x0004);
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readUntil([&] { return cut(line.bytes).frames.size() >= 2; }));
  // The first frame on the line: the golden bytes up to its stamp.
  const auto first = cut(line.bytes).frames[0];
  EXPECT_EQ(std::memcmp(first.bytes(), kGolden, 27), 0);
  EXPECT_TRUE(crcOk(first));
  EXPECT_EQ(SensorEmulator::decodeStamp(first).sequence, 0u);

  for (const auto& text : row.writes.empty() ? row.log : row.writes)
    ASSERT_TRUE(line.send(text));
  std::string acks;  // one acknowledgement per command: its letter
  for (const auto& command : row.log)
    acks += command[0];
  // Acknowledgements never split a frame, and no frame comes between "ACK C"
  // and "ACK R".
  const bool runs = acks.back() == 'R';
  ASSERT_TRUE(line.readUntil([&] { return shapeIs(cut(line.bytes).shape, acks, runs); }))
      << cut(line.bytes).shape;
  EXPECT_EQ(emulator.commandLog(), row.log);
  EXPECT_EQ(emulator.counters().ignored_bytes, row.ignored);
  EXPECT_EQ(emulator.rateHz(), row.rate_hz);
  EXPECT_EQ(emulator.savedFilterSetting().value_or(SensorEmulator::FilterSetting{})[0], row.saved);
  EXPECT_EQ(emulator.inConfigMode(), !runs);
  if (runs) {  // the sequence carries on after "ACK R"
    const auto c = cut(line.bytes);
    const auto before = c.shape.find('C');
    EXPECT_EQ(SensorEmulator::decodeStamp(c.frames[before]).sequence,
              SensorEmulator::decodeStamp(c.frames[before - 1]).sequence + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SensorEmulatorCommands,
    ::testing::Values(
        CommandRow{"OneWrite", {"Cf,86,0,0,1sR"}, {"C", "f,86,0,0,1", "s", "R"}, 0, 500.0, 86},
        CommandRow{"OneByOne", {}, {"C", "f,172,0,0,1", "s", "R"}, 0, 250.0, 172},
        CommandRow{"FilterEndedByIdleLine", {"Cf,430,0,0,1"}, {"C", "f,430,0,0,1"}, 0, 100.0, 0},
        CommandRow{"UnknownBytesAndSetting",
                   {"xyz\nC", "f,999,0,0,1s"},
                   {"C", "f,999,0,0,1", "s"},
                   4,
                   500.0,
                   999},
        CommandRow{"TooFewValues", {"Cf,86,0R"}, {"C", "R"}, 6, 500.0, 0},
        CommandRow{"ValueAbove32Bits", {"Cf,4294967296,0,0,1R"}, {"C", "R"}, 18, 500.0, 0},
        CommandRow{"SecondFStartsOver", {"Cff,1,2,3,4s"}, {"C", "f,1,2,3,4", "s"}, 1, 500.0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
