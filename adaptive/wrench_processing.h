// Wrench processing of the force-control thread, as pure functions of their
// inputs: removal of the tool's weight from the measured wrench, and its
// re-expression in the tool-centre-point (TCP) frame. AdaptiveThread calls
// them with the host's frame queries and its own fields; they read nothing
// else and change nothing.
//
// Wrenches: force x, y, z in N, then torque x, y, z in N m. Rotations map the
// axes of the first-named frame to those of the second (host convention).
#pragma once

#include "filters/wrench.h"
#include "host/geometry.h"

namespace vorel_device {

// Standard gravity used for the tool's weight, m/s^2.
constexpr double kGravity = 9.81;

// Removes the tool's weight from `raw` (sensor axes, which count as flange
// axes here: no sensor-to-flange rotation is applied, and the centre of
// gravity counts from the sensor origin).
//   flange_rotation: rotation of the robot flange relative to the world, Rf
//   mass:            tool mass, kg
//   cog:             tool centre of gravity c, m
// G = Rf^-1 (0, 0, -9.81 mass) is the weight in flange axes; the result is
// force F - G and torque T - c x G.
Wrench compensateGravity(const Wrench& raw, const hx4rc_api::Rotation& flange_rotation, double mass,
                         const hx4rc_api::Vector& cog);

// Re-expresses `compensated` (sensor axes, torque about the sensor origin) in
// the TCP frame (TCP axes, torque about the TCP).
//   tcp_in_flange:    pose of the TCP relative to the flange (Rt, pt; m)
//   sensor_in_flange: pose of the sensor relative to the flange (Rs, ps; m)
// With M = Rt^-1 Rs and r = Rt^-1 (ps - pt), the sensor origin seen from the
// TCP in TCP axes: force F' = M F, torque M T + r x F'. NaN in any input
// gives NaN in the result; nothing is checked.
Wrench transformToTcp(const Wrench& compensated, const hx4rc_api::Frame& tcp_in_flange,
                      const hx4rc_api::Frame& sensor_in_flange);

}  // namespace vorel_device
