// moveToContact against the controller double: each motion command moves the
// robot's TCP to the commanded target (the double's move hook), and the test
// plays the contact by writing the tool-frame wrench into the real shared
// segment, from which the device takes the force norm. The robot starts at
// (0.4, 0.1, 0.3) m with its tool turned 180 degrees about world x (tool z
// points along world -z), so world and tool steps differ visibly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <ostream>

#include "device/guarded_approach.h"
#include "tests/device/bound_device_fixture.h"
#include "tests/support/poll_until.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;
using hx4rc_api::Model;
using hx4rc_api::Motion;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using vorel_test::MotionRecord;

const hx4rc_api::Rotation kToolDown(1, 0, 0, 0, -1, 0, 0, 0, -1);
const hx4rc_api::Vector kStart(0.4, 0.1, 0.3);
constexpr double kTol = 1e-12;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const char* kTerminated = " because the robot program terminated";

// Motion parameters: values 0.5, 0.1, 0 with kinds (2, 2, 1) for an
// approach step and (1, 1, 2) for the retract.
void expectParams(const Motion::Params& p, bool approach) {
  const int kinds[2][3] = {{1, 1, 2}, {2, 2, 1}};
  const double values[3] = {0.5, 0.1, 0.0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(p.pairs[i].kind, kinds[approach][i]) << i;
    EXPECT_EQ(p.pairs[i].value, values[i]) << i;
    EXPECT_EQ(p.pairs[i].reserved, 0);
  }
  EXPECT_EQ(p.reserved[0], 0);
  EXPECT_EQ(p.reserved[1], 0);
}

// A valid world target at `position` with the tool's rotation.
void expectTarget(const MotionRecord& record, double x, double y, double z) {
  EXPECT_EQ(record.target.frame_id, static_cast<std::int32_t>(Model::SysId::FRAME_WORLD));
  EXPECT_NEAR(record.target.frame.position.x(), x, kTol);
  EXPECT_NEAR(record.target.frame.position.y(), y, kTol);
  EXPECT_NEAR(record.target.frame.position.z(), z, kTol);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(record.target.frame.rotation(r, c), kToolDown(r, c), kTol);
}

class MoveToContactTest : public BoundDeviceTest {
 protected:
  void SetUp() override {
    BoundDeviceTest::SetUp();
    if (HasFatalFailure())
      return;
    controller->setFreeRunning(true);
    controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD,
                         hx4rc_api::Frame(kToolDown, kStart));
    // No force-control thread runs here: the health it would publish says
    // that usable samples arrive.
    setHealth(vorel_device::SensorHealth::kOk, 0.0);
    // The robot reaches every valid target; then the test's contact model.
    controller->setMoveHook([this](const Motion::Target& target, const Motion::Params&) {
      const int n = ++moves;
      if (target.frame_id != 0)
        target_ = target.frame;
      if (target.frame_id != 0 && !stuck && !inertial) {
        controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD,
                             target.frame);
      }
      if (on_move)
        on_move(n, target);
    });
  }

  // From here on the robot takes its time: each controller cycle its TCP
  // moves at most `per_cycle` m toward the last motion target (so a target
  // commanded 0.12 s ahead is still running when the next pass comes).
  void moveInertially(double per_cycle) {
    inertial = true;
    target_ = tcp();
    controller->setSyncHook([this, per_cycle] {
      hx4rc_api::Frame now = tcp();
      const hx4rc_api::Vector left = target_.position - now.position;
      const double d = left.Norm();
      now.position = d <= per_cycle ? target_.position : now.position + (per_cycle / d) * left;
      controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD, now);
      if (on_sync)
        on_sync(now.position);
    });
  }

  hx4rc_api::Frame tcp() {
    return controller->frame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD);
  }

  // Tool-frame force seen by the device (N); its norm is compared with the
  // threshold.
  void setForce(double fx, double fy, double fz) {
    vorel_device::Wrench w;
    w[0] = fx;
    w[1] = fy;
    w[2] = fz;
    view->write(ss::kTcpTransformedWrench, w);
  }

  void setHealth(std::int32_t supervisor_state, double last_usable_age,
                 std::uint32_t force_limit_flags = 0) {
    vorel_device::SensorHealth health;
    health.supervisor_state = supervisor_state;
    health.last_usable_age = last_usable_age;
    health.force_limit_flags = force_limit_flags;
    view->write(ss::kSensorHealth, health);
  }

  VorelFTSensor::Result move(int reference_frame, int axis, double speed_mm_s, double threshold_n,
                             double max_mm, double retract_mm) {
    Number speed(speed_mm_s), threshold(threshold_n), max_distance(max_mm), retract(retract_mm);
    return device->moveToContact(reference_frame, axis, speed, threshold, max_distance, retract);
  }

  // Contact after the n-th motion command.
  void contactAtMove(int n) {
    on_move = [this, n](int count, const Motion::Target&) {
      if (count == n)
        setForce(0.0, 12.0, -16.0);  // norm 20 N
    };
  }

  std::atomic<int> moves{0};
  std::atomic<bool> stuck{false};     // the robot does not reach its targets
  std::atomic<bool> inertial{false};  // the robot moves by moveInertially's rule
  hx4rc_api::Frame target_;           // the last valid motion target
  std::function<void(int, const Motion::Target&)> on_move;
  std::function<void(const hx4rc_api::Vector&)> on_sync;  // the TCP after a cycle's motion
};

// Every end stops the motion: the call returns with the current pose as the
// last target, i.e. no earlier step still running.
void expectStopped(const std::vector<MotionRecord>& records, std::size_t index,
                   const hx4rc_api::Vector& at) {
  ASSERT_GT(records.size(), index);
  expectTarget(records[index], at.x(), at.y(), at.z());
  expectParams(records[index].params, true);
}

// --- Direction and frame of the steps --------------------------------------

struct StepCase {
  const char* name;
  int frame, axis;
  double speed;            // mm/s
  int contact_move;        // contact after this motion command; 0: above the threshold at once
  hx4rc_api::Vector step;  // one approach step in the world, m
  std::size_t approaches;  // approach steps, the last in the pass that found the contact
  bool valid;              // false: every target is all NaN with frame id 0
};

class MoveToContactStepTest : public MoveToContactTest,
                              public ::testing::WithParamInterface<StepCase> {};

TEST_P(MoveToContactStepTest, Approach_ContactFound_StepsThenRetracts5mmBack) {
  const StepCase& c = GetParam();
  if (c.contact_move == 0)
    setForce(0.0, 0.0, 10.5);  // just above the 10 N threshold
  else
    contactAtMove(c.contact_move);

  ASSERT_TRUE(move(c.frame, c.axis, c.speed, 10.0, 100.0, 5.0).ok());

  const auto records = controller->motionCommands();
  // The approach steps, the stop where the last pass found the tool (before
  // its step), the retract from there.
  ASSERT_EQ(records.size(), c.approaches + (c.valid ? 2 : 1));
  const double norm = c.step.Norm();
  const hx4rc_api::Vector last = kStart + static_cast<double>(c.approaches - 1) * c.step;
  const hx4rc_api::Vector back = norm > 0.0 ? last - (0.005 / norm) * c.step : last;
  for (std::size_t k = 0; k < records.size(); ++k) {
    SCOPED_TRACE(k);
    const bool approach = k < c.approaches || (c.valid && k == c.approaches);
    const hx4rc_api::Vector p = k < c.approaches ? kStart + static_cast<double>(k + 1) * c.step
                                : k == c.approaches && c.valid ? last
                                                               : back;
    if (c.valid) {
      expectTarget(records[k], p.x(), p.y(), p.z());
    } else {
      EXPECT_EQ(records[k].target.frame_id, 0);
      for (int i = 0; i < 9; ++i)
        EXPECT_TRUE(std::isnan(records[k].target.frame.rotation.data()[i]));
      for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(std::isnan(records[k].target.frame.position.data()[i]));
    }
    expectParams(records[k].params, approach);
  }
  EXPECT_EQ(controller->acquireCount(), 1u);
  EXPECT_EQ(controller->releaseCount(), 1u);
  EXPECT_TRUE(console.lines().empty());
}

// World steps are the same whatever the tool's orientation; tool z points
// along world -z.
INSTANTIATE_TEST_SUITE_P(
    Steps, MoveToContactStepTest,
    ::testing::Values(StepCase{"WorldZUp", 0, 2, 50.0, 4, {0, 0, 0.006}, 5, true},
                      StepCase{"WorldZDown", 0, 2, -50.0, 4, {0, 0, -0.006}, 5, true},
                      StepCase{"ToolZ", 1, 2, 50.0, 2, {0, 0, -0.006}, 3, true},
                      StepCase{"FirstPassXUp", 0, 0, 50.0, 0, {0.006, 0, 0}, 1, true}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

// --- Ends without contact ----------------------------------------------------

// A force norm equal to the threshold is no contact.
TEST_F(MoveToContactTest, Approach_TravelLimitPassed_EndsWithInfoLineAndNoRetract) {
  setForce(0.0, 6.0, 8.0);  // exactly 10 N
  ASSERT_TRUE(move(0, 2, 50.0, 10.0, 20.0, 5.0).ok());

  const auto records = controller->motionCommands();
  // Steps at 0, 6 and 12 mm travelled; at 18 mm the next 6 mm would pass the
  // 20 mm limit: the call ends there, stopping where the tool is.
  ASSERT_EQ(records.size(), 4u);
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    expectTarget(records[k], 0.4, 0.1, 0.3 + 0.006 * (k + 1));
    expectParams(records[k].params, true);
  }
  expectStopped(records, 3, {0.4, 0.1, 0.318});
  EXPECT_THAT(console.lines(), ElementsAre(HasSubstr("travel limit of 20 mm")));
  EXPECT_EQ(controller->releaseCount(), 1u);
}

// The robot does not move (blocked below the force threshold): after 1 s of
// passes without progress the call ends, without a retract.
TEST_F(MoveToContactTest, Approach_NoProgressForOneSecond_EndsWithErrorLine) {
  stuck = true;
  ASSERT_TRUE(move(0, 2, 50.0, 10.0, 100.0, 5.0).ok());
  // The steps, then the stop.
  EXPECT_EQ(controller->motionCommandCount(),
            static_cast<std::size_t>(vorel_device::GuardedApproach::kNoProgressCycles));
  EXPECT_THAT(console.lines(), ElementsAre(HasSubstr("no progress along the axis for 1 s")));
}

// The force-control thread (its heartbeat) stops after the second step: the
// approach ends once the heartbeat is 50 ms old and unchanged for 25 of the
// call's cycles, without retract. Slow (0.01 mm/s), so that neither the
// travel limit nor a lack of progress ends it first.
TEST_F(MoveToContactTest, Approach_ForceControlStops_EndsWithErrorLine) {
  on_move = [this](int count, const Motion::Target&) {
    if (count == 2)
      heartbeat.stop();
  };
  ASSERT_TRUE(move(0, 2, 0.01, 10.0, 100.0, 5.0).ok());
  EXPECT_THAT(console.lines(),
              ElementsAre(AllOf(StartsWith("[ERROR] moveToContact: force control is not running"),
                                HasSubstr("without a further step or retract"))));
  for (const MotionRecord& record : controller->motionCommands())
    expectParams(record.params, true);
}

// --- Arguments that are not numbers -------------------------------------------

// Every number is checked before the robot moves: a non-finite retract
// distance found only after contact would leave the tool pressed into the
// surface.
struct BadArguments {
  double speed, threshold, max_distance, retract;
  const char* line;
  friend void PrintTo(const BadArguments& a, std::ostream* os) { *os << a.line; }
};

class MoveToContactBadArgumentTest : public MoveToContactTest,
                                     public ::testing::WithParamInterface<BadArguments> {};

TEST_P(MoveToContactBadArgumentTest, Call_BadArgument_RefusedBeforeAnyMotionCommand) {
  const BadArguments& a = GetParam();
  contactAtMove(1);
  ASSERT_TRUE(move(0, 2, a.speed, a.threshold, a.max_distance, a.retract).ok());
  EXPECT_EQ(controller->motionCommandCount(), 0u);
  EXPECT_THAT(console.lines(),
              ElementsAre(HasSubstr(std::string("[ERROR] moveToContact: the ") + a.line)));
}

INSTANTIATE_TEST_SUITE_P(
    NonFinite, MoveToContactBadArgumentTest,
    ::testing::Values(BadArguments{kNaN, 10.0, 100.0, 5.0, "speed nan mm/s"},
                      BadArguments{kInf, 10.0, 100.0, 5.0, "speed inf mm/s"},
                      BadArguments{50.0, -kInf, 100.0, 5.0, "force threshold -inf N"},
                      BadArguments{50.0, kNaN, kNaN, 5.0, "force threshold nan N"},
                      BadArguments{50.0, 10.0, kInf, 5.0, "travel limit inf mm"},
                      BadArguments{50.0, 10.0, 100.0, kNaN, "retract distance nan mm"},
                      BadArguments{-50.0, 10.0, 100.0, -kInf, "retract distance -inf mm"}));

// Finite arguments beyond what the call may do: faster than the offset's
// speed limit (250 mm/s by default), a threshold outside (0, force limit)
// (150 N by default), no travel, a retract that presses on. Each bound just
// inside is accepted (the contact is there at the first pass).
INSTANTIATE_TEST_SUITE_P(
    BeyondLimits, MoveToContactBadArgumentTest,
    ::testing::Values(
        BadArguments{-250.001, 10.0, 100.0, 5.0,
                     "speed -250.001 mm/s is faster than the speed limit of 250 mm/s"},
        BadArguments{-1e9, 10.0, 100.0, 5.0,
                     "speed -1000000000 mm/s is faster than the speed limit"},
        BadArguments{50.0, 0.0, 100.0, 5.0,
                     "force threshold 0 N is outside the accepted range (0, 150) N"},
        BadArguments{50.0, 150.0, 100.0, 5.0,
                     "force threshold 150 N is outside the accepted range (0, 150) N"},
        BadArguments{50.0, 10.0, 0.0, 5.0, "travel limit 0 mm is outside the accepted range"},
        BadArguments{50.0, 10.0, 100.0, -0.001,
                     "retract distance -0.001 mm is outside the accepted range [0, inf) mm"}));

TEST_F(MoveToContactTest, Call_BoundsJustInside_Accepted) {
  setForce(0.0, 0.0, 149.9);
  ASSERT_TRUE(move(0, 2, -250.0, 149.0, 0.001, 0.0).ok());
  // One step (contact at once), the stop, a retract of 0 mm.
  EXPECT_EQ(controller->motionCommandCount(), 3u);
  EXPECT_TRUE(console.lines().empty());
}

// --- Never blind ------------------------------------------------------------

// After the second step the force norm turns NaN (e.g. bound without a sensor
// pose) or the health the force-control thread publishes turns bad: the call
// ends there, even though the travel limit is far.
struct Blind {
  double fx;  // N
  std::int32_t state;
  double age;  // s
  const char* line;
  std::uint32_t force_limit_flags = 0;
  friend void PrintTo(const Blind& b, std::ostream* os) { *os << b.line; }
};

class MoveToContactBlindTest : public MoveToContactTest,
                               public ::testing::WithParamInterface<Blind> {};

TEST_P(MoveToContactBlindTest, Approach_NoUsableForce_StopsWithoutStepOrRetract) {
  on_move = [this](int count, const Motion::Target&) {
    if (count != 2)
      return;
    setForce(GetParam().fx, 0.0, 0.0);
    setHealth(GetParam().state, GetParam().age, GetParam().force_limit_flags);
  };
  ASSERT_TRUE(move(0, 2, 50.0, 10.0, 100.0, 5.0).ok());
  // Two steps, then the stop where the second one took the tool.
  const auto records = controller->motionCommands();
  ASSERT_EQ(records.size(), 3u);
  expectStopped(records, 2, {0.4, 0.1, 0.312});
  EXPECT_THAT(console.lines(), ElementsAre(AllOf(StartsWith("[ERROR] moveToContact: "),
                                                 HasSubstr(GetParam().line))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MoveToContactBlindTest,
    ::testing::Values(
        Blind{kNaN, vorel_device::SensorHealth::kOk, 0.0, "the force norm nan N"},
        Blind{0.0, vorel_device::SensorHealth::kStale, 0.05,
              "sample 0.05 s ago, supervisor state 1"},
        Blind{0.0, vorel_device::SensorHealth::kFaulted, 0.0, "sample 0 s ago, supervisor state 2"},
        Blind{0.0, vorel_device::SensorHealth::kOk, -1.0, "sample none yet, supervisor state 0"},
        Blind{0.0, vorel_device::SensorHealth::kOk, 0.0, "a force or torque above its limit",
              vorel_device::ForceLimits::kTorqueOver},
        Blind{0.0, vorel_device::SensorHealth::kOk, 0.0, "frames the sensor flags overrange",
              vorel_device::ForceLimits::kOverrange}));

// --- Program termination -------------------------------------------------------

TEST_F(MoveToContactTest, Approach_ProgramTerminated_ReturnsAfterPassAndLaterCallsToo) {
  auto stream =
      controller.program()->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>();
  on_move = [&](int count, const Motion::Target&) {
    if (count != 3)
      return;
    stream->publish(boost::any(hx4_signal::ProgramTerminated{1}));
    ASSERT_TRUE(vorel_test::pollUntil([&] { return !device->programRunning(); }));
  };

  ASSERT_TRUE(move(0, 2, 50.0, 10.0, 100.0, 5.0).ok());

  const auto records = controller->motionCommands();
  ASSERT_EQ(records.size(), 4u);  // the pass in progress, the stop, no retract
  for (const MotionRecord& record : records)
    expectParams(record.params, true);
  expectStopped(records, 3, {0.4, 0.1, 0.312});

  // A later call commands nothing.
  on_move = nullptr;
  ASSERT_TRUE(move(1, 0, 50.0, 10.0, 100.0, 5.0).ok());
  EXPECT_EQ(controller->motionCommandCount(), 4u);
  EXPECT_THAT(console.lines(),
              ElementsAre(HasSubstr(std::string("stopped during the approach") + kTerminated),
                          HasSubstr(std::string("stopped at the start") + kTerminated)));
  EXPECT_EQ(controller->acquireCount(), 2u);
  EXPECT_EQ(controller->releaseCount(), 2u);
}

TEST_F(MoveToContactTest, Retract_ProgramTerminatedInContactPass_NotCommanded) {
  contactAtMove(2);
  auto stream =
      controller.program()->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>();
  auto first = on_move;
  on_move = [&](int count, const Motion::Target& target) {
    first(count, target);
    if (count != 3)  // the step of the pass that found the contact
      return;
    stream->publish(boost::any(hx4_signal::ProgramTerminated{4}));
    ASSERT_TRUE(vorel_test::pollUntil([&] { return !device->programRunning(); }));
  };

  ASSERT_TRUE(move(0, 2, 50.0, 10.0, 100.0, 5.0).ok());

  const auto records = controller->motionCommands();
  ASSERT_EQ(records.size(), 4u);  // three steps and the stop
  expectStopped(records, 3, {0.4, 0.1, 0.312});
  EXPECT_THAT(console.lines(),
              ElementsAre(HasSubstr(std::string("stopped before the retract") + kTerminated)));
}

// --- Every end leaves the tool at rest -------------------------------------------

// Down along world z at 200 mm/s on a robot that moves 0.4 mm per cycle (200
// mm/s) toward its last target, so every step is still running when the next
// pass comes (it targets 24 mm ahead). The call ends 10 mm down (contact,
// the travel limit, a stale sensor, the program's termination): it returns
// with no motion left (the last target is where the tool rests), the tool
// within the end's distance plus one cycle of travel, or 5 mm back after a
// contact.
enum class End { kTravelLimit, kContact, kStaleSensor, kProgramTerminated };
struct RestCase {
  const char* name;
  End end;
  double rest_mm;  // travelled at rest, down
};

class MoveToContactRestTest : public MoveToContactTest,
                              public ::testing::WithParamInterface<RestCase> {
 protected:
  void endNow() {
    switch (GetParam().end) {
      case End::kTravelLimit:
        break;
      case End::kContact:
        setForce(0.0, 0.0, 20.0);
        break;
      case End::kStaleSensor:
        setHealth(vorel_device::SensorHealth::kStale, 0.06);
        break;
      case End::kProgramTerminated:
        controller.program()
            ->signalBus()
            .findOrCreateStream<hx4_signal::ProgramTerminated>()
            ->publish(boost::any(hx4_signal::ProgramTerminated{5}));
        ASSERT_TRUE(vorel_test::pollUntil([&] { return !device->programRunning(); }));
        break;
    }
  }
};

TEST_P(MoveToContactRestTest, Ended_ReturnsWithTheToolAtRest) {
  const RestCase& c = GetParam();
  moveInertially(0.0004);
  bool ended = false;
  on_sync = [&](const hx4rc_api::Vector& p) {
    if (!ended && kStart.z() - p.z() >= 0.010 - 1e-12) {
      ended = true;
      endNow();
    }
  };
  const double travel = c.end == End::kTravelLimit ? 10.0 : 100.0;
  ASSERT_TRUE(move(0, 2, -200.0, 10.0, travel, 5.0).ok());
  controller->setSyncHook(nullptr);
  const auto records = controller->motionCommands();
  ASSERT_FALSE(records.empty());
  const hx4rc_api::Vector rest = tcp().position;
  EXPECT_NEAR((records.back().target.frame.position - rest).Norm(), 0.0, 1e-12);
  EXPECT_NEAR(kStart.z() - rest.z(), c.rest_mm / 1000.0, 0.0004 + 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, MoveToContactRestTest,
    ::testing::Values(RestCase{"TravelLimit", End::kTravelLimit, 10.0},
                      RestCase{"Contact", End::kContact, 5.0},
                      RestCase{"StaleSensor", End::kStaleSensor, 10.0},
                      RestCase{"ProgramTerminated", End::kProgramTerminated, 10.0}),
    [](const ::testing::TestParamInfo<RestCase>& info) { return std::string(info.param.name); });

// --- Hold and pacing ----------------------------------------------------------

TEST_F(MoveToContactTest, Approach_HoldFlagsSet_NoStepUntilCleared) {
  setForce(0.0, 0.0, 30.0);
  controller->setResourceFlag(3, true);
  controller->setResourceFlag(4, true);
  const std::uint64_t queries = controller->statusQueryCount();

  auto call = std::async(std::launch::async, [&] { return move(0, 2, 50.0, 10.0, 100.0, 5.0); });
  // It is polling the hold flags and has commanded nothing.
  ASSERT_TRUE(controller->awaitStatusQueries(queries + 100));
  EXPECT_EQ(controller->motionCommandCount(), 0u);
  controller->setResourceFlag(3, false);
  ASSERT_TRUE(controller->awaitStatusQueries(controller->statusQueryCount() + 100));
  EXPECT_EQ(controller->motionCommandCount(), 0u);
  controller->setResourceFlag(4, false);

  ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(call.get().ok());
  EXPECT_EQ(controller->motionCommandCount(), 3u);  // one step, the stop, the retract
}

TEST_F(MoveToContactTest, HoldWait_ProgramTerminated_ReturnsWithErrorLine) {
  controller->setResourceFlag(4, true);
  const std::uint64_t queries = controller->statusQueryCount();
  auto call = std::async(std::launch::async, [&] { return move(0, 2, 50.0, 10.0, 100.0, 5.0); });
  ASSERT_TRUE(controller->awaitStatusQueries(queries + 10));

  controller.program()->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>()->publish(
      boost::any(hx4_signal::ProgramTerminated{2}));

  ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(call.get().ok());
  EXPECT_EQ(controller->motionCommandCount(), 0u);
  EXPECT_THAT(
      console.lines(),
      ElementsAre(HasSubstr(std::string("stopped while the robot was held") + kTerminated)));
  EXPECT_EQ(controller->releaseCount(), 1u);
}

}  // namespace
}  // namespace vorel_device_test
