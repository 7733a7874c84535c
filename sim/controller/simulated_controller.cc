#include "sim/controller/simulated_controller.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <system_error>
#include <utility>

namespace vorel_sim {

using hx4_program_api_internals::ControlStatus;
using hx4rc_api::Frame;
using hx4rc_api::Load;
using hx4rc_api::Model;

namespace {

constexpr std::uint32_t kHoldFlags = (1u << 3) | (1u << 4);
constexpr std::int64_t kLateWakeNs = 1000000;  // 1 ms: half a cycle

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Sleeps until CLOCK_MONOTONIC reaches `deadline_ns` (absolute).
void sleepUntil(std::int64_t deadline_ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
  ts.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace

Load SimulatedController::cellToolLoad() {
  Load load;
  const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  load.inertia.set(cell::kToolMass, cell::toolCog(), tensor);
  load.mounting = Frame::Identity();
  load.id = Load::SysId::LOAD_TOOL;
  return load;
}

SimulatedController::SimulatedController(const Config& config)
    : cycle_(config.cycle.count() > 0 ? config.cycle : std::chrono::nanoseconds(2000000)),
      model_(config.robot),
      rc_state_(config.rc_state),
      status_offered_(config.status_offered) {
  loads_[Load::SysId::LOAD_TOOL] = config.tool_load;
}

SimulatedController::~SimulatedController() {
  stop();
}

// --- Clock -------------------------------------------------------------------

bool SimulatedController::start() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (running_.load())
    return false;
  const std::int64_t epoch = monotonicNs();
  {
    std::lock_guard<PiMutex> lock(mutex_);
    epoch_ns_ = epoch;
  }
  stop_requested_.store(false);
  running_.store(true);
  clock_ = std::thread(&SimulatedController::clockLoop, this, epoch);
  clock_priority_.store(0);
  clock_refusal_.clear();
  if (requested_clock_priority_ > 0) {
    sched_param param{};
    param.sched_priority = requested_clock_priority_;
    const int error = pthread_setschedparam(clock_.native_handle(), SCHED_FIFO, &param);
    if (error == 0) {
      clock_priority_.store(requested_clock_priority_);
    } else {
      clock_refusal_ = std::system_category().message(error);
    }
  }
  return true;
}

void SimulatedController::setClockPriority(int priority) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  requested_clock_priority_ = priority < 0 ? 0 : priority;
}

std::string SimulatedController::clockSchedulingRefusal() const {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  return clock_refusal_;
}

void SimulatedController::stop() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (!clock_.joinable())
    return;
  stop_requested_.store(true);
  clock_.join();
  {
    std::lock_guard<PiMutex> lock(mutex_);
    running_.store(false);
    waiting_ = 0;
  }
  ticked_.notify_all();
}

SimulatedController::Clock::time_point SimulatedController::epoch() const {
  std::lock_guard<PiMutex> lock(mutex_);
  return Clock::time_point(std::chrono::nanoseconds(epoch_ns_));
}

void SimulatedController::clockLoop(std::int64_t epoch_ns) {
  const std::int64_t cycle = cycle_.count();
  std::int64_t next = epoch_ns + cycle;
  while (!stop_requested_.load()) {
    sleepUntil(next);
    if (stop_requested_.load())
      break;
    // How late the clock thread woke: what the machine grants a real-time
    // thread, whatever the device does.
    if (monotonicNs() - next > kLateWakeNs)
      late_wakes_.fetch_add(1, std::memory_order_relaxed);
    runTick(next);
    next += cycle;
    // Behind by a whole cycle or more: skip the deadlines that are that old
    // rather than ticking them in a burst; the schedule stays on its grid.
    const std::int64_t late = monotonicNs() - next;
    if (late >= cycle) {
      const std::int64_t missed = late / cycle;
      next += missed * cycle;
      std::lock_guard<PiMutex> lock(mutex_);
      overruns_ += static_cast<std::uint64_t>(missed);
    }
  }
}

void SimulatedController::runTick(std::int64_t deadline_ns) {
  const double dt = static_cast<double>(cycle_.count()) * 1e-9;
  std::shared_ptr<const TickObserver> observer;
  ControllerSnapshot snap;
  {
    std::lock_guard<PiMutex> lock(mutex_);
    {
      std::lock_guard<PiMutex> drive(drive_mutex_);
      if (drive_.pending) {
        model_.setOffset(drive_.offset);
        drive_.pending = false;
      }
    }
    model_.advance(dt, (status_flags_ & kHoldFlags) != 0);
    ++tick_;
    tick_published_.store(tick_, std::memory_order_release);
    waiting_ = 0;  // every waiter wakes on this tick
    deadline_ns_ = deadline_ns;
    observer = observer_;
    if (observer)
      fillSnapshotLocked(snap);
  }
  ticked_.notify_all();
  if (observer && *observer)
    (*observer)(snap);
}

std::uint64_t SimulatedController::tick() const {
  std::lock_guard<PiMutex> lock(mutex_);
  return tick_;
}

bool SimulatedController::awaitTick(std::uint64_t n, std::chrono::milliseconds guard) const {
  std::unique_lock<PiMutex> lock(mutex_);
  return ticked_.wait_for(lock, guard, [&] { return tick_ >= n; });
}

std::uint64_t SimulatedController::waitNextTickLocked(std::unique_lock<PiMutex>& lock) {
  if (!running_.load()) {
    // No clock: pace the caller by one cycle and return without a tick.
    lock.unlock();
    std::this_thread::sleep_for(cycle_);
    lock.lock();
    return 0;
  }
  // Counted until the tick (or stop) that releases it resets the count, so
  // that waitingThreads() tells how many threads the next tick wakes.
  const std::uint64_t next = tick_ + 1;
  ++waiting_;
  ticked_.wait(lock, [&] { return tick_ >= next || !running_.load(); });
  return tick_ >= next ? next : 0;
}

bool SimulatedController::awaitTime(double seconds, const std::atomic<bool>& abort) {
  const auto cycles = static_cast<std::uint64_t>(
      std::llround(seconds / std::chrono::duration<double>(cycle_).count()));
  const std::uint64_t until = tick() + cycles;
  while (tick() < until) {
    if (abort.load())
      return false;
    awaitNextTick();
  }
  return true;
}

std::uint64_t SimulatedController::awaitNextTick() {
  std::unique_lock<PiMutex> lock(mutex_);
  const std::uint64_t woke = waitNextTickLocked(lock);
  ++sync_calls_;
  return woke;
}

int SimulatedController::waitingThreads() const {
  std::lock_guard<PiMutex> lock(mutex_);
  return waiting_;
}

void SimulatedController::setTickObserver(TickObserver observer) {
  auto shared = observer ? std::make_shared<const TickObserver>(std::move(observer)) : nullptr;
  std::lock_guard<PiMutex> lock(mutex_);
  observer_ = std::move(shared);
}

// --- Scenario ----------------------------------------------------------------

void SimulatedController::setHold(bool on) {
  setResourceFlag(3, on);
}

void SimulatedController::setResourceFlag(unsigned bit, bool on) {
  if (bit >= 32)
    return;
  std::lock_guard<PiMutex> lock(mutex_);
  if (on) {
    status_flags_ |= 1u << bit;
  } else {
    status_flags_ &= ~(1u << bit);
  }
  updateHeldLocked();
}

void SimulatedController::setStatusOffered(bool offered) {
  std::lock_guard<PiMutex> lock(mutex_);
  status_offered_ = offered;
}

void SimulatedController::setRcState(std::uint32_t value) {
  std::lock_guard<PiMutex> lock(mutex_);
  rc_state_ = value;
}

void SimulatedController::setLoadModelReady(bool ready) {
  constexpr std::uint32_t bit = hx4rc_api::State::SysStat_RCState::kLoadModelReady;
  std::lock_guard<PiMutex> lock(mutex_);
  rc_state_ = ready ? (rc_state_ | bit) : (rc_state_ & ~bit);
}

bool SimulatedController::placeTcp(const Frame& tcp) {
  std::lock_guard<PiMutex> lock(mutex_);
  return model_.placeTcp(tcp);
}

bool SimulatedController::setTcpInFlange(const Frame& tcp_in_flange) {
  std::lock_guard<PiMutex> lock(mutex_);
  return model_.setTcpInFlange(tcp_in_flange);
}

void SimulatedController::setMotionLimits(const MotionLimits& limits) {
  std::lock_guard<PiMutex> lock(mutex_);
  model_.setLimits(limits);
}

void SimulatedController::updateHeldLocked() {
  held_.store((status_flags_ & kHoldFlags) != 0);
}

// --- Observation -------------------------------------------------------------

void SimulatedController::fillSnapshotLocked(ControllerSnapshot& out) const {
  out.tick = tick_;
  out.time_s = simulatedTimeLocked();
  out.deadline = Clock::time_point(std::chrono::nanoseconds(deadline_ns_));
  out.robot = model_.state();
  out.robot.time_s = out.time_s;
  out.commanded_tcp = model_.commandedTcp();
  out.offset = model_.offset();
  out.moving = model_.moving();
  out.motion_target = model_.target() ? *model_.target() : Frame();
  out.held = (status_flags_ & kHoldFlags) != 0;
  out.motion_commands = motion_commands_;
  out.motion_refused = motion_refused_;
  out.motion_non_finite = motion_non_finite_;
  out.motion_while_held = motion_while_held_;
  out.overruns = overruns_;
  out.late_wakes = late_wakes_.load(std::memory_order_relaxed);
  out.sync_calls = sync_calls_;
  out.resource_acquires = acquires_;
  out.resource_releases = releases_;
  out.status_queries = status_queries_;
  out.load_writes = load_writes_;
  std::lock_guard<PiMutex> drive(drive_mutex_);
  out.last_drive_offset = drive_.last;
  out.drive_commands = drive_.commands;
  out.drive_refused = drive_.refused;
  out.drive_non_finite = drive_.non_finite;
  out.drive_while_held = drive_.while_held;
  out.largest_translation_step = drive_.largest_translation_step;
  out.largest_rotation_step = drive_.largest_rotation_step;
}

ControllerSnapshot SimulatedController::snapshot() const {
  ControllerSnapshot out;
  std::lock_guard<PiMutex> lock(mutex_);
  fillSnapshotLocked(out);
  return out;
}

RobotState SimulatedController::robotState() const {
  std::lock_guard<PiMutex> lock(mutex_);
  RobotState state = model_.state();
  state.time_s = simulatedTimeLocked();
  return state;
}

double SimulatedController::simulatedTimeLocked() const {
  return static_cast<double>(tick_) * static_cast<double>(cycle_.count()) * 1e-9;
}

// --- ControllerBackend -------------------------------------------------------

void SimulatedController::sync(bool wait_for_motion) {
  std::unique_lock<PiMutex> lock(mutex_);
  waitNextTickLocked(lock);
  while (wait_for_motion && model_.moving() && running_.load()) {
    waitNextTickLocked(lock);
  }
  ++sync_calls_;
}

hx4rc_api::State::SysStat_RCState SimulatedController::rcState() {
  std::lock_guard<PiMutex> lock(mutex_);
  hx4rc_api::State::SysStat_RCState state;
  state.value = rc_state_;
  state.cycles = static_cast<std::uint32_t>(tick_);
  return state;
}

Load SimulatedController::load(Load::SysId id) {
  std::lock_guard<PiMutex> lock(mutex_);
  const auto it = loads_.find(id);
  if (it != loads_.end())
    return it->second;
  Load unset;
  unset.id = id;
  return unset;
}

void SimulatedController::setLoad(Load::SysId id, const Load& load) {
  std::lock_guard<PiMutex> lock(mutex_);
  loads_[id] = load;
  ++load_writes_;
}

Frame SimulatedController::frame(Model::SysId a, Model::SysId b) {
  std::lock_guard<PiMutex> lock(mutex_);
  return model_.frame(a, b);
}

int SimulatedController::move(const hx4rc_api::Motion::Target& target,
                              const hx4rc_api::Motion::Params& /*params*/) {
  std::lock_guard<PiMutex> lock(mutex_);
  ++motion_commands_;
  if (!target.frame.isFinite())
    ++motion_non_finite_;
  if ((status_flags_ & kHoldFlags) != 0)
    ++motion_while_held_;
  if (!model_.setTarget(target)) {
    ++motion_refused_;
    return -1;
  }
  return 0;
}

int SimulatedController::submit(const hx4rc_api::Drive::CmdReferenceCtl& command) {
  const hx4rc_api::Pose& offset = command.referenceOffset();
  const bool accepted = command.hasReferenceOffset() && RobotModel::acceptsOffset(offset);
  const bool held = held_.load();
  std::lock_guard<PiMutex> drive(drive_mutex_);
  ++drive_.commands;
  drive_.last = offset;
  if (command.hasReferenceOffset() && !offset.frame.isFinite())
    ++drive_.non_finite;
  if (held)
    ++drive_.while_held;
  if (!accepted) {
    ++drive_.refused;
    return -1;
  }
  // The change from the offset taken before (zero before the first).
  double now_rpy[3], then_rpy[3];
  offset.frame.rotation.GetRPY(now_rpy[0], now_rpy[1], now_rpy[2]);
  drive_.accepted.rotation.GetRPY(then_rpy[0], then_rpy[1], then_rpy[2]);
  const hx4rc_api::Vector rotation_step(now_rpy[0] - then_rpy[0], now_rpy[1] - then_rpy[1],
                                        now_rpy[2] - then_rpy[2]);
  drive_.largest_translation_step = std::max(
      drive_.largest_translation_step, (offset.frame.position - drive_.accepted.position).Norm());
  drive_.largest_rotation_step = std::max(drive_.largest_rotation_step, rotation_step.Norm());
  drive_.accepted = offset.frame;
  drive_.offset = offset;
  drive_.pending = true;
  return 0;
}

void SimulatedController::acquireResources(bool /*exclusive*/) {
  std::lock_guard<PiMutex> lock(mutex_);
  ++acquires_;
}

void SimulatedController::releaseResources() {
  std::lock_guard<PiMutex> lock(mutex_);
  ++releases_;
}

boost::optional<ControlStatus> SimulatedController::resourceStatus() {
  std::lock_guard<PiMutex> lock(mutex_);
  ++status_queries_;
  if (!status_offered_)
    return boost::none;
  ControlStatus status;
  status.flags = status_flags_;
  return status;
}

}  // namespace vorel_sim
