#include "bench/e2e/publication_probe.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "sim/sensor/sensor_emulator.h"

namespace vorel_sim {

namespace seg = vorel_device::shared_segment;

PublicationProbe::PublicationProbe(std::size_t capacity)
    : segment_(seg::openSegment()), mutex_(seg::openMutex()) {
  // The lookup is safe without the named mutex (the segment has its own
  // lock), so a dead holder cannot stop the probe's construction.
  frame_ = seg::find<vorel_device::RxFrame>(segment_, seg::kFrame);
  health_ = seg::find<vorel_device::SensorHealth>(segment_, seg::kSensorHealth);
  // Written through once, so that the pages are resident before anything is
  // measured.
  samples_.assign(capacity, -1.0);
}

PublicationProbe::~PublicationProbe() {
  stop();
}

void PublicationProbe::start() {
  if (thread_.joinable() || !frame_)
    return;
  stop_.store(false);
  thread_ = std::thread([this] { run(); });
}

void PublicationProbe::stop() {
  stop_.store(true);
  if (thread_.joinable())
    thread_.join();
}

PublicationProbe::UsableRate PublicationProbe::usableRate() const {
  UsableRate r;
  r.polls = rate_polls_;
  if (rate_polls_ > 0) {
    r.min = rate_min_;
    r.mean = rate_sum_ / static_cast<double>(rate_polls_);
  }
  return r;
}

std::vector<double> PublicationProbe::samples() const {
  return std::vector<double>(samples_.begin(), samples_.begin() + static_cast<long>(count_));
}

void PublicationProbe::run() {
  std::optional<std::uint32_t> last;
  const timespec pause{0, static_cast<long>(kPollPeriod.count() * 1000)};
  while (!stop_.load()) {
    vorel_device::RxFrame copy;
    double rate = -1.0;
    try {
      seg::Lock lock(*mutex_);
      copy = *frame_;
      if (health_)
        rate = health_->usable_samples_per_second;
    } catch (const seg::LockTimeout&) {
      continue;  // no sample: the mutex stayed taken for its whole bound
    }
    const std::uint32_t seen_us = vorel_sim::SensorEmulator::monotonicMicros();
    if (rate >= 0.0 && count_rate_.load()) {
      rate_min_ = rate_polls_ == 0 ? rate : std::min(rate_min_, rate);
      rate_sum_ += rate;
      ++rate_polls_;
    }
    if (copy.header == vorel_device::RxFrame::kHeader) {
      const auto stamp = vorel_sim::SensorEmulator::decodeStamp(copy);
      if (last && stamp.sequence != *last) {
        // uint32 arithmetic: the send time wraps every 71 minutes.
        const std::uint32_t latency_us = seen_us - stamp.send_time_us;
        if (count_ < samples_.size()) {
          samples_[count_++] = latency_us / 1000.0;
        } else {
          ++overflow_;
        }
      }
      last = stamp.sequence;
    }
    timespec rest = pause;
    while (::nanosleep(&rest, &rest) == -1 && errno == EINTR) {
    }
  }
}

}  // namespace vorel_sim
