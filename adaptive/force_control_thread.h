// AdaptiveThread: the force-control thread. Once per 2 ms controller cycle
// (cycleMethod, then runCycle) it runs five steps:
//   1. synchronisation, holding the host's control resources until the end
//      of the cycle: the hold flags, the controller synchronisation and the
//      tool-load refresh (spin);
//   2. snapshot, after the synchronisation (so the frame is the newest one
//      published before the cycle began), under one lock of
//      "VorelNamedMutex": frame and the reader's publication count, runtime
//      and the supervisor's figures (written), the commands (activation
//      flags, gains, bias, track wrench, enabled axes, sensor pose, system
//      filter switch and parameters, envelope, speed limits) and the request
//      slots (history reset, filter request, tool-load reload: each taken
//      once); then, without the lock, the commands go to the step (filter
//      changes happen there); then the flange and TCP frames;
//   3. the step (adaptive/force_control_step.h): supervisor, wrench
//      processing, filters, control law and offset shaping;
//   4. publish: the wrenches to "gravity_compensated_wrench",
//      "tcp_transformed_wrench" and "tcp_filtered_wrench" (bias included in
//      the first two), the step's lines to the line queue. Once there is a
//      sample to process, steps 3 and 4 hold the named mutex (a few
//      microseconds of arithmetic and the copies): a cycle that cannot
//      publish fails before its step;
//   5. submit: the offset to the drive when the step commands one.
// Every object of the segment is looked up once, by the constructor.
//
// Lines: "[ERROR] Sensor stale: no usable sample for <age> ms; force control
// holds its reference offset" at a stale trip while force control is on,
// "[INFO] Sensor usable again after <age> ms; force control resumes" at the
// recovery; one line per episode while the speed limit binds ("[INFO]
// Force-control speed limit: translational offset limited to 250 mm/s") and
// while the envelope clamps ("[INFO] Force-control envelope: translational
// offset clamped at 5 mm"). They go through a LineQueue: no cycle waits for
// the console. Health ("sensor_health"): supervisor state 0 ok, 1 stale, 2
// faulted; age in s (-1 before the first usable sample); usable samples per
// second over the last whole 500-cycle window.
//
// Force control, per cycle; the state goes to the heartbeat:
//   Suspended   control-resource flag 3 or 4 set           publish only; everything frozen
//   Idle        not suspended, off, offset at zero         publish; command_count = 0
//   Active      not suspended, on                          publish; send; command_count + 1
//   Returning   not suspended, off, offset not yet zero    publish; send; command_count + 1;
//                                                          at zero: idle, tool load read again
// on is (translation or rotation switched on), recomputed every cycle, and no
// end requested by the owner (endForceControl) since the flags were last off.
// Speed limits ("force_control_speed_limits", default 250 mm/s, 45 deg/s)
// and envelope ("force_control_limits", 0: none) shape every command
// (adaptive/offset_shaping.h).
//
// Heartbeat ("force_control_heartbeat"): at the end of every cycle (also
// held, failed and suspended ones) the cycle count, the CLOCK_MONOTONIC time,
// the state and the last offset sent, written without the named mutex.
//
// Recorder ("VorelForceControlRecorder", comm/force_control_recorder.h): the
// thread notes every cycle in a ForceControlRecord as it goes (the wrench at
// each stage, the offset it holds and whether it sent it, the TCP in the
// world, the states, the limits that bound, the sensor link's figures) and,
// when the owner gave it a writer (setRecorder), appends it at the end of the
// cycle, after the heartbeat: every cycle, held, failed and suspended ones
// too; no allocation, lock, system call or console line. Events marked in
// the record (each makes a black-box file, device/black_box.h): the stale
// trip (the cycle of its ERROR line), the first failed cycle of an episode,
// a limit that starts to bind (the cycles of the INFO lines), a robot
// program's request and its termination while force control is on (both
// taken from "black_box_request" in the snapshot).
//
// Lifecycle ends (owner's thread): endForceControl() starts the return
// whatever the shared flags say; finishForceControl() waits for it. When no
// cycle runs for kReturnStallMs, or kReturnWaitMs pass, it sends the zero
// offset itself, at once, and the worker drops the return for good (it never
// sends the old offset again: the fall-back is final for that activation of
// force control).
//
// Non-finite values: a NaN or infinite rate leaves that half of the offset at
// its last value in that cycle, and one line "Non-finite force-control input:
// reference offset held at its last value" is printed per activation; no
// non-finite number reaches the drive.
//
// Failures: an exception inside a cycle (the named mutex not acquired within
// its 100 ms bound, an interprocess or host error) does not leave
// cycleMethod and does not end the thread: the cycle's remaining work is
// skipped, the thread still waits for the controller and, while force
// control is on, sends the offset it holds (supervisor state 2). One line
// "[ERROR] Force control cycle failed (<what>); reference offset held" per
// episode, "[INFO] Force control cycle recovered; integration resumes" when a
// cycle completes again.
//
// Threads and locks: the constructor and destructor run on the owner's
// thread, everything else of a cycle on the worker thread. The named mutex is
// held for the snapshot and for the step with its publication (twice a
// cycle), never while filters change, the host is called or a command is
// sent.
// activate(), deactivate(), getRuntimeSeconds() and the atomic flag queries
// may be called from any
// thread. The other queries read the worker's fields: call them when the
// worker is not started or stopped, or while it waits in the controller
// synchronisation (a stepping test controller).
//
// Lifecycle: constructed on activation of the device (the segment must
// exist), started with start(100), stopped with stop(100), then destroyed;
// the destructor also stops and joins a thread that is still held.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adaptive/control_law.h"
#include "adaptive/filter_chain.h"
#include "adaptive/force_control_step.h"
#include "adaptive/offset_shaping.h"
#include "comm/force_control_heartbeat.h"
#include "comm/force_control_record.h"
#include "comm/force_control_recorder.h"
#include "comm/line_queue.h"
#include "comm/rx_frame.h"
#include "comm/shared_records.h"
#include "comm/shared_segment.h"
#include "filters/filters.h"
#include "host/control_resources.h"
#include "host/controller_types.h"
#include "host/geometry.h"
#include "host/program_interface.h"
#include "periodic/periodic_thread.h"
#include "periodic/pi_mutex.h"

namespace vorel_device {

class AdaptiveThread : public tmvz_periodic_thread::PeriodicThread {
 public:
  // Printed once per activation when the control law meets a non-finite rate.
  static constexpr const char* kNonFiniteMessage =
      "Non-finite force-control input: reference offset held at its last value";
  // Rate at which every filter is stepped and designed: once per 2 ms cycle.
  static constexpr double kFilterStepRate = ForceControlStep::kFilterStepRate;  // Hz
  // Shortest time without a usable sample that makes the sensor stale, s.
  static constexpr double kMinStaleTime = ForceControlStep::kMinStaleTime;
  // Cycles over which the usable-sample rate is counted (1 s).
  static constexpr int kRateWindowCycles = ForceControlStep::kRateWindowCycles;

  // Cycles without a usable sample after which the sensor is stale:
  // max(10 / sampling_rate, 50 ms) in 2 ms cycles, rounded up.
  static std::int64_t staleLimitCycles(double sampling_rate);

  // program: the host's program interface, the thread's only way to the
  // controller (taken over). period_ms: pause after each cycle, ms (the
  // device passes 0: the controller synchronisation paces the loop).
  // sampling_rate: the sensor's rate, Hz (100, 250 or 500), for the
  // supervisor's stale limit (the filters run at kFilterStepRate). Opens the segment and the named
  // mutex open-only; throws boost::interprocess::interprocess_exception when either does not exist.
  // Default tool: 1.0 kg at (0, 0, 0.05) m until the host's tool load is read. System filter:
  // HighPassRateLimiter(50 Hz, 50, -50, kFilterStepRate).
  AdaptiveThread(boost::shared_ptr<hx4_program_api::ProgramInterface> program, int period_ms,
                 double sampling_rate);
  // Stops and joins a thread still held, then releases the mutex handle, the
  // segment mapping, the program interface, the system filter and the chain.
  // Removes nothing from shared memory.
  ~AdaptiveThread() override;

  // The recorder's writer this thread appends to, one record per cycle
  // (empty: none). Owner's thread, before start().
  void setRecorder(std::shared_ptr<recorder::RecorderWriter> writer);

  // Prints "Start the adaptive thread instance." and clears command_count.
  void initMethod() override;
  // One force-control cycle (see above). Never throws.
  void cycleMethod() override;
  // Writes the lines the cycles left queued (owner's thread, after stop()).
  void afterStop() override;
  // Waits until every line queued so far is written (owner's thread).
  void flushLines() { lines.flush(); }

  // Lifecycle ends, owner's thread. endForceControl(): force control counts
  // as off (the return starts) until a cycle finds both shared flags off.
  void endForceControl();
  // How finishForceControl() ended.
  enum class Finish {
    kIdle,      // nothing to return: force control was idle
    kReturned,  // the return reached zero
    kStalled,   // no cycle for kReturnStallMs: zero sent at once from the caller
    kTimedOut,  // kReturnWaitMs spent: zero sent at once from the caller
  };
  static constexpr int kReturnWaitMs = 5000;
  static constexpr int kReturnStallMs = 100;
  // Waits (1 ms polls) until the return has reached zero. The fall-back
  // (kStalled, kTimedOut) sends the zero offset from this thread; the
  // worker then drops the return without sending. `left` receives the
  // offset sent last before it: m, rad (translation, roll-pitch-yaw).
  Finish finishForceControl(double (&left)[6]);
  ForceControlState forceControlState() const {
    return static_cast<ForceControlState>(state.load());
  }
  std::uint64_t cyclesRun() const { return cycles_run.load(); }

  // Controller synchronisation (returns once per controller cycle), then the
  // tool-load refresh: at the first cycle whose controller state (item 0,
  // index 0) has bit value 2 set after construction, after an end of force
  // control or after a reload request ("reload_tool_load"), the host's tool
  // load record is copied into tool_load.
  void spin();

  // command_count x 0.002 s: seconds of active force control.
  double getRuntimeSeconds() const;
  // Set / clear `active` until the next cycle recomputes it from the shared
  // activation flags. Any thread.
  void activate();
  void deactivate();

  // Filter chain requests (see FilterChain): add or replace, remove ("all":
  // every filter); a refused request leaves the chain as it was and posts
  // its line. Worker thread only, outside the named mutex.
  void addFilter(FilterOptions options);
  void removeFilter(FilterOptions options);

  // --- Queries --------------------------------------------------------------
  // Any thread.
  std::int64_t getCommandCount() const { return command_count.load(); }
  bool isActive() const { return active.load(); }
  bool wasActive() const { return was_active.load(); }
  bool isToolLoadRead() const { return tool_load_read.load(); }
  bool isTranslationActive() const { return activate_translation.load(); }
  bool isRotationActive() const { return activate_rotation.load(); }
  // Worker's fields (see the thread rules above).
  double getSamplingRate() const { return sampling_rate; }
  const Wrench& getFilteredWrench() const { return step_.filteredWrench(); }
  const Wrench& getTrackWrench() const { return step_.commands().track_wrench; }
  const Wrench& getTrackReference() const { return step_.trackReference(); }
  const Gains& getGains() const { return step_.commands().gains; }
  const hx4rc_api::Vector& getPositionOffset() const { return step_.shaper().translation(); }
  const hx4rc_api::Vector& getRotationOffset() const { return step_.shaper().rotation(); }
  const hx4rc_api::Load& getToolLoad() const { return tool_load; }
  const hx4rc_api::Frame& getSensorToTfcTransform() const {
    return step_.commands().sensor_to_tfc_transform;
  }
  const FilterChain& getFilterChain() const { return step_.filterChain(); }
  const HighPassRateLimiter& getSystemFilter() const { return step_.systemFilter(); }
  bool getResourceFlag3() const { return resource_flag_3; }
  // Supervisor (worker's fields): SensorHealth::kOk, kStale or kFaulted;
  // cycles since the last usable sample.
  std::int32_t supervisorState() const;
  // A frame force control may use: header 0xAA, status 0, six finite values.
  static bool isUsable(const RxFrame& frame);
  std::int64_t usableAgeCycles() const { return step_.usableAgeCycles(); }
  std::int64_t staleLimit() const { return step_.staleLimit(); }
  bool getResourceFlag4() const { return resource_flag_4; }

 private:
  // The five steps (see above); may throw (interprocess errors, host errors).
  void runCycle();
  void takeSnapshot();
  // Black-box requests and the end of an owner's end request (snapshot).
  void noteRequests(bool switched_on);
  // The request slots, each taken once and emptied (snapshot).
  void takeRequestSlots(ForceControlCommands& c);
  // The reader's figures in, the supervisor's out (snapshot).
  void exchangeHealth();
  StepInput synchronise(hx4_program_api_internals::ControlResources& resources);
  // The wrenches to the segment; named mutex held by the caller.
  void publish(const StepOutput& out);
  void submit(const StepOutput& out);
  // The step's part of the record, and its events as lines on the queue.
  void report(const StepOutput& out);
  // The ERROR lines of the force-limit episodes that began this cycle.
  void reportForceLimit(const force_limit::Check& check);
  // The line of a refused filter request, on the queue (standard output).
  void reportFilterChange(FilterChain::Outcome outcome, const FilterOptions& request);
  // After a failed cycle: one ERROR line per episode; keeps the controller's
  // pace and sends the held offset while force control is on.
  void holdAfterFailure(const char* what);
  // The owner's side of a return that reached zero (or was dropped).
  void backToIdle();
  // Sends `offset` (m, rad) to the drive; command_count + 1. Sends nothing
  // (false) once a fall-back has taken over the drive.
  bool sendOffset(const double (&offset)[6]);
  // The heartbeat of the cycle that just ended, at CLOCK_MONOTONIC now_ns.
  void beat(std::int64_t now_ns);
  // Completes this cycle's record and appends it to the recorder.
  void appendRecord(std::int64_t now_ns);
  // The controller's cycle count of this cycle (its status item 1), widened
  // to 64 bits.
  void noteControllerCycle(std::uint32_t cycles);

  // Reference offsets sent since force control last became active; 0 while
  // idle. Atomic so that getRuntimeSeconds() may be called from any thread.
  std::atomic<std::int64_t> command_count{0};
  std::atomic<bool> activate_translation{false};  // copy of "activate_adaptive_translation"
  std::atomic<bool> activate_rotation{false};     // copy of "activate_adaptive_rotation"
  std::atomic<bool> active{false};                // translation or rotation, per cycle
  std::atomic<bool> was_active{false};            // an offset was sent while active
  std::atomic<bool> tool_load_read{false};        // tool_load holds the host's record
  double sampling_rate;                           // Hz
  ForceControlStep step_;                         // the cycle's state and decisions
  ForceControlCommands commands;                  // as the last snapshot copied them
  RxFrame frame;                                  // copy of "frame": latest sensor frame
  std::uint64_t published_frames = 0;             // copy of the reader's publication count
  std::uint64_t last_published = 0;               // the count at the previous cycle
  bool resource_flag_4 = false;                   // control-resource hold flags, read per cycle
  bool resource_flag_3 = false;
  hx4rc_api::Load tool_load;       // mass kg, centre of gravity m (flange coordinates), tensor
  bool faulted = false;            // the last cycle failed
  bool synced_this_cycle = false;  // the controller synchronisation returned this cycle
  std::uint64_t controller_cycles_ = 0;  // the controller's cycles at this cycle's synchronisation
  std::uint64_t controller_cycles_high_ = 0;
  std::uint32_t controller_cycles_low_ = 0;
  // State and heartbeat.
  std::atomic<std::int32_t> state{0};        // ForceControlState
  std::atomic<std::uint64_t> cycles_run{0};  // cycles since start
  // Recorder.
  std::shared_ptr<recorder::RecorderWriter> recorder_writer;  // empty: no recorder
  ForceControlRecord record;                                  // this cycle's, filled as it goes
  BlackBoxRequest black_box_seen;                             // its counts as last taken
  double sent[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};            // last offset sent: m, rad
  // Lifecycle ends.
  std::atomic<bool> end_requested{false};  // the owner ended force control
  std::atomic<bool> abandoned{false};      // a fall-back took the drive: drop the return
  // A send and the fall-back's hand-over, one at a time; the owner holds it
  // only for a few loads and stores, and lends the worker's priority.
  tmvz_periodic_thread::PiMutex drive_mutex;
  boost::shared_ptr<hx4_program_api::ProgramInterface> program;
  // The cycle's console lines and diagnostics, written by the queue's own
  // thread of normal priority, so that a slow console never holds a cycle up.
  LineQueue lines;
  shared_segment::Segment segment;
  boost::shared_ptr<shared_segment::Mutex> segment_mutex;
  // The segment's objects, found once by the constructor.
  shared_segment::Objects objects;
};

}  // namespace vorel_device
