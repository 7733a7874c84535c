// The frame synchroniser of the sensor reader over a real pipe, fed at the
// sensor's pace: each reader cycle finds the bytes of one frame period (a
// frame, as the line fault left it). One row per line fault: how many frames
// were lost, how many periods after the fault passed before a frame was
// published again, the reader's begin lines, and that every published frame
// is one of the frames sent, byte for byte. Then short and failing reads, and
// the drain loop's stop flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "comm/sensor_reader.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/sensor_line.h"
#include "tests/comm/testable_comm.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::SensorHealth;
using vorel_test::Bytes;
using vorel_test::bytesOf;
using vorel_test::Channel;
using vorel_test::numberedFrame;
using vorel_test::RxFrame;
using vorel_test::sameBytes;
using vorel_test::TestableComm;
using Comm = vorel_device::VorelForceTorqueSensorComm;
using Periods = std::vector<Bytes>;
using Lines = std::vector<std::string>;

constexpr int kFrames = 12;  // F0 .. F11, the fault at F5
const char* const kLost = "lost sync, trying to reconnect (no frame start where one was expected)";
const char* const kWrongCrc = "No valid frame: 1 (wrong CRC)";

struct LineFault {
  const char* name;
  // Spoils the periods; returns the index of the last period it touched.
  std::function<int(Periods&)> apply;
  int lost;        // frames never taken as frames
  int until_sync;  // periods after the last faulted one without a publication
  Lines lines;     // the reader's lines, in order
  friend void PrintTo(const LineFault& f, std::ostream* out) { *out << f.name; }
};

int dropByte(Periods& p, int at) {
  p[5].erase(p[5].begin() + at);
  return 5;
}

int insertByte(Periods& p, int at, std::uint8_t byte) {
  p[5].insert(p[5].begin() + at, byte);
  return 5;
}

int flipByte(Periods& p, int frame, int at) {
  p[frame][at] ^= 0x11;
  return frame;
}

// Ten milliseconds at 500 Hz: five frame periods of random bytes.
int garbage(Periods& p) {
  std::mt19937 rng(24);
  for (int f = 5; f < 10; ++f)
    for (auto& b : p[f])
      b = static_cast<std::uint8_t>(rng());
  return 9;
}

// The four 7-byte acknowledgements of the configuration exchange, in the
// period before the first frame.
int acknowledgements(Periods& p) {
  const std::string acks = "ACK C\r\nACK f\r\nACK s\r\nACK R\r\n";
  p.insert(p.begin(), Bytes(acks.begin(), acks.end()));
  return 0;
}

const LineFault kLineFaults[] = {
    {"DroppedHeaderByte", [](Periods& p) { return dropByte(p, 0); }, 1, 0, {kLost}},
    {"DroppedPayloadByte", [](Periods& p) { return dropByte(p, 10); }, 1, 0, {kWrongCrc, kLost}},
    {"DroppedCrcByte", [](Periods& p) { return dropByte(p, 36); }, 1, 0, {kWrongCrc, kLost}},
    {"InsertedPayloadByte",
     [](Periods& p) { return insertByte(p, 11, 0x00); },
     1,
     0,
     {kWrongCrc, kLost}},
    {"InsertedByteBeforeFrame", [](Periods& p) { return insertByte(p, 0, 0x5A); }, 0, 0, {kLost}},
    {"InsertedHeaderByteBeforeFrame",
     [](Periods& p) { return insertByte(p, 0, RxFrame::kHeader); },
     0,
     0,
     {kWrongCrc, kLost}},
    {"CorruptedHeader", [](Periods& p) { return flipByte(p, 5, 0); }, 1, 0, {kLost}},
    {"CorruptedCrc", [](Periods& p) { return flipByte(p, 5, 36); }, 1, 0, {kWrongCrc}},
    {"CorruptedPayload", [](Periods& p) { return flipByte(p, 5, 12); }, 1, 0, {kWrongCrc}},
    // In sync, a wrong CRC keeps the alignment: no loss of sync.
    {"ThreeCorruptedCrcs",
     [](Periods& p) {
       flipByte(p, 5, 35);
       flipByte(p, 6, 35);
       return flipByte(p, 7, 35);
     },
     3,
     0,
     {kWrongCrc}},
    {"TenMillisecondsOfGarbage", garbage, 5, 0, {kLost}},
    {"AcknowledgementsBeforeFirstFrame", acknowledgements, 0, 0, {}},
    {"EnteredMidFrame",
     [](Periods& p) {
       p[0].erase(p[0].begin(), p[0].begin() + 17);
       return 0;
     },
     1,
     0,
     {}},
};

class LineFaultTest : public testing::TestWithParam<LineFault> {};

INSTANTIATE_TEST_SUITE_P(Faults, LineFaultTest, testing::ValuesIn(kLineFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(LineFaultTest, FramesAtSensorPace_OnlyTouchedFramesLost) {
  const LineFault& row = GetParam();
  Periods periods;
  for (int n = 0; n < kFrames; ++n)
    periods.push_back(bytesOf(numberedFrame(n)));
  const int last_fault = row.apply(periods);

  Channel channel(Channel::kPipe);
  ASSERT_TRUE(channel.ok());
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();
  vorel_test::SegmentView view;
  std::uint64_t published = 0;
  int first_after = -1;  // the first period after the fault with a publication
  testing::internal::CaptureStdout();
  for (int i = 0; i < static_cast<int>(periods.size()); ++i) {
    EXPECT_TRUE(channel.send(periods[i]));  // in the pipe when write returns
    comm.readSensor();
    const SensorHealth health = view.read<SensorHealth>(ss::kSensorHealth);
    if (health.frames_published == published)
      continue;
    published = health.frames_published;
    if (i > last_fault && first_after < 0)
      first_after = i;
    // A publication is a frame sent, whole: its number is in ft_data[0].
    const RxFrame frame = view.read<RxFrame>(ss::kFrame);
    const float n = frame.ft_data[0];
    EXPECT_TRUE(n >= 0.0f && n < kFrames && sameBytes(frame, numberedFrame(static_cast<int>(n))))
        << "period " << i;
  }
  comm.finishDiagnostics();
  const Lines printed = vorel_test::linesOf(testing::internal::GetCapturedStdout());

  EXPECT_EQ(kFrames - static_cast<int>(comm.frameSynchroniser().counts().frames), row.lost);
  EXPECT_EQ(first_after - last_fault - 1, row.until_sync);
  // Each begin line is followed, when the reader stops, by its end line.
  Lines begun;
  for (const auto& line : printed)
    if (line.rfind("End of ", 0) != 0)
      begun.push_back(line);
  EXPECT_EQ(begun, row.lines);
  EXPECT_EQ(printed.size(), 2 * row.lines.size());
}

// A short read brings bytes of the stream in order: a frame that arrives as
// two packets (a packet socket reads one per call) is one frame.
TEST(SyncReads, FrameInTwoPackets_IsOneFrame) {
  Channel channel(Channel::kPacketSockets);
  ASSERT_TRUE(channel.ok());
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();
  const Bytes frame = bytesOf(numberedFrame(7));
  ASSERT_TRUE(channel.send(Bytes(frame.begin(), frame.begin() + 20)));
  ASSERT_TRUE(channel.send(Bytes(frame.begin() + 20, frame.end())));
  EXPECT_EQ(comm.readFrame(), Comm::kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(7)));
  EXPECT_EQ(comm.serialAvailable(), 0);
}

// Bytes are pending but every read fails (the descriptor is a pipe's write
// end): the call ends instead of spinning, and nothing changes.
TEST(SyncReads, ReadErrorWithBytesPending_EndsCallStateKept) {
  Channel channel(Channel::kPipe);
  TestableComm comm;
  comm.setPort(channel.port);
  comm.allowDrain();
  ASSERT_TRUE(channel.sendUntilPending(bytesOf(numberedFrame(1)), 37));
  ASSERT_EQ(comm.readFrame(), Comm::kFrameOk);

  ASSERT_TRUE(channel.sendUntilPending(Bytes(40, 0x33), 40));
  comm.setPort(channel.feed);
  EXPECT_EQ(comm.readFrame(), Comm::kNoAttempt);
  EXPECT_TRUE(comm.isSynced());
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(1)));
  EXPECT_EQ(channel.pending(), 40);
}

// A port that brings one frame per read, and a stop requested during the
// second read: the call ends with the first frame; the second, already read,
// is not lost.
TEST(SyncStopFlag, StopRequestedDuringDrain_EndsBeforeNextAttempt) {
  TestableComm comm;
  comm.allowDrain();
  Bytes stream;
  for (int n = 1; n <= 4; ++n)
    vorel_test::append(stream, bytesOf(numberedFrame(n)));
  struct StoppingSource {
    Comm::MemorySource bytes;
    TestableComm& comm;
    int reads = 0;
    int available() const { return bytes.available(); }
    ssize_t read(std::uint8_t* buf, std::size_t len) {
      if (++reads == 2)
        comm.requestStop();
      return bytes.read(buf, std::min(len, RxFrame::kSize));
    }
  } source{{stream.data(), stream.size()}, comm};
  EXPECT_EQ(comm.readFrameFrom(source), Comm::kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(1)));
  comm.allowDrain();
  EXPECT_EQ(comm.readFrameFrom(source), Comm::kFrameOk);
  EXPECT_TRUE(sameBytes(comm.rxFrame(), numberedFrame(4)));
  EXPECT_EQ(comm.frameSynchroniser().counts().frames, 4u);
}

}  // namespace
