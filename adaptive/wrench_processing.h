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

/// Standard gravity used for the tool's weight, m/s^2.
constexpr double kGravity = 9.81;

/// The sensor's pose on the flange as gravity compensation and tool-load
/// identification use it: `sensor_in_flange`, or the flange origin without
/// rotation while it is not known (any value not finite).
hx4rc_api::Frame knownSensorPose(const hx4rc_api::Frame& sensor_in_flange);

/// Removes the tool's weight from `raw` (sensor axes, torque about the sensor
/// origin).
///   flange_rotation:  rotation of the robot flange relative to the world, Rf
///   mass:             tool mass m, kg
///   cog:              tool centre of gravity c, m, in flange coordinates from
///                     the flange origin (the host's tool load)
///   sensor_in_flange: pose of the sensor on the flange (Rs, ps; m)
/// g = Rf^-1 (0, 0, -9.81 m) is the weight in flange axes; in sensor axes it
/// is G = Rs^-1 g, acting at c_s = Rs^-1 (c - ps), the centre of gravity seen
/// from the sensor origin. The result is force F - G and torque T - c_s x G.
/// While the sensor pose is not known (any value not finite) the sensor counts
/// as sitting at the flange origin without rotation (Rs = I, ps = 0); so does a
/// sensor that really sits there, with exactly the same numbers (the default).
Wrench compensateGravity(const Wrench& raw, const hx4rc_api::Rotation& flange_rotation, double mass,
                         const hx4rc_api::Vector& cog,
                         const hx4rc_api::Frame& sensor_in_flange = hx4rc_api::Frame::Identity());

/// Re-expresses `compensated` (sensor axes, torque about the sensor origin) in
/// the TCP frame (TCP axes, torque about the TCP).
///   tcp_in_flange:    pose of the TCP relative to the flange (Rt, pt; m)
///   sensor_in_flange: pose of the sensor relative to the flange (Rs, ps; m)
/// With M = Rt^-1 Rs and r = Rt^-1 (ps - pt), the sensor origin seen from the
/// TCP in TCP axes: force F' = M F, torque M T + r x F'. NaN in any input
/// gives NaN in the result; nothing is checked.
Wrench transformToTcp(const Wrench& compensated, const hx4rc_api::Frame& tcp_in_flange,
                      const hx4rc_api::Frame& sensor_in_flange);

}  // namespace vorel_device
