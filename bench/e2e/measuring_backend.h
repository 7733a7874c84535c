// MeasuringBackend: the host's controller as the device sees it during a
// measurement run. It passes every call to the simulated controller and, on
// the drive channel, notes what the host can see of each reference offset:
// its arrival time and its z, and which thread sent it. This is the host's
// side of the drive channel, not the device's path: the device calls submit
// as it would on the real controller, and the note costs a clock read and a
// store into a buffer allocated up front (no lock, no allocation).
//
// It also counts missed controller cycles as the drive sees them: from
// startCycleCount on, a command that arrives after tick k and before tick
// k + 1 (the controller's tick count, read without a lock) serves cycle k,
// and every cycle between two ticks in which no command arrived is a missed
// one. Deadlines that the simulated clock itself skipped have no tick and so
// no cycle: they are the controller's overruns, counted apart. A few atomics
// per command, no lock.
//
// Threads: every ControllerBackend call from any thread (submit from the
// force-control thread); setRecording, the cycle count and the readouts from
// any thread; samples() is meant for after recording has stopped.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bench/e2e/latency_analysis.h"
#include "host/controller_backend.h"
#include "sim/controller/simulated_controller.h"

namespace vorel_sim {

class MeasuringBackend : public hx4_program_api_internals::ControllerBackend {
 public:
  // capacity: drive commands recorded at most.
  MeasuringBackend(boost::shared_ptr<vorel_sim::SimulatedController> controller,
                   std::size_t capacity);

  void setRecording(bool on) { recording_.store(on); }
  // The commands received while recording, in arrival order.
  std::vector<DriveSample> samples() const;
  std::size_t overflowed() const { return overflow_.load(); }
  // The thread that last sent a drive command (the force-control thread);
  // 0 before the first.
  pid_t driveThread() const { return drive_thread_.load(); }

  // Whole controller cycles between the two calls, and those of them in
  // which no drive command arrived.
  struct CycleCount {
    std::uint64_t cycles = 0;
    std::uint64_t missed = 0;
  };
  // Starts counting with the cycle after the current one.
  void startCycleCount();
  // Stops counting before the current cycle and returns the count.
  CycleCount stopCycleCount();
  // Deadlines the simulated controller's own clock skipped so far, and its
  // wake-ups more than 1 ms late (what the machine grants a real-time thread).
  std::uint64_t controllerOverruns() const { return controller_->snapshot().overruns; }
  std::uint64_t controllerLateWakes() const { return controller_->snapshot().late_wakes; }

  void sync(bool wait_for_motion) override;
  hx4rc_api::State::SysStat_RCState rcState() override;
  hx4rc_api::Load load(hx4rc_api::Load::SysId id) override;
  void setLoad(hx4rc_api::Load::SysId id, const hx4rc_api::Load& load) override;
  hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) override;
  int move(const hx4rc_api::Motion::Target& target,
           const hx4rc_api::Motion::Params& params) override;
  int submit(const hx4rc_api::Drive::CmdReferenceCtl& command) override;
  void acquireResources(bool exclusive) override;
  void releaseResources() override;
  boost::optional<hx4_program_api_internals::ControlStatus> resourceStatus() override;

 private:
  boost::shared_ptr<vorel_sim::SimulatedController> controller_;
  std::atomic<bool> recording_{false};
  std::vector<DriveSample> samples_;
  std::atomic<std::size_t> count_{0};
  std::atomic<std::size_t> overflow_{0};
  std::atomic<pid_t> drive_thread_{0};

  std::atomic<bool> counting_{false};
  std::int64_t first_cycle_ = 0;             // owner's thread
  std::atomic<std::int64_t> last_cycle_{0};  // the last cycle with a command
  std::atomic<std::uint64_t> missed_{0};
};

}  // namespace vorel_sim
