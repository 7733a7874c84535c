// The shared segment through which the three workers (sensor reader, command
// facade, force-control thread) and the host's threads exchange everything:
// the POSIX shared-memory object "VorelFrameSharedMemory" (131072 bytes,
// permissions 0644) managed by Boost.Interprocess, with eighteen named objects
// plus the additions "sensor_health", "force_control_limits",
// "reload_tool_load", "force_control_speed_limits", "force_control_heartbeat"
// and "black_box_request", guarded by one named mutex "VorelNamedMutex" (a
// POSIX named semaphore, not recursive, not robust: a holder that dies
// leaves it locked, so every wait for it is bounded, see Lock). The one
// exception is the heartbeat: lock-free atomics, read and written without
// the mutex (see comm/force_control_heartbeat.h).
//
// Who does what:
//   - the reader removes stale names, creates the segment, the mutex and the
//     eighteen objects, and removes both names when it is destroyed;
//   - the facade and the force-control thread open both open-only and look
//     every object up by name inside the locked section that uses it.
// Every read or write of an object's value happens under the named mutex,
// held only for that copy-in or copy-out; nobody sleeps, touches the port or
// commands the drive while holding it.
#pragma once

#include <array>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "comm/force_control_heartbeat.h"
#include "comm/rx_frame.h"
#include "comm/shared_records.h"
#include "filters/filter_options.h"
#include "filters/wrench.h"
#include "host/geometry.h"

namespace vorel_device {
namespace shared_segment {

namespace bip = boost::interprocess;

constexpr const char* kSegmentName = "VorelFrameSharedMemory";
constexpr const char* kMutexName = "VorelNamedMutex";
constexpr std::size_t kSegmentSize = 131072;  // bytes, fixed at creation
constexpr unsigned kPermissions = 0644;       // both names, whatever the creator's umask
// Where glibc keeps named semaphores: "sem.<name>" in the shared-memory mount.
constexpr const char* kSemaphoreDirectory = "/dev/shm/";

// Element types of the objects that are arrays of int32 holding 0 or 1.
using EnabledAxes = std::array<std::int32_t, 6>;           // fx, fy, fz, tx, ty, tz
using EnabledSystemFilters = std::array<std::int32_t, 1>;  // element 0: system filter on

// Object names, in the order of their creation.
constexpr const char* kFrame = "frame";                 // RxFrame
constexpr const char* kFrameCounter = "frame_counter";  // int32: reader cycles
constexpr const char* kRuntime = "runtime";             // double: s of force control
constexpr const char* kActivateTranslation = "activate_adaptive_translation";  // bool
constexpr const char* kActivateRotation = "activate_adaptive_rotation";        // bool
constexpr const char* kWrenchOffset = "wrench_offset";                         // ftBias
constexpr const char* kTrackWrench = "track_wrench";  // Wrench: force-control target
constexpr const char* kGravityCompensatedWrench = "gravity_compensated_wrench";  // Wrench
constexpr const char* kTcpTransformedWrench = "tcp_transformed_wrench";          // Wrench
constexpr const char* kTcpFilteredWrench = "tcp_filtered_wrench";                // Wrench
constexpr const char* kGains = "gains";                                          // Gains
constexpr const char* kEnabledAxes = "enabled_axes";                             // EnabledAxes
constexpr const char* kEnabledSystemFilters = "enabled_system_filters";  // EnabledSystemFilters
constexpr const char* kSystemFilterParams = "system_filter_params";      // SystemFilterParams
constexpr const char* kTempFilterOptions = "temp_filter_options";    // FilterOptions: request slot
constexpr const char* kNewFilterFlag = "new_filter_flag";            // int32: 1 add, -1 remove
constexpr const char* kResetFilterHistory = "reset_filter_history";  // bool
constexpr const char* kSensorToTfcTransform = "sensor_to_tfc_transform";  // hx4rc_api::Frame
// Additions after the eighteen: a peer that knows only those keeps working.
constexpr const char* kSensorHealth = "sensor_health";               // SensorHealth
constexpr const char* kForceControlLimits = "force_control_limits";  // ForceControlLimits
// bool: the force-control thread takes the host's tool load again (set by the
// facade after a tool-load identification, cleared by the thread).
constexpr const char* kReloadToolLoad = "reload_tool_load";
constexpr const char* kForceControlSpeedLimits =
    "force_control_speed_limits";  // ForceControlSpeedLimits
// ForceControlHeartbeat: written by the force-control thread every cycle,
// without the named mutex.
constexpr const char* kForceControlHeartbeat = "force_control_heartbeat";
// BlackBoxRequest: written by the facade, taken by the force-control thread.
constexpr const char* kBlackBoxRequest = "black_box_request";

using Segment = bip::managed_shared_memory;
using Mutex = bip::named_mutex;

// Longest wait for the named mutex, ms. Every holder keeps it for a few
// fixed-size copies (microseconds), so this bound trips only when a holder
// is stuck or died holding it.
constexpr int kLockWaitMs = 100;

// Thrown by Lock when the named mutex could not be taken within its bound:
// "VorelNamedMutex not acquired within <wait_ms> ms".
class LockTimeout : public std::runtime_error {
 public:
  explicit LockTimeout(int wait_ms);
};

// Scoped lock of the named mutex, bounded and interrupt-safe: a wait that a
// signal interrupts (EINTR, with or without SA_RESTART) resumes with the same
// deadline; after wait_ms (default kLockWaitMs) without the mutex it throws
// LockTimeout and holds nothing. Released by the destructor. Allocates
// nothing unless it throws.
class Lock {
 public:
  explicit Lock(Mutex& mutex, int wait_ms = kLockWaitMs);
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  Mutex& mutex_;
};

// Addresses of the eighteen objects in the creating process.
struct Objects {
  RxFrame* frame = nullptr;
  std::int32_t* frame_counter = nullptr;
  double* runtime = nullptr;
  bool* activate_adaptive_translation = nullptr;
  bool* activate_adaptive_rotation = nullptr;
  ftBias* wrench_offset = nullptr;
  Wrench* track_wrench = nullptr;
  Wrench* gravity_compensated_wrench = nullptr;
  Wrench* tcp_transformed_wrench = nullptr;
  Wrench* tcp_filtered_wrench = nullptr;
  Gains* gains = nullptr;
  EnabledAxes* enabled_axes = nullptr;
  EnabledSystemFilters* enabled_system_filters = nullptr;
  SystemFilterParams* system_filter_params = nullptr;
  FilterOptions* temp_filter_options = nullptr;
  std::int32_t* new_filter_flag = nullptr;
  bool* reset_filter_history = nullptr;
  hx4rc_api::Frame* sensor_to_tfc_transform = nullptr;
  SensorHealth* sensor_health = nullptr;
  ForceControlLimits* force_control_limits = nullptr;
  bool* reload_tool_load = nullptr;
  ForceControlSpeedLimits* force_control_speed_limits = nullptr;
  ForceControlHeartbeat* force_control_heartbeat = nullptr;
  BlackBoxRequest* black_box_request = nullptr;
};

// Removes the segment's and the mutex's names while it lives: the segment then
// the mutex when constructed (stale names of a crashed process), the mutex then
// the segment when destroyed. Removing a name that does not exist is silent.
// Mapped segments and open mutex handles stay usable after their names are
// gone.
class RemovalGuard {
 public:
  RemovalGuard();
  ~RemovalGuard();
  RemovalGuard(const RemovalGuard&) = delete;
  RemovalGuard& operator=(const RemovalGuard&) = delete;
};

// Creator side: open-or-create with permissions 0644 (after a RemovalGuard this
// always creates afresh), then the objects, create-only, with their initial
// values. Interprocess errors propagate as boost::interprocess exceptions.
Segment createSegment();
boost::shared_ptr<Mutex> createMutex();
Objects constructObjects(Segment& segment);

// Opener side: open-only; a missing segment or mutex throws
// boost::interprocess::interprocess_exception.
Segment openSegment();
boost::shared_ptr<Mutex> openMutex();

// Which shared-memory object the segment's name stands for right now: a new
// activation removes the name and creates a new object under it, while a
// process that mapped the old one keeps using it. Equal identities are the
// same object.
struct Identity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;  // 0: no object under the name
  bool exists() const { return inode != 0; }
  bool operator==(const Identity& other) const {
    return device == other.device && inode == other.inode;
  }
  bool operator!=(const Identity& other) const { return !(*this == other); }
};
// The object now under "VorelFrameSharedMemory" (shm_open and fstat, a few
// microseconds); inode 0 when there is none.
Identity currentIdentity();

// Looks an object up by name: its address, or nullptr when it does not exist.
// The lookup itself is safe without the named mutex; the value is not.
template <class T>
T* find(Segment& segment, const char* name) {
  return segment.find<T>(name).first;
}

}  // namespace shared_segment
}  // namespace vorel_device
