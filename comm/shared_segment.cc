#include "comm/shared_segment.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include <cerrno>
#include <cstdio>
#include <string>

namespace vorel_device {
namespace shared_segment {

namespace {

bip::permissions permissions() {
  bip::permissions perm;
  perm.set_permissions(kPermissions);
  return perm;
}

template <class T>
T* constructOne(Segment& segment, const char* name, const T& initial) {
  return segment.construct<T>(name)(initial);
}

// An object that cannot be copied (atomics): default-constructed in place.
template <class T>
T* constructOne(Segment& segment, const char* name, InPlace) {
  return segment.construct<T>(name)();
}

}  // namespace

LockTimeout::LockTimeout(int wait_ms) : what_() {
  std::snprintf(what_, sizeof what_, "%s not acquired within %d ms", kMutexName, wait_ms);
}

Lock::Lock(Mutex& mutex, int wait_ms) : mutex_(mutex) {
  // Uncontended (nearly always: holders keep it for microseconds): taken
  // without reading the clock.
  if (mutex_.try_lock())
    return;
  // sem_timedwait measures the absolute deadline on the realtime clock.
  const boost::posix_time::ptime deadline = boost::posix_time::microsec_clock::universal_time() +
                                            boost::posix_time::milliseconds(wait_ms);
  for (;;) {
    try {
      if (mutex_.timed_lock(deadline))
        return;
      throw LockTimeout(wait_ms);
    } catch (const bip::interprocess_exception& e) {
      // A signal interrupted the wait: wait again for what is left of it.
      if (e.get_native_error() != EINTR)
        throw;
    }
  }
}

Lock::~Lock() {
  mutex_.unlock();
}

RemovalGuard::RemovalGuard() {
  bip::shared_memory_object::remove(kSegmentName);
  Mutex::remove(kMutexName);
}

RemovalGuard::~RemovalGuard() {
  Mutex::remove(kMutexName);
  bip::shared_memory_object::remove(kSegmentName);
}

Segment createSegment() {
  return Segment(bip::open_or_create, kSegmentName, kSegmentSize, nullptr, permissions());
}

boost::shared_ptr<Mutex> createMutex() {
  boost::shared_ptr<Mutex> mutex(new Mutex(bip::open_or_create, kMutexName, permissions()));
  // sem_open applies the creating process's umask to the mode (0600 under
  // umask 077), which would lock a binding process of another user out.
  // The segment's mode is set exactly by its creation (fchmod after
  // shm_open); the semaphore's is set here, on the file glibc keeps it in.
  const std::string path = std::string(kSemaphoreDirectory) + "sem." + kMutexName;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const int changed = fd >= 0 ? ::fchmod(fd, kPermissions) : -1;
  const int error = errno;
  if (fd >= 0)
    ::close(fd);
  if (changed != 0)
    throw bip::interprocess_exception(bip::error_info(error));
  return mutex;
}

Objects constructObjects(Segment& segment) {
  Objects o;
#define VOREL_CONSTRUCT(member, name, type, init, writers) \
  o.member = constructOne<type>(segment, name, init);
  VOREL_SHARED_OBJECTS(VOREL_CONSTRUCT)
#undef VOREL_CONSTRUCT
  // The defaults once more, as the creator's last step.
  *o.gains = Gains{};
  *o.system_filter_params = SystemFilterParams{};
  return o;
}

Objects findObjects(Segment& segment) {
  Objects o;
#define VOREL_FIND(member, name, type, init, writers) o.member = find<type>(segment, name);
  VOREL_SHARED_OBJECTS(VOREL_FIND)
#undef VOREL_FIND
  return o;
}

Identity currentIdentity() {
  Identity identity;
  // The name as Boost.Interprocess hands it to shm_open.
  static const std::string shm_name = std::string("/") + kSegmentName;
  const int fd = ::shm_open(shm_name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0)
    return identity;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    identity.device = static_cast<std::uint64_t>(st.st_dev);
    identity.inode = static_cast<std::uint64_t>(st.st_ino);
  }
  ::close(fd);
  return identity;
}

Segment openSegment() {
  return Segment(bip::open_only, kSegmentName);
}

boost::shared_ptr<Mutex> openMutex() {
  return boost::shared_ptr<Mutex>(new Mutex(bip::open_only, kMutexName));
}

}  // namespace shared_segment
}  // namespace vorel_device
