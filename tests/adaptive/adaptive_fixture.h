// Fixtures for the force-control thread's tests: a fresh shared segment made
// the way the sensor reader makes it, the command facade on it, and a
// stepping controller double installed as the process's controller.
//
// Stepping: the worker blocks in the controller synchronisation at the start
// of each cycle, before the snapshot, filter maintenance, wrench processing
// and drive command of that cycle. step(n) releases n cycles and returns when
// the worker waits in the next synchronisation. So a frame or command written
// into shared memory while the worker waits there is taken by the snapshot of
// the cycle that step() releases next; the controller's state, frames and
// tool load are read after the synchronisation and count from the released
// cycle on (the control resources' status flags just before it).
#pragma once

#include <gtest/gtest.h>

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>

#include "adaptive/force_control_thread.h"
#include "comm/command_facade.h"
#include "comm/shared_segment.h"
#include "tests/support/installed_controller.h"

namespace vorel_device {
namespace adaptive_test {

namespace ss = shared_segment;

// A filter request with its parameters in the order reject frequency,
// bandwidth, cut-off frequency (Hz), rising, falling rate (N/s).
inline FilterOptions filterRequest(const std::string& name, int type, double reject = -1.0,
                                   double bandwidth = -1.0, double cutoff = -1.0,
                                   double rising = 0.0, double falling = 0.0) {
  FilterOptions o{{}, type, reject, bandwidth, cutoff, rising, falling};
  o.setName(name);
  return o;
}

// A fresh segment with its eighteen objects, removed again at the end (the
// members are destroyed in reverse order: the guard removes them last).
class SegmentFixture : public testing::Test {
 protected:
  void SetUp() override {
    // As after the reader's first publication: a received frame carries the
    // header (its values are set by each test) and the publication count is 1.
    objects_.frame->header = RxFrame::kHeader;
    objects_.sensor_health->frames_published = 1;
  }

  // Runs fn(objects) under the named mutex.
  template <class Fn>
  auto locked(Fn fn) {
    ss::Lock lock(*mutex_);
    return fn(objects_);
  }

  // Writes the frame's values and publishes it as the reader does (the
  // publication count moves).
  void setFrame(const Wrench& w) {
    locked([&](ss::Objects& o) {
      for (int i = 0; i < 6; ++i)
        o.frame->ft_data[i] = static_cast<float>(w[i]);
      ++o.sensor_health->frames_published;
    });
  }
  // Publishes the current frame again, as a sensor with a constant reading.
  void republish() {
    locked([](ss::Objects& o) { ++o.sensor_health->frames_published; });
  }
  // The shared object `member` points to, read under the named mutex:
  // read(&ss::Objects::runtime).
  template <class T>
  T read(T* ss::Objects::*member) {
    return locked([member](ss::Objects& o) { return *(o.*member); });
  }
  void setSensorPose(const hx4rc_api::Frame& pose) {
    locked([&](ss::Objects& o) { *o.sensor_to_tfc_transform = pose; });
  }
  Wrench gravityCompensatedWrench() { return read(&ss::Objects::gravity_compensated_wrench); }
  Wrench tcpTransformedWrench() { return read(&ss::Objects::tcp_transformed_wrench); }
  Wrench tcpFilteredWrench() { return read(&ss::Objects::tcp_filtered_wrench); }
  double runtime() { return read(&ss::Objects::runtime); }

  ss::RemovalGuard guard_;
  ss::Segment segment_ = ss::createSegment();
  boost::shared_ptr<ss::Mutex> mutex_ = ss::createMutex();
  ss::Objects objects_ = ss::constructObjects(segment_);
};

// The segment, the facade, the stepping controller and the thread on them.
// The default world: identity flange, TCP and sensor pose; a massless tool
// that the controller offers from the first cycle on, so that the wrench in
// the TCP frame equals the frame's values.
class AdaptiveFixture : public SegmentFixture {
 protected:
  static constexpr double kRate = 500.0;  // Hz

  void SetUp() override {
    SegmentFixture::SetUp();
    facade_ = std::make_unique<VorelForceTorqueSensorSecondaryInstance>(10);
    controller_->setToolLoad(0.0, hx4rc_api::Vector(0.0, 0.0, 0.0));
    controller_->setRcState(hx4rc_api::State::SysStat_RCState::kLoadModelReady);
    setSensorPose(hx4rc_api::Frame::Identity());
    thread_ = std::make_unique<AdaptiveThread>(controller_.program(), 0, kRate);
  }

  void TearDown() override {
    stopThread();
    thread_.reset();
    facade_.reset();
  }

  // Starts the worker and waits until it blocks in its first synchronisation.
  void startThread() {
    ASSERT_TRUE(thread_->start(1000));
    ASSERT_TRUE(controller_->awaitWaiting(1));
  }

  // Releases n controller cycles (see the header comment). While the sensor
  // streams (the default), the frame is published again before each cycle,
  // as a 500 Hz sensor with a constant reading would.
  void step(int n = 1) {
    for (int i = 0; i < n; ++i) {
      if (streaming_)
        republish();
      ASSERT_TRUE(controller_->runCycles(1));
    }
    // The cycles' lines are written by the thread's line queue.
    thread_->flushLines();
  }

  void stopThread() {
    if (!thread_)
      return;
    controller_->setFreeRunning(true);
    EXPECT_TRUE(thread_->stop(5000));
  }

  vorel_test::InstalledController controller_;
  bool streaming_ = true;  // step() publishes the frame before each cycle
  std::unique_ptr<VorelForceTorqueSensorSecondaryInstance> facade_;
  std::unique_ptr<AdaptiveThread> thread_;
};

}  // namespace adaptive_test
}  // namespace vorel_device
