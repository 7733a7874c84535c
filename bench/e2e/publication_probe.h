// PublicationProbe: a host thread that watches the shared "frame" of the
// device's segment and measures frame-to-publication latency: from the send
// time the sensor wrote into the frame's extra bytes (CLOCK_MONOTONIC, us) to
// the moment the frame is first seen in the segment.
//
// Every poll period (200 us) it takes the named mutex "VorelNamedMutex" for
// the 37-byte copy only and compares the frame's sequence number with the
// last one seen; a new number gives one sample, now - send time. A frame is
// seen at most one poll period (plus the sleep's overshoot) after its
// publication, so the figures lean late by up to that much. The frame seen
// at the first poll was published before the probe looked and gives no
// sample; a poll whose wait for the mutex runs out (a dead holder) gives
// none either. Samples go into a buffer allocated up front; what does not fit is
// counted and dropped.
//
// In the same copy it reads the usable samples per second of the shared
// "sensor_health" (force control's count over its last whole second of
// cycles); usableRate() gives their lowest value and their mean over the
// polls from countUsableRate() on (each poll one value, so the mean weighs
// each second's figure by how long it stood).
//
// Threads: start() and stop() from the owner; samples() after stop().
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include "comm/rx_frame.h"
#include "comm/shared_segment.h"

namespace vorel_sim {

class PublicationProbe {
 public:
  static constexpr std::chrono::microseconds kPollPeriod{200};

  // Opens the segment and the named mutex open-only (throws
  // boost::interprocess::interprocess_exception when the device's reader has
  // not created them). capacity: samples kept at most.
  explicit PublicationProbe(std::size_t capacity);
  ~PublicationProbe();
  PublicationProbe(const PublicationProbe&) = delete;
  PublicationProbe& operator=(const PublicationProbe&) = delete;

  void start();
  void stop();
  // The usable samples per second count from now on (any thread).
  void countUsableRate() { count_rate_.store(true); }

  // Latencies in ms, in the order seen.
  std::vector<double> samples() const;
  struct UsableRate {
    std::size_t polls = 0;  // 0: none seen, the figures are meaningless
    double min = 0.0;       // samples per second
    double mean = 0.0;
  };
  UsableRate usableRate() const;
  std::size_t overflowed() const { return overflow_; }

 private:
  void run();

  vorel_device::shared_segment::Segment segment_;
  boost::shared_ptr<vorel_device::shared_segment::Mutex> mutex_;
  vorel_device::RxFrame* frame_ = nullptr;
  vorel_device::SensorHealth* health_ = nullptr;
  double rate_min_ = 0.0;  // probe thread while running
  double rate_sum_ = 0.0;
  std::size_t rate_polls_ = 0;
  std::vector<double> samples_;
  std::size_t count_ = 0;     // probe thread while running
  std::size_t overflow_ = 0;  // probe thread while running
  std::atomic<bool> stop_{false};
  std::atomic<bool> count_rate_{false};
  std::thread thread_;
};

}  // namespace vorel_sim
