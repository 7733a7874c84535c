// The line queue of the real-time threads: order, the two channels, a full
// ring while the console blocks, and the drop report once it catches up.
#include "comm/line_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/blocking_console.h"
#include "tests/support/console_capture.h"
#include "tests/support/poll_until.h"

namespace vorel_device {
namespace {

using Channel = LineQueue::Channel;

TEST(LineQueueTest, BothChannels_WrittenInOrderWithLineEnds) {
  vorel_test::ConsoleCapture console;
  testing::internal::CaptureStdout();
  {
    LineQueue queue;
    EXPECT_TRUE(queue.post(Channel::kConsole, "[INFO] first %d", 1));
    EXPECT_TRUE(queue.post(Channel::kStdout, "No valid frame: %llu (wrong CRC)", 3ull));
    EXPECT_TRUE(queue.post(Channel::kConsole, "[ERROR] %s at %g mm", "clamped", 2.5));
    queue.flush();
    EXPECT_EQ(queue.dropped(), 0u);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No valid frame: 3 (wrong CRC)\n");
  EXPECT_THAT(console.writes(),
              testing::ElementsAre("[INFO] first 1\n", "[ERROR] clamped at 2.5 mm\n"));
}

TEST(LineQueueTest, LongLine_CutToTheEntry) {
  vorel_test::ConsoleCapture console;
  LineQueue queue;
  const std::string long_text(500, 'x');
  queue.post(Channel::kConsole, "%s", long_text.c_str());
  queue.flush();
  EXPECT_EQ(console.writes().at(0), std::string(LineQueue::kTextBytes - 1, 'x') + "\n");
}

TEST(LineQueueTest, ConsoleBlocked_PostsNeverWaitFullRingDropsAndReportsOnce) {
  vorel_test::BlockingConsole console;
  LineQueue queue;
  ASSERT_TRUE(queue.post(Channel::kConsole, "line 0"));
  ASSERT_TRUE(vorel_test::pollUntil([&] { return console.entered(); }));
  // The drainer is held in its first write, which still occupies its entry:
  // the ring takes kCapacity - 1 more lines, then drops.
  for (std::size_t k = 1; k < LineQueue::kCapacity; ++k)
    EXPECT_TRUE(queue.post(Channel::kConsole, "line %zu", k)) << k;
  EXPECT_FALSE(queue.post(Channel::kConsole, "dropped a"));
  EXPECT_FALSE(queue.post(Channel::kConsole, "dropped b"));
  EXPECT_EQ(queue.dropped(), 2u);
  console.release();
  queue.flush();
  // The ring has room again.
  EXPECT_TRUE(queue.post(Channel::kConsole, "after"));
  queue.flush();

  std::vector<std::string> expected;
  for (std::size_t k = 0; k < LineQueue::kCapacity; ++k)
    expected.push_back("line " + std::to_string(k) + "\n");
  expected.push_back("[ERROR] Console too slow: 2 line(s) dropped\n");
  expected.push_back("after\n");
  EXPECT_EQ(console.writes(), expected);
}

}  // namespace
}  // namespace vorel_device
