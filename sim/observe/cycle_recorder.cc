#include "sim/observe/cycle_recorder.h"

#include <cmath>
#include <cstdio>
#include <exception>

namespace vorel_sim {

CycleRecorder::CycleRecorder(boost::shared_ptr<vorel_sim::SimulatedController> controller)
    : controller_(std::move(controller)) {}

CycleRecorder::~CycleRecorder() {
  stop();
}

void CycleRecorder::setTap(std::shared_ptr<SegmentTap> tap) {
  std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
  tap_ = std::move(tap);
}

void CycleRecorder::addObserver(Observer observer) {
  std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
  observers_.push_back(std::move(observer));
}

void CycleRecorder::setKeepRecords(bool keep) {
  std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
  keep_records_ = keep;
}

void CycleRecorder::start() {
  if (thread_.joinable())
    return;
  {
    std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
  controller_->setTickObserver([this](const vorel_sim::ControllerSnapshot& snapshot) {
    std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
    queue_.push_back(snapshot);
    queued_.notify_one();
  });
}

void CycleRecorder::stop() {
  if (!thread_.joinable())
    return;
  controller_->setTickObserver(nullptr);
  {
    std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
    stopping_ = true;
    queued_.notify_one();
  }
  thread_.join();
}

std::vector<CycleRecord> CycleRecorder::records() const {
  std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
  return records_;
}

CycleRecord CycleRecorder::makeRecord(const vorel_sim::ControllerSnapshot& snapshot,
                                      const SegmentSample* sample) {
  CycleRecord r;
  r.tick = snapshot.tick;
  r.time_s = snapshot.time_s;
  if (sample) {
    r.sampled = true;
    r.frames_published = sample->frames_published;
    r.raw = sample->raw;
    r.tool = sample->tool;
    r.filtered = sample->filtered;
    r.bias = sample->bias;
    r.has_frame = sample->has_frame;
    r.sequence = sample->sequence;
  }
  const hx4rc_api::Frame& offset = snapshot.last_drive_offset.frame;
  for (int i = 0; i < 3; ++i)
    r.offset[i] = offset.position[i];
  double roll = NAN, pitch = NAN, yaw = NAN;
  if (offset.isFinite())
    offset.rotation.GetRPY(roll, pitch, yaw);
  r.offset[3] = roll;
  r.offset[4] = pitch;
  r.offset[5] = yaw;
  for (int i = 0; i < 3; ++i)
    r.tcp[i] = snapshot.robot.tcp.position[i];
  r.held = snapshot.held;
  r.drive_commands = snapshot.drive_commands;
  r.drive_refused = snapshot.drive_refused;
  r.drive_non_finite = snapshot.drive_non_finite;
  r.largest_translation_step = snapshot.largest_translation_step;
  r.largest_rotation_step = snapshot.largest_rotation_step;
  r.motion_commands = snapshot.motion_commands;
  r.motion_refused = snapshot.motion_refused;
  r.overruns = snapshot.overruns;
  return r;
}

void CycleRecorder::run() {
  std::vector<vorel_sim::ControllerSnapshot> batch;
  for (;;) {
    std::shared_ptr<SegmentTap> tap;
    std::vector<Observer> observers;
    bool stopping = false;
    {
      std::unique_lock<vorel_sim::PiMutex> lock(mutex_);
      queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      batch.swap(queue_);
      queue_.clear();
      tap = tap_;
      observers = observers_;
      stopping = stopping_;
    }
    std::optional<SegmentSample> sample;
    if (tap && !batch.empty()) {
      try {
        sample = tap->sample();
      } catch (const std::exception& e) {
        std::printf("vorel-sim: cannot read the shared segment: %s\n", e.what());
        std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
        tap_.reset();
      }
    }
    std::vector<CycleRecord> made;
    made.reserve(batch.size());
    for (const auto& snapshot : batch) {
      made.push_back(makeRecord(snapshot, sample ? &*sample : nullptr));
      for (const auto& observer : observers)
        observer(made.back());
    }
    batch.clear();
    {
      std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
      if (keep_records_) {
        records_.insert(records_.end(), made.begin(), made.end());
      } else if (!made.empty()) {
        records_.assign(1, made.back());
      }
    }
    if (stopping) {
      std::lock_guard<vorel_sim::PiMutex> lock(mutex_);
      if (queue_.empty())
        return;
    }
  }
}

}  // namespace vorel_sim
