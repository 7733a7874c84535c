// The reader's own thread over a pseudo-terminal: it waits on the port for a
// whole frame instead of pausing after its cycle, so each frame written at
// the sensor's pace is published before the next one is due; a line fallen
// silent still gives a cycle per wait bound, and a stop ends a waiting
// reader.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "comm/sensor_reader.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_test::Bytes;

TEST(ReaderPacing, FramesAtSensorPaceThenSilence_EachPublishedInTimeThenStillCycling) {
  // Twenty frame times: a reader that slept out its bound instead of waiting
  // on the port would publish one of the frames at most.
  constexpr int kWaitBoundMs = 200;
  // The line's own pace (not a synchronisation): a frame every 10 ms (100 Hz,
  // the sensor's slowest rate), 22 us a byte (460800 baud).
  constexpr std::size_t kFirstPart = 20;  // bytes of a frame sent before the rest
  constexpr std::chrono::microseconds kFirstPartTime{kFirstPart * 22}, kFramePeriod{10000};
  vorel_test::Channel line(vorel_test::Channel::kPseudoTerminal);
  ASSERT_TRUE(line.ok());
  vorel_device::VorelForceTorqueSensorComm reader(kWaitBoundMs);
  reader.setPort(line.port);
  vorel_test::SegmentView view;
  // The number of the frame in "frame" (numberedFrame); 0 before the first.
  const auto published = [&] { return view.read<vorel_test::RxFrame>(ss::kFrame).ft_data[0]; };
  const auto cycles = [&] { return view.read<std::int32_t>(ss::kFrameCounter); };
  ASSERT_TRUE(reader.start(1000));

  for (int n = 1; n <= 20; ++n) {
    const Bytes frame = vorel_test::bytesOf(vorel_test::numberedFrame(n));
    // The frame comes over the line in two parts: the first is never published.
    ASSERT_TRUE(line.send(Bytes(frame.begin(), frame.begin() + kFirstPart)));
    std::this_thread::sleep_for(kFirstPartTime);
    EXPECT_EQ(published(), n - 1) << "frame " << n << " before its last byte";
    ASSERT_TRUE(line.send(Bytes(frame.begin() + kFirstPart, frame.end())));
    // The next frame is due: this one is published.
    std::this_thread::sleep_for(kFramePeriod);
    EXPECT_EQ(published(), n) << "frame " << n << " one frame time after its last byte";
  }
  // The line falls silent: the reader still cycles, once per bound, and a
  // stop ends its wait.
  EXPECT_TRUE(vorel_test::pollUntil([&, before = cycles()] { return cycles() >= before + 3; }));
  EXPECT_EQ(published(), 20.0f);
  EXPECT_TRUE(reader.stop(5 * kWaitBoundMs));  // true: the thread has ended and is joined
}

}  // namespace
