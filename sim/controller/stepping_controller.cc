#include "sim/controller/stepping_controller.h"

#include <thread>

namespace vorel_sim {

using hx4_program_api_internals::ControlStatus;

namespace {
// Records kept without reallocation for the first cycles of a test.
constexpr std::size_t kReservedRecords = 4096;
}  // namespace

SteppingController::SteppingController() : status_(ControlStatus{}) {
  drive_.reserve(kReservedRecords);
  motion_.reserve(kReservedRecords);
}

SteppingController::~SteppingController() = default;

template <class Pred>
bool SteppingController::awaitLocked(std::unique_lock<std::mutex>& lock, Pred pred) {
  return changed_.wait_until(lock, std::chrono::steady_clock::now() + guard_, pred);
}

bool SteppingController::runCycles(int n) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (int i = 0; i < n; ++i) {
    if (!awaitLocked(lock, [this] { return free_running_ || waiting_ > 0; }))
      return false;
    if (free_running_)
      return true;
    const int released = waiting_;
    arrivals_ = 0;
    ++cycle_;
    changed_.notify_all();
    if (!awaitLocked(lock, [this, released] { return free_running_ || arrivals_ >= released; })) {
      return false;
    }
  }
  return true;
}

bool SteppingController::awaitWaiting(int threads) {
  std::unique_lock<std::mutex> lock(mutex_);
  return awaitLocked(lock, [this, threads] { return waiting_ >= threads; });
}

void SteppingController::setFreeRunning(bool on, std::chrono::microseconds pause) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_running_ = on;
    pause_ = pause;
  }
  changed_.notify_all();
}

bool SteppingController::freeRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return free_running_;
}

std::uint64_t SteppingController::cycle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cycle_;
}

std::uint64_t SteppingController::syncCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sync_count_;
}

int SteppingController::waitingThreads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

void SteppingController::setGuard(std::chrono::milliseconds guard) {
  std::lock_guard<std::mutex> lock(mutex_);
  guard_ = guard;
}

void SteppingController::setRcState(std::uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  rc_state_ = value;
}

void SteppingController::setLoadRecord(hx4rc_api::Load::SysId id, const hx4rc_api::Load& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  loads_[id] = record;
  loads_[id].id = id;
}

void SteppingController::setToolLoad(double mass, const hx4rc_api::Vector& cog) {
  hx4rc_api::Load record;
  const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  record.inertia.set(mass, cog, tensor);
  setLoadRecord(hx4rc_api::Load::SysId::LOAD_TOOL, record);
}

hx4rc_api::Load SteppingController::loadRecord(hx4rc_api::Load::SysId id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = loads_.find(id);
  if (it != loads_.end())
    return it->second;
  hx4rc_api::Load record;
  record.id = id;
  return record;
}

std::vector<LoadWrite> SteppingController::loadWrites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return load_writes_;
}

void SteppingController::setFrame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b,
                                  const hx4rc_api::Frame& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_[FrameKey(a, b)] = frame;
}

std::uint64_t SteppingController::frameQueryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_queries_;
}

void SteppingController::setResourceStatus(const boost::optional<ControlStatus>& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = status;
}

void SteppingController::setResourceFlag(unsigned bit, bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  ControlStatus status = status_.value_or(ControlStatus{});
  if (on) {
    status.flags |= (1u << bit);
  } else {
    status.flags &= ~(1u << bit);
  }
  status_ = status;
}

std::uint64_t SteppingController::acquireCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return acquires_;
}

std::uint64_t SteppingController::releaseCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return releases_;
}

std::uint64_t SteppingController::statusQueryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_queries_;
}

bool SteppingController::awaitStatusQueries(std::uint64_t n) {
  std::unique_lock<std::mutex> lock(mutex_);
  return awaitLocked(lock, [this, n] { return status_queries_ >= n; });
}

void SteppingController::setMoveHook(MoveHook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  move_hook_ = std::move(hook);
}

void SteppingController::setSyncHook(SyncHook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  sync_hook_ = std::move(hook);
}

std::vector<DriveRecord> SteppingController::driveCommands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return drive_;
}

std::size_t SteppingController::driveCommandCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return drive_.size();
}

bool SteppingController::awaitDriveCommands(std::size_t n) {
  std::unique_lock<std::mutex> lock(mutex_);
  return awaitLocked(lock, [this, n] { return drive_.size() >= n; });
}

std::vector<MotionRecord> SteppingController::motionCommands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return motion_;
}

std::size_t SteppingController::motionCommandCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return motion_.size();
}

bool SteppingController::awaitMotionCommands(std::size_t n) {
  std::unique_lock<std::mutex> lock(mutex_);
  return awaitLocked(lock, [this, n] { return motion_.size() >= n; });
}

void SteppingController::clearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  drive_.clear();
  motion_.clear();
  load_writes_.clear();
}

void SteppingController::sync(bool /*wait_for_motion*/) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!free_running_) {
    const std::uint64_t entered = cycle_;
    ++waiting_;
    ++arrivals_;
    changed_.notify_all();
    changed_.wait(lock, [this, entered] { return free_running_ || cycle_ != entered; });
    --waiting_;
    ++sync_count_;
    const SyncHook hook = sync_hook_;
    lock.unlock();
    changed_.notify_all();
    if (hook)
      hook();
    return;
  }
  ++cycle_;
  ++sync_count_;
  const std::chrono::microseconds pause = pause_;
  const SyncHook hook = sync_hook_;
  lock.unlock();
  changed_.notify_all();
  if (hook)
    hook();
  // Free running: pace the caller a little so that it does not starve the
  // test thread.
  if (pause.count() > 0) {
    std::this_thread::sleep_for(pause);
  } else {
    std::this_thread::yield();
  }
}

hx4rc_api::State::SysStat_RCState SteppingController::rcState() {
  std::lock_guard<std::mutex> lock(mutex_);
  hx4rc_api::State::SysStat_RCState state;
  state.value = rc_state_;
  state.cycles = static_cast<std::uint32_t>(cycle_);
  return state;
}

hx4rc_api::Load SteppingController::load(hx4rc_api::Load::SysId id) {
  return loadRecord(id);
}

void SteppingController::setLoad(hx4rc_api::Load::SysId id, const hx4rc_api::Load& load) {
  std::lock_guard<std::mutex> lock(mutex_);
  loads_[id] = load;
  load_writes_.push_back(LoadWrite{id, load});
}

hx4rc_api::Frame SteppingController::frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++frame_queries_;
  auto it = frames_.find(FrameKey(a, b));
  return it == frames_.end() ? hx4rc_api::Frame::Identity() : it->second;
}

int SteppingController::move(const hx4rc_api::Motion::Target& target,
                             const hx4rc_api::Motion::Params& params) {
  MoveHook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    motion_.push_back(MotionRecord{cycle_, target, params});
    hook = move_hook_;
  }
  changed_.notify_all();
  if (hook)
    hook(target, params);
  return 0;
}

int SteppingController::submit(const hx4rc_api::Drive::CmdReferenceCtl& command) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drive_.push_back(DriveRecord{cycle_, command});
  }
  changed_.notify_all();
  return 0;
}

void SteppingController::acquireResources(bool /*exclusive*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++acquires_;
}

void SteppingController::releaseResources() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++releases_;
}

boost::optional<ControlStatus> SteppingController::resourceStatus() {
  boost::optional<ControlStatus> status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++status_queries_;
    status = status_;
  }
  changed_.notify_all();
  return status;
}

}  // namespace vorel_sim
