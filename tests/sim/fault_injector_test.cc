#include "sim/sensor/fault_injector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "comm/sensor_protocol.h"

namespace {

using vorel_device::RxFrame;
using vorel_sim::FaultInjector;

RxFrame sampleFrame(std::uint8_t fill) {
  RxFrame frame;
  std::memset(&frame, fill, sizeof(frame));
  frame.header = RxFrame::kHeader;
  frame.crc = vorel_device::SensorProtocol::crc16_x25(frame.data(), RxFrame::kDataSize);
  return frame;
}

RxFrame asFrame(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  RxFrame frame;
  std::memcpy(&frame, bytes.data() + offset, sizeof(frame));
  return frame;
}

TEST(FaultInjector, NoFaults_FrameBytesUnchanged) {
  FaultInjector faults(7);
  const RxFrame frame = sampleFrame(0x11);
  std::vector<std::uint8_t> out;
  const FaultInjector::Tally tally = faults.encode(frame, out);
  ASSERT_EQ(out.size(), RxFrame::kSize);
  EXPECT_EQ(std::memcmp(out.data(), frame.bytes(), RxFrame::kSize), 0);
  EXPECT_FALSE(tally.crc_corrupted);
  EXPECT_EQ(tally.bytes_dropped, 0u);
  EXPECT_EQ(tally.bytes_inserted, 0u);
}

TEST(FaultInjector, CorruptNextThree_OnlyThoseCarryInvertedCrc) {
  FaultInjector faults(7);
  faults.corruptNextCrcs(3);
  const RxFrame frame = sampleFrame(0x22);
  for (int i = 0; i < 5; ++i) {
    std::vector<std::uint8_t> out;
    const bool corrupted = faults.encode(frame, out).crc_corrupted;
    const RxFrame sent = asFrame(out, 0);
    EXPECT_EQ(corrupted, i < 3) << i;
    const std::uint16_t sent_crc = sent.crc;
    const std::uint16_t frame_crc = frame.crc;
    EXPECT_EQ(sent_crc, corrupted ? static_cast<std::uint16_t>(~frame_crc) : frame_crc) << i;
    EXPECT_EQ(std::memcmp(sent.bytes(), frame.bytes(), 35), 0) << "only the CRC changes";
  }
  EXPECT_EQ(faults.pendingCrcCorruptions(), 0u);
}

TEST(FaultInjector, CrcProbability_SameSeedSameFramesAndPlausibleShare) {
  FaultInjector a(42);
  FaultInjector b(42);
  a.setCrcErrorProbability(0.25);
  b.setCrcErrorProbability(0.25);
  const RxFrame frame = sampleFrame(0x33);
  int corrupted = 0;
  for (int i = 0; i < 4000; ++i) {
    std::vector<std::uint8_t> out_a;
    std::vector<std::uint8_t> out_b;
    const bool ca = a.encode(frame, out_a).crc_corrupted;
    ASSERT_EQ(ca, b.encode(frame, out_b).crc_corrupted) << i;
    ASSERT_EQ(out_a, out_b);
    corrupted += ca ? 1 : 0;
  }
  // Binomial(4000, 0.25): mean 1000, standard deviation 27.
  EXPECT_GT(corrupted, 850);
  EXPECT_LT(corrupted, 1150);
}

TEST(FaultInjector, CertainByteFaults_AllDroppedOrEveryByteFollowed) {
  const RxFrame frame = sampleFrame(0x55);
  FaultInjector dropping(1);
  dropping.setByteDropProbability(1.0);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(dropping.encode(frame, out).bytes_dropped, RxFrame::kSize);
  EXPECT_TRUE(out.empty());

  FaultInjector inserting(1);
  inserting.setByteInsertProbability(1.0);
  EXPECT_EQ(inserting.encode(frame, out).bytes_inserted, RxFrame::kSize);
  ASSERT_EQ(out.size(), 2 * RxFrame::kSize);
  for (std::size_t i = 0; i < RxFrame::kSize; ++i)
    EXPECT_EQ(out[2 * i], frame.bytes()[i]) << i;
}

TEST(FaultInjector, Garbage_CountAndSpreadOfValues) {
  FaultInjector faults(5);
  std::vector<std::uint8_t> out{0x01};
  faults.garbage(25600, out);
  ASSERT_EQ(out.size(), 25601u);
  std::vector<int> histogram(256, 0);
  for (std::size_t i = 1; i < out.size(); ++i)
    ++histogram[out[i]];
  for (int value = 0; value < 256; ++value)
    EXPECT_GT(histogram[value], 40) << value;  // mean 100
}

TEST(FaultInjector, ProbabilityOutOfRange_RefusedAndSettingKept) {
  FaultInjector faults(1);
  faults.setByteDropProbability(0.5);
  for (double bad : {-0.1, 1.5, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(faults.setByteDropProbability(bad), std::invalid_argument) << bad;
    EXPECT_THROW(faults.setByteInsertProbability(bad), std::invalid_argument) << bad;
    EXPECT_THROW(faults.setCrcErrorProbability(bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(faults.byteDropProbability(), 0.5);
  try {
    faults.setCrcErrorProbability(2.0);
    ADD_FAILURE() << "2.0 accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "CRC error probability must lie in [0, 1], got 2.000000");
  }
}

TEST(FaultInjector, Clear_AllFaultsOff) {
  FaultInjector faults(3);
  faults.corruptNextCrcs(4);
  faults.setCrcErrorProbability(1.0);
  faults.setByteDropProbability(1.0);
  faults.setByteInsertProbability(1.0);
  faults.clear();
  const RxFrame frame = sampleFrame(0x77);
  std::vector<std::uint8_t> out;
  const FaultInjector::Tally tally = faults.encode(frame, out);
  EXPECT_FALSE(tally.crc_corrupted);
  ASSERT_EQ(out.size(), RxFrame::kSize);
  EXPECT_EQ(std::memcmp(out.data(), frame.bytes(), RxFrame::kSize), 0);
}

}  // namespace
