// Control resources and the program interface, on an installed stepping
// controller.
#include "host/control_resources.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "host/program_interface.h"
#include "tests/support/installed_controller.h"

namespace {

using hx4_program_api_internals::ControllerBackend;
using hx4_program_api_internals::ControlResources;
using hx4_program_api_internals::ControlStatus;

TEST(ControlResources, Lifetime_AcquiresAndReleasesOnce) {
  vorel_test::InstalledController ctl;
  {
    ControlResources outer(false);
    EXPECT_EQ(ctl->acquireCount(), 1u);
    {
      ControlResources inner(true);
      EXPECT_EQ(ctl->acquireCount(), 2u);
    }
    EXPECT_EQ(ctl->releaseCount(), 1u);
  }
  EXPECT_EQ(ctl->acquireCount(), 2u);
  EXPECT_EQ(ctl->releaseCount(), 2u);
}

TEST(ControlResources, Status_ReadAnewOnEveryCall) {
  vorel_test::InstalledController ctl;
  ControlResources resources(false);
  ASSERT_TRUE(resources.status());
  EXPECT_FALSE(resources.status()->flag(3));
  ControlStatus held;
  held.flags = (1u << 3) | (1u << 4);
  ctl->setResourceStatus(held);
  EXPECT_TRUE(resources.status()->flag(3));
  EXPECT_TRUE(resources.status()->flag(4));
  EXPECT_FALSE(resources.status()->flag(2));
  ctl->setResourceStatus(boost::none);
  EXPECT_FALSE(resources.status());
}

TEST(ControlResources, NoControllerInstalled_NoStatusAndNoCrash) {
  ASSERT_FALSE(ControllerBackend::current());
  ControlResources resources(false);
  EXPECT_FALSE(resources.status());
}

TEST(ControlResources, BuiltBeforeReinstall_KeepsItsController) {
  vorel_test::InstalledController first;
  auto resources = std::make_unique<ControlResources>(false);
  {
    vorel_test::InstalledController second;
    resources.reset();
    EXPECT_EQ(second->releaseCount(), 0u);
  }
  EXPECT_EQ(first->acquireCount(), 1u);
  EXPECT_EQ(first->releaseCount(), 1u);
}

TEST(ProgramInterface, NoController_Refused) {
  try {
    hx4_program_api::ProgramInterface program(nullptr);
    ADD_FAILURE() << "built without a controller";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "ProgramInterface: no controller");
  }
}

TEST(ProgramInterface, DriveChannel_SubmitReachesController) {
  vorel_test::InstalledController ctl;
  hx4rc_api::Pose offset;
  const double position[3] = {0.0, 0.0, 0.0001};
  const double rpy[3] = {0.0, 0.0, 0.0};
  offset.setPRPY(position, rpy, 0);
  offset.valid = 1;
  hx4rc_api::Drive::CmdDriveCtl command;
  EXPECT_EQ(ctl.program()->driveChannel().submit(
                command.asReferenceControl().withReferenceOffset(offset)),
            0);
  const auto records = ctl->driveCommands();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].command.hasReferenceOffset());
  EXPECT_EQ(records[0].command.referenceOffset().frame.position, hx4rc_api::Vector(0, 0, 0.0001));
  EXPECT_EQ(records[0].command.referenceOffset().valid, 1u);
  // A fresh command carries no offset.
  hx4rc_api::Drive::CmdDriveCtl fresh;
  EXPECT_FALSE(fresh.asReferenceControl().hasReferenceOffset());
}

TEST(ProgramInterface, SystemLoad_HoldsControllerValueAndWritesBack) {
  vorel_test::InstalledController ctl;
  ctl->setToolLoad(1.2, hx4rc_api::Vector(0.0, 0.0, 0.06));
  auto tool =
      ctl.program()->systemVariables().getLoad("toolload", hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(tool->mass(), 1.2);
  EXPECT_EQ(tool->cog().z, 0.06);
  *tool = hx4_program_api::Load(0.8, hx4_program_api::Position(0.0, 0.0, 0.04));
  const hx4rc_api::Load now = ctl.program()->getLoad(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(now.inertia.mass, 0.8);
  EXPECT_EQ(now.inertia.cog, hx4rc_api::Vector(0.0, 0.0, 0.04));
  EXPECT_EQ(now.id, hx4rc_api::Load::SysId::LOAD_TOOL);
  ASSERT_EQ(ctl->loadWrites().size(), 1u);
}

TEST(RCState, UnsignedValue_OnlyItemZeroIndexZero) {
  hx4rc_api::State::SysStat_RCState state;
  state.value = 0x6;
  EXPECT_EQ(state.unsignedValue(0, 0), 0x6u);
  EXPECT_EQ(state.unsignedValue(0, 0) & hx4rc_api::State::SysStat_RCState::kLoadModelReady, 2u);
  EXPECT_EQ(state.unsignedValue(1, 0), 0u);
  EXPECT_EQ(state.unsignedValue(0, 1), 0u);
}

}  // namespace
