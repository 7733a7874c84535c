// The emulator's line faults as they arrive on a real pseudo-terminal. Each
// row injects its fault after the first frames; the test then reads every
// byte the emulator sent (after stop()) and counts what the line shows
// against the emulator's counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "sim/sensor/sensor_emulator.h"
#include "tests/sim/sensor_line.h"

namespace {

using vorel_device::RxFrame;
using vorel_sim::SensorEmulator;
using vorel_sim_test::crcOk;
using vorel_sim_test::SensorLine;
using Counters = SensorEmulator::Counters;

// What the line shows: frames found by header and CRC (right, or inverted),
// among them the flagged ones (a status bit and 1000 on every axis) and the
// NaN ones; sequence numbers skipped between found frames; other bytes.
struct Census {
  std::uint64_t valid = 0, inverted = 0, flagged = 0, nan = 0, skipped = 0, other = 0;
  std::uint64_t lost = 0;  // frames sent but not found
};

Census census(const std::vector<std::uint8_t>& b) {
  Census n;
  std::int64_t last = -1;
  for (std::size_t i = 0; i < b.size();) {
    RxFrame f{};
    if (i + RxFrame::kSize <= b.size())
      std::memcpy(&f, &b[i], RxFrame::kSize);
    const std::uint16_t crc = f.crc;
    const bool valid = f.header == RxFrame::kHeader && crcOk(f);
    const bool inverted =
        f.header == RxFrame::kHeader && !valid &&
        static_cast<std::uint16_t>(~crc) == vorel_device::SensorProtocol::crc16_x25(f.data(), 34);
    if (!valid && !inverted) {
      ++n.other;
      ++i;
      continue;
    }
    (valid ? n.valid : n.inverted) += 1;
    const std::uint16_t status = f.status;
    const float ft[6] = {f.ft_data[0], f.ft_data[1], f.ft_data[2],
                         f.ft_data[3], f.ft_data[4], f.ft_data[5]};
    n.flagged += status != 0 && std::count(ft, ft + 6, 1000.0f) == 6 ? 1 : 0;
    n.nan += std::isnan(ft[2]) ? 1 : 0;
    const std::int64_t sequence = SensorEmulator::decodeStamp(f).sequence;
    n.skipped += last < 0 ? 0 : static_cast<std::uint64_t>(sequence - last - 1);
    last = sequence;
    i += RxFrame::kSize;
  }
  return n;
}

// A fault, the frames sent after it, and the count on the line that shows it
// (at least `min`, at most `max`).
struct FaultRow {
  const char* name;
  std::function<void(SensorEmulator&)> inject;
  std::uint64_t frames_after;
  std::uint64_t Census::*shows;
  std::uint64_t min, max;
  friend void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }
};

class SensorEmulatorFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(SensorEmulatorFaults, Fault_InjectedOnTheLine_MatchesItsCounters) {
  const FaultRow& row = GetParam();
  SensorEmulator emulator(7);
  SensorLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readUntil([&] { return line.bytes.size() >= 3 * RxFrame::kSize; }));
  row.inject(emulator);
  const std::uint64_t until = emulator.framesSent() + row.frames_after;
  ASSERT_TRUE(line.readUntil([&] { return emulator.framesSent() >= until; }));
  emulator.stop();
  ASSERT_TRUE(line.readUntil([&] { return line.bytes.size() >= emulator.bytesSent(); }));
  const Counters c = emulator.counters();
  Census n = census(line.bytes);
  n.lost = c.frames_sent - n.valid - n.inverted;
  EXPECT_GE(n.*row.shows, row.min);
  EXPECT_LE(n.*row.shows, row.max);
  ASSERT_EQ(line.bytes.size(), c.bytes_sent);
  EXPECT_EQ(c.bytes_sent,
            c.frames_sent * RxFrame::kSize - c.bytes_dropped + c.bytes_inserted + c.garbage_bytes);
  EXPECT_EQ(n.flagged, c.status_frames);
  EXPECT_EQ(n.nan, c.nan_frames);
  // Garbage either takes the place of frames (one event per frame time) or
  // comes as one burst between two frames.
  const std::uint64_t garbage_events =
      c.garbage_bytes == 0 ? 0 : std::max<std::uint64_t>(n.skipped, 1);
  EXPECT_EQ(c.faults_injected, c.crc_errors + c.bytes_dropped + c.bytes_inserted + c.status_frames +
                                   c.nan_frames + garbage_events);
  if (c.bytes_dropped + c.bytes_inserted == 0) {
    EXPECT_EQ(n.lost, 0u);
    EXPECT_EQ(n.inverted, c.crc_errors);
    EXPECT_EQ(n.other, c.garbage_bytes);
    EXPECT_TRUE(n.skipped == 0 || n.skipped * RxFrame::kSize == c.garbage_bytes);
  }
}

const auto kAny = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Faults, SensorEmulatorFaults,
    ::testing::Values(
        FaultRow{"NextThreeCrcs", [](SensorEmulator& e) { e.corruptNextCrcs(3); }, 10,
                 &Census::inverted, 3, 3},
        FaultRow{"CrcProbability", [](SensorEmulator& e) { e.setCrcErrorProbability(0.3); }, 100,
                 &Census::inverted, 1, 99},
        FaultRow{"GarbageBurst", [](SensorEmulator& e) { e.sendGarbage(100); }, 3, &Census::other,
                 100, 100},
        FaultRow{"GarbageInsteadOfFrames",
                 [](SensorEmulator& e) { e.sendGarbageFor(std::chrono::milliseconds(20)); }, 3,
                 &Census::skipped, 1, kAny},
        FaultRow{"BytesDroppedAndInserted",
                 [](SensorEmulator& e) {
                   e.setByteDropProbability(0.01);
                   e.setByteInsertProbability(0.01);
                 },
                 200, &Census::lost, 1, kAny},
        FaultRow{"EveryFrameFlagged", [](SensorEmulator& e) { e.setStatusFault(0x04, 1.0); }, 5,
                 &Census::flagged, 5, kAny},
        FaultRow{"OneNanFrame", [](SensorEmulator& e) { e.sendNanFrame(); }, 3, &Census::nan, 1,
                 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
