// The force-control cycle driven cycle by cycle with the stepping controller:
// suspension by the controller, the published wrenches, the set-point given
// to high-pass rate limiters, the tool-load refresh and an unset sensor pose.
// The return to zero and non-finite rates are the step's
// (force_control_step_test.cc).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/adaptive/adaptive_fixture.h"

namespace vorel_device {
namespace adaptive_test {
namespace {

using hx4rc_api::Vector;
using testing::ElementsAre;

class AdaptiveCycleTest : public AdaptiveFixture {
 protected:
  // The worked example: translation on, axis z only, gains (5, 5, 0.01),
  // zero track wrench, a constant 10 N along z, empty chain, system filter
  // off.
  void setUpForceZExample() {
    facade_->setEnabledAxes(false, false, true, false, false, false);
    facade_->activate(true, false);
    setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});
  }

  // Drive command `command` holds a valid offset of `z` m along z only.
  void expectOffset(std::size_t command, double z) {
    const hx4rc_api::Pose pose = controller_->driveCommands().at(command).command.referenceOffset();
    EXPECT_EQ(pose.frame.position, Vector(0.0, 0.0, pose.frame.position.z())) << command;
    EXPECT_NEAR(pose.frame.position.z(), z, 1e-15) << "command " << command;
    EXPECT_EQ(pose.frame.rotation, hx4rc_api::Rotation::Identity()) << "command " << command;
    EXPECT_EQ(pose.valid, 1u);
  }
};

// The reader publishing every GetParam() cycles (500, 250, 100 Hz
// against the 2 ms cycle), each frame while the thread waits in the
// controller's synchronisation: the cycle that wait belongs to processes it,
// the cycles in between the last one again, and the health record counts
// each frame once.
class CycleSamplingTest : public AdaptiveFixture, public testing::WithParamInterface<int> {};

TEST_P(CycleSamplingTest, FramePublishedDuringSynchronisation_ProcessedByThatCycle) {
  streaming_ = false;
  startThread();  // waiting in the first cycle's synchronisation
  double newest = 0.0;
  for (int cycle = 1; cycle <= 501; ++cycle) {
    if ((cycle - 1) % GetParam() == 0) {
      newest = cycle;
      setFrame(Wrench{{newest, 0.0, 0.0, 0.0, 0.0, 0.0}});
    }
    ASSERT_TRUE(controller_->runCycles(1));
    ASSERT_EQ(tcpTransformedWrench()[0], newest) << "cycle " << cycle;
  }
  // The first 500 cycles' figure, written by the 501st.
  EXPECT_EQ(read(&ss::Objects::sensor_health).usable_samples_per_second, 500.0 / GetParam());
}

INSTANTIATE_TEST_SUITE_P(SensorRates, CycleSamplingTest, testing::Values(1, 2, 5));

TEST_F(AdaptiveCycleTest, ResourceFlagSet_EverythingFrozenThenIntegrationResumes) {
  setUpForceZExample();
  startThread();
  step(2);
  controller_->setResourceFlag(4, true);
  step();  // its resource status was read before the flag was set: active
  ASSERT_EQ(controller_->driveCommandCount(), 3u);
  setFrame(Wrench{{0.0, 0.0, 20.0, 0.0, 0.0, 0.0}});
  step(3);  // suspended
  EXPECT_EQ(controller_->driveCommandCount(), 3u);
  EXPECT_EQ(thread_->getCommandCount(), 3);
  EXPECT_NEAR(thread_->getPositionOffset().z(), 0.0003, 1e-15);
  EXPECT_EQ(tcpFilteredWrench()[2], 20.0);  // still published

  controller_->setResourceFlag(4, false);
  controller_->setResourceFlag(3, true);
  step(2);  // still suspended, now by flag 3
  EXPECT_EQ(controller_->driveCommandCount(), 3u);

  controller_->setResourceFlag(3, false);
  step();  // read while flag 3 was still set
  EXPECT_EQ(controller_->driveCommandCount(), 3u);
  step();
  ASSERT_EQ(controller_->driveCommandCount(), 4u);
  // 20 N now: vt = 0.1 m/s, + 0.0002 m.
  expectOffset(3, 0.0005);
  EXPECT_EQ(thread_->getCommandCount(), 4);
}

TEST_F(AdaptiveCycleTest, NoStatusRecord_FlagsKeepTheirLastValues) {
  setUpForceZExample();
  controller_->setResourceFlag(3, true);
  startThread();
  controller_->setResourceStatus(boost::none);
  step(3);
  EXPECT_TRUE(thread_->getResourceFlag3());
  EXPECT_EQ(controller_->driveCommandCount(), 0u);
}

TEST_F(AdaptiveCycleTest, Bias_PublishedTcpWrenchKeepsItFilteredWrenchIsWithout) {
  setFrame(Wrench{{1.0, 2.0, 3.0, 0.5, 0.5, 0.5}});
  locked([](ss::Objects& o) { *o.wrench_offset = ftBias{{0.5, -1.0, 3.0, 0.25, 0.0, -0.5}}; });
  startThread();
  step();
  EXPECT_THAT(tcpTransformedWrench().data, ElementsAre(1.0, 2.0, 3.0, 0.5, 0.5, 0.5));
  EXPECT_THAT(tcpFilteredWrench().data, ElementsAre(0.5, 3.0, 0.0, 0.25, 0.5, 1.0));
}

TEST_F(AdaptiveCycleTest, HighPassRateLimiterInChain_GetsPreviousCyclesSetPoint) {
  // Track 20 N along z, smoothing 0.5 per cycle: R = 10, 15, 17.5, ...
  facade_->setForceControlGains(5.0, 5.0, 0.5);
  double track[3] = {0.0, 0.0, 20.0};
  facade_->setForceTrackValue(track);
  facade_->activate(true, false);  // axes all off: the set-point moves, the offset stays 0
  facade_->addOrRemoveFilter(
      filterRequest("hp", kHighPassRateLimiter, -1.0, -1.0, 50.0, 50.0, -50.0),
      VorelForceTorqueSensorSecondaryInstance::kAddFilter);
  setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});
  startThread();

  HighPassRateLimiter expected_filter(50.0, 50.0, -50.0, kRate);
  double previous_reference = 0.0;
  for (int k = 0; k < 5; ++k) {
    step();
    const double expected = expected_filter.filter(10.0, previous_reference, 2);
    EXPECT_DOUBLE_EQ(tcpFilteredWrench()[2], expected) << "cycle " << k + 1;
    previous_reference = previous_reference * 0.5 + 20.0 * 0.5;
    EXPECT_DOUBLE_EQ(thread_->getTrackReference()[2], previous_reference);
  }
  EXPECT_EQ(thread_->getPositionOffset(), Vector(0.0, 0.0, 0.0));
}

TEST_F(AdaptiveCycleTest, ToolLoad_ReadAtFirstReadyCycleThenOnlyAfterForceControlEnds) {
  controller_->setRcState(0);
  controller_->setToolLoad(2.0, Vector(0.0, 0.0, 0.0));
  startThread();
  step();
  // Not ready: the default tool, 1 kg.
  EXPECT_NEAR(gravityCompensatedWrench()[2], 9.81, 1e-12);
  EXPECT_FALSE(thread_->isToolLoadRead());

  controller_->setRcState(2 | 4);
  step();
  EXPECT_NEAR(gravityCompensatedWrench()[2], 19.62, 1e-12);
  EXPECT_TRUE(thread_->isToolLoadRead());

  controller_->setToolLoad(3.0, Vector(0.0, 0.0, 0.0));
  facade_->activate(true, true);
  step(2);  // two active cycles
  EXPECT_NEAR(gravityCompensatedWrench()[2], 19.62, 1e-12);
  EXPECT_EQ(controller_->driveCommandCount(), 2u);

  facade_->activate(false, false);
  step();  // the ending cycle
  EXPECT_EQ(controller_->driveCommandCount(), 3u);
  EXPECT_FALSE(thread_->isToolLoadRead());
  EXPECT_NEAR(gravityCompensatedWrench()[2], 19.62, 1e-12);
  step();
  EXPECT_NEAR(gravityCompensatedWrench()[2], 29.43, 1e-12);
  EXPECT_TRUE(thread_->isToolLoadRead());
}

TEST_F(AdaptiveCycleTest, SensorPoseUnset_NoNaNReachesDriveDiagnosticOncePerActivation) {
  setSensorPose(hx4rc_api::Frame());  // twelve NaN, as before the pose is set
  facade_->setEnabledAxes(true, true, true, true, true, true);
  facade_->activate(true, true);
  setFrame(Wrench{{1.0, 2.0, 3.0, 0.1, 0.2, 0.3}});
  testing::internal::CaptureStdout();
  startThread();
  step(5);
  facade_->activate(false, false);
  step(2);  // last active cycle, ending
  facade_->activate(true, false);
  step(4);  // idle, then three active cycles
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_THAT(out, testing::StrEq(std::string("Start the adaptive thread instance.\n") +
                                  AdaptiveThread::kNonFiniteMessage + "\n" +
                                  AdaptiveThread::kNonFiniteMessage + "\n"));
  const auto commands = controller_->driveCommands();
  ASSERT_EQ(commands.size(), 10u);
  for (std::size_t k = 0; k < commands.size(); ++k) {
    const hx4rc_api::Pose& pose = commands[k].command.referenceOffset();
    EXPECT_TRUE(pose.frame.isFinite()) << "command " << k;
    EXPECT_EQ(pose.frame.position, Vector(0.0, 0.0, 0.0)) << "command " << k;
    EXPECT_EQ(pose.valid, 1u);
  }
  // The NaN wrench itself is published as it is.
  EXPECT_TRUE(std::isnan(tcpTransformedWrench()[0]));
  EXPECT_TRUE(std::isnan(tcpFilteredWrench()[0]));
}

// Before the reader's first publication the shared "frame" is the all-zero
// initial record: the cycle must neither publish a wrench computed from it
// (it would read as the tool's weight) nor command the drive on it.
TEST_F(AdaptiveCycleTest, NoFrameReceivedYet_NothingPublishedNorCommanded) {
  locked([](ss::Objects& o) { *o.frame = RxFrame(); });
  // The load model stays unreadable: the default tool (1 kg) applies, whose
  // weight a processed zero frame would publish as +9.81 N.
  controller_->setRcState(0);
  facade_->setEnabledAxes(false, false, true, false, false, false);
  facade_->activate(true, false);
  startThread();
  step(3);
  EXPECT_EQ(controller_->driveCommandCount(), 0u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(gravityCompensatedWrench()[i], 0.0) << i;
    EXPECT_EQ(tcpTransformedWrench()[i], 0.0) << i;
    EXPECT_EQ(tcpFilteredWrench()[i], 0.0) << i;
  }

  // The first received frame is processed in the next cycles.
  locked([](ss::Objects& o) { o.frame->header = RxFrame::kHeader; });
  setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});
  step(2);
  EXPECT_GE(controller_->driveCommandCount(), 1u);
  EXPECT_NE(tcpTransformedWrench()[2], 0.0);
}

}  // namespace
}  // namespace adaptive_test
}  // namespace vorel_device
