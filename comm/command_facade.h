// VorelForceTorqueSensorSecondaryInstance: the command facade, the device's
// only door into the shared segment. Robot-program functions and the device's
// lifecycle and signal handlers call its operations to set biases, gains,
// enabled axes, track values, filter requests, the sensor pose and the
// force-control activation flags, and to read the wrench at its processing
// stages. Its own periodic thread (10 ms pause) keeps a copy of the latest
// sensor frame for the raw readout.
//
// Every operation locks the named mutex "VorelNamedMutex" once (scoped: also
// released by exceptions), reaches the objects through the addresses found
// once when the segment was opened (shared_segment::findObjects), copies values
// in or out and unlocks; so each is atomic with respect to the reader, the
// force-control thread and other callers. Nothing is validated: values are
// stored as given. Wrenches are force x, y, z (N) then torque x, y, z (N m).
#pragma once

#include <boost/shared_ptr.hpp>
#include <mutex>

#include "comm/rx_frame.h"
#include "comm/shared_records.h"
#include "comm/shared_segment.h"
#include "filters/filter_options.h"
#include "host/program_values.h"
#include "periodic/periodic_thread.h"

namespace vorel_device {

// The wait for the mutex is bounded (shared_segment::kLockWaitMs) and resumes
// after signals. An operation that does not get it within the bound writes
// "[ERROR] <operation>: VorelNamedMutex not acquired within 100 ms; nothing
// was done" to the host console, changes nothing (a readout leaves `out`
// untouched) and returns false; otherwise it returns true. The worker's cycle
// skips its copy instead, with one such ERROR line per episode.
//
// The facade opens an existing segment (a reader must exist) and never
// reopens it: a reader constructed later creates a segment this facade does
// not see, which segmentState() tells (the device then builds a new facade).
// It creates and removes nothing.
class VorelForceTorqueSensorSecondaryInstance : public tmvz_periodic_thread::PeriodicThread {
 public:
  // Request codes of addOrRemoveFilter.
  static constexpr int kAddFilter = 1;
  static constexpr int kRemoveFilter = -1;
  // Longest wait of addOrRemoveFilter for the force-control thread to take
  // the previous request out of the one-request slot, ms.
  static constexpr int kFilterHandOffWaitMs = 100;

  // The segment this facade mapped, against the one now under its name.
  enum class SegmentState {
    kCurrent,   // still the segment under the name
    kReplaced,  // a new activation created another one
    kGone,      // no segment under the name (between or after activations)
  };

  // period_ms: pause after each cycle, ms (the device uses 10). Opens the
  // segment and the named mutex open-only; throws
  // boost::interprocess::interprocess_exception when either does not exist.
  explicit VorelForceTorqueSensorSecondaryInstance(int period_ms);
  ~VorelForceTorqueSensorSecondaryInstance() override;

  // Prints "Start the second instance." on standard output.
  void initMethod() override;
  // Copies the shared "frame" into the facade's frame (named mutex held).
  void cycleMethod() override;

  // Refreshes the wrench_offset field from the shared "wrench_offset" when it
  // exists. Takes no lock: the caller holds the one it uses.
  void updateWrenchOffsets();

  // Bias: adds bias[0..2] to the force offsets (N) / the torque offsets (N m)
  // that every readout except the filtered one subtracts, and stores the sums
  // in the shared "wrench_offset". Accumulates: passing the current readout of
  // a stage tares it to 0.
  bool setForceBias(double* bias);
  bool setTorqueBias(double* bias);
  // Force-control switches: translation and rotation halves of the law.
  bool activate(bool translation, bool rotation);
  // Asks the force-control thread to clear the system filter's history once.
  bool resetFilters();
  // Force control per axis: force x, y, z, torque x, y, z (stored as 1 or 0).
  bool setEnabledAxes(bool fx, bool fy, bool fz, bool tx, bool ty, bool tz);
  bool setForceControlGains(double translation_gain, double rotation_gain, double track_smoothing);
  bool setEnabledSystemFilters(bool enabled);
  // Cut-off (Hz), rising and falling rate (N/s) of the system filter.
  bool setSystemFilterParams(double cutoff_frequency, double rising_rate, double falling_rate);
  // Pose of the sensor frame relative to the tool flange (the host's frame of
  // the pose, RobotPose::toFrame(true)).
  bool setSensorFrame(hx4_program_api::RobotPose pose);
  // Force-control targets: force x, y, z (N) / torque x, y, z (N m).
  bool setForceTrackValue(double* value);
  bool setTorqueTrackValue(double* value);
  // Hands one filter request to the force-control thread (request 1: add or
  // replace the filter described by options; -1: remove the filter named in
  // options, "all" removes every filter). The segment has one request slot,
  // which the force-control thread empties once per 2 ms cycle: while it
  // still holds a request, this call waits (named mutex released, 1 ms
  // pauses) up to kFilterHandOffWaitMs, so that no request is overwritten.
  // When the slot stays full it writes "[ERROR] addOrRemoveFilter: the
  // force-control thread did not take the previous filter request within
  // 100 ms; the request to <add|remove> filter "<name>" was not sent" and
  // returns false.
  bool addOrRemoveFilter(FilterOptions options, int request);

  // Compares the mapped segment with the one now under the name.
  SegmentState segmentState() const;

  // Readouts, six values in wrench order.
  // The latest sensor frame's values (whatever its status) minus the offsets.
  bool getRawFTData(double (&out)[6]);
  // Gravity-compensated wrench in the sensor frame minus the offsets.
  bool getGravityCompensatedFTData(double (&out)[6]);
  // Wrench in the tool-centre-point frame minus the offsets.
  bool getTCPFrameFTData(double (&out)[6]);
  // Filtered tool-centre-point wrench, as published (already without bias).
  bool getTCPFrameFilteredFTData(double (&out)[6]);
  // Euclidean norm of the tool-centre-point force (N) / torque (N m), offsets
  // subtracted.
  bool getForceNorm(double& norm);
  bool getTorqueNorm(double& norm);
  // Health of the sensor link and of force control (see SensorHealth).
  bool getSensorHealth(SensorHealth& health);
  // Envelope of the reference offset: m and rad, 0 for no limit.
  bool setForceControlLimits(double max_translation, double max_rotation);
  // Speed limits of the reference offset: m/s and rad/s.
  bool setForceControlSpeedLimits(double translation, double rotation);
  bool getForceControlSpeedLimits(ForceControlSpeedLimits& limits);
  // Force limits of force control: N and N m (see ForceLimits).
  bool setForceLimits(double force, double torque);
  bool getForceLimits(ForceLimits& limits);
  // The law's frame, dead band and compliance (see ForceControlLaw): each
  // setter changes its own fields only.
  bool setForceControlDeadband(double force, double torque);
  bool setForceControlCompliance(double stiffness, double mass, double rotational_stiffness,
                                 double inertia);
  bool setForceControlFrame(std::int32_t frame);
  bool getForceControlLaw(ForceControlLaw& law);
  // The bias the readouts and force control subtract (N, N m), as shared.
  bool getWrenchOffset(double (&offset)[6]);
  // The force-control thread's last beat, read without the named mutex (and
  // without a lookup: the address is taken when the segment is opened), so
  // that a dead holder of any lock cannot hide it. All zero when the segment
  // has no heartbeat.
  HeartbeatBeat heartbeat() const;

  // Tool-load identification.
  // The shared "frame" as the reader published it (no bias subtracted,
  // whatever its status) and the reader's publication count.
  bool getPublishedFrame(RxFrame& out, std::uint64_t& published);
  // Whether force control is switched on (translation or rotation).
  bool getForceControlActive(bool& active);
  // Sets the bias that the readouts and force control subtract, absolutely:
  // force x, y, z (N), torque x, y, z (N m).
  bool setWrenchOffset(const double (&offset)[6]);
  // Asks the force-control thread to take the host's tool load again at its
  // next cycle.
  bool requestToolLoadReload();

  // Black-box files: asks the force-control thread to mark its next record
  // with an event, a robot program's request or the program's termination
  // (a file only when force control is on then). One count added to
  // "black_box_request".
  enum class BlackBoxEvent { kRequest, kProgramTerminated };
  bool requestBlackBox(BlackBoxEvent event);

 private:
  // Copies `stage` minus the refreshed offsets into out; lock held by caller.
  void subtractOffsets(const Wrench& stage, double (&out)[6]);
  // TCP wrench minus offsets, components first..first+2; lock held by caller.
  double offsetNorm(int first);

  // Runs fn() holding the named mutex; false, after the ERROR line, when the
  // mutex was not acquired within its bound.
  template <class Fn>
  bool underLock(const char* operation, Fn fn);

  ftBias wrench_offset;      // this facade's copy of the shared "wrench_offset"
  bool lock_failed = false;  // the worker's last cycle missed the mutex
  std::mutex raw_mutex;      // held by the raw readout
  // The object under the segment's name before the mutex and the segment
  // were opened; cleared (unknown) when it changed while they were opened.
  shared_segment::Identity identity;
  boost::shared_ptr<shared_segment::Mutex> segment_mutex;
  RxFrame frame;  // copy of the shared "frame", refreshed every cycle
  shared_segment::Segment segment;
  ForceControlHeartbeat* heartbeat_record = nullptr;  // in `segment`
  shared_segment::Objects objects;                    // in `segment`, found once
};

}  // namespace vorel_device
