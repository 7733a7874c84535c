// VorelFTSensor: the force/torque sensor device that the robot-controller host
// loads, creates through the maker registered under
// "vorel_device::VorelFTSensor", and drives through its lifecycle. The device
// does its work through three workers, each a periodic thread:
//   VorelForceTorqueSensorComm               sensor reader; creates the shared
//                                            segment; 5 ms pause
//   AdaptiveThread                           force control, paced by the
//                                            controller's 2 ms cycle
//   VorelForceTorqueSensorSecondaryInstance  command facade over the segment;
//                                            10 ms pause
//
// Lifecycle (called by the host on its own thread):
//   operation     result                 what it does
//   constructor                          stores the program interface and the
//                                        configuration; no thread, port or
//                                        shared memory is touched
//   onCreate      0                      registers the hardware-ready handler
//   onMount       success                writes the mounted tool load into the
//                                        host's "toolload" system load
//   onActivate    success, or kind 2     opens and configures the port, creates
//                 "Failed to start the   the reader (and so a fresh segment)
//                 adaptive thread." or   and the force-control recorder,
//                 "Invalid real-time     configures the sensor's filter, starts
//                 priority ..."          the reader, creates and starts force
//                                        control at 500, 250 or 100 Hz, then
//                                        the black box; with activation
//                                        argument 2 (1..98) force control runs
//                                        SCHED_FIFO at it, the reader one below
//   onBind        0, or -1 without       registers the program-terminated and
//                 activation or          alarm handlers, creates and starts the
//                 mounting parameters    facade (a reader must exist), stores
//                                        the sensor pose
//   onDeactivate  success                ends force control (the return of
//                                        the offset to zero, waited for),
//                                        stops the black box, stops the
//                                        reader, closes the port, stops force
//                                        control
//   onUnbind      0                      switches force control off and waits
//                                        for the return to zero, stops the
//                                        facade
//   onUnmount     success                nothing
//   onDestroy     0                      onDeactivate again
// The force-control recorder ("VorelForceControlRecorder", mode 0644) lives
// with the shared segment: created right after it at activation, removed
// when it is (at the next activation, and when the device is released). The
// black box (device/black_box.h) reads it on a normal-priority thread of the
// activating process from the moment force control runs until onDeactivate,
// before force control stops (so that a normal end is no liveness loss), and
// writes its files to the directory of the configuration's optional
// <blackbox> element (device/black_box_config.h; bad values: an ERROR line at
// activation and the defaults). A recorder that cannot be created costs an
// ERROR line: force control runs without it, and no black-box file is
// written.
//
// Activation and binding are independent: the activating and the binding
// device may live in different processes of the host, since the segment and
// its mutex are named operating-system objects. A second activation releases
// the previous reader before creating the new segment and re-creates a facade
// bound on the old one; a binding device in another process finds the new
// segment at its next robot-program call and re-opens it (one INFO line).
//
// Every end of force control is the return of the offset to zero (speed and
// acceleration limited). deactivateForceControl and the program-termination
// handler return at once; the lifecycle steps wait for the return, at most
// kReturnWaitMs: in the activating process through the force-control thread,
// which, when no cycle runs for 100 ms or the wait runs out, sends the zero
// offset at once (one ERROR line); in a binding process through the
// heartbeat, and there only the ERROR line: the drive belongs to the
// activating process's thread, which may only be stalled.
//
// Liveness: force control does not run when its heartbeat's last cycle is 50
// ms old (moveToContact, which counts controller cycles itself, also waits 25
// of its own cycles). Then readSensorHealth shows supervisor state 3,
// moveToContact refuses or ends, and activateForceControl,
// deactivateForceControl, addFilter, removeFilter and resetFilters, which
// still write their request, add "[ERROR] <function>: force control is not
// running (...)".
//
// One device-level lock serialises onActivate (from the host's thread or the
// hardware-ready handler), onDeactivate, onBind, onUnbind, onDestroy and the
// destructor. Robot-program functions hold it shared for their facade calls
// (never across a controller synchronisation or a motion command), so a
// lifecycle step never swaps the facade under a running call, and a call
// waits at most for the lifecycle step in progress.
//
// Signal handlers run on the delivery threads of the host's event streams:
//   onHWReady            activates through the base's activate() when
//                        activation parameters exist; publishes a failed
//                        activation as hx4_bundle::Error (kind 2) or
//                        hx4_bundle::Exception (kind 1)
//   onProgramTerminated  asks for a black-box file (made only while force
//                        control is on), removes every filter, switches force
//                        control off and disables moveToContact for the rest
//                        of the device's life
//   onAlarm              nothing
//
// Robot-program functions run on the program interpreter's thread and always
// return success. Each is a thin layer over the facade; before onBind there is
// no facade, and a call then writes an ERROR line and does nothing; so does a
// call that finds no segment under the name (the activating device is gone)
// or waits longer than kLifecycleWaitMs for a lifecycle step. Vectors
// are column 0, rows 0..2 (x, y, z) of an Array<Number>: forces in N, torques
// in N m, in the frame of the stage named (Raw: the sensor's own reading;
// SensorFrame: gravity compensated, sensor axes; no word: tool-centre-point
// frame; Filtered: tool-centre-point frame after the filter chain).
//
// Log lines go to the host console, one Console::write per line, as
// "[INFO] text\n" or "[ERROR] text\n". Serial-port errors go to standard output.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "adaptive/tool_load_fit.h"
#include "host/hx4_api.h"

namespace vorel_device {

class VorelForceTorqueSensorComm;
class VorelForceTorqueSensorSecondaryInstance;
class AdaptiveThread;
class BlackBox;
struct BlackBoxConfig;
namespace recorder {
class RecorderWriter;
}

class VorelFTSensor : public hx4_bundle_api::CustomDevice {
 public:
  using Result = hx4_program_api::CmdResult<void*>;
  using ptree = boost::property_tree::ptree;
  using Array = hx4_program_api::Array<hx4_program_api::Number>;
  using Number = hx4_program_api::Number;

  VorelFTSensor(boost::shared_ptr<hx4_program_api::ProgramInterface> program, const ptree& config);
  ~VorelFTSensor() override;

  int onCreate() override;
  int onDestroy() override;
  int onBind() override;
  int onUnbind() override;
  Result onActivate(const ptree& params) override;
  Result onDeactivate() override;
  Result onMount(const ptree& params) override;
  Result onUnmount() override;

  // Robot-program functions. Readouts write the stage's force or torque into
  // rows 0..2 of column 0, all three from one sample.
  virtual Result readForceRaw(Array& force);
  virtual Result readTorqueRaw(Array& torque);
  virtual Result readForceSensorFrame(Array& force);
  virtual Result readTorqueSensorFrame(Array& torque);
  virtual Result readForce(Array& force);
  virtual Result readTorque(Array& torque);
  virtual Result readForceFiltered(Array& force);
  virtual Result readTorqueFiltered(Array& torque);
  // Resets shift the bias so that the stage reads the given targets (rows
  // 0..2) while its wrench stays the same. One bias serves the raw,
  // sensor-frame and tool-frame readouts. The bias accumulates, so a reading
  // or target that is not finite is refused with an ERROR line (resets and
  // tare alike) and the bias stays as it was.
  virtual Result resetForceRaw(Array& targets);
  virtual Result resetTorqueRaw(Array& targets);
  virtual Result resetForceSensorFrame(Array& targets);
  virtual Result resetTorqueSensorFrame(Array& targets);
  // resetForce and resetTorque to zero from one tool-frame sample.
  virtual Result tareSensor();
  virtual Result resetForce(Array& targets);
  virtual Result resetTorque(Array& targets);
  // Force-control targets, tool-centre-point frame: force (N), torque (N m).
  // Targets, gains and system-filter parameters that are not finite numbers
  // are refused with an ERROR line: they would enter the filters' state and
  // hold force control until the filter history is reset.
  virtual Result setForceTrackValue(Array& force);
  virtual Result setTorqueTrackValue(Array& torque);
  // Guarded approach: steps the tool along `axis` (0 x, 1 y, 2 z) of the world
  // (referenceFrame 0) or of the current tool-centre-point frame (1) at
  // `speed` mm/s (its sign is the direction) until the tool-frame force norm
  // exceeds `forceThreshold` N, then retracts `retractDistance` mm against the
  // approach direction. Ends without retract, with an INFO line, when the tool
  // has travelled `maxDistance` mm without contact. A speed, force threshold,
  // travel limit or retract distance that is not a finite number is refused
  // before the first step, with an ERROR line. The approach never goes on
  // blind: a force norm that is not a finite number, a sensor that gives no
  // usable samples (health: supervisor state not 0, or none yet) and a
  // re-activation of the device during the call (the force would come from
  // a segment nobody feeds any more) each end the call at once with an ERROR
  // line, without a further step and without retract. Refused before any
  // motion, with an ERROR line: a reference frame other than 0 or 1, an axis
  // other than 0, 1 or 2, a speed of 0 (each would command the current pose
  // for ever) and force control not running. Ended with an ERROR line when
  // force control stops running during the approach, and when the tool makes
  // no progress along the axis for 1 s (kNoProgressCycles) while the robot
  // is not held: progress is a new furthest point along the approach
  // direction, at least min(0.1 mm, half the distance `speed` covers in 1 s)
  // beyond the last one.
  virtual Result moveToContact(int referenceFrame, int axis, Number& speed, Number& forceThreshold,
                               Number& maxDistance, Number& retractDistance);
  virtual Result activateForceControl(bool translation, bool rotation);
  // Force control off and zero force and torque targets.
  virtual Result deactivateForceControl();
  virtual Result setEnabledAxes(bool fx, bool fy, bool fz, bool tx, bool ty, bool tz);
  // translation_gain, rotation_gain, track_smoothing (set-point smoothing per
  // 2 ms cycle). Values that are not finite, and a track_smoothing outside
  // [0, 1], are refused with an ERROR line and nothing is changed.
  virtual Result setForceControlGains(Number& translation_gain, Number& rotation_gain,
                                      Number& track_smoothing);
  virtual Result setEnabledSystemFilters(bool enabled);
  // System filter: cut-off (Hz), rising rate and falling rate (N/s, N m/s for
  // torques). It is stepped once per 2 ms force-control cycle (500 Hz), so the
  // cut-off must lie in [0, 250] Hz, the rising rate be >= 0 and the falling
  // rate <= 0; other values, and values that are not finite, are refused with
  // an ERROR line and nothing is changed.
  virtual Result setSystemFilterParams(Number& cutoff_frequency, Number& rising_rate,
                                       Number& falling_rate);
  // Clears the system filter's history once.
  virtual Result resetFilters();
  // Adds or replaces the named filter of the force-control chain: type 1
  // low-pass (p3 cut-off Hz), 2 notch (p1 reject frequency Hz, p2 bandwidth
  // Hz), 3 rate limiter (p4 rising, p5 falling rate per s), 4 high-pass rate
  // limiter (p3, p4, p5). Names longer than 40 characters are cut to 40. A
  // type outside 1..4 is refused with an ERROR line, and so are parameters
  // that would make the filter unstable or amplify by more than 2 up to
  // 250 Hz at its 500 Hz step rate (one step per 2 ms cycle): a notch
  // bandwidth outside (0, B] Hz, B depending on the reject frequency (2.08 Hz
  // at 1 Hz, 19.7 Hz at 10 Hz, 82.4 Hz at 50 Hz), a rising rate below 0 or a
  // falling rate above 0 (types 3 and 4), and a cut-off (types 1 and 4) or
  // reject frequency (type 2) outside [0, 250] Hz, which the filter classes
  // would answer by ending the process. Nothing is sent then. A notch at 0 Hz
  // passes the signal unchanged.
  virtual Result addFilter(std::string name, int type, double p1, double p2, double p3, double p4,
                           double p5);
  // Removes the named filter; "all" removes every filter.
  virtual Result removeFilter(std::string name);

  // --- Appended after the first 27, which keep their slots ----------------
  // Health of the sensor link and of force control, rows 0..5 of column 0:
  //   0 age of the last usable sample, s (-1 before the first one)
  //   1 usable samples per second, over the last whole second
  //   2 CRC errors since activation (in-sync frames with a wrong CRC)
  //   3 lost-sync events since activation
  //   4 status bits of the last frame the sensor sent
  //   5 supervisor state: 0 ok, 1 stale (offset held), 2 faulted (offset held),
  //     3 not running (no force-control cycle for 50 ms: rows 0 and 1 then
  //     count the time since the last cycle, and no usable samples)
  // Read from the shared segment, so correct in the activating and in a
  // binding process.
  virtual Result readSensorHealth(Array& health);
  // Envelope of the reference offset: largest magnitude of the translational
  // offset (mm) and of the rotational offset (degrees, roll-pitch-yaw vector);
  // 0 means no limit (the default). At the limit the offset is clamped. A
  // negative or non-finite value is refused with an ERROR line.
  virtual Result setForceControlLimits(Number& maxTranslation_mm, Number& maxRotation_deg);

  // Commissioning: identification of the tool load and of the sensor's own
  // bias from samples in a few orientations (at least three distinct ones).
  // Both refuse, with an ERROR line, while force control is on.
  //
  // captureLoadSample: while the robot stands still, averages the sensor's
  // raw wrench (no bias subtracted; frames with status 0 and finite values
  // only) over kLoadSampleWindowCycles controller cycles (0.5 s) and stores
  // it with gravity in sensor axes (the flange's orientation in the world
  // from the controller, turned into sensor axes with the mounted sensor pose
  // as gravity compensation does: the flange's axes while the pose is not
  // known). At most kMaxLoadSamples are kept, the oldest is dropped. One INFO
  // line per sample: its number, the mean wrench, the gravity direction and
  // the frames used. A robot that moves during the window, or a window
  // without a usable frame, gives an ERROR line and no sample.
  virtual Result captureLoadSample();
  // identifyToolLoad: the least-squares fit (adaptive/tool_load_fit.h) of
  // mass, centre of gravity and the sensor's force and torque bias (sensor
  // axes). Rows 0..3 of `result`: mass (kg) and centre of gravity x, y, z (m,
  // flange coordinates from the flange origin, as the host's tool load counts
  // it). Writes the fit (the centre of gravity also in sensor axes from the
  // sensor's origin), each sample's residual (N, N m) and the <arg
  // type="load"> element for the device configuration, and applies the result
  // for the rest of the activation: the host's "toolload" system load (as
  // onMount), a reload of it by force control at its next cycle, and the
  // bias, set so that the tool-frame readout is zero without contact in every
  // pose (the one bias that tareSensor and the resets shift); then the
  // samples are cleared. Fewer than three samples, gravity directions that do
  // not determine every unknown, and a disturbed sample (named, with its
  // residual) are refused with one ERROR line; `result`, the samples and
  // everything else stay as they were.
  virtual Result identifyToolLoad(Array& result);
  // Speed limits of the reference offset: mm/s of the translation and deg/s
  // of the roll-pitch-yaw vector; accepted (0, 1000] mm/s and (0, 180]
  // deg/s, finite; anything else is refused with an ERROR line and nothing
  // changes. Defaults 250 mm/s, 45 deg/s.
  virtual Result setForceControlSpeedLimits(Number& translation_mm_per_s,
                                            Number& rotation_deg_per_s);
  // Forgets the captured samples (one INFO line with how many), so that a
  // disturbed set can be captured again from scratch.
  virtual Result clearLoadSamples();
  // Asks for a black-box file now: the force-control thread marks its next
  // record with a request, and the black box of the activating process
  // writes the 10 s before it and the 1 s after it to a CSV file, with one
  // "[INFO] Black box: wrote <path> (...)" line there. Works from a binding
  // process too; says in an ERROR line when force control is not running.
  virtual Result writeBlackBox();

  void onHWReady(const hx4_signal::HWReady& signal);
  void onProgramTerminated(const hx4_signal::ProgramTerminated& signal);
  void onAlarm(const hx4_signal::Alarm& signal);

  // Serial-line set-up of activation: INFO "onActivate: assign port", then
  // opens `device_path` and configures it (460800 baud, 8N1, raw, VTIME 10,
  // VMIN 0, low latency). port_fd is -1 when the open failed; the set-up
  // prints its errors and never throws.
  void openPort();
  // Closes the port when the device holds one; port_fd is then -1.
  void closePort();

  int portFd() const { return port_fd; }
  const std::string& devicePath() const { return device_path; }
  bool programRunning() const { return program_running.load(); }
  double samplingRate() const { return sampling_rate; }
  // The workers, for hosts and tests that look inside (may be empty).
  boost::shared_ptr<VorelForceTorqueSensorComm> sensorComm() const;
  boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> secondaryInstance() const;
  boost::shared_ptr<AdaptiveThread> adaptiveThread() const;

  // Sampling rate for a sensor frequency (Hz): 500 from 500 up, 250 from 250
  // up, else 100 (NaN included).
  static double samplingRateFor(double frequency);

  static constexpr int kLoadSampleWindowCycles = 250;  // 0.5 s of 2 ms cycles
  // moveToContact: own cycles without a new heartbeat before force control
  // counts as not running, and cycles without progress before it ends.
  static constexpr int kLivenessCycles = 25;
  static constexpr int kNoProgressCycles = 500;  // 1 s
  static constexpr std::size_t kMaxLoadSamples = 16;

  // Highest real-time priority of the force-control thread; the sensor reader
  // runs one below it (98 leaves 99 to the host's own real-time threads).
  static constexpr int kMaxRealtimePriority = 98;
  // Activation argument 2, the force-control thread's real-time priority: a
  // whole number 1..98 (SCHED_FIFO; the sensor reader one below), 0 or absent
  // for normal scheduling. False, with the activation error's message in
  // `refusal`, for anything else.
  static bool realtimePriorityOf(const hx4_bundle_api::ArgProviderXml& args, int& priority,
                                 std::string& refusal);

 protected:
  // Registers `handler` for signal type T on the signal bus under the device's
  // subscriber id; a second registration under the same id is ignored.
  template <class T>
  void subscribe(void (VorelFTSensor::*handler)(const T&)) {
    auto stream = signalBus().findOrCreateStream<T>();
    stream->registerCallback(subscriberId(),
                             boost::any(std::function<void(const T&)>(
                                 [this, handler](const T& signal) { (this->*handler)(signal); })));
  }

  // Longest wait of a robot-program function for a lifecycle step in
  // progress, ms (an activation stops and starts three workers, 1 s bound
  // each, and configures the sensor).
  static constexpr int kLifecycleWaitMs = 10000;

  // The current facade, with the device's lock held shared while the access
  // lives: no lifecycle step replaces the facade under it.
  class FacadeAccess {
   public:
    FacadeAccess() = default;
    FacadeAccess(std::shared_lock<std::shared_timed_mutex> lock,
                 boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> facade)
        : lock_(std::move(lock)), facade_(std::move(facade)) {}
    explicit operator bool() const { return facade_ != nullptr; }
    VorelForceTorqueSensorSecondaryInstance* operator->() const { return facade_.get(); }
    VorelForceTorqueSensorSecondaryInstance& operator*() const { return *facade_; }
    const boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance>& get() const {
      return facade_;
    }

   private:
    std::shared_lock<std::shared_timed_mutex> lock_;
    boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> facade_;
  };

  // The facade on the current segment for `function`. A facade whose segment
  // was replaced by an activation in another process is re-created on the
  // new one first ("[INFO] <function>: the shared segment was re-created by
  // a new activation; the command facade now uses the new one"). Empty, with
  // an ERROR line naming `function`, when the device has not been bound yet,
  // when no segment exists under the name, or after kLifecycleWaitMs of
  // waiting for a lifecycle step.
  FacadeAccess facadeFor(const char* function);
  // Creates and starts a facade on the current segment and hands it the
  // mounted sensor pose; replaces (and releases) the one held before.
  void createFacade();
  // Moves a facade bound on an earlier segment to the current one: it keeps
  // running if it was running, and gets the sensor pose again. Caller holds
  // the lifecycle lock exclusively.
  void renewFacade();
  // Creates the force-control recorder beside a new segment (an ERROR line
  // when it cannot), and starts the black box on it; lifecycle lock held.
  void createRecorder();
  void startBlackBox();
  // Ends force control, stops the black box, the reader and force control
  // and closes the port (onDeactivate's work); caller holds the lifecycle
  // lock exclusively.
  void deactivateLocked(const char* operation);
  // The return to zero through this process's force-control thread, waited
  // for; the fall-back's ERROR line names `operation`.
  void endForceControlHere(const char* operation);
  // The return to zero as the heartbeat shows it (a binding process).
  void awaitReturnThroughHeartbeat(const char* operation,
                                   VorelForceTorqueSensorSecondaryInstance& facade);
  // "" while force control runs; else why not, for a message:
  // "force control is not running (no force-control cycle for 0.25 s)".
  static std::string notRunning(const VorelForceTorqueSensorSecondaryInstance& facade);
  // The ERROR line of a function that needs a running force-control thread.
  static void reportIfNotRunning(const char* function,
                                 const VorelForceTorqueSensorSecondaryInstance& facade);
  void applySensorFrame(VorelForceTorqueSensorSecondaryInstance& facade);
  // Reads one stage into rows 0..2 of `out`: components first..first+2.
  template <class Getter>
  Result readStage(const char* function, Array& out, Getter getter, int first);
  // Shifts the force (first = 0) or torque (first = 3) bias so that the stage
  // reads `targets`.
  template <class Getter>
  Result resetStage(const char* function, Array& targets, Getter getter, int first);

  // Console log lines.
  static void logInfo(const std::string& text);
  static void logError(const std::string& text);
  template <class T>
  static std::string str(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
  }

  // The worker pointers are replaced by lifecycle calls on the host's thread
  // while robot-program functions and signal handlers may read them on theirs:
  // they are read and written with boost::atomic_load / atomic_store.
  int port_fd;              // serial port descriptor; -1: no port
  std::string device_path;  // activation parameter 0
  boost::shared_ptr<VorelForceTorqueSensorComm> sensor_comm;
  boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> secondary_instance;
  boost::shared_ptr<AdaptiveThread> adaptive_thread;
  // The recorder's writer (created and removed with the segment; force
  // control appends to it) and the black box reading it. Lifecycle steps only.
  std::shared_ptr<recorder::RecorderWriter> recorder_writer;
  std::unique_ptr<BlackBox> black_box;
  std::unique_ptr<const BlackBoxConfig> black_box_config;  // from the configuration
  std::atomic<bool> program_running;  // cleared for good when the program terminates
  double sampling_rate;               // Hz: 500, 250 or 100, chosen at activation
  // Lifecycle operations hold it exclusively, facade users shared.
  std::shared_timed_mutex lifecycle_mutex;
  // Samples of captureLoadSample, oldest first.
  std::mutex load_samples_mutex;
  std::vector<tool_load::Sample> load_samples;
};

}  // namespace vorel_device
