// VorelFTSensor: the force/torque sensor device that the robot-controller
// host loads, creates through the maker registered under
// "vorel_device::VorelFTSensor" and drives through its lifecycle. Its work is
// done by three periodic workers: the sensor reader
// VorelForceTorqueSensorComm (creates the shared segment; 5 ms pause), the
// force-control thread AdaptiveThread (paced by the controller's 2 ms cycle)
// and the command facade VorelForceTorqueSensorSecondaryInstance (10 ms).
// Threads: lifecycle operations on the host's thread, signal handlers on the
// delivery threads of the host's event streams, robot-program functions on
// the interpreter's thread. One device-level lock serialises the lifecycle
// steps; robot-program functions hold it shared for their facade calls,
// never across a controller synchronisation or a motion command.
// Log lines go to the host console, one Console::write per line, as
// "[INFO] text\n" or "[ERROR] text\n"; serial-port errors to standard output.
// Nothing here runs on the 2 ms path: the force-control thread does.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/hx4_api.h"

namespace vorel_device {

/// Activation and binding are independent: the activating and the binding
/// device may live in different processes of the host (the segment and its
/// mutex are named operating-system objects). Every end of force control is
/// the return of the offset to zero, speed and acceleration limited.
class VorelFTSensor : public hx4_bundle_api::CustomDevice {
 public:
  using Result = hx4_program_api::CmdResult<void*>;               ///< The host's call result.
  using ptree = boost::property_tree::ptree;                      ///< Configuration and arguments.
  using Array = hx4_program_api::Array<hx4_program_api::Number>;  ///< A robot-program array.
  using Number = hx4_program_api::Number;                         ///< A robot-program number.

  /// Stores the program interface and the configuration; no thread, port or
  /// shared memory is touched.
  VorelFTSensor(boost::shared_ptr<hx4_program_api::ProgramInterface> program, const ptree& config);
  ~VorelFTSensor() override;

  /// Lifecycle, called by the host on its own thread.
  /// Registers the hardware-ready handler; 0.
  int onCreate() override;
  /// onDeactivate again; 0.
  int onDestroy() override;
  /// Registers the program-terminated and alarm handlers, creates and starts
  /// the facade (a reader must exist), stores the sensor pose; 0, or -1
  /// without activation or mounting parameters.
  int onBind() override;
  /// Switches force control off, waits for the return to zero, stops the
  /// facade; 0.
  int onUnbind() override;
  /// Opens and configures the port, creates the reader (and so a fresh
  /// segment; a second activation releases the previous reader first and
  /// re-creates a facade bound on the old segment) and the force-control
  /// recorder "VorelForceControlRecorder" (mode 0644; one that cannot be
  /// created costs an ERROR line, and no black-box file is written),
  /// configures the sensor's filter, starts the reader, creates and starts
  /// force control at 500, 250 or 100 Hz, then the black box (device/
  /// black_box.h, settings from the optional `<blackbox>` element). With
  /// activation argument 2 (1..98) force control runs SCHED_FIFO at it, the
  /// reader one below. Success, or kind 2 "Failed to start the adaptive
  /// thread." or "Invalid real-time priority ...".
  Result onActivate(const ptree& params) override;
  /// Ends force control (the return of the offset to zero, waited for at most
  /// AdaptiveThread::kReturnWaitMs; when no cycle runs for 100 ms or the wait
  /// runs out the zero offset is sent at once, with one ERROR line; a binding
  /// process waits through the heartbeat), stops the black box, stops the
  /// reader, closes the port, stops force control; success.
  Result onDeactivate() override;
  /// Writes the mounted tool load into the host's "toolload" system load.
  Result onMount(const ptree& params) override;
  /// Nothing; success.
  Result onUnmount() override;

  /// Robot-program functions, on the program interpreter's thread; each
  /// always returns success and is a thin layer over the facade. Before onBind
  /// there is no facade: a call writes an ERROR line and does nothing; so does
  /// a call that finds no segment under the name (the activating device is
  /// gone; a binding device finds a new segment at its next call and re-opens
  /// it, one INFO line) or waits longer than 10 s for a lifecycle step.
  /// Vectors are column 0, rows 0..2 (x, y, z) of an Array<Number>: forces in
  /// N, torques in N m, in the frame of the stage named (Raw: the sensor's own
  /// reading; SensorFrame: gravity compensated, sensor axes; no word: TCP
  /// frame; Filtered: TCP frame after the filter chain). Readouts write all
  /// three rows from one sample.
  ///@{
  virtual Result readForceRaw(Array& force);
  virtual Result readTorqueRaw(Array& torque);
  virtual Result readForceSensorFrame(Array& force);
  virtual Result readTorqueSensorFrame(Array& torque);
  virtual Result readForce(Array& force);
  virtual Result readTorque(Array& torque);
  virtual Result readForceFiltered(Array& force);
  virtual Result readTorqueFiltered(Array& torque);
  ///@}
  /// Resets shift the bias so that the stage reads the given targets (rows
  /// 0..2) while its wrench stays the same. One bias serves the raw,
  /// sensor-frame and tool-frame readouts. The bias accumulates, so a reading
  /// or target that is not finite is refused with an ERROR line (resets and
  /// tare alike) and the bias stays as it was.
  ///@{
  virtual Result resetForceRaw(Array& targets);
  virtual Result resetTorqueRaw(Array& targets);
  virtual Result resetForceSensorFrame(Array& targets);
  virtual Result resetTorqueSensorFrame(Array& targets);
  ///@}
  /// resetForce and resetTorque to zero from one tool-frame sample.
  virtual Result tareSensor();
  /// The tool-frame readouts' resets (rows 0..2: the force in N, the torque
  /// in N m that the readout shall show).
  ///@{
  virtual Result resetForce(Array& targets);
  virtual Result resetTorque(Array& targets);
  ///@}
  /// Force-control targets, tool-centre-point frame: force (N), torque (N m).
  /// Targets, gains and system-filter parameters that are not finite numbers
  /// are refused with an ERROR line: they would enter the filters' state and
  /// hold force control until the filter history is reset.
  ///@{
  virtual Result setForceTrackValue(Array& force);
  virtual Result setTorqueTrackValue(Array& torque);
  ///@}
  /// Guarded approach: steps the tool along `axis` (0 x, 1 y, 2 z) of the world
  /// (referenceFrame 0) or of the current tool-centre-point frame (1) at
  /// `speed` mm/s (its sign is the direction) until the tool-frame force norm
  /// exceeds `forceThreshold` N, then retracts `retractDistance` mm against the
  /// approach direction. Ends without retract, with an INFO line, when the tool
  /// has travelled `maxDistance` mm without contact. A speed, force threshold,
  /// travel limit or retract distance that is not a finite number is refused
  /// before the first step, with an ERROR line. The approach never goes on
  /// blind: a force norm that is not a finite number, a sensor that gives no
  /// usable samples (health: supervisor state not 0, or none yet) and a
  /// re-activation of the device during the call (the force would come from
  /// a segment nobody feeds any more) each end the call at once with an ERROR
  /// line, without a further step and without retract. Refused before any
  /// motion, with an ERROR line: a reference frame other than 0 or 1, an axis
  /// other than 0, 1 or 2, a speed of 0 (each would command the current pose
  /// for ever) and force control not running. Ended with an ERROR line when
  /// force control stops running during the approach (its heartbeat is 50 ms
  /// old, and it has not moved for 25 of the call's own cycles), and when the
  /// tool makes no progress along the axis for 1 s while the robot is not
  /// held: progress is a new furthest point along the approach
  /// direction, at least min(0.1 mm, half the distance `speed` covers in 1 s)
  /// beyond the last one.
  virtual Result moveToContact(int referenceFrame, int axis, Number& speed, Number& forceThreshold,
                               Number& maxDistance, Number& retractDistance);
  /// Switches the halves of force control on or off. This, like
  /// deactivateForceControl, addFilter, removeFilter and resetFilters, still
  /// writes its request when force control is not running (its heartbeat's
  /// last cycle 50 ms old) and adds "[ERROR] <function>: force control is not
  /// running (...)".
  virtual Result activateForceControl(bool translation, bool rotation);
  /// Force control off and zero force and torque targets; returns at once
  /// (the return to zero goes on).
  virtual Result deactivateForceControl();
  /// The axes of the task frame that force control moves along (forces) and
  /// about (torques); the others keep their offset.
  virtual Result setEnabledAxes(bool fx, bool fy, bool fz, bool tx, bool ty, bool tz);
  /// translation_gain, rotation_gain, track_smoothing (set-point smoothing per
  /// 2 ms cycle). Values that are not finite, and a track_smoothing outside
  /// [0, 1], are refused with an ERROR line and nothing is changed.
  virtual Result setForceControlGains(Number& translation_gain, Number& rotation_gain,
                                      Number& track_smoothing);
  /// Switches the system filter (low-pass and rate limiter, before the user
  /// filters) on or off.
  virtual Result setEnabledSystemFilters(bool enabled);
  /// System filter: cut-off (Hz), rising rate and falling rate (N/s, N m/s for
  /// torques). It is stepped once per 2 ms force-control cycle (500 Hz), so the
  /// cut-off must lie in [0, 250] Hz, the rising rate be >= 0 and the falling
  /// rate <= 0; other values, and values that are not finite, are refused with
  /// an ERROR line and nothing is changed.
  virtual Result setSystemFilterParams(Number& cutoff_frequency, Number& rising_rate,
                                       Number& falling_rate);
  /// Clears the system filter's history once.
  virtual Result resetFilters();
  /// Adds or replaces the named filter of the force-control chain: type 1
  /// low-pass (p3 cut-off Hz), 2 notch (p1 reject frequency Hz, p2 bandwidth
  /// Hz), 3 rate limiter (p4 rising, p5 falling rate per s), 4 high-pass rate
  /// limiter (p3, p4, p5). Names longer than 40 characters are cut to 40. A
  /// type outside 1..4 is refused with an ERROR line, and so are parameters
  /// that would make the filter unstable or amplify by more than 2 up to
  /// 250 Hz at its 500 Hz step rate (one step per 2 ms cycle): a notch
  /// bandwidth outside (0, B] Hz, B depending on the reject frequency (2.08 Hz
  /// at 1 Hz, 19.7 Hz at 10 Hz, 82.4 Hz at 50 Hz), a rising rate below 0 or a
  /// falling rate above 0 (types 3 and 4), and a cut-off (types 1 and 4) or
  /// reject frequency (type 2) outside [0, 250] Hz, which the filter classes
  /// would answer by ending the process. Nothing is sent then. A notch at 0 Hz
  /// passes the signal unchanged.
  virtual Result addFilter(std::string name, int type, double p1, double p2, double p3, double p4,
                           double p5);
  /// Removes the named filter; "all" removes every filter.
  virtual Result removeFilter(std::string name);

  /// --- Appended after the first 27, which keep their slots ----------------
  /// Health of the sensor link and of force control, rows 0..5 of column 0:
  ///   0 age of the last usable sample, s (-1 before the first one)
  ///   1 usable samples per second, over the last whole second
  ///   2 CRC errors since activation (in-sync frames with a wrong CRC)
  ///   3 lost-sync events since activation
  ///   4 status bits of the last frame the sensor sent
  ///   5 supervisor state: 0 ok, 1 stale (offset held), 2 faulted (offset held),
  ///     3 not running (no force-control cycle for 50 ms: rows 0 and 1 then
  ///     count the time since the last cycle, and no usable samples)
  ///   6 (when the array has a seventh row) force-limit flags of the current
  ///     episode: 1 force above its limit, 2 torque above its limit, 4 frames
  ///     flagged overrange by the sensor; 0 within the limits
  /// Read from the shared segment, so correct in the activating and in a
  /// binding process.
  virtual Result readSensorHealth(Array& health);
  /// Envelope of the reference offset: largest magnitude of the translational
  /// offset (mm) and of the rotational offset (degrees, roll-pitch-yaw vector);
  /// 0 means no limit (the default). At the limit the offset is clamped. A
  /// negative or non-finite value is refused with an ERROR line.
  virtual Result setForceControlLimits(Number& maxTranslation_mm, Number& maxRotation_deg);

  /// Commissioning: identification of the tool load and of the sensor's own
  /// bias from samples in a few orientations (at least three distinct ones).
  /// Both refuse, with an ERROR line, while force control is on.
  ///
  /// captureLoadSample: while the robot stands still, averages the sensor's
  /// raw wrench (no bias subtracted; frames with status 0 and finite values
  /// only) over 250 controller cycles (0.5 s) and stores
  /// it with gravity in sensor axes (the flange's orientation in the world
  /// from the controller, turned into sensor axes with the mounted sensor pose
  /// as gravity compensation does: the flange's axes while the pose is not
  /// known). At most 16 samples are kept: a further capture is refused
  /// with an ERROR line (clearLoadSamples starts a new set). One INFO
  /// line per sample: its number, the mean wrench, the gravity direction and
  /// the frames used. A robot that moves during the window, or a window
  /// without a usable frame, gives an ERROR line and no sample.
  virtual Result captureLoadSample();
  /// identifyToolLoad: the least-squares fit (adaptive/tool_load_fit.h) of
  /// mass, centre of gravity and the sensor's force and torque bias (sensor
  /// axes). Rows 0..3 of `result`: mass (kg) and centre of gravity x, y, z (m,
  /// flange coordinates from the flange origin, as the host's tool load counts
  /// it). Writes the fit (the centre of gravity also in sensor axes from the
  /// sensor's origin), each sample's residual (N, N m) and the `<arg
  /// type="load">` element for the device configuration, and applies the result
  /// for the rest of the activation: the host's "toolload" system load (as
  /// onMount), a reload of it by force control at its next cycle, and the
  /// bias, set so that the tool-frame readout is zero without contact in every
  /// pose (the one bias that tareSensor and the resets shift); then the
  /// samples are cleared. Fewer than three samples, gravity directions that do
  /// not determine every unknown, and a disturbed sample (named, with its
  /// residual) are refused with one ERROR line; `result`, the samples and
  /// everything else stay as they were.
  virtual Result identifyToolLoad(Array& result);
  /// Speed limits of the reference offset: mm/s of the translation and deg/s
  /// of the roll-pitch-yaw vector; accepted (0, 1000] mm/s and (0, 180]
  /// deg/s, finite; anything else is refused with an ERROR line and nothing
  /// changes. Defaults 250 mm/s, 45 deg/s.
  virtual Result setForceControlSpeedLimits(Number& translation_mm_per_s,
                                            Number& rotation_deg_per_s);
  /// Forgets the captured samples (one INFO line with how many), so that a
  /// disturbed set can be captured again from scratch.
  virtual Result clearLoadSamples();
  /// Asks for a black-box file now: the force-control thread marks its next
  /// record with a request, and the black box of the activating process
  /// writes the 10 s before it and the 1 s after it to a CSV file, with one
  /// "[INFO] Black box: wrote <path> (...)" line there. Works from a binding
  /// process too; says in an ERROR line when force control is not running.
  virtual Result writeBlackBox();
  /// Force limits: the largest force (N) and torque (N m) magnitude of the
  /// gravity-compensated, bias-free TCP wrench, checked every force-control
  /// cycle before the user filters; accepted (0, 2000] N and (0, 200] N m,
  /// defaults 150 N and 15 N m. Over a limit force control presses no further
  /// and backs out to the limit (one ERROR line per episode), moveToContact
  /// ends with its motion stopped; force-control targets and moveToContact
  /// thresholds at or above the limit are refused.
  virtual Result setForceLimits(Number& force_N, Number& torque_Nm);
  /// Dead band of the force-control law: per axis of its frame, an error
  /// (filtered wrench - set-point) within force_N (N) or torque_Nm (N m)
  /// moves nothing, a larger one only by its part beyond the band. Accepted
  /// [0, 2000] N and [0, 200] N m; default 0 (none).
  virtual Result setForceControlDeadband(Number& force_N, Number& torque_Nm);
  /// Compliance of the law, per half: M x'' + x' / (gain x scale) + K x =
  /// error, so that a released tool returns to the programmed path and a
  /// steady force error e drifts e / K. Accepted [0, 1e6] N/m, [0, 1000] kg,
  /// [0, 1e5] N m/rad, [0, 100] kg m^2; defaults 0 (the integral law).
  virtual Result setForceControlCompliance(Number& stiffness_N_per_m, Number& mass_kg,
                                           Number& stiffness_Nm_per_rad, Number& inertia_kg_m2);
  /// The frame of the law, its targets and enabled axes: 0 the TCP's axes
  /// (the default), 1 the robot base's (the target is the force the part
  /// exerts on the tool in base axes: pressing down on a table is +z). The
  /// offset goes to the drive in TCP axes either way.
  virtual Result setForceControlFrame(int frame);

  /// Signal handlers, on the delivery threads of the host's event streams.
  /// Activates through the base's activate() when activation parameters
  /// exist; publishes a failed activation as hx4_bundle::Error (kind 2) or
  /// hx4_bundle::Exception (kind 1).
  void onHWReady(const hx4_signal::HWReady& signal);
  /// Asks for a black-box file (made only while force control is on),
  /// removes every filter, switches force control off (returns at once) and
  /// disables moveToContact for the rest of the device's life.
  void onProgramTerminated(const hx4_signal::ProgramTerminated& signal);
  /// Nothing.
  void onAlarm(const hx4_signal::Alarm& signal);

  /// False for good once the robot program has terminated (moveToContact no
  /// longer moves the robot). Inline: a host that loads the plug-in with
  /// dlopen calls it without linking the library.
  bool programRunning() const { return program_running_.load(); }

 private:
  /// The workers, the binding to the shared segment, the lock and the
  /// commissioning samples (device/device_impl.h).
  struct Impl;
  friend struct DeviceInternals;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> program_running_{true};
};

}  // namespace vorel_device
