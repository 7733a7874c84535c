// The frame synchroniser of the sensor reader over real byte channels: pipes,
// pseudo-terminals configured like the sensor's port, and packet sockets.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>

#include "comm/VorelForceTorqueSensorComm.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sync_test_util.h"
#include "tests/comm/testable_comm.h"

namespace {

using vorel_device::RxFrame;
using vorel_device::VorelForceTorqueSensorComm;
using vorel_test::append;
using vorel_test::Bytes;
using vorel_test::bytesOf;
using vorel_test::Channel;
using vorel_test::numberedFrame;
using vorel_test::sameBytes;
using vorel_test::TestableComm;

constexpr int kNoAttempt = VorelForceTorqueSensorComm::kNoAttempt;
constexpr int kFrameOk = VorelForceTorqueSensorComm::kFrameOk;
constexpr int kCrcError = VorelForceTorqueSensorComm::kCrcError;
constexpr int kOutOfSync = VorelForceTorqueSensorComm::kOutOfSync;

// A frame with an intact header whose CRC field does not match its payload.
RxFrame badCrcFrame(int n) {
  RxFrame f = numberedFrame(n);
  f.crc ^= 0x0101;
  return f;
}

enum class Kind { Pipe, PseudoTerminal };

std::string kindName(const testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::Pipe ? "Pipe" : "PseudoTerminal";
}

class SyncOverChannel : public testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GetParam() == Kind::Pipe ? vorel_test::openPipe(channel)
                                         : vorel_test::openPseudoTerminal(channel));
    comm.setPort(channel.port);
    comm.allowDrain();
  }

  // Writes the bytes and waits until the port's input queue holds `pending`.
  void feed(const Bytes& bytes, int pending) {
    ASSERT_TRUE(channel.send(bytes));
    ASSERT_TRUE(channel.waitPending(pending)) << "input queue never reached " << pending;
  }
  void feed(const Bytes& bytes) { feed(bytes, static_cast<int>(bytes.size())); }

  Channel channel;
  TestableComm comm;
};

INSTANTIATE_TEST_SUITE_P(Channels, SyncOverChannel,
                         testing::Values(Kind::Pipe, Kind::PseudoTerminal), kindName);

TEST_P(SyncOverChannel, ReadFrame_EmptyOr36Pending_ReturnsNoAttemptAndReadsNothing) {
  EXPECT_EQ(comm.readFrame(), kNoAttempt);

  const Bytes frame = bytesOf(numberedFrame(1));
  feed(Bytes(frame.begin(), frame.begin() + 36));
  EXPECT_EQ(comm.readFrame(), kNoAttempt);
  EXPECT_EQ(comm.serialAvailable(), 36);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), RxFrame{}));
  EXPECT_FALSE(comm.isSynced());
  EXPECT_EQ(comm.crcErrorCount(), 0);

  // The 37th byte completes the frame.
  feed(Bytes(frame.begin() + 36, frame.end()), 37);
  EXPECT_EQ(comm.readFrame(), kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(1)));
}

TEST_P(SyncOverChannel, ReadFrame_TwoAlignedValidFrames_ReturnsFrameOkWithSecondFrame) {
  Bytes stream;
  append(stream, numberedFrame(1));
  append(stream, numberedFrame(2));
  feed(stream);

  EXPECT_EQ(comm.readFrame(), kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(2)));
  EXPECT_TRUE(comm.isSynced());
  EXPECT_EQ(comm.crcErrorCount(), 0);
  EXPECT_EQ(comm.serialAvailable(), 0);
}

TEST_P(SyncOverChannel, ReadFrame_ValidFrameThenWrongHeader_ReturnsOutOfSyncAndSkipsOneByte) {
  Bytes stream;
  append(stream, numberedFrame(1));
  Bytes bad = bytesOf(numberedFrame(2));
  bad[0] = 0x55;
  append(stream, bad);
  append(stream, Bytes(10, 0x11));
  feed(stream);

  EXPECT_EQ(comm.readFrame(), kOutOfSync);
  EXPECT_FALSE(comm.isSynced());
  // 37 + 37 + 1 skipped byte consumed; 9 of the 10 trailing bytes are left.
  EXPECT_EQ(comm.serialAvailable(), 9);
}

TEST_P(SyncOverChannel, ReadFrame_StreamEnteredAtByteK_AcquiresAfter37MinusKFailures) {
  for (int k = 1; k < 37; ++k) {
    SCOPED_TRACE(testing::Message() << "entered at byte " << k);
    TestableComm fresh;
    fresh.setPort(channel.port);
    fresh.allowDrain();

    // The tail of a frame entered at byte k, then frames 1 .. 37-k+1. Each
    // failed attempt consumes 38 bytes; after exactly 37-k failures the window
    // starts at frame 38-k, the last one written, and every byte is consumed.
    const int failures = 37 - k;
    Bytes stream;
    const Bytes first = bytesOf(numberedFrame(0));
    stream.insert(stream.end(), first.begin() + k, first.end());
    for (int n = 1; n <= failures + 1; ++n)
      append(stream, numberedFrame(n));
    ASSERT_EQ(stream.size(), static_cast<std::size_t>(38 * failures + 37));
    feed(stream);

    EXPECT_EQ(fresh.readFrame(), kFrameOk);
    EXPECT_TRUE(fresh.isSynced());
    EXPECT_TRUE(sameBytes(fresh.rxFrame(), numberedFrame(failures + 1)));
    EXPECT_EQ(fresh.crcErrorCount(), 0);
    EXPECT_EQ(fresh.serialAvailable(), 0);
  }
}

TEST_P(SyncOverChannel, ReadFrame_OneByteShortOfAlignment_StaysOutOfSync) {
  // Entered at byte 5: 32 failures are needed, but the stream ends one byte
  // before the aligned window is complete.
  Bytes stream;
  const Bytes first = bytesOf(numberedFrame(0));
  stream.insert(stream.end(), first.begin() + 5, first.end());
  for (int n = 1; n <= 33; ++n)
    append(stream, numberedFrame(n));
  stream.pop_back();
  feed(stream);

  EXPECT_EQ(comm.readFrame(), kOutOfSync);
  EXPECT_FALSE(comm.isSynced());
  EXPECT_EQ(comm.serialAvailable(), 36);
}

TEST_P(SyncOverChannel, ReadFrame_MisalignedWindowWithHeaderByteAndWrongCrc_DoesNotSync) {
  Bytes window(37);
  window[0] = RxFrame::kHeader;
  for (int i = 1; i < 37; ++i)
    window[i] = static_cast<std::uint8_t>(i);
  RxFrame asFrame{};
  std::memcpy(asFrame.bytes(), window.data(), RxFrame::kSize);
  ASSERT_FALSE(vorel_test::frameIsValid(asFrame));
  window.push_back(0x42);  // one byte to skip
  feed(window);

  EXPECT_EQ(comm.readFrame(), kOutOfSync);
  EXPECT_FALSE(comm.isSynced());
  EXPECT_EQ(comm.crcErrorCount(), 1);
  EXPECT_EQ(comm.serialAvailable(), 0);
}

TEST_P(SyncOverChannel, ReadFrame_ThreeWrongCrcsInOneCall_CountsThreeAndStaysSynced) {
  feed(bytesOf(numberedFrame(1)));
  ASSERT_EQ(comm.readFrame(), kFrameOk);

  Bytes stream;
  for (int n = 2; n <= 4; ++n)
    append(stream, badCrcFrame(n));
  feed(stream);
  EXPECT_EQ(comm.readFrame(), kCrcError);
  EXPECT_EQ(comm.crcErrorCount(), 3);
  EXPECT_TRUE(comm.isSynced());
  EXPECT_TRUE(sameBytes(comm.rxFrame(), badCrcFrame(4)));
}

TEST_P(SyncOverChannel, ReadFrame_WrongCrcsOverSeveralCycles_CountOnAndSurviveValidFrame) {
  feed(bytesOf(numberedFrame(1)));
  ASSERT_EQ(comm.readFrame(), kFrameOk);

  for (int cycle = 1; cycle <= 3; ++cycle) {
    feed(bytesOf(badCrcFrame(cycle)));
    EXPECT_EQ(comm.readFrame(), kCrcError);
    EXPECT_EQ(comm.crcErrorCount(), cycle);
    EXPECT_TRUE(comm.isSynced());
  }
  // The count covers the time since synchronisation was last sought: a valid
  // frame in sync does not reset it.
  feed(bytesOf(numberedFrame(5)));
  EXPECT_EQ(comm.readFrame(), kFrameOk);
  EXPECT_EQ(comm.crcErrorCount(), 3);
}

TEST_P(SyncOverChannel, ReadFrame_StatusOutsideNamedBits_DeliveredAsFrameWithInvalidForces) {
  feed(bytesOf(numberedFrame(1, 0x0100)));
  EXPECT_EQ(comm.readFrame(), kFrameOk);
  const std::uint16_t status = comm.rxFrame().status;  // packed field: compared by value
  EXPECT_EQ(status, 0x0100);
  EXPECT_FALSE(VorelForceTorqueSensorComm::hasValidForces(comm.rxFrame()));

  feed(bytesOf(numberedFrame(2, vorel_device::invalid_measurements)));
  EXPECT_EQ(comm.readFrame(), kFrameOk);
  EXPECT_FALSE(VorelForceTorqueSensorComm::hasValidForces(comm.rxFrame()));

  feed(bytesOf(numberedFrame(3, 0)));
  EXPECT_EQ(comm.readFrame(), kFrameOk);
  EXPECT_TRUE(VorelForceTorqueSensorComm::hasValidForces(comm.rxFrame()));
}

TEST_P(SyncOverChannel, ReadFrame_EveryCall_CountsOneCycle) {
  EXPECT_EQ(comm.readCounter(), 0);
  comm.readFrame();
  comm.readFrame();
  Bytes stream;
  append(stream, numberedFrame(1));
  append(stream, numberedFrame(2));
  feed(stream);
  comm.readFrame();  // two frames, still one cycle
  EXPECT_EQ(comm.readCounter(), 3);
}

// A packet socket reports every queued byte as pending, but one read returns
// one packet only: a real short read.
TEST(SyncShortRead, PacketShorterThanFrame_IsNeverTakenAsFrame) {
  Channel channel;
  ASSERT_TRUE(vorel_test::openPacketSockets(channel));
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();

  const Bytes frame = bytesOf(numberedFrame(7));
  ASSERT_TRUE(channel.send(frame));
  ASSERT_EQ(comm.readFrame(), kFrameOk);

  // The same frame again, split into packets of 20 and 17 bytes. The first
  // read fills only 20 bytes of the buffer, which then still holds a whole
  // valid frame (its first 20 bytes are identical): it must not count.
  ASSERT_TRUE(channel.send(Bytes(frame.begin(), frame.begin() + 20)));
  ASSERT_TRUE(channel.send(Bytes(frame.begin() + 20, frame.end())));
  ASSERT_EQ(comm.serialAvailable(), 37);
  EXPECT_EQ(comm.readFrame(), kOutOfSync);
  EXPECT_FALSE(comm.isSynced());
  EXPECT_EQ(comm.serialAvailable(), 17);  // the call ended after the failed attempt

  EXPECT_EQ(comm.readFrame(), kNoAttempt);

  // Whole packets again: the 17-byte remainder is one more short read, then
  // the next whole frame re-acquires synchronisation.
  ASSERT_TRUE(channel.send(bytesOf(numberedFrame(8))));
  EXPECT_EQ(comm.readFrame(), kOutOfSync);
  EXPECT_EQ(comm.readFrame(), kFrameOk);
  EXPECT_TRUE(comm.isSynced());
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(8)));
}

// Bytes are pending, but every read fails (the descriptor is a pipe's write
// end): the attempt fails, the buffer is left alone, and the call ends
// instead of spinning on the port.
TEST(SyncShortRead, ReadErrorWithBytesPending_FailsAttemptAndEndsCall) {
  Channel channel;
  ASSERT_TRUE(vorel_test::openPipe(channel));
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();
  ASSERT_TRUE(channel.send(bytesOf(numberedFrame(1))));
  ASSERT_EQ(comm.readFrame(), kFrameOk);

  ASSERT_TRUE(channel.send(Bytes(40, 0x33)));
  comm.setPort(channel.feed);
  ASSERT_EQ(comm.serialAvailable(), 40);
  std::uint8_t probe[1];
  ASSERT_LT(comm.serialReadBytes(probe, 1), 0);

  EXPECT_EQ(comm.readFrame(), kOutOfSync);
  EXPECT_FALSE(comm.isSynced());
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(1)));
  EXPECT_EQ(comm.serialAvailable(), 40);
}

TEST(SyncPort, FailedInputQueueQuery_ReportsZeroPending) {
  TestableComm comm;
  comm.allowDrain();
  EXPECT_EQ(comm.serialAvailable(), 0);  // no port set
  EXPECT_EQ(comm.readFrame(), kNoAttempt);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "abc", 3), 3);
  comm.setPort(fds[0]);
  EXPECT_EQ(comm.serialAvailable(), 3);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(comm.serialAvailable(), 0);  // closed descriptor
  std::uint8_t buf[4];
  EXPECT_LT(comm.serialReadBytes(buf, sizeof(buf)), 0);
}

}  // namespace
