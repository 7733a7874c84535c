// The frame synchroniser of the sensor reader over real byte channels (pipes,
// pseudo-terminals configured like the sensor's port, packet sockets), and
// the drain loop's stop-flag check.
#include <gtest/gtest.h>

#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>

#include "comm/VorelForceTorqueSensorComm.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/comm/testable_comm.h"

namespace {

using vorel_test::append;
using vorel_test::Bytes;
using vorel_test::bytesOf;
using vorel_test::Channel;
using vorel_test::numberedFrame;
using vorel_test::RxFrame;
using vorel_test::sameBytes;
using vorel_test::TestableComm;
using Comm = vorel_device::VorelForceTorqueSensorComm;

RxFrame badCrcFrame(int n) {
  RxFrame f = numberedFrame(n);
  f.crc ^= 0x0101;
  return f;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes s;
  for (const Bytes& p : parts)
    append(s, p);
  return s;
}

Bytes withoutLast(Bytes s) {
  s.pop_back();
  return s;
}

// The tail of a frame entered at byte k, then whole frames 1 .. 38-k: each
// failed attempt consumes 38 bytes, so after 37-k failures the window starts
// on the last frame.
Bytes enteredAt(int k) {
  Bytes s = bytesOf(numberedFrame(0));
  s.erase(s.begin(), s.begin() + k);
  for (int n = 1; n <= 38 - k; ++n)
    append(s, bytesOf(numberedFrame(n)));
  return s;
}

struct SyncCase {
  const char* name;
  bool synced_first;  // a valid frame is read before the stream
  Bytes stream;
  int result;
  bool synced;
  int crc_errors;
  int pending;                    // left on the port after the call
  std::optional<RxFrame> buffer;  // the receive buffer after the call
};

const Bytes kWrongHeader = [] {
  Bytes s = bytesOf(numberedFrame(2));
  s[0] = 0x55;
  return s;
}();

const SyncCase kSyncCases[] = {
    {"ThirtySixBytes", false, withoutLast(bytesOf(numberedFrame(1))), Comm::kNoAttempt, false, 0,
     36, RxFrame{}},
    {"TwoAlignedFrames", false, cat({bytesOf(numberedFrame(1)), bytesOf(numberedFrame(2))}),
     Comm::kFrameOk, true, 0, 0, numberedFrame(2)},
    // 37 bytes and one skipped byte consumed.
    {"WrongHeaderInSync", true, cat({kWrongHeader, Bytes(10, 0x11)}), Comm::kOutOfSync, false, 0, 9,
     std::nullopt},
    {"EnteredAtByte1", false, enteredAt(1), Comm::kFrameOk, true, 0, 0, numberedFrame(37)},
    {"EnteredAtByte17", false, enteredAt(17), Comm::kFrameOk, true, 0, 0, numberedFrame(21)},
    {"EnteredAtByte36", false, enteredAt(36), Comm::kFrameOk, true, 0, 0, numberedFrame(2)},
    {"OneByteShortOfAlignment", false, withoutLast(enteredAt(5)), Comm::kOutOfSync, false, 1, 36,
     std::nullopt},
    // A misaligned window that starts on 0xAA.
    {"HeaderByteWrongCrc", false, cat({{RxFrame::kHeader}, Bytes(37, 0x42)}), Comm::kOutOfSync,
     false, 1, 0, std::nullopt},
    {"ThreeWrongCrcsInSync", true,
     cat({bytesOf(badCrcFrame(2)), bytesOf(badCrcFrame(3)), bytesOf(badCrcFrame(4))}),
     Comm::kCrcError, true, 3, 0, badCrcFrame(4)},
};

class SyncChannelTest : public testing::TestWithParam<std::tuple<Channel::Kind, const SyncCase*>> {
};

INSTANTIATE_TEST_SUITE_P(Streams, SyncChannelTest,
                         testing::Combine(testing::Values(Channel::kPipe, Channel::kPseudoTerminal),
                                          testing::Range(&kSyncCases[0],
                                                         &kSyncCases[0] + std::size(kSyncCases))),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == Channel::kPipe ? "Pipe_"
                                                                                        : "Pty_") +
                                  std::get<1>(info.param)->name;
                         });

TEST_P(SyncChannelTest, StreamOnPort_ReadFrameGivesRowOutcome) {
  const SyncCase& c = *std::get<1>(GetParam());
  Channel channel(std::get<0>(GetParam()));
  ASSERT_TRUE(channel.ok());
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();
  if (c.synced_first) {
    ASSERT_TRUE(channel.sendUntilPending(bytesOf(numberedFrame(1)), 37));
    ASSERT_EQ(comm.readFrame(), Comm::kFrameOk);
  }
  ASSERT_TRUE(channel.sendUntilPending(c.stream, static_cast<int>(c.stream.size())));

  EXPECT_EQ(comm.readFrame(), c.result);
  EXPECT_EQ(comm.isSynced(), c.synced);
  EXPECT_EQ(comm.crcErrorCount(), c.crc_errors);
  EXPECT_EQ(comm.serialAvailable(), c.pending);
  EXPECT_TRUE(!c.buffer || sameBytes(comm.rxFrame(), *c.buffer));
}

// A packet socket reports every queued byte as pending, but a read returns one
// packet: the 20-byte read leaves a buffer that still holds the whole earlier
// frame (same first 20 bytes), which must not count.
TEST(SyncShortRead, PacketShorterThanFrame_IsNeverTakenAsFrame) {
  Channel channel(Channel::kPacketSockets);
  ASSERT_TRUE(channel.ok());
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();
  const Bytes frame = bytesOf(numberedFrame(7));
  ASSERT_TRUE(channel.send(frame));
  ASSERT_EQ(comm.readFrame(), Comm::kFrameOk);

  ASSERT_TRUE(channel.send(Bytes(frame.begin(), frame.begin() + 20)));
  ASSERT_TRUE(channel.send(Bytes(frame.begin() + 20, frame.end())));
  EXPECT_EQ(comm.readFrame(), Comm::kOutOfSync);
  EXPECT_FALSE(comm.isSynced());
  EXPECT_EQ(comm.serialAvailable(), 17);  // the call ended after the failed attempt

  // The 17-byte remainder is one more short read; the next whole frame
  // re-acquires synchronisation.
  ASSERT_TRUE(channel.send(bytesOf(numberedFrame(8))));
  EXPECT_EQ(comm.readFrame(), Comm::kOutOfSync);
  EXPECT_EQ(comm.readFrame(), Comm::kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(8)));
}

// Bytes are pending but every read fails (the descriptor is a pipe's write
// end): the buffer is left alone and the call ends instead of spinning.
TEST(SyncShortRead, ReadErrorWithBytesPending_FailsAttemptAndEndsCall) {
  Channel channel(Channel::kPipe);
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();
  ASSERT_TRUE(channel.sendUntilPending(bytesOf(numberedFrame(1)), 37));
  ASSERT_EQ(comm.readFrame(), Comm::kFrameOk);

  ASSERT_TRUE(channel.sendUntilPending(Bytes(40, 0x33), 40));
  comm.setPort(channel.feed);
  EXPECT_EQ(comm.readFrame(), Comm::kOutOfSync);
  EXPECT_FALSE(comm.isSynced());
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(1)));
  EXPECT_EQ(channel.pending(), 40);
}

// Stop requested while the second of four frames is read: the call returns
// that frame's outcome and leaves the rest.
TEST(SyncStopFlag, StopRequestedDuringDrain_EndsAfterThatAttempt) {
  TestableComm comm;
  comm.allowDrain();
  const Bytes stream = cat({bytesOf(numberedFrame(1)), bytesOf(numberedFrame(2)),
                            bytesOf(numberedFrame(3)), bytesOf(numberedFrame(4))});
  struct StoppingSource {
    Comm::MemorySource bytes;
    TestableComm& comm;
    int frames_read = 0;
    int available() const { return bytes.available(); }
    ssize_t read(std::uint8_t* buf, std::size_t len) {
      if (len == RxFrame::kSize && ++frames_read == 2)
        comm.requestStop();
      return bytes.read(buf, len);
    }
  } source{{stream.data(), stream.size()}, comm};
  EXPECT_EQ(comm.readFrameFrom(source), Comm::kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(2)));
  EXPECT_EQ(source.available(), 2 * 37);
}

}  // namespace
