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

}  // namespace

LockTimeout::LockTimeout(int wait_ms)
    : std::runtime_error(std::string(kMutexName) + " not acquired within " +
                         std::to_string(wait_ms) + " ms") {}

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
  o.frame = constructOne(segment, kFrame, RxFrame{});
  o.frame_counter = constructOne<std::int32_t>(segment, kFrameCounter, 0);
  o.runtime = constructOne(segment, kRuntime, 0.0);
  o.activate_adaptive_translation = constructOne(segment, kActivateTranslation, false);
  o.activate_adaptive_rotation = constructOne(segment, kActivateRotation, false);
  o.wrench_offset = constructOne(segment, kWrenchOffset, ftBias{});
  o.track_wrench = constructOne(segment, kTrackWrench, Wrench{});
  o.gravity_compensated_wrench = constructOne(segment, kGravityCompensatedWrench, Wrench{});
  o.tcp_transformed_wrench = constructOne(segment, kTcpTransformedWrench, Wrench{});
  o.tcp_filtered_wrench = constructOne(segment, kTcpFilteredWrench, Wrench{});
  o.gains = constructOne(segment, kGains, Gains{});
  o.enabled_axes = constructOne(segment, kEnabledAxes, EnabledAxes{});
  o.enabled_system_filters = constructOne(segment, kEnabledSystemFilters, EnabledSystemFilters{});
  o.system_filter_params = constructOne(segment, kSystemFilterParams, SystemFilterParams{});
  o.temp_filter_options = constructOne(segment, kTempFilterOptions, FilterOptions{});
  o.new_filter_flag = constructOne<std::int32_t>(segment, kNewFilterFlag, 0);
  o.reset_filter_history = constructOne(segment, kResetFilterHistory, false);
  o.sensor_to_tfc_transform = constructOne(segment, kSensorToTfcTransform, hx4rc_api::Frame());
  o.sensor_health = constructOne(segment, kSensorHealth, SensorHealth{});
  o.force_control_limits = constructOne(segment, kForceControlLimits, ForceControlLimits{});
  o.reload_tool_load = constructOne(segment, kReloadToolLoad, false);
  o.force_control_speed_limits =
      constructOne(segment, kForceControlSpeedLimits, ForceControlSpeedLimits{});
  // Atomics: constructed in place, all zero (no cycle yet, idle).
  o.force_control_heartbeat = segment.construct<ForceControlHeartbeat>(kForceControlHeartbeat)();
  o.black_box_request = constructOne(segment, kBlackBoxRequest, BlackBoxRequest{});
  // The defaults once more, as the creator's last step.
  *o.gains = Gains{};
  *o.system_filter_params = SystemFilterParams{};
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
