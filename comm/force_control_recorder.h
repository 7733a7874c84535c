// The force-control recorder: a ring of the last ForceControlRecords (one per
// 2 ms controller cycle) in a POSIX shared-memory object of its own,
// "VorelForceControlRecorder" (permissions 0644 whatever the creator's umask),
// beside the shared segment "VorelFrameSharedMemory" and independent of it and
// of "VorelNamedMutex".
//
// One writer, the force-control thread: RecorderWriter::append copies one
// record in O(1) with plain stores (no allocation, no system call, no lock),
// so it can never wait for a reader. Any number of readers, in any process,
// map the object read-only (RecorderReader) and never delay the writer: each
// record carries a sequence number used as a seqlock, from which a reader
// tells a complete record from a torn one (overwritten while it was read) and
// notices the records it lost by falling a whole ring behind.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "comm/force_control_heartbeat.h"
#include "comm/force_control_record.h"

namespace vorel_device {
namespace recorder {

constexpr const char* kRecorderName = "VorelForceControlRecorder";
constexpr unsigned kPermissions = 0644;
// 8192 records: 16.4 s of 2 ms cycles, room for a 10 s + 1 s black-box window
// and the time to write it.
constexpr std::uint32_t kDefaultCapacity = 8192;
constexpr double kCycleTime = 0.002;  // s per record at the controller's pace
// A ring whose newest record is older than this has stopped advancing: its
// force-control thread stopped, is stuck or is gone: the heartbeat's
// figure (50 ms, 25 cycles).
constexpr std::int64_t kLivenessTimeoutNs = heartbeat::kNotRunningAfterNs;

constexpr std::uint32_t kMagic = 0x52434656u;  // "VFCR"
constexpr std::uint32_t kLayoutVersion = 1;
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kRecordWords = sizeof(ForceControlRecord) / sizeof(std::uint64_t);

// Layout (all integers little-endian x86-64, version kLayoutVersion):
//   offset 0     header, kHeaderSize bytes (RecorderHeader)
//   offset 64    capacity slots of slot_size bytes: the sequence (uint64),
//                then the record as 8-byte words, padded to 64 bytes
// Record i (i = 0, 1, ... since the ring's creation) lives in slot
// i % capacity. Its slot's sequence is 2i + 1 while the writer copies it and
// 2i + 2 once it is complete; 0 before the slot's first record. The header's
// next_index is i + 1 once record i is complete; the records
// [max(0, next_index - capacity), next_index) are in the ring.
//
// Lifetime: createRecorder() removes a name left by a crashed process, then
// creates the object afresh; the writer's destructor unmaps it and removes
// the name, unless the name has meanwhile been given to a newer ring. A
// reader that still maps a removed ring keeps reading it; it sees it stop
// advancing, and replaced() tells it that the name designates another ring.
struct RecorderHeader {
  std::atomic<std::uint32_t> magic;  // kMagic, stored last when the ring is ready
  std::uint32_t version;             // kLayoutVersion
  std::uint32_t record_size;         // sizeof(ForceControlRecord), bytes
  std::uint32_t capacity;            // records, a power of two
  std::uint64_t slot_size;           // bytes
  std::int64_t created_realtime_ns;  // wall clock at creation, ns since the epoch
  std::int32_t writer_pid;           // the creating (and writing) process
  std::uint32_t reserved;
  std::atomic<std::uint64_t> next_index;  // index of the next record to be written
};

struct alignas(64) RecorderSlot {
  std::atomic<std::uint64_t> sequence;  // 2i + 1 while record i is copied, 2i + 2 when complete
  std::atomic<std::uint64_t> words[kRecordWords];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "address-free across processes");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "address-free across processes");
static_assert(sizeof(RecorderHeader) <= kHeaderSize, "header fits its place");
static_assert(sizeof(RecorderSlot) % 64 == 0, "slots keep cache-line alignment");

// Bytes of a ring of `capacity` records.
std::size_t ringSize(std::uint32_t capacity);
// CLOCK_MONOTONIC now, ns: the clock of ForceControlRecord::monotonic_ns, the
// same in every process of the machine.
std::int64_t monotonicNowNs();

class RecorderWriter {
 public:
  RecorderWriter(const RecorderWriter&) = delete;
  RecorderWriter& operator=(const RecorderWriter&) = delete;
  // Unmaps the ring and removes its name when the name still designates it.
  ~RecorderWriter();

  // Appends `record` as the next record: O(1), no allocation, no system call,
  // no lock; never waits for a reader. The single writing thread only.
  void append(const ForceControlRecord& record) noexcept {
    const std::uint64_t index = next_;
    RecorderSlot& slot = slots_[index & mask_];
    slot.sequence.store(2 * index + 1, std::memory_order_relaxed);
    // Release stores (plain moves on x86-64): a reader that sees any word of
    // the new record also sees the odd sequence stored before it.
    std::uint64_t words[kRecordWords];
    std::memcpy(words, &record, sizeof record);
    for (std::size_t w = 0; w < kRecordWords; ++w)
      slot.words[w].store(words[w], std::memory_order_release);
    slot.sequence.store(2 * index + 2, std::memory_order_release);
    header_->next_index.store(index + 1, std::memory_order_release);
    next_ = index + 1;
  }

  std::uint64_t nextIndex() const { return next_; }
  std::uint32_t capacity() const { return mask_ + 1; }
  const std::string& name() const { return name_; }

 private:
  friend std::unique_ptr<RecorderWriter> createRecorder(std::uint32_t, const std::string&);
  RecorderWriter() = default;

  std::string name_;
  void* base_ = nullptr;
  std::size_t size_ = 0;
  RecorderHeader* header_ = nullptr;
  RecorderSlot* slots_ = nullptr;
  std::uint32_t mask_ = 0;
  std::uint64_t next_ = 0;
  std::uint64_t device_ = 0;  // identity of the object, for the removal
  std::uint64_t inode_ = 0;
};

// Creator side, on the activating device's thread: removes a stale object of
// that name, creates the ring of `capacity` records (rounded up to a power of
// two, at least 2) with permissions 0644, and touches every page so that the
// writer never faults one in. Throws std::system_error naming the object when
// it cannot.
std::unique_ptr<RecorderWriter> createRecorder(std::uint32_t capacity = kDefaultCapacity,
                                               const std::string& name = kRecorderName);

class RecorderReader {
 public:
  enum class Read {
    kOk,           // `out` holds the complete record
    kNotWritten,   // index >= nextIndex(): not there yet
    kOverwritten,  // the writer has gone a whole ring further: the record is lost
    kTorn,         // it was overwritten while being read: lost
  };

  // Why attach() failed.
  enum class Failure { kNone, kAbsent, kNotReady, kLayout, kSystem };

  // Maps the ring `name` read-only, every page populated (no read faults one
  // in later). Empty with `failure` and `message` set
  // when there is none (kAbsent), it is still being created (kNotReady), its
  // layout is not this program's (kLayout) or the system refused (kSystem).
  static std::unique_ptr<RecorderReader> attach(Failure& failure, std::string& message,
                                                const std::string& name = kRecorderName);
  ~RecorderReader();
  RecorderReader(const RecorderReader&) = delete;
  RecorderReader& operator=(const RecorderReader&) = delete;

  std::uint64_t nextIndex() const { return header_->next_index.load(std::memory_order_acquire); }
  // The oldest record still in the ring (0 until the ring has wrapped).
  std::uint64_t oldestIndex() const;
  std::uint32_t capacity() const { return mask_ + 1; }
  const std::string& name() const { return name_; }
  pid_t writerPid() const { return header_->writer_pid; }
  std::int64_t createdRealtimeNs() const { return header_->created_realtime_ns; }

  // Copies record `index` into `out` when it is complete and still there.
  Read read(std::uint64_t index, ForceControlRecord& out) const {
    return readWith(index, out, [] {});
  }
  // The same, calling `between()` after the copy and before the sequence is
  // checked again (a test overwrites the slot there).
  template <class Between>
  Read readWith(std::uint64_t index, ForceControlRecord& out, Between between) const {
    if (index >= nextIndex())
      return Read::kNotWritten;
    const RecorderSlot& slot = slots_[index & mask_];
    const std::uint64_t before = slot.sequence.load(std::memory_order_acquire);
    if (before != 2 * index + 2)
      return Read::kOverwritten;
    // Acquire loads: the sequence below is read after every word, and a word
    // of a newer record brings the newer sequence with it.
    std::uint64_t words[kRecordWords];
    for (std::size_t w = 0; w < kRecordWords; ++w)
      words[w] = slot.words[w].load(std::memory_order_acquire);
    between();
    if (slot.sequence.load(std::memory_order_relaxed) != before)
      return Read::kTorn;
    std::memcpy(&out, words, sizeof out);
    return Read::kOk;
  }

  // The newest complete record; false when the ring is empty.
  bool newest(ForceControlRecord& out) const;
  // Whether the name no longer designates this ring (removed, or a newer
  // ring created under it).
  bool replaced() const;

 private:
  RecorderReader() = default;

  std::string name_;
  const void* base_ = nullptr;
  std::size_t size_ = 0;
  const RecorderHeader* header_ = nullptr;
  const RecorderSlot* slots_ = nullptr;
  std::uint32_t mask_ = 0;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace recorder
}  // namespace vorel_device
