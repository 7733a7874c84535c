// Randomised streams for the synchroniser: valid frames mixed with frames with
// a flipped bit, garbage runs, dropped and inserted bytes, from memory byte by
// byte and through a pipe in chunks of random size. Outcome 1 only ever
// reports a frame whose header and CRC are right (checked with the tests' own
// CRC routine), no call leaves a whole frame pending, the clean stream after
// the faults is re-acquired, and, fed byte by byte (so that every frame taken
// shows as a call's outcome), every frame that arrived whole was taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "comm/sensor_reader.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/comm/testable_comm.h"

namespace {

using vorel_test::append;
using vorel_test::Bytes;
using vorel_test::bytesOf;
using vorel_test::RxFrame;
using Comm = vorel_device::VorelForceTorqueSensorComm;

// Header bytes are over-represented so that misaligned windows often start
// with 0xAA.
std::uint8_t randomByte(std::mt19937& rng) {
  return rng() % 8 == 0 ? RxFrame::kHeader : static_cast<std::uint8_t>(rng());
}

RxFrame randomValidFrame(std::mt19937& rng) {
  RxFrame f{};
  f.header = RxFrame::kHeader;
  for (std::size_t i = 0; i < RxFrame::kDataSize; ++i)
    f.data()[i] = randomByte(rng);
  f.crc = vorel_test::tableCrcX25(f.data(), RxFrame::kDataSize);
  return f;
}

// Random garbage, 40 damaged or intact frames, then 80 clean frames; `last`
// is the last of them, `whole` holds every frame sent unchanged.
Bytes makeStream(unsigned seed, RxFrame& last, std::set<Bytes>& whole) {
  std::mt19937 rng(seed);
  Bytes s;
  for (int i = 0, n = static_cast<int>(rng() % 100); i < n; ++i)
    s.push_back(randomByte(rng));
  for (int segment = 0; segment < 120; ++segment) {
    last = randomValidFrame(rng);
    Bytes frame = bytesOf(last);
    switch (segment < 40 ? rng() % 6 : 0) {
      case 2:  // one flipped bit after the header: a CRC failure
        frame[1 + rng() % 36] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 3:  // a garbage run instead of a frame
        frame.assign(1 + rng() % 80, 0);
        for (auto& b : frame)
          b = randomByte(rng);
        break;
      case 4:  // a dropped byte
        frame.erase(frame.begin() + rng() % frame.size());
        break;
      case 5:  // an inserted byte (before or after the frame: it stays whole)
        frame.insert(frame.begin() + rng() % (frame.size() + 1), randomByte(rng));
        break;
      default:
        break;
    }
    for (std::size_t at = 0; at + RxFrame::kSize <= frame.size(); ++at)
      if (Bytes(frame.begin() + at, frame.begin() + at + RxFrame::kSize) == bytesOf(last))
        whole.insert(bytesOf(last));
    append(s, frame);
  }
  return s;
}

class SyncRandomStreamTest : public testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Feeds, SyncRandomStreamTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "ThroughPipe" : "FromMemoryByteByByte";
                         });

TEST_P(SyncRandomStreamTest, AnyStream_NeverReportsBadFrameNeverLosesWholeOne) {
  const bool pipe = GetParam();
  int outcomes[4] = {0, 0, 0, 0};
  for (unsigned seed = 1; seed <= (pipe ? 10u : 300u); ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RxFrame last{};
    std::set<Bytes> whole, taken;
    const Bytes stream = makeStream(seed, last, whole);
    vorel_test::Channel channel(vorel_test::Channel::kPipe);
    Comm::MemorySource memory{stream.data(), 0};  // size: the bytes arrived so far
    vorel_test::TestableComm comm;
    comm.setPort(channel.port);
    comm.allowDrain();
    std::mt19937 chunks(seed ^ 0x9E3779B9u);
    int result = -1;
    while (memory.size < stream.size()) {
      const std::size_t from = memory.size;
      memory.size = std::min<std::size_t>(from + (pipe ? 1 + chunks() % 300 : 1), stream.size());
      ASSERT_TRUE(!pipe ||
                  channel.send(Bytes(stream.begin() + from, stream.begin() + memory.size)));
      result = pipe ? comm.readFrame() : comm.readFrameFrom(memory);
      ASSERT_TRUE(result >= 0 && result <= 3);
      ++outcomes[result];
      ASSERT_LT(pipe ? comm.serialAvailable() : memory.available(), 37);
      const bool valid = vorel_test::frameIsValid(comm.rxFrame());
      const bool in_sync = comm.isSynced();
      const bool header = comm.rxFrame().header == RxFrame::kHeader;
      ASSERT_TRUE(result != Comm::kFrameOk || (valid && in_sync)) << "outcome 1 for a bad frame";
      ASSERT_TRUE(result != Comm::kCrcError || (!valid && header && in_sync));
      ASSERT_TRUE(result != Comm::kOutOfSync || !in_sync);
      if (result == Comm::kFrameOk)
        taken.insert(bytesOf(comm.rxFrame()));
    }
    EXPECT_EQ(result, Comm::kFrameOk) << "clean tail not re-acquired";
    EXPECT_TRUE(vorel_test::sameBytes(comm.rxFrame(), last));
    if (!pipe) {
      EXPECT_TRUE(std::includes(taken.begin(), taken.end(), whole.begin(), whole.end()));
    }
  }
  // The streams exercised every outcome.
  EXPECT_GT(outcomes[Comm::kFrameOk], 0);
  EXPECT_GT(outcomes[Comm::kOutOfSync], 0);
  EXPECT_TRUE(pipe || outcomes[Comm::kCrcError] > 0);
}

}  // namespace
