// The emulator's measurement stream over a real pseudo-terminal, read as the
// device reads its port.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "sim/sensor/sensor_emulator.h"
#include "tests/sim/slave_line.h"

namespace {

using vorel_device::RxFrame;
using vorel_device::Wrench;
using vorel_sim::SensorEmulator;
using vorel_sim_test::framesOf;
using vorel_sim_test::ftAt;
using vorel_sim_test::LineItem;
using vorel_sim_test::SlaveLine;
using vorel_sim_test::splitLine;
using vorel_sim_test::statusOf;

Wrench makeWrench(double fx, double fy, double fz, double tx, double ty, double tz) {
  Wrench w;
  w[0] = fx;
  w[1] = fy;
  w[2] = fz;
  w[3] = tx;
  w[4] = ty;
  w[5] = tz;
  return w;
}

TEST(SensorEmulatorStream, DefaultRun_ValidFramesCarryWrenchStatusAndConsecutiveSequence) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_GE(line.fd(), 0);
  emulator.setWrench(makeWrench(1.5, -2.25, 9.81, 0.125, -0.5, 3.0));
  emulator.setStatus(0x0002);
  EXPECT_EQ(emulator.rateHz(), 500.0);
  EXPECT_FALSE(emulator.inConfigMode());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(20));

  const std::vector<LineItem> items = splitLine(line.bytes());
  const std::vector<RxFrame> frames = framesOf(items);
  ASSERT_EQ(frames.size(), items.size()) << "only frames on the line";
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const RxFrame& f = frames[i];
    EXPECT_EQ(f.header, 0xAA);
    EXPECT_TRUE(vorel_sim_test::crcOk(f)) << i;
    EXPECT_EQ(statusOf(f), 0x0002);
    EXPECT_EQ(ftAt(f, 0), 1.5f);
    EXPECT_EQ(ftAt(f, 1), -2.25f);
    EXPECT_EQ(ftAt(f, 2), 9.81f);
    EXPECT_EQ(ftAt(f, 3), 0.125f);
    EXPECT_EQ(ftAt(f, 4), -0.5f);
    EXPECT_EQ(ftAt(f, 5), 3.0f);
    EXPECT_EQ(SensorEmulator::decodeStamp(f).sequence, i) << "the first frame is number 0";
  }
  emulator.stop();
  const SensorEmulator::Counters c = emulator.counters();
  EXPECT_GE(c.frames_sent, frames.size());
  EXPECT_EQ(c.bytes_sent, c.frames_sent * RxFrame::kSize);
  EXPECT_EQ(c.faults_injected, 0u);
  EXPECT_EQ(c.acks_sent, 0u);
}

TEST(SensorEmulatorStream, SendTime_MonotonicMicrosecondsNotAhead) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  const std::uint32_t before = SensorEmulator::monotonicMicros();
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(10));
  const std::uint32_t after = SensorEmulator::monotonicMicros();
  std::uint32_t previous = before;
  for (const RxFrame& f : framesOf(splitLine(line.bytes()))) {
    const std::uint32_t sent = SensorEmulator::decodeStamp(f).send_time_us;
    // Differences in uint32 arithmetic survive the wrap at 2^32 us.
    EXPECT_LE(static_cast<std::uint32_t>(sent - before),
              static_cast<std::uint32_t>(after - before));
    EXPECT_GT(static_cast<std::uint32_t>(sent - previous), 0u);
    previous = sent;
  }
}

TEST(SensorEmulatorStream, Provider_CalledPerFrameWithFrameTime) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  std::atomic<int> calls{0};
  // The provider encodes the time it was given into the wrench (16 bits per
  // component, exact in float32), so each frame shows which time its wrench
  // was computed for.
  emulator.setWrenchProvider([&calls](SensorEmulator::Clock::time_point t) {
    ++calls;
    const auto us = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
    return makeWrench(us & 0xFFFF, us >> 16, 0, 0, 0, 0);
  });
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(10));
  emulator.stop();
  ASSERT_TRUE(line.readAtLeast(emulator.bytesSent()));
  const std::vector<RxFrame> frames = framesOf(splitLine(line.bytes()));
  ASSERT_EQ(frames.size(), emulator.framesSent());
  for (const RxFrame& f : frames) {
    const std::uint32_t encoded =
        static_cast<std::uint32_t>(ftAt(f, 0)) | (static_cast<std::uint32_t>(ftAt(f, 1)) << 16);
    EXPECT_EQ(encoded, SensorEmulator::decodeStamp(f).send_time_us);
  }
  // A call in progress when stop() came may not have become a frame.
  EXPECT_GE(static_cast<std::uint64_t>(calls.load()), emulator.framesSent());
  EXPECT_LE(static_cast<std::uint64_t>(calls.load()), emulator.framesSent() + 1);

  // Back to the fixed wrench.
  emulator.setWrenchProvider({});
  emulator.setWrench(makeWrench(0, 0, -7.5, 0, 0, 0));
  line.clear();
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(3));
  for (const RxFrame& f : framesOf(splitLine(line.bytes())))
    EXPECT_EQ(ftAt(f, 2), -7.5f);
}

TEST(SensorEmulatorStream, ProviderThrows_FrameSkippedStreamGoesOn) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  std::atomic<int> calls{0};
  emulator.setWrenchProvider([&calls](SensorEmulator::Clock::time_point) {
    if (calls++ == 1)
      throw std::runtime_error("no robot state");
    return makeWrench(4, 0, 0, 0, 0, 0);
  });
  testing::internal::CaptureStderr();
  ASSERT_TRUE(emulator.start());
  const bool got = line.readFrames(3);
  emulator.stop();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "sensor emulator: wrench provider failed: no robot state\n");
  ASSERT_TRUE(got);
  const std::vector<RxFrame> frames = framesOf(splitLine(line.bytes()));
  EXPECT_EQ(SensorEmulator::decodeStamp(frames[0]).sequence, 0u);
  EXPECT_EQ(SensorEmulator::decodeStamp(frames[1]).sequence, 2u) << "number 1 was not sent";
  EXPECT_EQ(SensorEmulator::decodeStamp(frames[2]).sequence, 3u);
  EXPECT_EQ(ftAt(frames[1], 0), 4.0f);
}

TEST(SensorEmulatorStream, WrenchSetFromAnotherThread_NeverTorn) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int k = 1; !done.load(); ++k) {
      emulator.setWrench(makeWrench(k, k, k, k, k, k));
      emulator.setStatus(static_cast<std::uint16_t>(k & 1));
      (void)emulator.counters();
    }
  });
  const bool got = line.readFrames(100);
  done.store(true);
  setter.join();
  ASSERT_TRUE(got);
  for (const RxFrame& f : framesOf(splitLine(line.bytes()))) {
    for (int i = 1; i < 6; ++i)
      EXPECT_EQ(ftAt(f, i), ftAt(f, 0)) << "one wrench per frame";
  }
}

TEST(SensorEmulatorStream, StopAndStart_SequenceCarriesOn) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  EXPECT_FALSE(emulator.running());
  ASSERT_TRUE(emulator.start());
  EXPECT_TRUE(emulator.running());
  EXPECT_FALSE(emulator.start()) << "already running";
  ASSERT_TRUE(line.readFrames(3));
  emulator.stop();
  emulator.stop();  // a second stop does nothing
  EXPECT_FALSE(emulator.running());
  const std::uint64_t sent = emulator.framesSent();
  ASSERT_TRUE(line.readAtLeast(sent * RxFrame::kSize));
  EXPECT_EQ(line.bytes().size(), sent * RxFrame::kSize);

  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(sent + 2));
  const std::vector<RxFrame> frames = framesOf(splitLine(line.bytes()));
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(SensorEmulator::decodeStamp(frames[i]).sequence, i);
  }
}

TEST(SensorEmulatorStream, StopFromProvider_RefusedWithLogicError) {
  SensorEmulator emulator;
  SlaveLine line(emulator.slavePath());
  std::mutex m;
  std::string what;
  emulator.setWrenchProvider([&](SensorEmulator::Clock::time_point) {
    try {
      emulator.stop();
    } catch (const std::logic_error& e) {
      std::lock_guard<std::mutex> lock(m);
      what = e.what();
    }
    return Wrench();
  });
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(1));
  emulator.stop();
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(what, "SensorEmulator::stop called from the wrench provider");
}

}  // namespace
