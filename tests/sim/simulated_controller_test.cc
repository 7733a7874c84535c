// The simulated controller with its real clock: ticks on an absolute deadline
// grid, sync wakes every waiter on the same tick, the robot moves under the
// motion command and the drive's offsets, and the host API sees it all
// through the backend seam. No test asserts a duration: waits are guarded
// against hangs only.
#include "sim/controller/simulated_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "host/control_resources.h"
#include "host/program_interface.h"
#include "sim/controller/motion_profile.h"
#include "tests/sim/sim_test_util.h"

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Model;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;
using vorel_sim::ControllerSnapshot;
using vorel_sim::SimulatedController;
using vorel_sim_test::driveCommand;
using vorel_sim_test::framesNear;
using vorel_sim_test::referenceOffset;
using vorel_sim_test::vectorsNear;
using vorel_sim_test::worldTarget;

constexpr std::chrono::milliseconds kGuard{10000};
const Rotation kDown(1, 0, 0, 0, -1, 0, 0, 0, -1);

// Polls `pred` until it holds; false after the guard.
template <class Pred>
bool eventually(Pred pred) {
  const auto end = std::chrono::steady_clock::now() + kGuard;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::yield();
  }
  return true;
}

// Records every tick's snapshot, with the monotonic time the observer ran.
class TickRecorder {
 public:
  struct Row {
    ControllerSnapshot snapshot;
    std::chrono::steady_clock::time_point seen;
  };
  SimulatedController::TickObserver observer() {
    return [this](const ControllerSnapshot& s) {
      const auto now = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      rows_.push_back(Row{s, now});
    };
  }
  std::vector<Row> rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rows_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Row> rows_;
};

// Every recorded tick lies on the grid epoch + k * cycle, with k = tick +
// overruns counted before it, and ran no earlier than its deadline.
void expectOnGrid(const SimulatedController& controller,
                  const std::vector<TickRecorder::Row>& rows) {
  const auto epoch = controller.epoch();
  const auto cycle = controller.cycle();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const ControllerSnapshot& s = rows[i].snapshot;
    ASSERT_EQ(s.tick, i + 1) << "each tick observed once, in order";
    const auto since_epoch = s.deadline - epoch;
    ASSERT_EQ(since_epoch.count() % cycle.count(), 0) << "tick " << s.tick;
    ASSERT_EQ(static_cast<std::uint64_t>(since_epoch / cycle), s.tick + s.overruns)
        << "tick " << s.tick;
    ASSERT_GE(rows[i].seen, s.deadline) << "tick " << s.tick << " ran before its deadline";
    ASSERT_NEAR(s.time_s, 0.002 * static_cast<double>(s.tick), 1e-12);
  }
}

TEST(SimulatedController, Clock_TicksOnAbsoluteDeadlineGrid) {
  SimulatedController controller;
  TickRecorder recorder;
  controller.setTickObserver(recorder.observer());
  ASSERT_TRUE(controller.start());
  EXPECT_FALSE(controller.start()) << "already running";
  ASSERT_TRUE(controller.awaitTick(100, kGuard));
  controller.stop();
  const auto rows = recorder.rows();
  ASSERT_GE(rows.size(), 100u);
  expectOnGrid(controller, rows);
  EXPECT_FALSE(controller.running());
}

TEST(SimulatedController, Clock_SlowObserver_SkipsMissedDeadlinesAndCountsThem) {
  SimulatedController controller;
  TickRecorder recorder;
  auto record = recorder.observer();
  controller.setTickObserver([record](const ControllerSnapshot& s) {
    record(s);
    // Hold the clock thread past three deadlines once.
    if (s.tick == 5)
      std::this_thread::sleep_for(std::chrono::milliseconds(7));
  });
  ASSERT_TRUE(controller.start());
  ASSERT_TRUE(controller.awaitTick(20, kGuard));
  controller.stop();
  const auto rows = recorder.rows();
  expectOnGrid(controller, rows);
  // 7 ms past deadline 5: deadlines 6 and 7 lie a whole cycle or more behind.
  EXPECT_GE(controller.snapshot().overruns, 2u);
  EXPECT_GE(rows[5].snapshot.overruns, 2u) << "tick 6 comes after the skipped deadlines";
}

TEST(SimulatedController, Sync_ThreeWaiters_EachWakesOnEveryTickTogether) {
  // Up to tick 30 the observer holds the clock thread until all three threads
  // wait for the next tick; so each of those ticks finds all three waiting,
  // and each must wake all three: every thread sees every tick, in order.
  SimulatedController controller;
  constexpr std::uint64_t kGated = 30;
  std::atomic<bool> gate_failed{false};
  controller.setTickObserver([&](const ControllerSnapshot& s) {
    if (s.tick >= kGated || gate_failed)
      return;
    if (!eventually([&] { return controller.waitingThreads() == 3; }))
      gate_failed = true;
  });
  std::atomic<bool> stop{false};
  std::vector<std::uint64_t> woke[3];
  ASSERT_TRUE(controller.start());
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&controller, &stop, &woke, i] {
      while (!stop.load())
        woke[i].push_back(controller.awaitNextTick());
    });
  }
  const bool reached = controller.awaitTick(kGated + 2, kGuard);
  stop = true;
  for (auto& t : threads)
    t.join();
  controller.stop();
  ASSERT_TRUE(reached);
  ASSERT_FALSE(gate_failed);
  for (int i = 0; i < 3; ++i) {
    std::vector<std::uint64_t> gated;
    for (std::uint64_t t : woke[i]) {
      if (t >= 2 && t <= kGated)
        gated.push_back(t);
    }
    ASSERT_EQ(gated.size(), kGated - 1) << "thread " << i;
    for (std::size_t k = 0; k < gated.size(); ++k)
      EXPECT_EQ(gated[k], k + 2) << "thread " << i;
  }
}

TEST(SimulatedController, Sync_EachCallReturnsAfterANewTick) {
  SimulatedController controller;
  ASSERT_TRUE(controller.start());
  std::uint64_t last = controller.awaitNextTick();
  for (int i = 0; i < 20; ++i) {
    const std::uint64_t before = controller.tick();
    controller.sync(false);
    EXPECT_GT(controller.tick(), before);
    const std::uint64_t woke = controller.awaitNextTick();
    EXPECT_GT(woke, last);
    EXPECT_GE(controller.tick(), woke);
    last = woke;
  }
  EXPECT_EQ(controller.snapshot().sync_calls, 41u);
}

TEST(SimulatedController, Sync_ClockNotRunning_ReturnsWithoutTick) {
  SimulatedController controller;
  controller.sync(false);
  controller.sync(true);
  EXPECT_EQ(controller.awaitNextTick(), 0u);
  EXPECT_EQ(controller.tick(), 0u);

  ASSERT_TRUE(controller.start());
  ASSERT_TRUE(controller.awaitTick(3, kGuard));
  controller.stop();
  const std::uint64_t stopped_at = controller.tick();
  controller.sync(false);
  EXPECT_EQ(controller.tick(), stopped_at);
  EXPECT_EQ(controller.snapshot().sync_calls, 4u);
}

TEST(SimulatedController, Sync_WaitForMotion_ReturnsWithTargetReached) {
  SimulatedController::Config config;
  config.robot.limits.settle_time = 0.0;  // full speed up to the target
  SimulatedController controller(config);
  ASSERT_TRUE(controller.start());
  const Frame target(kDown, Vector(0.4, 0.0, 0.045));
  ASSERT_EQ(controller.move(worldTarget(target), hx4rc_api::Motion::Params()), 0);
  controller.sync(true);
  const ControllerSnapshot s = controller.snapshot();
  EXPECT_FALSE(s.moving);
  EXPECT_TRUE(framesNear(s.robot.tcp, target, 0.0));
}

TEST(SimulatedController, Motion_ReachesTargetWithinSpeedBoundEveryTick) {
  SimulatedController::Config config;
  config.robot.limits.max_speed = 0.5;
  config.robot.limits.max_angular_speed = 2.0;
  config.robot.limits.settle_time = 0.0;
  SimulatedController controller(config);
  TickRecorder recorder;
  controller.setTickObserver(recorder.observer());
  ASSERT_TRUE(controller.start());
  // 0.1 m and 0.6 rad away.
  const Frame target(kDown * Rotation::RPY(0.0, 0.0, 0.6), Vector(0.4, 0.1, 0.05));
  ASSERT_EQ(controller.move(worldTarget(target), hx4rc_api::Motion::Params()), 0);
  ASSERT_TRUE(eventually([&] {
    const auto s = controller.snapshot();
    return s.motion_commands == 1 && !s.moving;
  }));
  controller.stop();
  const auto rows = recorder.rows();
  ASSERT_GE(rows.size(), 2u);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const Frame& a = rows[i - 1].snapshot.robot.tcp;
    const Frame& b = rows[i].snapshot.robot.tcp;
    ASSERT_LE((b.position - a.position).Norm(), 0.5 * 0.002 + 1e-9) << "tick " << i + 1;
    ASSERT_LE(vorel_sim::rotationAngle(a.rotation, b.rotation), 2.0 * 0.002 + 1e-9);
  }
  EXPECT_TRUE(framesNear(rows.back().snapshot.robot.tcp, target, 0.0));
  EXPECT_EQ(controller.snapshot().motion_refused, 0u);
}

TEST(SimulatedController, Move_InvalidTargets_RefusedAndCounted) {
  SimulatedController controller;
  hx4rc_api::Motion::Target no_target;  // NaN frame, id 0: "no valid target"
  hx4rc_api::Motion::Target wrong_id = worldTarget(Frame(kDown, Vector(0.4, 0.0, 0.0)));
  wrong_id.frame_id = static_cast<std::int32_t>(Model::SysId::FRAME_ROBOTX_TCP);
  EXPECT_EQ(controller.move(no_target, hx4rc_api::Motion::Params()), -1);
  EXPECT_EQ(controller.move(wrong_id, hx4rc_api::Motion::Params()), -1);
  const ControllerSnapshot s = controller.snapshot();
  EXPECT_EQ(s.motion_commands, 2u);
  EXPECT_EQ(s.motion_refused, 2u);
  EXPECT_EQ(s.motion_non_finite, 1u);
  EXPECT_FALSE(s.moving);
}

TEST(SimulatedController, Drive_OffsetMovesTcpFromNextTick_RefusedOnesKeepIt) {
  SimulatedController controller;
  ASSERT_TRUE(controller.start());
  EXPECT_EQ(controller.submit(driveCommand(referenceOffset(0.0, 0.0, 0.01))), 0);
  const std::uint64_t after = controller.tick() + 1;
  ASSERT_TRUE(controller.awaitTick(after, kGuard));
  EXPECT_TRUE(vectorsNear(
      controller.frame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD).position,
      Vector(0.4, 0.0, 0.04), 1e-15));

  hx4rc_api::Pose not_valid = referenceOffset(0.0, 0.0, 0.03);
  not_valid.valid = 0;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(controller.submit(driveCommand(referenceOffset(nan, 0.0, 0.0))), -1);
  EXPECT_EQ(controller.submit(hx4rc_api::Drive::CmdReferenceCtl()), -1);  // no offset at all
  EXPECT_EQ(controller.submit(driveCommand(not_valid)), -1);
  ASSERT_TRUE(controller.awaitTick(controller.tick() + 2, kGuard));
  const ControllerSnapshot s = controller.snapshot();
  EXPECT_TRUE(vectorsNear(s.robot.tcp.position, Vector(0.4, 0.0, 0.04), 1e-15));
  EXPECT_TRUE(vectorsNear(s.offset.position, Vector(0.0, 0.0, 0.01), 0.0));
  EXPECT_EQ(s.drive_commands, 4u);
  EXPECT_EQ(s.drive_refused, 3u);
  EXPECT_EQ(s.drive_non_finite, 1u);
  EXPECT_EQ(s.last_drive_offset.frame.position.z(), 0.03) << "the last command as received";
  EXPECT_EQ(s.last_drive_offset.valid, 0u);
}

TEST(SimulatedController, Frames_AllPairsConsistent) {
  SimulatedController controller;
  ASSERT_TRUE(controller.placeTcp(Frame(Rotation::RPY(0.3, -0.7, 2.1), Vector(0.3, -0.2, 0.4))));
  ASSERT_TRUE(
      controller.setTcpInFlange(Frame(Rotation::RPY(0.0, 0.2, 0.5), Vector(0.01, 0, 0.12))));
  ASSERT_EQ(
      controller.submit(driveCommand(referenceOffset(0.002, -0.001, 0.003, 0.01, 0.02, -0.03))), 0);
  ASSERT_TRUE(controller.start());
  ASSERT_TRUE(controller.awaitTick(2, kGuard));
  controller.stop();  // the pose stays put for the queries

  const Model::SysId ids[] = {Model::SysId::FRAME_WORLD, Model::SysId::FRAME_ROBOT_BASE,
                              Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_ROBOTX_TCP};
  for (auto a : ids) {
    EXPECT_TRUE(framesNear(controller.frame(a, a), Frame::Identity(), 1e-15));
    for (auto b : ids) {
      EXPECT_TRUE(framesNear(controller.frame(b, a), controller.frame(a, b).Inverse(), 1e-14));
      for (auto c : ids) {
        EXPECT_TRUE(framesNear(controller.frame(b, c) * controller.frame(a, b),
                               controller.frame(a, c), 1e-14));
      }
    }
  }
  EXPECT_TRUE(
      framesNear(controller.frame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE),
                 Frame(Rotation::RPY(0.0, 0.2, 0.5), Vector(0.01, 0, 0.12)), 1e-14));
  EXPECT_TRUE(
      framesNear(controller.frame(Model::SysId::FRAME_ROBOT_BASE, Model::SysId::FRAME_WORLD),
                 Frame::Identity(), 0.0));
  const ControllerSnapshot s = controller.snapshot();
  EXPECT_TRUE(
      framesNear(controller.frame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD),
                 s.robot.tcp, 0.0));
  EXPECT_TRUE(framesNear(s.robot.tcp, s.commanded_tcp * s.offset, 1e-15));
  EXPECT_FALSE(
      controller.frame(static_cast<Model::SysId>(99), Model::SysId::FRAME_WORLD).isFinite());
}

TEST(SimulatedController, Resources_HoldFlagsInStatusAndRobotHeld) {
  auto controller = boost::make_shared<SimulatedController>();
  const auto previous = hx4_program_api_internals::ControllerBackend::current();
  hx4_program_api_internals::ControllerBackend::install(controller);
  {
    hx4_program_api_internals::ControlResources resources(false);
    ASSERT_TRUE(resources.status());
    EXPECT_EQ(resources.status()->flags, 0u);
    controller->setHold(true);
    EXPECT_TRUE(resources.status()->flag(3));
    EXPECT_FALSE(resources.status()->flag(4));
    controller->setResourceFlag(4, true);
    EXPECT_TRUE(resources.status()->flag(4));
    controller->setStatusOffered(false);
    EXPECT_FALSE(resources.status());
    controller->setStatusOffered(true);
    EXPECT_EQ(controller->snapshot().resource_acquires, 1u);
    EXPECT_EQ(controller->snapshot().resource_releases, 0u);
  }
  EXPECT_EQ(controller->snapshot().resource_releases, 1u);
  hx4_program_api_internals::ControllerBackend::install(previous);

  // Held by flag 4 alone: the motion waits, commands are counted as sent while held.
  controller->setHold(false);
  ASSERT_TRUE(controller->start());
  const Frame target(kDown, Vector(0.4, 0.0, 0.0));
  ASSERT_EQ(controller->move(worldTarget(target), hx4rc_api::Motion::Params()), 0);
  controller->submit(driveCommand(referenceOffset(0.0, 0.0, 0.0)));
  ASSERT_TRUE(controller->awaitTick(controller->tick() + 5, kGuard));
  ControllerSnapshot s = controller->snapshot();
  EXPECT_TRUE(s.held);
  EXPECT_TRUE(s.moving);
  EXPECT_TRUE(vectorsNear(s.commanded_tcp.position, Vector(0.4, 0.0, 0.05), 0.0));
  EXPECT_EQ(s.motion_while_held, 1u);
  EXPECT_EQ(s.drive_while_held, 1u);
  controller->setResourceFlag(4, false);
  ASSERT_TRUE(controller->awaitTick(controller->tick() + 2, kGuard));
  EXPECT_LT(controller->snapshot().commanded_tcp.position.z(), 0.05);
}

TEST(SimulatedController, ProgramInterface_StateWordAndToolLoadThroughHostApi) {
  auto controller = boost::make_shared<SimulatedController>();
  hx4_program_api::ProgramInterface program(controller);
  EXPECT_EQ(program.rcState().unsignedValue(0, 0) & 2u, 2u) << "load model ready by default";
  controller->setLoadModelReady(false);
  EXPECT_EQ(program.rcState().unsignedValue(0, 0) & 2u, 0u);
  controller->setLoadModelReady(true);
  EXPECT_EQ(program.rcState().unsignedValue(0, 0) & 2u, 2u);

  const hx4rc_api::Load tool = program.getLoad(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(tool.inertia.mass, 0.8);
  EXPECT_TRUE(vectorsNear(tool.inertia.cog, Vector(0.0, 0.0, 0.04), 0.0));
  EXPECT_TRUE(std::isnan(program.getLoad(hx4rc_api::Load::SysId::LOAD_PAYLOAD).inertia.mass));

  // The device's mount writes the tool load through the "toolload" variable.
  auto toolload = program.systemVariables().getLoad("toolload", hx4rc_api::Load::SysId::LOAD_TOOL);
  *toolload = hx4_program_api::Load(1.5, hx4_program_api::Position(0.0, 0.01, 0.06));
  const hx4rc_api::Load written = program.getLoad(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(written.inertia.mass, 1.5);
  EXPECT_TRUE(vectorsNear(written.inertia.cog, Vector(0.0, 0.01, 0.06), 0.0));
  EXPECT_EQ(controller->snapshot().load_writes, 1u);
}

}  // namespace
