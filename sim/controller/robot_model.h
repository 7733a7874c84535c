// RobotModel: the kinematics of the simulated robot, advanced one controller
// cycle at a time by the simulated controller. No clock, no threads, no
// locks: the owner serialises every call.
//
// Poses (all in the world frame; the robot base coincides with it):
//
//   commanded TCP   where the motion command has brought the TCP
//   offset          the drive's reference offset, in TCP axes: position in m,
//                   rotation from roll-pitch-yaw in rad (as Pose::setPRPY)
//   TCP             commanded TCP * offset (the offset applied in the
//                   commanded TCP's own axes)
//   flange          TCP * (flange-to-TCP transform)^-1
//
// Each `advance(dt)` moves the commanded TCP toward the motion target (see
// motion_profile.h) unless held, applies the offset in effect, derives the
// flange and the TCP velocity (finite difference over dt), and adds dt to the
// simulated time. A reached target ends the motion.
//
// Commands are checked before they are taken; a refused one changes nothing:
//   motion target    frame_id must be FRAME_WORLD, the frame finite, its
//                    rotation a rotation matrix (within 1e-6)
//   reference offset trailing field `valid` must be 1, all twelve values
//                    finite, the rotation a rotation matrix (within 1e-6)
#pragma once

#include <optional>

#include "host/controller_types.h"
#include "host/geometry.h"
#include "sim/controller/motion_profile.h"
#include "sim/controller/robot_state.h"

namespace vorel_sim {

class RobotModel {
 public:
  struct Config {
    hx4rc_api::Frame start_tcp = cell::startTcp();         // world, m
    hx4rc_api::Frame tcp_in_flange = cell::tcpInFlange();  // TCP relative to the flange, m
    MotionLimits limits;
  };

  RobotModel() : RobotModel(Config()) {}
  explicit RobotModel(const Config& config);

  static bool acceptsTarget(const hx4rc_api::Motion::Target& target);
  static bool acceptsOffset(const hx4rc_api::Pose& offset);

  // Replaces the motion target; false (and nothing changes) when refused.
  bool setTarget(const hx4rc_api::Motion::Target& target);
  // Sets the reference offset that the next `advance` applies; false (and
  // the previous offset stays) when refused.
  bool setOffset(const hx4rc_api::Pose& offset);

  // One controller cycle of dt seconds (dt > 0). `hold`: the controller is
  // held, the commanded TCP stays where it is (the offset still applies).
  void advance(double dt, bool hold);

  // Puts the commanded TCP at `tcp` (world) at once and ends any motion; the
  // offset stays. For scenarios that set up a cell. False when `tcp` is not
  // finite or its rotation is no rotation matrix.
  bool placeTcp(const hx4rc_api::Frame& tcp);
  // Changes the flange-to-TCP transform (a tool change); the TCP keeps its
  // place, the flange moves. False when refused as for placeTcp.
  bool setTcpInFlange(const hx4rc_api::Frame& tcp_in_flange);

  RobotState state() const;
  const hx4rc_api::Frame& commandedTcp() const { return commanded_; }
  const hx4rc_api::Frame& offset() const { return offset_; }
  const hx4rc_api::Frame& tcp() const { return tcp_; }
  const hx4rc_api::Frame& flange() const { return flange_; }
  const hx4rc_api::Frame& tcpInFlange() const { return config_.tcp_in_flange; }
  const std::optional<hx4rc_api::Frame>& target() const { return target_; }
  bool moving() const { return static_cast<bool>(target_); }
  const MotionLimits& limits() const { return config_.limits; }
  void setLimits(const MotionLimits& limits) { config_.limits = limits; }

  // Pose of one of the model's frames relative to the world; the all-NaN
  // frame for an unknown id.
  hx4rc_api::Frame pose(hx4rc_api::Model::SysId id) const;
  // Pose of frame a relative to frame b: pose(b)^-1 * pose(a).
  hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) const;

 private:
  void derive();  // TCP and flange from the commanded TCP and the offset

  Config config_;
  hx4rc_api::Frame commanded_;
  hx4rc_api::Frame offset_;
  hx4rc_api::Frame pending_offset_;
  std::optional<hx4rc_api::Frame> target_;
  hx4rc_api::Frame tcp_;
  hx4rc_api::Frame flange_;
  hx4rc_api::Vector velocity_;
  double time_s_ = 0.0;
};

}  // namespace vorel_sim
