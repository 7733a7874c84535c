#include "sim/controller/motion_profile.h"

#include <algorithm>
#include <cmath>

namespace vorel_sim {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;

namespace {

// Below this distance (m) or angle (rad) the target counts as reached.
constexpr double kReached = 1e-12;
// A step that ends this close to the target (m or rad) lands on it, so that
// rounding never leaves a remnant for one more cycle.
constexpr double kLanding = 1e-9;

// Axis and angle of a rotation, from its unit quaternion (Shepperd's method:
// well conditioned at every angle, including pi).
void toAxisAngle(const Rotation& r, Vector& axis, double& angle) {
  const double trace = r(0, 0) + r(1, 1) + r(2, 2);
  double w, x, y, z;
  if (trace >= r(0, 0) && trace >= r(1, 1) && trace >= r(2, 2)) {
    const double s = 2.0 * std::sqrt(std::max(0.0, 1.0 + trace));
    w = 0.25 * s;
    x = (r(2, 1) - r(1, 2)) / s;
    y = (r(0, 2) - r(2, 0)) / s;
    z = (r(1, 0) - r(0, 1)) / s;
  } else if (r(0, 0) >= r(1, 1) && r(0, 0) >= r(2, 2)) {
    const double s = 2.0 * std::sqrt(std::max(0.0, 1.0 + r(0, 0) - r(1, 1) - r(2, 2)));
    w = (r(2, 1) - r(1, 2)) / s;
    x = 0.25 * s;
    y = (r(0, 1) + r(1, 0)) / s;
    z = (r(0, 2) + r(2, 0)) / s;
  } else if (r(1, 1) >= r(2, 2)) {
    const double s = 2.0 * std::sqrt(std::max(0.0, 1.0 + r(1, 1) - r(0, 0) - r(2, 2)));
    w = (r(0, 2) - r(2, 0)) / s;
    x = (r(0, 1) + r(1, 0)) / s;
    y = 0.25 * s;
    z = (r(1, 2) + r(2, 1)) / s;
  } else {
    const double s = 2.0 * std::sqrt(std::max(0.0, 1.0 + r(2, 2) - r(0, 0) - r(1, 1)));
    w = (r(1, 0) - r(0, 1)) / s;
    x = (r(0, 2) + r(2, 0)) / s;
    y = (r(1, 2) + r(2, 1)) / s;
    z = 0.25 * s;
  }
  if (w < 0.0) {
    w = -w;
    x = -x;
    y = -y;
    z = -z;
  }
  const double n = std::sqrt(x * x + y * y + z * z);
  angle = 2.0 * std::atan2(n, w);
  axis = n > 0.0 ? Vector(x / n, y / n, z / n) : Vector(0.0, 0.0, 1.0);
}

// The speed for `remaining` to go: the largest, or with a settle time
// `remaining` / settle_time between the smallest and the largest, so that
// the motion slows down as it nears the target.
double speedFor(double remaining, double settle_time, double min_speed, double max_speed) {
  if (settle_time <= 0.0)
    return max_speed;
  return std::min(std::max(remaining / settle_time, min_speed), max_speed);
}

}  // namespace

Rotation axisAngle(const Vector& axis, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return Rotation(t * x * x + c, t * x * y - s * z, t * x * z + s * y,  //
                  t * x * y + s * z, t * y * y + c, t * y * z - s * x,  //
                  t * x * z - s * y, t * y * z + s * x, t * z * z + c);
}

double rotationAngle(const Rotation& a, const Rotation& b) {
  Vector axis;
  double angle = 0.0;
  toAxisAngle(a.Inverse() * b, axis, angle);
  return angle;
}

bool isRotation(const Rotation& r, double tol) {
  const Rotation p = r.Inverse() * r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (!(std::fabs(p(i, j) - (i == j ? 1.0 : 0.0)) <= tol))
        return false;
    }
  }
  const double det = r(0, 0) * (r(1, 1) * r(2, 2) - r(1, 2) * r(2, 1)) -
                     r(0, 1) * (r(1, 0) * r(2, 2) - r(1, 2) * r(2, 0)) +
                     r(0, 2) * (r(1, 0) * r(2, 1) - r(1, 1) * r(2, 0));
  return std::fabs(det - 1.0) <= tol;
}

Frame stepToward(const Frame& current, const Frame& target, const MotionLimits& limits, double dt) {
  Frame next = current;

  // Translation along the line to the target.
  const Vector delta = target.position - current.position;
  const double distance = delta.Norm();
  if (distance > kReached) {
    const double step =
        speedFor(distance, limits.settle_time, limits.min_speed, limits.max_speed) * dt;
    next.position =
        step >= distance ? target.position : current.position + (step / distance) * delta;
  } else {
    next.position = target.position;
  }

  // Rotation about the fixed axis (in the current pose's axes) that turns the
  // current orientation into the target's.
  Vector axis;
  double angle = 0.0;
  toAxisAngle(current.rotation.Inverse() * target.rotation, axis, angle);
  if (angle > kReached) {
    const double step =
        speedFor(angle, limits.settle_time, limits.min_angular_speed, limits.max_angular_speed) *
        dt;
    next.rotation =
        step + kLanding >= angle ? target.rotation : current.rotation * axisAngle(axis, step);
  } else {
    next.rotation = target.rotation;
  }
  return next;
}

}  // namespace vorel_sim
