// The device's binding to the shared segment: the command facade the
// robot-program functions go through, and the device-level lock that
// serialises the lifecycle steps against them.
//
// Lifecycle steps hold the lock exclusively; a robot-program function holds
// it shared for its facade calls (never across a controller synchronisation
// or a motion command), so a lifecycle step never swaps the facade under a
// running call, and a call waits at most kLifecycleWaitMs for the step in
// progress.
#pragma once

#include <boost/shared_ptr.hpp>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "comm/command_facade.h"
#include "host/hx4_api.h"

namespace vorel_device {

// The current facade, with the device's lock held shared while the access
// lives: no lifecycle step replaces the facade under it.
class FacadeAccess {
 public:
  using Facade = VorelForceTorqueSensorSecondaryInstance;
  FacadeAccess() = default;
  FacadeAccess(std::shared_lock<std::shared_timed_mutex> lock, boost::shared_ptr<Facade> facade)
      : lock_(std::move(lock)), facade_(std::move(facade)) {}
  explicit operator bool() const { return facade_ != nullptr; }
  Facade* operator->() const { return facade_.get(); }
  Facade& operator*() const { return *facade_; }
  const boost::shared_ptr<Facade>& get() const { return facade_; }

 private:
  std::shared_lock<std::shared_timed_mutex> lock_;
  boost::shared_ptr<Facade> facade_;
};

class SegmentBinding {
 public:
  using Facade = VorelForceTorqueSensorSecondaryInstance;
  // Longest wait of a robot-program function for a lifecycle step in
  // progress, ms (an activation stops and starts three workers, 1 s bound
  // each, and configures the sensor).
  static constexpr int kLifecycleWaitMs = 10000;
  static constexpr int kFacadePeriodMs = 10;
  static constexpr int kFacadeTimeoutMs = 1000;

  // `device` gives the mounting parameters (argument 1: the sensor pose).
  explicit SegmentBinding(const hx4_bundle_api::CustomDevice& device) : device_(device) {}

  // The facade on the current segment for `function`. A facade whose segment
  // was replaced by an activation in another process is re-created on the
  // new one first ("[INFO] <function>: the shared segment was re-created by
  // a new activation; the command facade now uses the new one"). Empty, with
  // an ERROR line naming `function`, when the device has not been bound yet,
  // when no segment exists under the name, or after kLifecycleWaitMs of
  // waiting for a lifecycle step.
  FacadeAccess facadeFor(const char* function);
  // The facade held now (may be empty), without the lock.
  boost::shared_ptr<Facade> facade() const { return boost::atomic_load(&facade_); }
  // Creates and starts a facade on the current segment and hands it the
  // mounted sensor pose; replaces (and releases) the one held before. Throws
  // when no segment exists. Lifecycle lock held exclusively.
  void createFacade();
  // Moves a facade bound on an earlier segment to the current one: it keeps
  // running if it was running, and gets the sensor pose again. Lifecycle lock
  // held exclusively.
  void renewFacade();
  std::shared_timed_mutex& lifecycleMutex() { return lifecycle_mutex_; }

 private:
  // Re-creates the facade when its segment was replaced (exclusive lock
  // held); false, with an ERROR line, when the new segment cannot be opened.
  bool renewReplaced(const char* function);
  void applySensorFrame(Facade& facade) const;

  const hx4_bundle_api::CustomDevice& device_;
  std::shared_timed_mutex lifecycle_mutex_;
  // Replaced by lifecycle steps while robot-program functions and signal
  // handlers read it: boost::atomic_load / atomic_store.
  boost::shared_ptr<Facade> facade_;
};

// "" while force control runs; else why not, for a message:
// "force control is not running (no force-control cycle for 0.25 s)".
std::string notRunning(const VorelForceTorqueSensorSecondaryInstance& facade);
// True while force control runs; else false after the ERROR line of a bias
// operation (tare, reset) that would take its reading from a stale stage.
bool refuseIfNotRunning(const char* function,
                        const VorelForceTorqueSensorSecondaryInstance& facade);
// The ERROR line of a function that needs a running force-control thread.
void reportIfNotRunning(const char* function,
                        const VorelForceTorqueSensorSecondaryInstance& facade);

}  // namespace vorel_device
