// The guarded approach behind moveToContact: steps the tool along one axis
// until the tool-frame force norm exceeds a threshold, then retracts.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <optional>
#include <string>

#include "comm/command_facade.h"
#include "host/hx4_api.h"

namespace vorel_device {

class SegmentBinding;

// The call runs in named phases, each its own function:
//   refuse bad arguments  reference frame, axis, non-finite numbers, speed 0
//                         or above the speed limit, a threshold outside
//                         (0, force limit), a travel limit <= 0, a
//                         negative retract
//   wait for liveness     force control must run (its heartbeat moves)
//   hold wait             no step while the controller holds the robot
//   approach passes       one per controller cycle: the force, the health
//                         and the liveness are checked, then one step
//   ends                  contact, travel limit, no progress, liveness lost,
//                         blind readings, a force limit, program terminated;
//                         each stops the commanded motion (the current pose
//                         as the target) and waits for the tool to rest
//   retract               against the approach direction after a contact,
//                         waited for until the tool rests
//
// Liveness as the call counts it: force control runs while its heartbeat
// moved within `liveness_cycles` of the call's own controller cycles, or its
// last cycle is less than 50 ms old (so that a live thread a stepping
// controller has not stepped yet, or a slow machine, is not taken for a dead
// one).
class ApproachLiveness {
 public:
  ApproachLiveness(const HeartbeatBeat& beat, int liveness_cycles)
      : cycles_(beat.cycles), limit_(liveness_cycles) {}
  // Called once per own cycle.
  bool running(const HeartbeatBeat& beat);

 private:
  std::uint64_t cycles_;
  int limit_;
  int unchanged_ = 0;
};

// Progress along the approach direction (world, unit vector), m, since the
// start: a new furthest point at least min(0.1 mm, half of what the speed
// covers in 1 s) beyond the last one.
class ApproachProgress {
 public:
  ApproachProgress(const hx4rc_api::Vector& direction, double speed_mm_s, int stall_cycles);
  // One pass at `travelled` (position - start, world, m); false after
  // `stall_cycles` passes without progress while not held.
  bool update(const hx4rc_api::Vector& travelled, bool held);

 private:
  hx4rc_api::Vector direction_;
  double step_;
  int stall_limit_;
  double best_ = 0.0;
  int stalled_ = 0;
};

class GuardedApproach {
 public:
  using Number = hx4_program_api::Number;
  struct Request {
    int reference_frame;       // 0 world axes, 1 tool axes
    int axis;                  // 0 x, 1 y, 2 z
    Number& speed;             // mm/s, signed
    Number& force_threshold;   // N
    Number& max_distance;      // mm
    Number& retract_distance;  // mm
  };

  // Own controller cycles without a new heartbeat before force control
  // counts as not running, and cycles without progress (1 s) before the
  // approach ends.
  static constexpr int kLivenessCycles = 25;
  static constexpr int kNoProgressCycles = 500;

  GuardedApproach(SegmentBinding& binding, hx4_program_api::ProgramInterface& controller,
                  const std::atomic<bool>& program_running, const Request& request);
  ~GuardedApproach();
  // The whole call; every end writes its own console line.
  void run();

 private:
  enum class Pass { kContinue, kContact, kLimit, kStopped };

  bool argumentsAccepted() const;
  bool withinLimits() const;
  bool awaitLiveness();
  bool holdWait();
  Pass approach();
  Pass pass();
  bool readGuarded(SensorHealth& health);
  bool readingsUsable(const SensorHealth& health, double threshold, double max_distance);
  void reportLimit() const;
  void retract();
  void stopMotion(const hx4rc_api::Frame& at);
  bool awaitRest(int cycles);
  hx4rc_api::Frame tcp() const;
  bool robotHeld() const;
  static void terminated(const char* when);
  static void blind(const std::string& why);

  SegmentBinding& binding_;
  hx4_program_api::ProgramInterface& controller_;
  const std::atomic<bool>& program_running_;
  Request request_;
  boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> bound_;
  hx4rc_api::Frame start_;
  double force_norm_ = 0.0;
  std::optional<hx4_program_api_internals::ControlResources> resources_;
  std::optional<ApproachLiveness> liveness_;
  std::optional<ApproachProgress> progress_;
  bool moved_ = false;           // a step was commanded
  hx4rc_api::Frame last_frame_;  // the TCP as the last pass read it (world)
  double travelled_ = 0.0;       // m from the start, at the last pass
};

}  // namespace vorel_device
