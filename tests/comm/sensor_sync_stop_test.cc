// The drain loop's stop-flag checks, fed from memory, and the reader running
// on its own periodic thread over a real pipe.
#include <gtest/gtest.h>

#include "comm/VorelForceTorqueSensorComm.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sync_test_util.h"
#include "tests/comm/testable_comm.h"
#include "tests/support/poll_until.h"

namespace {

using vorel_device::RxFrame;
using vorel_device::VorelForceTorqueSensorComm;
using vorel_test::append;
using vorel_test::Bytes;
using vorel_test::numberedFrame;
using vorel_test::sameBytes;
using vorel_test::TestableComm;

// A memory stream that requests the reader's stop when its n-th read of a
// whole frame has been served.
struct StoppingSource {
  VorelForceTorqueSensorComm::MemorySource bytes;
  TestableComm& comm;
  int stop_after_frames;
  int frames_read = 0;

  int available() const { return bytes.available(); }
  ssize_t read(std::uint8_t* buf, std::size_t len) {
    const ssize_t n = bytes.read(buf, len);
    if (len == RxFrame::kSize && ++frames_read == stop_after_frames)
      comm.requestStop();
    return n;
  }
};

TEST(SyncStopFlag, StopAlreadyRequested_ReadsNothing) {
  TestableComm comm;  // never started: the stop flag is set
  Bytes stream;
  append(stream, numberedFrame(1));
  VorelForceTorqueSensorComm::MemorySource source{stream.data(), stream.size()};
  EXPECT_EQ(comm.readFrameFrom(source), VorelForceTorqueSensorComm::kNoAttempt);
  EXPECT_EQ(source.pos, 0u);
  EXPECT_FALSE(comm.isSynced());
}

TEST(SyncStopFlag, StopDuringInSyncAttempt_ReturnsThatFrameAndLeavesTheRest) {
  TestableComm comm;
  comm.allowDrain();
  Bytes stream;
  for (int n = 1; n <= 4; ++n)
    append(stream, numberedFrame(n));
  StoppingSource source{{stream.data(), stream.size()}, comm, 2};

  EXPECT_EQ(comm.readFrameFrom(source), VorelForceTorqueSensorComm::kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(2)));
  EXPECT_EQ(source.available(), 2 * 37);
}

TEST(SyncStopFlag, StopDuringOutOfSyncAttempt_SkipsOneByteThenReturns) {
  TestableComm comm;
  comm.allowDrain();
  Bytes stream(3 * 37, 0x5A);
  StoppingSource source{{stream.data(), stream.size()}, comm, 1};

  EXPECT_EQ(comm.readFrameFrom(source), VorelForceTorqueSensorComm::kOutOfSync);
  EXPECT_EQ(source.available(), 3 * 37 - 38);
}

TEST(SyncMemorySource, SameStreamFromMemory_SameOutcomeAsFromPort) {
  // Seven bytes of garbage before 40 frames (the window realigns after 7
  // failures): both feeds must leave the reader in the same state.
  Bytes stream(7, 0x00);
  for (int n = 1; n <= 40; ++n)
    append(stream, numberedFrame(n));

  TestableComm from_memory;
  from_memory.allowDrain();
  VorelForceTorqueSensorComm::MemorySource source{stream.data(), stream.size()};
  const int memory_result = from_memory.readFrameFrom(source);
  EXPECT_EQ(memory_result, VorelForceTorqueSensorComm::kFrameOk);
  EXPECT_TRUE(sameBytes(from_memory.rxFrame(), numberedFrame(40)));

  vorel_test::Channel channel;
  ASSERT_TRUE(vorel_test::openPipe(channel));
  ASSERT_TRUE(channel.send(stream));
  TestableComm from_port;
  from_port.setPort(channel.port);
  from_port.allowDrain();
  EXPECT_EQ(from_port.readFrame(), memory_result);
  EXPECT_EQ(from_port.isSynced(), from_memory.isSynced());
  EXPECT_EQ(from_port.crcErrorCount(), from_memory.crcErrorCount());
  EXPECT_TRUE(sameBytes(from_port.rxFrame(), from_memory.rxFrame()));
  EXPECT_EQ(from_port.serialAvailable(), source.available());
  EXPECT_EQ(from_memory.readCounter(), 0);  // the memory feed counts no cycle
  EXPECT_EQ(from_port.readCounter(), 1);
}

TEST(SensorReaderThread, RunningReader_DrainsPipeAndKeepsNewestFrame) {
  vorel_test::Channel channel;
  ASSERT_TRUE(vorel_test::openPipe(channel));
  VorelForceTorqueSensorComm reader(1);
  reader.setPort(channel.port);
  ASSERT_TRUE(reader.start(1000));

  Bytes stream;
  for (int n = 1; n <= 5; ++n)
    append(stream, numberedFrame(n));
  ASSERT_TRUE(channel.send(stream));
  // Drained (possibly by the cycle counted just before the bytes were sent),
  // and at least one whole cycle started after the last byte left.
  ASSERT_TRUE(
      vorel_test::pollUntil([&] { return vorel_device::serial_port::pending(channel.port) == 0; }));
  const int drained_at = reader.readCounter();
  ASSERT_TRUE(vorel_test::pollUntil([&] { return reader.readCounter() > drained_at + 1; }));

  ASSERT_TRUE(reader.stop(1000));
  EXPECT_TRUE(reader.isSynced());
  EXPECT_TRUE(sameBytes(reader.rxFrame(), numberedFrame(5)));
}

}  // namespace
