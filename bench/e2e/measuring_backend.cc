#include "bench/e2e/measuring_backend.h"

#include <chrono>

#include "bench/e2e/process_stats.h"

namespace vorel_sim {

MeasuringBackend::MeasuringBackend(boost::shared_ptr<vorel_sim::SimulatedController> controller,
                                   std::size_t capacity)
    : controller_(std::move(controller)) {
  // Written through once, so that the pages are resident before anything is
  // measured.
  samples_.assign(capacity, DriveSample{-1, 0.0});
}

std::vector<DriveSample> MeasuringBackend::samples() const {
  const std::size_t n = count_.load(std::memory_order_acquire);
  return std::vector<DriveSample>(samples_.begin(), samples_.begin() + static_cast<long>(n));
}

void MeasuringBackend::sync(bool wait_for_motion) {
  controller_->sync(wait_for_motion);
}

hx4rc_api::State::SysStat_RCState MeasuringBackend::rcState() {
  return controller_->rcState();
}

hx4rc_api::Load MeasuringBackend::load(hx4rc_api::Load::SysId id) {
  return controller_->load(id);
}

void MeasuringBackend::setLoad(hx4rc_api::Load::SysId id, const hx4rc_api::Load& load) {
  controller_->setLoad(id, load);
}

hx4rc_api::Frame MeasuringBackend::frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) {
  return controller_->frame(a, b);
}

int MeasuringBackend::move(const hx4rc_api::Motion::Target& target,
                           const hx4rc_api::Motion::Params& params) {
  return controller_->move(target, params);
}

int MeasuringBackend::submit(const hx4rc_api::Drive::CmdReferenceCtl& command) {
  // The arrival time first: what the drive would see.
  const auto arrival = std::chrono::steady_clock::now();
  // The id once per thread: a system call per command would count toward the
  // force-control thread's CPU time.
  thread_local const pid_t caller = process_stats::currentThreadId();
  drive_thread_.store(caller, std::memory_order_relaxed);
  if (counting_.load(std::memory_order_acquire)) {
    // Cycles between the last command's and this one's had none.
    const auto k = static_cast<std::int64_t>(controller_->tickNow());
    const std::int64_t last = last_cycle_.load(std::memory_order_relaxed);
    if (k > last) {
      if (k > last + 1)
        missed_.fetch_add(static_cast<std::uint64_t>(k - last - 1), std::memory_order_relaxed);
      last_cycle_.store(k, std::memory_order_relaxed);
    }
  }
  if (recording_.load(std::memory_order_relaxed) && command.hasReferenceOffset()) {
    const std::size_t i = count_.load(std::memory_order_relaxed);
    if (i < samples_.size()) {
      samples_[i] = DriveSample{
          std::chrono::duration_cast<std::chrono::nanoseconds>(arrival.time_since_epoch()).count(),
          command.referenceOffset().frame.position[2]};
      count_.store(i + 1, std::memory_order_release);
    } else {
      overflow_.fetch_add(1);
    }
  }
  return controller_->submit(command);
}

void MeasuringBackend::startCycleCount() {
  // The current cycle may have had its command already: counting starts
  // with the next one.
  first_cycle_ = static_cast<std::int64_t>(controller_->tickNow());
  last_cycle_.store(first_cycle_);
  missed_.store(0);
  counting_.store(true, std::memory_order_release);
}

MeasuringBackend::CycleCount MeasuringBackend::stopCycleCount() {
  // The current cycle's command may still come: it is not counted.
  const std::int64_t last_whole = static_cast<std::int64_t>(controller_->tickNow()) - 1;
  counting_.store(false, std::memory_order_release);
  CycleCount count;
  if (last_whole <= first_cycle_)
    return count;
  count.cycles = static_cast<std::uint64_t>(last_whole - first_cycle_);
  count.missed = missed_.load();
  const std::int64_t last = last_cycle_.load();
  if (last < last_whole)
    count.missed += static_cast<std::uint64_t>(last_whole - last);
  // Gaps counted by a command that came after the last whole cycle.
  if (count.missed > count.cycles)
    count.missed = count.cycles;
  return count;
}

void MeasuringBackend::acquireResources(bool exclusive) {
  controller_->acquireResources(exclusive);
}

void MeasuringBackend::releaseResources() {
  controller_->releaseResources();
}

boost::optional<hx4_program_api_internals::ControlStatus> MeasuringBackend::resourceStatus() {
  return controller_->resourceStatus();
}

}  // namespace vorel_sim
