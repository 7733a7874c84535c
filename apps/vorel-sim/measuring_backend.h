// MeasuringBackend: the host's controller as the device sees it during a
// measurement run. It passes every call to the simulated controller and, on
// the drive channel, notes what the host can see of each reference offset:
// its arrival time and its z, and which thread sent it. This is the host's
// side of the drive channel, not the device's path: the device calls submit
// as it would on the real controller, and the note costs a clock read and a
// store into a buffer allocated up front (no lock, no allocation).
//
// Threads: every ControllerBackend call from any thread (submit from the
// force-control thread); setRecording and the readouts from any thread;
// samples() is meant for after recording has stopped.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <vector>

#include "apps/vorel-sim/latency_analysis.h"
#include "host/controller_backend.h"
#include "sim/simulated_controller.h"

namespace vorel_sim_app {

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
};

}  // namespace vorel_sim_app
