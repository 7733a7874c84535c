// Plays the heartbeat of a live force-control thread (idle, one cycle per
// millisecond) in the segment that exists now, for tests whose device has no
// force-control thread of its own, as another process's thread would: the
// functions that need a running one then find it running. stop() (or the
// destructor) lets it fall silent, as a dead thread does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "comm/force_control_heartbeat.h"
#include "tests/support/segment_view.h"

namespace vorel_test {

class HeartbeatPlayer {
 public:
  HeartbeatPlayer()
      : record_(ss::find<vorel_device::ForceControlHeartbeat>(view_.segment(),
                                                              ss::kForceControlHeartbeat)) {
    beat();  // alive before the constructor returns
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stopped_.wait_for(lock, std::chrono::milliseconds(1), [this] { return stop_; }))
        beat();
    });
  }
  ~HeartbeatPlayer() { stop(); }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    stopped_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }

 private:
  void beat() {
    ++beat_.cycles;
    beat_.monotonic_ns = vorel_device::heartbeat::monotonicNow();
    vorel_device::heartbeat::publish(*record_, beat_);
  }

  SegmentView view_;
  vorel_device::ForceControlHeartbeat* record_;
  vorel_device::HeartbeatBeat beat_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vorel_test
