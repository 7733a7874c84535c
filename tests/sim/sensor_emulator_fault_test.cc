// Faults injected by the emulator, as they arrive on a real pseudo-terminal.
// Exact byte counts are compared after stop(): then everything the emulator
// counted has been written, and the test reads until it has all of it.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "sim/sensor/sensor_emulator.h"
#include "tests/sim/slave_line.h"

namespace {

using vorel_device::RxFrame;
using vorel_sim::SensorEmulator;
using vorel_sim_test::crcOk;
using vorel_sim_test::framesOf;
using vorel_sim_test::kGuard;
using vorel_sim_test::LineItem;
using vorel_sim_test::SlaveLine;
using vorel_sim_test::splitLine;
using vorel_sim_test::validFrameOffsets;

// Stops the emulator and reads every byte it sent.
void stopAndDrain(SensorEmulator& emulator, SlaveLine& line) {
  emulator.stop();
  ASSERT_TRUE(line.readAtLeast(emulator.bytesSent()));
  ASSERT_EQ(line.bytes().size(), emulator.bytesSent());
}

// Polls `condition` until it holds; false after the guard.
bool eventually(const std::function<bool()>& condition) {
  const auto give_up = std::chrono::steady_clock::now() + kGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::uint32_t sequenceAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  RxFrame frame;
  std::memcpy(&frame, &bytes[offset], RxFrame::kSize);
  return SensorEmulator::decodeStamp(frame).sequence;
}

TEST(SensorEmulatorFault, CorruptNextThree_ThreeConsecutiveFramesWithWrongCrc) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(3));
  emulator.corruptNextCrcs(3);
  ASSERT_TRUE(line.readFrames(15));
  ASSERT_NO_FATAL_FAILURE(stopAndDrain(emulator, line));

  const std::vector<LineItem> items = splitLine(line.bytes());
  const std::vector<RxFrame> frames = framesOf(items);
  ASSERT_EQ(frames.size(), items.size()) << "headers intact, stream aligned";
  std::vector<std::size_t> bad;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (!crcOk(frames[i]))
      bad.push_back(i);
    EXPECT_EQ(SensorEmulator::decodeStamp(frames[i]).sequence, i);
  }
  ASSERT_EQ(bad.size(), 3u);
  EXPECT_EQ(bad[1], bad[0] + 1);
  EXPECT_EQ(bad[2], bad[0] + 2);
  EXPECT_GE(bad[0], 3u);
  const SensorEmulator::Counters c = emulator.counters();
  EXPECT_EQ(c.crc_errors, 3u);
  EXPECT_EQ(c.faults_injected, 3u);
}

TEST(SensorEmulatorFault, CrcProbability_WrongCrcsOnLineMatchCounter) {
  SensorEmulator emulator(2024);
  SlaveLine line(emulator.slavePath());
  emulator.setCrcErrorProbability(0.3);
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(100));
  ASSERT_NO_FATAL_FAILURE(stopAndDrain(emulator, line));
  const std::vector<RxFrame> frames = framesOf(splitLine(line.bytes()));
  ASSERT_EQ(frames.size(), emulator.framesSent());
  std::uint64_t bad = 0;
  for (const RxFrame& f : frames)
    bad += crcOk(f) ? 0 : 1;
  EXPECT_EQ(bad, emulator.counters().crc_errors);
  EXPECT_GT(bad, 0u);
  EXPECT_LT(bad, frames.size());
}

TEST(SensorEmulatorFault, GarbageBurst_BytesBetweenTwoConsecutiveFrames) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(3));
  emulator.sendGarbage(100);
  ASSERT_TRUE(eventually([&] { return emulator.counters().garbage_bytes == 100; }));
  const std::uint64_t frames_at_garbage = emulator.framesSent();
  ASSERT_TRUE(line.readUntil([&](const std::vector<std::uint8_t>& b) {
    return validFrameOffsets(b).size() >= frames_at_garbage + 3;
  }));
  ASSERT_NO_FATAL_FAILURE(stopAndDrain(emulator, line));

  const std::vector<std::uint8_t>& bytes = line.bytes();
  const std::vector<std::size_t> offsets = validFrameOffsets(bytes);
  const SensorEmulator::Counters c = emulator.counters();
  ASSERT_EQ(offsets.size(), c.frames_sent);
  EXPECT_EQ(bytes.size(), c.frames_sent * RxFrame::kSize + 100);
  EXPECT_EQ(offsets.front(), 0u);
  int bursts = 0;
  for (std::size_t i = 1; i < offsets.size(); ++i) {
    const std::size_t gap = offsets[i] - offsets[i - 1];
    if (gap != RxFrame::kSize) {
      EXPECT_EQ(gap, RxFrame::kSize + 100);
      ++bursts;
    }
    EXPECT_EQ(sequenceAt(bytes, offsets[i]), sequenceAt(bytes, offsets[i - 1]) + 1);
  }
  EXPECT_EQ(bursts, 1);
  EXPECT_EQ(c.faults_injected, 1u);
}

TEST(SensorEmulatorFault, GarbageForDuration_ReplacesFramesAndSkipsTheirNumbers) {
  SensorEmulator emulator(77);
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(3));
  emulator.sendGarbageFor(std::chrono::milliseconds(20));
  ASSERT_TRUE(eventually([&] { return emulator.counters().garbage_bytes > 0; }));
  // No frame is sent while the garbage lasts: frames after it end the wait.
  const std::uint64_t frames_at_garbage = emulator.framesSent();
  ASSERT_TRUE(line.readUntil([&](const std::vector<std::uint8_t>&) {
    return emulator.framesSent() >= frames_at_garbage + 3;
  }));
  ASSERT_NO_FATAL_FAILURE(stopAndDrain(emulator, line));

  const SensorEmulator::Counters c = emulator.counters();
  ASSERT_GT(c.garbage_bytes, 0u);
  EXPECT_EQ(c.garbage_bytes % RxFrame::kSize, 0u);
  EXPECT_EQ(line.bytes().size(), c.frames_sent * RxFrame::kSize + c.garbage_bytes);
  const std::vector<std::size_t> offsets = validFrameOffsets(line.bytes());
  ASSERT_EQ(offsets.size(), c.frames_sent);
  const std::uint32_t last = sequenceAt(line.bytes(), offsets.back());
  EXPECT_EQ(last + 1, c.frames_sent + c.garbage_bytes / RxFrame::kSize)
      << "every garbage slot used up one sequence number";
  EXPECT_EQ(c.faults_injected, c.garbage_bytes / RxFrame::kSize);
}

TEST(SensorEmulatorFault, DropAndInsertBytes_LineLengthFollowsCounters) {
  SensorEmulator emulator(99);
  SlaveLine line(emulator.slavePath());
  emulator.setByteDropProbability(0.01);
  emulator.setByteInsertProbability(0.01);
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readUntil(
      [&](const std::vector<std::uint8_t>&) { return emulator.framesSent() >= 200; }));
  ASSERT_NO_FATAL_FAILURE(stopAndDrain(emulator, line));

  const SensorEmulator::Counters c = emulator.counters();
  EXPECT_GT(c.bytes_dropped, 0u);
  EXPECT_GT(c.bytes_inserted, 0u);
  EXPECT_EQ(c.bytes_sent, c.frames_sent * RxFrame::kSize - c.bytes_dropped + c.bytes_inserted);
  EXPECT_EQ(c.faults_injected, c.bytes_dropped + c.bytes_inserted);
  EXPECT_LT(validFrameOffsets(line.bytes()).size(), c.frames_sent);
}

TEST(SensorEmulatorFault, HangUp_DevicePortSeesHangUpAndNoRestart) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(2));
  emulator.hangUp();
  EXPECT_TRUE(emulator.hungUp());
  EXPECT_FALSE(emulator.running());
  EXPECT_FALSE(emulator.start()) << "a hung-up line cannot come back";

  pollfd pfd{line.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, static_cast<int>(std::chrono::milliseconds(kGuard).count())), 1);
  EXPECT_NE(pfd.revents & POLLHUP, 0);
  std::uint8_t buf[64];
  const ssize_t n = ::read(line.fd(), buf, sizeof(buf));
  const int read_errno = errno;
  EXPECT_TRUE(n == 0 || (n < 0 && read_errno == EIO)) << n << " " << read_errno;
  EXPECT_EQ(vorel_device::serial_port::pending(line.fd()), 0);
  EXPECT_LT(vorel_device::serial_port::write(line.fd(), "C", 1), 0);
  emulator.stop();  // harmless after the hang-up
}

TEST(SensorEmulatorFault, NobodyReading_LineFullLosesBytesButNeverBlocks) {
  SensorEmulator emulator;
  ASSERT_TRUE(emulator.start());
  emulator.sendGarbage(std::size_t{1} << 20);
  ASSERT_TRUE(eventually([&] { return emulator.counters().bytes_lost > 0; }));
  emulator.stop();
  EXPECT_FALSE(emulator.running());
  const SensorEmulator::Counters c = emulator.counters();
  EXPECT_EQ(c.bytes_sent + c.bytes_lost, c.garbage_bytes + c.frames_sent * RxFrame::kSize);
}

TEST(SensorEmulatorFault, BadProbability_RefusedWithMessage) {
  SensorEmulator emulator;
  EXPECT_THROW(emulator.setCrcErrorProbability(-0.5), std::invalid_argument);
  EXPECT_THROW(emulator.setByteDropProbability(1.01), std::invalid_argument);
  EXPECT_THROW(emulator.setByteInsertProbability(std::numeric_limits<double>::quiet_NaN()),
               std::invalid_argument);
}

}  // namespace
