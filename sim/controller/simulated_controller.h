// SimulatedController: a robot controller for the host simulator, behind the
// host's ControllerBackend seam. A clock thread ticks every controller cycle
// (2 ms by default) and advances a simulated robot (RobotModel) by one cycle
// per tick; the device sees it through the host API as it would see the real
// controller:
//
//   sync(false)         blocks until the next tick; every caller blocked at a
//                       tick wakes on that same tick. sync(true) also waits
//                       until the motion command's target is reached (or the
//                       clock stops). While the clock does not run, sync
//                       pauses one cycle (relative sleep) and returns, so that
//                       a caller is paced but never stuck.
//   rcState()           the status word; bit value 2 (load model ready) is
//                       set by default.
//   load / setLoad      the load model's records; LOAD_TOOL starts as the
//                       cell's tool (0.8 kg, centre of gravity (0, 0, 0.04) m
//                       in flange axes), setLoad replaces it (as the
//                       "toolload" system variable does).
//   frame(a, b)         pose of a relative to b (b^-1 * a) for FRAME_WORLD,
//                       FRAME_ROBOT_BASE (= world), FRAME_ROBOT_FLANGE,
//                       FRAME_ROBOTX_TCP, as of the last tick; all-NaN for an
//                       unknown id.
//   move(target, ...)   replaces the motion target; the commanded TCP moves
//                       toward it from the next tick at a bounded speed
//                       (motion_profile.h); the motion parameters are
//                       accepted and not used. Returns -1 and changes nothing
//                       when the target's frame_id is not FRAME_WORLD, its
//                       frame has a NaN or infinite value or its rotation is
//                       no rotation matrix.
//   submit(command)     the drive channel: stores the command's reference
//                       offset (TCP axes, m and rad; applied as commanded TCP
//                       * offset) for the next tick, under a short mutex of
//                       its own; never waits for a tick. Returns -1, counts
//                       the refusal and keeps the previous offset when the
//                       command has no offset, its trailing field `valid` is
//                       not 1, a value is NaN or infinite, or the rotation is
//                       no rotation matrix.
//   acquire/release     counted; the status record carries the flags that a
//                       scenario sets (setHold: flag 3; setResourceFlag: any).
//                       While flag 3 or 4 is set the robot is held: the
//                       commanded TCP does not move (the offset still applies).
//
// Clock: absolute deadlines on CLOCK_MONOTONIC (clock_nanosleep with
// TIMER_ABSTIME), deadline k = epoch() + k * cycle, so the schedule never
// drifts. A tick that comes late still runs; deadlines that lie a whole cycle
// or more in the past when a tick ends are skipped and counted as overruns, so
// that for every tick of the first run: (deadline - epoch) / cycle == tick +
// overruns counted before it. Simulated time is tick * cycle.
//
// Lifecycle:
//
//   state     call            effect
//   created   start()         clock thread runs; ticks from epoch() + cycle
//   running   stop()          clock thread joined; waiters in sync released
//   stopped   start()         runs again with a new epoch; counts carry on
//   any       ~SimulatedController()  stop()
//
// Threads: every public operation is thread-safe; the object must outlive
// every thread that calls it (the host holds it through a shared pointer, and
// the device's threads are stopped before it goes). The tick observer runs on
// the clock thread after each tick's state update, outside every lock; it may
// call any accessor but not stop() or the destructor; a slow observer makes
// the clock miss deadlines (counted as overruns).
#pragma once

#include <atomic>
#include <boost/optional.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/controller_backend.h"
#include "host/controller_types.h"
#include "sim/controller/pi_mutex.h"
#include "sim/controller/robot_model.h"
#include "sim/controller/robot_state.h"

namespace vorel_sim {

// The simulated controller's state after one tick, with its counters.
struct ControllerSnapshot {
  std::uint64_t tick = 0;                            // ticks since construction (0: none yet)
  double time_s = 0.0;                               // simulated time: tick x cycle time, s
  std::chrono::steady_clock::time_point deadline{};  // CLOCK_MONOTONIC deadline of the last tick

  RobotState robot;                // TCP and flange (world), TCP velocity (world, m/s)
  hx4rc_api::Frame commanded_tcp;  // world, before the reference offset
  hx4rc_api::Frame offset;         // reference offset in effect, TCP axes
  bool moving = false;             // a motion target is pending
  hx4rc_api::Frame motion_target;  // world; all NaN when none
  bool held = false;               // resource flag 3 or 4 set

  hx4rc_api::Pose last_drive_offset;   // the last submitted offset as received (refused too)
  std::uint64_t drive_commands = 0;    // submit calls
  std::uint64_t drive_refused = 0;     // of those, refused
  std::uint64_t drive_non_finite = 0;  // of those, with a NaN or infinite value
  std::uint64_t drive_while_held = 0;  // of those, submitted while held
  // Largest change between two accepted offsets in a row (the first against
  // zero): translation (m), roll-pitch-yaw vector (rad).
  double largest_translation_step = 0.0;
  double largest_rotation_step = 0.0;
  std::uint64_t motion_commands = 0;  // move calls
  std::uint64_t motion_refused = 0;
  std::uint64_t motion_non_finite = 0;
  std::uint64_t motion_while_held = 0;

  std::uint64_t overruns = 0;    // deadlines skipped because the clock fell behind
  std::uint64_t late_wakes = 0;  // ticks whose clock thread woke more than 1 ms late
  std::uint64_t sync_calls = 0;  // sync calls that returned
  std::uint64_t resource_acquires = 0;
  std::uint64_t resource_releases = 0;
  std::uint64_t status_queries = 0;
  std::uint64_t load_writes = 0;  // setLoad calls
};

class SimulatedController : public hx4_program_api_internals::ControllerBackend {
 public:
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC
  using TickObserver = std::function<void(const ControllerSnapshot&)>;

  struct Config {
    RobotModel::Config robot;                 // start pose, TCP on the flange, speed bounds
    std::chrono::nanoseconds cycle{2000000};  // controller cycle
    std::uint32_t rc_state = hx4rc_api::State::SysStat_RCState::kLoadModelReady;
    hx4rc_api::Load tool_load = cellToolLoad();  // LOAD_TOOL until setLoad replaces it
    bool status_offered = true;                  // the control resources have a status record
  };

  // The cell's tool as a load record: mass and centre of gravity of
  // robot_state.h, zero inertia tensor, identity mounting.
  static hx4rc_api::Load cellToolLoad();

  SimulatedController() : SimulatedController(Config()) {}
  explicit SimulatedController(const Config& config);
  ~SimulatedController() override;
  SimulatedController(const SimulatedController&) = delete;
  SimulatedController& operator=(const SimulatedController&) = delete;

  // --- Clock ----------------------------------------------------------------
  // Starts the clock thread; false when it already runs.
  bool start();
  // Stops and joins the clock thread and releases every thread in sync;
  // nothing when it does not run. Not from the tick observer.
  void stop();
  bool running() const { return running_.load(); }
  std::chrono::nanoseconds cycle() const { return cycle_; }
  // Deadline 0 of the current run: tick deadlines are epoch + k * cycle.
  Clock::time_point epoch() const;
  // Ticks so far.
  std::uint64_t tick() const;
  // The same without a lock (for probes on the device's threads).
  std::uint64_t tickNow() const { return tick_published_.load(std::memory_order_acquire); }
  // Waits until at least `n` ticks have passed; false when that has not
  // happened within `guard` (a hang guard, not a timing limit).
  bool awaitTick(std::uint64_t n, std::chrono::milliseconds guard) const;
  // Blocks as sync(false) does and returns the number of the tick it woke on
  // (0 when the clock does not run: then it pauses one cycle).
  std::uint64_t awaitNextTick();
  // Waits `seconds` of controller time, one tick at a time; false when
  // `abort` is raised first.
  bool awaitTime(double seconds, const std::atomic<bool>& abort);
  // Threads blocked in sync / awaitNextTick that the next tick wakes.
  int waitingThreads() const;
  // Called after every tick (see the header comment); empty: none.
  void setTickObserver(TickObserver observer);
  // From the next start(): the clock thread runs with SCHED_FIFO at
  // `priority` (1..99), so that the simulated controller keeps its ticks
  // while the machine is loaded; 0 (the default): normal scheduling.
  void setClockPriority(int priority);
  // What the clock thread got at its last start(): its SCHED_FIFO priority,
  // or 0 for normal scheduling; and, when the request was refused, why
  // (empty otherwise).
  int clockPriority() const { return clock_priority_.load(); }
  std::string clockSchedulingRefusal() const;

  // --- Scenario -------------------------------------------------------------
  // Flag 3 of the resources' status record: the robot is held.
  void setHold(bool on);
  void setResourceFlag(unsigned bit, bool on);
  // Without a status record, resourceStatus() answers empty.
  void setStatusOffered(bool offered);
  void setRcState(std::uint32_t value);
  // Sets or clears bit value 2 of the status word.
  void setLoadModelReady(bool ready);
  // Puts the commanded TCP at `tcp` (world) and ends any motion; false when
  // `tcp` is no finite pose with a rotation matrix.
  bool placeTcp(const hx4rc_api::Frame& tcp);
  // A tool change: the TCP relative to the flange; false when refused.
  bool setTcpInFlange(const hx4rc_api::Frame& tcp_in_flange);
  void setMotionLimits(const MotionLimits& limits);

  // --- Observation ----------------------------------------------------------
  ControllerSnapshot snapshot() const;
  // The robot as of the last tick (what the contact world needs).
  RobotState robotState() const;

  // --- ControllerBackend ----------------------------------------------------
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
  // The drive channel's slot, guarded by drive_mutex_ alone.
  struct DriveSlot {
    bool pending = false;
    hx4rc_api::Pose offset;  // accepted, applied at the next tick
    hx4rc_api::Pose last;    // last received
    std::uint64_t commands = 0;
    std::uint64_t refused = 0;
    std::uint64_t non_finite = 0;
    std::uint64_t while_held = 0;
    hx4rc_api::Frame accepted = hx4rc_api::Frame::Identity();  // the last offset taken
    double largest_translation_step = 0.0;                     // m
    double largest_rotation_step = 0.0;                        // rad
  };

  void clockLoop(std::int64_t epoch_ns);
  void runTick(std::int64_t deadline_ns);
  // Waits for the next tick; `lock` holds mutex_. Returns the tick woken on.
  std::uint64_t waitNextTickLocked(std::unique_lock<PiMutex>& lock);
  void fillSnapshotLocked(ControllerSnapshot& out) const;  // mutex_ held
  void updateHeldLocked();                                 // mutex_ held
  double simulatedTimeLocked() const;                      // mutex_ held: tick x cycle, s

  const std::chrono::nanoseconds cycle_;

  // Priority inheritance: the device's real-time force-control thread waits
  // for these behind the simulator's threads with normal scheduling.
  mutable PiMutex mutex_;  // everything below up to drive_mutex_
  mutable std::condition_variable_any ticked_;
  RobotModel model_;
  std::uint64_t tick_ = 0;
  std::int64_t epoch_ns_ = 0;
  std::int64_t deadline_ns_ = 0;
  std::uint64_t overruns_ = 0;
  std::uint64_t sync_calls_ = 0;
  int waiting_ = 0;
  std::uint32_t rc_state_;
  std::map<hx4rc_api::Load::SysId, hx4rc_api::Load> loads_;
  std::uint64_t load_writes_ = 0;
  std::uint32_t status_flags_ = 0;
  bool status_offered_;
  std::uint64_t acquires_ = 0;
  std::uint64_t releases_ = 0;
  std::uint64_t status_queries_ = 0;
  std::uint64_t motion_commands_ = 0;
  std::uint64_t motion_refused_ = 0;
  std::uint64_t motion_non_finite_ = 0;
  std::uint64_t motion_while_held_ = 0;
  std::shared_ptr<const TickObserver> observer_;

  mutable PiMutex drive_mutex_;  // taken inside mutex_ or alone, never around it
  DriveSlot drive_;

  std::atomic<std::uint64_t> tick_published_{0};  // tick_, readable without mutex_
  std::atomic<std::uint64_t> late_wakes_{0};
  std::atomic<bool> held_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_requested_{false};
  mutable std::mutex lifecycle_mutex_;  // start, stop; guards the two below
  int requested_clock_priority_ = 0;
  std::string clock_refusal_;
  std::atomic<int> clock_priority_{0};
  std::thread clock_;
};

}  // namespace vorel_sim
