// Motion profile of the simulated controller's Cartesian motion command: one
// controller cycle of travel of a pose toward its target, as a pure function.
//
// Translation and rotation move independently, each along the straight path
// (the line between the positions; the shortest rotation between the
// orientations, about one fixed axis). Each slows down as it nears the
// target, so that a program that re-commands a target a fixed distance ahead
// every cycle moves at a steady speed:
//
//   v = clamp(d / settle_time, min_speed, max_speed)             (m/s)
//   w = clamp(a / settle_time, min_angular_speed, max_angular_speed)  (rad/s)
//   step = min(d, v dt), angular step = min(a, w dt)
//
// d: distance left (m), a: angle left (rad). A target 6 mm ahead with the
// default settle time of 0.12 s is approached at 0.05 m/s. With settle_time 0
// the speed is max_speed until the target is reached. The step never exceeds
// max_speed dt (max_angular_speed dt for the angle); a step that would end
// within 1e-9 m (1e-9 rad) of the target lands on it exactly.
#pragma once

#include "host/geometry.h"

namespace vorel_sim {

struct MotionLimits {
  double max_speed = 0.25;          // m/s, Cartesian speed bound of the TCP
  double max_angular_speed = 1.0;   // rad/s, angular speed bound of the TCP
  double settle_time = 0.12;        // s, distance left / speed while slowing down; 0: none
  double min_speed = 0.001;         // m/s, speed of the final approach
  double min_angular_speed = 0.01;  // rad/s, angular speed of the final approach
};

// The pose `current` after `dt` seconds of travel toward `target`. Both must
// be finite with orthonormal rotations; the result then is too.
hx4rc_api::Frame stepToward(const hx4rc_api::Frame& current, const hx4rc_api::Frame& target,
                            const MotionLimits& limits, double dt);

// Angle in rad (0 to pi) of the rotation that turns `a` into `b`.
double rotationAngle(const hx4rc_api::Rotation& a, const hx4rc_api::Rotation& b);

// Rotation by `angle` rad about the unit vector `axis` (right-handed).
hx4rc_api::Rotation axisAngle(const hx4rc_api::Vector& axis, double angle);

// True when `r` is a rotation: R^T R = I and det R = +1, each within `tol`.
bool isRotation(const hx4rc_api::Rotation& r, double tol = 1e-6);

}  // namespace vorel_sim
