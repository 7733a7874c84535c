// RobotState: what the simulated robot is doing at one controller cycle, as
// the contact world needs it. Also the defaults of the simulated cell, shared
// by the simulated controller and the contact world so that both describe the
// same tool out of the box.
//
// All poses are relative to the world frame (FRAME_WORLD; the robot base
// coincides with it in this model): the rotation maps the frame's axes to
// world axes, the position is the frame's origin in world coordinates, in m.
#pragma once

#include "host/geometry.h"

namespace vorel_sim {

struct RobotState {
  double time_s = 0.0;             // simulated time: controller cycles x cycle time, s
  hx4rc_api::Frame flange;         // robot flange in the world
  hx4rc_api::Frame tcp;            // tool-centre point in the world (reference offset applied)
  hx4rc_api::Vector tcp_velocity;  // TCP linear velocity, world axes, m/s
};

// Defaults of the simulated cell.
namespace cell {

// The tool: 0.8 kg with its centre of gravity 0.04 m along the flange z axis.
constexpr double kToolMass = 0.8;     // kg
inline hx4rc_api::Vector toolCog() {  // flange axes, m
  return hx4rc_api::Vector(0.0, 0.0, 0.04);
}
// The sensor sits on the flange, axes parallel to the flange's, its origin
// 0.035 m along the flange z axis.
inline hx4rc_api::Frame sensorInFlange() {
  return hx4rc_api::Frame(hx4rc_api::Rotation::Identity(), hx4rc_api::Vector(0.0, 0.0, 0.035));
}
// The TCP lies 0.1 m along the flange z axis, axes parallel to the flange's.
inline hx4rc_api::Frame tcpInFlange() {
  return hx4rc_api::Frame(hx4rc_api::Rotation::Identity(), hx4rc_api::Vector(0.0, 0.0, 0.1));
}
// Start pose of the TCP: tool pointing down (TCP z axis = world -z, x along
// world x), 0.05 m above the default floor at world z = 0.
inline hx4rc_api::Frame startTcp() {
  return hx4rc_api::Frame(hx4rc_api::Rotation(1, 0, 0, 0, -1, 0, 0, 0, -1),
                          hx4rc_api::Vector(0.4, 0.0, 0.05));
}

}  // namespace cell
}  // namespace vorel_sim
