// The reader's own thread over a pseudo-terminal: it waits on the port for a
// whole frame instead of pausing after its cycle, so each frame written at
// the sensor's pace is published before the next one is due; a silent line
// still gives a cycle per wait bound; a stop ends a waiting reader.
#include <gtest/gtest.h>
#include <time.h>

#include <cerrno>
#include <memory>

#include "comm/sensor_reader.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_test::Bytes;

// Far longer than a frame time: a reader that slept out its bound instead of
// waiting on the port would publish one of the frames at most.
constexpr int kLongBoundMs = 1000;
constexpr long kFramePeriodUs = 10000;  // 100 Hz, the sensor's slowest rate
constexpr long kByteTimeUs = 22;        // one byte at 460800 baud
constexpr std::size_t kFirstPart = 20;  // bytes of a frame sent before the rest

// The line's own pace: the time its bytes take, not a synchronisation.
void lineTime(long us) {
  timespec rest{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&rest, &rest) == -1 && errno == EINTR) {
  }
}

class ReaderPacingTest : public testing::Test {
 protected:
  void startReader(int wait_bound_ms) {
    ASSERT_TRUE(line.ok());
    reader = std::make_unique<vorel_device::VorelForceTorqueSensorComm>(wait_bound_ms);
    reader->setPort(line.port);
    view = std::make_unique<vorel_test::SegmentView>();
    ASSERT_TRUE(reader->start(1000));
  }
  void TearDown() override {
    if (reader) {
      EXPECT_TRUE(reader->stop(2 * kLongBoundMs));
    }
  }

  // The number of the frame in "frame" (numberedFrame); 0 before the first.
  float published() { return view->read<vorel_test::RxFrame>(ss::kFrame).ft_data[0]; }
  std::int32_t cycles() { return view->read<std::int32_t>(ss::kFrameCounter); }

  vorel_test::Channel line{vorel_test::Channel::kPseudoTerminal};
  std::unique_ptr<vorel_device::VorelForceTorqueSensorComm> reader;
  std::unique_ptr<vorel_test::SegmentView> view;
};

TEST_F(ReaderPacingTest, FramesAtSensorPace_EachPublishedWithinOneFrameTimeOfItsLastByte) {
  startReader(kLongBoundMs);
  for (int n = 1; n <= 20; ++n) {
    const Bytes frame = vorel_test::bytesOf(vorel_test::numberedFrame(n));
    // The frame comes over the line in two parts: the first is never published.
    ASSERT_TRUE(line.send(Bytes(frame.begin(), frame.begin() + kFirstPart)));
    lineTime(kFirstPart * kByteTimeUs);
    EXPECT_EQ(published(), n - 1) << "frame " << n << " before its last byte";
    ASSERT_TRUE(line.send(Bytes(frame.begin() + kFirstPart, frame.end())));
    // The next frame is due: this one is published.
    lineTime(kFramePeriodUs);
    EXPECT_EQ(published(), n) << "frame " << n << " one frame time after its last byte";
  }
}

TEST_F(ReaderPacingTest, SilentLine_StillCyclesOncePerBound) {
  startReader(5);
  EXPECT_TRUE(vorel_test::pollUntil([&] { return cycles() >= 3; }));
  EXPECT_EQ(published(), 0.0f);
}

TEST_F(ReaderPacingTest, StopWhileWaitingOnASilentLine_EndsTheReaderWithinOneBound) {
  startReader(kLongBoundMs);
  ASSERT_TRUE(vorel_test::pollUntil([&] { return cycles() >= 1; }));  // in its wait now
  EXPECT_TRUE(reader->stop(2 * kLongBoundMs));
  EXPECT_FALSE(reader->holdsThread());
  reader.reset();
}

}  // namespace
