// The device's fail-safe behaviour on real workers and the sensor emulator:
// every end of force control leaves the drive at the zero offset, a named
// mutex left locked by a killed process, and a guarded move that never goes
// on blind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <ostream>
#include <string>

#include "adaptive/adaptive_thread.h"
#include "comm/VorelForceTorqueSensorComm.h"
#include "tests/device/emulated_device_fixture.h"
#include "tests/support/dead_mutex_holder.h"

namespace vorel_device_test {
namespace {

using hx4rc_api::Model;
using hx4rc_api::Motion;
using hx4rc_api::Vector;

class FailSafeDeviceTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override {
    tcpAboveFlange();
    emulator.setWrench(wrenchOf(0.0, 0.0, 4.0, 0.0, 0.0, 0.0));  // N along sensor z
    ASSERT_NO_FATAL_FAILURE(startSensor());
    ASSERT_NO_FATAL_FAILURE(activateAndBind());
    ASSERT_TRUE(awaitFramesPublishedAbove(0));
  }

  // Force control on z with a force error: the offset moves every cycle.
  void forceControlRunning() {
    Array targets = vector3(0.0, 0.0, -10.0);
    ASSERT_TRUE(device->resetForce(targets).ok());
    ASSERT_TRUE(device->setEnabledAxes(false, false, true, false, false, false).ok());
    ASSERT_TRUE(device->activateForceControl(true, false).ok());
    ASSERT_TRUE(controller->runCycles(4));
    ASSERT_FALSE(lastOffset() == Vector(0.0, 0.0, 0.0));
  }

  Vector lastOffset() {
    return controller->driveCommands().back().command.referenceOffset().frame.position;
  }

  // Zero offsets at the end of the drive's record, after the last other one.
  std::size_t trailingZeros() {
    const auto commands = controller->driveCommands();
    std::size_t n = 0;
    for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
      if (!(it->command.referenceOffset().frame.position == Vector(0.0, 0.0, 0.0)))
        break;
      ++n;
    }
    return n;
  }
};

// --- Every end of force control sends the zero offset ---------------------------

struct EndCase {
  const char* name;
  std::function<void(VorelFTSensor&)> end;
  friend void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }
};

class EndOfForceControlTest : public FailSafeDeviceTest,
                              public testing::WithParamInterface<EndCase> {};

TEST_P(EndOfForceControlTest, WhileActive_ExactlyOneZeroOffsetIsTheLastCommand) {
  forceControlRunning();
  // The force-control thread must be able to leave its synchronisation.
  controller->setFreeRunning(true, std::chrono::microseconds(500));
  GetParam().end(*device);
  // Unbinding ends force control through the shared flags: the running
  // thread sends the zero offset in its next cycle.
  ASSERT_TRUE(vorel_test::pollUntil([&] { return trailingZeros() > 0; }));
  device->onDeactivate();
  EXPECT_EQ(lastOffset(), Vector(0.0, 0.0, 0.0));
  EXPECT_EQ(trailingZeros(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, EndOfForceControlTest,
    testing::Values(EndCase{"Deactivate", [](VorelFTSensor& d) { d.onDeactivate(); }},
                    EndCase{"Reactivate",
                            [](VorelFTSensor& d) { d.onActivate(*d.activationParams()); }},
                    EndCase{"Unbind", [](VorelFTSensor& d) { d.onUnbind(); }},
                    EndCase{"Destroy", [](VorelFTSensor& d) { d.onDestroy(); }}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

// --- A named mutex left locked by a killed process ----------------------------------

TEST_F(FailSafeDeviceTest, MutexHeldByKilledProcess_DeactivateEndsReactivateRecovers) {
  forceControlRunning();
  ASSERT_TRUE(vorel_test::leaveNamedMutexHeldByDeadProcess());

  // Deactivation completes and ends force control with the zero offset.
  controller->setFreeRunning(true, std::chrono::microseconds(500));
  ASSERT_TRUE(device->onDeactivate().ok());
  EXPECT_FALSE(device->sensorComm()->isRunning());
  EXPECT_FALSE(device->adaptiveThread()->isRunning());
  EXPECT_EQ(lastOffset(), Vector(0.0, 0.0, 0.0));
  EXPECT_EQ(trailingZeros(), 1u);

  // A re-activation makes a fresh segment and mutex: the functions work again.
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  ASSERT_TRUE(awaitFramesPublishedAbove(0));
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    Array fresh = vector3(7.0, 7.0, 7.0);
    device->readForce(fresh);
    return rows(fresh)[2] != 7.0;
  }));
}

// --- moveToContact never goes on blind -------------------------------------------

// An approach (4 N against a 100 N threshold, 1 m of travel) waits while the
// robot is held; meanwhile the hardware-ready signal re-activates the device,
// which replaces the shared segment. The force the call was reading now comes
// from a segment nobody feeds.
TEST_F(FailSafeDeviceTest, MoveToContactReactivatedWhileHeld_EndsWithoutStep) {
  controller->setMoveHook([this](const Motion::Target& target, const Motion::Params&) {
    if (target.frame_id != 0)  // the robot reaches every valid target at once
      controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD, target.frame);
  });
  ASSERT_EQ(device->onCreate(), 0);  // registers the hardware-ready handler
  controller->setFreeRunning(true, std::chrono::microseconds(500));
  controller->setResourceFlag(4, true);
  const std::uint64_t queries = controller->statusQueryCount();
  console.clear();
  auto call = std::async(std::launch::async, [this] {
    Number speed(50.0), threshold(100.0), max_distance(1000.0), retract(5.0);
    return device->moveToContact(0, 2, speed, threshold, max_distance, retract);
  });
  ASSERT_TRUE(controller->awaitStatusQueries(queries + 10));

  const auto old_adaptive = device->adaptiveThread();
  controller.program()->signalBus().findOrCreateStream<hx4_signal::HWReady>()->publish(
      boost::any(hx4_signal::HWReady{}));
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    auto adaptive = device->adaptiveThread();
    return adaptive != old_adaptive && adaptive->isRunning();
  }));
  controller->setResourceFlag(4, false);

  ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(call.get().ok());
  EXPECT_EQ(controller->motionCommandCount(), 0u);
  EXPECT_THAT(console.lines(),
              testing::Contains(testing::HasSubstr("re-activated during the call")));
}

}  // namespace
}  // namespace vorel_device_test
