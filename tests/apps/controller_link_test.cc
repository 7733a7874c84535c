// The controller as a second host process sees it: a RemoteController talking
// over a real socket pair to a ControllerServer on the simulated controller.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <stdexcept>

#include "sim/controller/simulated_controller.h"
#include "sim/remote/controller_server.h"
#include "sim/remote/remote_controller.h"

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Model;
using vorel_sim::SimulatedController;
using vorel_sim_app::ControllerServer;
using vorel_sim_app::RemoteController;
namespace link = vorel_sim_app::controller_link;

class ControllerLink : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    controller = boost::make_shared<SimulatedController>();
    server = std::make_unique<ControllerServer>(controller, fds[0]);
    remote = std::make_unique<RemoteController>(fds[1]);
  }
  void TearDown() override {
    server->stop();
    controller->stop();
  }

  boost::shared_ptr<SimulatedController> controller;
  std::unique_ptr<ControllerServer> server;
  std::unique_ptr<RemoteController> remote;
};

hx4rc_api::Motion::Target worldTarget(double x, double y, double z) {
  hx4rc_api::Motion::Target target;
  target.frame =
      Frame(hx4rc_api::Rotation(1, 0, 0, 0, -1, 0, 0, 0, -1), hx4rc_api::Vector(x, y, z));
  target.frame_id = static_cast<std::int32_t>(Model::SysId::FRAME_WORLD);
  return target;
}

TEST_F(ControllerLink, Queries_ThroughTheLink_AnswerAsTheController) {
  const Frame tcp = remote->frame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD);
  // The cell's start pose: tool down, 0.05 m above the floor at x = 0.4 m.
  EXPECT_EQ(tcp.position.x(), 0.4);
  EXPECT_EQ(tcp.position.y(), 0.0);
  EXPECT_EQ(tcp.position.z(), 0.05);
  EXPECT_EQ(tcp.rotation(2, 2), -1.0);
  EXPECT_EQ(remote->rcState().value, hx4rc_api::State::SysStat_RCState::kLoadModelReady);

  hx4rc_api::Load load;
  load.inertia.set(1.5, hx4rc_api::Vector(0, 0, 0.07), load.inertia.tensor);
  remote->setLoad(hx4rc_api::Load::SysId::LOAD_TOOL, load);
  EXPECT_EQ(controller->load(hx4rc_api::Load::SysId::LOAD_TOOL).inertia.mass, 1.5);
  EXPECT_EQ(remote->load(hx4rc_api::Load::SysId::LOAD_TOOL).inertia.cog.z(), 0.07);
}

TEST_F(ControllerLink, Commands_ThroughTheLink_ReachTheController) {
  EXPECT_EQ(remote->move(worldTarget(0.4, 0.0, 0.04), hx4rc_api::Motion::Params()), 0);
  hx4rc_api::Motion::Target no_frame;
  EXPECT_EQ(remote->move(no_frame, hx4rc_api::Motion::Params()), -1);

  hx4rc_api::Pose offset;
  const double position[3] = {0.0, 0.0, 0.001};
  const double rpy[3] = {0.0, 0.0, 0.0};
  offset.setPRPY(position, rpy, 0);
  offset.valid = 1;
  hx4rc_api::Drive::CmdDriveCtl with_offset;
  with_offset.asReferenceControl().withReferenceOffset(offset);
  EXPECT_EQ(remote->submit(with_offset.asReferenceControl()), 0);
  hx4rc_api::Drive::CmdDriveCtl without_offset;
  EXPECT_EQ(remote->submit(without_offset.asReferenceControl()), -1);

  // The target shows in the controller's state from its next tick on.
  ASSERT_TRUE(controller->start());
  ASSERT_TRUE(controller->awaitTick(controller->tick() + 2, std::chrono::seconds(10)));
  const auto s = controller->snapshot();
  EXPECT_EQ(s.motion_commands, 2u);
  EXPECT_EQ(s.motion_refused, 1u);
  EXPECT_EQ(s.motion_target.position.z(), 0.04);
  EXPECT_EQ(s.drive_commands, 2u);
  EXPECT_EQ(s.drive_refused, 1u);
  EXPECT_EQ(s.offset.position.z(), 0.001);  // the accepted one stays in effect
}

TEST_F(ControllerLink, Resources_ThroughTheLink_CarryTheHoldFlags) {
  remote->acquireResources(true);
  remote->releaseResources();
  controller->setHold(true);
  auto status = remote->resourceStatus();
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->flag(3));
  EXPECT_FALSE(status->flag(4));
  controller->setStatusOffered(false);
  EXPECT_FALSE(remote->resourceStatus());
  const auto s = controller->snapshot();
  EXPECT_EQ(s.resource_acquires, 1u);
  EXPECT_EQ(s.resource_releases, 1u);
}

TEST_F(ControllerLink, Sync_ThroughTheLink_ReturnsAfterATick) {
  ASSERT_TRUE(controller->start());
  for (int i = 0; i < 5; ++i) {
    const auto before = controller->tick();
    remote->sync(false);
    EXPECT_GT(controller->tick(), before);
  }
}

TEST_F(ControllerLink, StoppedServer_MakesEveryCallThrow) {
  server->stop();
  try {
    remote->rcState();
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "controller link lost");
  }
  EXPECT_THROW(remote->sync(false), std::runtime_error);
}

TEST(ControllerServer_ShortRequest_IsRefused, NothingIsCalled) {
  SimulatedController controller;
  std::string response;
  EXPECT_FALSE(
      ControllerServer::serve(controller, link::Op::Frame, std::string(3, '\0'), response));
  EXPECT_FALSE(ControllerServer::serve(controller, link::Op::Move, std::string(), response));
  EXPECT_EQ(controller.snapshot().motion_commands, 0u);
  EXPECT_FALSE(ControllerServer::serve(controller, static_cast<link::Op>(99), "", response));
}

}  // namespace
