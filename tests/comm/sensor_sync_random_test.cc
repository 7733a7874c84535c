// Randomised streams for the synchroniser: valid frames mixed with frames with
// a flipped bit, garbage runs, dropped and inserted bytes, delivered in
// chunks of random size. Whatever the stream, outcome 1 only ever reports a
// frame whose header and CRC are right (checked with an independent CRC
// routine), and a clean stream after the garbage is re-acquired.
#include <gtest/gtest.h>

#include <functional>
#include <random>

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
using vorel_test::frameIsValid;
using vorel_test::TestableComm;

constexpr int kCleanTailFrames = 80;

std::uint8_t randomByte(std::mt19937& rng) {
  // Header bytes are over-represented so that misaligned windows often start
  // with 0xAA.
  if (rng() % 8 == 0)
    return RxFrame::kHeader;
  return static_cast<std::uint8_t>(rng());
}

RxFrame randomValidFrame(std::mt19937& rng) {
  RxFrame f{};
  f.header = RxFrame::kHeader;
  for (std::size_t i = 0; i < RxFrame::kDataSize; ++i)
    f.data()[i] = randomByte(rng);
  f.crc = vorel_test::tableCrcX25(f.data(), RxFrame::kDataSize);
  return f;
}

struct RandomStream {
  Bytes bytes;
  RxFrame last;  // the last frame of the clean tail
};

RandomStream makeStream(unsigned seed) {
  std::mt19937 rng(seed);
  RandomStream s;
  for (int i = 0, n = static_cast<int>(rng() % 100); i < n; ++i)
    s.bytes.push_back(randomByte(rng));
  for (int segment = 0; segment < 40; ++segment) {
    Bytes frame = bytesOf(randomValidFrame(rng));
    switch (rng() % 6) {
      case 0:
      case 1:
        break;
      case 2:  // one flipped bit after the header: always a CRC failure
        frame[1 + rng() % 36] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 3:  // a garbage run instead of a frame
        frame.clear();
        for (int i = 0, n = 1 + static_cast<int>(rng() % 80); i < n; ++i) {
          frame.push_back(randomByte(rng));
        }
        break;
      case 4:  // a dropped byte
        frame.erase(frame.begin() + rng() % frame.size());
        break;
      case 5:  // an inserted byte
        frame.insert(frame.begin() + rng() % (frame.size() + 1), randomByte(rng));
        break;
    }
    append(s.bytes, frame);
  }
  for (int i = 0; i < kCleanTailFrames; ++i) {
    s.last = randomValidFrame(rng);
    append(s.bytes, s.last);
  }
  return s;
}

struct Tally {
  int outcomes[4] = {0, 0, 0, 0};
};

// Delivers the stream in random chunks; after each chunk `drain` runs the
// reader once and `pending` reports what is left unread. Checks the outcome
// of every call against the reader's state.
void runStream(unsigned seed, TestableComm& comm, const std::function<void(const Bytes&)>& deliver,
               const std::function<int()>& drain, const std::function<int()>& pending,
               Tally& tally) {
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  const RandomStream stream = makeStream(seed);
  std::mt19937 chunks(seed ^ 0x9E3779B9u);
  int result = -1;
  for (std::size_t sent = 0; sent < stream.bytes.size();) {
    const std::size_t n = std::min<std::size_t>(1 + chunks() % 300, stream.bytes.size() - sent);
    deliver(Bytes(stream.bytes.begin() + sent, stream.bytes.begin() + sent + n));
    sent += n;

    result = drain();
    ASSERT_GE(result, 0);
    ASSERT_LE(result, 3);
    ++tally.outcomes[result];
    ASSERT_LT(pending(), 37) << "the call left complete frames pending";
    const RxFrame& rx = comm.rxFrame();
    switch (result) {
      case VorelForceTorqueSensorComm::kFrameOk:
        ASSERT_TRUE(frameIsValid(rx)) << "outcome 1 for a frame with a wrong header or CRC";
        ASSERT_TRUE(comm.isSynced());
        break;
      case VorelForceTorqueSensorComm::kCrcError:
        ASSERT_EQ(rx.header, RxFrame::kHeader);
        ASSERT_FALSE(frameIsValid(rx));
        ASSERT_TRUE(comm.isSynced());
        break;
      case VorelForceTorqueSensorComm::kOutOfSync:
        ASSERT_FALSE(comm.isSynced());
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(result, VorelForceTorqueSensorComm::kFrameOk) << "clean tail not re-acquired";
  EXPECT_TRUE(vorel_test::sameBytes(comm.rxFrame(), stream.last));
  EXPECT_EQ(pending(), 0);
}

// A stream that has arrived up to `arrived` bytes.
struct ArrivingSource {
  const Bytes& bytes;
  std::size_t arrived = 0;
  std::size_t pos = 0;

  int available() const { return static_cast<int>(arrived - pos); }
  ssize_t read(std::uint8_t* buf, std::size_t len) {
    const std::size_t n = std::min(len, arrived - pos);
    std::copy(bytes.begin() + pos, bytes.begin() + pos + n, buf);
    pos += n;
    return static_cast<ssize_t>(n);
  }
};

TEST(SyncRandomStream, FromMemory_NeverReportsBadFrameAndReacquires) {
  Tally tally;
  for (unsigned seed = 1; seed <= 300; ++seed) {
    TestableComm comm;
    comm.allowDrain();
    Bytes received;
    ArrivingSource source{received};
    received.reserve(1 << 16);
    runStream(
        seed, comm,
        [&](const Bytes& chunk) {
          append(received, chunk);
          source.arrived = received.size();
        },
        [&] { return comm.readFrameFrom(source); }, [&] { return source.available(); }, tally);
    if (HasFatalFailure())
      return;
  }
  // The streams exercised every outcome.
  EXPECT_GT(tally.outcomes[1], 0);
  EXPECT_GT(tally.outcomes[2], 0);
  EXPECT_GT(tally.outcomes[3], 0);
}

TEST(SyncRandomStream, ThroughPipe_NeverReportsBadFrameAndReacquires) {
  Tally tally;
  for (unsigned seed = 1001; seed <= 1010; ++seed) {
    vorel_test::Channel channel;
    ASSERT_TRUE(vorel_test::openPipe(channel));
    TestableComm comm;
    comm.setPort(channel.port);
    comm.allowDrain();
    runStream(
        seed, comm, [&](const Bytes& chunk) { ASSERT_TRUE(channel.send(chunk)); },
        [&] { return comm.readFrame(); }, [&] { return comm.serialAvailable(); }, tally);
    if (HasFatalFailure())
      return;
  }
  EXPECT_GT(tally.outcomes[1], 0);
  EXPECT_GT(tally.outcomes[3], 0);
}

}  // namespace
