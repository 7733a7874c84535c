// The sensor reader over the sensor emulator's pseudo-terminal: publication of
// "frame" and "sensor_health", the cycle count in "frame_counter", the
// diagnostics on standard output, last_ft_data and resynchronisation after
// garbage. Cycles run on the test's thread, so the pending bytes are exact.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/VorelForceTorqueSensorComm.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/comm/testable_comm.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::SensorHealth;
using vorel_device::Wrench;
using vorel_sim::SensorEmulator;
using vorel_test::linesOf;
using vorel_test::RxFrame;

constexpr int kFrameSize = static_cast<int>(RxFrame::kSize);
// Exact in float32, so float -> double round trips are exact.
const Wrench kWrenchA{{1.5, -2.25, 10.0, 0.125, -0.5, 0.0625}};
const Wrench kWrenchB{{-40.0, 3.75, 0.5, -0.25, 2.0, -8.5}};

class ReaderTest : public testing::Test {
 protected:
  ReaderTest() {
    comm.setPort(line.port);
    line.emulator.setWrench(kWrenchA);
  }

  RxFrame published() { return view.read<RxFrame>(ss::kFrame); }

  // One reader cycle on the test's thread; what it printed.
  std::string cycle() {
    comm.allowDrain();
    testing::internal::CaptureStdout();
    comm.readSensor();
    return testing::internal::GetCapturedStdout();
  }

  // getFTData's values; its printed line into `printed`.
  std::vector<double> ftData(std::string* printed = nullptr) {
    double out[6];
    testing::internal::CaptureStdout();
    comm.getFTData(out);
    const std::string text = testing::internal::GetCapturedStdout();
    if (printed)
      *printed = text;
    return std::vector<double>(out, out + 6);
  }

  // The published frame is the emulator's newest, byte for byte, built from
  // this wrench and status.
  void expectPublishedNewest(const Wrench& wrench, std::uint16_t status) {
    const RxFrame frame = published();
    const SensorEmulator::FrameStamp stamp = SensorEmulator::decodeStamp(frame);
    EXPECT_TRUE(vorel_test::sameBytes(frame, SensorEmulator::makeFrame(wrench, status, stamp)));
    EXPECT_EQ(stamp.sequence, line.emulator.framesSent() - 1);
  }

  vorel_test::EmulatorLine line;
  vorel_test::TestableComm comm{5};
  vorel_test::SegmentView view;
};

TEST_F(ReaderTest, CyclesWithNothingPending_CountedAndNothingPublished) {
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(cycle(), "");
  EXPECT_EQ(view.read<std::int32_t>(ss::kFrameCounter), 3);
  EXPECT_TRUE(vorel_test::sameBytes(published(), RxFrame{}));
  std::string printed;
  EXPECT_EQ(ftData(&printed), std::vector<double>(6, 0.0));
  EXPECT_EQ(printed, "Read frames: 3\n");
  cycle();
  EXPECT_EQ(view.read<std::int32_t>(ss::kFrameCounter), 1);  // restarted by getFTData
}

TEST_F(ReaderTest, SeveralValidFramesPending_NewestPublishedSilently) {
  ASSERT_TRUE(line.stream(3 * kFrameSize));
  EXPECT_EQ(cycle(), "");
  EXPECT_EQ(line.pending(), 0);
  expectPublishedNewest(kWrenchA, 0);
  EXPECT_EQ(view.read<SensorHealth>(ss::kSensorHealth).frames_published, 1u);
  EXPECT_EQ(ftData(), std::vector<double>(kWrenchA.data, kWrenchA.data + 6));
}

struct StatusCase {
  std::uint16_t status;
  std::vector<std::string> printed;
};

class ReaderStatusTest : public ReaderTest, public testing::WithParamInterface<StatusCase> {};

INSTANTIATE_TEST_SUITE_P(Flags, ReaderStatusTest,
                         testing::Values(StatusCase{0x0004, {"0", "0", "1", "0"}},
                                         StatusCase{0x000B, {"1", "1", "0", "1"}},
                                         StatusCase{0x0100,
                                                    {"0", "0", "0", "0"}}),  // an unnamed bit
                         [](const testing::TestParamInfo<StatusCase>& info) {
                           return "Status" + std::to_string(info.param.status);
                         });

// A flagged frame is published and its flags printed; the last valid values
// stay.
TEST_P(ReaderStatusTest, FlaggedFrame_PublishedWithFlagsPrintedValuesKept) {
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), "");
  line.emulator.setWrench(kWrenchB);
  line.emulator.setStatus(GetParam().status);
  ASSERT_TRUE(line.stream(kFrameSize));
  const std::vector<std::string>& f = GetParam().printed;
  EXPECT_EQ(linesOf(cycle()),
            (std::vector<std::string>{"No valid forces:", " app_took_too_long: " + f[0],
                                      " overrange: " + f[1], " invalid_measurements: " + f[2],
                                      " raw_measurements: " + f[3]}));
  expectPublishedNewest(kWrenchB, GetParam().status);
  EXPECT_EQ(view.read<SensorHealth>(ss::kSensorHealth).last_status, GetParam().status);
  EXPECT_EQ(ftData(), std::vector<double>(kWrenchA.data, kWrenchA.data + 6));
}

TEST_F(ReaderTest, WrongCrcsInSync_CountedPrintedNothingPublished) {
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), "");
  const RxFrame good = published();
  line.emulator.corruptNextCrcs(1000000);
  for (int n = 1; n <= 2; ++n) {
    ASSERT_TRUE(line.stream(kFrameSize, kFrameSize));  // exactly one frame, CRC wrong
    EXPECT_EQ(cycle(), "No valid frame: " + std::to_string(n) + "\n");
    EXPECT_TRUE(vorel_test::sameBytes(published(), good));
  }
  line.emulator.clearFaults();
  line.emulator.setWrench(kWrenchB);
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), "");
  expectPublishedNewest(kWrenchB, 0);
  const SensorHealth health = view.read<SensorHealth>(ss::kSensorHealth);
  EXPECT_EQ(health.frames_published, 2u);
  EXPECT_EQ(health.crc_errors, 2u);
  EXPECT_EQ(health.lost_sync_events, 0u);
}

TEST_F(ReaderTest, GarbageWhileSynced_LostSyncPrintedThenResynchronised) {
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), "");
  // Ten garbage bytes, then a frame: the window starts ten bytes early.
  line.emulator.sendGarbage(10);
  ASSERT_TRUE(line.stream(kFrameSize + 10, kFrameSize + 10));
  EXPECT_EQ(cycle(), "lost sync, trying to reconnect\n");
  // A continuous stream lines up again within 27 more attempts.
  line.emulator.setWrench(kWrenchB);
  ASSERT_TRUE(line.stream(40 * kFrameSize));
  cycle();
  EXPECT_TRUE(comm.isSynced());
  expectPublishedNewest(kWrenchB, 0);
  EXPECT_EQ(view.read<SensorHealth>(ss::kSensorHealth).lost_sync_events, 1u);
}

}  // namespace
