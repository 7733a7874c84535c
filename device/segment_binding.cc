#include "device/segment_binding.h"

#include <boost/make_shared.hpp>
#include <chrono>
#include <exception>

#include "comm/force_control_heartbeat.h"
#include "device/device_log.h"

namespace vorel_device {

namespace {

FacadeAccess busy(const char* function) {
  logError(std::string(function) +
           ": the device is busy with a lifecycle operation for more than " +
           str(SegmentBinding::kLifecycleWaitMs) + " ms, so the call does nothing");
  return FacadeAccess();
}

}  // namespace

FacadeAccess SegmentBinding::facadeFor(const char* function) {
  const std::chrono::milliseconds wait(kLifecycleWaitMs);
  // A replaced segment is re-opened, then used; a few rounds allow for
  // activations in quick succession.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::shared_lock<std::shared_timed_mutex> shared(lifecycle_mutex_, std::defer_lock);
    if (!shared.try_lock_for(wait))
      return busy(function);
    auto held = facade();
    if (!held) {
      logError(std::string(function) +
               ": the device is not bound yet (no onBind), so the call does nothing");
      return FacadeAccess();
    }
    const Facade::SegmentState state = held->segmentState();
    if (state == Facade::SegmentState::kCurrent)
      return FacadeAccess(std::move(shared), std::move(held));
    if (state == Facade::SegmentState::kGone) {
      logError(std::string(function) +
               ": no shared segment exists (the activating device is deactivated for good or "
               "being re-activated), so the call does nothing");
      return FacadeAccess();
    }
    // An activation in another process created a new segment: re-open it,
    // unless a lifecycle step on this device did so meanwhile.
    shared.unlock();
    std::unique_lock<std::shared_timed_mutex> exclusive(lifecycle_mutex_, std::defer_lock);
    if (!exclusive.try_lock_for(wait))
      return busy(function);
    if (!renewReplaced(function))
      return FacadeAccess();
  }
  logError(std::string(function) +
           ": the shared segment keeps being re-created, so the call does nothing");
  return FacadeAccess();
}

bool SegmentBinding::renewReplaced(const char* function) {
  auto held = facade();
  if (!held || held->segmentState() != Facade::SegmentState::kReplaced)
    return true;
  try {
    renewFacade();
    logInfo(std::string(function) +
            ": the shared segment was re-created by a new activation; the command facade now "
            "uses the new one");
  } catch (const std::exception& e) {
    logError(std::string(function) + ": the new shared segment could not be opened (" + e.what() +
             "), so the call does nothing");
    return false;
  }
  return true;
}

void SegmentBinding::createFacade() {
  // Opens the segment the reader created; throws when there is none.
  auto created = boost::make_shared<Facade>(kFacadePeriodMs);
  boost::atomic_store(&facade_, created);
  created->start(kFacadeTimeoutMs);
  applySensorFrame(*created);
}

void SegmentBinding::renewFacade() {
  auto old_facade = facade();
  // Opens the current segment; when that throws, the old facade stays.
  auto renewed = boost::make_shared<Facade>(kFacadePeriodMs);
  const bool was_running = old_facade && old_facade->holdsThread();
  if (old_facade)
    old_facade->stop(kFacadeTimeoutMs);
  boost::atomic_store(&facade_, renewed);
  old_facade.reset();
  if (was_running)
    renewed->start(kFacadeTimeoutMs);
  applySensorFrame(*renewed);
}

void SegmentBinding::applySensorFrame(Facade& facade) const {
  if (!device_.mountingParams())
    return;
  hx4_program_api::RobotPose sensor_pose =
      hx4_bundle_api::ArgProviderXml(*device_.mountingParams()).getRPose(1);
  facade.setSensorFrame(sensor_pose);
}

std::string notRunning(const VorelForceTorqueSensorSecondaryInstance& facade) {
  const HeartbeatBeat beat = facade.heartbeat();
  const std::int64_t now = heartbeat::monotonicNow();
  if (heartbeat::running(beat, now))
    return std::string();
  if (beat.monotonic_ns == 0)
    return "force control is not running (no force-control cycle yet)";
  return "force control is not running (no force-control cycle for " +
         str(heartbeat::ageSeconds(beat, now)) + " s)";
}

bool refuseIfNotRunning(const char* function,
                        const VorelForceTorqueSensorSecondaryInstance& facade) {
  const std::string why = notRunning(facade);
  if (why.empty())
    return true;
  logError(std::string(function) + ": " + why +
           "; the reading is stale (the last one force control published), so the bias is "
           "unchanged");
  return false;
}

void reportIfNotRunning(const char* function,
                        const VorelForceTorqueSensorSecondaryInstance& facade) {
  const std::string why = notRunning(facade);
  if (!why.empty()) {
    logError(std::string(function) + ": " + why +
             "; the request is stored, but no force-control thread acts on it");
  }
}

}  // namespace vorel_device
