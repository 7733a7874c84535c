// The force-control thread's guards, cycle by cycle on the stepping
// controller: the stale-sensor supervisor, usable samples only, the filters'
// own 2 ms time base at lower sensor rates and the envelope.
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

// --- Stale-sensor supervisor --------------------------------------------------

struct StaleCase {
  double rate;          // Hz
  std::int64_t cycles;  // max(10 sensor periods, 50 ms) in 2 ms cycles
  const char* age;      // the trip line's age
};

class StaleTest : public FailSafeTest, public testing::WithParamInterface<StaleCase> {};

TEST_P(StaleTest, SensorSilent_TripsAfterTheLimitHoldsOffsetAndResumes) {
  useSensorRate(GetParam().rate);
  ASSERT_EQ(thread_->staleLimit(), GetParam().cycles);
  forceControlOnZ();
  setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});
  startThread();
  step(5);
  // The sensor falls silent: the frame is no longer published. The snapshot
  // of the cycle step() releases next was taken before, so the last sample
  // is the one published by the last step.
  streaming_ = false;
  const std::size_t before = controller_->driveCommandCount();
  step(static_cast<int>(GetParam().cycles) + 5);
  const std::vector<double> z = offsetsZ();
  ASSERT_EQ(z.size(), before + static_cast<std::size_t>(GetParam().cycles) + 5);

  // Command `before` comes from the cycle that took the last sample (its
  // snapshot was taken before streaming stopped). Integration goes on while
  // the age is below the limit, then holds: the cycle whose age reaches the
  // limit and every later one send the offset unchanged.
  const std::size_t trip = before + static_cast<std::size_t>(GetParam().cycles);
  for (std::size_t k = before + 1; k < trip; ++k)
    EXPECT_GT(z[k], z[k - 1]) << "cycle " << k;
  for (std::size_t k = trip; k < z.size(); ++k)
    EXPECT_EQ(z[k], z[trip - 1]) << "cycle " << k;
  EXPECT_EQ(thread_->supervisorState(), SensorHealth::kStale);
  EXPECT_THAT(console_.lines(),
              ElementsAre(std::string("[ERROR] Sensor stale: no usable sample for ") +
                          GetParam().age + " ms; force control holds its reference offset"));

  // Samples return: integration resumes, with one INFO line.
  streaming_ = true;
  step(3);
  const std::vector<double> resumed = offsetsZ();
  EXPECT_GT(resumed.back(), z.back());
  EXPECT_EQ(thread_->supervisorState(), SensorHealth::kOk);
  ASSERT_EQ(console_.lines().size(), 2u);
  EXPECT_THAT(console_.lines()[1], testing::StartsWith("[INFO] Sensor usable again after "));
}

INSTANTIATE_TEST_SUITE_P(Rates, StaleTest,
                         testing::Values(StaleCase{500.0, 25, "50"}, StaleCase{250.0, 25, "50"},
                                         StaleCase{100.0, 50, "100"}),
                         [](const testing::TestParamInfo<StaleCase>& info) {
                           return "At" + std::to_string(static_cast<int>(info.param.rate)) + "Hz";
                         });

// --- Usable samples only ------------------------------------------------------

// What the sensor sends in place of one good frame.
struct BadFrameCase {
  const char* name;
  std::uint16_t status;
  int axis;
  float value;
};

class BadFrameTest : public FailSafeTest, public testing::WithParamInterface<BadFrameCase> {
 protected:
  // Runs 40 cycles with a frame that changes every cycle, through all four
  // filter types and the system filter, and returns the filtered fz and the
  // offset z of every cycle. At cycle 10 either the bad frame is published
  // (`bad`), or no frame at all (the sensor skipped one).
  std::vector<double> run(bool bad) {
    forceControlOnZ();
    facade_->setEnabledSystemFilters(true);
    for (const FilterOptions& filter :
         {filterRequest("low", kLowPassFilter, -1.0, -1.0, 20.0),
          filterRequest("notch", kNotchFilter, 60.0, 8.0),
          filterRequest("limiter", kRateLimiter, -1.0, -1.0, -1.0, 200.0, -200.0),
          filterRequest("hp", kHighPassRateLimiter, -1.0, -1.0, 30.0, 100.0, -100.0)})
      thread_->addFilter(filter);
    streaming_ = false;                                // this test publishes every frame itself
    setFrame(Wrench{{0.0, 0.0, 0.0, 0.0, 0.0, 0.0}});  // cycle 1 takes a zero frame
    startThread();
    std::vector<double> out;
    for (int k = 0; k < 40; ++k) {
      if (k == 10) {
        if (bad) {
          locked([](ss::Objects& o) {
            o.frame->status = GetParam().status;
            o.frame->ft_data[GetParam().axis] = GetParam().value;
            ++o.sensor_health->frames_published;
          });
        }
      } else {
        locked([](ss::Objects& o) { o.frame->status = 0; });
        setFrame(Wrench{{0.5 * k, -0.2 * k, 10.0 + std::sin(0.7 * k), 0.1, 0.0, 0.05 * k}});
      }
      step();
      out.push_back(tcpFilteredWrench()[2]);
    }
    for (double z : offsetsZ())
      out.push_back(z);
    return out;
  }
};

TEST_P(BadFrameTest, OneBadFrame_FiltersAndOffsetsAsIfItWereNeverSent) {
  const std::vector<double> reference = run(false);
  stopThread();
  controller_->clearRecords();
  controller_->setFreeRunning(false);
  thread_ = std::make_unique<AdaptiveThread>(controller_.program(), 0, kRate);
  const std::vector<double> faulted = run(true);
  ASSERT_EQ(faulted.size(), reference.size());
  for (std::size_t k = 0; k < reference.size(); ++k)
    EXPECT_EQ(faulted[k], reference[k]) << "value " << k;
  for (double v : faulted)
    EXPECT_TRUE(std::isfinite(v));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadFrameTest,
    testing::Values(BadFrameCase{"InvalidMeasurementStatus", 0x04, 3, 1000.0f},
                    BadFrameCase{"OverrangeStatus", 0x02, 2, -1000.0f},
                    BadFrameCase{"NaNForce", 0, 2, std::numeric_limits<float>::quiet_NaN()},
                    BadFrameCase{"InfiniteTorque", 0, 5, std::numeric_limits<float>::infinity()}),
    [](const testing::TestParamInfo<BadFrameCase>& info) { return std::string(info.param.name); });

// --- Filters on the thread's own time base --------------------------------------

class TimeBaseTest : public FailSafeTest, public testing::WithParamInterface<double> {
 protected:
  // Feeds a 10 N step on fz from a sensor at the test's rate (a new frame
  // every 500 / rate cycles) and returns filtered fz per cycle from the
  // first cycle that processed the step.
  std::vector<double> stepResponse(const FilterOptions& filter, int cycles) {
    useSensorRate(GetParam());
    thread_->addFilter(filter);
    streaming_ = false;
    startThread();
    const int period = static_cast<int>(500.0 / GetParam());  // cycles per sensor frame
    std::vector<double> out;
    for (int k = 0; k < cycles + 1; ++k) {
      if (k % period == 0)
        setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});
      step();
      // The first released cycle took the fixture's initial (zero) frame.
      if (k > 0)
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

// --- Speed limit -------------------------------------------------------------------

TEST_F(FailSafeTest, SpeedLimitFromTheSegment_StepsOfExactlyItOneLinePerEpisode) {
  // 20 N at gain 5 (x 0.001) wants 100 mm/s; the limit is 10 mm/s: 0.02 mm
  // per cycle. At 4 N (20 mm/s wanted) it still binds; at 1 N (5 mm/s) it
  // does not, and 20 N again starts a second episode.
  forceControlOnZ();
  facade_->setForceControlSpeedLimits(0.01, 0.1);
  setFrame(Wrench{{0.0, 0.0, 20.0, 0.0, 0.0, 0.0}});
  startThread();
  step(3);
  setFrame(Wrench{{0.0, 0.0, 4.0, 0.0, 0.0, 0.0}});
  step(2);
  setFrame(Wrench{{0.0, 0.0, 1.0, 0.0, 0.0, 0.0}});
  step(2);
  setFrame(Wrench{{0.0, 0.0, 20.0, 0.0, 0.0, 0.0}});
  step(2);
  const std::vector<double> z = offsetsZ();
  // Each frame acts from the second cycle after it is set.
  const double steps[] = {0.02, 0.02, 0.02, 0.02, 0.02, 0.02, 0.01, 0.01, 0.02};
  ASSERT_EQ(z.size(), 9u);
  double expected = 0.0;
  for (std::size_t k = 0; k < z.size(); ++k) {
    expected += steps[k] / 1000.0;
    EXPECT_NEAR(z[k], expected, 1e-15) << "cycle " << k;
  }
  const std::string line =
      "[INFO] Force-control speed limit: translational offset limited to 10 mm/s";
  EXPECT_THAT(console_.lines(), ElementsAre(line, line));
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
  // A command written now is taken by the snapshot of the cycle after next.
  facade_->requestBlackBox(Event::kRequest);  // cycle 4
  step(2);
  facade_->setForceControlSpeedLimits(0.01, 0.1);  // 10 mm/s binds from cycle 6
  step(3);
  facade_->requestBlackBox(Event::kProgramTerminated);  // cycle 9, force control on
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
    EXPECT_DOUBLE_EQ(records[i].controller_time, 0.002 * i);
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
  EXPECT_EQ(events, (std::map<std::uint64_t, std::uint32_t>{{4, R::kRequest},
                                                            {6, R::kLimitBinds},
                                                            {9, R::kProgramTerminated},
                                                            {stale, R::kStaleTrip},
                                                            {failed, R::kCycleFailure}}));
  EXPECT_EQ(records[failed + 1].supervisor_state, R::kSupervisorFaulted);
  EXPECT_EQ(records[failed].flags, R::kOffsetSent);  // held and sent, nothing processed
  EXPECT_TRUE(std::isnan(records[failed].filtered[2]));
  EXPECT_EQ(records[6].limits_bound, R::kTranslationalSpeed);
  EXPECT_EQ(records[7].limits_bound, R::kTranslationalSpeed);
  EXPECT_EQ(records[5].limits_bound, 0u);

  // Cycle 2 whole: the sample at every stage (a massless tool, the TCP's
  // axes the sensor's), the offset the drive got, the states.
  const R& r = records[2];
  const auto values = [](const Wrench& w) { return std::vector<double>(w.data, w.data + 6); };
  for (const Wrench* stage : {&r.raw, &r.compensated, &r.tool, &r.filtered})
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
  EXPECT_EQ(r.frames_published, 4u);  // the fixture's first, setFrame's, two republished
  EXPECT_EQ(records.back().force_control_state, R::kIdle);
}

}  // namespace
}  // namespace adaptive_test
}  // namespace vorel_device
