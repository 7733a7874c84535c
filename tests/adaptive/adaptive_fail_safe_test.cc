// The force-control thread's guards, cycle by cycle on the stepping
// controller: the filters' own 2 ms time base at lower sensor rates, the
// envelope's line, a blocked console and the recorder. The step's own
// decisions (stale supervisor, usable samples, speed limit) are tested on
// the step (force_control_step_test.cc).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "comm/force_control_recorder.h"
#include "tests/adaptive/adaptive_fixture.h"
#include "tests/support/blocking_console.h"
#include "tests/support/console_capture.h"
#include "tests/support/poll_until.h"

namespace vorel_device {
namespace adaptive_test {
namespace {

using hx4rc_api::Model;
using testing::ElementsAre;

// A thread built for the sensor rate of each test (the fixture's is 500 Hz).
class FailSafeTest : public AdaptiveFixture {
 protected:
  void useSensorRate(double rate) {
    thread_ = std::make_unique<AdaptiveThread>(controller_.program(), 0, rate);
  }

  // Force control on z, translation only: offset z grows by
  // 0.002 * gain * 0.001 * (filtered fz - 0) per cycle.
  void forceControlOnZ() {
    facade_->setEnabledAxes(false, false, true, false, false, false);
    facade_->activate(true, false);
  }

  std::vector<double> offsetsZ() {
    std::vector<double> z;
    for (const auto& record : controller_->driveCommands())
      z.push_back(record.command.referenceOffset().frame.position.z());
    return z;
  }

  vorel_test::ConsoleCapture console_;
};

// --- Filters on the thread's own time base --------------------------------------

class TimeBaseTest : public FailSafeTest, public testing::WithParamInterface<double> {
 protected:
  // Feeds a 10 N step on fz from a sensor at the test's rate (a new frame
  // every 500 / rate cycles) and returns filtered fz per cycle from the
  // first cycle, which processes the step.
  std::vector<double> stepResponse(const FilterOptions& filter, int cycles) {
    useSensorRate(GetParam());
    thread_->addFilter(filter);
    streaming_ = false;
    startThread();
    const int period = static_cast<int>(500.0 / GetParam());  // cycles per sensor frame
    std::vector<double> out;
    for (int k = 0; k < cycles; ++k) {
      if (k % period == 0)
        setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});
      step();
      out.push_back(tcpFilteredWrench()[2]);
    }
    return out;
  }
};

TEST_P(TimeBaseTest, FiftyNewtonPerSecondLimiter_RampsAtFiftyNewtonPerSecond) {
  const std::vector<double> y =
      stepResponse(filterRequest("limiter", kRateLimiter, -1.0, -1.0, -1.0, 50.0, -50.0), 60);
  const double slope = (y[59] - y[9]) / (50 * 0.002);  // N/s over 100 ms
  EXPECT_NEAR(slope, 50.0, 1.0);
}

INSTANTIATE_TEST_SUITE_P(SensorRates, TimeBaseTest, testing::Values(100.0, 250.0),
                         [](const testing::TestParamInfo<double>& info) {
                           return "At" + std::to_string(static_cast<int>(info.param)) + "Hz";
                         });

// --- Envelope ---------------------------------------------------------------------

TEST_F(FailSafeTest, EnvelopeOneMillimetre_OffsetClampedOneLinePerEpisode) {
  // 2 N error at gain 5 (x 0.001): 0.01 m/s, 0.02 mm per cycle; the limit is
  // reached in the 50th cycle.
  forceControlOnZ();
  facade_->setForceControlLimits(0.001, 0.0);
  setFrame(Wrench{{0.0, 0.0, 2.0, 0.0, 0.0, 0.0}});
  startThread();
  step(60);
  const std::vector<double> z = offsetsZ();
  ASSERT_EQ(z.size(), 60u);
  EXPECT_NEAR(z[48], 0.00098, 1e-12);
  for (std::size_t k = 49; k < z.size(); ++k)
    EXPECT_DOUBLE_EQ(z[k], 0.001) << "cycle " << k;
  EXPECT_THAT(console_.lines(),
              ElementsAre("[INFO] Force-control envelope: translational offset clamped at 1 mm"));
}

// --- Recorder ----------------------------------------------------------------------

// One record per cycle, read back from a real ring: the stages of a cycle as
// the world gives them, and each event in the cycle the thread meets it,
// once: a request, a limit that starts to bind, the program's termination
// while force control is on (not while it is idle), the stale trip and the
// first failed cycle.
// A console that blocks while the thread has lines to write: every cycle
// still reaches the controller's next synchronisation and sends its command,
// and the lines arrive afterwards, in order.
TEST_F(FailSafeTest, ConsoleBlocked_NoCycleMissedLinesArriveAfterwardsInOrder) {
  vorel_test::BlockingConsole blocked;
  forceControlOnZ();
  facade_->setForceControlSpeedLimits(0.01, 0.1);
  setFrame(Wrench{{0.0, 0.0, 20.0, 0.0, 0.0, 0.0}});
  startThread();
  int cycles = 0;
  auto run = [&](int n, bool publish) {
    for (int k = 0; k < n; ++k, ++cycles) {
      if (publish)
        republish();
      ASSERT_TRUE(controller_->runCycles(1)) << "cycle " << cycles;
    }
  };
  run(3, true);  // the speed limit binds: its line blocks the console
  ASSERT_TRUE(vorel_test::pollUntil([&] { return blocked.entered(); }));
  run(30, false);  // stale from the 25th cycle without a sample: held
  run(3, true);    // usable again: integrates at the limit, a new episode
  EXPECT_TRUE(blocked.writes().empty());
  EXPECT_EQ(thread_->cyclesRun(), static_cast<std::uint64_t>(cycles));
  EXPECT_EQ(controller_->driveCommandCount(), static_cast<std::size_t>(cycles));

  blocked.release();
  thread_->flushLines();
  const std::string limit =
      "[INFO] Force-control speed limit: translational offset limited to 10 mm/s\n";
  EXPECT_THAT(blocked.writes(),
              ElementsAre(limit,
                          "[ERROR] Sensor stale: no usable sample for 50 ms; force control holds "
                          "its reference offset\n",
                          testing::StartsWith("[INFO] Sensor usable again after "), limit));
}

TEST_F(FailSafeTest, Recorder_EveryCycleItsStagesAndEachEventOnce) {
  namespace rec = recorder;
  using R = ForceControlRecord;
  using Event = VorelForceTorqueSensorSecondaryInstance::BlackBoxEvent;
  std::shared_ptr<rec::RecorderWriter> writer = rec::createRecorder(256);
  thread_->setRecorder(writer);
  rec::RecorderReader::Failure failure;
  std::string message;
  const auto ring = rec::RecorderReader::attach(failure, message);
  ASSERT_TRUE(ring) << message;
  // Flange 0.3 m up, turned half round about x (tool pointing down); the
  // TCP 0.1 m out along the flange's z: at (0.4, 0, 0.2) m in the world.
  controller_->setFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD,
                        hx4rc_api::Frame(hx4rc_api::Rotation(1, 0, 0, 0, -1, 0, 0, 0, -1),
                                         hx4rc_api::Vector(0.4, 0.0, 0.3)));
  controller_->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE,
                        hx4rc_api::Frame(hx4rc_api::Rotation(), hx4rc_api::Vector(0, 0, 0.1)));
  forceControlOnZ();
  setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});  // 50 mm/s: below the speed limit
  startThread();
  step(3);
  // A command written now is taken by the snapshot of the next cycle.
  facade_->requestBlackBox(Event::kRequest);  // cycle 3
  step(2);
  facade_->setForceControlSpeedLimits(0.01, 0.1);  // 10 mm/s binds from cycle 5
  step(3);
  facade_->requestBlackBox(Event::kProgramTerminated);  // cycle 8, force control on
  step(2);
  streaming_ = false;  // the stale trip, 50 ms on
  step(30);
  {
    ss::Lock held(*mutex_);  // two cycles fail: the lock's wait runs out
    step(2);
  }
  facade_->activate(false, false);
  for (int i = 0; i < 500 && thread_->forceControlState() != ForceControlState::kIdle; ++i)
    step();  // the return to zero
  ASSERT_EQ(thread_->forceControlState(), ForceControlState::kIdle);
  facade_->requestBlackBox(Event::kProgramTerminated);  // idle: no event
  step(2);

  ASSERT_EQ(ring->nextIndex(), controller_->cycle());  // one record per cycle
  std::vector<R> records(ring->nextIndex());
  std::map<std::uint64_t, std::uint32_t> events;
  for (std::uint64_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(ring->read(i, records[i]), rec::RecorderReader::Read::kOk);
    EXPECT_EQ(records[i].cycle, i);
    // The controller's time: its cycle count when the cycle synchronised.
    EXPECT_DOUBLE_EQ(records[i].controller_time, 0.002 * static_cast<double>(i + 1));
    if (records[i].events != 0)
      events[i] = records[i].events;
  }
  // The stale trip: the cycle whose sample is 50 ms old; the failure: the
  // first cycle of supervisor state 2.
  std::uint64_t stale = 0, failed = 0;
  for (std::uint64_t i = 1; i < records.size(); ++i) {
    if (records[i].sample_age == 0.05 && records[i - 1].supervisor_state == R::kSupervisorOk)
      stale = i;
    if (records[i].supervisor_state == R::kSupervisorFaulted && failed == 0)
      failed = i;
  }
  EXPECT_EQ(records[stale].supervisor_state, R::kSupervisorStale);
  EXPECT_EQ(events, (std::map<std::uint64_t, std::uint32_t>{{3, R::kRequest},
                                                            {5, R::kLimitBinds},
                                                            {8, R::kProgramTerminated},
                                                            {stale, R::kStaleTrip},
                                                            {failed, R::kCycleFailure}}));
  EXPECT_EQ(records[failed + 1].supervisor_state, R::kSupervisorFaulted);
  EXPECT_EQ(records[failed].flags, R::kOffsetSent);  // held and sent, nothing processed
  EXPECT_TRUE(std::isnan(records[failed].filtered[2]));
  EXPECT_EQ(records[5].limits_bound, R::kTranslationalSpeed);
  EXPECT_EQ(records[6].limits_bound, R::kTranslationalSpeed);
  EXPECT_EQ(records[4].limits_bound, 0u);

  // Cycle 2 whole: the sample at every stage (a massless tool, the TCP's
  // axes the sensor's), the offset the drive got, the states.
  const R& r = records[2];
  const auto values = [](const Wrench& w) { return std::vector<double>(w.data, w.data + 6); };
  for (const Wrench* stage : {&r.raw, &r.compensated, &r.tcp_unbiased, &r.filtered})
    EXPECT_EQ(values(*stage), (std::vector<double>{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(values(r.setpoint), values(Wrench()));
  EXPECT_DOUBLE_EQ(r.tcp_position[0], 0.4);
  EXPECT_DOUBLE_EQ(r.tcp_position[1], 0.0);
  EXPECT_DOUBLE_EQ(r.tcp_position[2], 0.2);
  // 10 N x 5 x 0.001 m/(N s) x 2 ms per cycle, three cycles.
  EXPECT_NEAR(r.offset[2], 3e-4, 1e-15);
  EXPECT_EQ(r.offset[2],
            controller_->driveCommands()[2].command.referenceOffset().frame.position.z());
  EXPECT_EQ(r.flags, R::kOffsetSent | R::kNewSample | R::kProcessed);
  EXPECT_EQ(r.force_control_state, R::kActive);
  EXPECT_EQ(r.supervisor_state, R::kSupervisorOk);
  EXPECT_EQ(r.sample_age, 0.0);
  EXPECT_EQ(r.frames_published, 5u);  // the fixture's first, setFrame's, three republished
  EXPECT_EQ(records.back().force_control_state, R::kIdle);
}

}  // namespace
}  // namespace adaptive_test
}  // namespace vorel_device
