// The force-control recorder's ring: a writer thread at the controller's pace
// read by a real second process, the seqlock's verdicts, the object's name,
// mode and removal, and its mappings populated when they are made.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "comm/force_control_recorder.h"
#include "tests/support/peer_process.h"
#include "tests/support/recorder_feed.h"

namespace {

namespace rec = vorel_device::recorder;
using Read = rec::RecorderReader::Read;
using Failure = rec::RecorderReader::Failure;

std::unique_ptr<rec::RecorderReader> attach(Failure& failure) {
  std::string message;
  return rec::RecorderReader::attach(failure, message);
}

// Size and resident part (pages in the page table), kB, of each of this
// process's mappings of the ring (/proc/self/smaps).
std::vector<std::pair<long, long>> ringMappings() {
  std::vector<std::pair<long, long>> found;
  std::ifstream smaps("/proc/self/smaps");
  bool ring = false;
  for (std::string line, key; std::getline(smaps, line);) {
    long kb = 0;
    std::istringstream(line) >> key >> kb;
    if (key.back() != ':')  // a mapping's first line
      ring = line.find(std::string("/") + rec::kRecorderName) != std::string::npos;
    else if (ring && key == "Size:")
      found.emplace_back(kb, 0);
    else if (ring && key == "Rss:")
      found.back().second = kb;
  }
  return found;
}

TEST(Recorder, WriterAtControllerPace_PeerProcessReadsEveryRecordInOrder) {
  // 512 records (1 s) in the ring and 2 s of records: the reader follows the
  // writer across two wraps.
  auto writer = rec::createRecorder(512);
  ASSERT_EQ(writer->capacity(), 512u);
  vorel_test::PeerProcess peer({VOREL_COMM_RECORDER_PEER, "read", "1000"});
  ASSERT_EQ(peer.readLine().value_or("none"), "attached 0");
  vorel_test::PacedWriter paced(*writer, 1000);
  const vorel_test::PeerExit exit = peer.finish();
  paced.stop();
  ASSERT_TRUE(exit.exited) << peer.errors();
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(peer.output(), "read 1000 first 0 last 999 lost 0 inconsistent 0\n");
}

TEST(Recorder, SlotOverwrittenWhileRead_ReadIsTornAndTheRecordLost) {
  auto writer = rec::createRecorder(2);
  Failure failure;
  auto reader = attach(failure);
  ASSERT_TRUE(reader);
  for (std::uint64_t c = 0; c < 2; ++c)
    writer->append(vorel_test::syntheticRecord(c, 100 + c));

  vorel_device::ForceControlRecord out;
  // The writer laps the reader between its copy and its check: record 2
  // takes record 0's slot.
  EXPECT_EQ(reader->readWith(0, out, [&] { writer->append(vorel_test::syntheticRecord(2, 102)); }),
            Read::kTorn);
  EXPECT_EQ(reader->read(0, out), Read::kOverwritten);
  EXPECT_EQ(reader->read(3, out), Read::kNotWritten);
  ASSERT_EQ(reader->read(1, out), Read::kOk);
  EXPECT_EQ(out.cycle, 1u);
  EXPECT_TRUE(vorel_test::consistentRecord(out));
  ASSERT_TRUE(reader->newest(out));
  EXPECT_EQ(out.cycle, 2u);
  EXPECT_EQ(out.monotonic_ns, 102);
  EXPECT_EQ(reader->oldestIndex(), 1u);
}

TEST(Recorder, CreatedUnderUmask077_Mode0644MappingsPopulatedOnlyItsOwnNameRemoved) {
  // A stale object of the name (a crashed host's), too small to be a ring.
  const int stale = ::shm_open("/VorelForceControlRecorder", O_RDWR | O_CREAT, 0600);
  ASSERT_GE(stale, 0);
  ::close(stale);
  Failure failure = Failure::kNone;
  EXPECT_FALSE(attach(failure));
  EXPECT_EQ(failure, Failure::kNotReady);

  const mode_t previous = ::umask(077);
  auto first = rec::createRecorder();
  ::umask(previous);
  struct stat st {};
  ASSERT_EQ(::stat("/dev/shm/VorelForceControlRecorder", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(st.st_size, static_cast<off_t>(rec::ringSize(rec::kDefaultCapacity)));
  auto reader = attach(failure);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->capacity(), 8192u);
  EXPECT_EQ(reader->writerPid(), ::getpid());
  EXPECT_FALSE(reader->replaced());
  // Nothing appended or read yet: a page present now was faulted in by the
  // mapping itself (the writer's, then the reader's), so no append and no
  // read faults one in later.
  const auto mappings = ringMappings();
  EXPECT_EQ(mappings.size(), 2u);
  for (const auto& [size, resident] : mappings)
    EXPECT_EQ(resident, size);

  // A new activation's ring takes the name; the old writer leaves it alone.
  auto second = rec::createRecorder(16);
  EXPECT_TRUE(reader->replaced());
  first.reset();
  auto renewed = attach(failure);
  ASSERT_TRUE(renewed);
  EXPECT_EQ(renewed->capacity(), 16u);
  second.reset();
  EXPECT_FALSE(attach(failure));
  EXPECT_EQ(failure, Failure::kAbsent);
}

}  // namespace
