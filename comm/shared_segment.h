// The shared segment through which the three workers (sensor reader, command
// facade, force-control thread) and the host's threads exchange everything:
// the POSIX shared-memory object "VorelFrameSharedMemory" (131072 bytes,
// permissions 0644) managed by Boost.Interprocess, with eighteen named objects
// plus the additions "sensor_health", "force_control_limits",
// "reload_tool_load", "force_control_speed_limits", "force_control_heartbeat",
// "black_box_request", "force_limits" and "force_control_law", guarded by one named mutex
// "VorelNamedMutex" (a POSIX named semaphore, not recursive, not robust: a holder that dies leaves
// it locked, so every wait for it is bounded, see Lock). The one exception is the heartbeat:
// lock-free atomics, read and written without the mutex (see comm/force_control_heartbeat.h).
#pragma once

#include <array>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <exception>

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
constexpr const char* kForceLimits = "force_limits";           // ForceLimits
constexpr const char* kForceControlLaw = "force_control_law";  // ForceControlLaw

using Segment = bip::managed_shared_memory;
using Mutex = bip::named_mutex;

// Longest wait for the named mutex, ms. Every holder keeps it for a few
// fixed-size copies (microseconds), so this bound trips only when a holder
// is stuck or died holding it.
constexpr int kLockWaitMs = 100;

// Who does what:
//   - the reader removes stale names, creates the segment, the mutex and the
//     eighteen objects, and removes both names when it is destroyed;
//   - the facade and the force-control thread open both open-only and look
//     every object up once (findObjects), then reach it through its address.
// Every read or write of an object's value happens under the named mutex,
// held only for that copy-in or copy-out; nobody sleeps, touches the port or
// commands the drive while holding it.
//
// Thrown by Lock when the named mutex could not be taken within its bound:
// "VorelNamedMutex not acquired within <wait_ms> ms". Its text is formatted
// into the object itself: a real-time cycle that catches it allocates
// nothing.
class LockTimeout : public std::exception {
 public:
  explicit LockTimeout(int wait_ms);
  const char* what() const noexcept override { return what_; }

 private:
  char what_[64];
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

// Which workers write an object (a bit set). The facade writes what robot
// programs set; the force-control thread takes a request slot by clearing it.
enum Writers : std::uint8_t {
  kReaderWrites = 1,
  kFacadeWrites = 2,
  kForceControlWrites = 4,
};

// Constructed in place with its default constructor (atomics).
struct InPlace {};

// The schema: every shared object, in the order of creation, with its type,
// its initial value and who writes it. Creation, opening and the Objects
// record below are all generated from it.
//   X(member, name, type, initial value, writers)
#define VOREL_SHARED_OBJECTS(X)                                                                   \
  X(frame, kFrame, RxFrame, RxFrame{}, kReaderWrites)                                             \
  X(frame_counter, kFrameCounter, std::int32_t, 0, kReaderWrites)                                 \
  X(runtime, kRuntime, double, 0.0, kForceControlWrites)                                          \
  X(activate_adaptive_translation, kActivateTranslation, bool, false, kFacadeWrites)              \
  X(activate_adaptive_rotation, kActivateRotation, bool, false, kFacadeWrites)                    \
  X(wrench_offset, kWrenchOffset, ftBias, ftBias{}, kFacadeWrites)                                \
  X(track_wrench, kTrackWrench, Wrench, Wrench{}, kFacadeWrites)                                  \
  X(gravity_compensated_wrench, kGravityCompensatedWrench, Wrench, Wrench{}, kForceControlWrites) \
  X(tcp_transformed_wrench, kTcpTransformedWrench, Wrench, Wrench{}, kForceControlWrites)         \
  X(tcp_filtered_wrench, kTcpFilteredWrench, Wrench, Wrench{}, kForceControlWrites)               \
  X(gains, kGains, Gains, Gains{}, kFacadeWrites)                                                 \
  X(enabled_axes, kEnabledAxes, EnabledAxes, EnabledAxes{}, kFacadeWrites)                        \
  X(enabled_system_filters, kEnabledSystemFilters, EnabledSystemFilters, EnabledSystemFilters{},  \
    kFacadeWrites)                                                                                \
  X(system_filter_params, kSystemFilterParams, SystemFilterParams, SystemFilterParams{},          \
    kFacadeWrites)                                                                                \
  X(temp_filter_options, kTempFilterOptions, FilterOptions, FilterOptions{},                      \
    kFacadeWrites | kForceControlWrites)                                                          \
  X(new_filter_flag, kNewFilterFlag, std::int32_t, 0, kFacadeWrites | kForceControlWrites)        \
  X(reset_filter_history, kResetFilterHistory, bool, false, kFacadeWrites | kForceControlWrites)  \
  X(sensor_to_tfc_transform, kSensorToTfcTransform, hx4rc_api::Frame, hx4rc_api::Frame(),         \
    kFacadeWrites)                                                                                \
  X(sensor_health, kSensorHealth, SensorHealth, SensorHealth{},                                   \
    kReaderWrites | kForceControlWrites)                                                          \
  X(force_control_limits, kForceControlLimits, ForceControlLimits, ForceControlLimits{},          \
    kFacadeWrites)                                                                                \
  X(reload_tool_load, kReloadToolLoad, bool, false, kFacadeWrites | kForceControlWrites)          \
  X(force_control_speed_limits, kForceControlSpeedLimits, ForceControlSpeedLimits,                \
    ForceControlSpeedLimits{}, kFacadeWrites)                                                     \
  X(force_control_heartbeat, kForceControlHeartbeat, ForceControlHeartbeat, InPlace{},            \
    kForceControlWrites)                                                                          \
  X(black_box_request, kBlackBoxRequest, BlackBoxRequest, BlackBoxRequest{}, kFacadeWrites)       \
  X(force_limits, kForceLimits, ForceLimits, ForceLimits{}, kFacadeWrites)                        \
  X(force_control_law, kForceControlLaw, ForceControlLaw, ForceControlLaw{}, kFacadeWrites)

// Addresses of the shared objects in this process's mapping, taken once
// when the segment is created or opened; nullptr for an object the segment
// does not hold. Cycles reach the objects only through these.
struct Objects {
#define VOREL_OBJECT_POINTER(member, name, type, init, writers) type* member = nullptr;
  VOREL_SHARED_OBJECTS(VOREL_OBJECT_POINTER)
#undef VOREL_OBJECT_POINTER
};

// One row of the schema, for whoever lists the objects.
struct ObjectInfo {
  const char* name;
  std::uint8_t writers;  // Writers bits
};
constexpr ObjectInfo kSchema[] = {
#define VOREL_OBJECT_INFO(member, name, type, init, writers) {name, writers},
    VOREL_SHARED_OBJECTS(VOREL_OBJECT_INFO)
#undef VOREL_OBJECT_INFO
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
// The addresses of the objects of an opened segment (each looked up once, by
// name and type; the segment manager's own lock is taken here, never again
// by the holder of the record).
Objects findObjects(Segment& segment);

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
