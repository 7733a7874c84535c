// The frame synchroniser of the sensor reader over real byte channels (pipes,
// pseudo-terminals configured like the sensor's port, packet sockets), and
// the drain loop's stop-flag checks.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include "comm/VorelForceTorqueSensorComm.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/comm/testable_comm.h"

namespace {

using vorel_device::VorelForceTorqueSensorComm;
using vorel_test::append;
using vorel_test::Bytes;
using vorel_test::bytesOf;
using vorel_test::Channel;
using vorel_test::numberedFrame;
using vorel_test::RxFrame;
using vorel_test::sameBytes;
using vorel_test::TestableComm;
using Comm = VorelForceTorqueSensorComm;

RxFrame badCrcFrame(int n) {
  RxFrame f = numberedFrame(n);
  f.crc ^= 0x0101;
  return f;
}

// The tail of a frame entered at byte k, then whole frames 1 .. 38-k: each
// failed attempt consumes 38 bytes, so after 37-k failures the window starts
// on the last frame.
Bytes enteredAt(int k) {
  const Bytes first = bytesOf(numberedFrame(0));
  Bytes stream(first.begin() + k, first.end());
  for (int n = 1; n <= 38 - k; ++n)
    append(stream, bytesOf(numberedFrame(n)));
  return stream;
}

struct SyncCase {
  const char* name;
  bool synced_first;  // a valid frame is read before the stream
  std::function<Bytes()> stream;
  int result;
  bool synced;
  int crc_errors;
  int pending;                    // left on the port after the call
  std::optional<RxFrame> buffer;  // the receive buffer after the call
};

const SyncCase kSyncCases[] = {
    {"ThirtySixBytes", false,
     [] {
       Bytes s = bytesOf(numberedFrame(1));
       s.pop_back();
       return s;
     },
     Comm::kNoAttempt, false, 0, 36, RxFrame{}},
    {"TwoAlignedFrames", false,
     [] {
       Bytes s = bytesOf(numberedFrame(1));
       append(s, bytesOf(numberedFrame(2)));
       return s;
     },
     Comm::kFrameOk, true, 0, 0, numberedFrame(2)},
    {"WrongHeaderInSync", true,
     [] {
       Bytes s = bytesOf(numberedFrame(2));
       s[0] = 0x55;
       append(s, Bytes(10, 0x11));
       return s;  // 37 + 1 skipped byte consumed, 9 left
     },
     Comm::kOutOfSync, false, 0, 9, std::nullopt},
    {"EnteredAtByte1", false, [] { return enteredAt(1); }, Comm::kFrameOk, true, 0, 0,
     numberedFrame(37)},
    {"EnteredAtByte17", false, [] { return enteredAt(17); }, Comm::kFrameOk, true, 0, 0,
     numberedFrame(21)},
    {"EnteredAtByte36", false, [] { return enteredAt(36); }, Comm::kFrameOk, true, 0, 0,
     numberedFrame(2)},
    {"OneByteShortOfAlignment", false,
     [] {
       Bytes s = enteredAt(5);
       s.pop_back();
       return s;
     },
     Comm::kOutOfSync, false, 1, 36, std::nullopt},
    {"HeaderByteWrongCrc", false,
     [] {
       Bytes s(38, 0x42);
       s[0] = RxFrame::kHeader;  // a misaligned window that starts on 0xAA
       return s;
     },
     Comm::kOutOfSync, false, 1, 0, std::nullopt},
    {"ThreeWrongCrcsInSync", true,
     [] {
       Bytes s;
       for (int n = 2; n <= 4; ++n)
         append(s, bytesOf(badCrcFrame(n)));
       return s;
     },
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

TEST_P(SyncChannelTest, ReadFrame_Stream_GivesTableOutcome) {
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
  const Bytes stream = c.stream();
  ASSERT_TRUE(channel.sendUntilPending(stream, static_cast<int>(stream.size())));

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

// A memory stream that requests the reader's stop when its n-th read of a
// whole frame has been served (n = 0: before the call).
struct StoppingSource {
  Comm::MemorySource bytes;
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

struct StopCase {
  const char* name;
  Bytes stream;
  int stop_after_frames;
  int result;
  int left;  // bytes not consumed
};

class SyncStopTest : public testing::TestWithParam<StopCase> {};

INSTANTIATE_TEST_SUITE_P(Stops, SyncStopTest,
                         testing::Values(StopCase{"AlreadyRequested", bytesOf(numberedFrame(1)), 0,
                                                  Comm::kNoAttempt, 37},
                                         StopCase{"InSyncAttempt",
                                                  [] {
                                                    Bytes s;
                                                    for (int n = 1; n <= 4; ++n)
                                                      append(s, bytesOf(numberedFrame(n)));
                                                    return s;
                                                  }(),
                                                  2, Comm::kFrameOk, 2 * 37},
                                         StopCase{"OutOfSyncAttempt", Bytes(3 * 37, 0x5A), 1,
                                                  Comm::kOutOfSync, 3 * 37 - 38}),
                         [](const testing::TestParamInfo<StopCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_P(SyncStopTest, StopRequested_DrainEndsAfterThatAttempt) {
  const StopCase& c = GetParam();
  TestableComm comm;
  if (c.stop_after_frames > 0)
    comm.allowDrain();
  StoppingSource source{{c.stream.data(), c.stream.size()}, comm, c.stop_after_frames};
  EXPECT_EQ(comm.readFrameFrom(source), c.result);
  EXPECT_EQ(source.available(), c.left);
}

}  // namespace
