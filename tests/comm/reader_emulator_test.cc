// The sensor reader over the sensor emulator's pseudo-terminal: publication of
// "frame" and "sensor_health", the cycle count in "frame_counter", the
// diagnostics' episodes on standard output (on the test's clock),
// last_ft_data and resynchronisation after garbage. Cycles run on the test's
// thread, so the pending bytes are exact.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/sensor_reader.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/comm/testable_comm.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::SensorHealth;
using vorel_device::Wrench;
using vorel_sim::SensorEmulator;
using vorel_test::RxFrame;
using vorel_test::TestableComm;

constexpr int kFrameSize = static_cast<int>(RxFrame::kSize);
// Exact in float32, so float -> double round trips are exact.
const Wrench kWrenchA{{1.5, -2.25, 10.0, 0.125, -0.5, 0.0625}};
const Wrench kWrenchB{{-40.0, 3.75, 0.5, -0.25, 2.0, -8.5}};

class ReaderTest : public testing::Test {
 protected:
  ReaderTest() {
    TestableComm::now_ms = 0;
    comm.setPort(line.port);
    line.emulator.setWrench(kWrenchA);
  }

  RxFrame published() { return view.read<RxFrame>(ss::kFrame); }

  // One reader cycle on the test's thread; what it printed.
  std::string cycle() {
    comm.allowDrain();
    testing::internal::CaptureStdout();
    comm.readSensor();
    comm.flushLines();
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
  const char* line;
};

class ReaderStatusTest : public ReaderTest, public testing::WithParamInterface<StatusCase> {};

INSTANTIATE_TEST_SUITE_P(
    Flags, ReaderStatusTest,
    testing::Values(StatusCase{0x0004,
                               "No valid forces: status 0x0004 (app_took_too_long 0, overrange 0, "
                               "invalid_measurements 1, raw_measurements 0)\n"},
                    StatusCase{0x000B,
                               "No valid forces: status 0x000B (app_took_too_long 1, overrange 1, "
                               "invalid_measurements 0, raw_measurements 1)\n"},
                    StatusCase{0x0100,  // an unnamed bit
                               "No valid forces: status 0x0100 (app_took_too_long 0, overrange 0, "
                               "invalid_measurements 0, raw_measurements 0)\n"}),
    [](const testing::TestParamInfo<StatusCase>& info) {
      return "Status" + std::to_string(info.param.status);
    });

// A flagged frame is published and its flags printed on one line; the last
// valid values stay.
TEST_P(ReaderStatusTest, FlaggedFrame_PublishedWithFlagsPrintedValuesKept) {
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), "");
  line.emulator.setWrench(kWrenchB);
  line.emulator.setStatus(GetParam().status);
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), GetParam().line);
  expectPublishedNewest(kWrenchB, GetParam().status);
  EXPECT_EQ(view.read<SensorHealth>(ss::kSensorHealth).last_status, GetParam().status);
  EXPECT_EQ(ftData(), std::vector<double>(kWrenchA.data, kWrenchA.data + 6));
}

// Flagged frames in two cycles are one episode; it ends with the first cycle
// a second after the last flagged frame, with their count and span.
TEST_F(ReaderTest, FlaggedFramesThenClean_OneEndLineAfterQuietSecond) {
  line.emulator.setStatus(0x0002);
  for (const std::int64_t t : {100, 105}) {
    TestableComm::now_ms = t;
    ASSERT_TRUE(line.stream(2 * kFrameSize));
    EXPECT_EQ(cycle().rfind("No valid forces: status 0x0002 (", 0),
              t == 100 ? 0u : std::string::npos);
  }
  const std::uint64_t flagged = comm.flaggedFrames();
  line.emulator.setStatus(0);
  ASSERT_TRUE(line.stream(kFrameSize));
  TestableComm::now_ms = 1104;
  EXPECT_EQ(cycle(), "");
  TestableComm::now_ms = 1105;
  EXPECT_EQ(cycle(), "End of flagged frames: " + std::to_string(flagged) + " frames in 5 ms\n");
  EXPECT_GE(flagged, 4u);  // every flagged frame counts, not only the published ones
}

// In sync, wrong CRCs are counted, the first printed; nothing is published.
TEST_F(ReaderTest, WrongCrcsInSync_CountedOneLineNothingPublished) {
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), "");
  const RxFrame good = published();
  line.emulator.corruptNextCrcs(1000000);
  for (const std::int64_t t : {200, 207}) {
    TestableComm::now_ms = t;
    ASSERT_TRUE(line.stream(kFrameSize, kFrameSize));  // exactly one frame, CRC wrong
    EXPECT_EQ(cycle(), t == 200 ? "No valid frame: 1 (wrong CRC)\n" : "");
    EXPECT_TRUE(vorel_test::sameBytes(published(), good));
  }
  line.emulator.clearFaults();
  line.emulator.setWrench(kWrenchB);
  ASSERT_TRUE(line.stream(kFrameSize, kFrameSize));
  EXPECT_EQ(cycle(), "");
  expectPublishedNewest(kWrenchB, 0);
  const SensorHealth health = view.read<SensorHealth>(ss::kSensorHealth);
  EXPECT_EQ(health.frames_published, 2u);
  EXPECT_EQ(health.crc_errors, 2u);
  EXPECT_EQ(health.lost_sync_events, 0u);
  testing::internal::CaptureStdout();
  comm.finishDiagnostics();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "End of wrong CRCs: 2 frames in 7 ms (reader stopped)\n");
}

// Garbage while synced: the frame after it is found in the same cycle.
TEST_F(ReaderTest, GarbageWhileSynced_LostSyncAndFoundInSameCycle) {
  ASSERT_TRUE(line.stream(kFrameSize));
  EXPECT_EQ(cycle(), "");
  line.emulator.sendGarbage(10);
  line.emulator.setWrench(kWrenchB);
  ASSERT_TRUE(line.stream(kFrameSize + 10, kFrameSize + 10));
  TestableComm::now_ms = 300;
  EXPECT_EQ(cycle(), "lost sync, trying to reconnect (no frame start where one was expected)\n");
  expectPublishedNewest(kWrenchB, 0);
  TestableComm::now_ms = 1300;
  EXPECT_EQ(cycle(), "End of lost sync: 0 frames skipped (10 bytes), sync lost 1 time, in 0 ms\n");
  EXPECT_EQ(view.read<SensorHealth>(ss::kSensorHealth).lost_sync_events, 1u);
}

}  // namespace
