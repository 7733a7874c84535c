// The force-control thread's construction, its failure handling and its stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <boost/interprocess/exceptions.hpp>
#include <boost/make_shared.hpp>

#include "tests/adaptive/adaptive_fixture.h"
#include "tests/support/console_capture.h"

namespace vorel_device {
namespace adaptive_test {
namespace {

using hx4rc_api::Vector;
using testing::ElementsAre;

TEST(AdaptiveThreadConstruction, NoSegment_ThrowsInterprocessErrorAndCreatesNothing) {
  ss::RemovalGuard guard;
  vorel_test::InstalledController controller;
  EXPECT_THROW(AdaptiveThread(controller.program(), 0, 500.0),
               boost::interprocess::interprocess_exception);
  EXPECT_THROW(ss::openSegment(), boost::interprocess::interprocess_exception);
}

// A controller whose frame query fails on request, as a broken shared state
// (a named mutex that cannot be locked) or host would make a cycle fail.
class FailingController : public vorel_test::SteppingController {
 public:
  void fail(bool on) { fail_.store(on); }

  hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) override {
    if (fail_.load())
      throw boost::interprocess::interprocess_exception("named mutex lock failed");
    return SteppingController::frame(a, b);
  }

 private:
  std::atomic<bool> fail_{false};
};

class AdaptiveFailureTest : public SegmentFixture {
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
  }

  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> previous_;
  boost::shared_ptr<FailingController> controller_;
  boost::shared_ptr<hx4_program_api::ProgramInterface> program_;
  std::unique_ptr<AdaptiveThread> thread_;
};

TEST_F(AdaptiveFailureTest, ExceptionInCycle_OffsetHeldThreadGoesOnThenRecoversAndEndsAtZero) {
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
  controller_->fail(true);
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
  thread_->flushLines();
  EXPECT_THAT(console.lines(), ElementsAre("[ERROR] Force control cycle failed (named mutex "
                                           "lock failed); reference offset held"));

  // The failure clears: integration resumes, with one INFO line.
  controller_->fail(false);
  locked([](ss::Objects& o) { ++o.sensor_health->frames_published; });
  ASSERT_TRUE(controller_->runCycles(1));
  ASSERT_EQ(controller_->driveCommandCount(), 7u);
  EXPECT_GT(controller_->driveCommands()[6].command.referenceOffset().frame.position.z(), before);
  thread_->flushLines();
  EXPECT_EQ(console.lines().back(), "[INFO] Force control cycle recovered; integration resumes");
  EXPECT_EQ(thread_->supervisorState(), SensorHealth::kOk);

  // Deactivation still ends with the return to the zero offset.
  locked([](ss::Objects& o) { *o.activate_adaptive_translation = false; });
  for (int k = 0; k < 1000 && thread_->wasActive(); ++k) {
    locked([](ss::Objects& o) { ++o.sensor_health->frames_published; });
    ASSERT_TRUE(controller_->runCycles(1));
  }
  const auto all = controller_->driveCommands();
  ASSERT_GT(all.size(), 9u);
  EXPECT_EQ(all.back().command.referenceOffset().frame.position, Vector(0.0, 0.0, 0.0));
  // One cycle waits in the synchronisation holding its resources; the stop
  // releases them.
  EXPECT_EQ(controller_->acquireCount(), controller_->releaseCount() + 1);
  controller_->setFreeRunning(true);
  ASSERT_TRUE(thread_->stop(5000));
  thread_.reset();
  EXPECT_EQ(controller_->acquireCount(), controller_->releaseCount());
}

}  // namespace
}  // namespace adaptive_test
}  // namespace vorel_device
