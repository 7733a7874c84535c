// The stepping controller double, driven through the host API as the
// force-control thread and move-to-contact drive it.
#include "tests/support/stepping_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "host/control_resources.h"
#include "host/program_interface.h"
#include "tests/support/installed_controller.h"

namespace vorel_test {
namespace {

using hx4_program_api_internals::ControllerBackend;
using hx4_program_api_internals::ControlResources;
using hx4rc_api::Model;

// A worker that calls sync in a loop, as the force-control thread does, and
// counts the cycles it has seen.
class CyclingThread {
 public:
  CyclingThread(hx4_program_api::ProgramInterface& program, bool submit)
      : thread_([this, &program, submit] {
          while (!stop_.load()) {
            program.sync(false);
            if (stop_.load())
              break;
            const int n = ++cycles_;
            if (submit) {
              hx4rc_api::Pose offset;
              const double position[3] = {0.001 * n, 0.0, 0.0};
              const double rpy[3] = {0.0, 0.0, 0.0};
              offset.setPRPY(position, rpy, 0);
              offset.valid = 1;
              hx4rc_api::Drive::CmdDriveCtl command;
              program.driveChannel().submit(
                  command.asReferenceControl().withReferenceOffset(offset));
            }
          }
        }) {}

  // Stops the loop: the controller must be free running or cycling.
  void join() {
    stop_.store(true);
    thread_.join();
  }
  int cycles() const { return cycles_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> cycles_{0};
  std::thread thread_;
};

TEST(SteppingController, RunCycles_OneThread_ExactlyNCyclesPass) {
  InstalledController ctl;
  CyclingThread worker(*ctl.program(), false);

  ASSERT_TRUE(ctl->runCycles(5));
  EXPECT_EQ(worker.cycles(), 5);
  EXPECT_EQ(ctl->cycle(), 5u);
  EXPECT_EQ(ctl->syncCount(), 5u);
  EXPECT_EQ(ctl->waitingThreads(), 1);

  ASSERT_TRUE(ctl->runCycles(3));
  EXPECT_EQ(worker.cycles(), 8);
  EXPECT_EQ(ctl->cycle(), 8u);

  ctl->setFreeRunning(true);
  worker.join();
}

TEST(SteppingController, RunCycles_TwoThreads_EachSeesEveryCycleOnce) {
  InstalledController ctl;
  CyclingThread a(*ctl.program(), false);
  CyclingThread b(*ctl.program(), false);
  ASSERT_TRUE(ctl->awaitWaiting(2));

  ASSERT_TRUE(ctl->runCycles(4));
  EXPECT_EQ(a.cycles(), 4);
  EXPECT_EQ(b.cycles(), 4);
  EXPECT_EQ(ctl->cycle(), 4u);
  EXPECT_EQ(ctl->syncCount(), 8u);

  ctl->setFreeRunning(true);
  a.join();
  b.join();
}

TEST(SteppingController, RunCycles_NobodyInSync_ReturnsFalseInsteadOfHanging) {
  InstalledController ctl;
  ctl->setGuard(std::chrono::milliseconds(20));
  EXPECT_FALSE(ctl->awaitWaiting());
  EXPECT_FALSE(ctl->runCycles(1));
  EXPECT_EQ(ctl->syncCount(), 0u);
}

TEST(SteppingController, RunCycles_ThreadLeavesAfterCycle_ReturnsFalse) {
  InstalledController ctl;
  ctl->setGuard(std::chrono::milliseconds(20));
  std::thread once([&] { ctl.program()->sync(false); });
  // The thread is released but never comes back to sync.
  EXPECT_FALSE(ctl->runCycles(1));
  once.join();
  EXPECT_EQ(ctl->syncCount(), 1u);
}

TEST(SteppingController, Submit_InSteppedCycles_RecordsCommandWithItsCycle) {
  InstalledController ctl;
  CyclingThread worker(*ctl.program(), true);

  ASSERT_TRUE(ctl->runCycles(3));
  const std::vector<DriveRecord> records = ctl->driveCommands();
  ASSERT_EQ(records.size(), 3u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].cycle, i + 1);
    ASSERT_TRUE(records[i].command.hasReferenceOffset());
    const hx4rc_api::Pose& offset = records[i].command.referenceOffset();
    EXPECT_EQ(offset.valid, 1u);
    EXPECT_DOUBLE_EQ(offset.frame.position.x(), 0.001 * static_cast<double>(i + 1));
    EXPECT_EQ(offset.frame.rotation, hx4rc_api::Rotation::Identity());
  }

  ctl->clearRecords();
  EXPECT_EQ(ctl->driveCommandCount(), 0u);
  ASSERT_TRUE(ctl->runCycles(1));
  ASSERT_EQ(ctl->driveCommandCount(), 1u);
  EXPECT_EQ(ctl->driveCommands()[0].cycle, 4u);

  ctl->setFreeRunning(true);
  worker.join();
}

TEST(SteppingController, FreeRunning_SyncReturnsAtOnceAndCountsCycles) {
  InstalledController ctl;
  ctl->setFreeRunning(true);
  std::thread worker([&] {
    for (int i = 0; i < 1000; ++i)
      ctl.program()->sync(false);
  });
  worker.join();
  EXPECT_EQ(ctl->syncCount(), 1000u);
  EXPECT_EQ(ctl->cycle(), 1000u);
  EXPECT_TRUE(ctl->runCycles(10));  // nothing to step
}

TEST(SteppingController, FreeRunning_SwitchedOn_ReleasesBlockedThread) {
  InstalledController ctl;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ctl.program()->sync(false);
    returned.store(true);
  });
  ASSERT_TRUE(ctl->awaitWaiting());
  EXPECT_FALSE(returned.load());
  ctl->setFreeRunning(true);
  worker.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(ctl->waitingThreads(), 0);
}

TEST(SteppingController, FreeRunning_OtherThreadSubmits_AwaitSeesAllCommands) {
  InstalledController ctl;
  ctl->setFreeRunning(true, std::chrono::microseconds(10));
  CyclingThread worker(*ctl.program(), true);
  EXPECT_TRUE(ctl->awaitDriveCommands(50));
  worker.join();
  const std::vector<DriveRecord> records = ctl->driveCommands();
  ASSERT_GE(records.size(), 50u);
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_LT(records[i - 1].cycle, records[i].cycle);
  }
}

TEST(SteppingController, State_SetByTest_ReadThroughProgramInterface) {
  InstalledController ctl;
  hx4_program_api::ProgramInterface& program = *ctl.program();

  EXPECT_EQ(program.rcState().unsignedValue(0, 0), 0u);
  ctl->setRcState(2);
  EXPECT_EQ(program.rcState().unsignedValue(0, 0), 2u);

  // Load model: all NaN until set.
  const hx4rc_api::Load unset = program.getLoad(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_TRUE(std::isnan(unset.inertia.mass));
  EXPECT_EQ(unset.id, hx4rc_api::Load::SysId::LOAD_TOOL);
  ctl->setToolLoad(1.5, hx4rc_api::Vector(0.0, 0.01, 0.07));
  const hx4rc_api::Load tool = program.getLoad(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(tool.inertia.mass, 1.5);
  EXPECT_EQ(tool.inertia.cog, hx4rc_api::Vector(0.0, 0.01, 0.07));
  EXPECT_EQ(tool.inertia.tensor[0], 0.0);
  EXPECT_TRUE(std::isnan(program.getLoad(hx4rc_api::Load::SysId::LOAD_PAYLOAD).inertia.mass));

  // Frames: identity unless set, per ordered pair.
  EXPECT_EQ(program.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD).position,
            hx4rc_api::Vector());
  const hx4rc_api::Frame tcp(hx4rc_api::Rotation::RPY(0.0, 0.0, M_PI / 2),
                             hx4rc_api::Vector(0.4, 0.1, 0.3));
  ctl->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD, tcp);
  const hx4rc_api::Frame got =
      program.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD);
  EXPECT_EQ(got.position, tcp.position);
  EXPECT_EQ(got.rotation, tcp.rotation);
  EXPECT_EQ(program.getFrame(Model::SysId::FRAME_WORLD, Model::SysId::FRAME_ROBOTX_TCP).rotation,
            hx4rc_api::Rotation::Identity());
  EXPECT_EQ(ctl->frameQueryCount(), 3u);
}

TEST(SteppingController, ResourceStatus_FlagsAndAbsence_SeenByControlResources) {
  InstalledController ctl;
  {
    ControlResources resources(false);
    EXPECT_EQ(ctl->acquireCount(), 1u);
    EXPECT_EQ(ctl->releaseCount(), 0u);
    ASSERT_TRUE(resources.status());
    EXPECT_EQ(resources.status()->flags, 0u);

    ctl->setResourceFlag(3, true);
    EXPECT_TRUE(resources.status()->flag(3));
    EXPECT_FALSE(resources.status()->flag(4));
    ctl->setResourceFlag(4, true);
    ctl->setResourceFlag(3, false);
    EXPECT_FALSE(resources.status()->flag(3));
    EXPECT_TRUE(resources.status()->flag(4));
    EXPECT_EQ(resources.status()->flags, 1u << 4);

    ctl->setResourceStatus(boost::none);
    EXPECT_FALSE(resources.status());
    EXPECT_EQ(ctl->statusQueryCount(), 8u);
  }
  EXPECT_EQ(ctl->releaseCount(), 1u);
}

TEST(SteppingController, ResourceStatus_PolledByOtherThread_AwaitSeesPolls) {
  InstalledController ctl;
  ctl->setResourceFlag(3, true);
  std::atomic<long> polls{0};
  // Polls without sleeping while flag 3 or 4 is set, as the hold wait does.
  std::thread poller([&] {
    ControlResources resources(false);
    for (;;) {
      const auto status = resources.status();
      ++polls;
      if (!status || !(status->flag(3) || status->flag(4)))
        break;
    }
  });
  ASSERT_TRUE(ctl->awaitStatusQueries(100));
  ctl->setResourceFlag(3, false);
  poller.join();
  EXPECT_GE(polls.load(), 100);
  EXPECT_EQ(ctl->acquireCount(), ctl->releaseCount());
}

TEST(SteppingController, Move_WithHook_RecordsCommandAndHookMovesTcp) {
  InstalledController ctl;
  hx4_program_api::ProgramInterface& program = *ctl.program();
  SteppingController& double_ = ctl.controller();
  ctl->setMoveHook(
      [&double_](const hx4rc_api::Motion::Target& target, const hx4rc_api::Motion::Params&) {
        if (target.frame.isFinite()) {
          double_.setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD, target.frame);
        }
      });

  hx4rc_api::Motion::Target target;
  target.frame = hx4rc_api::Frame(hx4rc_api::Rotation(), hx4rc_api::Vector(0.5, 0.0, 0.006));
  target.frame_id = static_cast<std::int32_t>(Model::SysId::FRAME_WORLD);
  hx4rc_api::Motion::Params params;
  params.pairs[0] = {2, 0, 0.5};
  params.pairs[1] = {2, 0, 0.1};
  params.pairs[2] = {1, 0, 0.0};
  EXPECT_EQ(program.move(target, params), 0);

  EXPECT_EQ(program.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD).position,
            hx4rc_api::Vector(0.5, 0.0, 0.006));
  const std::vector<MotionRecord> moves = ctl->motionCommands();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].cycle, 0u);
  EXPECT_EQ(moves[0].target.frame_id, 1);
  EXPECT_EQ(moves[0].target.frame.position, hx4rc_api::Vector(0.5, 0.0, 0.006));
  EXPECT_EQ(moves[0].params.pairs[0].kind, 2);
  EXPECT_EQ(moves[0].params.pairs[1].value, 0.1);
  EXPECT_EQ(moves[0].params.pairs[2].kind, 1);
  EXPECT_EQ(moves[0].params.reserved[0], 0);
  EXPECT_EQ(moves[0].params.reserved[1], 0);

  // An invalid target: recorded as given, the hook leaves the TCP alone.
  hx4rc_api::Motion::Target invalid;
  program.move(invalid, params);
  EXPECT_TRUE(ctl->awaitMotionCommands(2));
  EXPECT_EQ(ctl->motionCommands()[1].target.frame_id, 0);
  EXPECT_FALSE(ctl->motionCommands()[1].target.frame.isFinite());
  EXPECT_EQ(program.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD).position,
            hx4rc_api::Vector(0.5, 0.0, 0.006));
}

TEST(SteppingController, SystemLoad_AssignedByHostSide_RecordedAsLoadWrite) {
  InstalledController ctl;
  ctl->setToolLoad(2.0, hx4rc_api::Vector(0.0, 0.0, 0.1));
  boost::shared_ptr<hx4_program_api::Load> tool_load =
      ctl.program()->systemVariables().getLoad("toolload", hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(tool_load->mass(), 2.0);
  EXPECT_TRUE(ctl->loadWrites().empty());

  *tool_load = hx4_program_api::Load(0.8, hx4_program_api::Position(0.0, 0.0, 0.04));
  const std::vector<LoadWrite> writes = ctl->loadWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].id, hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(writes[0].record.inertia.mass, 0.8);
  EXPECT_EQ(writes[0].record.inertia.cog, hx4rc_api::Vector(0.0, 0.0, 0.04));
  const hx4rc_api::Load now = ctl->loadRecord(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(now.inertia.mass, 0.8);
}

TEST(InstalledController, Lifetime_InstallsAndRestoresCurrentController) {
  ASSERT_FALSE(ControllerBackend::current());
  {
    InstalledController outer;
    EXPECT_EQ(ControllerBackend::current(), outer.shared());
    {
      InstalledController inner;
      EXPECT_EQ(ControllerBackend::current(), inner.shared());
      EXPECT_EQ(inner.program()->backend(), inner.shared());
    }
    EXPECT_EQ(ControllerBackend::current(), outer.shared());
  }
  EXPECT_FALSE(ControllerBackend::current());
}

}  // namespace
}  // namespace vorel_test
