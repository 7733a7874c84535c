// ForceControlStep: one 2 ms force-control cycle as a function of its inputs.
// It holds the state that lives from cycle to cycle (the filter chain and
// the system filter, the sample supervisor, the set-point, the offset and its
// shaping, the force-control state) and nothing else: no segment, mutex,
// host or thread. The force-control thread (AdaptiveThread) gathers the
// inputs, calls it and carries out what it returns.
#pragma once

#include <atomic>
#include <cstdint>

#include "adaptive/control_law.h"
#include "adaptive/filter_chain.h"
#include "adaptive/force_limit.h"
#include "adaptive/offset_shaping.h"
#include "comm/force_control_heartbeat.h"
#include "comm/force_control_record.h"
#include "comm/rx_frame.h"
#include "comm/shared_records.h"
#include "filters/filters.h"
#include "host/controller_types.h"
#include "host/geometry.h"

namespace vorel_device {

// Per cycle (run):
//   1. supervisor: the frame is a new sample when `new_sample` (the reader's
//      publication count moved) and usable when its header is 0xAA, its
//      status 0 and its six values finite; otherwise the last usable sample is
//      processed again and ages by one cycle. Stale from the cycle in which the
//      age reaches max(10 sensor periods, 50 ms) (in 2 ms cycles, rounded up):
//      integration holds. Until the first usable sample the step ends here.
//   2. wrench: the tool's weight removed with the flange rotation and the tool
//      load (compensated, sensor axes), then expressed in the TCP frame (tcp),
//      the bias removed, through the chain and the system filter with the
//      previous cycle's set-point as reference (filtered).
//   3. state: Suspended (the controller's hold flags: nothing changes),
//      Idle (off, offset zero), Active (on: the set-point smoothed, the
//      enabled halves integrated unless stale, the offset shaped and sent),
//      Returning (off: one step of the return to zero, sent; at zero the
//      set-point and the per-activation diagnostics are reset).
//
// Events (for the thread's lines and the recorder): the stale trip and the
// recovery (while force control is active), a non-finite rate held (once per
// activation), a limit that starts to bind (once per episode).
//
// What robot programs set, as the snapshot copied it from the shared objects
// of the same names.
struct ForceControlCommands {
  bool translation = false;  // "activate_adaptive_translation"
  bool rotation = false;     // "activate_adaptive_rotation"
  Gains gains;
  ftBias wrench_offset;  // bias, N / N m, TCP axes
  Wrench track_wrench;   // target, N / N m, TCP axes
  control_law::AxisFactors enabled_axes{{0, 0, 0, 0, 0, 0}};
  hx4rc_api::Frame sensor_to_tfc_transform;  // sensor pose on the flange (NaN: unset)
  std::int32_t enabled_system_filters = 0;   // non-zero: the system filter runs
  SystemFilterParams system_filter_params;
  ForceControlLimits limits;             // envelope, m, rad (0: none)
  ForceControlSpeedLimits speed_limits;  // m/s, rad/s
  ForceLimits force_limits;              // N, N m
  ForceControlLaw law;                   // frame, dead band, compliance
  // Taken once from the request slots.
  bool reset_filter_history = false;
  std::int32_t filter_request = 0;  // 1 add, -1 remove, 0 none
  FilterOptions filter_options;
};

// The robot as the controller synchronisation found it.
struct RobotState {
  bool suspended = false;          // control-resource flag 3 or 4
  hx4rc_api::Frame flange;         // flange in the world
  hx4rc_api::Frame tcp_in_flange;  // TCP on the flange
  hx4rc_api::Frame tcp_in_base;    // TCP in the robot base (queried for the base frame law)
  hx4rc_api::Load tool_load;       // mass kg, centre of gravity m (flange coordinates)
};

struct StepInput {
  bool new_sample = false;  // the frame was published since the last cycle
  RxFrame frame;
  bool ended = false;  // the owner ended force control (until the flags are off)
  RobotState robot;
};

// What one cycle decided.
struct StepOutput {
  bool processed = false;  // the wrenches are this cycle's (a usable sample exists)
  // The TCP wrench with the bias still in, N / N m, TCP axes: to
  // "tcp_transformed_wrench" (the record holds the other stages).
  Wrench tcp_with_bias;
  bool send = false;                                  // the offset goes to the drive
  double offset[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};  // m, rad: translation, roll-pitch-yaw
  bool returned = false;  // the return reached zero this cycle: idle again
  // Diagnostics.
  bool stale_trip = false;          // the sensor became stale while active
  bool recovered = false;           // a usable sample after a reported stale spell
  long stale_ms = 0;                // the age at the trip, or at the last stale cycle
  bool non_finite = false;          // a non-finite rate was held (first time this activation)
  std::uint8_t limits_started = 0;  // ForceControlRecord::limits_bound bits that began to bind
  offset_shaping::Limits limits;    // the limits of this cycle (for the lines)
  force_limit::Check force_limit;   // the force limits' check of this cycle
  // The step's part of the recorder's record, the home of the cycle's
  // wrenches: raw, compensated (to "gravity_compensated_wrench"), unbiased
  // TCP and filtered (to "tcp_filtered_wrench"); the TCP position, limits,
  // events kStaleTrip and kLimitBinds, flags kNewSample and kProcessed.
  ForceControlRecord record;
};

class ForceControlStep {
 public:
  // Rate at which every filter is stepped and designed: once per 2 ms cycle.
  static constexpr double kFilterStepRate = 1.0 / control_law::kCycleTime;  // Hz
  static constexpr double kMinStaleTime = 0.05;                             // s
  static constexpr int kRateWindowCycles = 500;  // cycles over which the usable rate is counted

  // max(10 / sampling_rate, 50 ms) in 2 ms cycles, rounded up.
  static std::int64_t staleLimitCycles(double sampling_rate);
  // A frame force control may use: header 0xAA, status 0, six finite values.
  static bool isUsable(const RxFrame& frame);
  // The limits bound by a shaping step, as ForceControlRecord::limits_bound bits.
  static std::uint8_t limitsBound(const offset_shaping::Step& step);

  // sampling_rate: the sensor's rate, Hz (for the stale limit).
  explicit ForceControlStep(double sampling_rate);

  // The snapshot's commands: kept for the following cycles; a filter
  // request, a history reset and the system filter's parameters take effect
  // at once (before the next run). Returns what the filter request did.
  FilterChain::Outcome takeCommands(const ForceControlCommands& commands);
  // One cycle (see above).
  StepOutput run(const StepInput& in);
  // Whether run(in) will process a sample (one is usable now or already was).
  bool willProcess(const StepInput& in) const {
    return has_usable_ || (in.new_sample && isUsable(in.frame));
  }
  // A cycle that failed before its step: while force control is on the
  // offset is held (sent unchanged), while off the return goes on.
  StepOutput hold(bool ended);
  // A fall-back took the drive: back to idle without sending.
  void abandon() { resetToIdle(); }

  // Filter chain requests (see FilterChain).
  FilterChain::Outcome addFilter(const FilterOptions& options) {
    return filters_.add(options, kFilterStepRate);
  }
  FilterChain::Outcome removeFilter(const FilterOptions& options) {
    return filters_.remove(options);
  }

  // --- State ------------------------------------------------------------------
  bool wasActive() const { return was_active_; }
  // Any thread (the force-control thread's queries read it).
  ForceControlState state() const { return state_.load(); }
  bool stale() const { return stale_; }
  bool hasUsable() const { return has_usable_; }
  std::int64_t usableAgeCycles() const { return usable_age_cycles_; }
  std::int64_t staleLimit() const { return stale_limit_cycles_; }
  double usableRate() const { return usable_rate_; }
  // s since the last usable sample; -1 before the first.
  double sampleAge() const;
  const ForceControlCommands& commands() const { return commands_; }
  const Wrench& filteredWrench() const { return filtered_; }
  const Wrench& trackReference() const { return track_reference_; }
  const offset_shaping::OffsetShaper& shaper() const { return shaper_; }
  // Whether the law runs in the robot base's axes (the frame of its state).
  bool lawInBase() const { return in_base_; }
  // The offset as last commanded, in the drive's TCP axes: m, rad.
  void commandedOffset(double (&offset)[6]) const;
  // ForceLimits bits seen in the current force-limit episode (0: none).
  std::uint32_t forceLimitEpisode() const { return force_guard_.episode(); }
  const FilterChain& filterChain() const { return filters_; }
  const HighPassRateLimiter& systemFilter() const { return system_filter_; }

 private:
  void supervise(const StepInput& in, StepOutput& out);
  void processWrench(const StepInput& in, StepOutput& out, Wrench& unbiased);
  void checkForceLimits(const Wrench* unbiased, StepOutput& out);
  void control(const StepInput& in, StepOutput& out, const Wrench& unbiased);
  void integrate(StepOutput& out, const Wrench& unbiased);
  void stepReturn(StepOutput& out);
  void noteLimits(const offset_shaping::Step& step, StepOutput& out);
  void resetToIdle();
  void command(StepOutput& out) const;
  // The law's frame from the commands; its state is re-expressed on a change.
  void updateLawFrame(const StepInput& in);
  // `w` (TCP axes) in the law's axes, and back.
  Wrench toLaw(const Wrench& w) const;
  Wrench toTcp(const Wrench& w) const;
  // The law's settings (values outside their range: none).
  ForceControlLaw lawSettings() const;
  bool on(bool ended) const { return (commands_.translation || commands_.rotation) && !ended; }
  // The shaping limits (values outside their range: the defaults).
  offset_shaping::Limits shapingLimits() const;

  ForceControlCommands commands_;
  FilterChain filters_;
  HighPassRateLimiter system_filter_;
  Wrench filtered_;
  Wrench track_reference_;  // smoothed target: the law's set-point
  offset_shaping::OffsetShaper shaper_;
  std::atomic<ForceControlState> state_{ForceControlState::kIdle};
  bool was_active_ = false;  // an offset was sent since the last return to idle
  bool non_finite_reported_ = false;
  std::uint8_t binding_ = 0;  // limits_bound bits of the last shaping step while active
  // Supervisor.
  std::int64_t stale_limit_cycles_;
  RxFrame usable_frame_;
  bool has_usable_ = false;
  std::int64_t usable_age_cycles_ = 0;
  bool stale_ = false;
  bool stale_reported_ = false;
  std::int64_t stale_age_cycles_ = 0;
  bool overrange_ = false;  // the newest frame is flagged overrange
  // The law's frame: the set-point and the shaper's offset live in it.
  bool in_base_ = false;
  hx4rc_api::Rotation base_rotation_;  // TCP axes -> base axes, as last known
  force_limit::Guard force_guard_;
  int window_cycles_ = 0;
  int window_usable_ = 0;
  double usable_rate_ = 0.0;
};

}  // namespace vorel_device
