#include "comm/force_control_recorder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>
#include <system_error>

namespace vorel_device {
namespace recorder {

namespace {

std::string posixName(const std::string& name) {
  return "/" + name;
}

[[noreturn]] void fail(const std::string& what, const std::string& name, int error) {
  throw std::system_error(error, std::generic_category(), what + " " + name);
}

std::uint32_t roundUpToPowerOfTwo(std::uint32_t capacity) {
  std::uint32_t rounded = 2;
  while (rounded < capacity && rounded < (1u << 30))
    rounded <<= 1;
  return rounded;
}

std::int64_t nowNs(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The object now under `name`: device and inode, or 0, 0 when there is none.
void identityOf(const std::string& name, std::uint64_t& device, std::uint64_t& inode) {
  device = 0;
  inode = 0;
  const int fd = ::shm_open(posixName(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0)
    return;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    device = static_cast<std::uint64_t>(st.st_dev);
    inode = static_cast<std::uint64_t>(st.st_ino);
  }
  ::close(fd);
}

}  // namespace

std::size_t ringSize(std::uint32_t capacity) {
  return kHeaderSize + static_cast<std::size_t>(capacity) * sizeof(RecorderSlot);
}

std::int64_t monotonicNowNs() {
  return nowNs(CLOCK_MONOTONIC);
}

std::unique_ptr<RecorderWriter> createRecorder(std::uint32_t capacity, const std::string& name) {
  const std::uint32_t slots = roundUpToPowerOfTwo(capacity);
  const std::size_t size = ringSize(slots);
  const std::string path = posixName(name);
  // A ring left by a crashed process goes; readers that map it keep it.
  ::shm_unlink(path.c_str());
  const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPermissions);
  if (fd < 0)
    fail("cannot create the force-control recorder", name, errno);
  struct stat st {};
  // shm_open applies the umask to the mode: set it exactly.
  if (::fchmod(fd, kPermissions) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
      ::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    ::shm_unlink(path.c_str());
    fail("cannot size the force-control recorder", name, error);
  }
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int map_error = errno;
  ::close(fd);
  if (base == MAP_FAILED) {
    ::shm_unlink(path.c_str());
    fail("cannot map the force-control recorder", name, map_error);
  }
  // Every page written once now, so that no append faults one in; all-zero
  // atomics and sequences are their initial values.
  std::memset(base, 0, size);

  std::unique_ptr<RecorderWriter> writer(new RecorderWriter());
  writer->name_ = name;
  writer->base_ = base;
  writer->size_ = size;
  writer->header_ = static_cast<RecorderHeader*>(base);
  writer->slots_ = reinterpret_cast<RecorderSlot*>(static_cast<char*>(base) + kHeaderSize);
  writer->mask_ = slots - 1;
  writer->device_ = static_cast<std::uint64_t>(st.st_dev);
  writer->inode_ = static_cast<std::uint64_t>(st.st_ino);

  RecorderHeader& header = *writer->header_;
  header.version = kLayoutVersion;
  header.record_size = sizeof(ForceControlRecord);
  header.capacity = slots;
  header.slot_size = sizeof(RecorderSlot);
  header.created_realtime_ns = nowNs(CLOCK_REALTIME);
  header.writer_pid = static_cast<std::int32_t>(::getpid());
  header.next_index.store(0, std::memory_order_relaxed);
  // Readers take the ring only once everything above is in place.
  header.magic.store(kMagic, std::memory_order_release);
  return writer;
}

RecorderWriter::~RecorderWriter() {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  identityOf(name_, device, inode);
  if (inode != 0 && device == device_ && inode == inode_)
    ::shm_unlink(posixName(name_).c_str());
  ::munmap(base_, size_);
}

std::unique_ptr<RecorderReader> RecorderReader::attach(Failure& failure, std::string& message,
                                                       const std::string& name) {
  failure = Failure::kNone;
  message.clear();
  const int fd = ::shm_open(posixName(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    const int error = errno;
    failure = error == ENOENT ? Failure::kAbsent : Failure::kSystem;
    message = "cannot open the force-control recorder " + name + ": " +
              std::system_category().message(error);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < kHeaderSize) {
    ::close(fd);
    failure = Failure::kNotReady;
    message = "the force-control recorder " + name + " is being created";
    return nullptr;
  }
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  // Populated now (every page mapped): reading a record never faults a page
  // in, so the reader's resident memory does not grow after it attached.
  void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  const int map_error = errno;
  ::close(fd);
  if (base == MAP_FAILED) {
    failure = Failure::kSystem;
    message = "cannot map the force-control recorder " + name + ": " +
              std::system_category().message(map_error);
    return nullptr;
  }
  std::unique_ptr<RecorderReader> reader(new RecorderReader());
  reader->name_ = name;
  reader->base_ = base;
  reader->size_ = size;
  reader->header_ = static_cast<const RecorderHeader*>(base);
  reader->device_ = static_cast<std::uint64_t>(st.st_dev);
  reader->inode_ = static_cast<std::uint64_t>(st.st_ino);

  const RecorderHeader& header = *reader->header_;
  if (header.magic.load(std::memory_order_acquire) != kMagic) {
    failure = Failure::kNotReady;
    message = "the force-control recorder " + name + " is being created";
    return nullptr;
  }
  const std::uint32_t capacity = header.capacity;
  if (header.version != kLayoutVersion || header.record_size != sizeof(ForceControlRecord) ||
      header.slot_size != sizeof(RecorderSlot) || capacity < 2 ||
      (capacity & (capacity - 1)) != 0 || size < ringSize(capacity)) {
    failure = Failure::kLayout;
    message = "the force-control recorder " + name + " has layout version " +
              std::to_string(header.version) + " with " + std::to_string(header.record_size) +
              "-byte records; this program reads version " + std::to_string(kLayoutVersion) +
              " with " + std::to_string(sizeof(ForceControlRecord)) + "-byte records";
    return nullptr;
  }
  reader->mask_ = capacity - 1;
  reader->slots_ =
      reinterpret_cast<const RecorderSlot*>(static_cast<const char*>(base) + kHeaderSize);
  return reader;
}

RecorderReader::~RecorderReader() {
  ::munmap(const_cast<void*>(base_), size_);
}

std::uint64_t RecorderReader::oldestIndex() const {
  const std::uint64_t next = nextIndex();
  return next > capacity() ? next - capacity() : 0;
}

bool RecorderReader::newest(ForceControlRecord& out) const {
  // Only a reader stalled for a whole ring between the two loads can miss
  // the newest record; it then takes the one that is newest now.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::uint64_t next = nextIndex();
    if (next == 0)
      return false;
    if (read(next - 1, out) == Read::kOk)
      return true;
  }
  return false;
}

bool RecorderReader::replaced() const {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  identityOf(name_, device, inode);
  return inode == 0 || device != device_ || inode != inode_;
}

}  // namespace recorder
}  // namespace vorel_device
