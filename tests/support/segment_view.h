// The test's own view of the shared segment, opened open-only as the
// force-control thread opens it: every access looks the object up by name
// under the named mutex. Plus checks of the two operating-system names made
// with plain POSIX calls, independent of the interprocess library.
#pragma once

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/shared_ptr.hpp>
#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "comm/shared_segment.h"

namespace vorel_test {

namespace ss = vorel_device::shared_segment;

// POSIX names of the segment and the mutex (the library adds the slash).
constexpr const char* kSegmentPosixName = "/VorelFrameSharedMemory";
constexpr const char* kMutexPosixName = "/VorelNamedMutex";

inline bool segmentNameExists() {
  const int fd = ::shm_open(kSegmentPosixName, O_RDONLY, 0);
  if (fd < 0)
    return errno != ENOENT;
  ::close(fd);
  return true;
}

inline bool mutexNameExists() {
  sem_t* sem = ::sem_open(kMutexPosixName, 0);
  if (sem == SEM_FAILED)
    return errno != ENOENT;
  ::sem_close(sem);
  return true;
}

// The named mutex's semaphore count: 1 unlocked, 0 locked; -1 when absent.
inline int mutexCount() {
  sem_t* sem = ::sem_open(kMutexPosixName, 0);
  if (sem == SEM_FAILED)
    return -1;
  int value = -1;
  ::sem_getvalue(sem, &value);
  ::sem_close(sem);
  return value;
}

// Mode bits and size of the segment's shared-memory object; false when absent.
inline bool segmentStat(mode_t& mode, off_t& size) {
  const int fd = ::shm_open(kSegmentPosixName, O_RDONLY, 0);
  if (fd < 0)
    return false;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  mode = st.st_mode & 07777;
  size = st.st_size;
  return ok;
}

// Removes both names (a clean machine for the next step of a test).
inline void removeNames() {
  ss::RemovalGuard guard;
}

class SegmentView {
 public:
  // Open-only, as the force-control thread: throws when either is missing.
  SegmentView() : mutex_(ss::openMutex()), segment_(ss::openSegment()) {}

  template <class T>
  T read(const char* name) {
    ss::Lock lock(*mutex_);
    return *lookUp<T>(name);
  }

  template <class T>
  void write(const char* name, const T& value) {
    ss::Lock lock(*mutex_);
    *lookUp<T>(name) = value;
  }

  // Number of elements of the object `name` (0 when it does not exist).
  template <class T>
  std::size_t count(const char* name) {
    return segment_.find<T>(name).second;
  }

  ss::Mutex& mutex() { return *mutex_; }
  ss::Segment& segment() { return segment_; }

 private:
  template <class T>
  T* lookUp(const char* name) {
    T* object = ss::find<T>(segment_, name);
    if (object == nullptr)
      throw std::runtime_error(std::string("no shared object ") + name);
    return object;
  }

  boost::shared_ptr<ss::Mutex> mutex_;
  ss::Segment segment_;
};

}  // namespace vorel_test
