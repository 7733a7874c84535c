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

#include "adaptive/force_control_thread.h"
#include "comm/sensor_reader.h"
#include "device/test_hooks.h"
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

// --- Every end of force control is a return to exactly zero ----------------------

struct EndCase {
  const char* name;
  std::function<void(VorelFTSensor&, vorel_test::InstalledController&)> end;
  bool cycles;  // controller cycles run while it ends; false: none (the fall-back)
  friend void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }
};

class EndOfForceControlTest : public FailSafeDeviceTest,
                              public testing::WithParamInterface<EndCase> {};

// From an offset of a few millimetres moving at 50 mm/s, cycle by cycle on
// the stepping controller: no step above 250 mm/s x 2 ms, the last command
// exactly zero, and a lifecycle step that returns once the return is done,
// well within its 5 s (no fall-back). Without cycles the lifecycle step falls
// back after 100 ms: the zero offset at once, one ERROR line, and the worker,
// once it runs again, never sends its old offset.
TEST_P(EndOfForceControlTest, End_WhileActive_ReturnsWithinTheLimitToExactlyZero) {
  forceControlRunning();
  controller->setFreeRunning(true, std::chrono::microseconds(2000));
  ASSERT_TRUE(vorel_test::pollUntil([&] { return lastOffset().Norm() > 0.003; }));
  controller->setFreeRunning(false);
  ASSERT_TRUE(controller->awaitWaiting(1));
  const auto adaptive = vorel_device::test_hooks::adaptiveThread(*device);
  const std::size_t before = controller->driveCommandCount();
  console.clear();

  auto end = std::async(std::launch::async, [&] { GetParam().end(*device, controller); });
  int cycles = 0;
  while (GetParam().cycles && adaptive->wasActive() && cycles < 2500) {
    ASSERT_TRUE(controller->runCycles(1));
    ++cycles;
  }
  if (!GetParam().cycles) {
    ASSERT_TRUE(vorel_test::pollUntil([&] { return !console.lines().empty(); }));
  }
  controller->setFreeRunning(true, std::chrono::microseconds(500));  // the stops go on
  ASSERT_EQ(end.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_TRUE(vorel_test::pollUntil([&] { return !adaptive->wasActive(); }));
  const auto commands = controller->driveCommands();
  ASSERT_GT(commands.size(), before);
  for (std::size_t k = before - 1; k + 1 < commands.size() && GetParam().cycles; ++k) {
    EXPECT_LE((commands[k + 1].command.referenceOffset().frame.position -
               commands[k].command.referenceOffset().frame.position)
                  .Norm(),
              0.0005 * (1.0 + 1e-9))
        << "command " << k + 1;
  }
  EXPECT_EQ(lastOffset(), Vector(0.0, 0.0, 0.0));
  if (GetParam().cycles) {
    EXPECT_LT(cycles, 2500);
    for (const std::string& line : console.lines())
      EXPECT_EQ(line.find("sent at once"), std::string::npos) << line;
    return;
  }
  EXPECT_THAT(console.lines(),
              testing::Contains(testing::AllOf(
                  testing::StartsWith("[ERROR] onDeactivate: no force-control cycle for 100 ms"),
                  testing::HasSubstr("the zero offset was sent at once"))));
  // The worker leaves its cycle and stops: its old offset never follows.
  ASSERT_TRUE(vorel_test::pollUntil([&] { return !adaptive->isRunning(); }));
  EXPECT_EQ(controller->driveCommandCount(), before + 1);
  EXPECT_EQ(lastOffset(), Vector(0.0, 0.0, 0.0));
}

void programTerminates(VorelFTSensor& device, vorel_test::InstalledController& controller) {
  controller.program()->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>()->publish(
      boost::any(hx4_signal::ProgramTerminated{3}));
  ASSERT_TRUE(vorel_test::pollUntil([&] { return !device.programRunning(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, EndOfForceControlTest,
    testing::Values(EndCase{"DeactivateForceControl",
                            [](VorelFTSensor& d, auto&) { d.deactivateForceControl(); }, true},
                    EndCase{"ProgramTerminated", programTerminates, true},
                    EndCase{"Unbind", [](VorelFTSensor& d, auto&) { d.onUnbind(); }, true},
                    EndCase{"Deactivate", [](VorelFTSensor& d, auto&) { d.onDeactivate(); }, true},
                    EndCase{"Destroy", [](VorelFTSensor& d, auto&) { d.onDestroy(); }, true},
                    EndCase{"Reactivate",
                            [](VorelFTSensor& d, auto&) { d.onActivate(*d.activationParams()); },
                            true},
                    EndCase{"DeactivateWithoutCycles",
                            [](VorelFTSensor& d, auto&) { d.onDeactivate(); }, false}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

// --- Liveness ----------------------------------------------------------------------

TEST_F(FailSafeDeviceTest, ForceControl_ThreadStopped_SeenNotRunningEverywhere) {
  controller->setFreeRunning(true, std::chrono::microseconds(2000));
  ASSERT_TRUE(vorel_device::test_hooks::adaptiveThread(*device)->stop(1000));
  expectForceControlNotRunning(*device, controller, console);
}

// --- A named mutex left locked by a killed process ----------------------------------

TEST_F(FailSafeDeviceTest, Deactivate_MutexHeldByKilledProcess_EndsAndReactivateRecovers) {
  forceControlRunning();
  ASSERT_TRUE(vorel_test::leaveNamedMutexHeldByDeadProcess());

  // Deactivation completes and ends force control with the zero offset.
  controller->setFreeRunning(true, std::chrono::microseconds(500));
  ASSERT_TRUE(device->onDeactivate().ok());
  EXPECT_FALSE(vorel_device::test_hooks::sensorComm(*device)->isRunning());
  EXPECT_FALSE(vorel_device::test_hooks::adaptiveThread(*device)->isRunning());
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
TEST_F(FailSafeDeviceTest, MoveToContact_ReactivatedWhileHeld_EndsWithoutStep) {
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

  const auto old_adaptive = vorel_device::test_hooks::adaptiveThread(*device);
  controller.program()->signalBus().findOrCreateStream<hx4_signal::HWReady>()->publish(
      boost::any(hx4_signal::HWReady{}));
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    auto adaptive = vorel_device::test_hooks::adaptiveThread(*device);
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
