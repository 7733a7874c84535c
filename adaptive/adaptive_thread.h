// AdaptiveThread: the force-control thread. Once per 2 ms controller cycle it
// takes the latest sensor frame and the current commands from the shared
// segment "VorelFrameSharedMemory", removes the tool's weight, expresses the
// wrench in the tool-centre-point (TCP) frame, subtracts the user's bias,
// runs the filter chain and the system filter, publishes the wrench at each
// stage and, while force control is on, integrates a Cartesian reference
// offset and sends it to the robot's drive.
//
// One cycle (cycleMethod):
//   1. snapshot, under one lock of "VorelNamedMutex": frame and the reader's
//      publication count, runtime and the supervisor's figures (written),
//      activation flags, gains, bias, track wrench, enabled axes, sensor
//      pose, system filter switch and parameters, envelope, history reset,
//      filter request and tool-load reload (hand-offs taken once);
//   2. without the lock: the filter request, the system filter's history
//      reset and its parameter update;
//   3. holding the host's control resources: controller synchronisation and
//      tool-load refresh (spin), the sample supervisor, gravity compensation
//      and TCP transform (published, bias included), bias removed, setArto.
//      Until the first usable sample step 3 ends after the supervisor:
//      nothing is published or commanded.
//
// Usable samples only: the frame is taken as a new sample when the reader's
// publication count moved (a constant reading is legitimate, so values are
// not compared), and used only when its status is 0 and its six values are
// finite. Otherwise the cycle processes the last usable sample again: no
// flagged or non-finite value ever enters gravity compensation, a filter or
// the law.
//
// Supervisor: age = 2 ms cycles since the last usable sample. From the cycle
// in which it reaches max(10 sensor periods, 50 ms) (25 cycles at 500 and
// 250 Hz, 50 at 100 Hz) the sensor is stale: force control holds the offset
// (nothing integrated, the offset sent unchanged). While force control is
// active, one line "[ERROR] Sensor stale: no usable sample for <age> ms;
// force control holds its reference offset" at the trip and one "[INFO]
// Sensor usable again after <age> ms; force control resumes" when a usable
// sample returns. Health ("sensor_health"): supervisor state 0 ok, 1 stale,
// 2 faulted; age in s (-1 before the first usable sample); usable samples
// per second over the last whole 500-cycle window.
//
// Filters run on the thread's own time base: the chain's filters and the
// system filter are stepped once per 2 ms cycle, so they are designed for
// kFilterStepRate (500 Hz) whatever the sensor's rate; cut-offs in Hz and
// rates per second hold at sensor rates 500, 250 and 100 Hz.
//
// Force control (setArto), per cycle; the state goes to the heartbeat:
//   state       condition                                  per cycle
//   Suspended   control-resource flag 3 or 4 set           publish only; everything frozen
//   Idle        not suspended, off, offset at zero         publish; command_count = 0
//   Active      not suspended, on                          publish; smooth the set-point;
//                                                          integrate the enabled halves
//                                                          (not while stale); shape; send;
//                                                          command_count + 1
//   Returning   not suspended, off, offset not yet zero    publish; one step of the return
//                                                          to zero; send; command_count + 1;
//                                                          at exactly zero: set-point, offsets
//                                                          and tool-load flag back to idle
// on is (translation or rotation switched on), recomputed every cycle, and no
// end requested by the owner (endForceControl) since the flags were last off.
// Switching force control on during a return continues from the offset as it
// is.
//
// Shaping (adaptive/offset_shaping.h), every command: the step of each half
// (translation, rotation) is limited by "force_control_speed_limits"
// (default 250 mm/s, 45 deg/s); the wanted offset is kept inside the
// envelope ("force_control_limits", 0: no limit), a tightened envelope and
// every end of force control are smooth returns (1 m/s^2, 360 deg/s^2).
// One line per episode while the speed limit binds ("[INFO] Force-control
// speed limit: translational offset limited to 250 mm/s") and while the
// envelope clamps ("[INFO] Force-control envelope: translational offset
// clamped at 5 mm").
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
// held only for copies in and out of the segment (three to five times a
// cycle), never while filters change, the host is called or a command is
// sent. activate(), deactivate(),
// getRuntimeSeconds() and the atomic flag queries may be called from any
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
#include "adaptive/offset_shaping.h"
#include "comm/force_control_heartbeat.h"
#include "comm/force_control_record.h"
#include "comm/force_control_recorder.h"
#include "comm/line_queue.h"
#include "comm/rx_frame.h"
#include "comm/shared_records.h"
#include "comm/shared_segment.h"
#include "filters/filters.h"
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
  static constexpr double kFilterStepRate = 1.0 / control_law::kCycleTime;  // Hz
  // Shortest time without a usable sample that makes the sensor stale, s.
  static constexpr double kMinStaleTime = 0.05;
  // Cycles over which the usable-sample rate is counted (1 s).
  static constexpr int kRateWindowCycles = 500;

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

  // The raw sensor wrench (N, N m, sensor axes) without the tool's weight,
  // with the flange rotation of the host's frame query, tool_load (centre of
  // gravity in flange coordinates) and sensor_to_tfc_transform (while it is
  // not known, the sensor counts as sitting at the flange origin unturned).
  Wrench gravityCompensation(const Wrench& raw) const;
  // The compensated wrench in the TCP frame, with the host's TCP pose on the
  // flange and sensor_to_tfc_transform.
  Wrench transformWrenchToTCPFrame(const Wrench& compensated) const;

  // Last step of a cycle: filters the bias-free TCP wrench (N, N m) through
  // the chain and the system filter, publishes "tcp_filtered_wrench", and
  // runs the force-control law and the drive command (see above).
  void setArto(const Wrench& wrench);

  // Filter chain requests (see FilterChain): add or replace, remove ("all":
  // every filter). Worker thread only, outside the named mutex.
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
  const Wrench& getFilteredWrench() const { return filtered_wrench; }
  const Wrench& getTrackWrench() const { return track_wrench; }
  const Wrench& getTrackReference() const { return track_reference; }
  const Gains& getGains() const { return gains; }
  const hx4rc_api::Vector& getPositionOffset() const { return shaper.translation(); }
  const hx4rc_api::Vector& getRotationOffset() const { return shaper.rotation(); }
  const hx4rc_api::Load& getToolLoad() const { return tool_load; }
  const hx4rc_api::Frame& getSensorToTfcTransform() const { return sensor_to_tfc_transform; }
  const FilterChain& getFilterChain() const { return filters; }
  const HighPassRateLimiter& getSystemFilter() const { return *system_filter; }
  bool getResourceFlag3() const { return resource_flag_3; }
  // Supervisor (worker's fields): SensorHealth::kOk, kStale or kFaulted;
  // cycles since the last usable sample.
  std::int32_t supervisorState() const;
  // A frame force control may use: header 0xAA, status 0, six finite values.
  static bool isUsable(const RxFrame& frame);
  std::int64_t usableAgeCycles() const { return usable_age_cycles; }
  std::int64_t staleLimit() const { return stale_limit_cycles; }
  bool getResourceFlag4() const { return resource_flag_4; }

 private:
  // The cycle proper; may throw (interprocess errors, host errors).
  void runCycle();
  // Phase 1 under the named mutex; returns the history-reset request.
  bool takeSnapshot();
  // After a failed cycle: one ERROR line per episode; keeps the controller's
  // pace and sends the held offset while force control is on.
  void holdAfterFailure(const char* what);
  // Takes the snapshot's frame as a sample when it is new and usable; ages
  // the last one otherwise; trips and clears the stale state.
  void superviseSample();
  // Force control on: switched on in the shared flags, no end requested.
  bool forceControlOn() const;
  // The shaping limits from the shared speed limits and envelope (values a
  // peer wrote outside their range fall back to the defaults).
  offset_shaping::Limits shapingLimits() const;
  // One line per episode in which a limit binds.
  void reportLimits(const offset_shaping::Step& step);
  // One step of the return; idle once the offset is exactly zero.
  void stepReturn();
  // Offsets, set-point and the per-activation flags back to idle.
  void resetToIdle();
  // Sends the current offset to the drive; command_count + 1. Sends nothing
  // (false) once a fall-back has taken over the drive.
  bool sendOffset();
  // The heartbeat of the cycle that just ended, at CLOCK_MONOTONIC now_ns.
  void beat(std::int64_t now_ns);
  // Completes this cycle's record and appends it to the recorder.
  void appendRecord(std::int64_t now_ns);
  // ForceControlRecord::limits_bound of a shaping step.
  static std::uint8_t limitsBound(const offset_shaping::Step& step);
  // An age in cycles as whole milliseconds.
  static long ageMs(std::int64_t cycles);

  // Reference offsets sent since force control last became active; 0 while
  // idle. Atomic so that getRuntimeSeconds() may be called from any thread.
  std::atomic<std::int64_t> command_count;
  Wrench filtered_wrench;  // last output of the chain and system filter, N / N m, TCP
  Wrench track_wrench;     // copy of "track_wrench": target wrench, N / N m, TCP
  Wrench track_reference;  // smoothed track_wrench: set-point, reference of type-4 filters
  ftBias wrench_offset;    // copy of "wrench_offset": bias, N / N m, TCP
  Gains gains;             // copy of "gains"
  // The offset: translation (m, TCP axes) and roll, pitch, yaw (rad), with
  // the velocity of their last step.
  offset_shaping::OffsetShaper shaper;
  std::atomic<bool> activate_translation;    // copy of "activate_adaptive_translation"
  std::atomic<bool> activate_rotation;       // copy of "activate_adaptive_rotation"
  std::atomic<bool> active;                  // translation or rotation, per cycle
  std::atomic<bool> was_active;              // an offset was sent while active
  std::atomic<bool> tool_load_read;          // tool_load holds the host's record
  control_law::AxisFactors enabled_axes;     // copy of "enabled_axes": fx .. tz factors
  RxFrame frame;                             // copy of "frame": latest sensor frame
  hx4rc_api::Frame sensor_to_tfc_transform;  // copy: sensor pose on the flange (NaN: unset)
  std::int32_t enabled_system_filters;       // copy: non-zero switches the system filter on
  SystemFilterParams system_filter_params;   // copy: cut-off Hz, rising / falling N/s
  FilterOptions pending_filter_options;      // last request taken from "temp_filter_options"
  std::int32_t new_filter_flag;              // last request code: 1 add, -1 remove, 0 none
  FilterChain filters;                       // the user filters and their order
  std::shared_ptr<HighPassRateLimiter> system_filter;
  double sampling_rate;  // Hz
  bool resource_flag_4;  // control-resource hold flags, read per cycle
  bool resource_flag_3;
  hx4rc_api::Load tool_load;  // mass kg, centre of gravity m (flange coordinates), tensor
  bool nonfinite_reported;    // the non-finite diagnostic was printed in this activation
  // Supervisor.
  std::int64_t stale_limit_cycles;     // cycles without a usable sample that make it stale
  std::uint64_t published_frames = 0;  // copy of the reader's publication count
  std::uint64_t last_published = 0;    // the count of the last frame taken as a sample
  RxFrame usable_frame;                // last usable sample (status 0, finite values)
  bool has_usable = false;             // a usable sample arrived since construction
  std::int64_t usable_age_cycles = 0;  // cycles since the last usable sample (or start)
  bool stale = false;                  // no usable sample for stale_limit_cycles
  bool stale_reported = false;         // the stale ERROR line was written, no INFO yet
  std::int64_t stale_age_cycles = 0;   // age at the last stale cycle
  bool faulted = false;                // the last cycle failed
  bool synced_this_cycle = false;      // the controller synchronisation returned this cycle
  int window_cycles = 0;               // cycles in the current rate window
  int window_usable = 0;               // usable samples in it
  double usable_rate = 0.0;            // usable samples per second, last whole window
  // Shaping.
  ForceControlLimits limits;               // copy of "force_control_limits": m, rad
  ForceControlSpeedLimits speed_limits;    // copy of "force_control_speed_limits": m/s, rad/s
  bool translation_clamped = false;        // the envelope clamps the translational offset
  bool rotation_clamped = false;           // ... the rotational offset
  bool translation_speed_limited = false;  // the speed limit binds the translational offset
  bool rotation_speed_limited = false;     // ... the rotational offset
  // State and heartbeat.
  std::atomic<std::int32_t> state{0};          // ForceControlState
  std::atomic<std::uint64_t> cycles_run{0};    // cycles since start
  ForceControlHeartbeat* heartbeat = nullptr;  // in the segment; this thread writes it
  // Recorder.
  std::shared_ptr<recorder::RecorderWriter> recorder_writer;  // empty: no recorder
  ForceControlRecord record;                                  // this cycle's, filled as it goes
  BlackBoxRequest* black_box_request = nullptr;               // in the segment (named mutex)
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
