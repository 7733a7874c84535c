// AdaptiveThread: the force-control thread. Once per 2 ms controller cycle
// it synchronises with the controller, takes a snapshot of the shared
// commands and the newest sensor frame, runs ForceControlStep (supervisor,
// wrench processing, filters, control law, offset shaping), publishes the
// wrenches and the heartbeat, appends the cycle's record to the recorder and
// sends the reference offset to the drive.
// Threads: constructor, destructor, endForceControl and finishForceControl
// run on the owner's (device's) thread, the cycle on the worker thread; the
// atomic queries may be called from any thread.
// Locks: the named mutex "VorelNamedMutex" for the snapshot and for the step
// with its publication (twice a cycle, at most 100 ms each), never while
// filters change, the host is called or a command is sent; drive_mutex for a
// send and the owner's fall-back hand-over.
// Never on the cycle: allocation, a console write (lines go through a
// LineQueue), a lookup in the segment (every object is found once).
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
  // Printed once per activation when the control law meets a non-finite
  // rate: that half of the offset stays at its last value in that cycle, and
  // no non-finite number reaches the drive.
  static constexpr const char* kNonFiniteMessage =
      "Non-finite force-control input: reference offset held at its last value";

  // program: the host's program interface, the thread's only way to the
  // controller (taken over). period_ms: pause after each cycle, ms (the
  // device passes 0: the controller synchronisation paces the loop).
  // sampling_rate: the sensor's rate, Hz (100, 250 or 500), for the
  // supervisor's stale limit (the filters run at
  // ForceControlStep::kFilterStepRate). Opens the segment and the named mutex
  // open-only and looks every shared object up once; throws
  // boost::interprocess::interprocess_exception when either does not exist.
  // Default tool: 1.0 kg at (0, 0, 0.05) m until the host's tool load is
  // read. Constructed on activation of the device, started with start(100),
  // stopped with stop(100), then destroyed.
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
  // One force-control cycle: synchronisation (spin), snapshot, step, publish
  // ("gravity_compensated_wrench", "tcp_transformed_wrench" with the bias
  // in, "tcp_filtered_wrench"), send; then the heartbeat (cycle count,
  // CLOCK_MONOTONIC time, state, last offset sent; without the named mutex)
  // and the record, for held, failed and suspended cycles too. Never
  // throws: a failure inside (the named mutex not acquired within 100 ms,
  // an interprocess or host error) skips the rest of the cycle, keeps the
  // controller's pace and, while force control is on, sends the offset held
  // (supervisor state 2), with one ERROR line per episode. Worker thread.
  void cycleMethod() override;
  // Writes the lines the cycles left queued (owner's thread, after stop()).
  void afterStop() override;
  // Waits until every line queued so far is written (owner's thread).
  void flushLines() { lines.flush(); }

  // Lifecycle ends, owner's thread. endForceControl(): force control counts
  // as off (the return to zero, speed and acceleration limited, starts)
  // whatever the shared flags say, until a cycle finds both flags off.
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
  // worker then drops the return for good, without sending (final for that
  // activation of force control). `left` receives the offset sent last
  // before it: m, rad (translation, roll-pitch-yaw).
  Finish finishForceControl(double (&left)[6]);
  // Suspended (hold flag set: publish only), Idle (off, offset zero), Active
  // (on: send), Returning (off, offset not yet zero: send). The step's own
  // state; any thread.
  ForceControlState forceControlState() const { return step_.state(); }
  std::uint64_t cyclesRun() const { return cycles_run.load(); }

  // The synchronisation step of every cycle, worker thread:
  // synchroniseController(), then refreshToolLoad().
  void spin();

  // command_count x 0.002 s: seconds of active force control. Any thread.
  double getRuntimeSeconds() const;
  // Set / clear `active` until the next cycle recomputes it from the shared
  // activation flags ("activate_adaptive_translation" or "..._rotation").
  // Any thread.
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
  // Worker's fields: call these when the worker is not started or stopped,
  // or while it waits in the controller synchronisation (a stepping test
  // controller).
  double getSamplingRate() const { return sampling_rate; }
  const Wrench& getTrackReference() const { return step_.trackReference(); }
  const hx4rc_api::Vector& getPositionOffset() const { return step_.shaper().translation(); }
  const FilterChain& getFilterChain() const { return step_.filterChain(); }
  bool getResourceFlag3() const { return resource_flag_3; }
  // Supervisor (worker's fields): SensorHealth::kOk, kStale or kFaulted;
  // cycles since the last usable sample.
  std::int32_t supervisorState() const;
  std::int64_t usableAgeCycles() const { return step_.usableAgeCycles(); }
  std::int64_t staleLimit() const { return step_.staleLimit(); }

 private:
  // The cycle's steps; may throw (interprocess errors, host errors).
  void runCycle();
  // The host's controller synchronisation: returns once per controller
  // cycle; notes the controller's cycle count (state item 1) and returns
  // the controller state word (item 0, index 0).
  std::uint32_t synchroniseController();
  // At the first cycle whose controller state `rc_state` has bit value 2 set
  // after construction, after an end of force control or after a reload
  // request ("reload_tool_load"), copies the host's tool load record into
  // tool_load.
  void refreshToolLoad(std::uint32_t rc_state);
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
  std::atomic<bool> active{false};  // translation or rotation switched on, per cycle
  // The owner's view of the drive: true from before the first send of an
  // activation until after the last send of its return (the step's
  // wasActive() ends a moment earlier, before that send), so that the
  // owner's fall-back never takes the drive from a send under way.
  std::atomic<bool> was_active{false};
  std::atomic<bool> tool_load_read{false};  // tool_load holds the host's record
  double sampling_rate;                     // Hz
  ForceControlStep step_;                   // the cycle's state and decisions
  ForceControlCommands commands;            // as the last snapshot copied them
  RxFrame frame;                            // copy of "frame": latest sensor frame
  std::uint64_t published_frames = 0;       // copy of the reader's publication count
  std::uint64_t last_published = 0;         // the count at the previous cycle
  bool resource_flag_4 = false;             // control-resource hold flags, read per cycle
  bool resource_flag_3 = false;
  hx4rc_api::Load tool_load;       // mass kg, centre of gravity m (flange coordinates), tensor
  bool faulted = false;            // the last cycle failed
  bool synced_this_cycle = false;  // the controller synchronisation returned this cycle
  std::uint64_t controller_cycles_ = 0;  // the controller's cycles at this cycle's synchronisation
  std::uint64_t controller_cycles_high_ = 0;
  std::uint32_t controller_cycles_low_ = 0;
  std::atomic<std::uint64_t> cycles_run{0};  // cycles since start, for the heartbeat
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
