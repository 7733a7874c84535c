// The force-control thread's construction, start, activation flags, runtime,
// failure handling and commands that come from another process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/interprocess/exceptions.hpp>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "tests/adaptive/adaptive_fixture.h"
#include "tests/support/console_capture.h"

namespace vorel_device {
namespace adaptive_test {
namespace {

using hx4rc_api::Vector;
using testing::ElementsAre;

using AdaptiveThreadTest = AdaptiveFixture;

TEST(AdaptiveThreadConstruction, NoSegment_ThrowsInterprocessErrorAndCreatesNothing) {
  ss::RemovalGuard guard;
  vorel_test::InstalledController controller;
  EXPECT_THROW(AdaptiveThread(controller.program(), 0, 500.0),
               boost::interprocess::interprocess_exception);
  EXPECT_THROW(ss::openSegment(), boost::interprocess::interprocess_exception);
}

TEST_F(AdaptiveThreadTest, Constructed_FieldsHoldTheirInitialValues) {
  EXPECT_EQ(thread_->getRuntimeSeconds(), 0.0);
  EXPECT_EQ(thread_->getCommandCount(), 0);
  EXPECT_FALSE(thread_->isActive());
  EXPECT_FALSE(thread_->wasActive());
  EXPECT_FALSE(thread_->isToolLoadRead());
  EXPECT_FALSE(thread_->isTranslationActive());
  EXPECT_FALSE(thread_->isRotationActive());
  EXPECT_EQ(thread_->getSamplingRate(), kRate);
  EXPECT_EQ(thread_->getGains().translation_gain, 5.0);
  EXPECT_EQ(thread_->getGains().rotation_gain, 5.0);
  EXPECT_EQ(thread_->getGains().track_smoothing, 0.01);
  EXPECT_EQ(thread_->getPositionOffset(), Vector(0.0, 0.0, 0.0));
  EXPECT_EQ(thread_->getRotationOffset(), Vector(0.0, 0.0, 0.0));
  const hx4rc_api::Load& tool = thread_->getToolLoad();
  EXPECT_EQ(tool.inertia.mass, 1.0);
  EXPECT_EQ(tool.inertia.cog, Vector(0.0, 0.0, 0.05));
  for (double t : tool.inertia.tensor)
    EXPECT_EQ(t, 0.0);
  const hx4rc_api::Frame& sensor = thread_->getSensorToTfcTransform();
  for (int i = 0; i < 9; ++i)
    EXPECT_TRUE(std::isnan(sensor.rotation.data()[i]));
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(std::isnan(sensor.position[i]));
  const HighPassRateLimiter& system = thread_->getSystemFilter();
  EXPECT_EQ(system.getCutoffFrequency(), 50.0);
  EXPECT_EQ(system.getRisingRate(), 50.0);
  EXPECT_EQ(system.getFallingRate(), -50.0);
  EXPECT_EQ(system.getSamplingRate(), kRate);
  EXPECT_TRUE(thread_->getFilterChain().empty());
}

TEST_F(AdaptiveThreadTest, Start_PrintsStartLineAndHoldsResourcesAcrossSync) {
  testing::internal::CaptureStdout();
  startThread();
  step(2);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Start the adaptive thread instance.\n");
  // Blocked in the synchronisation of its third cycle: three acquired, the
  // third still held.
  EXPECT_EQ(controller_->acquireCount(), 3u);
  EXPECT_EQ(controller_->releaseCount(), 2u);
  stopThread();
  EXPECT_EQ(controller_->acquireCount(), controller_->releaseCount());
}

TEST_F(AdaptiveThreadTest, ActivateThenCycleWithSharedFlagsOff_ActiveFalseAgain) {
  startThread();
  thread_->activate();
  EXPECT_TRUE(thread_->isActive());
  step();
  EXPECT_FALSE(thread_->isActive());
  thread_->deactivate();
  EXPECT_FALSE(thread_->isActive());
}

TEST_F(AdaptiveThreadTest, FiveHundredOffsets_RuntimeOneSecond) {
  facade_->activate(true, false);
  startThread();
  step(500);
  EXPECT_EQ(thread_->getCommandCount(), 500);
  EXPECT_DOUBLE_EQ(thread_->getRuntimeSeconds(), 1.0);
  EXPECT_DOUBLE_EQ(runtime(), 1.0);  // written by the snapshot of cycle 501
  EXPECT_EQ(controller_->driveCommandCount(), 500u);
}

TEST_F(AdaptiveThreadTest, CommandsFromAnotherProcess_TakenByTheCycle) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // A second process: its own facade on the same named segment.
    int status = 1;
    try {
      VorelForceTorqueSensorSecondaryInstance facade(10);
      facade.setEnabledAxes(false, false, true, false, false, false);
      facade.setForceControlGains(10.0, 5.0, 0.01);
      FilterOptions lp = filterRequest("lp", kLowPassFilter);
      lp.cutoff_frequency = 20.0;
      facade.addOrRemoveFilter(lp, VorelForceTorqueSensorSecondaryInstance::kAddFilter);
      facade.activate(true, false);
      status = 0;
    } catch (...) {
    }
    _exit(status);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  setFrame(makeWrench(0.0, 0.0, 4.0, 0.0, 0.0, 0.0));
  startThread();
  EXPECT_THAT(thread_->getFilterChain().order(), ElementsAre("lp"));
  EXPECT_EQ(newFilterFlag(), 0);
  step();
  // Low-pass at 20 Hz and 500 Hz: w = 2 pi 20 / 500, a0 = w / (w + 1).
  const double w = 6.283185307179586 * 20.0 / 500.0;
  const double filtered = w / (w + 1.0) * 4.0;
  EXPECT_DOUBLE_EQ(tcpFilteredWrench()[2], filtered);
  ASSERT_EQ(controller_->driveCommandCount(), 1u);
  // kt = 10 x 0.001; one 2 ms step.
  EXPECT_DOUBLE_EQ(offsetOf(0).position.z(), 0.002 * filtered * 0.01);
}

// A controller whose frame query fails on request, as a broken shared state
// or host would make a cycle fail.
class FailingController : public vorel_test::SteppingController {
 public:
  enum Mode { kNone, kInterprocess, kRuntime };
  void fail(Mode mode) { mode_.store(mode); }

  hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) override {
    switch (mode_.load()) {
      case kInterprocess:
        throw boost::interprocess::interprocess_exception("named mutex lock failed");
      case kRuntime:
        throw std::runtime_error("frame query failed");
      case kNone:
        break;
    }
    return SteppingController::frame(a, b);
  }

 private:
  std::atomic<int> mode_{kNone};
};

class AdaptiveFailureTest : public SegmentFixture,
                            public testing::WithParamInterface<FailingController::Mode> {
 protected:
  void SetUp() override {
    SegmentFixture::SetUp();
    previous_ = hx4_program_api_internals::ControllerBackend::current();
    controller_ = boost::make_shared<FailingController>();
    hx4_program_api_internals::ControllerBackend::install(controller_);
    program_ = boost::make_shared<hx4_program_api::ProgramInterface>(controller_);
  }
  void TearDown() override {
    controller_->setFreeRunning(true);
    if (thread_) {
      EXPECT_TRUE(thread_->stop(5000));
    }
    thread_.reset();
    hx4_program_api_internals::ControllerBackend::install(previous_);
    SegmentFixture::TearDown();
  }

  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> previous_;
  boost::shared_ptr<FailingController> controller_;
  boost::shared_ptr<hx4_program_api::ProgramInterface> program_;
  std::unique_ptr<AdaptiveThread> thread_;
};

TEST_P(AdaptiveFailureTest, ExceptionInCycle_OffsetHeldThreadGoesOnThenRecoversAndEndsAtZero) {
  locked([](ss::Objects& o) {
    *o.activate_adaptive_translation = true;
    (*o.enabled_axes)[2] = 1;
    o.frame->ft_data[2] = 10.0f;
    *o.sensor_to_tfc_transform = hx4rc_api::Frame::Identity();
  });
  thread_ = std::make_unique<AdaptiveThread>(program_, 0, 500.0);
  vorel_test::ConsoleCapture console;
  ASSERT_TRUE(thread_->start(1000));
  ASSERT_TRUE(controller_->runCycles(3));
  ASSERT_EQ(controller_->driveCommandCount(), 3u);
  const double before =
      controller_->driveCommands()[2].command.referenceOffset().frame.position.z();
  EXPECT_GT(before, 0.0);

  // Three failing cycles: the thread keeps the controller's pace and sends
  // the offset it holds; one ERROR line for the episode.
  controller_->fail(GetParam());
  for (int k = 0; k < 3; ++k) {
    locked([](ss::Objects& o) { ++o.sensor_health->frames_published; });
    ASSERT_TRUE(controller_->runCycles(1));
  }
  const auto held = controller_->driveCommands();
  ASSERT_EQ(held.size(), 6u);
  for (std::size_t k = 3; k < 6; ++k)
    EXPECT_EQ(held[k].command.referenceOffset().frame.position.z(), before) << "command " << k;
  EXPECT_TRUE(thread_->isRunning());
  EXPECT_EQ(thread_->supervisorState(), SensorHealth::kFaulted);
  const std::string what = GetParam() == FailingController::kInterprocess
                               ? "named mutex lock failed"
                               : "frame query failed";
  EXPECT_THAT(console.lines(), ElementsAre("[ERROR] Force control cycle failed (" + what +
                                           "); reference offset held"));

  // The failure clears: integration resumes, with one INFO line.
  controller_->fail(FailingController::kNone);
  locked([](ss::Objects& o) { ++o.sensor_health->frames_published; });
  ASSERT_TRUE(controller_->runCycles(1));
  ASSERT_EQ(controller_->driveCommandCount(), 7u);
  EXPECT_GT(controller_->driveCommands()[6].command.referenceOffset().frame.position.z(), before);
  EXPECT_EQ(console.lines().back(), "[INFO] Force control cycle recovered; integration resumes");
  EXPECT_EQ(thread_->supervisorState(), SensorHealth::kOk);

  // Deactivation still ends with the zero offset.
  locked([](ss::Objects& o) { *o.activate_adaptive_translation = false; });
  ASSERT_TRUE(controller_->runCycles(2));
  const auto all = controller_->driveCommands();
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(all.back().command.referenceOffset().frame.position, Vector(0.0, 0.0, 0.0));
  EXPECT_EQ(controller_->acquireCount(), controller_->releaseCount() + 1);  // one cycle waits
}

INSTANTIATE_TEST_SUITE_P(Failures, AdaptiveFailureTest,
                         testing::Values(FailingController::kInterprocess,
                                         FailingController::kRuntime),
                         [](const testing::TestParamInfo<FailingController::Mode>& info) {
                           return info.param == FailingController::kInterprocess
                                      ? std::string("InterprocessError")
                                      : std::string("OtherError");
                         });

}  // namespace
}  // namespace adaptive_test
}  // namespace vorel_device
